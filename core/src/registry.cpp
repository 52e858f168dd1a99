#include <algorithm>
#include <memory>
#include <utility>

#include <trawl/extractor.hpp>

#include "extractors/extractors.hpp"
#include "support/sniff.hpp"

namespace trawl {

ExtractError io_error(const IoError& error) {
  return {ExtractError::Kind::Io, {}, std::string(error.text())};
}

ExtractError malformed(std::string_view format, std::string reason) {
  return {ExtractError::Kind::Malformed, format, std::move(reason)};
}

ExtractError other(std::string text) {
  return {ExtractError::Kind::Other, {}, std::move(text)};
}

std::string ExtractError::message() const {
  switch (kind_) {
  case Kind::Io:
    return "I/O error: " + text_;
  case Kind::Malformed:
    return "malformed " + std::string(format_) + ": " + text_;
  case Kind::Other:
    break;
  }
  return text_;
}

Registry Registry::with_defaults() {
  Registry registry;
  registry.add(std::make_unique<FileExtractor>());
  registry.add(std::make_unique<JpegExtractor>());
  registry.add(std::make_unique<PngExtractor>());
  registry.add(std::make_unique<GifExtractor>());
  registry.add(std::make_unique<BmpExtractor>());
  registry.add(std::make_unique<RiffExtractor>());
  registry.add(std::make_unique<ExifExtractor>());
  registry.add(std::make_unique<Id3Extractor>());
  registry.add(std::make_unique<Mp4Extractor>());
  registry.add(std::make_unique<ElfExtractor>());
  registry.add(std::make_unique<PdfExtractor>());
  registry.add(std::make_unique<GzipExtractor>());
  registry.add(std::make_unique<ZipExtractor>());
  return registry;
}

void Registry::add(std::unique_ptr<Extractor> extractor) {
  extractors_.push_back(std::move(extractor));
}

RunOutput Registry::run(Source& source, std::uint64_t len) const {
  // One read of the head: sniffing and every supports() decision look at nothing else.
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(len, head_limit)));
  std::size_t head_len = 0;
  if (!head.empty()) {
    (void)source.seek_to(0);
    if (auto n = source.read(head)) {
      head_len = std::min(*n, head.size());
    }
  }
  Probe probe;
  probe.head = std::span<const std::uint8_t>(head).first(head_len);
  probe.len = len;
  if (const auto sniffed = sniff(probe.head)) {
    probe.mime = sniffed->mime;
    probe.extension = sniffed->extension;
  }

  std::vector<const Extractor*> chosen;
  bool wants_contents = false;
  for (const auto& extractor : extractors_) {
    if (extractor->supports(probe)) {
      chosen.push_back(extractor.get());
      wants_contents = wants_contents || extractor->reads_contents();
    }
  }
  // Load the whole input once for the extractors that need it; a failure here is left for
  // each of them to meet and report on its own.
  if (wants_contents && !source.contents_if_ready()) {
    (void)source.contents();
  }

  RunOutput out;
  for (const Extractor* extractor : chosen) {
    (void)source.seek_to(0);
    auto result = extractor->extract(source, probe);
    if (!result) {
      out.errors.push_back({std::string(extractor->name()), result.error().message()});
    } else if (!result->empty()) {
      out.namespaces.push_back(std::move(result).value());
    }
  }
  return out;
}

} // namespace trawl

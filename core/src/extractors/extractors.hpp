// The format extractors of the default registry.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <trawl/extractor.hpp>

#include "../support/byte_reader.hpp"
#include "list.hpp"

namespace trawl {

/// The longest text one field may hold: far beyond any real file's.
inline constexpr std::size_t text_cap = std::size_t{1} << 20U;

/// The most entries one list may hold for an input of `len` bytes whose real entries each stand
/// for at least `bytes_per_entry` of it: far beyond any real file's, and low enough that the
/// output of crafted input stays within a small multiple of its size.
[[nodiscard]] constexpr std::uint64_t list_cap(std::uint64_t len,
                                               std::uint64_t bytes_per_entry) noexcept {
  return 65536 + len / bytes_per_entry;
}

/// Records in the namespace's "truncated" list that `key` reached its cap.
inline void mark_truncated(Namespace& ns, std::string_view key) {
  const auto it = ns.entries().find("truncated");
  const bool listed = it != ns.entries().end() && it->second.kind() == Kind::List;
  if (listed) {
    for (const Value& k : it->second.as_list()) {
      if (k.as_string() == key) {
        return; // walks past a cap call this for every entry they drop
      }
    }
  }
  List keys = listed ? it->second.as_list() : List{};
  keys.emplace_back(key);
  ns.set("truncated", std::move(keys));
}

/// Sets `key` when `value` holds one.
template <class T>
void set_present(Namespace& ns, std::string_view key, const std::optional<T>& value) {
  if (value) {
    ns.set(key, value.value_or(T{}));
  }
}

/// A reader over the whole input of an extractor that needs at least `header` bytes of it: the
/// input in memory, or a large file's cache (bytes are read as the reader reaches them), or the
/// I/O error, or "header too short" under the extractor's name.
[[nodiscard]] inline Expected<ByteReader, ExtractError> whole_input(const Extractor& extractor,
                                                                    Source& source,
                                                                    const Probe& probe,
                                                                    std::uint64_t header = 0) {
  ByteReader r{std::span<const std::uint8_t>{}};
  if (const auto ready = source.contents_if_ready()) {
    r = ByteReader(ready.value_or(std::span<const std::uint8_t>{}));
  } else if (FileCache* cache = source.cache(probe.len)) {
    r = ByteReader(*cache);
  } else if (probe.len != 0) {
    auto data = source.contents();
    if (!data) {
      return unexpected(io_error(data.error()));
    }
    r = ByteReader(*data);
  }
  if (r.size() < header) {
    return unexpected(malformed(extractor.name(), "header too short"));
  }
  return r;
}

/// The fixed layout at the start of `r`, or "header too short" under the extractor's name.
template <std::size_t N>
[[nodiscard]] Expected<Fixed<N>, ExtractError> fixed_header(const Extractor& extractor,
                                                            const ByteReader& r) {
  if (auto h = r.fixed<N>(0)) {
    return *h; // just checked
  }
  return unexpected(malformed(extractor.name(), "header too short"));
}

/// Feeds `scan` the whole source, read once from its start, and finishes it: a scanning
/// extractor's extract() outside a registry.
[[nodiscard]] inline ExtractResult run_scan(Scan& scan, Source& source, const Probe& probe) {
  if (const auto ready = source.contents_if_ready()) {
    const auto whole = ready.value_or(std::span<const std::uint8_t>{});
    scan.update_caller(whole);
    scan.update(whole);
    return scan.finish(source, probe);
  }
  (void)source.seek_to(0); // pipes cannot seek and are read from where they are
  std::vector<std::uint8_t> buffer(std::size_t{64} * 1024);
  for (;;) {
    auto n = source.read(buffer);
    if (!n) {
      return io_error(std::move(n).error());
    }
    if (*n == 0) {
      return scan.finish(source, probe);
    }
    scan.update_caller(std::span(buffer).first(*n));
    scan.update(std::span(buffer).first(*n));
  }
}

// The classes of list.hpp. A Scans extractor's extract() feeds its own scan the whole source.
#define TRAWL_EXTRACTOR_MEMBERS_Reads                                                              \
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
#define TRAWL_EXTRACTOR_MEMBERS_Scans                                                              \
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override {         \
    return run_scan(*start_scan(probe), source, probe);                                            \
  }                                                                                                \
  [[nodiscard]] std::unique_ptr<Scan> start_scan(const Probe& probe) const override;
#define TRAWL_EXTRACTOR_MEMBERS_ReadsOrScans                                                       \
  TRAWL_EXTRACTOR_MEMBERS_Reads [[nodiscard]] std::unique_ptr<Scan> start_scan(const Probe& probe) \
      const override;
#define TRAWL_DECLARE_EXTRACTOR(prefix, id, kind)                                                  \
  class prefix##Extractor final : public Extractor {                                               \
  public:                                                                                          \
    [[nodiscard]] std::string_view name() const noexcept override { return #id; }                  \
    [[nodiscard]] bool supports(const Probe& probe) const override;                                \
    TRAWL_EXTRACTOR_MEMBERS_##kind                                                                 \
  };
TRAWL_EXTRACTORS(TRAWL_DECLARE_EXTRACTOR)
#undef TRAWL_DECLARE_EXTRACTOR
#undef TRAWL_EXTRACTOR_MEMBERS_ReadsOrScans
#undef TRAWL_EXTRACTOR_MEMBERS_Scans
#undef TRAWL_EXTRACTOR_MEMBERS_Reads

/// The IJG quality (1 to 100) whose scaled luminance table is closest to a DQT table given in
/// zigzag order (64 bytes).
[[nodiscard]] unsigned estimate_ijg_quality(std::span<const std::uint8_t> table);

} // namespace trawl

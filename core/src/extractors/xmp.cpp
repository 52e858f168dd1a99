// XMP packets of JPEG, PNG, WebP, TIFF, ISO base media and PDF files, in the thorough reading
// only: the default reading never offers this extractor an input.
#include "../xmp/xmp.hpp"

#include "extractors.hpp"

namespace trawl {

bool XmpExtractor::supports(const Probe& probe) const {
  return probe.thorough && xmp::has_container(probe.head);
}

ExtractResult XmpExtractor::extract(Source& source, const Probe& probe) const {
  if (!probe.thorough) {
    return Namespace(name());
  }
  if (auto scan = start_scan(probe)) {
    return run_scan(*scan, source, probe);
  }
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  auto packet = xmp::find_packet(*input);
  if (!packet) {
    return Namespace(name());
  }
  Namespace ns = xmp::read_packet(packet->bytes);
  if (packet->cut) {
    mark_truncated(ns, "packet");
  }
  return ns;
}

std::unique_ptr<Scan> XmpExtractor::start_scan(const Probe& probe) const {
  if (!probe.thorough || !ByteReader(probe.head).matches_at(0, "%PDF-")) {
    return nullptr;
  }
  return xmp::start_pdf_scan();
}

} // namespace trawl

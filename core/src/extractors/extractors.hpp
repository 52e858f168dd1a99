// The format extractors of the default registry.
#pragma once

#include <trawl/extractor.hpp>

namespace trawl {

/// Size, sniffed type, SHA-256, CRC-32 and entropy of any input.
class FileExtractor final : public Extractor {
public:
  [[nodiscard]] std::string_view name() const noexcept override { return "file"; }
  [[nodiscard]] bool supports(const Probe& probe) const override;
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
};

} // namespace trawl

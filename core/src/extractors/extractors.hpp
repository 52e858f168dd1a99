// The format extractors of the default registry.
#pragma once

#include <cstdint>
#include <span>

#include <trawl/extractor.hpp>

namespace trawl {

/// Size, sniffed type, SHA-256, CRC-32 and entropy of any input.
class FileExtractor final : public Extractor {
public:
  [[nodiscard]] std::string_view name() const noexcept override { return "file"; }
  [[nodiscard]] bool supports(const Probe& probe) const override;
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
};

/// JPEG marker segments up to the first scan, frame facts and quality estimate.
class JpegExtractor final : public Extractor {
public:
  [[nodiscard]] std::string_view name() const noexcept override { return "jpeg"; }
  [[nodiscard]] bool supports(const Probe& probe) const override;
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
  [[nodiscard]] bool reads_contents() const noexcept override { return true; }
};

/// The IJG quality (1 to 100) whose scaled luminance table is closest to a DQT table given in
/// zigzag order (64 bytes).
[[nodiscard]] unsigned estimate_ijg_quality(std::span<const std::uint8_t> table);

/// PNG chunks up to IEND with header, text, time, gamma and density.
class PngExtractor final : public Extractor {
public:
  [[nodiscard]] std::string_view name() const noexcept override { return "png"; }
  [[nodiscard]] bool supports(const Probe& probe) const override;
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
  [[nodiscard]] bool reads_contents() const noexcept override { return true; }
};

/// GIF screen descriptor, frame count and loop count.
class GifExtractor final : public Extractor {
public:
  [[nodiscard]] std::string_view name() const noexcept override { return "gif"; }
  [[nodiscard]] bool supports(const Probe& probe) const override;
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
  [[nodiscard]] bool reads_contents() const noexcept override { return true; }
};

/// BMP file and info header fields.
class BmpExtractor final : public Extractor {
public:
  [[nodiscard]] std::string_view name() const noexcept override { return "bmp"; }
  [[nodiscard]] bool supports(const Probe& probe) const override;
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
  [[nodiscard]] bool reads_contents() const noexcept override { return true; }
};

/// EXIF fields by image file directory, and the GPS position.
class ExifExtractor final : public Extractor {
public:
  [[nodiscard]] std::string_view name() const noexcept override { return "exif"; }
  [[nodiscard]] bool supports(const Probe& probe) const override;
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override;
  [[nodiscard]] bool reads_contents() const noexcept override { return true; }
};

} // namespace trawl

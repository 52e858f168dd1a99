// EXIF fields of TIFF, JPEG, PNG, HEIF and WebP images, grouped by image file directory, and the
// GPS position in signed decimal degrees.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "../exif/reader.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

using exif::Context;
using exif::ExifData;
using exif::Field;

std::string group_name(unsigned ifd) {
  switch (ifd) {
  case 0:
    return "primary";
  case 1:
    return "thumbnail";
  default:
    return "ifd" + std::to_string(ifd);
  }
}

// Degrees, minutes and seconds of IFD 0's GPS tag `value`, negative when the reference tag
// `ref` reads S or W; NaN without the tag.
double coordinate(const ExifData& data, std::uint16_t value, std::uint16_t ref) {
  const Field* field = data.find({Context::Gps, value}, 0);
  if (field == nullptr || field->type != static_cast<std::uint16_t>(exif::Type::Rational) ||
      data.element_count(*field) < 3) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::array<double, 3> parts{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const exif::Fraction f = data.fraction(*field, i);
    parts.at(i) = static_cast<double>(f.numerator) / static_cast<double>(f.denominator);
  }
  double v = (parts[0] + parts[1] / 60.0) + parts[2] / 3600.0;
  if (const Field* sign = data.find({Context::Gps, ref}, 0)) {
    const std::string text = data.display_value(*sign);
    if (text.starts_with('S') || text.starts_with('W')) {
      v = -v;
    }
  }
  return v;
}

} // namespace

bool ExifExtractor::supports(const Probe& probe) const {
  static constexpr std::array<std::string_view, 6> types = {
      "image/png", "image/jpeg", "image/tiff", "image/heif", "image/heic", "image/webp"};
  return std::find(types.begin(), types.end(), probe.mime) != types.end() ||
         (probe.thorough && exif::is_big_tiff(ByteReader(probe.head)));
}

ExtractResult ExifExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  auto read = probe.thorough && exif::is_big_tiff(*input)
                  ? exif::read_big_tiff(*input, exif::Keep::Last)
                  : exif::read_exif(*input, exif::Keep::Last,
                                    probe.thorough ? exif::Depth::Thorough : exif::Depth::Default);
  Namespace ns(name());
  if (!read) {
    if (read.error().kind == exif::ReadError::Kind::NotFound) {
      return ns;
    }
    return other(std::string(read.error().text));
  }
  // Problems collected on the way are dropped: what could be read is kept. A limit that ended
  // the walk leaves the IFD it was in incomplete.
  const ExifData& data = *read;
  if (const auto ifd = data.stopped_in()) {
    mark_truncated(ns, group_name(ifd.value_or(0)));
  }
  // Each tag of an IFD has one field, its last (a tag's name is unique to its context and
  // number). They are shown in tag order, which decides what the text budget leaves out.
  const auto fields = data.fields();
  std::vector<std::uint64_t> order(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    order[i] = (std::uint64_t{exif::tag_in_ifd(fields[i])} << 32U) | i;
  }
  std::sort(order.begin(), order.end());
  std::array<Map, 8> groups;
  // Real values take at most about five characters per byte ("255, "); six leaves room.
  std::uint64_t budget = 6 * std::uint64_t{data.tiff().size()} + exif::max_value_text;
  for (const std::uint64_t k : order) {
    const Field& field = fields[k & 0xFFFFFFFFU];
    // Text beyond the budget is left out: crafted data can point many fields at one blob.
    if (budget == 0) {
      mark_truncated(ns, group_name(field.ifd));
      continue;
    }
    std::string text = data.display_with_unit(field);
    if (text.size() >= exif::max_value_text) {
      mark_truncated(ns, group_name(field.ifd) + "." + exif::display_tag(field.tag));
    }
    budget -= std::min<std::uint64_t>(budget, text.size());
    groups.at(field.ifd).emplace(exif::display_tag(field.tag), Value(std::move(text)));
  }
  for (unsigned ifd = 0; ifd < groups.size(); ++ifd) {
    if (!groups.at(ifd).empty()) {
      ns.set(group_name(ifd), std::move(groups.at(ifd)));
    }
  }
  // A zero denominator gives no position rather than an infinite or undefined one.
  const auto latitude = coordinate(data, 2, 1);
  const auto longitude = coordinate(data, 4, 3);
  if (std::isfinite(latitude) && std::isfinite(longitude)) {
    Map position;
    position.emplace("latitude", Value::from_float(latitude));
    position.emplace("longitude", Value::from_float(longitude));
    ns.set("gps_decimal", std::move(position));
  }
  return ns;
}

} // namespace trawl

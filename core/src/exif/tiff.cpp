// The TIFF structure of an EXIF block (TIFF 6.0, CIPA DC-008) and of BigTIFF files: header, the
// chain of top-level IFDs and the Exif, GPS and interoperability sub-IFDs they point to.
#include <algorithm>
#include <optional>

#include "../support/byte_reader.hpp"
#include "reader.hpp"
#include "tags.hpp"

namespace trawl::exif {

namespace {

constexpr unsigned max_top_level_ifds = 8;

// The context a pointer tag opens, when the tag is a pointer in `parent`.
std::optional<Context> sub_ifd_context(Context parent, std::uint16_t number) noexcept {
  if (parent == Context::Tiff && number == 0x8769) {
    return Context::Exif;
  }
  if (parent == Context::Tiff && number == 0x8825) {
    return Context::Gps;
  }
  if (parent == Context::Exif && number == 0xA005) {
    return Context::Interop;
  }
  return std::nullopt;
}

// What ended an IFD read; an empty text means the walk was stopped and is already recorded.
using IfdResult = Expected<std::uint64_t, std::string_view>;

// Classic TIFF: 16-bit entry counts, 12-byte entries, 32-bit counts and offsets. BigTIFF: 64-bit
// entry counts, 20-byte entries, 64-bit counts and offsets.
template <bool Big> struct IfdLayout {
  static constexpr std::size_t entry = Big ? 20 : 12;
  static constexpr std::size_t value_at = Big ? 12 : 8; // the value or its offset in an entry
  static constexpr std::size_t count_size = Big ? 8 : 2;
  static constexpr std::size_t inline_size = Big ? 8 : 4; // the most value bytes an entry holds
};

template <bool Big> class TiffWalk {
  using Layout = IfdLayout<Big>;

public:
  TiffWalk(ExifData& data, Depth depth)
      : data_(data), r_(data.tiff()), depth_(depth), entries_left_(8 * (r_.size() / 12) + 64),
        bytes_left_(8 * std::uint64_t{r_.size()} + 65536) {}

  void walk(std::uint64_t first) {
    std::uint64_t offset = first;
    for (unsigned n = 0; offset != 0; ++n) {
      if (n == max_top_level_ifds) {
        data_.collect("Limit the IFD count to 8");
        return;
      }
      const IfdResult next = read_ifd(offset, Context::Tiff, static_cast<std::uint8_t>(n));
      if (!next) {
        collect(next.error());
        return;
      }
      offset = *next;
    }
  }

private:
  // Nesting is at most Tiff -> Exif -> Interop, so the recursion is two levels deep.
  IfdResult read_ifd(std::uint64_t offset, Context context, std::uint8_t ifd) {
    if (ifds_left_ == 0) {
      data_.stop("Limit the walked IFD count", ifd);
      return unexpected(std::string_view());
    }
    --ifds_left_;
    std::optional<std::uint64_t> count;
    if constexpr (Big) {
      count = r_.u64_at(offset);
    } else {
      count = r_.u16_at(offset);
    }
    if (!count) {
      return unexpected(std::string_view("Truncated IFD count"));
    }
    // Each entry read takes its bytes of the data: a BigTIFF count cannot make the loop long.
    std::uint64_t pos = offset + Layout::count_size;
    for (std::uint64_t i = 0; i < count.value_or(0); ++i, pos += Layout::entry) {
      const auto entry = r_.fixed<Layout::entry>(pos);
      if (!entry) {
        return unexpected(std::string_view("Truncated IFD"));
      }
      if (!read_entry(*entry, pos, context, ifd)) { // checked just above
        return unexpected(std::string_view());
      }
    }
    std::optional<std::uint64_t> next;
    if constexpr (Big) {
      next = r_.u64_at(pos);
    } else {
      next = r_.u32_at(pos);
    }
    if (!next) {
      return unexpected(std::string_view("Truncated next IFD offset"));
    }
    return next.value_or(0);
  }

  // Returns false once the work allowed for this input is used up.
  // An IFD entry: tag, type, count, then the value or its offset.
  bool read_entry(const Fixed<Layout::entry>& entry, std::uint64_t pos, Context context,
                  std::uint8_t ifd) {
    Field field;
    field.tag = {context, entry.template u16<0>()};
    field.ifd = ifd;
    field.type = entry.template u16<2>();
    field.offset = pos + Layout::value_at;
    std::uint64_t count = 0;
    if constexpr (Big) {
      count = entry.template u64<4>();
    } else {
      count = entry.template u32<4>();
    }
    // A BigTIFF count past 32 bits would need more bytes than any file holds here.
    if (count > UINT32_MAX) {
      data_.collect("Truncated field value");
      return true;
    }
    field.count = static_cast<std::uint32_t>(count);
    const std::uint64_t size = unit_size(field.type, Big) * field.count;
    // Each entry costs one unit and its value's bytes: a file that points many times at the same
    // data cannot make the walk take more than a small multiple of its own size.
    if (entries_left_ == 0) {
      return stop(ifd);
    }
    --entries_left_;
    if (size > Layout::inline_size) {
      if constexpr (Big) {
        field.offset = entry.template u64<12>();
      } else {
        field.offset = entry.template u32<8>();
      }
      if (!r_.fits(field.offset, size)) {
        data_.collect("Truncated field value");
        return true;
      }
    }
    if (size > bytes_left_) {
      return stop(ifd);
    }
    bytes_left_ -= size;
    const auto child = sub_ifd_context(context, field.tag.number);
    if (!child) {
      if (!data_.add(field)) {
        data_.stop("Limit the field count", ifd);
        return false;
      }
      return true;
    }
    const auto sub = first_uint(field);
    if (!sub) {
      data_.collect("Invalid pointer");
      return true;
    }
    // Interop opens nothing further, so the recursion stays bounded whatever `child` holds.
    const IfdResult next = read_ifd(sub.value_or(0), child.value_or(Context::Interop), ifd);
    if (!next) {
      collect(next.error());
      return !next.error().empty();
    }
    if (*next != 0) {
      data_.collect("Unexpected next IFD");
    }
    return true;
  }

  // A pointer's first element, when its type is BYTE, SHORT or LONG (or, in BigTIFF, LONG8 or
  // IFD8; or IFD, which TIFF Technical Note 1 adds and some writers use for the Exif and GPS
  // pointers, in the thorough reading).
  [[nodiscard]] std::optional<std::uint64_t> first_uint(const Field& field) const noexcept {
    if (field.count == 0) {
      return std::nullopt;
    }
    if (depth_ == Depth::Thorough && field.type == ifd_type) {
      return r_.u32_at(field.offset);
    }
    switch (static_cast<Type>(field.type)) {
    case Type::Byte:
      return r_.u8_at(field.offset);
    case Type::Short:
      return r_.u16_at(field.offset);
    case Type::Long:
      return r_.u32_at(field.offset);
    case Type::Long8:
    case Type::Ifd8:
      return Big ? r_.u64_at(field.offset) : std::nullopt;
    default:
      return std::nullopt;
    }
  }

  bool stop(std::uint8_t ifd) {
    data_.stop("Limit the fields read to the size of the data", ifd);
    return false;
  }
  void collect(std::string_view problem) {
    if (!problem.empty()) {
      data_.collect(problem);
    }
  }

  ExifData& data_;
  static constexpr std::uint16_t ifd_type = 13;

  ByteReader r_;
  Depth depth_;
  std::uint64_t entries_left_;
  std::uint64_t bytes_left_;
  unsigned ifds_left_ = max_walked_ifds;
};

// The index of `tag` in reference_tags, or its size when the tag is none of them.
std::size_t reference_slot(Tag tag) noexcept {
  // Most tags are none of them: GPS references are numbered 1 to 25, the others are two units.
  if (tag.context == Context::Gps ? tag.number > 25 : tag.number != 296 && tag.number != 41488) {
    return reference_tags.size();
  }
  return static_cast<std::size_t>(std::find(reference_tags.begin(), reference_tags.end(), tag) -
                                  reference_tags.begin());
}

} // namespace

ExifData::ExifData(std::vector<std::uint8_t> owned, const ByteReader& tiff, bool big_endian,
                   Keep keep, bool big_tiff)
    : owned_(std::move(owned)),
      tiff_(tiff.with_order(big_endian ? ByteOrder::Big : ByteOrder::Little)),
      big_endian_(big_endian), keep_(keep), big_tiff_(big_tiff) {
  for (auto& slots : last_reference_) {
    slots.fill(no_field);
  }
}

bool ExifData::add(const Field& field) {
  if (keep_ == Keep::Last) {
    // A later field of the same tag replaces the earlier at once: a crafted IFD visited over
    // and over then costs no memory.
    if (2 * (fields_.size() + 1) > slots_.size()) {
      grow_slots();
    }
    std::uint32_t& slot = slots_.at(slot_of(tag_in_ifd(field)));
    if (slot != 0) {
      fields_.at(slot - 1) = field;
      return true;
    }
    if (fields_.size() == max_fields) {
      return false;
    }
    slot = static_cast<std::uint32_t>(fields_.size() + 1);
  } else if (fields_.size() == max_fields) {
    return false;
  } else if (const std::size_t slot = reference_slot(field.tag); slot < reference_tags.size()) {
    last_reference_.at(slot).at(field.ifd) = fields_.size();
  }
  fields_.push_back(field);
  return true;
}

std::size_t ExifData::slot_of(std::uint32_t key) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  // Fibonacci hashing: the high half of the product mixes every bit of the key.
  std::size_t at = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15U) >> 32U) & mask;
  while (slots_.at(at) != 0 && tag_in_ifd(fields_.at(slots_.at(at) - 1)) != key) {
    at = (at + 1) & mask;
  }
  return at;
}

void ExifData::grow_slots() {
  slots_.assign(std::max<std::size_t>(64, 2 * slots_.size()), 0);
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    slots_.at(slot_of(tag_in_ifd(fields_[i]))) = static_cast<std::uint32_t>(i + 1);
  }
}

void ExifData::stop(std::string_view problem, std::uint8_t ifd) {
  problems_.push_back(problem);
  stopped_in_ = ifd;
}

const Field* ExifData::find(Tag tag, unsigned ifd) const noexcept {
  if (ifd >= max_top_level_ifds) {
    return nullptr;
  }
  if (keep_ == Keep::Last) {
    if (slots_.empty()) {
      return nullptr;
    }
    const std::uint32_t slot =
        slots_.at(slot_of(tag_in_ifd({tag, static_cast<std::uint8_t>(ifd)})));
    return slot == 0 ? nullptr : &fields_.at(slot - 1);
  }
  if (const std::size_t slot = reference_slot(tag); slot < reference_tags.size()) {
    const std::size_t at = last_reference_.at(slot).at(ifd);
    return at == no_field ? nullptr : &fields_.at(at);
  }
  const auto it = std::find_if(fields_.rbegin(), fields_.rend(),
                               [&](const Field& f) { return f.tag == tag && f.ifd == ifd; });
  return it == fields_.rend() ? nullptr : &*it;
}

Expected<ExifData, ReadError> read_tiff(std::vector<std::uint8_t> owned, const ByteReader& tiff,
                                        Keep keep, Depth depth) {
  // Byte order mark, 42 and the first IFD's offset, in the order the mark gives.
  const bool big_endian = tiff.matches_at(0, "MM");
  const auto h = tiff.with_order(big_endian ? ByteOrder::Big : ByteOrder::Little).fixed<8>(0);
  if (!h) {
    return unexpected(ReadError{ReadError::Kind::Failed, "Truncated TIFF header"});
  }
  if (!big_endian && !tiff.matches_at(0, "II")) {
    return unexpected(ReadError{ReadError::Kind::Failed, "Invalid TIFF byte order"});
  }
  if (h->u16<2>() != 42) {
    return unexpected(ReadError{ReadError::Kind::Failed, "Invalid forty two"});
  }
  const std::uint32_t first = h->u32<4>();
  ExifData data(std::move(owned), tiff, big_endian, keep);
  TiffWalk<false>(data, depth).walk(first);
  return data;
}

bool is_big_tiff(const ByteReader& data) {
  using namespace std::string_view_literals;
  return data.matches_at(0, "II\x2B\0"sv) || data.matches_at(0, "MM\0\x2B"sv);
}

Expected<ExifData, ReadError> read_big_tiff(const ByteReader& tiff, Keep keep) {
  // Byte order mark, 43, offset size 8, 0, and the first IFD's 64-bit offset.
  const bool big_endian = tiff.matches_at(0, "MM");
  const auto h = tiff.with_order(big_endian ? ByteOrder::Big : ByteOrder::Little).fixed<16>(0);
  if (!h || !is_big_tiff(tiff)) {
    return unexpected(ReadError{ReadError::Kind::Failed, "Truncated TIFF header"});
  }
  if (h->u16<4>() != 8 || h->u16<6>() != 0) {
    return unexpected(ReadError{ReadError::Kind::Failed, "Invalid BigTIFF offset size"});
  }
  ExifData data({}, tiff, big_endian, keep, true);
  TiffWalk<true>(data, Depth::Thorough).walk(h->u64<8>());
  return data;
}

} // namespace trawl::exif

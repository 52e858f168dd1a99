#include "filter.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "../support/text.hpp"
#include "../support/zlib_inflate.hpp"

namespace trawl::pdf {

namespace {

std::optional<std::vector<std::uint8_t>> ascii_hex(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  out.reserve(data.size() / 2);
  int high = -1;
  for (const std::uint8_t c : data) {
    if (c == '>') {
      break;
    }
    int v = -1;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (is_space(c)) {
      continue;
    } else {
      return std::nullopt;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>((high << 4) | v));
      high = -1;
    }
  }
  if (high >= 0) {
    out.push_back(static_cast<std::uint8_t>(high << 4));
  }
  return out;
}

// ASCII base-85: groups of five characters give four bytes, "z" four zeros, "~>" ends.
std::optional<std::vector<std::uint8_t>> ascii85(std::span<const std::uint8_t> data,
                                                 std::uint64_t cap) {
  std::vector<std::uint8_t> out;
  std::array<std::uint8_t, 5> group{};
  std::size_t n = 0;
  const auto emit = [&](std::size_t bytes) {
    std::uint64_t v = 0;
    for (const std::uint8_t g : group) {
      v = v * 85 + g;
    }
    if (v > 0xFFFFFFFFU) {
      return false;
    }
    for (std::size_t i = 0; i < bytes; ++i) {
      out.push_back(static_cast<std::uint8_t>(v >> (24U - 8U * i)));
    }
    return true;
  };
  for (const std::uint8_t c : data) {
    if (out.size() >= cap) {
      break;
    }
    if (c == '~') {
      break;
    }
    if (is_space(c)) {
      continue;
    }
    if (c == 'z' && n == 0) {
      out.insert(out.end(), 4, 0);
      continue;
    }
    if (c < '!' || c > 'u') {
      return std::nullopt;
    }
    group.at(n++) = static_cast<std::uint8_t>(c - '!');
    if (n == 5) {
      if (!emit(4)) {
        return std::nullopt;
      }
      n = 0;
    }
  }
  if (n > 1) {
    std::fill(group.begin() + static_cast<std::ptrdiff_t>(n), group.end(), 84);
    if (!emit(n - 1)) {
      return std::nullopt;
    }
  }
  return out;
}

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c) noexcept {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) {
    return a;
  }
  return pb <= pc ? b : c;
}

std::int64_t parm(const Object& parms, std::string_view key, std::int64_t fallback) {
  const Object* v = parms.get(key);
  return v != nullptr ? v->as_int().value_or(fallback) : fallback;
}

} // namespace

Decoded inflate(std::span<const std::uint8_t> data, std::uint64_t cap) {
  const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(cap, SIZE_MAX));
  Inflated z = inflate_data(ByteReader(data), room, Wrapping::Zlib);
  if (z.bytes.empty()) {
    // Some writers leave out the zlib header.
    Inflated raw = inflate_data(ByteReader(data), room, Wrapping::Raw);
    if (!raw.bytes.empty()) {
      return {std::move(raw.bytes), raw.cut};
    }
  }
  return {std::move(z.bytes), z.cut};
}

std::optional<std::vector<std::uint8_t>> unpredict(std::vector<std::uint8_t> data,
                                                   const Object& parms) {
  const std::int64_t predictor = parm(parms, "Predictor", 1);
  if (predictor <= 1) {
    return data;
  }
  const std::int64_t colors = parm(parms, "Colors", 1);
  const std::int64_t bits = parm(parms, "BitsPerComponent", 8);
  const std::int64_t columns = parm(parms, "Columns", 1);
  if (colors < 1 || colors > 32 ||
      (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) || columns < 1 ||
      columns > (1 << 24)) {
    return std::nullopt;
  }
  const auto pixel = static_cast<std::size_t>(std::max<std::int64_t>(1, colors * bits / 8));
  const auto row = static_cast<std::size_t>((colors * bits * columns + 7) / 8);
  if (predictor == 2) {
    if (bits != 8) {
      return std::nullopt; // only byte samples are met in these streams
    }
    for (std::size_t start = 0; start < data.size(); start += row) {
      const auto line = std::span(data).subspan(start, std::min(row, data.size() - start));
      for (std::size_t i = pixel; i < line.size(); ++i) {
        line[i] = static_cast<std::uint8_t>(line[i] + line[i - pixel]);
      }
    }
    return data;
  }
  // PNG predictors: each row starts with its filter type byte (RFC 2083 6).
  std::vector<std::uint8_t> out;
  out.reserve(data.size() - data.size() / (row + 1));
  std::vector<std::uint8_t> previous(std::min(row, data.size()), 0); // no row is longer
  for (std::size_t start = 0; start < data.size(); start += row + 1) {
    const std::uint8_t type = data[start];
    const auto line = std::span(data).subspan(start + 1, std::min(row, data.size() - start - 1));
    for (std::size_t i = 0; i < line.size(); ++i) {
      const std::uint8_t left = i >= pixel ? line[i - pixel] : 0;
      const std::uint8_t up = previous[i];
      const std::uint8_t corner = i >= pixel ? previous[i - pixel] : 0;
      std::uint8_t add = 0;
      switch (type) {
      case 1:
        add = left;
        break;
      case 2:
        add = up;
        break;
      case 3:
        add = static_cast<std::uint8_t>((left + up) / 2);
        break;
      case 4:
        add = paeth(left, up, corner);
        break;
      default:
        break;
      }
      line[i] = static_cast<std::uint8_t>(line[i] + add);
      previous[i] = line[i];
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

std::optional<Decoded> decode(std::span<const std::uint8_t> data, const Object* filter,
                              const Object* parms, std::uint64_t cap) {
  const bool chain = filter != nullptr && filter->kind == Kind::Array;
  const std::size_t count = chain ? filter->items.size() : filter != nullptr ? 1 : 0;
  if (count > 8) {
    return std::nullopt;
  }
  Decoded out;
  std::span<const std::uint8_t> current = data; // the input of the next filter
  for (std::size_t i = 0; i < count; ++i) {
    const Object& f = chain ? filter->items[i] : *filter;
    const Object* p = parms;
    if (p != nullptr && p->kind == Kind::Array) {
      p = i < p->items.size() ? &p->items[i] : nullptr;
    }
    if (f.is_name("FlateDecode") || f.is_name("Fl")) {
      Decoded step = inflate(current, cap);
      step.capped = step.capped || out.capped;
      out = std::move(step);
      if (p != nullptr && p->is_dict()) {
        auto plain = unpredict(std::move(out.bytes), *p);
        if (!plain) {
          return std::nullopt;
        }
        out.bytes = std::move(*plain);
      }
    } else if (f.is_name("ASCIIHexDecode") || f.is_name("AHx")) {
      auto plain = ascii_hex(current);
      if (!plain) {
        return std::nullopt;
      }
      out.bytes = std::move(*plain);
    } else if (f.is_name("ASCII85Decode") || f.is_name("A85")) {
      auto plain = ascii85(current, cap);
      if (!plain) {
        return std::nullopt;
      }
      out.bytes = std::move(*plain);
    } else if (f.is_name("Crypt") || f.kind == Kind::Null) {
      continue; // decryption is done before the filters
    } else {
      return std::nullopt; // image and other filters are never needed here
    }
    current = out.bytes;
  }
  if (current.data() == data.data()) {
    const auto kept =
        current.first(static_cast<std::size_t>(std::min<std::uint64_t>(current.size(), cap)));
    out.bytes.assign(kept.begin(), kept.end());
    out.capped = kept.size() < current.size();
  }
  if (out.bytes.size() > cap) {
    out.bytes.resize(static_cast<std::size_t>(cap));
    out.capped = true;
  }
  return out;
}

} // namespace trawl::pdf

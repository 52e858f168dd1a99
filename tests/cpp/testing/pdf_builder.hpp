// PDF files laid out for tests: objects, classic tables and cross-reference streams with the
// offsets filled in, so that each row shows only the objects that matter.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing/builders.hpp"

namespace trawl::testing {

/// zlib data of `data` (deflate at the default level).
inline std::string zlib_compress(std::string_view data) {
  const Bytes out = deflated(text(data));
  return {out.begin(), out.end()};
}

/// A stream object's body: the dictionary entries, /Length and the data.
inline std::string stream_body(std::string_view entries, std::string_view data) {
  return "<< " + std::string(entries) + " /Length " + std::to_string(data.size()) +
         " >>\nstream\n" + std::string(data) + "\nendstream";
}

/// An object stream's body holding (number, object) pairs, deflated when `flate`.
inline std::string object_stream_body(const std::vector<std::pair<unsigned, std::string>>& objects,
                                      bool flate) {
  std::string header;
  std::string bodies;
  for (const auto& [num, body] : objects) {
    header += std::to_string(num) + " " + std::to_string(bodies.size()) + " ";
    bodies += body + "\n";
  }
  const std::string data = header + bodies;
  const std::string entries = "/Type /ObjStm /N " + std::to_string(objects.size()) + " /First " +
                              std::to_string(header.size()) +
                              (flate ? " /Filter /FlateDecode" : "");
  return stream_body(entries, flate ? zlib_compress(data) : data);
}

/// A file written section by section, as a writer and its incremental updates do.
class PdfWriter {
public:
  explicit PdfWriter(std::string header = "%PDF-1.4\n") : out_(std::move(header)) {}

  /// "num 0 obj body endobj".
  PdfWriter& object(unsigned num, std::string_view body) {
    offsets_[num] = out_.size();
    section_.push_back(num);
    out_ += std::to_string(num) + " 0 obj\n" + std::string(body) + "\nendobj\n";
    return *this;
  }
  /// Bytes as they are.
  PdfWriter& raw(std::string_view bytes) {
    out_ += bytes;
    return *this;
  }
  /// A classic table of the objects since the last section, its trailer (entries without
  /// /Prev, which is added) and startxref; `shift` is added to every offset the table lists.
  PdfWriter& table(std::string_view trailer, std::int64_t shift = 0) {
    const std::size_t at = out_.size();
    out_ += "xref\n0 1\n0000000000 65535 f\r\n";
    for (const unsigned num : section_) {
      const std::string offset = std::to_string(static_cast<std::int64_t>(offsets_[num]) + shift);
      out_ += std::to_string(num) + " 1\n" + std::string(10 - offset.size(), '0') + offset +
              " 00000 n\r\n";
    }
    out_ += "trailer\n<< " + std::string(trailer) + prev() + " >>\n";
    return end_section(at);
  }
  /// A cross-reference stream (object `num`, /W [1 4 2], deflated with PNG Up rows when
  /// `predictor`) of the objects since the last section and of `compressed` ones
  /// (number, object stream, index).
  PdfWriter& xref_stream(unsigned num, std::string_view entries,
                         const std::vector<std::array<unsigned, 3>>& compressed = {},
                         bool predictor = false) {
    const std::size_t at = out_.size();
    std::map<unsigned, std::string> rows;
    const auto row = [](unsigned type, std::uint64_t f2, unsigned f3) {
      std::string r(1, static_cast<char>(type));
      for (int s = 24; s >= 0; s -= 8) {
        r.push_back(static_cast<char>((f2 >> static_cast<unsigned>(s)) & 0xFFU));
      }
      r.push_back(static_cast<char>((f3 >> 8U) & 0xFFU));
      r.push_back(static_cast<char>(f3 & 0xFFU));
      return r;
    };
    for (const unsigned n : section_) {
      rows[n] = row(1, offsets_[n], 0);
    }
    rows[num] = row(1, at, 0);
    for (const auto& c : compressed) {
      rows[c[0]] = row(2, c[1], c[2]);
    }
    std::string data;
    std::string index;
    std::string previous(7, '\0');
    for (const auto& [n, r] : rows) {
      index += std::to_string(n) + " 1 ";
      if (predictor) {
        data.push_back(2); // PNG Up: each byte minus the one above it
        for (std::size_t i = 0; i < r.size(); ++i) {
          data.push_back(static_cast<char>(r[i] - previous[i]));
        }
        previous = r;
      } else {
        data += r;
      }
    }
    std::string dict =
        "/Type /XRef /W [1 4 2] /Index [" + index + "] " + std::string(entries) + prev();
    if (predictor) {
      dict += " /Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 7 >>";
      data = zlib_compress(data);
    }
    offsets_[num] = at;
    out_ += std::to_string(num) + " 0 obj\n" + stream_body(dict, data) + "\nendobj\n";
    return end_section(at);
  }
  [[nodiscard]] std::size_t offset(unsigned num) const { return offsets_.at(num); }
  [[nodiscard]] const std::string& text() const noexcept { return out_; }

private:
  [[nodiscard]] std::string prev() const { return last_ ? " /Prev " + std::to_string(*last_) : ""; }
  PdfWriter& end_section(std::size_t at) {
    out_ += "startxref\n" + std::to_string(at) + "\n%%EOF\n";
    last_ = at;
    section_.clear();
    return *this;
  }

  std::string out_;
  std::map<unsigned, std::size_t> offsets_;
  std::vector<unsigned> section_;
  std::optional<std::size_t> last_;
};

} // namespace trawl::testing

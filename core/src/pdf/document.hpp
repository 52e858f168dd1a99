// The object graph of a PDF file (ISO 32000-1 7.5): cross-reference tables and streams along
// the /Prev chain (newest first), object streams, encrypted strings and streams, and a rebuilt
// table from "N G obj" headers when the cross-reference is damaged.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "crypt.hpp"
#include "filter.hpp"
#include "object.hpp"

namespace trawl::pdf {

/// Object numbers kept, whatever the file's size: far beyond any real file's.
inline constexpr std::uint64_t max_entries = std::uint64_t{1} << 22U;

/// The offsets of " obj" a pass keeps for a file of `len` bytes, to rebuild its table from.
[[nodiscard]] constexpr std::uint64_t mark_cap(std::uint64_t len) noexcept {
  return std::min<std::uint64_t>(65536 + len / 16, max_entries);
}

/// The work one file may cause; every figure is a hard stop.
struct Caps {
  /// Decoded bytes of one stream.
  std::uint64_t stream_bytes = 0;
  /// Decoded bytes of all streams together.
  std::uint64_t total_bytes = 0;
  /// Decoded object streams kept at once, in bytes.
  std::uint64_t held_bytes = 0;
  /// Cross-reference entries (object numbers) kept.
  std::size_t entries = 0;
  /// Cross-reference entries read from all sections together.
  std::uint64_t entries_read = 0;
  /// Cross-reference sections followed along /Prev.
  std::size_t sections = 1024;
  /// Objects one object stream may list.
  std::size_t objects_per_stream = std::size_t{1} << 20U;
  /// Largest window of the file one object is parsed from.
  std::uint64_t object_window = std::uint64_t{16} << 20U;
  /// Bytes read by the object parser and the searches, all together (a file can make the same
  /// bytes be read again and again: overlapping objects, chains of sections).
  std::uint64_t parse_bytes = 0;

  /// The caps for a file of `len` bytes: a stream decodes to at most 64 MiB, 16 MiB + 8 times
  /// the file and 1032 times its own size (deflate's largest ratio, applied when decoding); all
  /// streams together to 64 MiB + 4 times the file (at most 256 MiB); entries to 65,536 + one
  /// per 8 bytes (at most max_entries), twice that many read; the parser reads at most
  /// 64 MiB + 16 times the file (at most 256 MiB).
  [[nodiscard]] static Caps for_length(std::uint64_t len) noexcept;
};

/// One cross-reference entry.
struct Entry {
  enum class Type : std::uint8_t { Unset, InUse, Compressed };
  std::uint64_t offset = 0; ///< InUse: byte offset; Compressed: the object stream's number
  std::uint32_t index = 0;  ///< Compressed: index in the object stream
  Type type = Type::Unset;
};

/// Random access to the objects of one file.
class Document {
public:
  /// `marks` are the offsets of " obj" found by a pass over the file, in order (the rebuilt
  /// table is made from them).
  Document(const ByteReader& file, std::span<const std::uint64_t> marks, const Caps& caps);

  /// Reads the cross-reference and the trailer, rebuilding them when they are damaged, and
  /// opens the security handler; false when no catalog can be found.
  [[nodiscard]] bool open();

  /// The merged trailer dictionary (the newest value of each key).
  [[nodiscard]] const Object& trailer() const noexcept { return trailer_; }
  /// The opened security handler, when the trailer has /Encrypt.
  [[nodiscard]] const std::optional<CryptOpening>& crypt() const noexcept { return crypt_; }
  /// The catalog (/Root), resolved.
  [[nodiscard]] const Object& catalog() const noexcept { return catalog_; }

  /// The object a reference points to (with its strings decrypted), or `o` itself; a chain of
  /// references is followed a few steps.
  [[nodiscard]] std::optional<Object> resolve(const Object& o);
  /// The indirect object `num`, with where its stream data starts.
  [[nodiscard]] std::optional<Indirect> load(std::uint32_t num);
  /// The decoded data of a stream object at most `cap` bytes long (and within the caps).
  [[nodiscard]] std::optional<Decoded> stream_data(const Indirect& object, std::uint64_t cap);
  /// Whether any stream reached a cap.
  [[nodiscard]] bool capped() const noexcept { return capped_; }
  /// Asks `stop` every few MiB of work; once it says yes, every read fails.
  void set_stop(std::function<bool()> stop) { stop_ = std::move(stop); }
  /// Whether `stop` said yes.
  [[nodiscard]] bool stopped() const noexcept { return stopped_; }

private:
  struct ObjectStream {
    std::vector<std::uint8_t> data;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> objects;   // number, offset in data
    std::vector<std::pair<std::uint32_t, std::uint64_t>> by_number; // the same, sorted
    std::uint64_t first = 0;
  };

  [[nodiscard]] bool read_sections(std::uint64_t start);
  [[nodiscard]] std::optional<std::uint64_t> read_table(std::uint64_t at);
  [[nodiscard]] bool read_xref_stream(const Indirect& object, std::vector<Entry>& into);
  void merge_trailer(const Object& dict);
  void set_entry(std::vector<Entry>& table, std::uint64_t num, const Entry& entry) const;
  [[nodiscard]] std::optional<std::uint64_t> find_startxref() const;
  void rebuild();
  [[nodiscard]] std::optional<std::pair<std::uint64_t, std::uint64_t>>
  object_header(std::uint64_t mark) const;
  void merge_file_trailers();
  bool merge_trailer_at(std::uint64_t at);
  void replace_root(std::uint32_t num);
  [[nodiscard]] bool find_catalog();
  [[nodiscard]] std::optional<Indirect> parse_at(std::uint64_t offset, std::uint64_t first_window,
                                                 std::uint64_t last_window);
  [[nodiscard]] std::optional<Indirect> load_from(const std::vector<Entry>& table,
                                                  std::uint32_t num, bool direct);
  [[nodiscard]] std::optional<Indirect> from_object_stream(std::uint32_t stream,
                                                           std::uint32_t index, std::uint32_t num);
  [[nodiscard]] const ObjectStream* object_stream(std::uint32_t num);
  [[nodiscard]] std::optional<Indirect> search_object_streams(std::uint32_t num);
  void decrypt_strings(Indirect& object);
  // Takes `bytes` of parsing work from the budget; false once it is spent or the caller stops.
  bool charge(std::uint64_t bytes);
  // Counts `bytes` of any work; whether the caller asked to stop.
  bool stopping(std::uint64_t bytes);
  // Counts `n` cross-reference entries read; false once there are more than the cap.
  bool count_entries(std::uint64_t n) noexcept;
  [[nodiscard]] std::optional<std::uint64_t> stream_length(const Indirect& object);
  [[nodiscard]] std::uint64_t stream_extent(const Indirect& object, std::uint64_t input_cap);

  const ByteReader& file_;
  std::span<const std::uint64_t> marks_;
  Caps caps_;
  std::vector<Entry> entries_;
  std::vector<Entry> rebuilt_;
  bool rebuilt_done_ = false;
  Object trailer_;
  Object catalog_;
  std::optional<CryptOpening> crypt_;
  std::optional<Ref> encrypt_ref_;
  std::uint64_t decoded_total_ = 0;
  std::uint64_t parsed_total_ = 0;
  std::uint64_t entries_read_ = 0;
  bool capped_ = false;
  std::function<bool()> stop_;
  std::uint64_t work_ = 0;
  std::uint64_t next_stop_check_ = 0;
  bool stopped_ = false;
  // Decoded object streams, oldest use first.
  std::vector<std::pair<std::uint32_t, std::shared_ptr<const ObjectStream>>> streams_;
  std::uint64_t held_ = 0;
  bool decoding_stream_ = false;
  std::unordered_set<std::uint32_t> failed_streams_;
  std::vector<std::uint32_t> all_object_streams_; // rebuilt: every /Type /ObjStm, in file order
  std::unordered_set<std::uint32_t> searched_streams_;
};

} // namespace trawl::pdf

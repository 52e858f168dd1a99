#include "zlib_inflate.hpp"

#include <algorithm>
#include <climits>

#include <zlib.h>

namespace trawl {

namespace {

// The input is fed a block at a time: a reader over a file's mirror holds one block at once.
constexpr std::uint64_t input_block = std::uint64_t{64} << 10U;
// Room for the output starts near what text and metadata inflate to, then doubles.
constexpr std::size_t first_room_cap = std::size_t{1} << 20U;

} // namespace

Inflated inflate_data(const ByteReader& input, std::size_t cap, Wrapping wrapping,
                      std::span<const std::uint8_t> prefix) {
  Inflated out;
  z_stream z{};
  if (inflateInit2(&z, wrapping == Wrapping::Zlib ? MAX_WBITS : -MAX_WBITS) != Z_OK) {
    out.broken = true;
    return out;
  }
  // Room grows with what the stream really produces, never from a size it declares.
  const std::uint64_t in_size = prefix.size() + input.size();
  std::size_t room =
      static_cast<std::size_t>(std::min<std::uint64_t>({cap, first_room_cap, 4 * in_size + 256}));
  out.bytes.resize(room);
  std::size_t produced = 0;
  std::uint64_t read = 0;
  ByteView held;
  // zlib's input pointer is not const in its declaration; it is never written through.
  z.next_in = const_cast<Bytef*>(prefix.data()); // NOLINT(*-const-cast)
  z.avail_in = static_cast<uInt>(prefix.size());
  int status = Z_OK;
  while (status == Z_OK) {
    if (produced == room) {
      if (room == cap) {
        out.cut = true;
        break;
      }
      room = std::min(cap, 2 * room);
      out.bytes.resize(room);
    }
    if (z.avail_in == 0 && read < input.size()) {
      held = input.clipped_at(read, input_block);
      read += held.size();
      z.next_in = const_cast<Bytef*>(held.data()); // NOLINT(*-const-cast)
      z.avail_in = static_cast<uInt>(held.size());
    }
    const std::size_t out_chunk = std::min<std::size_t>(room - produced, UINT_MAX);
    z.next_out = std::span(out.bytes).subspan(produced).data();
    z.avail_out = static_cast<uInt>(out_chunk);
    status = inflate(&z, Z_NO_FLUSH);
    produced += out_chunk - z.avail_out;
    if (status == Z_BUF_ERROR && produced == room) {
      status = Z_OK; // only the output was full
    }
  }
  inflateEnd(&z);
  out.broken = status != Z_STREAM_END && !out.cut;
  out.bytes.resize(produced);
  return out;
}

Inflated inflate_zlib(std::span<const std::uint8_t> input, std::size_t cap) {
  return inflate_data(ByteReader(input), cap, Wrapping::Zlib);
}

} // namespace trawl

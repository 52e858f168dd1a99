#include "zlib_inflate.hpp"

#include <algorithm>
#include <climits>

#include <zlib.h>

namespace trawl {

Inflated inflate_zlib(std::span<const std::uint8_t> input, std::size_t cap) {
  Inflated out;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    out.broken = true;
    return out;
  }
  // Room grows with what the stream really produces, never from a size it declares.
  std::size_t room = std::min<std::size_t>(cap, 4 * input.size() + 256);
  out.bytes.resize(room);
  std::size_t produced = 0;
  std::size_t consumed = 0;
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
    const std::size_t in_chunk = std::min<std::size_t>(input.size() - consumed, UINT_MAX);
    const std::size_t out_chunk = std::min<std::size_t>(room - produced, UINT_MAX);
    // zlib's input pointer is not const but inflate only reads through it.
    z.next_in = const_cast<Bytef*>(input.subspan(consumed).data());
    z.avail_in = static_cast<uInt>(in_chunk);
    z.next_out = std::span(out.bytes).subspan(produced).data();
    z.avail_out = static_cast<uInt>(out_chunk);
    status = inflate(&z, Z_NO_FLUSH);
    consumed += in_chunk - z.avail_in;
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

} // namespace trawl

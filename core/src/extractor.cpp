// The out-of-line parts of the extractor interface: the default Source operations and
// extractor errors.
#include <algorithm>

#include <trawl/extractor.hpp>

namespace trawl {

IoResult<std::size_t> Source::fill(std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto n = read(buffer.subspan(filled));
    if (!n) {
      return n;
    }
    if (*n == 0) {
      break;
    }
    filled += *n;
  }
  return filled;
}

IoResult<void> Source::read_exact(std::span<std::uint8_t> buffer) {
  auto n = fill(buffer);
  if (!n) {
    return std::move(n).error();
  }
  if (*n < buffer.size()) {
    return IoError::unexpected_eof();
  }
  return {};
}

IoResult<std::uint64_t> Source::read_to_end(std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  std::size_t step = std::size_t{64} * 1024;
  for (;;) {
    const std::size_t before = out.size();
    out.resize(before + step);
    auto n = read(std::span(out).subspan(before));
    if (!n) {
      out.resize(before);
      return std::move(n).error();
    }
    out.resize(before + *n);
    if (*n == 0) {
      return static_cast<std::uint64_t>(out.size() - start);
    }
    // Grow the request with the data so large inputs take few reads.
    step = std::min<std::size_t>(std::max(step, out.size()), std::size_t{64} << 20U);
  }
}

IoResult<std::uint64_t> Source::stream_position() {
  return seek(SeekBase::Current, 0);
}

IoResult<std::uint64_t> Source::stream_length() {
  auto here = stream_position();
  if (!here) {
    return here;
  }
  auto end = seek(SeekBase::End, 0);
  if (!end) {
    return end;
  }
  if (*end != *here) {
    auto back = seek_to(*here);
    if (!back) {
      return back;
    }
  }
  return end;
}

ExtractError io_error(const IoError& error) {
  return {ExtractError::Kind::Io, {}, std::string(error.text())};
}

ExtractError malformed(std::string_view format, std::string reason) {
  return {ExtractError::Kind::Malformed, format, std::move(reason)};
}

ExtractError other(std::string text) {
  return {ExtractError::Kind::Other, {}, std::move(text)};
}

ExtractError stopped() {
  return {ExtractError::Kind::Stopped, {}, "stopped"};
}

std::string ExtractError::message() const {
  switch (kind_) {
  case Kind::Io:
    return "I/O error: " + text_;
  case Kind::Malformed:
    return "malformed " + std::string(format_) + ": " + text_;
  case Kind::Other:
  case Kind::Stopped:
    break;
  }
  return text_;
}

} // namespace trawl

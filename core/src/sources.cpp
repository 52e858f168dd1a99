#include "sources.hpp"

#include <algorithm>
#include <limits>

namespace trawl {

namespace {

// Adds a signed offset to an unsigned base; nothing when the result leaves 0..2^64-1.
std::optional<std::uint64_t> offset_from(std::uint64_t base, std::int64_t offset) {
  if (offset >= 0) {
    const auto delta = static_cast<std::uint64_t>(offset);
    if (delta > std::numeric_limits<std::uint64_t>::max() - base) {
      return std::nullopt;
    }
    return base + delta;
  }
  // Magnitude of a negative int64 without overflow on the minimum.
  const std::uint64_t magnitude = static_cast<std::uint64_t>(-(offset + 1)) + 1;
  if (magnitude > base) {
    return std::nullopt;
  }
  return base - magnitude;
}

} // namespace

IoResult<std::size_t> BufferSource::read(std::span<std::uint8_t> buffer) {
  if (pos_ >= data_.size()) {
    return std::size_t{0};
  }
  const auto start = static_cast<std::size_t>(pos_);
  const std::size_t n = std::min(buffer.size(), data_.size() - start);
  std::copy_n(data_.subspan(start).begin(), n, buffer.begin());
  pos_ += n;
  return n;
}

IoResult<std::uint64_t> BufferSource::seek_to(std::uint64_t offset) {
  pos_ = offset;
  return offset;
}

IoResult<std::uint64_t> BufferSource::seek(SeekBase base, std::int64_t offset) {
  const std::uint64_t from = base == SeekBase::End ? data_.size() : pos_;
  const auto to = offset_from(from, offset);
  if (!to) {
    return IoError::invalid_seek();
  }
  pos_ = *to;
  return *to;
}

IoResult<std::uint64_t> BufferSource::read_to_end(std::vector<std::uint8_t>& out) {
  if (pos_ >= data_.size()) {
    return std::uint64_t{0};
  }
  const auto rest = data_.subspan(static_cast<std::size_t>(pos_));
  out.insert(out.end(), rest.begin(), rest.end());
  pos_ = data_.size();
  return static_cast<std::uint64_t>(rest.size());
}

IoResult<std::size_t> FileSource::read_file(std::span<std::uint8_t> buffer) const {
  return platform::read(file_, buffer, stop_requested_);
}

IoResult<std::size_t> FileSource::read(std::span<std::uint8_t> buffer) {
  // Large reads into an empty buffer bypass it, as a copy would gain nothing.
  if (pos_ == filled_ && buffer.size() >= capacity) {
    discard_buffer();
    return read_file(buffer);
  }
  if (pos_ == filled_) {
    auto n = read_file(buffer_);
    if (!n) {
      return n;
    }
    pos_ = 0;
    filled_ = *n;
  }
  const std::size_t n = std::min(buffer.size(), filled_ - pos_);
  std::copy_n(std::span(buffer_).subspan(pos_).begin(), n, buffer.begin());
  pos_ += n;
  return n;
}

IoResult<std::uint64_t> FileSource::seek_to(std::uint64_t offset) {
  discard_buffer();
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return IoError::from_os(platform::invalid_argument);
  }
  return platform::seek(file_, static_cast<std::int64_t>(offset), platform::From::Start);
}

IoResult<std::uint64_t> FileSource::seek(SeekBase base, std::int64_t offset) {
  if (base == SeekBase::End) {
    discard_buffer();
    return platform::seek(file_, offset, platform::From::End);
  }
  // The file is ahead of the logical position by the unread part of the buffer.
  const auto unread = static_cast<std::int64_t>(filled_ - pos_);
  if (offset == 0) {
    auto at = platform::seek(file_, 0, platform::From::Current);
    if (!at) {
      return at;
    }
    return *at - static_cast<std::uint64_t>(unread);
  }
  discard_buffer();
  if (offset >= std::numeric_limits<std::int64_t>::min() + unread) {
    return platform::seek(file_, offset - unread, platform::From::Current);
  }
  auto back = platform::seek(file_, -unread, platform::From::Current);
  if (!back) {
    return back;
  }
  return platform::seek(file_, offset, platform::From::Current);
}

IoResult<std::uint64_t> FileSource::read_to_end(std::vector<std::uint8_t>& out) {
  // What the buffer holds, then the rest straight from the file.
  const std::size_t buffered = filled_ - pos_;
  out.insert(out.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
             buffer_.begin() + static_cast<std::ptrdiff_t>(filled_));
  discard_buffer();
  auto rest = Source::read_to_end(out);
  if (!rest) {
    return rest;
  }
  return *rest + buffered;
}

IoResult<std::span<const std::uint8_t>> FileSource::contents() {
  // The whole file is never copied: readers use the mirror, loaded as they go.
  auto len = stream_length();
  if (!len) {
    return std::move(len).error();
  }
  FileMirror* whole = *len <= FileMirror::resident_budget ? mirror(*len) : nullptr;
  if (whole == nullptr) {
    if (*len == 0) {
      return std::span<const std::uint8_t>{};
    }
    return IoError::from_os(platform::out_of_memory);
  }
  whole->load(whole->data());
  return whole->data();
}

std::optional<std::span<const std::uint8_t>> FileSource::contents_if_ready() const {
  return std::nullopt;
}

FileMirror* FileSource::mirror(std::uint64_t len) {
  if (!mirror_) {
    mirror_ = FileMirror::create(file_, len);
  }
  return mirror_.get();
}

} // namespace trawl

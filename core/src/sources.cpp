#include "sources.hpp"

#include <algorithm>
#include <limits>
#include <utility>

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

IoResult<std::size_t> FileSource::read_file(std::span<std::uint8_t> buffer) {
  // The file's own position is at_ plus what the buffer holds unread.
  const std::uint64_t file_at = at_ + (filled_ - pos_);
  if (limit_) {
    if (file_at >= *limit_) {
      return std::size_t{0};
    }
    buffer = buffer.first(
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), *limit_ - file_at)));
  }
  auto n = platform::read(file_, buffer, stop_requested_);
  if (n && *n == 0 && !buffer.empty() && limit_) {
    came_short_ = true;
  }
  return n;
}

IoResult<std::size_t> FileSource::read(std::span<std::uint8_t> buffer) {
  untouched_ = untouched_ && buffer.empty();
  if (has_whole_) {
    const auto rest =
        std::span<const std::uint8_t>(whole_.get(), whole_size_)
            .subspan(static_cast<std::size_t>(std::min<std::uint64_t>(at_, whole_size_)));
    const std::size_t n = std::min(buffer.size(), rest.size());
    std::copy_n(rest.begin(), n, buffer.begin());
    at_ += n;
    return n;
  }
  // Large reads into an empty buffer bypass it, as a copy would gain nothing.
  if (pos_ == filled_ && buffer.size() >= capacity) {
    discard_buffer();
    auto n = read_file(buffer);
    if (n) {
      at_ += *n;
    }
    return n;
  }
  if (pos_ == filled_) {
    discard_buffer();
    auto n = read_file(buffer_);
    if (!n) {
      return n;
    }
    filled_ = *n;
  }
  const std::size_t n = std::min(buffer.size(), filled_ - pos_);
  std::copy_n(std::span(buffer_).subspan(pos_).begin(), n, buffer.begin());
  pos_ += n;
  at_ += n;
  return n;
}

IoResult<std::uint64_t> FileSource::seek_to(std::uint64_t offset) {
  const bool untouched = std::exchange(untouched_, false);
  discard_buffer();
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return IoError::from_os(platform::invalid_argument);
  }
  if (has_whole_ || (untouched && offset == 0)) {
    untouched_ = untouched;
    at_ = offset;
    return offset;
  }
  auto to = platform::seek(file_, static_cast<std::int64_t>(offset), platform::From::Start);
  if (to) {
    at_ = *to;
  }
  return to;
}

IoResult<std::uint64_t> FileSource::seek(SeekBase base, std::int64_t offset) {
  untouched_ = false;
  if (has_whole_) {
    const auto to = offset_from(base == SeekBase::End ? whole_size_ : at_, offset);
    if (!to) {
      return IoError::invalid_seek();
    }
    at_ = *to;
    return *to;
  }
  if (base == SeekBase::Current && offset == 0) {
    return at_;
  }
  // The file is ahead of the logical position by the unread part of the buffer.
  const auto unread = static_cast<std::int64_t>(filled_ - pos_);
  discard_buffer();
  IoResult<std::uint64_t> to = std::uint64_t{0};
  if (base == SeekBase::End) {
    to = platform::seek(file_, offset, platform::From::End);
  } else if (offset >= std::numeric_limits<std::int64_t>::min() + unread) {
    to = platform::seek(file_, offset - unread, platform::From::Current);
  } else {
    auto back = platform::seek(file_, -unread, platform::From::Current);
    if (!back) {
      return back;
    }
    to = platform::seek(file_, offset, platform::From::Current);
  }
  if (to) {
    at_ = *to;
  }
  return to;
}

bool FileSource::wants_whole(std::uint64_t len) const {
  return !has_whole_ && limit_ && len == *limit_ && len <= whole_up_to_;
}

void FileSource::keep(WholeInput whole, std::size_t filled) {
  whole_ = std::move(whole);
  whole_size_ = filled;
  has_whole_ = true;
  discard_buffer();
  cache_.reset();
}

IoResult<std::span<const std::uint8_t>> FileSource::contents() {
  if (!has_whole_) {
    // The whole file is never copied beyond the cache's budget: larger ones go through cache().
    if (!limit_ || *limit_ > whole_up_to_) {
      return IoError::from_os(platform::out_of_memory);
    }
    const auto len = static_cast<std::size_t>(*limit_);
    auto whole = make_whole_input(len);
    const std::span<std::uint8_t> dst(whole.get(), len);
    if (auto at = seek_to(0); !at) {
      return std::move(at).error();
    }
    auto filled = fill(dst);
    if (!filled) {
      return std::move(filled).error();
    }
    keep(std::move(whole), *filled);
  }
  return std::span<const std::uint8_t>(whole_.get(), whole_size_);
}

std::optional<std::span<const std::uint8_t>> FileSource::contents_if_ready() const {
  if (!has_whole_) {
    return std::nullopt;
  }
  return std::span<const std::uint8_t>(whole_.get(), whole_size_);
}

FileCache* FileSource::cache(std::uint64_t len) {
  if (has_whole_ || len == 0 || (limit_ && len <= std::min(small_file, whole_up_to_))) {
    return nullptr;
  }
  if (!cache_) {
    cache_ = std::make_unique<FileCache>(file_, len);
  }
  return cache_.get();
}

} // namespace trawl

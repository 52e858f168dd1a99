#include "platform.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif
#include <unistd.h>
#endif

namespace trawl::platform {

namespace {

std::optional<std::uint64_t> unix_seconds(std::int64_t seconds) {
  if (seconds < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(seconds);
}

// A time stamp as one number for comparison; wraps rather than overflows on absurd values.
[[maybe_unused]] std::int64_t nanoseconds(std::int64_t seconds, std::int64_t nanos) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(seconds) * 1'000'000'000U +
                                   static_cast<std::uint64_t>(nanos));
}

} // namespace

#if defined(_WIN32)

std::string error_text(int code) {
  std::array<char, 512> scratch{};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, scratch.data(),
                                   static_cast<DWORD>(scratch.size()), nullptr);
  std::string text(scratch.data(), n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text + " (os error " + std::to_string(code) + ")";
}

int last_error() noexcept {
  return static_cast<int>(::GetLastError());
}

bool interrupted(int /*code*/) noexcept {
  return false;
}

Expected<FileId, IoError> open_file(const std::string& path) {
  const int wide_len =
      ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  if (wide_len <= 0 && !path.empty()) {
    return IoError::from_os(last_error());
  }
  std::wstring wide(static_cast<std::size_t>(wide_len), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                        wide_len);
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return IoError::from_os(last_error());
  }
  return file;
}

void close_file(FileId file) noexcept {
  ::CloseHandle(file);
}

void make_blocking(FileId /*file*/) noexcept {}

bool on_pseudo_file_system(FileId /*file*/) noexcept {
  return false;
}

IoResult<FileStat> stat_file(FileId file) {
  LARGE_INTEGER size{};
  FILE_BASIC_INFO info{};
  if (::GetFileSizeEx(file, &size) == 0 ||
      ::GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) == 0) {
    return IoError::from_os(last_error());
  }
  // 100 ns ticks since 1601.
  const auto seconds = [](LARGE_INTEGER t) {
    return unix_seconds(t.QuadPart / 10'000'000 - 11'644'473'600LL);
  };
  FileStat st;
  st.size = static_cast<std::uint64_t>(size.QuadPart);
  st.modified = seconds(info.LastWriteTime);
  st.created = seconds(info.CreationTime);
  st.modified_stamp = info.LastWriteTime.QuadPart;
  st.changed_stamp = info.ChangeTime.QuadPart;
  st.sized = ::GetFileType(file) == FILE_TYPE_DISK &&
             (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  return st;
}

IoResult<std::size_t> read(FileId file, std::span<std::uint8_t> buffer,
                           const std::function<bool()>& /*stop*/) {
  DWORD got = 0;
  const auto want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1U << 30U));
  if (::ReadFile(file, buffer.data(), want, &got, nullptr) == 0) {
    const int code = last_error();
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) {
      return std::size_t{0};
    }
    return IoError::from_os(code);
  }
  return std::size_t{got};
}

IoResult<std::uint64_t> seek(FileId file, std::int64_t offset, From from) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER at{};
  const DWORD method = from == From::Start     ? FILE_BEGIN
                       : from == From::Current ? FILE_CURRENT
                                               : FILE_END;
  if (::SetFilePointerEx(file, distance, &at, method) == 0) {
    return IoError::from_os(last_error());
  }
  return static_cast<std::uint64_t>(at.QuadPart);
}

std::size_t read_at(FileId file, std::span<std::uint8_t> buffer, std::uint64_t offset) noexcept {
  // A positioned read moves the file pointer of a synchronous handle: put it back.
  LARGE_INTEGER zero{};
  LARGE_INTEGER here{};
  const bool saved = ::SetFilePointerEx(file, zero, &here, FILE_CURRENT) != 0;
  std::size_t done = 0;
  while (done < buffer.size()) {
    OVERLAPPED at{};
    const std::uint64_t pos = offset + done;
    at.Offset = static_cast<DWORD>(pos & 0xFFFF'FFFFU);
    at.OffsetHigh = static_cast<DWORD>(pos >> 32U);
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(buffer.size() - done, 1U << 30U));
    if (::ReadFile(file, buffer.data() + done, want, &got, &at) == 0 || got == 0) {
      break;
    }
    done += got;
  }
  if (saved) {
    ::SetFilePointerEx(file, here, nullptr, FILE_BEGIN);
  }
  return done;
}

std::uint64_t next_data(FileId /*file*/, std::uint64_t offset, std::uint64_t /*end*/) noexcept {
  return offset;
}

#else

namespace {

// glibc's strerror_r returns the text (GNU); musl's and the BSDs' return 0 (POSIX).
[[maybe_unused]] const char* strerror_result(const char* text, const char* /*scratch*/) {
  return text;
}
[[maybe_unused]] const char* strerror_result(int rc, const char* scratch) {
  return rc == 0 ? scratch : "Unknown error";
}

} // namespace

std::string error_text(int code) {
  std::array<char, 256> scratch{};
  const char* text =
      strerror_result(strerror_r(code, scratch.data(), scratch.size()), scratch.data());
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

int last_error() noexcept {
  return errno;
}

bool interrupted(int code) noexcept {
  return code == EINTR;
}

Expected<FileId, IoError> open_file(const std::string& path) {
  int fd = -1;
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; make_blocking
  // then lets reads wait again, so a writer's data is still read to its end.
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); // NOLINT(hicpp-signed-bitwise)
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return IoError::from_os(errno);
  }
  return fd;
}

bool on_pseudo_file_system(FileId file) noexcept {
#if defined(__linux__)
  struct statfs fs {};
  if (::fstatfs(file, &fs) != 0) {
    return false;
  }
  // proc, sysfs, debugfs, tracefs, securityfs, cgroup, cgroup2, configfs, efivarfs, pstore, bpf
  constexpr std::array<std::uint64_t, 11> pseudo = {
      0x9FA0U,     0x62656572U, 0x64626720U, 0x74726163U, 0x73636673U, 0x27E0EBU,
      0x63677270U, 0x62656570U, 0xDE5E81E4U, 0x6165676CU, 0xCAFE4A11U};
  const auto type = static_cast<std::uint64_t>(fs.f_type);
  return std::find(pseudo.begin(), pseudo.end(), type) != pseudo.end();
#else
  (void)file;
  return false;
#endif
}

void make_blocking(FileId file) noexcept {
  if (const int flags = ::fcntl(file, F_GETFL); flags >= 0) {
    ::fcntl(file, F_SETFL, flags & ~O_NONBLOCK); // NOLINT(hicpp-signed-bitwise)
  }
}

void close_file(FileId file) noexcept {
  ::close(file);
}

IoResult<FileStat> stat_file(FileId file) {
#if defined(__linux__) && defined(STATX_BTIME)
  // statx gives the birth time where the file system keeps one; fstat is the fallback.
  struct statx sx {};
  if (::statx(file, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) == 0) {
    FileStat st;
    st.size = sx.stx_size;
    if ((sx.stx_mask & STATX_MTIME) != 0U) {
      st.modified = unix_seconds(sx.stx_mtime.tv_sec);
    }
    if ((sx.stx_mask & STATX_BTIME) != 0U) {
      st.created = unix_seconds(sx.stx_btime.tv_sec);
    }
    st.modified_stamp = nanoseconds(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    st.changed_stamp = nanoseconds(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);
    st.sized = S_ISREG(sx.stx_mode);
    return st;
  }
  if (errno != ENOSYS && errno != EPERM) {
    return IoError::from_os(errno);
  }
#endif
  struct stat plain {};
  if (::fstat(file, &plain) != 0) {
    return IoError::from_os(errno);
  }
  FileStat st;
  st.size = static_cast<std::uint64_t>(plain.st_size);
  st.sized = S_ISREG(plain.st_mode);
#if defined(__APPLE__)
  st.modified = unix_seconds(plain.st_mtimespec.tv_sec);
  st.created = unix_seconds(plain.st_birthtimespec.tv_sec);
  st.modified_stamp = nanoseconds(plain.st_mtimespec.tv_sec, plain.st_mtimespec.tv_nsec);
  st.changed_stamp = nanoseconds(plain.st_ctimespec.tv_sec, plain.st_ctimespec.tv_nsec);
#else
#if defined(__FreeBSD__) || defined(__NetBSD__)
  st.created = unix_seconds(plain.st_birthtim.tv_sec);
#endif
  st.modified = unix_seconds(plain.st_mtim.tv_sec);
  st.modified_stamp = nanoseconds(plain.st_mtim.tv_sec, plain.st_mtim.tv_nsec);
  st.changed_stamp = nanoseconds(plain.st_ctim.tv_sec, plain.st_ctim.tv_nsec);
#endif
  return st;
}

IoResult<std::size_t> read(FileId file, std::span<std::uint8_t> buffer,
                           const std::function<bool()>& stop) {
  for (;;) {
    const ssize_t n = ::read(file, buffer.data(), buffer.size());
    if (n >= 0) {
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR || (stop && stop())) {
      return IoError::from_os(errno);
    }
  }
}

IoResult<std::uint64_t> seek(FileId file, std::int64_t offset, From from) {
  const int whence = from == From::Start ? SEEK_SET : from == From::Current ? SEEK_CUR : SEEK_END;
  const off_t at = ::lseek(file, static_cast<off_t>(offset), whence);
  if (at < 0) {
    return IoError::from_os(errno);
  }
  return static_cast<std::uint64_t>(at);
}

std::size_t read_at(FileId file, std::span<std::uint8_t> buffer, std::uint64_t offset) noexcept {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const std::span<std::uint8_t> rest = buffer.subspan(done);
    const ssize_t got = ::pread(file, rest.data(), rest.size(), static_cast<off_t>(offset + done));
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  return done;
}

std::uint64_t next_data(FileId file, std::uint64_t offset, std::uint64_t end) noexcept {
#if defined(SEEK_DATA)
  const off_t here = ::lseek(file, 0, SEEK_CUR);
  if (here < 0 || offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return offset;
  }
  const off_t data = ::lseek(file, static_cast<off_t>(offset), SEEK_DATA);
  const int error = errno;
  ::lseek(file, here, SEEK_SET);
  if (data >= 0) {
    return std::min(std::max(static_cast<std::uint64_t>(data), offset), end);
  }
  return error == ENXIO ? end : offset; // ENXIO: nothing but a hole up to the end
#else
  (void)file;
  (void)end;
  return offset;
#endif
}

#endif

} // namespace trawl::platform

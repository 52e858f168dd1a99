// The inventory's walk. _listing lists one directory: its names read and stat'ed by name within
// the open directory while other threads run, then sorted in the order of the files table.
// _unchanged passes over the files found as they are stored, the common case of a re-scan. What
// they give and every error they report are those of their Python versions in trawl.inventory,
// which the tests compare them with. _stamped lists a directory and compares it with its stored
// blob of stamps (which _stamps_blob writes), so that Python sees only the files that differ.
#include "inventory.hpp"

#include <array>
#include <cstddef>
#include <span>

#include "py_ref.hpp"
#include "support/byte_reader.hpp"

#if !defined(_WIN32)
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace trawl::python {
namespace {

// A tuple of new references, any of which may be null (then null with the error set).
template <std::size_t N> PyObject* tuple_of(const std::array<PyObject*, N>& items) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(N)));
  bool complete = true;
  for (std::size_t i = 0; i < N; ++i) {
    complete = complete && items.at(i) != nullptr;
    if (tuple) {
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items.at(i));
    } else {
      Py_XDECREF(items.at(i));
    }
  }
  return complete ? tuple.release() : nullptr;
}

// Positions in a files row (trawl.inventory's _ROW) and in the stamps.
constexpr Py_ssize_t row_path = 0;
constexpr Py_ssize_t row_stamps = 1; // dev, ino, size, mtime_ns, ctime_ns
constexpr Py_ssize_t row_read = 6;
constexpr Py_ssize_t row_removed = 7;
constexpr Py_ssize_t stamp_count = 5;
constexpr Py_ssize_t stamp_mtime = 3;
constexpr Py_ssize_t stamp_ctime = 4;

// 1 when `entry` (path, stamps) is the file `row` stores, present and read by a trusted scan
// after its stamps last moved; 0 when the caller decides; -1 with an exception set.
int as_stored(PyObject* entry, PyObject* row, PyObject* own, PyObject* trusted) {
  if (PyTuple_CheckExact(entry) == 0 || PyTuple_GET_SIZE(entry) != 2 ||
      PyTuple_CheckExact(row) == 0 || PyTuple_GET_SIZE(row) <= row_removed ||
      PyTuple_GET_ITEM(row, row_removed) != Py_None) {
    return 0;
  }
  PyObject* key = PyTuple_GET_ITEM(entry, 0);
  PyObject* stamps = PyTuple_GET_ITEM(entry, 1);
  if (PyTuple_CheckExact(stamps) == 0 || PyTuple_GET_SIZE(stamps) != stamp_count) {
    return 0;
  }
  int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(row, row_path), key, Py_EQ);
  for (Py_ssize_t i = 0; same == 1 && i < stamp_count; ++i) {
    same = PyObject_RichCompareBool(PyTuple_GET_ITEM(row, row_stamps + i),
                                    PyTuple_GET_ITEM(stamps, i), Py_EQ);
  }
  if (same != 1) {
    return same;
  }
  PyObject* found = PyDict_GetItemWithError(trusted, PyTuple_GET_ITEM(row, row_read));
  if (found == nullptr) {
    return PyErr_Occurred() != nullptr ? -1 : 0;
  }
  const PyRef limit(Py_NewRef(found));
  same = PyObject_RichCompareBool(PyTuple_GET_ITEM(stamps, stamp_mtime), limit.get(), Py_LT);
  if (same == 1) {
    same = PyObject_RichCompareBool(PyTuple_GET_ITEM(stamps, stamp_ctime), limit.get(), Py_LT);
  }
  if (same != 1) {
    return same;
  }
  const int ours = PySequence_Contains(own, key); // the inventory's own files
  return ours < 0 ? -1 : static_cast<int>(ours == 0);
}

} // namespace

PyObject* unchanged(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (!takes("_unchanged", nargs, 6)) {
    return nullptr;
  }
  const std::span<PyObject* const> values(args, 6);
  PyObject* run = values[0];
  PyObject* rows = values[2];
  PyObject* trusted = values[5];
  if (PyList_Check(run) == 0 || PyList_Check(rows) == 0 || PyDict_Check(trusted) == 0) {
    PyErr_SetString(
        PyExc_TypeError,
        "_unchanged() takes the entries and rows as lists, the trusted scans as a dict");
    return nullptr;
  }
  Py_ssize_t i = PyLong_AsSsize_t(values[1]);
  Py_ssize_t j = i < 0 ? -1 : PyLong_AsSsize_t(values[3]);
  if (j < 0) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_ValueError, "_unchanged() takes positions of 0 or more");
    }
    return nullptr;
  }
  while (i < PyList_GET_SIZE(run) && j < PyList_GET_SIZE(rows)) {
    // Held: a comparison may run Python code, which could change the lists.
    const PyRef entry(Py_NewRef(PyList_GET_ITEM(run, i)));
    const PyRef row(Py_NewRef(PyList_GET_ITEM(rows, j)));
    const int same = as_stored(entry.get(), row.get(), values[4], trusted);
    if (same < 0) {
      return nullptr;
    }
    if (same == 0) {
      break;
    }
    ++i;
    ++j;
  }
  return tuple_of<2>({PyLong_FromSsize_t(i), PyLong_FromSsize_t(j)});
}

} // namespace trawl::python

#if !defined(_WIN32)

namespace trawl::python {
namespace {

// What the walk compares: device, inode, size, modification and status-change times.
struct Stamps {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::int64_t size = 0;
  timespec modified{};
  timespec changed{};
};

Stamps stamps_of(const struct stat& info) {
  Stamps stamps;
  stamps.dev = static_cast<std::uint64_t>(info.st_dev);
  stamps.ino = static_cast<std::uint64_t>(info.st_ino);
  stamps.size = static_cast<std::int64_t>(info.st_size);
#if defined(__APPLE__)
  stamps.modified = info.st_mtimespec;
  stamps.changed = info.st_ctimespec;
#else
  stamps.modified = info.st_mtim;
  stamps.changed = info.st_ctim;
#endif
  return stamps;
}

struct Item {
  std::string key; // the name, and "/" after a directory's: the order of the files table
  bool directory = false;
  Stamps stamps;
};

struct Listing {
  int error = 0;           // the directory's own: opening, status or reading it
  bool error_named = true; // os.fstat's error names no file
  Stamps self;
  std::vector<Item> items;                           // regular files and directories
  std::vector<std::pair<std::string, int>> failures; // names whose status failed, as read
};

struct CloseDir {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// Without the interpreter lock: nothing here touches Python. The names are all read before any
// is stat'ed, so that a failed read reports the directory alone, as os.listdir does.
void read_directory(const char* path, bool follow, bool root, Listing& out) {
  // A root named by its link is followed; a link met inside only when following.
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (root || follow ? 0 : O_NOFOLLOW);
  int fd = -1;
  do {
    fd = ::open(path, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    out.error = errno;
    return;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    out.error = errno;
    out.error_named = false;
    ::close(fd);
    return;
  }
  out.self = stamps_of(info);
  const std::unique_ptr<DIR, CloseDir> dir(::fdopendir(fd));
  if (!dir) {
    out.error = errno;
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) {
        out.error = errno;
        return;
      }
      break;
    }
    const std::string_view name(static_cast<const char*>(entry->d_name));
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  const int at = ::dirfd(dir.get());
  const int nofollow = follow ? 0 : AT_SYMLINK_NOFOLLOW;
  out.items.reserve(names.size());
  for (std::string& name : names) {
    // The status serves both to tell files from directories and as the stamps.
    if (::fstatat(at, name.c_str(), &info, nofollow) != 0) {
      const int code = errno;
      if (code != ENOENT && code != ENOTDIR) { // a file gone meanwhile is not there: no error
        out.failures.emplace_back(std::move(name), code);
      }
      continue;
    }
    if (S_ISREG(info.st_mode)) {
      out.items.push_back({std::move(name), false, stamps_of(info)});
    } else if (S_ISDIR(info.st_mode)) {
      name.push_back('/');
      out.items.push_back({std::move(name), true, {}});
    }
  }
  std::sort(out.items.begin(), out.items.end(),
            [](const Item& a, const Item& b) { return a.key < b.key; });
}

// False when memory ran out.
bool list_unlocked(const char* path, bool follow, bool root, Listing& out) noexcept {
  try {
    read_directory(path, follow, root, out);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// SQLite's integers are signed: the top half of unsigned 64-bit numbers wraps.
PyObject* signed_number(std::uint64_t number) {
  return PyLong_FromLongLong(static_cast<long long>(number));
}

constexpr long long billion = 1'000'000'000;

// Whether `seconds` in nanoseconds fits a signed 64-bit integer (SQLite's and a long long).
bool fits_in_nanoseconds(long long seconds) {
  constexpr long long limit = LLONG_MAX / billion - 1;
  return seconds >= -limit && seconds <= limit;
}

// A time in nanoseconds as os.stat gives st_mtime_ns.
PyObject* nanoseconds(const timespec& time) {
  const auto seconds = static_cast<long long>(time.tv_sec);
  if (fits_in_nanoseconds(seconds)) {
    return PyLong_FromLongLong(seconds * billion + time.tv_nsec);
  }
  // Centuries away: in Python's unbounded integers.
  const PyRef whole(PyLong_FromLongLong(seconds));
  const PyRef scale(PyLong_FromLongLong(billion));
  const PyRef fraction(PyLong_FromLong(time.tv_nsec));
  if (!whole || !scale || !fraction) {
    return nullptr;
  }
  const PyRef scaled(PyNumber_Multiply(whole.get(), scale.get()));
  return scaled ? PyNumber_Add(scaled.get(), fraction.get()) : nullptr;
}

// The files of a directory share their device: one number object serves them all.
class Devices {
public:
  PyObject* number(std::uint64_t dev) {
    if (!last_ || dev != value_) {
      last_.reset(signed_number(dev));
      value_ = dev;
    }
    return last_ ? Py_NewRef(last_.get()) : nullptr;
  }

private:
  PyRef last_;
  std::uint64_t value_ = 0;
};

PyObject* stamps_tuple(const Stamps& stamps, Devices& devices) {
  return tuple_of<5>({devices.number(stamps.dev), signed_number(stamps.ino),
                      PyLong_FromLongLong(stamps.size), nanoseconds(stamps.modified),
                      nanoseconds(stamps.changed)});
}

PyObject* bytes_of(std::string_view text) {
  return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The directory's path, "/" unless it ends with one, and the name.
PyObject* joined(std::string_view dir, std::string_view name) {
  const bool slash = dir.ends_with('/');
  const std::size_t size = dir.size() + (slash ? 0 : 1) + name.size();
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes != nullptr) {
    const std::span<char> out(PyBytes_AS_STRING(bytes), size);
    auto at = std::copy(dir.begin(), dir.end(), out.begin());
    if (!slash) {
      *at++ = '/';
    }
    std::copy(name.begin(), name.end(), at);
  }
  return bytes;
}

// Calls failed(path, OSError) with the error os.open or os.stat raises for `code` on `filename`.
bool report(PyObject* failed, PyObject* path, int code, PyObject* filename) {
  errno = code;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename); // null: no file name
  const PyRef error(PyErr_GetRaisedException());
  if (!error) {
    return false;
  }
  const std::array<PyObject*, 2> call{path, error.get()};
  const PyRef result(PyObject_Vectorcall(failed, call.data(), 2, nullptr));
  return static_cast<bool>(result);
}

// _has_ext: the text after the name's last dot (not a leading one), lowercased, is in `ext`;
// -1 with an exception set. A dot is one byte in the file system's encoding, so decoding the
// bytes after it alone gives the same text.
int has_ext(std::string_view name, PyObject* ext, PyObject* lower) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    return 0;
  }
  const std::string_view suffix = name.substr(dot + 1);
  const PyRef text(
      PyUnicode_DecodeFSDefaultAndSize(suffix.data(), static_cast<Py_ssize_t>(suffix.size())));
  if (!text) {
    return -1;
  }
  const PyRef folded(PyObject_CallMethodNoArgs(text.get(), lower));
  return folded ? PySequence_Contains(ext, folded.get()) : -1;
}

// The regular files that pass the extension filter (None: all), and the directories.
bool kept_items(const Listing& found, PyObject* ext, std::vector<const Item*>& kept) {
  kept.reserve(found.items.size());
  PyRef lower;
  if (ext != Py_None) {
    lower.reset(PyUnicode_InternFromString("lower"));
    if (!lower) {
      return false;
    }
  }
  for (const Item& item : found.items) {
    if (!item.directory && lower) {
      const int wanted = has_ext(item.key, ext, lower.get());
      if (wanted < 0) {
        return false;
      }
      if (wanted == 0) {
        continue;
      }
    }
    kept.push_back(&item);
  }
  return true;
}

PyObject* entry_of(std::string_view dir, const Item& item, Devices& devices) {
  if (item.directory) {
    const std::string_view name(item.key.data(), item.key.size() - 1);
    return tuple_of<2>({joined(dir, name), Py_NewRef(Py_None)});
  }
  return tuple_of<2>({joined(dir, item.key), stamps_tuple(item.stamps, devices)});
}

// Lists `dir` (the bytes of `path`) into `found` without the interpreter lock and reports its
// failures through `failed`; true when the listing is there to use. Otherwise `early` is what the
// caller returns at once: None when the directory itself could not be read, null with an
// exception set on failure.
bool list_reporting(PyObject* path, std::string_view dir, bool follow, bool root, PyObject* failed,
                    Listing& found, PyObject*& early) {
  early = nullptr;
  PyThreadState* saved = PyEval_SaveThread();
  const bool done = list_unlocked(dir.data(), follow, root, found);
  PyEval_RestoreThread(saved);
  if (!done) {
    PyErr_NoMemory();
    return false;
  }
  if (found.error != 0) {
    PyObject* named = found.error_named ? path : nullptr;
    early = report(failed, path, found.error, named) ? Py_NewRef(Py_None) : nullptr;
    return false;
  }
  for (const auto& [name, code] : found.failures) {
    const PyRef full(joined(dir, name));
    const PyRef bare(bytes_of(name)); // os.stat(name, dir_fd=...) names the bare name
    if (!full || !bare || !report(failed, full.get(), code, bare.get())) {
      return false;
    }
  }
  return true;
}

// The listed entries (path, stamps or None) as a new list; null with an exception set.
PyObject* entries_of(std::string_view dir, std::span<const Item* const> items) {
  PyRef entries(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!entries) {
    return nullptr;
  }
  Devices devices;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* entry = entry_of(dir, *items[i], devices);
    if (entry == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return entries.release();
}

// The listed directory's identity (device, inode), as the walk keeps it against loops.
PyObject* ident_of(const Listing& found) {
  return tuple_of<2>({signed_number(found.self.dev), signed_number(found.self.ino)});
}

PyObject* listed(PyObject* path, bool follow, PyObject* ext, PyObject* failed, bool root) {
  const std::string_view dir(PyBytes_AS_STRING(path),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
  if (dir.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte"); // as os.open says
    return nullptr;
  }
  Listing found;
  if (PyObject* early = nullptr; !list_reporting(path, dir, follow, root, failed, found, early)) {
    return early;
  }
  std::vector<const Item*> kept;
  if (!kept_items(found, ext, kept)) {
    return nullptr;
  }
  const PyRef entries(entries_of(dir, kept));
  if (!entries) {
    return nullptr;
  }
  return tuple_of<2>({ident_of(found), Py_NewRef(entries.get())});
}

// A directory's stamps: the stored rows of its files (name, stamps, the scan that read it) in
// the byte order of the names, as LEB128 numbers. Devices and modification times are kept as the
// change from the entry before, the status-change time as the change from the modification time:
// the files of a directory share a device and were mostly written together.
constexpr std::uint8_t stamps_format = 1;
constexpr std::uint64_t flag_unstamped = 1; // an error record: every scan reads it again
constexpr unsigned varint_bits = 64;
constexpr unsigned varint_step = 7;
constexpr std::uint8_t varint_more = 0x80;
constexpr std::uint8_t varint_low = 0x7F;

struct Stored {
  std::string_view name;
  bool stamped = false;
  std::array<std::int64_t, stamp_count> stamps{}; // dev, ino, size, mtime_ns, ctime_ns
  std::int64_t read = 0;
};

std::uint64_t zigzag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1U) ^ static_cast<std::uint64_t>(value < 0 ? -1 : 0);
}

std::int64_t unzigzag(std::uint64_t value) {
  return static_cast<std::int64_t>((value >> 1U) ^ (~(value & 1U) + 1U));
}

std::int64_t wrapped_sum(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int64_t wrapped_difference(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

std::optional<std::uint64_t> read_varint(ByteReader& r) {
  std::uint64_t value = 0;
  for (unsigned shift = 0; shift < varint_bits; shift += varint_step) {
    const auto byte = r.u8();
    if (!byte) {
      return std::nullopt;
    }
    const std::uint8_t bits = byte.value_or(0);
    value |= static_cast<std::uint64_t>(bits & varint_low) << shift;
    if ((bits & varint_more) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

std::optional<std::int64_t> read_signed(ByteReader& r) {
  const auto value = read_varint(r);
  if (!value) {
    return std::nullopt;
  }
  return unzigzag(value.value_or(0));
}

void write_varint(std::string& out, std::uint64_t value) {
  while (value >= varint_more) {
    out.push_back(static_cast<char>((value & varint_low) | varint_more));
    value >>= varint_step;
  }
  out.push_back(static_cast<char>(value));
}

// The entries, or nothing when the blob is not one this version wrote whole: names must be
// non-empty, without "/" or NUL, and strictly ascending.
bool decode_stamps(std::span<const std::uint8_t> blob, std::vector<Stored>& entries) {
  ByteReader r(blob);
  const auto format = r.u8();
  if (!format || format.value_or(0) != stamps_format) {
    return false;
  }
  std::int64_t dev = 0;
  std::int64_t mtime = 0;
  while (!r.at_end()) {
    const auto length = read_varint(r);
    if (!length || length.value_or(0) == 0 || length.value_or(0) > r.remaining()) {
      return false;
    }
    const auto name = r.bytes(length.value_or(0));
    const auto flags = name ? read_varint(r) : std::nullopt;
    if (!flags || flags.value_or(0) > flag_unstamped) {
      return false;
    }
    Stored entry;
    const auto view = name.value_or(ByteView{});
    entry.name = std::string_view(reinterpret_cast<const char*>(view.data()), // NOLINT
                                  view.size());
    if (entry.name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos ||
        (!entries.empty() && entries.back().name >= entry.name)) {
      return false;
    }
    entry.stamped = flags.value_or(0) == 0;
    if (entry.stamped) {
      std::array<std::optional<std::int64_t>, stamp_count> raw{};
      for (auto& field : raw) {
        field = read_signed(r);
        if (!field) {
          return false;
        }
      }
      dev = wrapped_sum(dev, raw[0].value_or(0));
      mtime = wrapped_sum(mtime, raw[stamp_mtime].value_or(0));
      entry.stamps = {dev, raw[1].value_or(0), raw[2].value_or(0), mtime,
                      wrapped_sum(mtime, raw[stamp_ctime].value_or(0))};
    }
    const auto read = read_signed(r);
    if (!read) {
      return false;
    }
    entry.read = read.value_or(0);
    entries.push_back(entry);
  }
  return true;
}

// A listed file's stamps as the files table stores them; nothing for times SQLite cannot hold.
std::optional<std::array<std::int64_t, stamp_count>> stored_stamps(const Stamps& stamps) {
  std::array<std::int64_t, stamp_count> out{static_cast<std::int64_t>(stamps.dev),
                                            static_cast<std::int64_t>(stamps.ino), stamps.size, 0,
                                            0};
  const std::array<const timespec*, 2> times{&stamps.modified, &stamps.changed};
  for (std::size_t i = 0; i < times.size(); ++i) {
    const auto seconds = static_cast<long long>(times.at(i)->tv_sec);
    if (!fits_in_nanoseconds(seconds)) {
      return std::nullopt;
    }
    out.at(stamp_mtime + i) = seconds * billion + times.at(i)->tv_nsec;
  }
  return out;
}

// The trusted scans' limits (trawl.inventory's `trusted`), looked up once per scan number met.
class Trust {
public:
  explicit Trust(PyObject* trusted) : trusted_(trusted) {}

  // 1 when a file read by scan `read` with these times stands; 0 when not; -1 with an exception.
  int stands(std::int64_t read, std::int64_t mtime, std::int64_t ctime) {
    if (!known_ || read != read_) {
      const PyRef number(PyLong_FromLongLong(read));
      if (!number) {
        return -1;
      }
      PyObject* found = PyDict_GetItemWithError(trusted_, number.get());
      if (found == nullptr && PyErr_Occurred() != nullptr) {
        return -1;
      }
      trusted_scan_ = false;
      if (found != nullptr) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(found, &overflow);
        if (value == -1 && PyErr_Occurred() != nullptr) {
          return -1;
        }
        trusted_scan_ = overflow == 0;
        limit_ = value;
      }
      known_ = true;
      read_ = read;
    }
    return static_cast<int>(trusted_scan_ && mtime < limit_ && ctime < limit_);
  }

private:
  PyObject* trusted_;
  bool known_ = false;
  std::int64_t read_ = 0;
  bool trusted_scan_ = false;
  std::int64_t limit_ = 0;
};

struct Compared {
  std::vector<const Item*> reported; // files not as stored, and every directory
  std::vector<const Stored*> gone;   // stored files the listing lacks
  Py_ssize_t unchanged = 0;
  Py_ssize_t files = 0;
};

// The listing against the stored entries, both in name order. `own` names the inventory's own
// files in this directory, which are never passed over.
bool compare_listing(const Listing& found, const std::vector<Stored>& stored,
                     const std::vector<std::string_view>& own, Trust& trust, Compared& out) {
  auto next = stored.begin();
  for (const Item& item : found.items) {
    if (item.directory) {
      out.reported.push_back(&item);
      continue;
    }
    ++out.files;
    for (; next != stored.end() && next->name < item.key; ++next) {
      out.gone.push_back(&*next);
    }
    bool same = false;
    if (next != stored.end() && next->name == item.key) {
      const Stored& entry = *next++;
      const auto stamps = stored_stamps(item.stamps);
      if (entry.stamped && stamps && stamps.value_or(entry.stamps) == entry.stamps &&
          std::find(own.begin(), own.end(), item.key) == own.end()) {
        const int stands =
            trust.stands(entry.read, entry.stamps[stamp_mtime], entry.stamps[stamp_ctime]);
        if (stands < 0) {
          return false;
        }
        same = stands == 1;
      }
    }
    if (same) {
      ++out.unchanged;
    } else {
      out.reported.push_back(&item);
    }
  }
  for (; next != stored.end(); ++next) {
    out.gone.push_back(&*next);
  }
  return true;
}

std::string_view bytes_view(PyObject* bytes) {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// The names in `own` (a tuple of bytes), borrowed from it.
bool own_names(PyObject* own, std::vector<std::string_view>& names) {
  if (PyTuple_Check(own) == 0) {
    PyErr_SetString(PyExc_TypeError, "_stamped() takes the inventory's own names as a tuple");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(own); ++i) {
    PyObject* name = PyTuple_GET_ITEM(own, i);
    if (PyBytes_Check(name) == 0) {
      PyErr_SetString(PyExc_TypeError, "_stamped() takes the inventory's own names as bytes");
      return false;
    }
    names.push_back(bytes_view(name));
  }
  return true;
}

PyObject* stamped(PyObject* path, bool follow, PyObject* failed, bool root, PyObject* blob,
                  PyObject* own, PyObject* trusted) {
  const std::string_view dir = bytes_view(path);
  if (dir.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte"); // as os.open says
    return nullptr;
  }
  const std::span<const std::uint8_t> data(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(blob)), // NOLINT
      static_cast<std::size_t>(PyBytes_GET_SIZE(blob)));
  std::vector<Stored> stored;
  if (!decode_stamps(data, stored)) {
    return Py_NewRef(Py_False); // the caller compares row by row
  }
  std::vector<std::string_view> own_list;
  if (!own_names(own, own_list)) {
    return nullptr;
  }
  Listing found;
  if (PyObject* early = nullptr; !list_reporting(path, dir, follow, root, failed, found, early)) {
    return early;
  }
  Trust trust(trusted);
  Compared compared;
  if (!compare_listing(found, stored, own_list, trust, compared)) {
    return nullptr;
  }
  const PyRef entries(entries_of(dir, compared.reported));
  const PyRef gone(PyList_New(static_cast<Py_ssize_t>(compared.gone.size())));
  if (!entries || !gone) {
    return nullptr;
  }
  for (std::size_t i = 0; i < compared.gone.size(); ++i) {
    PyObject* name = joined(dir, compared.gone[i]->name);
    if (name == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(gone.get(), static_cast<Py_ssize_t>(i), name);
  }
  return tuple_of<5>({ident_of(found), Py_NewRef(entries.get()), Py_NewRef(gone.get()),
                      PyLong_FromSsize_t(compared.unchanged), PyLong_FromSsize_t(compared.files)});
}

// A stored number, or nothing (with an exception set) for one that is not an integer.
std::optional<std::int64_t> number_of(PyObject* value) {
  const long long number = PyLong_AsLongLong(value);
  if (number == -1 && PyErr_Occurred() != nullptr) {
    return std::nullopt;
  }
  return number;
}

// The blob of `rows` (path, dev, ino, size, mtime_ns, ctime_ns, read_scan), in path order, whose
// names start `skip` bytes in; nothing with an exception set.
std::optional<std::string> encode_stamps(PyObject* rows, std::size_t skip) {
  constexpr Py_ssize_t row_size = 7;
  constexpr Py_ssize_t row_scan = 6;
  std::string out(1, static_cast<char>(stamps_format));
  std::int64_t dev = 0;
  std::int64_t mtime = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
    PyObject* row = PyList_GET_ITEM(rows, i);
    if (PyTuple_Check(row) == 0 || PyTuple_GET_SIZE(row) != row_size ||
        PyBytes_Check(PyTuple_GET_ITEM(row, 0)) == 0 ||
        static_cast<std::size_t>(PyBytes_GET_SIZE(PyTuple_GET_ITEM(row, 0))) <= skip) {
      PyErr_SetString(PyExc_TypeError, "_stamps_blob() takes rows of a path under the "
                                       "directory and six numbers");
      return std::nullopt;
    }
    const std::string_view name = bytes_view(PyTuple_GET_ITEM(row, 0)).substr(skip);
    write_varint(out, name.size());
    out.append(name);
    const bool stamped = PyTuple_GET_ITEM(row, row_stamps) != Py_None;
    write_varint(out, stamped ? 0 : flag_unstamped);
    if (stamped) {
      std::array<std::int64_t, stamp_count> stamps{};
      for (Py_ssize_t j = 0; j < stamp_count; ++j) {
        const auto value = number_of(PyTuple_GET_ITEM(row, row_stamps + j));
        if (!value) {
          return std::nullopt;
        }
        stamps.at(static_cast<std::size_t>(j)) = value.value_or(0);
      }
      write_varint(out, zigzag(wrapped_difference(stamps[0], dev)));
      write_varint(out, zigzag(stamps[1]));
      write_varint(out, zigzag(stamps[2]));
      write_varint(out, zigzag(wrapped_difference(stamps[stamp_mtime], mtime)));
      write_varint(out, zigzag(wrapped_difference(stamps[stamp_ctime], stamps[stamp_mtime])));
      dev = stamps[0];
      mtime = stamps[stamp_mtime];
    }
    const auto read = number_of(PyTuple_GET_ITEM(row, row_scan));
    if (!read) {
      return std::nullopt;
    }
    write_varint(out, zigzag(read.value_or(0)));
  }
  return out;
}

} // namespace

PyObject* stamped(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  constexpr Py_ssize_t count = 7;
  if (!takes("_stamped", nargs, count)) {
    return nullptr;
  }
  const std::span<PyObject* const> values(args, count);
  if (PyBytes_Check(values[0]) == 0 || PyBytes_Check(values[4]) == 0 ||
      PyDict_Check(values[6]) == 0) {
    PyErr_SetString(
        PyExc_TypeError,
        "_stamped() takes the path and the stamps as bytes, the trusted scans as a dict");
    return nullptr;
  }
  const int follow = PyObject_IsTrue(values[1]);
  const int root = follow < 0 ? -1 : PyObject_IsTrue(values[3]);
  if (root < 0) {
    return nullptr;
  }
  try {
    return stamped(values[0], follow != 0, values[2], root != 0, values[4], values[5], values[6]);
  } catch (const std::exception&) { // memory for the entries
    return PyErr_NoMemory();
  }
}

PyObject* stamps_blob(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (!takes("_stamps_blob", nargs, 2)) {
    return nullptr;
  }
  const std::span<PyObject* const> values(args, 2);
  const Py_ssize_t skip = PyList_Check(values[0]) != 0 ? PyLong_AsSsize_t(values[1]) : -1;
  if (skip < 0) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_TypeError, "_stamps_blob() takes a list of rows and a length");
    }
    return nullptr;
  }
  try {
    const auto blob = encode_stamps(values[0], static_cast<std::size_t>(skip));
    if (!blob) {
      return nullptr;
    }
    const std::string& bytes = blob.value_or(std::string{});
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
}

PyObject* listing(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (!takes("_listing", nargs, 5)) {
    return nullptr;
  }
  const std::span<PyObject* const> values(args, 5);
  if (PyBytes_Check(values[0]) == 0) {
    PyErr_SetString(PyExc_TypeError, "_listing() takes the path as bytes");
    return nullptr;
  }
  const int follow = PyObject_IsTrue(values[1]);
  const int root = follow < 0 ? -1 : PyObject_IsTrue(values[4]);
  if (root < 0) {
    return nullptr;
  }
  try {
    return listed(values[0], follow != 0, values[2], values[3], root != 0);
  } catch (const std::exception&) { // memory for the list of kept entries
    return PyErr_NoMemory();
  }
}

} // namespace trawl::python

#endif

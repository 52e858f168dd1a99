// The inventory's walk. _listing lists one directory: its names read and stat'ed by name within
// the open directory while other threads run, then sorted in the order of the files table.
// _unchanged passes over the files found as they are stored, the common case of a re-scan. What
// they give and every error they report are those of their Python versions in trawl.inventory,
// which the tests compare them with.
#include "inventory.hpp"

#include <array>
#include <cstddef>
#include <span>

#include "py_ref.hpp"

#if !defined(_WIN32)
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <exception>
#include <memory>
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
  if (nargs != 6) {
    PyErr_Format(PyExc_TypeError, "_unchanged() takes 6 positional arguments but %zd were given",
                 nargs);
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

// A time in nanoseconds as os.stat gives st_mtime_ns.
PyObject* nanoseconds(const timespec& time) {
  constexpr long long billion = 1'000'000'000;
  constexpr long long limit = LLONG_MAX / billion - 1;
  const auto seconds = static_cast<long long>(time.tv_sec);
  if (seconds >= -limit && seconds <= limit) {
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

PyObject* listed(PyObject* path, bool follow, PyObject* ext, PyObject* failed, bool root) {
  const std::string_view dir(PyBytes_AS_STRING(path),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
  if (dir.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte"); // as os.open says
    return nullptr;
  }
  Listing found;
  PyThreadState* saved = PyEval_SaveThread();
  const bool done = list_unlocked(dir.data(), follow, root, found);
  PyEval_RestoreThread(saved);
  if (!done) {
    return PyErr_NoMemory();
  }
  if (found.error != 0) {
    PyObject* named = found.error_named ? path : nullptr;
    return report(failed, path, found.error, named) ? Py_NewRef(Py_None) : nullptr;
  }
  for (const auto& [name, code] : found.failures) {
    const PyRef full(joined(dir, name));
    const PyRef bare(bytes_of(name)); // os.stat(name, dir_fd=...) names the bare name
    if (!full || !bare || !report(failed, full.get(), code, bare.get())) {
      return nullptr;
    }
  }
  std::vector<const Item*> kept;
  if (!kept_items(found, ext, kept)) {
    return nullptr;
  }
  const PyRef entries(PyList_New(static_cast<Py_ssize_t>(kept.size())));
  if (!entries) {
    return nullptr;
  }
  Devices devices;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    PyObject* entry = entry_of(dir, *kept[i], devices);
    if (entry == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(i), entry);
  }
  PyObject* ident = tuple_of<2>({signed_number(found.self.dev), signed_number(found.self.ino)});
  return tuple_of<2>({ident, Py_NewRef(entries.get())});
}

} // namespace

PyObject* listing(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_Format(PyExc_TypeError, "_listing() takes 5 positional arguments but %zd were given",
                 nargs);
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

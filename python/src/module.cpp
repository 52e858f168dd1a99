// The extension module trawl._trawl: parse(path) and parse_bytes(data).
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <trawl/trawl.hpp>

#include "cancel.hpp"
#include "convert.hpp"
#include "inventory.hpp"
#include "py_ref.hpp"

namespace {

using trawl::python::CancelState;
using trawl::python::PyRef;
using trawl::python::takes;
using trawl::python::unchanged;
#if !defined(_WIN32)
using trawl::python::listing;
using trawl::python::stamped;
using trawl::python::stamps_blob;
#endif

constexpr const char* module_doc = "Metadata extraction for any file type.";
constexpr const char* parse_doc =
    "parse(path)\n--\n\nParse a file by path and return its metadata as a dict.\n\n"
    "Raises OSError if the file cannot be read.";
constexpr const char* parse_bytes_doc =
    "parse_bytes(data)\n--\n\nParse an in-memory buffer and return its metadata as a dict.\n\n"
    "Useful for data that never touches disk, such as an upload or a download.";

// Argument errors: "argument '<name>': <reason>".
constexpr const char* argument_error = "argument '%s': %U";
constexpr const char* conversion_reason = "'%s' object cannot be converted to '%s'";
// OSError from parse: "<path>: <error text>".
constexpr const char* os_error = "%U: %s";
// Call-shape errors, in the interpreter's usual wording.
constexpr const char* too_many_positional = "%s() takes 1 positional argument but %zd were given";
constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%U'";
constexpr const char* duplicate_argument = "%s() got multiple values for argument '%s'";
constexpr const char* missing_argument = "%s() missing 1 required positional argument: '%s'";

// The one parameter of a function, given by position or by keyword; nullptr with TypeError.
PyObject* only_argument(const char* function, const char* parameter, PyObject* const* args,
                        Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, too_many_positional, function, nargs);
    return nullptr;
  }
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  // Positional arguments, then the values of the keyword arguments named in kwnames.
  const std::span<PyObject* const> values(args, static_cast<std::size_t>(nargs + nkw));
  PyObject* found = nargs == 1 ? values[0] : nullptr;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(key, parameter) != 0) {
      PyErr_Format(PyExc_TypeError, unexpected_keyword, function, key);
      return nullptr;
    }
    if (found != nullptr) {
      PyErr_Format(PyExc_TypeError, duplicate_argument, function, parameter);
      return nullptr;
    }
    found = values[static_cast<std::size_t>(nargs + i)];
  }
  if (found == nullptr) {
    PyErr_Format(PyExc_TypeError, missing_argument, function, parameter);
  }
  return found;
}

// Raises TypeError "argument 'NAME': 'TYPE' object cannot be converted to 'TARGET'".
void raise_conversion_error(const char* parameter, PyObject* object, const char* target) {
  const PyRef type_name(PyType_GetQualName(Py_TYPE(object)));
  const char* name = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
  const PyRef reason(PyUnicode_FromFormat(conversion_reason, name != nullptr ? name : "?", target));
  if (reason) {
    PyErr_Format(PyExc_TypeError, argument_error, parameter, reason.get());
  }
}

// How to read: the batch functions' fast mode, the thorough reading.
struct Mode {
  bool fast = false;
  bool thorough = false;
};

// What the core call gives back: a report, an I/O error, or an unexpected failure.
struct Outcome {
  std::optional<trawl::Report> report;
  std::optional<trawl::IoError> io_error;
  bool out_of_memory = false;
  std::string internal_error;
};

// Runs the core without the interpreter lock; nothing in `work` may touch Python except
// through the stop check, which takes the lock back for a moment to run pending signal handlers
// (Ctrl-C raises KeyboardInterrupt there and ends the parse). Under a cancel flag the check asks
// only the flag, so a worker never waits for the lock mid-parse.
template <class Work> Outcome run_unlocked(Mode mode, CancelState* cancel, Work work) {
  Outcome outcome;
  PyThreadState* saved = PyEval_SaveThread();
  const trawl::python::CancelScope scope(cancel);
  trawl::RunOptions options;
  options.fast = mode.fast;
  options.thorough = mode.thorough;
  bool raised = false; // once a handler has raised, every later check says stop
  if (cancel != nullptr) {
    options.stop_requested = [cancel]() { return cancel->cancelled.load(); };
  } else {
    options.stop_requested = [&saved, &raised]() {
      if (!raised) {
        PyEval_RestoreThread(saved);
        raised = PyErr_CheckSignals() != 0;
        saved = PyEval_SaveThread();
      }
      return raised;
    };
  }
  try {
    work(outcome, options);
  } catch (const std::bad_alloc&) {
    outcome.out_of_memory = true;
  } catch (const std::exception& e) {
    outcome.internal_error = e.what();
  } catch (...) {
    outcome.internal_error = "unknown failure";
  }
  PyEval_RestoreThread(saved);
  return outcome;
}

// The dict for a finished outcome, or the matching Python exception.
PyObject* finish(Outcome& outcome) {
  if (outcome.report && outcome.report->interrupted) {
    return nullptr; // the exception a signal handler raised is pending
  }
  if (outcome.out_of_memory) {
    return PyErr_NoMemory();
  }
  if (!outcome.report) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", outcome.internal_error.c_str());
    return nullptr;
  }
  return trawl::python::report_to_py(std::move(*outcome.report));
}

// Keeps the system's code on the pending OSError, for the batch functions' error records.
void attach_os_code(int code) {
  PyObject* error = PyErr_GetRaisedException();
  const PyRef number(PyLong_FromLong(code));
#if defined(_WIN32)
  const char* attribute = "winerror";
#else
  const char* attribute = "errno";
#endif
  if (number && PyObject_SetAttrString(error, attribute, number.get()) != 0) {
    Py_DECREF(error);
    return;
  }
  PyErr_SetRaisedException(error);
}

PyObject* parse_path_with(PyObject* arg, Mode mode, CancelState* cancel) {
  const PyRef fspath(PyOS_FSPath(arg));
  if (!fspath) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) != 0) {
      PyObject* failure = PyErr_GetRaisedException();
      const PyRef reason(PyObject_Str(failure));
      Py_DECREF(failure);
      if (reason) {
        PyErr_Format(PyExc_TypeError, argument_error, "path", reason.get());
      }
    }
    return nullptr;
  }
  if (!PyUnicode_Check(fspath.get())) {
    raise_conversion_error("path", fspath.get(), "PyString");
    return nullptr;
  }
  const PyRef encoded(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded) {
    return nullptr;
  }
  const std::string path(PyBytes_AS_STRING(encoded.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  Outcome outcome =
      run_unlocked(mode, cancel, [&path](Outcome& out, const trawl::RunOptions& options) {
        auto result = trawl::parse_path(path, options);
        if (result) {
          out.report = std::move(result).value();
        } else {
          out.io_error = std::move(result).error();
        }
      });
  if (cancel != nullptr && cancel->cancelled.load()) {
    Py_RETURN_NONE; // stopped on request: no result
  }
  if (outcome.io_error) {
    const PyRef shown(
        PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace"));
    if (shown) {
      PyErr_Format(PyExc_OSError, os_error, shown.get(), outcome.io_error->text().c_str());
      if (cancel != nullptr && outcome.io_error->os_code() != 0) {
        attach_os_code(outcome.io_error->os_code());
      }
    }
    return nullptr;
  }
  return finish(outcome);
}

// Reads a bytes object in place: it is immutable and held for the whole call, so the core reads
// it while other threads run.
PyObject* parse_held_bytes(PyObject* arg, Mode mode) {
  const PyRef held(Py_NewRef(arg));
  const std::span<const std::uint8_t> data(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(held.get())), // NOLINT
      static_cast<std::size_t>(PyBytes_GET_SIZE(held.get())));
  Outcome outcome =
      run_unlocked(mode, nullptr, [data](Outcome& out, const trawl::RunOptions& options) {
        out.report = trawl::parse_buffer(data, options);
      });
  return finish(outcome);
}

PyObject* parse_bytes_with(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames, Mode mode) {
  PyObject* arg = only_argument(function, "data", args, nargsf, kwnames);
  if (arg == nullptr) {
    return nullptr;
  }
  if (PyBytes_Check(arg) == 0) {
    raise_conversion_error("data", arg, "PyBytes");
    return nullptr;
  }
  return parse_held_bytes(arg, mode);
}

PyObject* parse(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* path = only_argument("parse", "path", args, nargsf, kwnames);
  return path != nullptr ? parse_path_with(path, {}, nullptr) : nullptr;
}

PyObject* parse_bytes(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return parse_bytes_with("parse_bytes", args, nargsf, kwnames, {});
}

// The flags at args[first] and args[first + 1] as a mode; false with an exception set.
bool mode_of(std::span<PyObject* const> values, std::size_t first, Mode& mode) {
  const int fast = PyObject_IsTrue(values[first]);
  const int thorough = fast < 0 ? -1 : PyObject_IsTrue(values[first + 1]);
  if (thorough < 0) {
    return false;
  }
  mode = {.fast = fast != 0, .thorough = thorough != 0};
  return true;
}

// _parse_with(path, fast, thorough, cancel): the batch functions' parse, stopped by `cancel`
// (then None); an OSError carries the system's code as `errno` (`winerror` on Windows).
PyObject* parse_with(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (!takes("_parse_with", nargs, 4)) {
    return nullptr;
  }
  const std::span<PyObject* const> values(args, 4);
  CancelState* cancel = trawl::python::cancel_state(values[3]);
  Mode mode;
  if (cancel == nullptr || !mode_of(values, 1, mode)) {
    return nullptr;
  }
  return parse_path_with(values[0], mode, cancel);
}

// _inspect(source, fast, thorough): a path (str or path object) or the bytes themselves.
PyObject* inspect(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (!takes("_inspect", nargs, 3)) {
    return nullptr;
  }
  const std::span<PyObject* const> values(args, 3);
  Mode mode;
  if (!mode_of(values, 1, mode)) {
    return nullptr;
  }
  if (PyBytes_Check(values[0]) != 0) {
    return parse_held_bytes(values[0], mode);
  }
  return parse_path_with(values[0], mode, nullptr);
}

// Method table and module definition must outlive the module; CPython keeps pointers to them.
PyMethodDef methods[] = {                                                         // NOLINT
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)), // NOLINT
     METH_FASTCALL | METH_KEYWORDS, parse_doc},
    {"parse_bytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_bytes)), // NOLINT
     METH_FASTCALL | METH_KEYWORDS, parse_bytes_doc},
    {"_parse_with",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_with)), // NOLINT
     METH_FASTCALL, nullptr},
    {"_inspect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect)), // NOLINT
     METH_FASTCALL, nullptr},
#if !defined(_WIN32)
    {"_listing", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(listing)), // NOLINT
     METH_FASTCALL, nullptr},
    {"_stamped", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stamped)), // NOLINT
     METH_FASTCALL, nullptr},
    {"_stamps_blob",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stamps_blob)), // NOLINT
     METH_FASTCALL, nullptr},
#endif
    {"_unchanged",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unchanged)), // NOLINT
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = { // NOLINT
    PyModuleDef_HEAD_INIT, "_trawl", module_doc, -1, methods, nullptr, nullptr, nullptr, nullptr};

} // namespace

// Single-phase initialisation: one module per process, kept for repeated initialisation in the
// same interpreter; other interpreters are refused.
PyMODINIT_FUNC PyInit__trawl() {     // NOLINT
  static PyObject* module = nullptr; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
  static std::int64_t interpreter_id =
      -1; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (module != nullptr) {
    if (current != interpreter_id) {
      PyErr_SetString(PyExc_ImportError, "trawl._trawl cannot be loaded in a sub-interpreter");
      return nullptr;
    }
    return Py_NewRef(module);
  }
  PyRef created(PyModule_Create(&module_def));
  if (!created) {
    return nullptr;
  }
  if (PyModule_AddStringConstant(created.get(), "__version__", trawl::version.data()) != 0 ||
      trawl::python::add_cancel_type(created.get()) != 0) {
    return nullptr;
  }
  module = Py_NewRef(created.get());
  interpreter_id = current;
  return created.release();
}

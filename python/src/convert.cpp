// Builds the result dict straight from a Report: sorted keys, Bytes as cut hex, non-finite
// floats as None, Rational as {"den", "num", "value"}. The report is consumed as it goes, so the
// C++ facts and their Python copies are not both held in full.
#include "convert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "py_ref.hpp"

namespace trawl::python {

namespace {

PyRef new_str(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyRef new_float(double x) {
  if (!std::isfinite(x)) {
    return PyRef(Py_NewRef(Py_None));
  }
  return PyRef(PyFloat_FromDouble(x));
}

// One conversion. Keys and short texts repeat across the entries of long lists (chunk types,
// method labels, "offset"): each distinct one becomes a single shared str.
class Converter {
public:
  PyRef report(Report& report) {
    PyRef dict(PyDict_New());
    if (!dict) {
      return nullptr;
    }
    constexpr std::string_view errors_key = "errors";
    bool errors_pending = !report.errors.empty();
    const auto add_errors = [&]() {
      errors_pending = false;
      return put(dict.get(), errors_key, errors(report.errors));
    };
    for (auto it = report.namespaces.begin(); it != report.namespaces.end();
         it = report.namespaces.erase(it)) {
      const std::string& name = it->first;
      if (errors_pending && std::string_view(name) >= errors_key) {
        if (!add_errors()) {
          return nullptr;
        }
        if (name == errors_key) {
          continue;
        }
      }
      if (!put(dict.get(), name, map(it->second))) {
        return nullptr;
      }
    }
    if (errors_pending && !add_errors()) {
      return nullptr;
    }
    return dict;
  }

private:
  static constexpr std::size_t shared_limit = 24;

  // A str for text that may repeat; short texts are made once per conversion. The cache maps
  // each text to one slot by its hash and keeps the last str made there: no allocation, and a
  // collision only makes one more str.
  PyRef shared(std::string_view text) {
    if (text.size() > shared_limit) {
      return new_str(text);
    }
    std::uint32_t hash = 2166136261U; // FNV-1a
    for (const char c : text) {
      hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619U;
    }
    Slot& slot = slots_.at(hash % slots_.size());
    if (slot.str && std::string_view(slot.text.data(), slot.size) == text) {
      return PyRef(Py_NewRef(slot.str.get()));
    }
    PyRef made = new_str(text);
    if (made) {
      slot.str = PyRef(Py_NewRef(made.get()));
      std::copy(text.begin(), text.end(), slot.text.begin());
      slot.size = text.size();
    }
    return made;
  }

  // Inserts key -> value; false when either is missing (an error is set) or insertion fails.
  bool put(PyObject* dict, std::string_view key, PyRef value) {
    if (!value) {
      return false;
    }
    const PyRef name = shared(key);
    return name && PyDict_SetItem(dict, name.get(), value.get()) == 0;
  }

  PyRef map(Map& entries) {
    PyRef dict(PyDict_New());
    if (!dict) {
      return nullptr;
    }
    for (auto it = entries.begin(); it != entries.end(); it = entries.erase(it)) {
      if (!put(dict.get(), it->first, value(it->second))) {
        return nullptr;
      }
    }
    return dict;
  }

  PyRef list(List& items) {
    PyRef out(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!out) {
      return nullptr;
    }
    Py_ssize_t i = 0;
    for (Value& item : items) {
      PyRef element = value(item);
      if (!element) {
        return nullptr;
      }
      item = Value();
      PyList_SET_ITEM(out.get(), i++, element.release());
    }
    return out;
  }

  PyRef rational(const Rational& r) {
    PyRef dict(PyDict_New());
    if (!dict || !put(dict.get(), "den", PyRef(PyLong_FromLongLong(r.den))) ||
        !put(dict.get(), "num", PyRef(PyLong_FromLongLong(r.num))) ||
        !put(dict.get(), "value", new_float(r.value))) {
      return nullptr;
    }
    return dict;
  }

  PyRef value(Value& v) {
    switch (v.kind()) {
    case Kind::Null:
      return PyRef(Py_NewRef(Py_None));
    case Kind::Bool:
      return PyRef(PyBool_FromLong(v.as_bool() ? 1 : 0));
    case Kind::Int:
      return PyRef(PyLong_FromLongLong(v.as_int()));
    case Kind::UInt:
      return PyRef(PyLong_FromUnsignedLongLong(v.as_uint()));
    case Kind::Float:
      return new_float(v.as_float());
    case Kind::Rational:
      return rational(v.as_rational());
    case Kind::String:
      return shared(v.as_string());
    case Kind::Bytes:
      return new_str(render_bytes(v.as_bytes()));
    case Kind::List:
      return list(v.as_list());
    case Kind::Map:
      return map(v.as_map());
    }
    return PyRef(Py_NewRef(Py_None));
  }

  PyRef errors(const std::vector<ReportError>& failures) {
    PyRef out(PyList_New(static_cast<Py_ssize_t>(failures.size())));
    if (!out) {
      return nullptr;
    }
    Py_ssize_t i = 0;
    for (const ReportError& error : failures) {
      PyRef record(PyDict_New());
      if (!record || !put(record.get(), "extractor", new_str(error.extractor)) ||
          !put(record.get(), "message", new_str(error.message))) {
        return nullptr;
      }
      PyList_SET_ITEM(out.get(), i++, record.release());
    }
    return out;
  }

  struct Slot {
    PyRef str;
    std::size_t size = 0;
    std::array<char, shared_limit> text{};
  };
  std::array<Slot, 256> slots_;
};

} // namespace

PyObject* report_to_py(Report report) {
  PyRef dict = Converter().report(report);
  if (dict) {
    return dict.release();
  }
  // Running out of memory stays a MemoryError; anything else (undecodable text) is reported as
  // one ValueError with its reason.
  if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0) {
    return nullptr;
  }
  PyObject* failure = PyErr_GetRaisedException();
  const PyRef text(failure != nullptr ? PyObject_Str(failure) : nullptr);
  Py_XDECREF(failure);
  const char* reason = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  PyErr_Format(PyExc_ValueError, "conversion failed: %s", reason != nullptr ? reason : "unknown");
  return nullptr;
}

} // namespace trawl::python

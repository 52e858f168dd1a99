// Builds the result dict straight from a Report: sorted keys, Bytes as cut hex, non-finite
// floats as None, Rational as {"den", "num", "value"}.
#include "convert.hpp"

#include <cmath>
#include <string>
#include <string_view>

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

// Inserts key -> value; false when either is missing (an error is set) or insertion fails.
bool put(PyObject* dict, std::string_view key, PyRef value) {
  if (!value) {
    return false;
  }
  const PyRef name = new_str(key);
  return name && PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

PyRef value_to_py(const Value& value);

PyRef map_to_py(const Map& map) {
  PyRef dict(PyDict_New());
  if (!dict) {
    return nullptr;
  }
  for (const auto& [key, item] : map) {
    if (!put(dict.get(), key, value_to_py(item))) {
      return nullptr;
    }
  }
  return dict;
}

PyRef list_to_py(const List& list) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(list.size())));
  if (!out) {
    return nullptr;
  }
  Py_ssize_t i = 0;
  for (const Value& item : list) {
    PyRef element = value_to_py(item);
    if (!element) {
      return nullptr;
    }
    PyList_SET_ITEM(out.get(), i++, element.release());
  }
  return out;
}

PyRef rational_to_py(const Rational& r) {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), "den", PyRef(PyLong_FromLongLong(r.den))) ||
      !put(dict.get(), "num", PyRef(PyLong_FromLongLong(r.num))) ||
      !put(dict.get(), "value", new_float(r.value))) {
    return nullptr;
  }
  return dict;
}

PyRef value_to_py(const Value& value) {
  switch (value.kind()) {
  case Kind::Null:
    return PyRef(Py_NewRef(Py_None));
  case Kind::Bool:
    return PyRef(PyBool_FromLong(value.as_bool() ? 1 : 0));
  case Kind::Int:
    return PyRef(PyLong_FromLongLong(value.as_int()));
  case Kind::UInt:
    return PyRef(PyLong_FromUnsignedLongLong(value.as_uint()));
  case Kind::Float:
    return new_float(value.as_float());
  case Kind::Rational:
    return rational_to_py(value.as_rational());
  case Kind::String:
    return new_str(value.as_string());
  case Kind::Bytes:
    return new_str(render_bytes(value.as_bytes()));
  case Kind::List:
    return list_to_py(value.as_list());
  case Kind::Map:
    return map_to_py(value.as_map());
  }
  return PyRef(Py_NewRef(Py_None));
}

PyRef errors_to_py(const std::vector<ReportError>& errors) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(errors.size())));
  if (!list) {
    return nullptr;
  }
  Py_ssize_t i = 0;
  for (const ReportError& error : errors) {
    PyRef record(PyDict_New());
    if (!record || !put(record.get(), "extractor", new_str(error.extractor)) ||
        !put(record.get(), "message", new_str(error.message))) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), i++, record.release());
  }
  return list;
}

// "errors" sits among the namespace names in sorted order.
PyRef build(const Report& report) {
  PyRef dict(PyDict_New());
  if (!dict) {
    return nullptr;
  }
  constexpr std::string_view errors_key = "errors";
  bool errors_pending = !report.errors.empty();
  const auto add_errors = [&]() {
    errors_pending = false;
    return put(dict.get(), errors_key, errors_to_py(report.errors));
  };
  for (const auto& [name, entries] : report.namespaces) {
    if (errors_pending && std::string_view(name) >= errors_key) {
      if (!add_errors()) {
        return nullptr;
      }
      if (name == errors_key) {
        continue;
      }
    }
    if (!put(dict.get(), name, map_to_py(entries))) {
      return nullptr;
    }
  }
  if (errors_pending && !add_errors()) {
    return nullptr;
  }
  return dict;
}

} // namespace

PyObject* report_to_py(const Report& report) {
  PyRef dict = build(report);
  if (dict) {
    return dict.release();
  }
  // Whatever failed (an allocation, undecodable text) is reported as one ValueError.
  PyObject* failure = PyErr_GetRaisedException();
  const PyRef text(failure != nullptr ? PyObject_Str(failure) : nullptr);
  Py_XDECREF(failure);
  const char* reason = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  PyErr_Format(PyExc_ValueError, "conversion failed: %s", reason != nullptr ? reason : "unknown");
  return nullptr;
}

} // namespace trawl::python

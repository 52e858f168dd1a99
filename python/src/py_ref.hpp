// Owning references to Python objects, and the argument count of the private functions.
#pragma once

#include <Python.h>

#include <memory>

namespace trawl::python {

struct DecRef {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

/// An owned (new) reference; released on every way out of a scope.
using PyRef = std::unique_ptr<PyObject, DecRef>;

/// Whether `function` (METH_FASTCALL, positional only) was given `wanted` arguments; false with
/// Python's own TypeError set otherwise.
inline bool takes(const char* function, Py_ssize_t nargs, Py_ssize_t wanted) {
  if (nargs == wanted) {
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", function,
               wanted, nargs);
  return false;
}

} // namespace trawl::python

// Owning references to Python objects.
#pragma once

#include <Python.h>

#include <memory>

namespace trawl::python {

struct DecRef {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

/// An owned (new) reference; released on every way out of a scope.
using PyRef = std::unique_ptr<PyObject, DecRef>;

} // namespace trawl::python

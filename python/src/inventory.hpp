// The inventory's walk in the _trawl module: directory listings (POSIX) and the merge's common
// case, a file as it is stored.
#pragma once

#include <Python.h>

namespace trawl::python {

#if !defined(_WIN32)
/// _listing(path, follow, ext, failed, root): what trawl.inventory._listing_in_python gives,
/// listed and stat'ed without the interpreter lock.
PyObject* listing(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
#endif

/// _unchanged(run, i, rows, j, own, trusted): what trawl.inventory._unchanged_in_python gives.
PyObject* unchanged(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

} // namespace trawl::python

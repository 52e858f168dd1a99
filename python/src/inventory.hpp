// The inventory's walk in the _trawl module: directory listings (POSIX) and the merge's common
// case, a file as it is stored.
#pragma once

#include <Python.h>

namespace trawl::python {

#if !defined(_WIN32)
/// _listing(path, follow, ext, failed, root): what trawl.inventory._listing_in_python gives,
/// listed and stat'ed without the interpreter lock.
PyObject* listing(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
/// _stamped(path, follow, failed, root, stamps, own, trusted): the directory listed and compared
/// with its stored stamps; False when they are unreadable.
PyObject* stamped(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
/// _stamps_blob(rows, skip): the stored stamps of a directory's rows.
PyObject* stamps_blob(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
#endif

/// _unchanged(run, i, rows, j, own, trusted): what trawl.inventory._unchanged_in_python gives.
PyObject* unchanged(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

} // namespace trawl::python

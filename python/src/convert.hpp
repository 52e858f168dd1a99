// Report to Python dict.
#pragma once

#include <Python.h>

#include <trawl/trawl.hpp>

namespace trawl::python {

/// A new dict for the report, which it consumes, or nullptr with MemoryError or
/// ValueError("conversion failed: ...") raised.
/// Needs the interpreter lock.
[[nodiscard]] PyObject* report_to_py(Report report);

} // namespace trawl::python

// Test-only module: converts hand-made reports holding every value kind, including the kinds
// that no extractor stores, through the binding's converter.
#include <Python.h>

#include <cmath>
#include <limits>
#include <string_view>

#include <trawl/trawl.hpp>

#include "convert.hpp"

namespace {

trawl::Report all_kinds() {
  using trawl::Value;
  trawl::Report report;
  trawl::Map& m = report.namespaces["kinds"];
  m.emplace("null", Value());
  m.emplace("bool", Value(true));
  m.emplace("int_negative", Value::from_int(-3));
  m.emplace("int_min", Value::from_int(std::numeric_limits<std::int64_t>::min()));
  m.emplace("int_positive", Value::from_int(7));
  m.emplace("uint", Value(std::uint64_t{7}));
  m.emplace("uint_max", Value(std::numeric_limits<std::uint64_t>::max()));
  m.emplace("float", Value::from_float(0.5));
  m.emplace("float_negative_zero", Value::from_float(-0.0));
  m.emplace("float_nan", Value::from_float(std::nan("")));
  m.emplace("float_inf", Value::from_float(std::numeric_limits<double>::infinity()));
  m.emplace("float_ninf", Value::from_float(-std::numeric_limits<double>::infinity()));
  m.emplace("rational", Value::from_rational({-1, 3, -0.333}));
  m.emplace("rational_nan", Value::from_rational({1, 0, std::nan("")}));
  m.emplace("string", Value("text \xC3\xA9"));
  m.emplace("bytes", Value::from_bytes({0x01, 0xAB, 0xFF}));
  m.emplace("bytes_64", Value::from_bytes(trawl::Bytes(64, 0x11)));
  m.emplace("bytes_100", Value::from_bytes(trawl::Bytes(100, 0x22)));
  m.emplace("nested", Value(trawl::List{Value(trawl::Map{{"b", Value::from_bytes({0x0A})}})}));
  report.namespaces["file"].emplace("x", Value(true));
  report.errors.push_back({"riff", "malformed riff: header too short"});
  report.errors.push_back({"id3", "I/O error: failed to fill whole buffer"});
  return report;
}

PyObject* convert(PyObject* /*module*/, PyObject* arg) {
  const char* name = PyUnicode_AsUTF8(arg);
  if (name == nullptr) {
    return nullptr;
  }
  const std::string_view which(name);
  trawl::Report report;
  if (which == "all_kinds") {
    report = all_kinds();
  } else if (which == "errors_namespace") {
    // A namespace named like the errors key gives way to the error list.
    report.namespaces["errors"].emplace("x", trawl::Value(true));
    report.namespaces["a"].emplace("y", trawl::Value(true));
    report.errors.push_back({"gif", "malformed gif: header too short"});
  } else if (which == "bad_utf8") {
    report.namespaces["file"].emplace("name", trawl::Value(std::string("\xff")));
  } else if (which != "empty") {
    PyErr_SetString(PyExc_KeyError, name);
    return nullptr;
  }
  return trawl::python::report_to_py(std::move(report));
}

PyMethodDef methods[] = { // NOLINT
    {"convert", convert, METH_O, "convert(case) -> dict"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = { // NOLINT
    PyModuleDef_HEAD_INIT,
    "_trawl_convert_hook",
    nullptr,
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

} // namespace

PyMODINIT_FUNC PyInit__trawl_convert_hook() { // NOLINT
  return PyModule_Create(&module_def);
}

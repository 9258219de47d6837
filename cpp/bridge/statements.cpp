#include "statements.hpp"

namespace velmora::bridge {

py::Obj from_import(const char* module, const char* name) {
  py::Obj m = py::import(module);
  PyObject* v = PyObject_GetAttrString(m.get(), name);
  if (v != nullptr) return py::Obj::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::PythonError{};
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  throw py::PythonError{};
}

}  // namespace velmora::bridge

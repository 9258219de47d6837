#include "statements.hpp"

namespace velmora::bridge {

py::Obj from_import(const char* module, const char* name) {
  // The import statement's own machinery: a submodule named in the list is imported too.
  py::Obj fromlist = py::tuple({py::str(name)});
  py::Obj m =
      py::Obj::steal(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
  PyObject* v = PyObject_GetAttrString(m.get(), name);
  if (v != nullptr) return py::Obj::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::PythonError{};
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  throw py::PythonError{};
}

}  // namespace velmora::bridge

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

Raised::Raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  exc_ = PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &exc_, &tb);
  PyErr_NormalizeException(&type, &exc_, &tb);
  if (tb != nullptr && exc_ != nullptr) PyException_SetTraceback(exc_, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
#endif
}

py::Obj Raised::traceback() const {
  PyObject* tb = PyException_GetTraceback(exc_);
  return tb != nullptr ? py::Obj::steal(tb) : py::none();
}

void Raised::restore() noexcept {
  PyObject* exc = std::exchange(exc_, nullptr);
  if (exc == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

void Raised::rethrow() {
  restore();
  throw py::PythonError{};
}

void raise_in_handler(PyObject* type, const char* message) {
  Raised caught;
  {
    Handling handling(caught.get());
    PyErr_SetString(type, message);  // chains the handled exception as the context
  }
  throw py::PythonError{};
}

}  // namespace velmora::bridge

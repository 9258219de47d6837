#include "errors.hpp"

#include <new>

#include "../core/error.hpp"
#include "../core/interrupt.hpp"
#include "statements.hpp"

namespace velmora::bridge {

namespace {

void set_linalg_error(const char* message) {
  PyObject* mod = PyImport_ImportModule("numpy.linalg");
  if (mod == nullptr) return;
  PyObject* cls = PyObject_GetAttrString(mod, "LinAlgError");
  Py_DECREF(mod);
  if (cls == nullptr) return;
  PyErr_SetString(cls, message);
  Py_DECREF(cls);
}

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Value: return PyExc_ValueError;
    case ErrorKind::Type: return PyExc_TypeError;
    case ErrorKind::Key: return PyExc_KeyError;
    case ErrorKind::Index: return PyExc_IndexError;
    case ErrorKind::FileNotFound: return PyExc_FileNotFoundError;
    case ErrorKind::Import: return PyExc_ImportError;
    case ErrorKind::Runtime: return PyExc_RuntimeError;
    case ErrorKind::LinAlg: return nullptr;
  }
  return PyExc_RuntimeError;
}

}  // namespace

void set_python_error() noexcept {
  try {
    throw;
  } catch (const py::PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const Interrupted&) {
    // The poll left the signal handler's exception set; keep it.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const Error& e) {
    PyObject* type = exception_type(e.kind());
    if (type == nullptr) {
      set_linalg_error(e.what());
    } else if (type == PyExc_KeyError) {
      PyObject* key = PyUnicode_FromString(e.what());
      if (key != nullptr) {
        PyErr_SetObject(PyExc_KeyError, key);
        Py_DECREF(key);
      }
    } else {
      PyErr_SetString(type, e.what());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::PythonError{};
}
void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }
void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }

void add_note_to_pending(const char* note) noexcept {
  Raised exc;
  if (exc.get() == nullptr) return;
  PyObject* r = PyObject_CallMethod(exc.get(), "add_note", "s", note);
  if (r == nullptr) {
    PyErr_Clear();
  } else {
    Py_DECREF(r);
  }
  exc.restore();
}

}  // namespace velmora::bridge

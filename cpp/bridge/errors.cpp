#include "errors.hpp"

#include <new>

#include "../core/error.hpp"
#include "../core/interrupt.hpp"

namespace velmora::bridge {

namespace {

// Makes `exc` (a new reference, taken over) the pending exception.
void set_raised(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

void set_linalg_error(const char* message) {
  PyObject* mod = PyImport_ImportModule("numpy.linalg");
  if (mod == nullptr) return;
  PyObject* cls = PyObject_GetAttrString(mod, "LinAlgError");
  Py_DECREF(mod);
  if (cls == nullptr) return;
  PyErr_SetString(cls, message);
  Py_DECREF(cls);
}

PyObject* exception_type(core::ErrorKind kind) {
  switch (kind) {
    case core::ErrorKind::Value: return PyExc_ValueError;
    case core::ErrorKind::Type: return PyExc_TypeError;
    case core::ErrorKind::Key: return PyExc_KeyError;
    case core::ErrorKind::Index: return PyExc_IndexError;
    case core::ErrorKind::FileNotFound: return PyExc_FileNotFoundError;
    case core::ErrorKind::Import: return PyExc_ImportError;
    case core::ErrorKind::Runtime: return PyExc_RuntimeError;
    case core::ErrorKind::LinAlg: return nullptr;
  }
  return PyExc_RuntimeError;
}

void set_exception(const py::Exception& e) {
  if (e.value()) {
    PyErr_SetObject(e.type(), e.value().get());
  } else if (e.type() == PyExc_KeyError) {
    // KeyError shows its argument's repr: the key is a str, not the message text.
    PyObject* key = PyUnicode_FromString(e.message().c_str());
    if (key != nullptr) {
      PyErr_SetObject(PyExc_KeyError, key);
      Py_DECREF(key);
    }
  } else {
    PyErr_SetString(e.type(), e.message().c_str());
  }
}

}  // namespace

void set_python_error() noexcept {
  try {
    throw;
  } catch (const py::PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const py::Exception& e) {
    set_exception(e);
  } catch (const core::Interrupted&) {
    // The poll left the signal handler's exception set; keep it.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const core::Error& e) {
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

py::Obj catch_pending(PyObject* type) {
  if (!PyErr_ExceptionMatches(type)) throw py::PythonError{};
  Raised caught;
  return py::Obj::borrow(caught.get());
}

void raise_exception(const py::Obj& exc) {
  set_raised(Py_NewRef(exc.get()));
  throw py::PythonError{};
}

void raise_with_note(const py::Obj& exc, const std::string& note) {
  exc.attr("add_note")(note);
  set_raised(Py_NewRef(exc.get()));
  throw py::PythonError{};
}

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
  if (exc != nullptr) set_raised(exc);
}

void Raised::rethrow() {
  restore();
  throw py::PythonError{};
}

void raise_in_handler(const py::Obj& caught, const py::Exception& error) {
  {
    Handling handling(caught.get());
    set_exception(error);  // chains the handled exception as the context
  }
  throw py::PythonError{};
}

}  // namespace velmora::bridge

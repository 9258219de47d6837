// The one place where C++ exceptions become Python exceptions, and the one way to raise:
// `throw py::ValueError("message")`, a C++ type per Python exception type. A Python error
// already pending travels as py::PythonError; the handle throws it for failed calls.
#pragma once

#include <string>
#include <utility>

#include "py.hpp"

namespace velmora::py {

// A Python exception to raise: its type and its message (text, or a Python object when the
// message is one already, such as a str that may carry surrogates).
class Exception {
 public:
  Exception(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  Exception(PyObject* type, Obj message) : type_(type), value_(std::move(message)) {}
  PyObject* type() const noexcept { return type_; }
  const std::string& message() const noexcept { return message_; }
  const Obj& value() const noexcept { return value_; }

 private:
  PyObject* type_;
  std::string message_;
  Obj value_;
};

#define VELMORA_PY_EXCEPTION(name)                                            \
  struct name : Exception {                                                   \
    explicit name(std::string m) : Exception(PyExc_##name, std::move(m)) {}   \
    explicit name(const char* m) : Exception(PyExc_##name, std::string(m)) {} \
    explicit name(Obj m) : Exception(PyExc_##name, std::move(m)) {}           \
  }
VELMORA_PY_EXCEPTION(ValueError);
VELMORA_PY_EXCEPTION(TypeError);
VELMORA_PY_EXCEPTION(KeyError);
VELMORA_PY_EXCEPTION(IndexError);
VELMORA_PY_EXCEPTION(RuntimeError);
VELMORA_PY_EXCEPTION(ImportError);
VELMORA_PY_EXCEPTION(FileNotFoundError);
VELMORA_PY_EXCEPTION(NameError);
#undef VELMORA_PY_EXCEPTION

}  // namespace velmora::py

namespace velmora::bridge {

// Sets the Python exception for the C++ exception being handled. Call only from a catch.
void set_python_error() noexcept;

// Runs f, turning any C++ exception into a pending Python exception and nullptr.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

// Sets exc.__notes__ (as add_note does) on the pending exception.
void add_note_to_pending(const char* note) noexcept;

// The pending exception, taken out of the interpreter as one normalised instance.
class Raised {
 public:
  Raised() noexcept;
  ~Raised() { Py_XDECREF(exc_); }
  Raised(const Raised&) = delete;
  Raised& operator=(const Raised&) = delete;

  PyObject* get() const noexcept { return exc_; }
  py::Obj type() const { return py::Obj::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc_))); }
  py::Obj traceback() const;
  // Makes it the pending exception again.
  [[noreturn]] void rethrow();
  // Makes it the pending exception again without throwing.
  void restore() noexcept;

 private:
  PyObject* exc_ = nullptr;
};

// While alive, `exc` is the exception being handled (as inside an except block), so an
// error raised meanwhile carries it as its __context__.
class Handling {
 public:
  explicit Handling(PyObject* exc) noexcept : saved_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc);
  }
  ~Handling() {
    PyErr_SetHandledException(saved_);
    Py_XDECREF(saved_);
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* saved_;
};

// try: body() except <type>: the exception of `type` (or a subclass) leaving body, whatever
// C++ form it took, caught and returned; an empty handle when body returned normally. Any
// other exception goes on up.
py::Obj catch_pending(PyObject* type);
template <class F>
py::Obj try_except(PyObject* type, F&& body) {
  try {
    body();
    return {};
  } catch (...) {
    set_python_error();
  }
  return catch_pending(type);
}

// isinstance(exc, type) for an exception object.
inline bool matches(const py::Obj& exc, PyObject* type) noexcept {
  return PyErr_GivenExceptionMatches(exc.get(), type) != 0;
}

// raise exc, for an exception object.
[[noreturn]] void raise_exception(const py::Obj& exc);

// Raises a caught exception again, with a note added (as exc.add_note(note); raise).
[[noreturn]] void raise_with_note(const py::Obj& exc, const std::string& note);

// Raises `error` as if from inside an `except` block handling `caught`: the caught
// exception becomes the new one's __context__.
[[noreturn]] void raise_in_handler(const py::Obj& caught, const py::Exception& error);

// try: body() finally: cleanup(); with `on_error_only`, try: body() except: cleanup(); raise.
template <class B, class C>
void finally(B&& body, C&& cleanup, bool on_error_only = false) {
  try {
    body();
  } catch (...) {
    set_python_error();
    Raised pending;
    cleanup();
    pending.rethrow();
  }
  if (!on_error_only) cleanup();
}

}  // namespace velmora::bridge

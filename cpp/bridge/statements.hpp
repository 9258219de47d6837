// Python statements that native operations need, with the interpreter's own semantics:
// `from m import name`, `for` over an iterable (with Ctrl-C checks), `with`, and raising
// inside an `except` block so that the caught exception becomes the new one's context.
#pragma once

#include <utility>

#include "errors.hpp"
#include "py.hpp"

namespace velmora::bridge {

// `from module import name`: ImportError "cannot import name ..." when the name is missing.
py::Obj from_import(const char* module, const char* name);

// Raises the pending KeyboardInterrupt (or a signal handler's error), if any.
inline void check_signals() {
  if (PyErr_CheckSignals() < 0) throw py::PythonError{};
}

// Calls f(item) for each item of an iterable, checking for Ctrl-C between items.
template <class F>
void for_each(const py::Obj& iterable, F&& f) {
  py::Obj it = py::Obj::steal(PyObject_GetIter(iterable.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    py::Obj item = py::Obj::steal(raw);
    f(item);
    check_signals();
  }
  if (PyErr_Occurred()) throw py::PythonError{};
}

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

// `with manager as value: body(value)`: __exit__ runs on every way out and sees the
// exception leaving the body; it may suppress it, as the statement lets it.
template <class F>
void with_context(const py::Obj& manager, F&& body) {
  py::Obj exit = manager.attr("__exit__");
  py::Obj value = manager.attr("__enter__")();
  try {
    body(value);
  } catch (...) {
    set_python_error();
    Raised err;
    bool suppress = false;
    {
      Handling handling(err.get());
      suppress = exit(err.type(), py::Obj::borrow(err.get()), err.traceback()).truthy();
    }
    if (suppress) return;
    err.rethrow();
  }
  exit(py::none(), py::none(), py::none());
}

// Raises type(message) as if from inside an `except` block handling the pending
// exception: the pending one becomes the new exception's __context__.
[[noreturn]] void raise_in_handler(PyObject* type, const char* message);

}  // namespace velmora::bridge

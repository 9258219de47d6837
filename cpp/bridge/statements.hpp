// Python statements that native operations need, with the interpreter's own semantics:
// `from m import name`, `for` over an iterable (with Ctrl-C checks) and `with`.
#pragma once

#include <utility>

#include "errors.hpp"
#include "py.hpp"

namespace velmora::bridge {

// `from module import name`: ImportError "cannot import name ..." when the name is missing.
py::Obj from_import(const char* module, const char* name);

using py::check_signals;

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

}  // namespace velmora::bridge

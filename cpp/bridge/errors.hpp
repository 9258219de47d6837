// The one place where C++ exceptions become Python exceptions.
#pragma once

#include "py.hpp"

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

// Raises a Python exception of the given type with the message, as a C++ throw.
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);

// Sets exc.__notes__ (as add_note does) on the pending exception.
void add_note_to_pending(const char* note) noexcept;

}  // namespace velmora::bridge

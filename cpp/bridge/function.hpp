// The package's native function type: argument parsing from a static table, the
// argument conventions shared by every module, and introspection that matches a Python
// function (signature, annotations, defaults), plus method binding on classes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "py.hpp"

namespace velmora::bridge {

// How an argument is checked or converted at the call, before any other work.
enum class Conv : std::uint8_t {
  Any,  // documentation-only annotation: passed through
  Int,  // int passes; other numbers go through int()
  IntOrNone,
  Float,  // converted to a double through the number protocol
  Tuple,  // exactly these built-in types (no subclasses)
  Str,
  Bytes,
  Dict,
  DictOrNone,
  MemoryView,
};

enum class Kind : std::uint8_t { Positional, KeywordOnly };

struct Default {
  enum Tag : std::uint8_t { Required, None, Int, Float, Str, True, False, EmptyTuple, Expr };
  Tag tag = Required;
  long long i = 0;
  double f = 0.0;
  const char* s =
      nullptr;  // Str value, or Expr: a dotted attribute path in the module ("np.float32")
};

constexpr Default required() { return {}; }
constexpr Default none_default() { return {Default::None}; }
constexpr Default int_default(long long v) { return {Default::Int, v}; }
constexpr Default float_default(double v) { return {Default::Float, 0, v}; }
constexpr Default str_default(const char* v) { return {Default::Str, 0, 0.0, v}; }
constexpr Default expr_default(const char* path) { return {Default::Expr, 0, 0.0, path}; }

struct Param {
  const char* name;
  const char* annotation;  // literal annotation text, or nullptr for none (self)
  Conv conv = Conv::Any;
  Kind kind = Kind::Positional;
  Default def = {};
};

constexpr int kMaxParams = 16;

// Converted arguments, in table order (self first for methods). Borrowed references.
class Args {
 public:
  PyObject* operator[](int i) const noexcept { return obj_[i]; }
  py::Obj obj(int i) const noexcept { return py::Obj::borrow(obj_[i]); }
  bool is_none(int i) const noexcept { return obj_[i] == Py_None; }
  double f(int i) const noexcept { return dbl_[i]; }

  PyObject* obj_[kMaxParams] = {};
  double dbl_[kMaxParams] = {};
};

using Impl = py::Obj (*)(const Args&);

struct FunctionDef {
  const char* name;
  const char* qualname;
  const char* doc;
  std::vector<Param> params;
  const char* returns;  // return annotation text, or nullptr
  Impl impl;
};

// A new function object for a definition with static storage duration. `globals` is the
// module's dict: defaults given as Expr are looked up there, and it serves as
// `__globals__` so that typing.get_type_hints resolves the string annotations.
py::Obj make_function(const FunctionDef* def, const char* module_name, PyObject* globals);

// The standard TypeError for an argument of the wrong type; adds a note for subclasses of
// built-in types.
[[noreturn]] void raise_arg_type(const char* param, const char* expected, PyObject* got,
                                 bool subclass);

// The argument conventions applied to one value, for checks made outside a call's parameters.
void require_exact(PyObject* o, PyTypeObject* type, const char* param, const char* expected);

// A parameter's conversion applied to a value obtained outside the call (a field read
// inside an operation that the conventions say is checked as that parameter).
py::Obj convert_arg(const Param& p, PyObject* o);

}  // namespace velmora::bridge

// Owned and borrowed handles to Python objects: the only reference counting in the
// package goes through these, so an early return or a C++ exception never leaks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace velmora::py {

// Thrown when a Python exception is already set; the bridge's boundary lets it through.
struct PythonError {};

[[noreturn]] inline void throw_pending() { throw PythonError{}; }

class Obj {
 public:
  Obj() noexcept = default;
  Obj(const Obj& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Obj(Obj&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Obj& operator=(Obj o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Obj() { Py_XDECREF(p_); }

  // Takes ownership of a new reference; a null one means a Python error is pending.
  static Obj steal(PyObject* p) {
    if (p == nullptr) throw_pending();
    Obj o;
    o.p_ = p;
    return o;
  }
  static Obj borrow(PyObject* p) noexcept {
    Obj o;
    o.p_ = p;
    Py_XINCREF(p);
    return o;
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(PyObject* o) const noexcept { return p_ == o; }
  bool is_none() const noexcept { return p_ == Py_None; }

  Obj attr(const char* name) const { return steal(PyObject_GetAttrString(p_, name)); }
  bool has_attr(const char* name) const { return PyObject_HasAttrString(p_, name) == 1; }
  void set_attr(const char* name, const Obj& v) const {
    if (PyObject_SetAttrString(p_, name, v.get()) < 0) throw_pending();
  }
  Obj item(const Obj& key) const { return steal(PyObject_GetItem(p_, key.get())); }
  Obj item(Py_ssize_t i) const { return steal(PySequence_GetItem(p_, i)); }

  // Calls with positional arguments only.
  template <class... A>
  Obj operator()(const A&... args) const {
    PyObject* argv[] = {nullptr, args.get()...};
    return steal(
        PyObject_Vectorcall(p_, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  // Calls with positional arguments and keyword arguments, given as name/value pairs.
  Obj call(std::initializer_list<Obj> args,
           std::initializer_list<std::pair<const char*, Obj>> kwargs) const;

  Obj str() const { return steal(PyObject_Str(p_)); }
  Obj repr() const { return steal(PyObject_Repr(p_)); }
  bool truthy() const {
    int r = PyObject_IsTrue(p_);
    if (r < 0) throw_pending();
    return r == 1;
  }
  Py_ssize_t size() const {
    Py_ssize_t n = PyObject_Size(p_);
    if (n < 0) throw_pending();
    return n;
  }
  long long as_ll() const {
    long long v = PyLong_AsLongLong(p_);
    if (v == -1 && PyErr_Occurred()) throw_pending();
    return v;
  }
  double as_double() const {
    double v = PyFloat_AsDouble(p_);
    if (v == -1.0 && PyErr_Occurred()) throw_pending();
    return v;
  }
  std::string as_string() const;  // str objects only

 private:
  PyObject* p_ = nullptr;
};

inline Obj none() { return Obj::borrow(Py_None); }
inline Obj boolean(bool b) { return Obj::borrow(b ? Py_True : Py_False); }
inline Obj integer(long long v) { return Obj::steal(PyLong_FromLongLong(v)); }
inline Obj floating(double v) { return Obj::steal(PyFloat_FromDouble(v)); }
inline Obj str(std::string_view s) {
  return Obj::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Obj import(const char* name) { return Obj::steal(PyImport_ImportModule(name)); }
Obj tuple(std::initializer_list<Obj> items);
Obj tuple_of_ints(const long long* v, std::size_t n);
Obj list();
Obj dict();
void dict_set(const Obj& d, const char* key, const Obj& value);
void list_append(const Obj& l, const Obj& value);

// A Python int as a long long, saturated at the type's range: sizes, ranks and counts
// beyond it all behave as "unlimited" instead of overflowing.
long long saturated_ll(PyObject* int_object);

// Text form of an object, as str() gives it.
std::string text(const Obj& o);

}  // namespace velmora::py

// The handle to Python objects. All reference counting goes through it, so an early return
// or a C++ exception never leaks; it offers what Python code uses (attributes, calls with
// keywords, operators, item access, slicing, iteration, unpacking) so that glue written
// with it reads like the Python it implements.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora::py {

// Thrown when a Python exception is already set; the bridge's boundary lets it through.
struct PythonError {};

[[noreturn]] inline void throw_pending() { throw PythonError{}; }

class Obj;
struct Kw;
class Iterator;
struct IterEnd {};

// Values a handle operation accepts besides handles: numbers, strings and booleans.
template <class T>
concept Plain = std::is_arithmetic_v<T> || std::is_convertible_v<T, std::string_view>;
template <class T>
concept ObjLike = std::is_same_v<std::remove_cvref_t<T>, Obj> || Plain<std::remove_cvref_t<T>>;

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
  bool is(const Obj& o) const noexcept { return p_ == o.p_; }
  bool is_none() const noexcept { return p_ == Py_None; }
  // type(self) is t: the exact built-in type, no subclass.
  bool is_exact(PyTypeObject* t) const noexcept { return Py_IS_TYPE(p_, t); }
  // isinstance(self, t)
  bool is_instance(PyTypeObject* t) const noexcept { return PyObject_TypeCheck(p_, t) != 0; }
  // Supports __index__ (ints and integer scalars of other libraries).
  bool is_index() const noexcept { return PyIndex_Check(p_) != 0; }
  Obj type() const noexcept { return borrow(reinterpret_cast<PyObject*>(Py_TYPE(p_))); }
  // How many references the object has: tells a temporary nothing else sees.
  Py_ssize_t refcount() const noexcept { return Py_REFCNT(p_); }

  Obj attr(const char* name) const { return steal(PyObject_GetAttrString(p_, name)); }

  // self[key], self[key] = value, key in self, self[start:stop].
  template <ObjLike K>
  Obj item(const K& key) const;
  Obj item(Py_ssize_t i) const { return steal(PySequence_GetItem(p_, i)); }
  Obj item(int i) const { return item(static_cast<Py_ssize_t>(i)); }
  template <ObjLike K, ObjLike V>
  void set_item(const K& key, const V& value) const;
  template <ObjLike K>
  bool contains(const K& key) const;
  // self.get(key): the value, or an empty handle when the key is missing (no default built).
  Obj get_item(const Obj& key) const;
  // self.get(key, default), for dicts without the method lookup.
  Obj get(const Obj& key, const Obj& default_value) const;
  // self.setdefault(key, default), for dicts without the method lookup.
  Obj setdefault(const Obj& key, const Obj& default_value) const;
  // self.append(value), for lists without the method lookup.
  void append(const Obj& value) const;
  Obj slice(Py_ssize_t start, Py_ssize_t stop) const {
    return steal(PySequence_GetSlice(p_, start, stop));
  }

  // Calls, with positional arguments first and then keywords ("name"_a = value).
  template <class... A>
  Obj operator()(const A&... args) const;
  // Calls with positional arguments and keyword arguments, given as name/value pairs.
  Obj call(std::initializer_list<Obj> args,
           std::initializer_list<std::pair<const char*, Obj>> kwargs) const;

  // for (const py::Obj& x : iterable): Ctrl-C is checked between items; break stops early.
  Iterator begin() const;
  static IterEnd end() noexcept { return {}; }
  // a, b = self, with the interpreter's own messages for a wrong count.
  template <std::size_t N>
  std::array<Obj, N> unpack() const;

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
  std::string as_bytes() const;   // bytes objects only

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
inline Obj bytes(std::string_view s) {
  return Obj::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// A str of ASCII text (hex digits, names), copied without decoding.
Obj ascii(std::string_view s);
inline Obj import(const char* name) { return Obj::steal(PyImport_ImportModule(name)); }
// A built-in type as a handle (py::type(PyDict_Type)).
inline Obj type(PyTypeObject& t) { return Obj::borrow(reinterpret_cast<PyObject*>(&t)); }
// int(o), operator.index(o), float(o) through the number protocol.
inline Obj as_int(const Obj& o) { return Obj::steal(PyNumber_Long(o.get())); }
inline Obj index(const Obj& o) { return Obj::steal(PyNumber_Index(o.get())); }
inline Obj as_float(const Obj& o) { return Obj::steal(PyNumber_Float(o.get())); }
// builtins.NAME (sorted, sum, len...).
Obj builtin(const char* name);

// A plain C++ value as a Python object: bool, integers, floating point, text.
template <class T>
Obj value(const T& v) {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, Obj>) {
    return v;
  } else if constexpr (std::is_same_v<U, bool>) {
    return boolean(v);
  } else if constexpr (std::is_integral_v<U>) {
    return integer(static_cast<long long>(v));
  } else if constexpr (std::is_floating_point_v<U>) {
    return floating(static_cast<double>(v));
  } else {
    return str(std::string_view(v));
  }
}

// The handle itself for a handle (no reference taken), a new object for a plain value.
template <class T>
decltype(auto) ref(const T& v) {
  if constexpr (std::is_same_v<std::remove_cvref_t<T>, Obj>) {
    return (v);
  } else {
    return value(v);
  }
}

// A keyword argument of a call: f(x, "axis"_a = 0).
struct Kw {
  const char* name;
  Obj value;
};
struct KwName {
  const char* name;
  template <ObjLike T>
  Kw operator=(const T& v) const {
    return {name, py::value(v)};
  }
};
inline namespace literals {
constexpr KwName operator""_a(const char* name, std::size_t) { return {name}; }
}  // namespace literals

Obj tuple(std::initializer_list<Obj> items);
Obj tuple(const std::vector<Obj>& items);
Obj tuple_of_ints(const long long* v, std::size_t n);
Obj list();
Obj dict();

// A Python int as a long long, saturated at the type's range: sizes, ranks and counts
// beyond it all behave as "unlimited" instead of overflowing.
long long saturated_ll(PyObject* int_object);

// Text form of an object, as str() gives it.
std::string text(const Obj& o);

// Raises the pending KeyboardInterrupt (or a signal handler's error), if any.
inline void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_pending();
}

// ---- iteration ----------------------------------------------------------------------------

class Iterator {
 public:
  explicit Iterator(Obj it) : it_(std::move(it)) { advance(); }
  const Obj& operator*() const noexcept { return cur_; }
  Iterator& operator++() {
    check_signals();
    advance();
    return *this;
  }
  bool operator==(IterEnd) const noexcept { return !cur_; }

 private:
  void advance() {
    PyObject* raw = PyIter_Next(it_.get());
    if (raw == nullptr && PyErr_Occurred()) throw_pending();
    cur_ = raw != nullptr ? Obj::steal(raw) : Obj{};
  }
  Obj it_;
  Obj cur_;
};

inline Iterator Obj::begin() const { return Iterator(steal(PyObject_GetIter(p_))); }

// The interpreter's messages for a, b = x with the wrong count or a non-iterable x.
[[noreturn]] void raise_unpack(const Obj& seq, std::size_t expected, Py_ssize_t got);

template <std::size_t N>
std::array<Obj, N> Obj::unpack() const {
  std::array<Obj, N> out;
  PyObject* it = PyObject_GetIter(p_);
  if (it == nullptr) raise_unpack(*this, N, -1);
  Obj iter = steal(it);
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* raw = PyIter_Next(it);
    if (raw == nullptr) {
      if (PyErr_Occurred()) throw_pending();
      raise_unpack(*this, N, static_cast<Py_ssize_t>(i));
    }
    out[i] = steal(raw);
  }
  PyObject* extra = PyIter_Next(it);
  if (extra != nullptr) {
    Py_DECREF(extra);
    raise_unpack(*this, N, static_cast<Py_ssize_t>(N) + 1);
  }
  if (PyErr_Occurred()) throw_pending();
  return out;
}

// ---- item access ------------------------------------------------------------------------

template <ObjLike K>
Obj Obj::item(const K& key) const {
  return steal(PyObject_GetItem(p_, ref(key).get()));
}
template <ObjLike K, ObjLike V>
void Obj::set_item(const K& key, const V& v) const {
  if (PyObject_SetItem(p_, ref(key).get(), ref(v).get()) < 0) throw_pending();
}
template <ObjLike K>
bool Obj::contains(const K& key) const {
  const int r = PySequence_Contains(p_, ref(key).get());
  if (r < 0) throw_pending();
  return r == 1;
}

// ---- calls --------------------------------------------------------------------------------

namespace detail {
template <class T>
inline constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<T>, Kw>;
template <class T>
Obj arg_value(const T& a) {
  if constexpr (is_kw<T>) {
    return a.value;
  } else {
    return value(a);
  }
}
Obj kw_names(const char* const* names, std::size_t n);
Obj vectorcall(PyObject* callable, PyObject* const* argv, std::size_t nargs, PyObject* names);
}  // namespace detail

template <class... A>
Obj Obj::operator()(const A&... args) const {
  constexpr std::size_t n = sizeof...(A);
  constexpr std::size_t nkw = (std::size_t{0} + ... + (detail::is_kw<A> ? 1 : 0));
  constexpr bool ordered = [] {
    bool seen_kw = false, ok = true;
    ((ok = ok && (detail::is_kw<A> || !seen_kw), seen_kw = seen_kw || detail::is_kw<A>), ...);
    return ok;
  }();
  static_assert(ordered, "keyword arguments come after positional ones");
  std::array<Obj, n> held{detail::arg_value(args)...};
  PyObject* argv[n + 1];
  argv[0] = nullptr;
  for (std::size_t i = 0; i < n; ++i) argv[i + 1] = held[i].get();
  if constexpr (nkw == 0) {
    return detail::vectorcall(p_, argv + 1, n, nullptr);
  } else {
    const char* names[nkw];
    std::size_t k = 0;
    auto take = [&](const auto& a) {
      if constexpr (detail::is_kw<decltype(a)>) names[k++] = a.name;
    };
    (take(args), ...);
    return detail::vectorcall(p_, argv + 1, n - nkw, detail::kw_names(names, nkw).get());
  }
}

// ---- operators ----------------------------------------------------------------------------

namespace detail {
Obj binary(const Obj& a, const Obj& b, PyObject* (*op)(PyObject*, PyObject*));
bool compare(const Obj& a, const Obj& b, int op);
}  // namespace detail

template <class A, class B>
concept Operands =
    ObjLike<A> && ObjLike<B> &&
    (std::is_same_v<std::remove_cvref_t<A>, Obj> || std::is_same_v<std::remove_cvref_t<B>, Obj>);

template <class A, class B>
  requires Operands<A, B>
Obj operator+(const A& a, const B& b) {
  return detail::binary(ref(a), ref(b), PyNumber_Add);
}
template <class A, class B>
  requires Operands<A, B>
Obj operator-(const A& a, const B& b) {
  return detail::binary(ref(a), ref(b), PyNumber_Subtract);
}
template <class A, class B>
  requires Operands<A, B>
Obj operator*(const A& a, const B& b) {
  return detail::binary(ref(a), ref(b), PyNumber_Multiply);
}
template <class A, class B>
  requires Operands<A, B>
Obj operator/(const A& a, const B& b) {
  return detail::binary(ref(a), ref(b), PyNumber_TrueDivide);
}
// slice(start, stop), as in x[start:stop]; None for an open end.
template <ObjLike A, ObjLike B>
Obj slice(const A& start, const B& stop) {
  return Obj::steal(PySlice_New(value(start).get(), value(stop).get(), nullptr));
}

// a @ b
inline Obj matmul(const Obj& a, const Obj& b) {
  return detail::binary(a, b, PyNumber_MatrixMultiply);
}
template <ObjLike B>
Obj& operator+=(Obj& a, const B& b) {
  a = detail::binary(a, ref(b), PyNumber_InPlaceAdd);
  return a;
}
// Comparisons as Python's `if a == b:` sees them: the result's truth value.
template <class A, class B>
  requires Operands<A, B>
bool operator==(const A& a, const B& b) {
  return detail::compare(ref(a), ref(b), Py_EQ);
}
template <class A, class B>
  requires Operands<A, B>
bool operator!=(const A& a, const B& b) {
  return detail::compare(ref(a), ref(b), Py_NE);
}
template <class A, class B>
  requires Operands<A, B>
bool operator<(const A& a, const B& b) {
  return detail::compare(ref(a), ref(b), Py_LT);
}
template <class A, class B>
  requires Operands<A, B>
bool operator<=(const A& a, const B& b) {
  return detail::compare(ref(a), ref(b), Py_LE);
}
template <class A, class B>
  requires Operands<A, B>
bool operator>(const A& a, const B& b) {
  return detail::compare(ref(a), ref(b), Py_GT);
}
template <class A, class B>
  requires Operands<A, B>
bool operator>=(const A& a, const B& b) {
  return detail::compare(ref(a), ref(b), Py_GE);
}

}  // namespace velmora::py

#include "py.hpp"

#include <climits>
#include <cstring>
#include <vector>

namespace velmora::py {

Obj Obj::call(std::initializer_list<Obj> args,
              std::initializer_list<std::pair<const char*, Obj>> kwargs) const {
  std::vector<PyObject*> argv;
  argv.reserve(1 + args.size() + kwargs.size());
  argv.push_back(nullptr);
  for (const Obj& a : args) argv.push_back(a.get());
  Obj names;
  if (kwargs.size() > 0) {
    names = steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t i = 0;
    for (const auto& kv : kwargs) {
      PyObject* name = PyUnicode_InternFromString(kv.first);
      if (name == nullptr) throw_pending();
      PyTuple_SET_ITEM(names.get(), i++, name);
      argv.push_back(kv.second.get());
    }
  }
  return steal(PyObject_Vectorcall(p_, argv.data() + 1,
                                   args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Obj Obj::get_item(const Obj& key) const {
  if (PyDict_CheckExact(p_)) {
    PyObject* v = PyDict_GetItemWithError(p_, key.get());
    if (v == nullptr && PyErr_Occurred()) throw_pending();
    return borrow(v);
  }
  return contains(key) ? item(key) : Obj{};
}

Obj Obj::get(const Obj& key, const Obj& default_value) const {
  if (PyDict_CheckExact(p_)) {
    PyObject* v = PyDict_GetItemWithError(p_, key.get());
    if (v == nullptr && PyErr_Occurred()) throw_pending();
    return v != nullptr ? borrow(v) : default_value;
  }
  return attr("get")(key, default_value);
}

Obj Obj::setdefault(const Obj& key, const Obj& default_value) const {
  if (PyDict_CheckExact(p_)) {
    PyObject* r = PyDict_SetDefault(p_, key.get(), default_value.get());
    if (r == nullptr) throw_pending();
    return borrow(r);
  }
  return attr("setdefault")(key, default_value);
}

void Obj::append(const Obj& value) const {
  if (PyList_CheckExact(p_)) {
    if (PyList_Append(p_, value.get()) < 0) throw_pending();
    return;
  }
  attr("append")(value);
}

std::string Obj::as_string() const {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(p_, &n);
  if (s == nullptr) throw_pending();
  return std::string(s, static_cast<std::size_t>(n));
}

std::string Obj::as_bytes() const {
  char* s = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(p_, &s, &n) < 0) throw_pending();
  return std::string(s, static_cast<std::size_t>(n));
}

Obj tuple(std::initializer_list<Obj> items) {
  Obj t = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const Obj& o : items) {
    Py_INCREF(o.get());
    PyTuple_SET_ITEM(t.get(), i++, o.get());
  }
  return t;
}

Obj tuple(const std::vector<Obj>& items) {
  Obj t = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const Obj& o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o.get()));
  return t;
}

namespace detail {

// A tuple of n new references make(0) .. make(n - 1); a null one raises what is pending.
template <class Make>
Obj tuple_from(std::size_t n, Make make) {
  Obj t = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* x = make(i);
    if (x == nullptr) throw_pending();
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), x);
  }
  return t;
}

}  // namespace detail

Obj tuple_of_ints(const long long* v, std::size_t n) {
  return detail::tuple_from(n, [&](std::size_t i) { return PyLong_FromLongLong(v[i]); });
}

Obj list() { return Obj::steal(PyList_New(0)); }
Obj dict() { return Obj::steal(PyDict_New()); }

long long saturated_ll(PyObject* int_object) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(int_object, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_pending();
  if (overflow > 0) return LLONG_MAX;
  if (overflow < 0) return LLONG_MIN;
  return v;
}

std::string text(const Obj& o) { return o.str().as_string(); }

Obj ascii(std::string_view s) {
  Obj o = Obj::steal(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
  std::memcpy(PyUnicode_DATA(o.get()), s.data(), s.size());
  return o;
}

Obj builtin(const char* name) {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* v = builtins != nullptr ? PyDict_GetItemString(builtins, name) : nullptr;
  if (v != nullptr) return Obj::borrow(v);
  return import("builtins").attr(name);
}

void raise_unpack(const Obj& seq, std::size_t expected, Py_ssize_t got) {
  if (got < 0) {
    // As the interpreter words it when the object cannot be iterated at all.
    PyTypeObject* t = Py_TYPE(seq.get());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && t->tp_iter == nullptr &&
        !PySequence_Check(seq.get())) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", t->tp_name);
    }
  } else if (static_cast<std::size_t>(got) < expected) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zd)", expected,
                 got);
  } else {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
  }
  throw_pending();
}

namespace detail {

Obj kw_names(const char* const* names, std::size_t n) {
  return tuple_from(n, [&](std::size_t i) { return PyUnicode_InternFromString(names[i]); });
}

Obj vectorcall(PyObject* callable, PyObject* const* argv, std::size_t nargs, PyObject* names) {
  return Obj::steal(
      PyObject_Vectorcall(callable, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

Obj binary(const Obj& a, const Obj& b, PyObject* (*op)(PyObject*, PyObject*)) {
  return Obj::steal(op(a.get(), b.get()));
}

bool compare(const Obj& a, const Obj& b, int op) {
  const int r = PyObject_RichCompareBool(a.get(), b.get(), op);
  if (r < 0) throw_pending();
  return r == 1;
}

}  // namespace detail

}  // namespace velmora::py

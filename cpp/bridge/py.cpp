#include "py.hpp"

#include <climits>
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

std::string Obj::as_string() const {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(p_, &n);
  if (s == nullptr) throw_pending();
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

Obj tuple_of_ints(const long long* v, std::size_t n) {
  Obj t = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* x = PyLong_FromLongLong(v[i]);
    if (x == nullptr) throw_pending();
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), x);
  }
  return t;
}

Obj list() { return Obj::steal(PyList_New(0)); }
Obj dict() { return Obj::steal(PyDict_New()); }

void dict_set(const Obj& d, const char* key, const Obj& value) {
  if (PyDict_SetItemString(d.get(), key, value.get()) < 0) throw_pending();
}
void list_append(const Obj& l, const Obj& value) {
  if (PyList_Append(l.get(), value.get()) < 0) throw_pending();
}

long long saturated_ll(PyObject* int_object) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(int_object, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_pending();
  if (overflow > 0) return LLONG_MAX;
  if (overflow < 0) return LLONG_MIN;
  return v;
}

std::string text(const Obj& o) { return o.str().as_string(); }

}  // namespace velmora::py

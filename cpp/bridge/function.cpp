#include "function.hpp"

#include <structmember.h>

#include <cstring>
#include <string>

#include "errors.hpp"

namespace velmora::bridge {

namespace {

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* dict;  // __dict__
  const FunctionDef* def;
  PyObject* module;       // str: __module__
  PyObject* globals;      // the module's dict
  PyObject* defaults;     // tuple: one entry per parameter, nullptr entries for required
  PyObject* annotations;  // dict
  PyObject* names;        // tuple of interned parameter names
  int n_positional;
  int n_required;
};

PyTypeObject* g_type = nullptr;

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

[[noreturn]] void raise_count(const Function* f, Py_ssize_t given) {
  const char* how;
  Py_ssize_t count;
  if (f->n_required == f->n_positional) {
    how = "exactly";
    count = f->n_positional;
  } else if (given < f->n_required) {
    how = "at least";
    count = f->n_required;
  } else {
    how = "at most";
    count = f->n_positional;
  }
  PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)", f->def->name,
               how, count, plural(count), given);
  throw py::PythonError{};
}

PyObject* convert(const Param& p, PyObject* o, double* dbl) {
  switch (p.conv) {
    case Conv::Any: return Py_NewRef(o);
    case Conv::IntOrNone:
      if (o == Py_None) return Py_NewRef(o);
      [[fallthrough]];
    case Conv::Int:
      if (PyLong_Check(o)) return Py_NewRef(o);
      if (PyNumber_Check(o)) {
        PyObject* r = PyNumber_Long(o);
        if (r == nullptr) throw py::PythonError{};
        return r;
      }
      raise_arg_type(p.name, "int", o, false);
    case Conv::Float: {
      if (!PyFloat_Check(o) && !PyNumber_Check(o)) raise_arg_type(p.name, "float", o, false);
      double v = PyFloat_AsDouble(o);
      if (v == -1.0 && PyErr_Occurred()) throw py::PythonError{};
      *dbl = v;
      if (PyFloat_CheckExact(o)) return Py_NewRef(o);
      PyObject* r = PyFloat_FromDouble(v);
      if (r == nullptr) throw py::PythonError{};
      return r;
    }
    case Conv::Tuple: require_exact(o, &PyTuple_Type, p.name, "tuple"); return Py_NewRef(o);
    case Conv::Str: require_exact(o, &PyUnicode_Type, p.name, "str"); return Py_NewRef(o);
    case Conv::Bytes: require_exact(o, &PyBytes_Type, p.name, "bytes"); return Py_NewRef(o);
    case Conv::DictOrNone:
      if (o == Py_None) return Py_NewRef(o);
      [[fallthrough]];
    case Conv::Dict: require_exact(o, &PyDict_Type, p.name, "dict"); return Py_NewRef(o);
    case Conv::MemoryView:
      require_exact(o, &PyMemoryView_Type, p.name, "memoryview");
      return Py_NewRef(o);
  }
  return Py_NewRef(o);
}

struct Slots {
  PyObject* raw[kMaxParams] = {};
  Args args;
  ~Slots() {
    for (PyObject*& o : args.obj_) Py_XDECREF(o);
  }
};

PyObject* function_vectorcall(PyObject* self, PyObject* const* argv, size_t nargsf,
                              PyObject* kwnames) {
  auto* f = reinterpret_cast<Function*>(self);
  return guarded([&]() -> PyObject* {
    const FunctionDef* def = f->def;
    const int np = static_cast<int>(def->params.size());
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > f->n_positional) raise_count(f, nargs);
    Slots s;
    for (Py_ssize_t i = 0; i < nargs; ++i) s.raw[i] = argv[i];
    if (kwnames != nullptr) {
      const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
          PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", def->name);
          throw py::PythonError{};
        }
        int found = -1;
        for (int i = 0; i < np; ++i) {
          if (PyTuple_GET_ITEM(f->names, i) == key) {
            found = i;
            break;
          }
        }
        if (found < 0) {
          for (int i = 0; i < np; ++i) {
            if (PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), key) == 0) {
              found = i;
              break;
            }
          }
          if (PyErr_Occurred()) throw py::PythonError{};
        }
        if (found < 0) {
          PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def->name,
                       key);
          throw py::PythonError{};
        }
        if (s.raw[found] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", def->name,
                       key);
          throw py::PythonError{};
        }
        s.raw[found] = argv[nargs + j];
      }
    }
    for (int i = 0; i < np; ++i) {
      if (s.raw[i] != nullptr) continue;
      if (def->params[i].def.tag != Default::Required) {
        s.raw[i] = PyTuple_GET_ITEM(f->defaults, i);
        continue;
      }
      if (def->params[i].kind == Kind::Positional) raise_count(f, i);
      PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", def->name,
                   def->params[i].name);
      throw py::PythonError{};
    }
    for (int i = 0; i < np; ++i) {
      s.args.obj_[i] = convert(def->params[i], s.raw[i], &s.args.dbl_[i]);
    }
    return def->impl(s.args).release();
  });
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<Function*>(self);
  Py_VISIT(f->dict);
  Py_VISIT(f->globals);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  return 0;
}

void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->names);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  return PyUnicode_FromFormat("<function %s at %p>", f->def->qualname, self);
}

PyObject* get_name(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<Function*>(self)->def->name);
}
PyObject* get_qualname(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<Function*>(self)->def->qualname);
}
PyObject* get_doc(PyObject* self, void*) {
  const char* doc = reinterpret_cast<Function*>(self)->def->doc;
  if (doc == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(doc);
}
PyObject* get_module(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<Function*>(self)->module);
}
PyObject* get_globals(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<Function*>(self)->globals);
}
PyObject* get_annotations(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<Function*>(self)->annotations);
}

PyObject* get_defaults(PyObject* self, void*) {
  auto* f = reinterpret_cast<Function*>(self);
  return guarded([&]() -> PyObject* {
    py::Obj items = py::list();
    for (int i = 0; i < f->n_positional; ++i) {
      if (f->def->params[i].def.tag != Default::Required) {
        items.append(py::Obj::borrow(PyTuple_GET_ITEM(f->defaults, i)));
      }
    }
    if (items.size() == 0) return Py_NewRef(Py_None);
    return PyList_AsTuple(items.get());
  });
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  auto* f = reinterpret_cast<Function*>(self);
  return guarded([&]() -> PyObject* {
    py::Obj d = py::dict();
    const int np = static_cast<int>(f->def->params.size());
    for (int i = f->n_positional; i < np; ++i) {
      if (f->def->params[i].def.tag != Default::Required) {
        d.set_item(f->def->params[i].name, py::Obj::borrow(PyTuple_GET_ITEM(f->defaults, i)));
      }
    }
    if (PyDict_GET_SIZE(d.get()) == 0) return Py_NewRef(Py_None);
    return d.release();
  });
}

// Built on demand so that importing a module does not import inspect.
PyObject* get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<Function*>(self);
  return guarded([&]() -> PyObject* {
    py::Obj inspect = py::import("inspect");
    py::Obj parameter = inspect.attr("Parameter");
    py::Obj empty = parameter.attr("empty");
    py::Obj positional = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::Obj keyword_only = parameter.attr("KEYWORD_ONLY");
    py::Obj params = py::list();
    const int np = static_cast<int>(f->def->params.size());
    for (int i = 0; i < np; ++i) {
      const Param& p = f->def->params[i];
      py::Obj def = p.def.tag == Default::Required
                        ? empty
                        : py::Obj::borrow(PyTuple_GET_ITEM(f->defaults, i));
      py::Obj ann = p.annotation != nullptr ? py::str(p.annotation) : empty;
      params.append(
          parameter.call({py::str(p.name), p.kind == Kind::Positional ? positional : keyword_only},
                         {{"default", def}, {"annotation", ann}}));
    }
    py::Obj ret = f->def->returns != nullptr ? py::str(f->def->returns) : empty;
    return inspect.attr("Signature").call({params}, {{"return_annotation", ret}}).release();
  });
}

PyObject* function_reduce(PyObject* self, PyObject*) {
  return PyUnicode_FromString(reinterpret_cast<Function*>(self)->def->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "velmora_dryx.native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

py::Obj lookup_path(PyObject* globals, const char* path) {
  std::string p(path);
  std::size_t dot = p.find('.');
  std::string head = p.substr(0, dot);
  PyObject* first = PyDict_GetItemString(globals, head.c_str());
  if (first == nullptr) {
    PyErr_Format(PyExc_RuntimeError, "default %s refers to a name the module lacks", path);
    throw py::PythonError{};
  }
  py::Obj o = py::Obj::borrow(first);
  while (dot != std::string::npos) {
    std::size_t next = p.find('.', dot + 1);
    o = o.attr(
        p.substr(dot + 1, next == std::string::npos ? std::string::npos : next - dot - 1).c_str());
    dot = next;
  }
  return o;
}

py::Obj make_default(const Default& d, PyObject* globals) {
  switch (d.tag) {
    case Default::Required:
    case Default::None: return py::none();
    case Default::Int: return py::integer(d.i);
    case Default::Float: return py::floating(d.f);
    case Default::Str: return py::str(d.s);
    case Default::True: return py::boolean(true);
    case Default::False: return py::boolean(false);
    case Default::EmptyTuple: return py::Obj::steal(PyTuple_New(0));
    case Default::Expr: return lookup_path(globals, d.s);
  }
  return py::none();
}

}  // namespace

void raise_arg_type(const char* param, const char* expected, PyObject* got, bool subclass) {
  PyObject* name = PyType_GetName(Py_TYPE(got));
  if (name == nullptr) throw py::PythonError{};
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200U)", param,
               expected, name);
  Py_DECREF(name);
  if (subclass) {
    std::string note = std::string("Subclasses of built-in types are refused: pass an exact ") +
                       expected + " for '" + param + "'.";
    add_note_to_pending(note.c_str());
  }
  throw py::PythonError{};
}

void require_exact(PyObject* o, PyTypeObject* type, const char* param, const char* expected) {
  if (Py_TYPE(o) == type) return;
  raise_arg_type(param, expected, o, PyObject_TypeCheck(o, type) != 0);
}

py::Obj convert_arg(const Param& p, PyObject* o) {
  double unused = 0.0;
  return py::Obj::steal(convert(p, o, &unused));
}

py::Obj make_function(const FunctionDef* def, const char* module_name, PyObject* globals) {
  if (g_type == nullptr) {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (g_type == nullptr) throw py::PythonError{};
  }
  const int np = static_cast<int>(def->params.size());
  if (np > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many parameters in a native function table");
    throw py::PythonError{};
  }
  // Everything is built before the object exists, so a failure leaks nothing.
  py::Obj module = py::str(module_name);
  py::Obj defaults = py::Obj::steal(PyTuple_New(np));
  py::Obj names = py::Obj::steal(PyTuple_New(np));
  py::Obj annotations = py::dict();
  int n_positional = 0, n_required = 0;
  for (int i = 0; i < np; ++i) {
    const Param& p = def->params[i];
    PyTuple_SET_ITEM(defaults.get(), i, make_default(p.def, globals).release());
    PyObject* name = PyUnicode_InternFromString(p.name);
    if (name == nullptr) throw py::PythonError{};
    PyTuple_SET_ITEM(names.get(), i, name);
    if (p.annotation != nullptr) annotations.set_item(p.name, py::str(p.annotation));
    if (p.kind == Kind::Positional) {
      ++n_positional;
      if (p.def.tag == Default::Required) ++n_required;
    }
  }
  if (def->returns != nullptr) annotations.set_item("return", py::str(def->returns));

  auto* f = PyObject_GC_New(Function, g_type);
  if (f == nullptr) throw py::PythonError{};
  f->vectorcall = function_vectorcall;
  f->dict = nullptr;
  f->def = def;
  f->module = module.release();
  f->globals = Py_NewRef(globals);
  f->defaults = defaults.release();
  f->annotations = annotations.release();
  f->names = names.release();
  f->n_positional = n_positional;
  f->n_required = n_required;
  PyObject_GC_Track(f);
  return py::Obj::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace velmora::bridge

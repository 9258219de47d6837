#include "module.hpp"

#include <string>

#include "errors.hpp"

namespace velmora::bridge {

py::Obj ModuleBuilder::import(const char* module, const char* alias) {
  py::Obj m = py::import(module);
  // "import a.b" binds the top package; only plain names are used here.
  set(alias != nullptr ? alias : module, m);
  return m;
}

py::Obj ModuleBuilder::from_import(const char* module, const char* name) {
  py::Obj v = py::import(module).attr(name);
  set(name, v);
  return v;
}

void ModuleBuilder::set(const char* name, const py::Obj& value) {
  if (PyModule_AddObjectRef(module_, name, value.get()) < 0) throw py::PythonError{};
}

py::Obj ModuleBuilder::get(const char* name) const {
  return py::Obj::steal(PyObject_GetAttrString(module_, name));
}

py::Obj ModuleBuilder::function(const FunctionDef* def) {
  py::Obj f = make_function(def, name_, globals());
  set(def->name, f);
  return f;
}

py::Obj ModuleBuilder::method(const FunctionDef* def) {
  return make_function(def, name_, globals());
}

namespace {
// The module's namespace, set before its body runs; borrowed: the module lives for the process.
PyObject* g_module_globals = nullptr;
}  // namespace

py::Obj module_global(const char* name) {
  PyObject* v =
      g_module_globals == nullptr ? nullptr : PyDict_GetItemString(g_module_globals, name);
  if (v == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::PythonError{};
  }
  return py::Obj::borrow(v);
}

int exec_module_once(PyObject* module, const char* name, bool* done, ModuleBody body) noexcept {
  if (*done) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s cannot be initialised twice in one process; it is already loaded", name);
    return -1;
  }
  PyObject* r = guarded([&]() -> PyObject* {
    ModuleBuilder b(module, name);
    g_module_globals = b.globals();
    body(b);
    return Py_NewRef(Py_None);
  });
  if (r == nullptr) return -1;
  Py_DECREF(r);
  *done = true;
  return 0;
}

}  // namespace velmora::bridge

// Module definition shared by the five extension modules: multi-phase initialisation whose
// body runs once per process, and helpers that fill the module namespace.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "function.hpp"
#include "py.hpp"

namespace velmora::bridge {

// Entries of a class namespace: attribute name and value.
using NamespaceItems = std::vector<std::pair<const char*, py::Obj>>;

class ModuleBuilder {
 public:
  ModuleBuilder(PyObject* module, const char* name) : module_(module), name_(name) {}

  const char* name() const noexcept { return name_; }
  PyObject* module() const noexcept { return module_; }
  PyObject* globals() const noexcept { return PyModule_GetDict(module_); }

  // import NAME [as ALIAS]
  py::Obj import(const char* module, const char* alias = nullptr);
  // from MODULE import NAME
  py::Obj from_import(const char* module, const char* name);
  void set(const char* name, const py::Obj& value);
  py::Obj get(const char* name) const;
  py::Obj function(const FunctionDef* def);  // also bound in the module under def->name
  py::Obj method(const FunctionDef* def);    // for a class namespace: not bound in the module
  // A table of declarations, each bound in the module under its own name, in table order.
  template <class Def, std::size_t N>
  void functions(const Def (&defs)[N]) {
    for (const Def& d : defs) function(&d);
  }
  // A table of method declarations as class-namespace entries named after each one's own
  // name; `wrap` (property, say) is applied to each function object when given.
  template <class Def, std::size_t N>
  NamespaceItems methods(const Def (&defs)[N], py::Obj (*wrap)(const py::Obj&) = nullptr) {
    NamespaceItems items;
    for (const Def& d : defs) {
      py::Obj f = method(&d);
      items.emplace_back(d.name, wrap != nullptr ? wrap(f) : f);
    }
    return items;
  }

 private:
  PyObject* module_;
  const char* name_;
};

using ModuleBody = void (*)(ModuleBuilder&);

// A name of the namespace of the module this code is linked into (each extension module
// links its own copy of the bridge), looked up at call time, as Python code in the module
// sees it: a rebound name is the new object, a deleted one raises NameError. Only for names
// that Python code may replace by contract; the module's own calls are C++ calls.
py::Obj module_global(const char* name);

// Runs the module body once per process; a second initialisation raises RuntimeError.
int exec_module_once(PyObject* module, const char* name, bool* done, ModuleBody body) noexcept;

}  // namespace velmora::bridge

// Defines PyInit_<short> for the module velmora_dryx.<short> whose docstring is
// `ns::kModuleDoc` and whose body is `ns::body`.
#define VELMORA_MODULE(short_name, ns) \
  VELMORA_MODULE_DEF(short_name, "velmora_dryx." #short_name, ns::kModuleDoc, ns::body)

#define VELMORA_MODULE_DEF(short_name, full_name, doc, body)                               \
  static bool velmora_module_done_ = false;                                                \
  static int velmora_module_exec_(PyObject* m) {                                           \
    return ::velmora::bridge::exec_module_once(m, full_name, &velmora_module_done_, body); \
  }                                                                                        \
  static PyModuleDef_Slot velmora_module_slots_[] = {                                      \
      {Py_mod_exec, reinterpret_cast<void*>(velmora_module_exec_)},                        \
      VELMORA_MODULE_EXTRA_SLOTS{0, nullptr}};                                             \
  static PyModuleDef velmora_module_def_ = {                                               \
      PyModuleDef_HEAD_INIT, full_name, doc,     0,      nullptr,                          \
      velmora_module_slots_, nullptr,   nullptr, nullptr};                                 \
  PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&velmora_module_def_); }

#if PY_VERSION_HEX >= 0x030C0000
#define VELMORA_MODULE_EXTRA_SLOTS \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VELMORA_MODULE_EXTRA_SLOTS
#endif

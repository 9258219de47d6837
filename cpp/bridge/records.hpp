// Records and enumerations built through the interpreter's own facilities (enum.Enum and
// dataclasses.make_dataclass), so they behave exactly like classes written in Python.
#pragma once

#include <utility>
#include <vector>

#include "module.hpp"
#include "py.hpp"

namespace velmora::bridge {

// A str-valued enumeration: Enum(name, members, type=str, module=..., qualname=name).
py::Obj make_str_enum(ModuleBuilder& b, const char* name,
                      std::initializer_list<std::pair<const char*, const char*>> members);

struct Field {
  enum Default { Required, EmptyTuple, EmptyDict, EmptyList, Value };
  const char* name;
  const char* annotation;
  Default def = Required;
  py::Obj value = {};  // for Value
};

struct DataclassOptions {
  bool frozen = false;
  bool eq = true;
};

// dataclasses.make_dataclass with the module's name, so the class pickles and
// typing.get_type_hints resolves its string annotations in the module.
py::Obj make_dataclass(ModuleBuilder& b, const char* name, const char* doc,
                       const std::vector<Field>& fields, const NamespaceItems& namespace_items,
                       DataclassOptions options);

// property(fget) around a native function.
py::Obj property(const py::Obj& fget);

}  // namespace velmora::bridge

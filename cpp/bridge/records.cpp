#include "records.hpp"

namespace velmora::bridge {

py::Obj make_str_enum(ModuleBuilder& b, const char* name,
                      std::initializer_list<std::pair<const char*, const char*>> members) {
  py::Obj items = py::list();
  for (const auto& m : members) items.append(py::tuple({py::str(m.first), py::str(m.second)}));
  py::Obj enum_type = py::import("enum").attr("Enum");
  py::Obj cls =
      enum_type.call({py::str(name), items},
                     {{"type", py::Obj::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type))},
                      {"module", py::str(b.name())},
                      {"qualname", py::str(name)}});
  return cls;
}

py::Obj make_dataclass(ModuleBuilder& b, const char* name, const char* doc,
                       const std::vector<Field>& fields, const NamespaceItems& namespace_items,
                       DataclassOptions options) {
  py::Obj dataclasses = py::import("dataclasses");
  py::Obj field = dataclasses.attr("field");
  py::Obj field_list = py::list();
  for (const Field& f : fields) {
    switch (f.def) {
      case Field::Required:
        field_list.append(py::tuple({py::str(f.name), py::str(f.annotation)}));
        break;
      case Field::Value:
        field_list.append(py::tuple(
            {py::str(f.name), py::str(f.annotation), field.call({}, {{"default", f.value}})}));
        break;
      default: {
        PyObject* factory = f.def == Field::EmptyTuple  ? reinterpret_cast<PyObject*>(&PyTuple_Type)
                            : f.def == Field::EmptyDict ? reinterpret_cast<PyObject*>(&PyDict_Type)
                                                        : reinterpret_cast<PyObject*>(&PyList_Type);
        field_list.append(
            py::tuple({py::str(f.name), py::str(f.annotation),
                       field.call({}, {{"default_factory", py::Obj::borrow(factory)}})}));
      }
    }
  }
  py::Obj ns = py::dict();
  // Python 3.11's make_dataclass has no module= keyword; the namespace entry covers it.
  ns.set_item("__module__", py::str(b.name()));
  ns.set_item("__qualname__", py::str(name));
  if (doc != nullptr) ns.set_item("__doc__", py::str(doc));
  for (const auto& kv : namespace_items) ns.set_item(kv.first, kv.second);
#if PY_VERSION_HEX >= 0x030C0000
  return dataclasses.attr("make_dataclass")
      .call({py::str(name), field_list}, {{"namespace", ns},
                                          {"frozen", py::boolean(options.frozen)},
                                          {"eq", py::boolean(options.eq)},
                                          {"module", py::str(b.name())}});
#else
  return dataclasses.attr("make_dataclass")
      .call({py::str(name), field_list}, {{"namespace", ns},
                                          {"frozen", py::boolean(options.frozen)},
                                          {"eq", py::boolean(options.eq)}});
#endif
}

py::Obj property(const py::Obj& fget) {
  return py::Obj::borrow(reinterpret_cast<PyObject*>(&PyProperty_Type))(fget);
}

}  // namespace velmora::bridge

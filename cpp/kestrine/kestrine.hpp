// Shared declarations of the kestrine module's source files.
#pragma once

#include "../bridge/function.hpp"
#include "../bridge/module.hpp"
#include "../bridge/py.hpp"

namespace velmora::kestrine {

inline constexpr const char* kModule = "velmora_dryx.kestrine";

// Objects the module body creates once; kept for the life of the process.
struct State {
  PyObject* method_cls = nullptr;
  PyObject* none = nullptr;
  PyObject* svd = nullptr;
  PyObject* tucker = nullptr;
  PyObject* tt = nullptr;
  PyObject* tensor_cls = nullptr;
};
State& state();

void define_records(bridge::ModuleBuilder& b);
void define_svd(bridge::ModuleBuilder& b);

// CompressedTensor(method, shape, dtype, cores, factors, metadata).
py::Obj make_record(PyObject* method, const py::Obj& shape, const py::Obj& dtype,
                    const py::Obj& cores, const py::Obj& factors, const py::Obj& metadata);

// "SVD requires ndim >= 2, got 1"-style check; returns ndim.
long long tensor_ndim(const py::Obj& tensor);

}  // namespace velmora::kestrine

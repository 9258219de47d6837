// CompressionMethod and CompressedTensor.
#include "../bridge/records.hpp"

#include <climits>
#include <cstdint>
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

// Product of a shape's extents as numpy.prod gives it; natively for plain int tuples.
py::Obj shape_product(const py::Obj& shape) {
  if (shape.is_exact(&PyTuple_Type)) {
    std::int64_t prod = 1;
    bool ok = true;
    for (const py::Obj& e : shape) {
      const long long v = e.is_exact(&PyLong_Type) ? py::saturated_ll(e.get()) : LLONG_MIN;
      ok = v != LLONG_MIN && v != LLONG_MAX && !__builtin_mul_overflow(prod, v, &prod);
      if (!ok) break;
    }
    if (ok) return py::integer(prod);
  }
  if (shape.is_instance(&PyTuple_Type) || shape.is_instance(&PyList_Type)) {
    // Python arithmetic: a product beyond 64 bits is exact, never wrapped as numpy's is.
    py::Obj p = py::integer(1);
    for (const py::Obj& e : shape) p = p * (e.is_index() ? py::index(e) : e);  // numpy ints
    return py::as_int(p);
  }
  return py::as_int(bridge::np().attr("prod")(shape));
}

py::Obj item_size(const py::Obj& dtype) {
  if (dtype.is_exact(&PyUnicode_Type)) {
    const std::string name = dtype.as_string();
    if (name == "float32") return py::integer(4);
    if (name == "float64") return py::integer(8);
  }
  return bridge::np().attr("dtype")(dtype).attr("itemsize");
}

py::Obj original_size_bytes(const py::Obj& self) {
  py::Obj size = item_size(self.attr("dtype"));
  return shape_product(self.attr("shape")) * size;
}

py::Obj compressed_size_bytes(const py::Obj& self) {
  py::Obj total = py::integer(0);
  for (const char* part : {"cores", "factors"}) {
    for (const py::Obj& arr : self.attr(part)) total = total + py::as_int(arr.attr("nbytes"));
  }
  return total;
}

double compression_ratio(const py::Obj& self) {
  py::Obj stored = self.attr("compressed_size_bytes");
  if (stored == 0) return 1.0;
  return (self.attr("original_size_bytes") / stored).as_double();
}

// CompressedTensor's properties.
const bridge::Decl kProperties[] = {
    method<&original_size_bytes>("CompressedTensor.original_size_bytes",
                                 "Byte size of the dense tensor this record stands for.")
        .returns("int"),
    method<&compressed_size_bytes>(
        "CompressedTensor.compressed_size_bytes",
        "Bytes the record actually stores: the sum of its core and factor array sizes.")
        .returns("int"),
    method<&compression_ratio>("CompressedTensor.compression_ratio",
                               "Dense bytes per stored byte (1.0 when nothing is stored).")
        .returns("float"),
};

constexpr const char* kTensorDoc =
    "A tensor held in compressed form.\n\n"
    "This is real compressed storage: the record keeps only the cores and factors of a\n"
    "decomposition, never a reconstructed dense tensor. Its storage cost is the sum of the\n"
    "sizes of the core and factor arrays (metadata is not counted). A dense tensor exists\n"
    "again only through decompress() or the method-specific decompressors\n"
    "(svd_decompress, tucker_decompress, tt_decompress).";

PyObject* keep(const py::Obj& o) { return py::Obj(o).release(); }

}  // namespace

void define_records(bridge::ModuleBuilder& b) {
  py::Obj method = bridge::make_str_enum(
      b, "CompressionMethod",
      {{"NONE", "none"}, {"SVD", "svd"}, {"TUCKER", "tucker"}, {"TENSOR_TRAIN", "tt"}});
  b.set("CompressionMethod", method);
  State& s = state();
  s.method_cls = keep(method);
  s.none = keep(method.attr("NONE"));
  s.svd = keep(method.attr("SVD"));
  s.tucker = keep(method.attr("TUCKER"));
  s.tt = keep(method.attr("TENSOR_TRAIN"));

  using bridge::Field;
  py::Obj cls = bridge::make_dataclass(
      b, "CompressedTensor", kTensorDoc,
      {Field{"method", "CompressionMethod"}, Field{"shape", "tuple[int, ...]"},
       Field{"dtype", "str"}, Field{"cores", "tuple[np.ndarray, ...]"},
       Field{"factors", "tuple[np.ndarray, ...]", Field::EmptyTuple},
       Field{"metadata", "dict", Field::EmptyDict}},
      b.methods(kProperties, bridge::property), {.frozen = true});
  b.set("CompressedTensor", cls);
  s.tensor_cls = keep(cls);
}

py::Obj make_record(PyObject* method, const py::Obj& shape, const py::Obj& dtype,
                    const py::Obj& cores, const py::Obj& factors, const py::Obj& metadata) {
  return py::Obj::borrow(state().tensor_cls)(py::Obj::borrow(method), shape, dtype, cores, factors,
                                             metadata);
}

}  // namespace velmora::kestrine

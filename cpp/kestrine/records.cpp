// CompressionMethod and CompressedTensor.
#include "../bridge/records.hpp"

#include <cstdint>
#include <limits>

#include "../bridge/arrays.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

using bridge::Conv;
using bridge::FunctionDef;
using bridge::Param;

namespace {

// Product of a shape's extents as numpy.prod gives it; natively for plain int tuples.
py::Obj shape_product(const py::Obj& shape) {
  if (PyTuple_CheckExact(shape.get())) {
    const Py_ssize_t n = PyTuple_GET_SIZE(shape.get());
    std::int64_t prod = 1;
    bool ok = true;
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
      PyObject* e = PyTuple_GET_ITEM(shape.get(), i);
      if (!PyLong_CheckExact(e)) {
        ok = false;
        break;
      }
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(e, &overflow);
      if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        ok = false;
        break;
      }
      std::int64_t r = 0;
      if (__builtin_mul_overflow(prod, static_cast<std::int64_t>(v), &r)) ok = false;
      prod = r;
    }
    if (ok) return py::integer(prod);
  }
  if (PyTuple_Check(shape.get()) || PyList_Check(shape.get())) {
    // Python arithmetic: a product beyond 64 bits is exact, never wrapped as numpy's is.
    py::Obj p = py::integer(1);
    const Py_ssize_t n = shape.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
      py::Obj e = shape.item(i);
      if (PyIndex_Check(e.get())) e = py::Obj::steal(PyNumber_Index(e.get()));  // numpy ints
      p = py::Obj::steal(PyNumber_Multiply(p.get(), e.get()));
    }
    return py::Obj::steal(PyNumber_Long(p.get()));
  }
  py::Obj p = bridge::np().attr("prod")(shape);
  return py::Obj::steal(PyNumber_Long(p.get()));
}

py::Obj item_size(const py::Obj& dtype) {
  if (PyUnicode_CheckExact(dtype.get())) {
    if (PyUnicode_CompareWithASCIIString(dtype.get(), "float32") == 0) return py::integer(4);
    if (PyUnicode_CompareWithASCIIString(dtype.get(), "float64") == 0) return py::integer(8);
  }
  return bridge::np().attr("dtype")(dtype).attr("itemsize");
}

py::Obj original_size_bytes(const bridge::Args& a) {
  py::Obj self = a.obj(0);
  py::Obj size = item_size(self.attr("dtype"));
  py::Obj count = shape_product(self.attr("shape"));
  return py::Obj::steal(PyNumber_Multiply(count.get(), size.get()));
}

py::Obj stored_bytes(const py::Obj& self) {
  py::Obj total = py::integer(0);
  for (const char* part : {"cores", "factors"}) {
    py::Obj it = py::Obj::steal(PyObject_GetIter(self.attr(part).get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      py::Obj arr = py::Obj::steal(raw);
      py::Obj nb = py::Obj::steal(PyNumber_Long(arr.attr("nbytes").get()));
      total = py::Obj::steal(PyNumber_Add(total.get(), nb.get()));
    }
    if (PyErr_Occurred()) throw py::PythonError{};
  }
  return total;
}

py::Obj compressed_size_bytes(const bridge::Args& a) { return stored_bytes(a.obj(0)); }

py::Obj compression_ratio(const bridge::Args& a) {
  py::Obj self = a.obj(0);
  py::Obj stored = self.attr("compressed_size_bytes");
  int zero = PyObject_RichCompareBool(stored.get(), py::integer(0).get(), Py_EQ);
  if (zero < 0) throw py::PythonError{};
  if (zero == 1) return py::floating(1.0);
  py::Obj original = self.attr("original_size_bytes");
  py::Obj q = py::Obj::steal(PyNumber_TrueDivide(original.get(), stored.get()));
  return py::floating(q.as_double());
}

const FunctionDef kOriginalSize{"original_size_bytes",
                                "CompressedTensor.original_size_bytes",
                                "Byte size of the dense tensor this record stands for.",
                                {Param{"self", nullptr}},
                                "int",
                                original_size_bytes};
const FunctionDef kCompressedSize{
    "compressed_size_bytes",
    "CompressedTensor.compressed_size_bytes",
    "Bytes the record actually stores: the sum of its core and factor array sizes.",
    {Param{"self", nullptr}},
    "int",
    compressed_size_bytes};
const FunctionDef kRatio{"compression_ratio",
                         "CompressedTensor.compression_ratio",
                         "Dense bytes per stored byte (1.0 when nothing is stored).",
                         {Param{"self", nullptr}},
                         "float",
                         compression_ratio};

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
      {{"original_size_bytes",
        bridge::property(bridge::make_function(&kOriginalSize, kModule, b.globals()))},
       {"compressed_size_bytes",
        bridge::property(bridge::make_function(&kCompressedSize, kModule, b.globals()))},
       {"compression_ratio",
        bridge::property(bridge::make_function(&kRatio, kModule, b.globals()))}},
      {.frozen = true});
  b.set("CompressedTensor", cls);
  s.tensor_cls = keep(cls);
}

py::Obj make_record(PyObject* method, const py::Obj& shape, const py::Obj& dtype,
                    const py::Obj& cores, const py::Obj& factors, const py::Obj& metadata) {
  return py::Obj::borrow(state().tensor_cls)(py::Obj::borrow(method), shape, dtype, cores, factors,
                                             metadata);
}

}  // namespace velmora::kestrine

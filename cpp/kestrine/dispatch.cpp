// compress, decompress, suggest_method.
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

using bridge::Args;
using bridge::Conv;
using bridge::FunctionDef;
using bridge::Param;

namespace {

// The module's own operations that the dispatcher hands records to, bound when the module
// body runs (they are defined before the dispatcher) and kept for the process.
struct Targets {
  PyObject* svd_compress = nullptr;
  PyObject* tucker_decompress = nullptr;
  PyObject* tt_decompress = nullptr;
  PyObject* svd_decompress = nullptr;
};

Targets& targets() {
  static Targets t;
  return t;
}

[[noreturn]] void unknown_method(const py::Obj& method) {
  bridge::raise_value_error("Unknown compression method: " + py::text(method));
}

py::Obj compress(const Args& a) {
  py::Obj tensor = a.obj(0);
  py::Obj method = a.obj(1);
  const State& s = state();
  if (PyUnicode_Check(method.get())) method = py::Obj::borrow(s.method_cls)(method);
  if (method.is(s.tucker)) return tucker_compress_impl(tensor, a.f(2), py::integer(1).get());
  if (method.is(s.tt)) return tt_compress_impl(tensor, a[3]);
  if (method.is(s.svd)) {
    return py::Obj::borrow(targets().svd_compress)
        .call({tensor}, {{"rank_ratio", py::floating(a.f(2))}});
  }
  if (method.is(s.none)) {
    py::Obj shape = py::Obj::steal(PySequence_Tuple(tensor.attr("shape").get()));
    py::Obj dtype = py::str(py::text(tensor.attr("dtype")));
    py::Obj copy = bridge::np().attr("array").call(
        {tensor}, {{"copy", py::boolean(true)}, {"order", py::str("C")}});
    return make_record(s.none, shape, dtype, py::tuple({copy}), py::tuple({}), py::dict());
  }
  unknown_method(method);
}

py::Obj decompress(const Args& a) {
  py::Obj rec = a.obj(0);
  py::Obj method = rec.attr("method");
  const State& s = state();
  const Targets& t = targets();
  if (method.is(s.tucker)) return py::Obj::borrow(t.tucker_decompress)(rec);
  if (method.is(s.tt)) return py::Obj::borrow(t.tt_decompress)(rec);
  if (method.is(s.svd)) return py::Obj::borrow(t.svd_decompress)(rec);
  if (method.is(s.none)) return rec.attr("cores").item(0).attr("copy")();
  unknown_method(method);
}

py::Obj suggest_method(const Args& a) {
  py::Obj shape = a.obj(0);
  const State& s = state();
  const Py_ssize_t d = shape.size();
  if (d == 2) return py::Obj::borrow(s.svd);
  if (d == 3) return py::Obj::borrow(s.tucker);
  py::Obj dims =
      py::import("builtins").attr("sorted").call({shape}, {{"reverse", py::boolean(true)}});
  py::Obj largest = dims.item(0);  // IndexError for an empty shape
  py::Obj smallest = dims.item(dims.size() - 1);
  py::Obj bound = py::Obj::steal(PyNumber_Multiply(py::integer(4).get(), smallest.get()));
  const int spread = PyObject_RichCompareBool(largest.get(), bound.get(), Py_GT);
  if (spread < 0) throw py::PythonError{};
  return py::Obj::borrow(spread == 1 ? s.tucker : s.tt);
}

const FunctionDef kCompress{
    "compress",
    "compress",
    "Compress a tensor with the given method.",
    {Param{"tensor", "np.ndarray"}, Param{"method", "CompressionMethod | str"},
     Param{"rank_ratio", "float", Conv::Float, bridge::Kind::KeywordOnly,
           bridge::float_default(0.5)},
     Param{"max_rank", "int", Conv::Int, bridge::Kind::KeywordOnly, bridge::int_default(8)}},
    "CompressedTensor",
    compress};

const FunctionDef kDecompress{"decompress",
                              "decompress",
                              "Reconstruct a dense tensor from a CompressedTensor.",
                              {Param{"compressed", "CompressedTensor"}},
                              "np.ndarray",
                              decompress};

const FunctionDef kSuggest{
    "suggest_method",
    "suggest_method",
    "Recommend a compression method based on tensor shape.\n\n"
    "Matrices go to SVD (simplest, well-conditioned); tensors with a dominant extent go to\n"
    "Tucker (HOSVD); high-order tensors with balanced extents go to the tensor train.",
    {Param{"tensor_shape", "tuple[int, ...]", Conv::Tuple}},
    "CompressionMethod",
    suggest_method};

PyObject* keep(bridge::ModuleBuilder& b, const char* name) { return b.get(name).release(); }

}  // namespace

void define_dispatch(bridge::ModuleBuilder& b) {
  Targets& t = targets();
  t.svd_compress = keep(b, "svd_compress");
  t.tucker_decompress = keep(b, "tucker_decompress");
  t.tt_decompress = keep(b, "tt_decompress");
  t.svd_decompress = keep(b, "svd_decompress");
  b.function(&kCompress);
  b.function(&kDecompress);
}

void define_suggest(bridge::ModuleBuilder& b) { b.function(&kSuggest); }

}  // namespace velmora::kestrine

// compress, decompress, suggest_method.
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

[[noreturn]] void unknown_method(const py::Obj& method) {
  throw py::ValueError("Unknown compression method: " + py::text(method));
}

py::Obj compress(const py::Obj& tensor, py::Obj method, double rank_ratio,
                 const py::Obj& max_rank) {
  const State& s = state();
  if (method.is_instance(&PyUnicode_Type)) method = py::Obj::borrow(s.method_cls)(method);
  if (method.is(s.tucker)) return tucker_compress(tensor, rank_ratio, py::integer(1));
  if (method.is(s.tt)) return tt_compress(tensor, max_rank);
  if (method.is(s.svd)) return svd_compress(tensor, rank_ratio, 1);
  if (method.is(s.none)) {
    py::Obj shape = py::type(PyTuple_Type)(tensor.attr("shape"));
    py::Obj dtype = py::str(py::text(tensor.attr("dtype")));
    py::Obj copy = bridge::np().attr("array")(tensor, "copy"_a = true, "order"_a = "C");
    return make_record(s.none, shape, dtype, py::tuple({copy}), py::tuple({}), py::dict());
  }
  unknown_method(method);
}

py::Obj decompress(const py::Obj& rec) {
  py::Obj method = rec.attr("method");
  const State& s = state();
  if (method.is(s.tucker)) return tucker_decompress(rec);
  if (method.is(s.tt)) return tt_decompress(rec);
  if (method.is(s.svd)) return svd_decompress(rec);
  if (method.is(s.none)) return rec.attr("cores").item(0).attr("copy")();
  unknown_method(method);
}

py::Obj suggest_method(const py::Obj& shape) {
  const State& s = state();
  const Py_ssize_t d = shape.size();
  if (d == 2) return py::Obj::borrow(s.svd);
  if (d == 3) return py::Obj::borrow(s.tucker);
  py::Obj dims = py::builtin("sorted")(shape, "reverse"_a = true);
  py::Obj largest = dims.item(0);  // IndexError for an empty shape
  py::Obj smallest = dims.item(dims.size() - 1);
  return py::Obj::borrow(largest > 4 * smallest ? s.tucker : s.tt);
}

const bridge::Decl kDispatch[] = {
    compressor<&compress>("compress", "Compress a tensor with the given method.",
                          arg<Array>("tensor"), arg<Any>("method", "CompressionMethod | str"),
                          kw_only, kRankOptions),
    decompressor<&decompress>("decompress", "Reconstruct a dense tensor from a CompressedTensor."),
};

const bridge::Decl kSuggest[] = {
    def<&suggest_method>(
        "suggest_method",
        "Recommend a compression method based on tensor shape.\n\n"
        "Matrices go to SVD (simplest, well-conditioned); tensors with a dominant extent go to\n"
        "Tucker (HOSVD); high-order tensors with balanced extents go to the tensor train.",
        arg<Tuple>("tensor_shape", "tuple[int, ...]"))
        .returns("CompressionMethod"),
};

}  // namespace

void define_dispatch(bridge::ModuleBuilder& b) { b.functions(kDispatch); }

void define_suggest(bridge::ModuleBuilder& b) { b.functions(kSuggest); }

}  // namespace velmora::kestrine

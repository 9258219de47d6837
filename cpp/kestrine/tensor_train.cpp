// tt_compress, tt_decompress.
#include "../core/tensor_train.hpp"

#include <algorithm>
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/blas.hpp"
#include "../bridge/errors.hpp"
#include "../core/error.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

// The sweep over a contiguous source buffer; cores come back as new arrays of type T.
template <class S, class T>
std::vector<py::Obj> sweep(const S* x, const std::vector<std::int64_t>& shape,
                           const std::vector<std::int64_t>& ranks) {
  const std::size_t d = shape.size();
  std::vector<py::Obj> cores;
  std::vector<bridge::Buffer> bufs(d);
  std::vector<T*> out;
  for (std::size_t k = 0; k < d; ++k) {
    const std::int64_t left = k == 0 ? 1 : ranks[k - 1];
    const std::int64_t right = k + 1 == d ? 1 : ranks[k];
    cores.push_back(bridge::empty({left, shape[k], right}, bridge::dtype_name<T>()));
    if (!bufs[k].acquire(cores.back().get(), bridge::format_of<T>(), true)) {
      throw py::RuntimeError("numpy.empty did not return a writable contiguous array");
    }
    out.push_back(bufs[k].data<T>());
  }
  bridge::ensure_lapack();
  bridge::NoGil nogil;
  core::tt_sweep<S, T>(x, shape, ranks, out);
  return cores;
}

}  // namespace

py::Obj tt_compress(const py::Obj& tensor, const py::Obj& max_rank) {
  const std::vector<std::int64_t> dims =
      bridge::declared_shape(tensor, require_ndim2(tensor, "TT"));
  const long long cap = std::max(1LL, saturated_ll(max_rank.get()));
  py::Obj shape = bridge::shape_tuple(dims);
  py::Obj dtype = tensor.attr("dtype");

  // A contiguous float32/float64 ndarray is swept as it lies; every other type or layout
  // goes through numpy's own conversion to float64, and the cores are converted back to
  // the input's element type by numpy (integer and bool inputs keep float64 cores).
  NativeArray x;
  const bool own = x.acquire(tensor.get());
  bridge::hold_dense(x, own ? tensor : astype_nocopy(tensor, py::str("float64")), dims,
                     own ? "fd" : "d");
  const std::vector<std::int64_t> ranks = core::tt_ranks(dims, cap);
  std::vector<py::Obj> cores = x.is_float() ? sweep<float, float>(x.data<float>(), dims, ranks)
                                            : sweep<double, double>(x.data<double>(), dims, ranks);
  if (!own && !integral_dtype(dtype)) {
    // Cores that leave a narrow type's range (float16 near its limits) fail as in the sweep.
    for (py::Obj& c : cores) {
      c = astype_nocopy(c, dtype);
      if (!bridge::np().attr("isfinite")(c).attr("all")().truthy()) {
        core::raise_linalg("SVD did not converge");
      }
    }
  }
  std::vector<long long> r(ranks.begin(), ranks.end());
  py::Obj metadata = py::dict();
  // The cap as given when it is above 1 (an int of any size), else 1.
  metadata.set_item("max_rank", cap > 1 ? py::as_int(max_rank) : py::integer(1));
  metadata.set_item("ranks", py::tuple_of_ints(r.data(), r.size()));
  return make_record(state().tt, shape, py::str(py::text(dtype)), py::tuple(cores), py::tuple({}),
                     metadata);
}

namespace {

py::Obj product_of(const py::Obj& seq) {
  py::Obj p = py::integer(1);
  for (const py::Obj& e : seq) p = p * e;
  return p;
}

// The left-to-right contraction of the cores through numpy.
py::Obj contract_numpy(const py::Obj& cores) {
  py::Obj result = cores.item(0);
  const Py_ssize_t d = cores.size();
  for (Py_ssize_t k = 1; k < d; ++k) {
    py::Obj core = cores.item(k);
    py::Obj rshape = result.attr("shape");
    py::Obj rlead = rshape.slice(0, rshape.size() - 1);
    py::Obj left =
        result.attr("reshape")(py::tuple({product_of(rlead), rshape.item(rshape.size() - 1)}));
    py::Obj cshape = core.attr("shape");
    py::Obj ctail = cshape.slice(1, cshape.size());
    py::Obj right = core.attr("reshape")(py::tuple({cshape.item(0), product_of(ctail)}));
    result = py::matmul(left, right).attr("reshape")(rlead + ctail);
  }
  return result;
}

}  // namespace

py::Obj tt_decompress(const py::Obj& rec) {
  py::Obj method = rec.attr("method");
  if (!method.is(state().tt)) {
    throw py::ValueError("Expected TENSOR_TRAIN, got " + py::text(method));
  }
  // numpy's products: a chain of matrix products with nothing native code could save,
  // and numpy's BLAS kernels are at least as fast as SciPy's.
  py::Obj cores = py::type(PyTuple_Type)(rec.attr("cores"));
  py::Obj result = contract_numpy(cores);
  py::Obj shaped = result.attr("reshape")(rec.attr("shape"));
  return in_record_dtype(shaped, rec.attr("dtype"));
}

namespace {

const bridge::Decl kOperations[] = {
    compressor<&tt_compress>(
        "tt_compress",
        "Tensor-train decomposition (TT-SVD) with the bond ranks capped at max_rank.\n\n"
        "A left-to-right sweep of truncated SVDs in float64 turns a tensor of d >= 2\n"
        "dimensions into d three-way cores of shapes (r_{k-1}, n_k, r_k), stored in the\n"
        "tensor's own element type. Suited to high-order tensors, large linear weights and\n"
        "embedding outputs.",
        arg<Array>("tensor"), arg<Int>("max_rank") = core::kDefaultMaxRank),
    decompressor<&tt_decompress>("tt_decompress",
                                 "Contract tensor-train cores back into a dense tensor."),
};

}  // namespace

void define_tensor_train(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::kestrine

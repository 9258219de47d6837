// tucker_compress, tucker_decompress.
#include "../core/tucker.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/blas.hpp"
#include "../bridge/errors.hpp"
#include "../core/algebra.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

struct Parts {
  std::vector<py::Obj> factors;
  py::Obj core;
};

template <class T>
Parts compress_native(const T* x, const std::vector<std::int64_t>& shape,
                      const std::vector<std::int64_t>& ranks) {
  const std::size_t d = shape.size();
  const char fmt = bridge::format_of<T>();
  const char* dt = bridge::dtype_name<T>();
  Parts p;
  std::vector<bridge::Buffer> bufs(d + 1);
  std::vector<T*> factors;
  for (std::size_t k = 0; k < d; ++k) {
    p.factors.push_back(bridge::empty({shape[k], ranks[k]}, dt));
    if (!bufs[k].acquire(p.factors.back().get(), fmt, true)) {
      throw py::RuntimeError("numpy.empty did not return a writable contiguous array");
    }
    factors.push_back(bufs[k].data<T>());
  }
  p.core = bridge::empty(ranks, dt);
  if (!bufs[d].acquire(p.core.get(), fmt, true)) {
    throw py::RuntimeError("numpy.empty did not return a writable contiguous array");
  }
  bridge::ensure_lapack();
  bridge::NoGil nogil;
  core::tucker_compress(x, shape, ranks, factors, bufs[d].data<T>());
  return p;
}

// The same steps through numpy, for element types and layouts the native path does not
// take (numpy's SVD in the input's own type, numpy's casts and products).
Parts compress_numpy(const py::Obj& tensor, const std::vector<long long>& targets) {
  Parts p;
  // numpy's SVD factors integer and bool tensors in float64: their factors stay so.
  py::Obj dtype = tensor.attr("dtype");
  if (integral_dtype(dtype)) dtype = py::str("float64");
  py::Obj svd = bridge::np().attr("linalg").attr("svd");
  py::Obj all = py::slice(py::none(), py::none());
  for (std::size_t k = 0; k < targets.size(); ++k) {
    py::Obj mode = py::integer(static_cast<long long>(k));
    py::Obj u = svd(unfold_numpy(tensor, mode), "full_matrices"_a = false).item(0);
    const long long m = u.attr("shape").item(1).as_ll();
    py::Obj keep = py::slice(py::none(), std::min(targets[k], m));
    p.factors.push_back(astype_nocopy(u.item(py::tuple({all, keep})), dtype));
  }
  p.core = tensor.attr("copy")();
  for (std::size_t k = 0; k < targets.size(); ++k) {
    p.core = mode_dot_any(p.core, p.factors[k].attr("T"), py::integer(static_cast<long long>(k)));
  }
  return p;
}

}  // namespace

py::Obj tucker_compress(const py::Obj& tensor, double ratio, const py::Obj& min_rank_obj) {
  const std::vector<std::int64_t> dims =
      bridge::declared_shape(tensor, require_ndim2(tensor, "Tucker"));
  ratio = not_nan(ratio, "rank_ratio");
  ratio = ratio < 1.0 ? std::max(ratio, 0.01) : 1.0;
  const long long min_rank = saturated_ll(min_rank_obj.get());
  py::Obj shape = bridge::shape_tuple(dims);
  std::vector<long long> targets;
  const std::int64_t size = bridge::element_count(dims);
  for (const std::int64_t n : dims) {
    const long long by_ratio = static_cast<long long>(std::ceil(static_cast<double>(n) * ratio));
    targets.push_back(std::max(min_rank, by_ratio));
  }
  const std::string dt = py::text(tensor.attr("dtype"));
  Parts parts;
  const bool native_type = is_ndarray(tensor.get()) && (dt == "float32" || dt == "float64");
  if (native_type && size > 0) {
    NativeArray x;
    bridge::hold_dense(x, tensor, dims, dt == "float32" ? "f" : "d");
    std::vector<std::int64_t> ranks;
    for (std::size_t k = 0; k < dims.size(); ++k) {
      const std::int64_t m = std::min(dims[k], size / dims[k]);
      ranks.push_back(std::min<std::int64_t>(targets[k], m));
    }
    parts = x.is_float() ? compress_native(x.data<float>(), dims, ranks)
                         : compress_native(x.data<double>(), dims, ranks);
  } else {
    parts = compress_numpy(tensor, targets);
  }
  std::vector<long long> ranks;
  for (const py::Obj& f : parts.factors) ranks.push_back(f.attr("shape").item(1).as_ll());
  py::Obj metadata = py::dict();
  metadata.set_item("rank_ratio", ratio);
  metadata.set_item("ranks", py::tuple_of_ints(ranks.data(), ranks.size()));
  return make_record(state().tucker, shape, py::str(dt), py::tuple({parts.core}),
                     py::tuple(parts.factors), metadata);
}

namespace {

// All mode products natively (one BLAS throughout) when the core and every factor are
// contiguous arrays of one float type that fit together; an empty handle otherwise.
template <class T>
py::Obj expand_native(const NativeArray& core, const std::vector<NativeArray>& factors) {
  const std::size_t d = factors.size();
  std::vector<std::int64_t> ranks = core.shape(), shape;
  std::vector<const T*> ptrs;
  for (std::size_t k = 0; k < d; ++k) {
    const NativeArray& f = factors[k];
    if (f.ndim() != 2 || f.format() != core.format() || f.shape(1) != ranks[k]) return {};
    shape.push_back(f.shape(0));
    ptrs.push_back(f.data<T>());
  }
  // An empty result needs no products (a hand-built record may name any sizes beside it).
  if (std::find(shape.begin(), shape.end(), 0) != shape.end()) {
    return bridge::empty(shape, bridge::dtype_name<T>());
  }
  // Every intermediate is no larger than the largest of core and result (counted as the
  // maximum extent per mode), which must fit 64 bits: a hand-built record may name more
  // elements than that, which numpy then refuses.
  std::int64_t bound = 1;
  for (std::size_t k = 0; k < d; ++k) {
    if (__builtin_mul_overflow(bound, std::max(shape[k], ranks[k]), &bound)) return {};
  }
  // Each product must be one efficient BLAS call on the data as it lies (the first mode;
  // the last with many rows; a middle one with long rows) and fit 32-bit indexing.
  // Otherwise numpy's unfoldings and strided views do better.
  std::vector<std::int64_t> cur = ranks;
  for (std::size_t k = 0; k < d; ++k) {
    std::int64_t p = 1, q = 1;
    for (std::size_t i = 0; i < k; ++i) p *= cur[i];
    for (std::size_t i = k + 1; i < d; ++i) q *= cur[i];
    const bool direct = p == 1 || (q == 1 && shape[k] >= 16) || q >= 64;
    if (!direct || !core::fits_blas(p * q, shape[k]) || !core::fits_blas(p * q, ranks[k]) ||
        !core::fits_blas(shape[k], ranks[k])) {
      return {};
    }
    cur[k] = shape[k];
  }
  py::Obj out = bridge::empty(shape, bridge::dtype_name<T>());
  bridge::Buffer ob;
  if (!ob.acquire(out.get(), bridge::format_of<T>(), true)) return {};
  bridge::ensure_lapack();
  bridge::NoGil nogil;
  core::tucker_expand(core.data<T>(), ranks, shape, ptrs, ob.data<T>());
  return out;
}

}  // namespace

py::Obj tucker_decompress(const py::Obj& rec) {
  py::Obj method = rec.attr("method");
  if (!method.is(state().tucker)) throw py::ValueError("Expected TUCKER, got " + py::text(method));
  py::Obj array = rec.attr("cores").item(0);
  py::Obj factors = py::type(PyTuple_Type)(rec.attr("factors"));
  const Py_ssize_t d = factors.size();
  {
    NativeArray core;
    std::vector<NativeArray> views(static_cast<std::size_t>(d));
    bool ok = d > 0 && core.acquire(array.get()) && core.ndim() == d && core.size() > 0;
    for (Py_ssize_t k = 0; k < d && ok; ++k) {
      ok = views[static_cast<std::size_t>(k)].acquire(factors.item(k).get());
    }
    if (ok) {
      py::Obj r =
          core.is_float() ? expand_native<float>(core, views) : expand_native<double>(core, views);
      if (r) return in_record_dtype(r, rec.attr("dtype"));
    }
  }
  // numpy throughout: alternating with the native BLAS costs more than it saves.
  for (Py_ssize_t k = 0; k < d; ++k) array = mode_dot_numpy(array, factors.item(k), py::integer(k));
  return in_record_dtype(array, rec.attr("dtype"));
}

namespace {

const bridge::Decl kOperations[] = {
    compressor<&tucker_compress>(
        "tucker_compress",
        "Tucker decomposition by truncated higher-order SVD (HOSVD).\n\n"
        "One factor of leading left singular vectors per mode, each with about rank_ratio of\n"
        "that mode's size as columns (at least min_rank), and the core obtained by projecting\n"
        "the tensor onto them. Suited to four-dimensional convolution-style weights and model\n"
        "checkpoints.",
        arg<Array>("tensor"), kRatioOptions),
    decompressor<&tucker_decompress>(
        "tucker_decompress", "Rebuild the dense tensor from a Tucker core and its factors."),
};

}  // namespace

void define_tucker(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::kestrine

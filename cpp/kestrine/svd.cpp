// svd_compress, svd_compress_energy, svd_decompress.
#include "../core/svd.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/blas.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

struct Flat {
  py::Obj shape;  // the tensor's full shape, a tuple
  py::Obj mat;    // the tensor reshaped row-major to (m, n)
  std::int64_t m = 0, n = 0;
};

Flat flatten(const py::Obj& tensor, long long ndim) {
  Flat f;
  const std::vector<std::int64_t> dims = bridge::declared_shape(tensor, ndim);
  f.shape = bridge::shape_tuple(dims);
  f.m = dims[0];
  f.n = bridge::element_count(std::vector<std::int64_t>(dims.begin() + 1, dims.end()));
  f.mat = tensor.attr("reshape")(py::tuple({py::integer(f.m), py::integer(f.n)}));
  return f;
}

struct Factors {
  py::Obj s, u, vt;
};

// Fills the workspace from a row-major matrix of element type S.
template <class T, class S>
void fill(T* dst, const S* src, std::int64_t count) {
  if (count == 0) return;  // an empty workspace may have no storage at all
  if constexpr (std::is_same_v<T, S>) {
    std::memcpy(dst, src, sizeof(T) * static_cast<std::size_t>(count));
  } else {
    for (std::int64_t i = 0; i < count; ++i) dst[i] = static_cast<T>(src[i]);
  }
}

// Holds `mat` (m x n) for a T workspace: a contiguous float32/float64 array as it is,
// otherwise numpy's own conversion to contiguous T; data of any shape but (m, n) is refused
// before a workspace is sized from the declared shape.
template <class T>
void hold_matrix(NativeArray& a, const Flat& f) {
  bridge::hold_dense(a, f.mat, {f.m, f.n}, std::is_same_v<T, float> ? "fd" : "d");
}

template <class T>
void load(core::TruncatedSvd<T>& svd, const NativeArray& a) {
  bridge::NoGil nogil;
  if (a.is_float()) {
    fill(svd.input(), a.data<float>(), a.size());
  } else {
    fill(svd.input(), a.data<double>(), a.size());
  }
}

// The top-k triplets of a factored matrix, as new numpy arrays of type T.
template <class T>
Factors top_vectors(core::TruncatedSvd<T>& svd, std::int64_t k) {
  Factors f;
  const char* dt = bridge::dtype_name<T>();
  f.s = bridge::empty({k}, dt);
  f.u = bridge::empty({svd.rows(), k}, dt);
  f.vt = bridge::empty({k, svd.cols()}, dt);
  bridge::Buffer s, u, vt;
  if (!s.acquire(f.s.get(), bridge::format_of<T>(), true) ||
      !u.acquire(f.u.get(), bridge::format_of<T>(), true) ||
      !vt.acquire(f.vt.get(), bridge::format_of<T>(), true)) {
    throw py::RuntimeError("numpy.empty did not return a writable contiguous array");
  }
  bridge::NoGil nogil;
  svd.vectors(k, s.data<T>(), u.data<T>(), vt.data<T>());
  return f;
}

bool is_float_type(const std::string& dtype, const char* name) { return dtype == name; }

[[noreturn]] void negative_rank(const char* param, long long value) {
  throw py::ValueError(std::string(param) + " must be >= 0, got " + std::to_string(value));
}

// Fixed-ratio SVD in the tensor's own precision.
template <class T>
Factors fixed_rank_native(const Flat& f, std::int64_t rank) {
  NativeArray a;
  hold_matrix<T>(a, f);
  bridge::ensure_lapack();
  // Shared, so that a long factorization runs on a worker thread and Ctrl-C is answered.
  auto svd = std::make_shared<core::TruncatedSvd<T>>(f.m, f.n);
  load(*svd, a);
  {
    bridge::NoGil nogil;
    svd->reduce();
  }
  return top_vectors(*svd, std::min(rank, svd->full_rank()));
}

Factors slice_numpy(const py::Obj& mat, std::int64_t keep) {
  py::Obj res = bridge::np().attr("linalg").attr("svd")(mat, "full_matrices"_a = false);
  Factors f;
  py::Obj u = res.item(0), s = res.item(1), vt = res.item(2);
  py::Obj kslice = py::slice(py::none(), keep);
  f.u = u.item(py::tuple({py::slice(py::none(), py::none()), kslice}));
  f.s = s.item(kslice);
  f.vt = vt.item(kslice);
  return f;
}

py::Obj svd_compress(const py::Obj& tensor, double rank_ratio, long long min_rank) {
  double ratio = not_nan(rank_ratio, "rank_ratio");
  Flat f = flatten(tensor, require_ndim2(tensor, "SVD"));
  ratio = ratio < 1.0 ? std::max(ratio, 0.01) : 1.0;
  const std::int64_t r = std::min(f.m, f.n);
  const long long by_ratio = static_cast<long long>(std::ceil(static_cast<double>(r) * ratio));
  const long long rank = std::max(min_rank, by_ratio);
  if (rank < 0) negative_rank("min_rank", min_rank);
  py::Obj dtype = tensor.attr("dtype");
  const std::string dt = py::text(dtype);
  Factors k;
  if (is_float_type(dt, "float32")) {
    k = fixed_rank_native<float>(f, rank);
  } else if (is_float_type(dt, "float64")) {
    k = fixed_rank_native<double>(f, rank);
  } else {
    k = slice_numpy(f.mat, rank);
  }
  py::Obj kept = k.s.attr("shape").item(0);  // the rank actually kept
  const py::Obj out = integral_dtype(dtype) ? py::str("float64") : dtype;
  py::Obj metadata = py::dict();
  metadata.set_item("rank_ratio", ratio);
  metadata.set_item("rank", kept);
  return make_record(state().svd, f.shape, py::str(dt), py::tuple({astype_nocopy(k.s, out)}),
                     py::tuple({astype_nocopy(k.u, out), astype_nocopy(k.vt, out)}), metadata);
}

py::Obj svd_compress_energy(const py::Obj& tensor, double energy_share, long long min_rank,
                            std::optional<long long> cap) {
  double energy = not_nan(energy_share, "energy");
  const bool capped = cap.has_value();
  const long long max_rank = cap.value_or(0);
  Flat f = flatten(tensor, require_ndim2(tensor, "SVD"));
  energy = energy < 1.0 ? std::max(energy, 0.0) : 1.0;
  // The factorization always runs in single precision, whatever the tensor's type.
  NativeArray held;
  hold_matrix<float>(held, f);
  bridge::ensure_lapack();
  auto svd = std::make_shared<core::TruncatedSvd<float>>(f.m, f.n);
  load(*svd, held);
  std::int64_t count = 0;
  {
    bridge::NoGil nogil;
    svd->reduce();
    count = svd->energy_rank(energy, capped ? max_rank : 0);
  }
  const std::int64_t r = svd->full_rank();
  // An all-zero spectrum (count -1) keeps min_rank; the cap comes last and wins.
  std::int64_t k = std::max<std::int64_t>(min_rank, count);
  const bool cap_binds = capped && max_rank < k;
  if (cap_binds) k = max_rank;
  if (k < 0) {
    negative_rank(cap_binds ? "max_rank" : "min_rank", cap_binds ? max_rank : min_rank);
  }
  k = std::min(k, r);
  Factors kept = top_vectors(*svd, k);
  py::Obj dtype = tensor.attr("dtype");
  const py::Obj out = integral_dtype(dtype) ? py::str("float64") : dtype;
  py::Obj metadata = py::dict();
  metadata.set_item("energy", energy);
  metadata.set_item("rank", k);
  metadata.set_item("full_rank", r);
  return make_record(
      state().svd, f.shape, py::str(py::text(dtype)), py::tuple({astype_nocopy(kept.s, out)}),
      py::tuple({astype_nocopy(kept.u, out), astype_nocopy(kept.vt, out)}), metadata);
}

// (U * s) @ Vt natively when all three are contiguous arrays of one float type.
template <class T>
py::Obj reconstruct_native(const py::Obj& u, const py::Obj& s, const py::Obj& vt, bool* done) {
  *done = false;
  bridge::Buffer bu, bs, bv;
  const char fmt = bridge::format_of<T>();
  if (!bu.acquire(u.get(), fmt) || !bs.acquire(s.get(), fmt) || !bv.acquire(vt.get(), fmt))
    return {};
  if (bu.ndim() != 2 || bs.ndim() != 1 || bv.ndim() != 2) return {};
  const std::int64_t m = bu.shape(0), k = bu.shape(1), n = bv.shape(1);
  if (bs.shape(0) != k || bv.shape(0) != k) return {};  // numpy reports the mismatch
  py::Obj out = bridge::empty({m, n}, bridge::dtype_name<T>());
  bridge::Buffer bo;
  if (!bo.acquire(out.get(), fmt, true)) return {};
  if (m > 0 && n > 0 && k > 0) bridge::ensure_lapack();
  {
    bridge::NoGil nogil;
    core::svd_reconstruct(bu.data<T>(), bs.data<T>(), bv.data<T>(), m, k, n, bo.data<T>());
  }
  *done = true;
  return out;
}

py::Obj svd_decompress(const py::Obj& rec) {
  py::Obj method = rec.attr("method");
  if (!method.is(state().svd)) throw py::ValueError("Expected SVD, got " + py::text(method));
  auto [u, vt] = rec.attr("factors").unpack<2>();
  py::Obj s = rec.attr("cores").item(0);
  py::Obj mat;
  bool done = false;
  mat = reconstruct_native<float>(u, s, vt, &done);
  if (!done) mat = reconstruct_native<double>(u, s, vt, &done);
  if (!done) mat = py::matmul(u * s, vt);
  py::Obj shaped = mat.attr("reshape")(rec.attr("shape"));
  return in_record_dtype(shaped, rec.attr("dtype"));
}

const auto kSvdCompress = compressor<&svd_compress>(
    "svd_compress", "Truncated SVD for 2D matrices. Higher-dim inputs are flattened mode-0.",
    arg<Array>("tensor"), kRatioOptions);

const auto kSvdCompressEnergy = compressor<&svd_compress_energy>(
    "svd_compress_energy",
    "Truncated SVD keeping the smallest rank that reaches an energy share.\n\n"
    "Keeps the fewest leading singular triplets whose squared singular values carry at\n"
    "least `energy` of the total squared spectral mass. A real fine-tune delta is not\n"
    "exactly low-rank, so a fixed rank either over- or under-spends; selecting the rank by\n"
    "energy spends just enough rank per tensor to reach a quality target, and different\n"
    "tensors get different ranks. The factorization runs in float32; the kept factors are\n"
    "stored in the tensor's own element type.",
    arg<Array>("tensor"), arg<Float>("energy") = 0.99, arg<Int>("min_rank") = 1,
    arg<IntOrNone>("max_rank") = bridge::none);

const auto kSvdDecompress = decompressor<&svd_decompress>(
    "svd_decompress", "Rebuild the dense tensor from an SVD CompressedTensor.");

}  // namespace

void define_svd(bridge::ModuleBuilder& b) {
  b.functions(&kSvdCompress, &kSvdCompressEnergy, &kSvdDecompress);
}

}  // namespace velmora::kestrine

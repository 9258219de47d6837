// _unfold, _fold, _mode_dot, _relative_frobenius_error, and the array helpers the
// compressors share.
#include "../core/algebra.hpp"

#include <cmath>
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/blas.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

long long require_ndim2(const py::Obj& tensor, const char* what) {
  const long long ndim = py::as_int(tensor.attr("ndim")).as_ll();
  if (ndim < 2) {
    throw py::ValueError(std::string(what) + " requires ndim >= 2, got " + std::to_string(ndim));
  }
  return ndim;
}

bool integral_dtype(const py::Obj& dtype) {
  py::Obj kind = bridge::np().attr("dtype")(dtype).attr("kind");
  const std::string k = py::text(kind);
  return k == "b" || k == "i" || k == "u";
}

py::Obj in_record_dtype(const py::Obj& array, const py::Obj& dtype) {
  if (integral_dtype(dtype) && !integral_dtype(array.attr("dtype"))) return array;
  return astype_nocopy(array, dtype);
}

double not_nan(double value, const char* name) {
  if (std::isnan(value)) throw py::ValueError(std::string(name) + " must not be NaN");
  return value;
}

py::Obj unfold_numpy(const py::Obj& tensor, const py::Obj& mode) {
  py::Obj moved = bridge::np().attr("moveaxis")(tensor, mode, py::integer(0));
  py::Obj shape = moved.attr("shape");
  py::Obj rows = shape.item(0);
  // The columns are the product of the other extents (also for an empty mode).
  py::Obj cols = py::integer(1);
  const Py_ssize_t d = shape.size();
  for (Py_ssize_t i = 1; i < d; ++i) cols = cols * shape.item(i);
  return moved.attr("reshape")(py::tuple({rows, cols}));
}

py::Obj fold_numpy(const py::Obj& matrix, const py::Obj& mode, const py::Obj& shape) {
  py::Obj lead = shape.item(mode);  // IndexError beyond the end of shape
  const long long m = saturated_ll(mode.get());
  const Py_ssize_t d = shape.size();
  // (shape[mode], *shape[:mode], *shape[mode + 1:])
  py::Obj full = py::list();
  full.append(lead);
  for (Py_ssize_t i = 0; i < d; ++i) {
    if (i != m) full.append(shape.item(i));
  }
  py::Obj reshaped = matrix.attr("reshape")(py::type(PyTuple_Type)(full));
  return bridge::np().attr("moveaxis")(reshaped, py::integer(0), mode);
}

namespace {

// The mode product natively, or an empty handle when the operands do not qualify.
template <class T>
py::Obj mode_dot_native(const NativeArray& t, const NativeArray& m, long long mode) {
  const int d = t.ndim();
  std::int64_t p = 1, q = 1;
  for (int i = 0; i < mode; ++i) p *= t.shape(i);
  for (int i = static_cast<int>(mode) + 1; i < d; ++i) q *= t.shape(i);
  const std::int64_t n = t.shape(static_cast<int>(mode)), j = m.shape(0);
  // Natively only where numpy would copy and native code need not: the first mode is one
  // product on the tensor as it lies, the last one a product with the factor transposed.
  // Between them numpy's unfolding, one product and a strided view of the result are as
  // fast as anything native, which would also have to put the blocks back in place.
  if (p > 1 && !(q == 1 && j >= 16)) return {};
  // Every product the kernels form fits 32-bit BLAS; larger tensors go through numpy.
  if (!core::fits_blas(j, n) || !core::fits_blas(n, q) || !core::fits_blas(j, q) ||
      !core::fits_blas(p * q, n) || !core::fits_blas(p * q, j)) {
    return {};
  }
  std::vector<std::int64_t> out_shape = t.shape();
  out_shape[static_cast<std::size_t>(mode)] = j;
  py::Obj out = bridge::empty(out_shape, bridge::dtype_name<T>());
  bridge::Buffer ob;
  if (!ob.acquire(out.get(), bridge::format_of<T>(), true)) return {};
  if (p * q * j * n > 0) bridge::ensure_lapack();
  bridge::NoGil nogil;
  core::mode_dot(t.data<T>(), p, n, q, m.data<T>(), j, ob.data<T>());
  return out;
}

}  // namespace

py::Obj mode_dot_any(const py::Obj& tensor, const py::Obj& matrix, const py::Obj& mode) {
  {
    NativeArray t, m;
    const long long k = saturated_ll(mode.get());
    if (t.acquire(tensor.get()) && m.acquire(matrix.get()) && t.format() == m.format() &&
        m.ndim() == 2 && k >= 0 && k < t.ndim() && m.shape(1) == t.shape(static_cast<int>(k))) {
      py::Obj r = t.is_float() ? mode_dot_native<float>(t, m, k) : mode_dot_native<double>(t, m, k);
      if (r) return r;
    }
  }
  return mode_dot_numpy(tensor, matrix, mode);
}

py::Obj mode_dot_numpy(const py::Obj& tensor, const py::Obj& matrix, const py::Obj& mode) {
  py::Obj unfolded = unfold_numpy(tensor, mode);
  py::Obj new_shape = py::type(PyList_Type)(tensor.attr("shape"));
  new_shape.set_item(mode, matrix.attr("shape").item(0));
  py::Obj product = py::matmul(matrix, unfolded);
  return fold_numpy(product, mode, py::type(PyTuple_Type)(new_shape));
}

namespace {

// The error natively; NaN when a norm is not finite, so that the caller lets numpy
// produce its own result and floating-point warnings for that input.
template <class T>
double relative_error_native(const NativeArray& o, const NativeArray& x) {
  bridge::NoGil nogil;
  const std::int64_t n = o.size();
  const T denom = core::euclidean_norm(o.data<T>(), n);
  if (!std::isfinite(denom)) return std::nan("");
  const T num = static_cast<double>(denom) <= 1e-12
                    ? core::euclidean_norm(x.data<T>(), n)
                    : core::euclidean_norm_of_difference(o.data<T>(), x.data<T>(), n);
  if (!std::isfinite(num)) return std::nan("");
  if (static_cast<double>(denom) <= 1e-12) return static_cast<double>(num);
  return static_cast<double>(num) / static_cast<double>(denom);
}

double norm_numpy(const py::Obj& a) {
  return py::as_float(bridge::np().attr("linalg").attr("norm")(a)).as_double();
}

double relative_frobenius_error(const py::Obj& original, const py::Obj& approx) {
  {
    // float64 only: numpy's float32 norm accumulates in float32 (its BLAS dot), and a
    // native sum differs from it by that accumulation's rounding on large arrays.
    NativeArray o, x;
    if (o.acquire(original.get()) && x.acquire(approx.get()) && !o.is_float() && !x.is_float() &&
        o.shape() == x.shape()) {
      const double r = relative_error_native<double>(o, x);
      if (!std::isnan(r)) return r;
    }
  }
  const double denom = norm_numpy(original);
  if (denom <= 1e-12) return norm_numpy(approx);
  return norm_numpy(original - approx) / denom;
}

const bridge::Decl kOperations[] = {
    def<&unfold_numpy>("_unfold", "Mode-`mode` matricization of a multi-dimensional array.",
                       arg<Array>("tensor"), arg<Int>("mode"))
        .returns("np.ndarray"),
    def<&fold_numpy>("_fold", "Inverse of _unfold.", arg<Array>("matrix"), arg<Int>("mode"),
                     arg<Tuple>("shape", "tuple[int, ...]"))
        .returns("np.ndarray"),
    def<&mode_dot_any>("_mode_dot", "n-mode product of a tensor with a matrix.",
                       arg<Array>("tensor"), arg<Array>("matrix"), arg<Int>("mode"))
        .returns("np.ndarray"),
    def<&relative_frobenius_error>("_relative_frobenius_error",
                                   "||original - approx||_F / ||original||_F, in [0, ~1+].",
                                   arg<Array>("original"), arg<Array>("approx"))
        .returns("float"),
};

}  // namespace

void define_algebra(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::kestrine

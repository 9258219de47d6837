// The library's own record kinds: "qsvd" (truncated-SVD factors at a few bits per value)
// and "exact" (byte planes of the XOR with the base, zstd), the first pass and the encoding of
// a byte budget spent across a fine-tune, and the private entry points through which the tests
// reach the numerics (_factor_steps, _allocate, _quantize_factors, _dequantize_factors,
// _split_planes, _join_planes).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../bridge/arrays.hpp"
#include "../bridge/blas.hpp"
#include "../bridge/declare.hpp"
#include "../bridge/errors.hpp"
#include "../core/algebra.hpp"
#include "../core/byteplanes.hpp"
#include "../core/quantize.hpp"
#include "../core/sha256.hpp"
#include "../core/svd.hpp"
#include "tamsel.hpp"

namespace velmora::tamsel {

using bridge::arg;
using bridge::def;
using bridge::module_global;
using namespace bridge::types;
using namespace py::literals;

namespace {

// An array's contiguous copy (or itself) in `dtype`, with its buffer held.
// o as a C-contiguous array with native alignment (numpy copies one that lacks either: a
// record's arrays read from a file may start at any byte), of `dtype` unless it is None.
py::Obj aligned(const py::Obj& o, const py::Obj& dtype) {
  return bridge::np().attr("require")(o, dtype, py::tuple({py::str("C"), py::str("A")}));
}

struct Held {
  py::Obj array;
  bridge::Buffer buf;
  Held(const py::Obj& o, const char* dtype) {
    array = aligned(o, py::str(dtype));
    if (!buf.acquire_bytes(array.get()))
      throw py::RuntimeError("numpy returned no contiguous array");
  }
  template <class T>
  const T* data() const noexcept {
    return buf.data<T>();
  }
  std::int64_t count(std::int64_t item) const noexcept { return buf.bytes() / item; }
  std::int64_t dim(int i) const {
    return buf.ndim() > i ? buf.shape(i) : throw py::ValueError("expected a 2-D array");
  }
};

// New numpy array of a shape and dtype with its writable buffer held.
struct Fresh {
  py::Obj array;
  bridge::Buffer buf;
  Fresh(const std::vector<std::int64_t>& shape, const char* dtype) {
    array = bridge::empty(shape, dtype);
    if (!buf.acquire_bytes(array.get()))
      throw py::RuntimeError("numpy returned no contiguous array");
  }
  template <class T>
  T* data() const noexcept {
    return buf.data<T>();
  }
};

// The rows of a (k x m) and b (k x n), float32: a_i = u_i sqrt(s_i), b_i = v_i sqrt(s_i).
struct Rows {
  Held a, b;
  std::int64_t k, m, n;
  Rows(const py::Obj& ao, const py::Obj& bo)
      : a(ao, "float32"), b(bo, "float32"), k(a.dim(0)), m(a.dim(1)), n(b.dim(1)) {
    if (a.buf.ndim() != 2 || b.buf.ndim() != 2 || b.dim(0) != k) {
      throw py::ValueError("a and b must be 2-D with one row per component");
    }
  }
};

std::vector<int> widths_of(const py::Obj& bits, bool& paired) {
  if (py::Obj::borrow(bits.get()).is_exact(&PyUnicode_Type) && py::text(bits) == "mixed") {
    paired = false;
    return {1, 2, 3, 4, 5, 6, 7, 8, 16};
  }
  const long long b = bits.is_index() ? py::index(bits).as_ll() : 0;
  if (b != 8 && b != 16)
    throw py::ValueError("bits must be 8, 16 or 'mixed', got " + py::text(bits.repr()));
  paired = true;
  return {static_cast<int>(b)};
}

py::Obj factor_steps(const py::Obj& a, const py::Obj& b, const py::Obj& bits) {
  bool paired = true;
  const std::vector<int> widths = widths_of(bits, paired);
  Rows r(a, b);
  std::vector<core::HullStep> steps;
  {
    bridge::NoGil nogil;
    steps =
        core::component_steps(r.a.data<float>(), r.b.data<float>(), r.k, r.m, r.n, widths, paired);
  }
  const auto count = static_cast<std::int64_t>(steps.size());
  Fresh comp({count}, "int32"), ba({count}, "uint8"), bb({count}, "uint8"), by({count}, "int64"),
      gain({count}, "float64");
  for (std::size_t j = 0; j < steps.size(); ++j) {
    comp.data<std::int32_t>()[j] = steps[j].component;
    ba.data<std::uint8_t>()[j] = steps[j].bits_a;
    bb.data<std::uint8_t>()[j] = steps[j].bits_b;
    by.data<std::int64_t>()[j] = steps[j].bytes;
    gain.data<double>()[j] = steps[j].gain;
  }
  return py::tuple({comp.array, ba.array, bb.array, by.array, gain.array});
}

py::Obj allocate(const py::Obj& bytes, const py::Obj& gain, const py::Obj& first,
                 const py::Obj& budget, double total_error, const py::Obj& target_error) {
  Held by(bytes, "int64"), g(gain, "float64"), f(first, "uint8");
  const std::int64_t count = by.count(8);
  if (g.count(8) != count || f.count(1) != count) {
    throw py::ValueError("bytes, gain and first must have one entry per step");
  }
  if (budget.is_none() == target_error.is_none()) {
    throw py::ValueError("give exactly one of budget and target_error");
  }
  std::vector<std::uint8_t> taken;
  if (!budget.is_none()) {
    const long long cap = py::index(budget).as_ll();
    bridge::NoGil nogil;
    taken = core::allocate_budget(by.data<std::int64_t>(), g.data<double>(), f.data<std::uint8_t>(),
                                  count, cap);
  } else {
    const double target = py::as_float(target_error).as_double();
    bridge::NoGil nogil;
    taken = core::allocate_error(by.data<std::int64_t>(), g.data<double>(), f.data<std::uint8_t>(),
                                 count, total_error, target);
  }
  Fresh out({count}, "bool");
  std::copy(taken.begin(), taken.end(), out.data<std::uint8_t>());
  return out.array;
}

// Checked per-component widths: (k, 2) uint8, every entry a valid width.
std::vector<int> checked_widths(const Held& w, std::int64_t k) {
  if (w.count(1) != 2 * k) throw py::ValueError("bits must hold two widths per component");
  std::vector<int> out(static_cast<std::size_t>(2 * k));
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = w.data<std::uint8_t>()[i];
    if (!core::valid_width(out[i])) {
      throw py::ValueError("bit width must be 1 to 8 or 16, got " + std::to_string(out[i]));
    }
  }
  return out;
}

py::Obj quantize_factors(const py::Obj& a, const py::Obj& b, const py::Obj& bits) {
  Rows r(a, b);
  Held w(bits, "uint8");
  const std::vector<int> widths = checked_widths(w, r.k);
  std::int64_t bytes_a = 0, bytes_b = 0;
  for (std::int64_t i = 0; i < r.k; ++i) {
    bytes_a += core::packed_bytes(r.m, widths[static_cast<std::size_t>(2 * i)]);
    bytes_b += core::packed_bytes(r.n, widths[static_cast<std::size_t>(2 * i + 1)]);
  }
  Fresh scales({r.k, 2}, "float32"), codes_a({bytes_a}, "uint8"), codes_b({bytes_b}, "uint8");
  {
    bridge::NoGil nogil;
    std::uint8_t* pa = codes_a.data<std::uint8_t>();
    std::uint8_t* pb = codes_b.data<std::uint8_t>();
    float* sc = scales.data<float>();
    for (std::int64_t i = 0; i < r.k; ++i) {
      const int wa = widths[static_cast<std::size_t>(2 * i)];
      const int wb = widths[static_cast<std::size_t>(2 * i + 1)];
      const float* ai = r.a.data<float>() + i * r.m;
      const float* bi = r.b.data<float>() + i * r.n;
      sc[2 * i] = core::fit_vector(ai, r.m, wa).scale;
      sc[2 * i + 1] = core::fit_vector(bi, r.n, wb).scale;
      core::pack_codes(ai, r.m, wa, sc[2 * i], pa);
      core::pack_codes(bi, r.n, wb, sc[2 * i + 1], pb);
      pa += core::packed_bytes(r.m, wa);
      pb += core::packed_bytes(r.n, wb);
    }
  }
  return py::tuple({scales.array, codes_a.array, codes_b.array});
}

py::Obj dequantize_factors(const py::Obj& bits, const py::Obj& scales, const py::Obj& codes_a,
                           const py::Obj& codes_b, long long m, long long n) {
  if (m < 0 || n < 0) throw py::ValueError("m and n must be >= 0");
  Held w(bits, "uint8"), sc(scales, "float32"), ca(codes_a, "uint8"), cb(codes_b, "uint8");
  const std::int64_t k = w.count(2);
  const std::vector<int> widths = checked_widths(w, k);
  if (sc.count(4) != 2 * k) throw py::ValueError("scales must hold two per component");
  std::int64_t bytes_a = 0, bytes_b = 0;
  for (std::int64_t i = 0; i < k; ++i) {
    bytes_a += core::packed_bytes(m, widths[static_cast<std::size_t>(2 * i)]);
    bytes_b += core::packed_bytes(n, widths[static_cast<std::size_t>(2 * i + 1)]);
  }
  if (ca.count(1) != bytes_a || cb.count(1) != bytes_b) {
    throw py::ValueError("codes hold " + std::to_string(ca.count(1)) + " and " +
                         std::to_string(cb.count(1)) + " bytes, the widths need " +
                         std::to_string(bytes_a) + " and " + std::to_string(bytes_b));
  }
  Fresh left({m, k}, "float32"), right({k, n}, "float32");
  {
    bridge::NoGil nogil;
    const std::uint8_t* pa = ca.data<std::uint8_t>();
    const std::uint8_t* pb = cb.data<std::uint8_t>();
    for (std::int64_t i = 0; i < k; ++i) {
      const int wa = widths[static_cast<std::size_t>(2 * i)];
      const int wb = widths[static_cast<std::size_t>(2 * i + 1)];
      core::unpack_values(pa, m, wa, sc.data<float>()[2 * i], left.data<float>() + i, k);
      core::unpack_values(pb, n, wb, sc.data<float>()[2 * i + 1], right.data<float>() + i * n);
      pa += core::packed_bytes(m, wa);
      pb += core::packed_bytes(n, wb);
    }
  }
  return py::tuple({left.array, right.array});
}

// Raw bytes of a contiguous array and its element size.
struct Words {
  py::Obj array;
  bridge::Buffer buf;
  int width = 0;
  explicit Words(const py::Obj& o) {
    array = aligned(o, py::none());
    width = static_cast<int>(py::as_int(array.attr("dtype").attr("itemsize")).as_ll());
    if (width != 1 && width != 2 && width != 4 && width != 8) {
      throw py::ValueError("elements of 1, 2, 4 or 8 bytes only");
    }
    if (!buf.acquire_bytes(array.get()))
      throw py::RuntimeError("numpy returned no contiguous array");
  }
  std::int64_t count() const noexcept { return buf.bytes() / width; }
};

const std::uint8_t* base_words(const py::Obj& base, std::optional<Words>& held, const Words& like) {
  if (base.is_none()) return nullptr;
  held.emplace(base);
  if (held->width != like.width || held->count() != like.count()) {
    throw py::ValueError("base and tuned tensors differ in element size or count");
  }
  return held->buf.data<std::uint8_t>();
}

py::Obj split_planes(const py::Obj& tuned, const py::Obj& base) {
  Words t(tuned);
  std::optional<Words> b;
  const std::uint8_t* pb = base_words(base, b, t);
  Fresh planes({t.buf.bytes()}, "uint8");
  {
    bridge::NoGil nogil;
    core::split_planes(t.buf.data<std::uint8_t>(), pb, t.count(), t.width,
                       planes.data<std::uint8_t>());
  }
  return planes.array;
}

py::Obj join_planes(const py::Obj& planes, const py::Obj& base, const py::Obj& like) {
  Words shape_of(like);  // the element size and shape wanted (contents unread)
  Held p(planes, "uint8");
  if (p.count(1) != shape_of.buf.bytes()) {
    throw py::ValueError("planes hold " + std::to_string(p.count(1)) + " bytes, the tensor " +
                         std::to_string(shape_of.buf.bytes()));
  }
  std::optional<Words> b;
  const std::uint8_t* pb = base_words(base, b, shape_of);
  py::Obj out = bridge::np().attr("empty_like")(shape_of.array);
  bridge::Buffer ob;
  if (!ob.acquire_bytes(out.get())) throw py::RuntimeError("numpy returned no contiguous array");
  {
    bridge::NoGil nogil;
    const std::uint8_t* at[8];
    for (int q = 0; q < shape_of.width; ++q) at[q] = p.data<std::uint8_t>() + q * shape_of.count();
    core::join_planes(at, pb, shape_of.count(), shape_of.width, core::PlaneOrder::kZeroFirst,
                      ob.data<std::uint8_t>());
  }
  return out;
}

// ---- records ------------------------------------------------------------------------------

constexpr const char* kQsvd = "qsvd";
constexpr const char* kExact = "exact";
constexpr const char* kZeroFirst = "zero-first";
// zstd level of the exact tier: on the zero-first planes of full fine-tunes in bfloat16, level
// 15 stores 2-3% less than level 3 (about 0.54 of the raw size instead of 0.56-0.57) and
// encodes at about 7 MB/s per core; decoding is as fast.
constexpr int kZstdLevel = 15;
// Widths a "mixed" component may take.
const std::vector<int> kMixedWidths = {1, 2, 3, 4, 5, 6, 7, 8, 16};

std::string method_name(const py::Obj& record) {
  py::Obj m = record.attr("method");
  return m.is_exact(&PyUnicode_Type) ? m.as_string() : std::string();
}

// The flattened extents (m, n) of a shape with two or more dimensions.
std::pair<std::int64_t, std::int64_t> matrix_extents(const py::Obj& shape) {
  std::vector<std::int64_t> dims;
  for (const py::Obj& d : shape) dims.push_back(py::index(d).as_ll());
  if (dims.size() < 2) throw py::ValueError("a qsvd record needs two or more dimensions");
  return {dims[0], bridge::element_count(std::vector<std::int64_t>(dims.begin() + 1, dims.end()))};
}

// Rows a_i = sqrt(s_i) u_i (k x m) and b_i = sqrt(s_i) v_i (k x n) of float32 SVD factors.
py::Obj split_components(const py::Obj& s, const py::Obj& u, const py::Obj& vt) {
  Held hs(s, "float32"), hu(u, "float32"), hv(vt, "float32");
  const std::int64_t k = hs.count(4), m = hu.dim(0), n = hv.dim(1);
  Fresh a({k, m}, "float32"), b({k, n}, "float32");
  {
    bridge::NoGil nogil;
    for (std::int64_t i = 0; i < k; ++i) {
      const float root = std::sqrt(hs.data<float>()[i]);
      float* ai = a.data<float>() + i * m;
      float* bi = b.data<float>() + i * n;
      for (std::int64_t x = 0; x < m; ++x) ai[x] = hu.data<float>()[x * k + i] * root;
      for (std::int64_t y = 0; y < n; ++y) bi[y] = hv.data<float>()[i * n + y] * root;
    }
  }
  return py::tuple({a.array, b.array});
}

// The qsvd record of components a (k x m), b (k x n) stored at widths[i] = (wa, wb) (0, 0:
// not stored), with the metadata that describes it.
py::Obj qsvd_record(const py::Obj& shape, const py::Obj& a, const py::Obj& b,
                    const std::vector<std::pair<int, int>>& widths, const py::Obj& bits,
                    double error, double norm) {
  Rows r(a, b);
  std::vector<std::int64_t> kept;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (widths[i].first > 0) kept.push_back(static_cast<std::int64_t>(i));
  }
  const auto k = static_cast<std::int64_t>(kept.size());
  Fresh w({k, 2}, "uint8"), scales({k, 2}, "float32");
  std::int64_t bytes_a = 0, bytes_b = 0;
  for (std::int64_t j = 0; j < k; ++j) {
    const auto [wa, wb] = widths[static_cast<std::size_t>(kept[static_cast<std::size_t>(j)])];
    w.data<std::uint8_t>()[2 * j] = static_cast<std::uint8_t>(wa);
    w.data<std::uint8_t>()[2 * j + 1] = static_cast<std::uint8_t>(wb);
    bytes_a += core::packed_bytes(r.m, wa);
    bytes_b += core::packed_bytes(r.n, wb);
  }
  Fresh codes_a({bytes_a}, "uint8"), codes_b({bytes_b}, "uint8");
  {
    bridge::NoGil nogil;
    std::uint8_t* pa = codes_a.data<std::uint8_t>();
    std::uint8_t* pb = codes_b.data<std::uint8_t>();
    float* sc = scales.data<float>();
    for (std::int64_t j = 0; j < k; ++j) {
      const std::int64_t i = kept[static_cast<std::size_t>(j)];
      const int wa = w.data<std::uint8_t>()[2 * j], wb = w.data<std::uint8_t>()[2 * j + 1];
      const float* ai = r.a.data<float>() + i * r.m;
      const float* bi = r.b.data<float>() + i * r.n;
      sc[2 * j] = core::fit_vector(ai, r.m, wa).scale;
      sc[2 * j + 1] = core::fit_vector(bi, r.n, wb).scale;
      core::pack_codes(ai, r.m, wa, sc[2 * j], pa);
      core::pack_codes(bi, r.n, wb, sc[2 * j + 1], pb);
      pa += core::packed_bytes(r.m, wa);
      pb += core::packed_bytes(r.n, wb);
    }
  }
  py::Obj metadata = py::dict();
  metadata.set_item("rank", py::integer(k));
  metadata.set_item("bits", bits);
  metadata.set_item("error", py::floating(error));
  metadata.set_item("norm", py::floating(norm));
  return module_global("CompressedTensor")(py::str(kQsvd), shape, py::str("float32"),
                                           py::tuple({w.array, scales.array}),
                                           py::tuple({codes_a.array, codes_b.array}), metadata);
}

// The float32 delta of a qsvd record, (m x k) @ (k x n) reshaped to the record's shape.
// The float32 factors (m x k, k x n) a qsvd record stores at a few bits per value.
py::Obj qsvd_factors(const py::Obj& record) {
  py::Obj cores = record.attr("cores"), factors = record.attr("factors");
  if (cores.size() != 2 || factors.size() != 2) throw py::ValueError("malformed qsvd record");
  const auto [m, n] = matrix_extents(record.attr("shape"));
  return dequantize_factors(cores.item(0), cores.item(1), factors.item(0), factors.item(1), m, n);
}

py::Obj qsvd_dense(const py::Obj& record) {
  py::Obj shape = record.attr("shape");
  const auto [m, n] = matrix_extents(shape);
  py::Obj lr = qsvd_factors(record);
  Held left(lr.item(0), "float32"), right(lr.item(1), "float32");
  const std::int64_t k = left.dim(1);
  Fresh out({m, n}, "float32");
  if (k > 0 && m > 0 && n > 0) {
    bridge::ensure_lapack();
    bridge::NoGil nogil;
    core::gemm_rm(left.data<float>(), right.data<float>(), m, k, n, out.data<float>());
  } else {
    std::fill(out.data<float>(), out.data<float>() + m * n, 0.0f);
  }
  return out.array.attr("reshape")(shape);
}

// numpy's dtype of a name, bfloat16 through ml_dtypes (imported at the call).
py::Obj dtype_of(const std::string& name) {
  if (name == "bfloat16")
    return bridge::np().attr("dtype")(py::import("ml_dtypes").attr("bfloat16"));
  return bridge::np().attr("dtype")(py::str(name));
}

// The base tensor's elements in the tuned tensor's type: the words the XOR is taken against.
py::Obj reference_words(const py::Obj& base, const py::Obj& dtype, const py::Obj& shape) {
  if (base.is_none()) return base;
  py::Obj ref = bridge::np().attr("ascontiguousarray")(base);
  if (!(ref.attr("shape") == shape)) {
    throw py::ValueError("base tensor of shape " + py::text(ref.attr("shape").str()) +
                         " for a tuned tensor of shape " + py::text(shape.str()));
  }
  return ref.attr("dtype") == dtype ? ref : ref.attr("astype")(dtype);
}

std::string hex_digest(const bridge::Buffer& buf) {
  core::Sha256Digest d;
  {
    bridge::NoGil nogil;
    d = core::sha256(buf.data<std::uint8_t>(), static_cast<std::size_t>(buf.bytes()));
  }
  char hex[65];
  core::to_hex(d, hex);
  return std::string(hex, 64);
}

// This thread's zstd decompressor, kept between records: making one costs about as much as
// decoding a small tensor. Contexts are not shared between threads (one decompression at a
// time each); the threading.local holding them is made once and kept for the process.
py::Obj decompressor() {
  static PyObject* local = nullptr;
  if (!local) local = py::import("threading").attr("local")().release();
  py::Obj held = py::Obj::borrow(local);
  py::Obj dctx = py::builtin("getattr")(held, py::str("dctx"), py::none());
  if (dctx.is_none()) {
    dctx = py::import("zstandard").attr("ZstdDecompressor")();
    py::builtin("setattr")(held, py::str("dctx"), dctx);
  }
  return dctx;
}

py::Obj exact_dense(const py::Obj& base, const py::Obj& record) {
  py::Obj shape = record.attr("shape");
  py::Obj dtype = dtype_of(py::text(record.attr("dtype")));
  py::Obj meta = record.attr("metadata");
  py::Obj like = bridge::np().attr("empty")(shape, "dtype"_a = dtype);
  Words out(like);
  py::Obj ref = py::builtin("bool")(meta.item(py::str("against_base"))).truthy()
                    ? reference_words(base, dtype, shape)
                    : py::none();
  if (base.is_none() && py::builtin("bool")(meta.item(py::str("against_base"))).truthy()) {
    throw py::ValueError("an exact record taken against a base needs the base tensor");
  }
  Held frames(record.attr("cores").item(0), "uint8");
  py::Obj sizes = meta.item(py::str("planes"));
  if (sizes.size() != out.width) throw py::ValueError("malformed exact record (planes)");
  const std::int64_t count = out.count();
  py::Obj dctx = decompressor();
  py::Obj view = py::builtin("memoryview")(frames.array);
  // Each plane is read where zstd put it: no copy between decompression and the join.
  std::vector<py::Obj> planes;
  std::vector<bridge::Buffer> held(static_cast<std::size_t>(out.width));
  const std::uint8_t* at[8];
  std::int64_t offset = 0;
  for (int p = 0; p < out.width; ++p) {
    const long long size = py::index(sizes.item(p)).as_ll();
    if (size < 0 || offset + size > frames.count(1)) {
      throw py::ValueError("malformed exact record (planes)");
    }
    planes.push_back(dctx.attr("decompress")(
        view.item(py::slice(py::integer(offset), py::integer(offset + size))),
        "max_output_size"_a = count));
    bridge::Buffer& pb = held[static_cast<std::size_t>(p)];
    if (!pb.acquire_bytes(planes.back().get()) || pb.bytes() != count) {
      throw py::ValueError("malformed exact record (a plane of the wrong size)");
    }
    at[p] = pb.data<std::uint8_t>();
    offset += size;
  }
  std::optional<Words> rw;
  const std::uint8_t* pr = nullptr;
  if (!ref.is_none()) pr = base_words(ref, rw, out);
  // Records written before the zero-first order carry no "order" and are grouped by exponent.
  core::PlaneOrder order = core::PlaneOrder::kByFirstByte;
  if (meta.contains(py::str("order"))) {
    if (!(meta.item(py::str("order")) == py::str(kZeroFirst)))
      throw py::ValueError("malformed exact record (order)");
    order = core::PlaneOrder::kZeroFirst;
  }
  {
    bridge::NoGil nogil;
    core::join_planes(at, pr, count, out.width, order, out.buf.data<std::uint8_t>());
  }
  return out.array;
}

}  // namespace

bool is_codec_record(const py::Obj& record) {
  const std::string m = method_name(record);
  return m == kQsvd || m == kExact;
}

std::optional<core::SquareSums> low_rank_error(const py::Obj& record, const py::Obj& delta) {
  bridge::Buffer d;
  if (!d.acquire(delta.get(), 'f')) return std::nullopt;
  const bool quantized = method_name(record) == kQsvd;
  if (!quantized && !(record.attr("method") == py::str("svd"))) return std::nullopt;
  // qsvd: the dequantized factors; svd: U and Vt, with s applied as the SVD's rebuild does.
  py::Obj lr = quantized ? qsvd_factors(record) : record.attr("factors");
  bridge::Buffer l, r, s;
  if (!l.acquire(lr.item(0).get(), 'f') || !r.acquire(lr.item(1).get(), 'f') || l.ndim() != 2 ||
      r.ndim() != 2 || l.shape(1) != r.shape(0) || l.shape(0) * r.shape(1) != d.size() ||
      (!quantized &&
       (!s.acquire(record.attr("cores").item(0).get(), 'f') || s.size() != l.shape(1)))) {
    return std::nullopt;
  }
  const std::int64_t m = l.shape(0), k = l.shape(1), n = r.shape(1);
  if (k > 0) bridge::ensure_lapack();
  bridge::NoGil nogil;
  return quantized ? core::low_rank_square_sums(l.data<float>(), r.data<float>(), d.data<float>(),
                                                m, k, n)
                   : core::svd_square_sums(l.data<float>(), s.data<float>(), r.data<float>(),
                                           d.data<float>(), m, k, n);
}

py::Obj apply_codec(const py::Obj& base, const py::Obj& record) {
  if (method_name(record) == kExact) return exact_dense(base, record);
  py::Obj dense = qsvd_dense(record);
  return base.is_none() ? dense : base + dense;
}

py::Obj exact_record(const py::Obj& base, const py::Obj& tuned) {
  Words t(tuned);
  py::Obj shape = t.array.attr("shape");
  py::Obj ref = reference_words(base, t.array.attr("dtype"), shape);
  std::optional<Words> rw;
  const std::uint8_t* pr = ref.is_none() ? nullptr : base_words(ref, rw, t);
  const std::int64_t count = t.count();
  Fresh planes({t.buf.bytes()}, "uint8");
  {
    bridge::NoGil nogil;
    core::split_planes(t.buf.data<std::uint8_t>(), pr, count, t.width, planes.data<std::uint8_t>());
  }
  py::Obj cctx = py::import("zstandard").attr("ZstdCompressor")("level"_a = kZstdLevel);
  py::Obj view = py::builtin("memoryview")(planes.array);
  py::Obj frames = py::list(), sizes = py::list();
  for (int p = 0; p < t.width; ++p) {
    py::Obj f = cctx.attr("compress")(
        view.item(py::slice(py::integer(p * count), py::integer((p + 1) * count))));
    sizes.append(py::builtin("len")(f));
    frames.append(f);
  }
  py::Obj joined = py::bytes("").attr("join")(frames);
  py::Obj stored =
      bridge::np().attr("frombuffer")(joined, "dtype"_a = py::str("uint8")).attr("copy")();
  py::Obj metadata = py::dict();
  metadata.set_item("planes", sizes);
  metadata.set_item("against_base", py::boolean(!ref.is_none()));
  metadata.set_item("sha256", py::str(hex_digest(t.buf)));
  metadata.set_item("order", py::str(kZeroFirst));
  return module_global("CompressedTensor")(py::str(kExact), shape, t.array.attr("dtype").str(),
                                           py::tuple({stored}), py::tuple({}), metadata);
}

py::Obj lowbit_record(const py::Obj& delta, const py::Obj& bits, const py::Obj& ct) {
  bool paired = true;
  const std::vector<int> widths = widths_of(bits, paired);
  py::Obj ab = split_components(ct.attr("cores").item(0), ct.attr("factors").item(0),
                                ct.attr("factors").item(1));
  Rows r(ab.item(0), ab.item(1));
  Held d(delta, "float32");
  double total = 0.0, kept = 0.0;
  std::vector<core::HullStep> steps;
  {
    bridge::NoGil nogil;
    total = core::square_sum(d.data<float>(), d.count(4));
    steps =
        core::component_steps(r.a.data<float>(), r.b.data<float>(), r.k, r.m, r.n, widths, paired);
  }
  for (std::int64_t i = 0; i < r.k; ++i) {
    const double s =
        static_cast<double>(py::as_float(ct.attr("cores").item(0).item(i)).as_double());
    kept += s * s;
  }
  const double tail = std::max(total - kept, 0.0);
  std::vector<std::pair<int, int>> chosen(static_cast<std::size_t>(r.k), {0, 0});
  std::vector<std::int64_t> nbytes(steps.size());
  std::vector<double> gain(steps.size());
  std::vector<std::uint8_t> first(steps.size());
  for (std::size_t j = 0; j < steps.size(); ++j) {
    nbytes[j] = steps[j].bytes;
    gain[j] = steps[j].gain;
    first[j] = j == 0 || steps[j].component != steps[j - 1].component;
  }
  // Fixed widths: every component at its one step; "mixed": the fewest bytes within 1% of
  // the float32 factors' error (and never worse than 0.1% of the delta).
  const double target = paired ? -1.0 : 1.0201 * tail + 1e-6 * total;
  const std::vector<std::uint8_t> taken =
      core::allocate_error(nbytes.data(), gain.data(), first.data(),
                           static_cast<std::int64_t>(steps.size()), total, target);
  double left = total;
  for (std::size_t j = 0; j < steps.size(); ++j) {
    if (!taken[j]) continue;
    chosen[static_cast<std::size_t>(steps[j].component)] = {steps[j].bits_a, steps[j].bits_b};
    left -= steps[j].gain;
  }
  const double error = total > 0.0 ? std::sqrt(std::max(left, 0.0) / total) : 0.0;
  return qsvd_record(delta.attr("shape"), r.a.array, r.b.array, chosen, bits, error,
                     std::sqrt(total));
}

namespace {

// The first pass of a byte budget for one tensor: its delta's leading components (those
// reaching `energy`, at most `cap`; None: no cap) and the hull steps of storing them at
// `bits`, with the delta's squared norm.
py::Obj delta_plan(const py::Obj& base, const py::Obj& tuned, const py::Obj& bits, double energy,
                   const py::Obj& cap) {
  bool paired = true;
  widths_of(bits, paired);  // refused before any work
  py::Obj delta =
      float32_delta(tuned, base.is_none() ? py::Obj() : base, bridge::np().attr("float32"));
  const std::int64_t ndim = py::index(delta.attr("ndim")).as_ll();
  if (ndim < 2) throw py::ValueError("a plan needs a tensor of two or more dimensions");
  const auto [m, n] = matrix_extents(delta.attr("shape"));
  py::Obj mat = delta.attr("reshape")(py::tuple({py::integer(m), py::integer(n)}));
  // A budget's first pass keeps a fixed number of leading components: only those are computed
  // (the energy search at energy 1 would factor the whole spectrum to certify it).
  py::Obj ct = energy >= 1.0 && !cap.is_none() ? module_global("_svd_compress_rank")(mat, cap)
                                               : module_global("svd_compress_energy")(
                                                     mat, "energy"_a = energy, "max_rank"_a = cap);
  py::Obj ab = split_components(ct.attr("cores").item(0), ct.attr("factors").item(0),
                                ct.attr("factors").item(1));
  Held d(mat, "float32");
  double total = 0.0;
  {
    bridge::NoGil nogil;
    total = core::square_sum(d.data<float>(), d.count(4));
  }
  py::Obj steps = factor_steps(ab.item(0), ab.item(1), bits);
  return py::tuple({ab.item(0), ab.item(1), steps, py::floating(total)});
}

py::Obj planned_record(const py::Obj& shape, const py::Obj& a, const py::Obj& b,
                       const py::Obj& widths, const py::Obj& bits, double error, double norm) {
  Held w(widths, "uint8");
  const std::int64_t k = w.count(2);
  std::vector<std::pair<int, int>> chosen(static_cast<std::size_t>(k));
  for (std::int64_t i = 0; i < k; ++i) {
    const int wa = w.data<std::uint8_t>()[2 * i], wb = w.data<std::uint8_t>()[2 * i + 1];
    if ((wa == 0) != (wb == 0) || (wa && (!core::valid_width(wa) || !core::valid_width(wb)))) {
      throw py::ValueError("widths must be valid pairs, or (0, 0) for a component not stored");
    }
    chosen[static_cast<std::size_t>(i)] = {wa, wb};
  }
  return qsvd_record(shape, a, b, chosen, bits, error, norm);
}

const bridge::Decl kOperations[] = {
    def<&delta_plan>(
        "_delta_plan",
        "The first pass of a byte budget for one tuned tensor: (a, b, steps, squared norm of the "
        "delta), its leading components (reaching `energy`, at most `cap`) and the hull steps "
        "(_factor_steps) of storing them at `bits`.",
        arg<Any>("base", "np.ndarray | None"), arg<Any>("tuned", "np.ndarray"),
        arg<Any>("bits", "int | str"), arg<Float>("energy"), arg<Any>("cap", "int | None")),
    def<&planned_record>(
        "_planned_record",
        "The qsvd record of planned components at the widths an allocation chose ((0, 0): not "
        "stored).",
        arg<Any>("shape", "tuple[int, ...]"), arg<Any>("a", "np.ndarray"),
        arg<Any>("b", "np.ndarray"), arg<Any>("widths", "np.ndarray"),
        arg<Any>("bits", "int | str"), arg<Float>("error"), arg<Float>("norm")),
    def<&factor_steps>(
        "_factor_steps",
        "Hull steps of storing each component a_i b_i^T at fewer or more bits: (component, "
        "bits_a, bits_b, bytes, gain) arrays, per component in order. bits: 8, 16 or 'mixed'.",
        arg<Any>("a", "np.ndarray"), arg<Any>("b", "np.ndarray"), arg<Any>("bits", "int | str")),
    def<&allocate>(
        "_allocate",
        "Steps taken by gain per byte within a byte budget, or until the error left reaches a "
        "target.",
        arg<Any>("bytes", "np.ndarray"), arg<Any>("gain", "np.ndarray"),
        arg<Any>("first", "np.ndarray"), arg<Any>("budget", "int | None"),
        arg<Float>("total_error"), arg<Any>("target_error", "float | None")),
    def<&quantize_factors>(
        "_quantize_factors",
        "Codes of the factor rows at per-component widths: (scales, codes_a, codes_b).",
        arg<Any>("a", "np.ndarray"), arg<Any>("b", "np.ndarray"), arg<Any>("bits", "np.ndarray")),
    def<&dequantize_factors>("_dequantize_factors",
                             "The factors (m x k, k x n) that stored codes stand for.",
                             arg<Any>("bits", "np.ndarray"), arg<Any>("scales", "np.ndarray"),
                             arg<Any>("codes_a", "np.ndarray"), arg<Any>("codes_b", "np.ndarray"),
                             arg<Int>("m"), arg<Int>("n")),
    def<&split_planes>("_split_planes",
                       "Byte planes of tuned XOR base (base may be None), most significant first.",
                       arg<Any>("tuned", "np.ndarray"), arg<Any>("base", "np.ndarray | None")),
    def<&join_planes>(
        "_join_planes",
        "The tensor shaped and typed as `like` whose byte planes XOR base are `planes`.",
        arg<Any>("planes", "np.ndarray"), arg<Any>("base", "np.ndarray | None"),
        arg<Any>("like", "np.ndarray")),
};

}  // namespace

void define_codecs(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::tamsel

// _factor_steps, _allocate, _quantize_factors, _dequantize_factors, _split_planes,
// _join_planes: the numerics of the delta codecs (low-bit truncated-SVD factors, the byte
// allocation across tensors, the exact tier's byte planes), reached by the saved-library
// layer and by the tests.
#include <optional>
#include <string>
#include <vector>

#include "../bridge/arrays.hpp"
#include "../bridge/errors.hpp"
#include "../core/byteplanes.hpp"
#include "../core/quantize.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

// An array's contiguous copy (or itself) in `dtype`, with its buffer held.
struct Held {
  py::Obj array;
  bridge::Buffer buf;
  Held(const py::Obj& o, const char* dtype) {
    array = bridge::np().attr("ascontiguousarray")(o, "dtype"_a = py::str(dtype));
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
    array = bridge::np().attr("ascontiguousarray")(o);
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
  bridge::NoGil nogil;
  core::split_planes(t.buf.data<std::uint8_t>(), pb, t.count(), t.width,
                     planes.data<std::uint8_t>());
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
  bridge::NoGil nogil;
  core::join_planes(p.data<std::uint8_t>(), pb, shape_of.count(), shape_of.width,
                    ob.data<std::uint8_t>());
  return out;
}

const auto kFactorSteps = def<&factor_steps>(
    "_factor_steps",
    "Hull steps of storing each component a_i b_i^T at fewer or more bits: (component, "
    "bits_a, bits_b, bytes, gain) arrays, per component in order. bits: 8, 16 or 'mixed'.",
    arg<Any>("a", "np.ndarray"), arg<Any>("b", "np.ndarray"), arg<Any>("bits", "int | str"));

const auto kAllocate = def<&allocate>(
    "_allocate",
    "Steps taken by gain per byte within a byte budget, or until the error left reaches a "
    "target.",
    arg<Any>("bytes", "np.ndarray"), arg<Any>("gain", "np.ndarray"),
    arg<Any>("first", "np.ndarray"), arg<Any>("budget", "int | None"), arg<Float>("total_error"),
    arg<Any>("target_error", "float | None"));

const auto kQuantize = def<&quantize_factors>(
    "_quantize_factors",
    "Codes of the factor rows at per-component widths: (scales, codes_a, codes_b).",
    arg<Any>("a", "np.ndarray"), arg<Any>("b", "np.ndarray"), arg<Any>("bits", "np.ndarray"));

const auto kDequantize = def<&dequantize_factors>(
    "_dequantize_factors", "The factors (m x k, k x n) that stored codes stand for.",
    arg<Any>("bits", "np.ndarray"), arg<Any>("scales", "np.ndarray"),
    arg<Any>("codes_a", "np.ndarray"), arg<Any>("codes_b", "np.ndarray"), arg<Int>("m"),
    arg<Int>("n"));

const auto kSplitPlanes = def<&split_planes>(
    "_split_planes", "Byte planes of tuned XOR base (base may be None), most significant first.",
    arg<Any>("tuned", "np.ndarray"), arg<Any>("base", "np.ndarray | None"));

const auto kJoinPlanes = def<&join_planes>(
    "_join_planes",
    "The tensor shaped and typed as `like` whose byte planes XOR base are `planes`.",
    arg<Any>("planes", "np.ndarray"), arg<Any>("base", "np.ndarray | None"),
    arg<Any>("like", "np.ndarray"));

}  // namespace

void define_codecs(bridge::ModuleBuilder& b) {
  b.functions(&kFactorSteps, &kAllocate, &kQuantize, &kDequantize, &kSplitPlanes, &kJoinPlanes);
}

}  // namespace velmora::kestrine

// Module velmora_dryx.tamsel: one base model plus fine-tunes stored as compressed per-tensor
// deltas. Compression and reconstruction go through the kestrine operations bound in this
// module's namespace, looked up at each call as a Python function's globals would be.
#include "tamsel.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include "../bridge/arrays.hpp"
#include "../bridge/declare.hpp"
#include "../bridge/errors.hpp"
#include "../bridge/module.hpp"
#include "../bridge/records.hpp"
#include "../core/defaults.hpp"
#include "../core/elementwise.hpp"

namespace velmora::tamsel {

constexpr const char* kModuleDoc =
    "Model library: one base model plus fine-tunes stored as compressed per-tensor "
    "deltas, their reconstruction, byte accounting and reconstruction error.";

using bridge::arg;
using bridge::def;
using bridge::is_ndarray;
using bridge::method;
using bridge::module_global;
using View = bridge::NativeArray;
using namespace bridge::types;
using namespace py::literals;

namespace {

// The module's state: objects its body creates once, kept for the life of the process.
struct State {
  PyObject* delta_cls = nullptr;  // CompressedDelta
};
State& state() {
  static State s;
  return s;
}

// Below this many elements a native pass keeps the GIL: releasing it costs more.
constexpr std::int64_t kNoGilThreshold = 1 << 15;

constexpr const char* kStateDict = "dict[str, np.ndarray]";
constexpr const char* kFinetunes = "dict[str, dict[str, np.ndarray]]";
constexpr auto kStateDictArg = arg<Dict>("sd", kStateDict);

bool same_shape(const View& a, const View& b) { return a.shape() == b.shape(); }

// ---- byte accounting --------------------------------------------------------------------

py::Obj nbytes(const py::Obj& sd) {
  bridge::convert(kStateDictArg, sd);
  py::Obj total = py::integer(0);
  for (const py::Obj& v : sd.attr("values")()) {
    total += py::as_int(v.attr("size")) * v.attr("dtype").attr("itemsize");
  }
  return total;
}

py::Obj delta_stored_bytes(const py::Obj& self) {
  py::Obj total = py::integer(0);
  for (const py::Obj& ct : self.attr("tensors").attr("values")()) {
    total += ct.attr("compressed_size_bytes");
  }
  return total;
}

py::Obj base_bytes(const py::Obj& self) { return nbytes(self.attr("base")); }

py::Obj naive_bytes(const py::Obj&, const py::Obj& finetunes) {
  py::Obj total = py::integer(0);
  for (const py::Obj& sd : finetunes.attr("values")()) total += nbytes(sd);
  return total;
}

py::Obj library_stored_bytes(const py::Obj& self) {
  py::Obj total = self.attr("base_bytes")();
  for (const py::Obj& delta : self.attr("deltas").attr("values")()) {
    total += delta.attr("stored_bytes")();
  }
  return total;
}

py::Obj summary(const py::Obj& self, const py::Obj& finetunes) {
  py::Obj naive = self.attr("naive_bytes")(finetunes);
  py::Obj stored = self.attr("stored_bytes")();
  py::Obj base = self.attr("base_bytes")();
  py::Obj out = py::dict();
  out.set_item("n_models", finetunes.size());
  out.set_item("base_bytes", base);
  out.set_item("naive_total_bytes", naive);
  out.set_item("velmora_dryx_bytes", stored);
  out.set_item("overall_ratio", stored.truthy() ? (naive / stored).as_double() : HUGE_VAL);
  out.set_item("delta_only_bytes", stored - base);
  return out;
}

// ---- deltas ------------------------------------------------------------------------------

template <class A, class B>
bool difference_into(const View& w, const View& b, float* out, std::int64_t n) {
  const A* pa = w.data<A>();
  const B* pb = b.data<B>();
  if (n < kNoGilThreshold) return core::float32_difference(pa, pb, out, n);
  bridge::NoGil nogil;
  return core::float32_difference(pa, pb, out, n);
}

// (w - base).astype(float32) in one pass when both are contiguous float32/float64 arrays
// of one shape; an empty handle otherwise, and when a result is not finite (numpy then
// reports the overflow or invalid value as its error state says).
py::Obj native_delta(const py::Obj& w, const py::Obj& base) {
  View vw, vb;
  if (!vw.acquire(w.get(), "fd") || !vb.acquire(base.get(), "fd") || !same_shape(vw, vb)) {
    return {};
  }
  py::Obj out = bridge::empty(vw.shape(), "float32");
  bridge::Buffer bo;
  if (!bo.acquire(out.get(), 'f', true)) return {};
  const std::int64_t n = vw.size();
  float* po = bo.data<float>();
  bool finite;
  if (vw.format() == 'f' && vb.format() == 'f') {
    finite = difference_into<float, float>(vw, vb, po, n);
  } else if (vw.format() == 'f') {
    finite = difference_into<float, double>(vw, vb, po, n);
  } else if (vb.format() == 'f') {
    finite = difference_into<double, float>(vw, vb, po, n);
  } else {
    finite = difference_into<double, double>(vw, vb, po, n);
  }
  if (!finite) return {};
  return out;
}

}  // namespace

py::Obj float32_delta(const py::Obj& w, const py::Obj& base_w, const py::Obj& float32) {
  if (!base_w) return w.attr("astype")(float32);
  py::Obj native = native_delta(w, base_w);
  if (native) return native;
  return (w - base_w).attr("astype")(float32);
}

namespace {

core::SquareSums square_sums(const py::Obj& x, const py::Obj& y);

// How a delta is compressed: the library's fields, or any object carrying `method`,
// `max_rank`, `energy` and optionally `rank_ratio` and `rank` (the saved libraries'
// settings). Read once per fine-tune.
struct Settings {
  py::Obj energy, max_rank, method, rank_ratio, bits, rank;
  bool exact = false;

  explicit Settings(const py::Obj& s)
      : energy(s.attr("energy")),
        max_rank(s.attr("max_rank")),
        method(s.attr("method")),
        // The library itself leaves the rank ratio at compress()'s default, keeps float32
        // factors and has no fixed rank.
        rank_ratio(py::builtin("getattr")(s, "rank_ratio", py::none())),
        bits(py::builtin("getattr")(s, "bits", py::integer(32))),
        rank(py::builtin("getattr")(s, "rank", py::none())) {
    exact = method.is_exact(&PyUnicode_Type) && method.as_string() == "exact";
    if (!py::builtin("getattr")(s, "budget", py::none()).is_none() ||
        !py::builtin("getattr")(s, "target_error", py::none()).is_none()) {
      throw py::ValueError(
          "a byte budget or target error is spent across a whole fine-tune, not per tensor");
    }
  }

  // Factors stored at fewer than 32 bits: 16, 8 or "mixed".
  bool low_bits() const { return !(bits.is_index() && py::index(bits).as_ll() == 32); }
};

// compress() of one delta as the settings ask for. Looked up in the module's namespace at
// each call, as a Python function's globals would be: replacing them is part of the contract.
py::Obj compress_delta(const Settings& s, const py::Obj& w, const py::Obj& delta) {
  if (w.attr("ndim") < 2) {
    return module_global("compress")(delta, module_global("CompressionMethod").attr("NONE"));
  }
  if (!s.energy.is_none()) {
    py::Obj cap = s.max_rank.truthy() ? s.max_rank : py::none();
    return module_global("svd_compress_energy")(delta, "energy"_a = s.energy, "max_rank"_a = cap);
  }
  if (!s.rank.is_none()) return module_global("_svd_compress_rank")(delta, s.rank);
  if (!s.rank_ratio.is_none()) {
    return module_global("compress")(delta, s.method, "rank_ratio"_a = s.rank_ratio,
                                     "max_rank"_a = s.max_rank);
  }
  return module_global("compress")(delta, s.method, "max_rank"_a = s.max_rank);
}

// The record of one tuned tensor: its delta from the base tensor (the tuned tensor itself
// where the base has none), taken in the arrays' own types, made float32 and compressed.
py::Obj delta_record_of(const Settings& s, const py::Obj& base_w, const py::Obj& w,
                        const py::Obj& float32) {
  if (s.exact) return exact_record(base_w ? base_w : py::none(), w);
  // The only full-size array alive here: dropped once compressed.
  py::Obj delta = float32_delta(w, base_w, float32);
  if (s.low_bits() && w.attr("ndim") >= 2) {
    return lowbit_record(delta, s.bits, compress_delta(s, w, delta));
  }
  return compress_delta(s, w, delta);
}

py::Obj delta_record(const py::Obj& base, const py::Obj& tuned, const py::Obj& settings) {
  return delta_record_of(Settings(settings), base.is_none() ? py::Obj() : base, tuned,
                         bridge::np().attr("float32"));
}

// The square sums of (rebuilt - delta) and of delta, in float64, for the stored error.
core::SquareSums record_error(const py::Obj& record, const py::Obj& delta) {
  if (record.attr("method").is(module_global("CompressionMethod").attr("NONE"))) {
    return {0.0, square_sums(delta, delta).ref};
  }
  if (const auto sums = low_rank_error(record, delta)) return *sums;
  if (is_codec_record(record)) return square_sums(apply_codec(py::none(), record), delta);
  return square_sums(module_global("decompress")(record), delta);
}

// What a saved library keeps of one tuned tensor: the record (stored without loss when the
// compressed form would take more bytes than the float32 delta), the relative Frobenius
// error of the delta it rebuilds, and the delta's Frobenius norm (errors of several tensors
// combine weighted by the squared norms).
py::Obj stored_delta(const py::Obj& base, const py::Obj& tuned, const py::Obj& settings) {
  const Settings s(settings);
  py::Obj delta =
      float32_delta(tuned, base.is_none() ? py::Obj() : base, bridge::np().attr("float32"));
  if (s.exact) {
    // Every bit kept: no error; the norm is the float32 delta's.
    py::Obj record = exact_record(base, tuned);
    const double norm = std::sqrt(square_sums(delta, delta).ref);
    return py::tuple({record, py::floating(0.0), py::floating(norm)});
  }
  py::Obj record = compress_delta(s, tuned, delta);
  if (s.low_bits() && tuned.attr("ndim") >= 2) record = lowbit_record(delta, s.bits, record);
  if (record.attr("compressed_size_bytes") > delta.attr("nbytes")) {
    record = module_global("compress")(delta, module_global("CompressionMethod").attr("NONE"));
  }
  const core::SquareSums sums = record_error(record, delta);
  const double error = sums.ref > 0.0    ? std::sqrt(sums.diff / sums.ref)
                       : sums.diff > 0.0 ? HUGE_VAL
                                         : 0.0;
  return py::tuple({record, py::floating(error), py::floating(std::sqrt(sums.ref))});
}

py::Obj add_finetune(const py::Obj& self, const py::Obj& model_id, const py::Obj& finetuned) {
  py::Obj base = self.attr("base");
  const Settings settings(self);
  py::Obj float32 = bridge::np().attr("float32");
  py::Obj tensors = py::dict();
  for (const py::Obj& item : finetuned.attr("items")()) {
    auto [name, w] = item.unpack<2>();
    tensors.set_item(name, delta_record_of(settings, base.get_item(name), w, float32));
  }
  py::Obj record = py::Obj::borrow(state().delta_cls)(model_id, tensors, self.attr("base_id"));
  self.attr("deltas").set_item(model_id, record);
  return record;
}

// True when no object but `dense` (held once, by the caller) can reach its memory: a fresh
// array, or a view of an array that only this view holds.
bool exclusively_owned(const py::Obj& dense) {
  if (dense.refcount() != 1 || !is_ndarray(dense.get())) return false;
  py::Obj owner = dense.attr("base");
  if (owner.is_none()) return true;
  // References to the owner: the view's and the handle just taken.
  return is_ndarray(owner.get()) && owner.refcount() == 2 && owner.attr("base").is_none();
}

// base + dense. A decompressed delta that nothing else can see, of the base's element type
// and shape, receives the sum itself (numpy's addition with out=): the same values without a
// second full-size array per tensor.
py::Obj add_base(const py::Obj& base, const py::Obj& dense) {
  if (is_ndarray(base.get()) && exclusively_owned(dense)) {
    bool writable;
    {
      View view;
      writable = view.acquire(dense.get(), "fd", true);
    }
    if (writable && base.attr("dtype") == dense.attr("dtype") &&
        base.attr("shape") == dense.attr("shape")) {
      return bridge::np().attr("add")(base, dense, "out"_a = dense);
    }
  }
  return base + dense;
}

// A tuned tensor rebuilt from its record: the base tensor plus the decompressed delta (the
// decompressed tensor itself where the base has none).
py::Obj apply_delta(const py::Obj& base, const py::Obj& record) {
  if (is_codec_record(record)) return apply_codec(base, record);
  py::Obj dense = module_global("decompress")(record);
  return base.is_none() ? dense : add_base(base, dense);
}

py::Obj reconstruct(const py::Obj& self, const py::Obj& model_id) {
  py::Obj record = self.attr("deltas").item(model_id);
  py::Obj base = self.attr("base");
  py::Obj out = py::dict();
  for (const py::Obj& item : record.attr("tensors").attr("items")()) {
    auto [name, ct] = item.unpack<2>();
    out.set_item(name, apply_delta(base.get(name, py::none()), ct));
  }
  return out;
}

// ---- reconstruction error ----------------------------------------------------------------

// astype(float32, copy=False), skipped for an array that already is contiguous float32.
py::Obj as_float32(const py::Obj& v, const py::Obj& float32) {
  if (is_ndarray(v.get())) {
    View view;
    if (view.acquire(v.get(), "f")) return v;
  }
  return bridge::astype_nocopy(v, float32);
}

// Sum of squares in float64 of a float32 array, as numpy.sum(v * v, dtype=float64).
double numpy_square_sum(const py::Obj& v) {
  return (v * v).attr("sum")("dtype"_a = bridge::np().attr("float64")).as_double();
}

// The sums of squares of x - y and of y, natively for contiguous float32 arrays of one shape.
core::SquareSums square_sums(const py::Obj& x, const py::Obj& y) {
  View vx, vy;
  if (vx.acquire(x.get(), "f") && vy.acquire(y.get(), "f") && same_shape(vx, vy)) {
    const std::int64_t n = vx.size();
    if (n < kNoGilThreshold)
      return core::difference_square_sums(vx.data<float>(), vy.data<float>(), n);
    bridge::NoGil nogil;
    return core::difference_square_sums(vx.data<float>(), vy.data<float>(), n);
  }
  // Broadcasting shapes or strided views: numpy's own arithmetic.
  return {numpy_square_sum(x - y), numpy_square_sum(y)};
}

double reconstruction_error(const py::Obj& a, const py::Obj& b) {
  py::Obj float32 = bridge::np().attr("float32");
  double num = 0.0, den = 0.0;
  for (const py::Obj& item : a.attr("items")()) {
    auto [name, value] = item.unpack<2>();
    const core::SquareSums s =
        square_sums(as_float32(value, float32), as_float32(b.item(name), float32));
    num += s.diff;
    den += s.ref;
  }
  return std::sqrt(num) / (std::sqrt(den) + 1e-12);
}

// ---- declarations -------------------------------------------------------------------------

const auto kNbytes = def<&nbytes>("_nbytes",
                                  "Logical byte size of a state dict: element count times "
                                  "element size, summed over its arrays.",
                                  kStateDictArg)
                         .returns("int");

const auto kDeltaRecord =
    def<&delta_record>(
        "_delta_record",
        "The compressed record of one tuned tensor's delta from its base tensor (None: the "
        "tuned tensor itself), as a library with these settings stores it.\n\n"
        "`settings` carries `method`, `max_rank`, `energy` and optionally `rank_ratio` and "
        "`rank` (a fixed SVD rank: min(rank, m, n) on every matrix); the delta is taken in the "
        "arrays' own types and made float32; tensors of fewer than two dimensions are stored "
        "without loss.",
        arg<Any>("base", "np.ndarray | None"), arg<Any>("tuned", "np.ndarray"),
        arg<Any>("settings"))
        .returns("CompressedTensor");

const auto kStoredDelta =
    def<&stored_delta>(
        "_stored_delta",
        "What a saved library keeps of one tuned tensor: (record, relative error, delta norm).\n\n"
        "The record is _delta_record's, or the float32 delta stored without loss when that "
        "would take fewer bytes; the relative Frobenius error is that of the delta the record "
        "rebuilds (accumulated in float64), the norm the delta's Frobenius norm.",
        arg<Any>("base", "np.ndarray | None"), arg<Any>("tuned", "np.ndarray"),
        arg<Any>("settings"))
        .returns("tuple[CompressedTensor, float, float]");

const auto kApplyDelta =
    def<&apply_delta>("_apply_delta",
                      "A tuned tensor rebuilt from its record: the base tensor plus the "
                      "decompressed delta (the decompressed tensor itself where base is None).",
                      arg<Any>("base", "np.ndarray | None"), arg<Any>("record", "CompressedTensor"))
        .returns("np.ndarray");

const auto kReconstructionError =
    def<&reconstruction_error>(
        "reconstruction_error",
        "Relative Frobenius error ||a - b|| / ||b|| over all tensors of `a` together.\n\n"
        "Each tensor is compared in float32 and its sums of squares are accumulated in "
        "float64; names that only `b` has are ignored.",
        arg<Dict>("a", kStateDict), arg<Dict>("b", kStateDict))
        .returns("float");

const auto kDeltaStoredBytes =
    method<&delta_stored_bytes>(
        "CompressedDelta.stored_bytes",
        "Bytes stored for this fine-tune: the sum of its compressed tensors' sizes.")
        .returns("int");

const auto kAddFinetune =
    method<&add_finetune>(
        "ModelLibrary.add_finetune",
        "Compress a fine-tune's per-tensor deltas from the base and store them under model_id.\n\n"
        "Tensors of fewer than two dimensions are stored without loss; the others go through the "
        "energy-based truncated SVD when `energy` is set, else through `method`. Nothing is "
        "stored if any tensor fails.",
        arg<Str>("model_id"), arg<Dict>("finetuned", kStateDict))
        .returns("CompressedDelta");

const auto kReconstruct =
    method<&reconstruct>("ModelLibrary.reconstruct",
                         "Rebuild a stored fine-tune: base plus decompressed delta per tensor.",
                         arg<Str>("model_id"))
        .returns(kStateDict);

const auto kBaseBytes =
    method<&base_bytes>("ModelLibrary.base_bytes", "Logical byte size of the base model.")
        .returns("int");

const auto kNaiveBytes = method<&naive_bytes>("ModelLibrary.naive_bytes",
                                              "Bytes needed to keep every given fine-tune in full.",
                                              arg<Dict>("finetunes", kFinetunes))
                             .returns("int");

const auto kLibraryStoredBytes =
    method<&library_stored_bytes>("ModelLibrary.stored_bytes",
                                  "Bytes the library holds: the base plus every stored delta.")
        .returns("int");

const auto kSummary = method<&summary>("ModelLibrary.summary",
                                       "Byte accounting of the library against keeping the given "
                                       "fine-tunes in full.",
                                       arg<Dict>("finetunes", kFinetunes))
                          .returns("dict");

void body(bridge::ModuleBuilder& b) {
  b.from_import("dataclasses", "dataclass");
  b.from_import("dataclasses", "field");
  b.import("numpy", "np");
  for (const char* name : {"CompressedTensor", "CompressionMethod", "compress", "decompress",
                           "svd_compress_energy", "_svd_compress_rank"}) {
    b.from_import("velmora_dryx.kestrine", name);
  }
  b.function(&kNbytes);

  using bridge::Field;
  py::Obj delta = bridge::make_dataclass(
      b, "CompressedDelta", "One fine-tune stored as compressed per-tensor deltas from the base.",
      {Field{"model_id", "str"}, Field{"tensors", "dict[str, CompressedTensor]"},
       Field{"base_id", "str"}},
      {{"stored_bytes", b.method(&kDeltaStoredBytes)}}, {});
  b.set("CompressedDelta", delta);
  state().delta_cls = py::Obj(delta).release();

  py::Obj library = bridge::make_dataclass(
      b, "ModelLibrary", "One base model + many compressed fine-tune deltas.",
      {Field{"base_id", "str"}, Field{"base", kStateDict},
       Field{"deltas", "dict[str, CompressedDelta]", Field::EmptyDict},
       Field{"method", "CompressionMethod", Field::Value,
             b.get("CompressionMethod").attr("TENSOR_TRAIN")},
       Field{"max_rank", "int", Field::Value, py::integer(core::kDefaultMaxRank)},
       Field{"energy", "float | None", Field::Value, py::none()}},
      {{"add_finetune", b.method(&kAddFinetune)},
       {"reconstruct", b.method(&kReconstruct)},
       {"base_bytes", b.method(&kBaseBytes)},
       {"naive_bytes", b.method(&kNaiveBytes)},
       {"stored_bytes", b.method(&kLibraryStoredBytes)},
       {"summary", b.method(&kSummary)}},
      {});
  b.set("ModelLibrary", library);

  b.function(&kReconstructionError);
  b.function(&kDeltaRecord);
  b.function(&kStoredDelta);
  b.function(&kApplyDelta);
  define_codecs(b);
}

}  // namespace

}  // namespace velmora::tamsel

VELMORA_MODULE(tamsel, velmora::tamsel)

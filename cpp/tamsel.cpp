// Module velmora_dryx.tamsel: one base model plus fine-tunes stored as compressed per-tensor
// deltas. Compression and reconstruction go through the kestrine operations bound in this
// module's namespace, looked up at each call as a Python function's globals would be.
#include <cmath>
#include <cstdint>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/errors.hpp"
#include "bridge/module.hpp"
#include "bridge/records.hpp"
#include "bridge/statements.hpp"
#include "core/elementwise.hpp"

namespace velmora::tamsel {

using bridge::Args;
using bridge::Conv;
using bridge::FunctionDef;
using bridge::Param;

namespace {

constexpr const char* kModule = "velmora_dryx.tamsel";

// Created once by the module body and kept for the process.
PyObject* g_delta_cls = nullptr;  // CompressedDelta

// Below this many elements a native pass keeps the GIL: releasing it costs more.
constexpr std::int64_t kNoGilThreshold = 1 << 15;

using bridge::module_global;

using bridge::is_ndarray;
using View = bridge::NativeArray;

bool same_shape(const View& a, const View& b) { return a.shape() == b.shape(); }

// Walks a mapping's items() in order; the dict iterator reports a size change during the
// walk with the interpreter's own RuntimeError.
class Items {
 public:
  explicit Items(const py::Obj& mapping)
      : it_(py::Obj::steal(PyObject_GetIter(mapping.attr("items")().get()))) {}
  bool next(py::Obj& key, py::Obj& value) {
    PyObject* raw = PyIter_Next(it_.get());
    if (raw == nullptr) {
      if (PyErr_Occurred()) throw py::PythonError{};
      return false;
    }
    py::Obj pair = py::Obj::steal(raw);
    if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2) {
      key = py::Obj::borrow(PyTuple_GET_ITEM(pair.get(), 0));
      value = py::Obj::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    } else {
      key = pair.item(0);
      value = pair.item(1);
    }
    return true;
  }

 private:
  py::Obj it_;
};

using bridge::check_signals;

py::Obj add(const py::Obj& a, const py::Obj& b) {
  return py::Obj::steal(PyNumber_Add(a.get(), b.get()));
}

// `name in mapping` and `mapping[name]` together: the value, or an empty handle.
py::Obj lookup(const py::Obj& mapping, const py::Obj& name) {
  if (PyDict_CheckExact(mapping.get())) {
    PyObject* v = PyDict_GetItemWithError(mapping.get(), name.get());
    if (v == nullptr && PyErr_Occurred()) throw py::PythonError{};
    return py::Obj::borrow(v);
  }
  const int in = PySequence_Contains(mapping.get(), name.get());
  if (in < 0) throw py::PythonError{};
  return in == 1 ? mapping.item(name) : py::Obj{};
}

// ---- byte accounting --------------------------------------------------------------------

const Param kStateDictParam{"sd", "dict[str, np.ndarray]", Conv::Dict};

py::Obj nbytes_of(const py::Obj& sd) {
  bridge::convert_arg(kStateDictParam, sd.get());
  py::Obj total = py::integer(0);
  py::Obj values = py::Obj::steal(PyObject_GetIter(sd.attr("values")().get()));
  while (PyObject* raw = PyIter_Next(values.get())) {
    py::Obj v = py::Obj::steal(raw);
    py::Obj count = py::Obj::steal(PyNumber_Long(v.attr("size").get()));
    py::Obj item = v.attr("dtype").attr("itemsize");
    total = add(total, py::Obj::steal(PyNumber_Multiply(count.get(), item.get())));
  }
  if (PyErr_Occurred()) throw py::PythonError{};
  return total;
}

py::Obj nbytes(const Args& a) { return nbytes_of(a.obj(0)); }

py::Obj delta_stored_bytes(const Args& a) {
  py::Obj total = py::integer(0);
  py::Obj values =
      py::Obj::steal(PyObject_GetIter(a.obj(0).attr("tensors").attr("values")().get()));
  while (PyObject* raw = PyIter_Next(values.get())) {
    py::Obj ct = py::Obj::steal(raw);
    total = add(total, ct.attr("compressed_size_bytes"));
  }
  if (PyErr_Occurred()) throw py::PythonError{};
  return total;
}

py::Obj base_bytes(const Args& a) { return nbytes_of(a.obj(0).attr("base")); }

py::Obj naive_bytes(const Args& a) {
  py::Obj total = py::integer(0);
  py::Obj values = py::Obj::steal(PyObject_GetIter(a.obj(1).attr("values")().get()));
  while (PyObject* raw = PyIter_Next(values.get())) {
    total = add(total, nbytes_of(py::Obj::steal(raw)));
  }
  if (PyErr_Occurred()) throw py::PythonError{};
  return total;
}

py::Obj library_stored_bytes(const Args& a) {
  py::Obj self = a.obj(0);
  py::Obj total = self.attr("base_bytes")();
  py::Obj values = py::Obj::steal(PyObject_GetIter(self.attr("deltas").attr("values")().get()));
  while (PyObject* raw = PyIter_Next(values.get())) {
    py::Obj delta = py::Obj::steal(raw);
    total = add(total, delta.attr("stored_bytes")());
  }
  if (PyErr_Occurred()) throw py::PythonError{};
  return total;
}

py::Obj summary(const Args& a) {
  py::Obj self = a.obj(0);
  py::Obj finetunes = a.obj(1);
  py::Obj naive = self.attr("naive_bytes")(finetunes);
  py::Obj stored = self.attr("stored_bytes")();
  py::Obj base = self.attr("base_bytes")();
  py::Obj ratio =
      stored.truthy()
          ? py::floating(py::Obj::steal(PyNumber_TrueDivide(naive.get(), stored.get())).as_double())
          : py::floating(HUGE_VAL);
  py::Obj out = py::dict();
  py::dict_set(out, "n_models", py::integer(finetunes.size()));
  py::dict_set(out, "base_bytes", base);
  py::dict_set(out, "naive_total_bytes", naive);
  py::dict_set(out, "velmora_dryx_bytes", stored);
  py::dict_set(out, "overall_ratio", ratio);
  py::dict_set(out, "delta_only_bytes",
               py::Obj::steal(PyNumber_Subtract(stored.get(), base.get())));
  return out;
}

// ---- deltas ------------------------------------------------------------------------------

template <class A, class B>
bool difference_into(const View& w, const View& b, float* out, std::int64_t n) {
  const A* pa = w.data<A>();
  const B* pb = b.data<B>();
  if (n < kNoGilThreshold) return float32_difference(pa, pb, out, n);
  bridge::NoGil nogil;
  return float32_difference(pa, pb, out, n);
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

// The float32 delta of one fine-tuned tensor; always a new array.
py::Obj float32_delta(const py::Obj& w, const py::Obj& base_w, const py::Obj& float32) {
  if (!base_w) return w.attr("astype")(float32);
  py::Obj native = native_delta(w, base_w);
  if (native) return native;
  py::Obj diff = py::Obj::steal(PyNumber_Subtract(w.get(), base_w.get()));
  return diff.attr("astype")(float32);
}

py::Obj add_finetune(const Args& a) {
  py::Obj self = a.obj(0);
  py::Obj model_id = a.obj(1);
  py::Obj finetuned = a.obj(2);
  py::Obj base = self.attr("base");
  py::Obj energy = self.attr("energy");
  py::Obj max_rank = self.attr("max_rank");
  py::Obj method = self.attr("method");
  py::Obj float32 = bridge::np().attr("float32");
  py::Obj tensors = py::dict();
  Items items(finetuned);
  py::Obj name, w;
  while (items.next(name, w)) {
    check_signals();
    py::Obj compressed;
    {
      // The only full-size array this loop keeps alive: dropped once compressed.
      py::Obj delta = float32_delta(w, lookup(base, name), float32);
      const int low = PyObject_RichCompareBool(w.attr("ndim").get(), py::integer(2).get(), Py_LT);
      if (low < 0) throw py::PythonError{};
      if (low == 1) {
        compressed =
            module_global("compress")(delta, module_global("CompressionMethod").attr("NONE"));
      } else if (!energy.is_none()) {
        py::Obj cap = max_rank.truthy() ? max_rank : py::none();
        compressed = module_global("svd_compress_energy")
                         .call({delta}, {{"energy", energy}, {"max_rank", cap}});
      } else {
        compressed = module_global("compress").call({delta, method}, {{"max_rank", max_rank}});
      }
    }
    if (PyDict_SetItem(tensors.get(), name.get(), compressed.get()) < 0) throw py::PythonError{};
  }
  py::Obj record = py::Obj::borrow(g_delta_cls)(model_id, tensors, self.attr("base_id"));
  if (PyObject_SetItem(self.attr("deltas").get(), model_id.get(), record.get()) < 0) {
    throw py::PythonError{};
  }
  return record;
}

// True when no object but `dense` (held once, by the caller) can reach its memory: a fresh
// array, or a view of an array that only this view holds.
bool exclusively_owned(const py::Obj& dense) {
  if (Py_REFCNT(dense.get()) != 1 || !is_ndarray(dense.get())) return false;
  py::Obj owner = dense.attr("base");
  if (owner.is_none()) return true;
  // References to the owner: the view's and the handle just taken.
  return is_ndarray(owner.get()) && Py_REFCNT(owner.get()) == 2 && owner.attr("base").is_none();
}

bool same_attr(const py::Obj& a, const py::Obj& b, const char* name) {
  const int eq = PyObject_RichCompareBool(a.attr(name).get(), b.attr(name).get(), Py_EQ);
  if (eq < 0) throw py::PythonError{};
  return eq == 1;
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
    if (writable && same_attr(base, dense, "dtype") && same_attr(base, dense, "shape")) {
      return bridge::np().attr("add").call({base, dense}, {{"out", dense}});
    }
  }
  return add(base, dense);
}

py::Obj reconstruct(const Args& a) {
  py::Obj self = a.obj(0);
  py::Obj record = self.attr("deltas").item(a.obj(1));
  py::Obj base = self.attr("base");
  py::Obj out = py::dict();
  Items items(record.attr("tensors"));
  py::Obj name, ct;
  while (items.next(name, ct)) {
    check_signals();
    py::Obj dense = module_global("decompress")(ct);
    py::Obj b = PyDict_CheckExact(base.get()) ? lookup(base, name) : base.attr("get")(name);
    py::Obj value = (!b || b.is_none()) ? dense : add_base(b, dense);
    if (PyDict_SetItem(out.get(), name.get(), value.get()) < 0) throw py::PythonError{};
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
double numpy_square_sum(const py::Obj& v, const py::Obj& float64) {
  py::Obj sq = py::Obj::steal(PyNumber_Multiply(v.get(), v.get()));
  return sq.attr("sum").call({}, {{"dtype", float64}}).as_double();
}

py::Obj reconstruction_error(const Args& a) {
  py::Obj b = a.obj(1);
  py::Obj float32 = bridge::np().attr("float32");
  double num = 0.0, den = 0.0;
  Items items(a.obj(0));
  py::Obj name, value;
  while (items.next(name, value)) {
    check_signals();
    py::Obj x = as_float32(value, float32);
    py::Obj y = as_float32(b.item(name), float32);
    View vx, vy;
    if (vx.acquire(x.get(), "f") && vy.acquire(y.get(), "f") && same_shape(vx, vy)) {
      const std::int64_t n = vx.size();
      SquareSums s;
      if (n >= kNoGilThreshold) {
        bridge::NoGil nogil;
        s = difference_square_sums(vx.data<float>(), vy.data<float>(), n);
      } else {
        s = difference_square_sums(vx.data<float>(), vy.data<float>(), n);
      }
      num += s.diff;
      den += s.ref;
      continue;
    }
    // Broadcasting shapes or strided views: numpy's own arithmetic.
    py::Obj float64 = bridge::np().attr("float64");
    py::Obj d = py::Obj::steal(PyNumber_Subtract(x.get(), y.get()));
    num += numpy_square_sum(d, float64);
    den += numpy_square_sum(y, float64);
  }
  return py::floating(std::sqrt(num) / (std::sqrt(den) + 1e-12));
}

// ---- tables ------------------------------------------------------------------------------

constexpr const char* kStateDict = "dict[str, np.ndarray]";
constexpr const char* kFinetunes = "dict[str, dict[str, np.ndarray]]";

const FunctionDef kNbytes{"_nbytes",
                          "_nbytes",
                          "Logical byte size of a state dict: element count times element size, "
                          "summed over its arrays.",
                          {kStateDictParam},
                          "int",
                          nbytes};

const FunctionDef kReconstructionError{
    "reconstruction_error",
    "reconstruction_error",
    "Relative Frobenius error ||a - b|| / ||b|| over all tensors of `a` together.\n\n"
    "Each tensor is compared in float32 and its sums of squares are accumulated in float64; "
    "names that only `b` has are ignored.",
    {Param{"a", kStateDict, Conv::Dict}, Param{"b", kStateDict, Conv::Dict}},
    "float",
    reconstruction_error};

const FunctionDef kDeltaStoredBytes{
    "stored_bytes",
    "CompressedDelta.stored_bytes",
    "Bytes stored for this fine-tune: the sum of its compressed tensors' sizes.",
    {Param{"self", nullptr}},
    "int",
    delta_stored_bytes};

const FunctionDef kAddFinetune{
    "add_finetune",
    "ModelLibrary.add_finetune",
    "Compress a fine-tune's per-tensor deltas from the base and store them under model_id.\n\n"
    "Tensors of fewer than two dimensions are stored without loss; the others go through the "
    "energy-based truncated SVD when `energy` is set, else through `method`. Nothing is "
    "stored if any tensor fails.",
    {Param{"self", nullptr}, Param{"model_id", "str", Conv::Str},
     Param{"finetuned", kStateDict, Conv::Dict}},
    "CompressedDelta",
    add_finetune};

const FunctionDef kReconstruct{
    "reconstruct",
    "ModelLibrary.reconstruct",
    "Rebuild a stored fine-tune: base plus decompressed delta per tensor.",
    {Param{"self", nullptr}, Param{"model_id", "str", Conv::Str}},
    kStateDict,
    reconstruct};

const FunctionDef kBaseBytes{"base_bytes",
                             "ModelLibrary.base_bytes",
                             "Logical byte size of the base model.",
                             {Param{"self", nullptr}},
                             "int",
                             base_bytes};

const FunctionDef kNaiveBytes{"naive_bytes",
                              "ModelLibrary.naive_bytes",
                              "Bytes needed to keep every given fine-tune in full.",
                              {Param{"self", nullptr}, Param{"finetunes", kFinetunes, Conv::Dict}},
                              "int",
                              naive_bytes};

const FunctionDef kLibraryStoredBytes{"stored_bytes",
                                      "ModelLibrary.stored_bytes",
                                      "Bytes the library holds: the base plus every stored delta.",
                                      {Param{"self", nullptr}},
                                      "int",
                                      library_stored_bytes};

const FunctionDef kSummary{"summary",
                           "ModelLibrary.summary",
                           "Byte accounting of the library against keeping the given fine-tunes "
                           "in full.",
                           {Param{"self", nullptr}, Param{"finetunes", kFinetunes, Conv::Dict}},
                           "dict",
                           summary};

py::Obj method_of(bridge::ModuleBuilder& b, const FunctionDef* def) {
  return bridge::make_function(def, kModule, b.globals());
}

void body(bridge::ModuleBuilder& b) {
  b.from_import("dataclasses", "dataclass");
  b.from_import("dataclasses", "field");
  b.import("numpy", "np");
  for (const char* name :
       {"CompressedTensor", "CompressionMethod", "compress", "decompress", "svd_compress_energy"}) {
    b.from_import("velmora_dryx.kestrine", name);
  }
  b.function(&kNbytes);

  using bridge::Field;
  py::Obj delta = bridge::make_dataclass(
      b, "CompressedDelta", "One fine-tune stored as compressed per-tensor deltas from the base.",
      {Field{"model_id", "str"}, Field{"tensors", "dict[str, CompressedTensor]"},
       Field{"base_id", "str"}},
      {{"stored_bytes", method_of(b, &kDeltaStoredBytes)}}, {});
  b.set("CompressedDelta", delta);
  g_delta_cls = py::Obj(delta).release();

  py::Obj library = bridge::make_dataclass(
      b, "ModelLibrary", "One base model + many compressed fine-tune deltas.",
      {Field{"base_id", "str"}, Field{"base", kStateDict},
       Field{"deltas", "dict[str, CompressedDelta]", Field::EmptyDict},
       Field{"method", "CompressionMethod", Field::Value,
             b.get("CompressionMethod").attr("TENSOR_TRAIN")},
       Field{"max_rank", "int", Field::Value, py::integer(8)},
       Field{"energy", "float | None", Field::Value, py::none()}},
      {{"add_finetune", method_of(b, &kAddFinetune)},
       {"reconstruct", method_of(b, &kReconstruct)},
       {"base_bytes", method_of(b, &kBaseBytes)},
       {"naive_bytes", method_of(b, &kNaiveBytes)},
       {"stored_bytes", method_of(b, &kLibraryStoredBytes)},
       {"summary", method_of(b, &kSummary)}},
      {});
  b.set("ModelLibrary", library);

  b.function(&kReconstructionError);
}

}  // namespace

}  // namespace velmora::tamsel

VELMORA_MODULE(tamsel, "velmora_dryx.tamsel",
               "Model library: one base model plus fine-tunes stored as compressed per-tensor "
               "deltas, their reconstruction, byte accounting and reconstruction error.",
               velmora::tamsel::body)

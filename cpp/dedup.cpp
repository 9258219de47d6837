// Module velmora_dryx.dedup: a content-addressed block store that measures how much the
// tensors of many tenants share.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/errors.hpp"
#include "bridge/module.hpp"
#include "bridge/records.hpp"
#include "bridge/statements.hpp"
#include "core/sha256.hpp"

namespace velmora::dedup {

using bridge::Conv;
using bridge::FunctionDef;
using bridge::Param;

namespace {

constexpr const char* kModule = "velmora_dryx.dedup";

constexpr const char* kModuleDoc =
    "Content-addressed weight deduplication across tenants.\n\n"
    "Every tensor a tenant adds is cut into fixed-size blocks; each block is named by the\n"
    "SHA-256 digest of its bytes and kept once, however many tenants refer to it. A base\n"
    "model shared by many fine-tunes is therefore paid for once; only blocks that really\n"
    "differ (a tenant's delta or adapter) add to the deduplicated total.\n\n"
    "    naive bytes        = the sum over tenants of all their block bytes\n"
    "    deduplicated bytes = the bytes of the set of unique blocks\n";

// ---------------------------------------------------------------------------------------
// Block cutting: the lazy iterator behind _blocks.

// The interpreter's own wording for a zero step, kept so that callers see what range() says.
constexpr const char* kZeroStep = "range() arg 3 must not be zero";

[[noreturn]] void raise_bad_step(PyObject* block) {
  if (PyObject_RichCompareBool(block, py::integer(0).get(), Py_EQ) == 1)
    bridge::raise_value_error(kZeroStep);
  if (PyErr_Occurred()) throw py::PythonError{};
  bridge::raise_value_error("block size must be positive, got " + py::text(py::Obj::borrow(block)));
}

// The step of a converted block size, clamped to the largest slice length; 0 when the
// size is zero or negative (the caller raises at the first block).
Py_ssize_t step_of(PyObject* block) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(block, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::PythonError{};
  if (overflow > 0) return PY_SSIZE_T_MAX;
  if (overflow < 0 || v <= 0) return 0;
  return static_cast<Py_ssize_t>(std::min<long long>(v, PY_SSIZE_T_MAX));
}

enum class GenState : std::uint8_t { Created, Suspended, Finished };

struct BlockGen {
  PyObject_HEAD PyObject* buf;  // the memoryview; cleared once finished
  PyObject* block;              // the converted block size (an int)
  Py_ssize_t step;
  Py_ssize_t off;
  Py_ssize_t n;
  GenState state;
  bool running;
};

PyTypeObject* g_gen_type = nullptr;

void gen_finish(BlockGen* g) {
  g->state = GenState::Finished;
  Py_CLEAR(g->buf);
}

// One step of the generator: the next block, or nullptr with no error when exhausted.
PyObject* gen_step(BlockGen* g) {
  if (g->state == GenState::Finished) return nullptr;
  if (g->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  g->running = true;
  PyObject* r = bridge::guarded([&]() -> PyObject* {
    if (g->state == GenState::Created) {
      g->state = GenState::Suspended;
      g->n = py::Obj::borrow(g->buf).size();
      if (g->step == 0) raise_bad_step(g->block);
      g->off = 0;
    }
    if (g->off >= g->n) return nullptr;
    const Py_ssize_t stop = g->off > PY_SSIZE_T_MAX - g->step ? PY_SSIZE_T_MAX : g->off + g->step;
    PyObject* blk = PySequence_GetSlice(g->buf, g->off, stop);
    if (blk == nullptr) throw py::PythonError{};
    g->off = stop;
    return blk;
  });
  g->running = false;
  if (r == nullptr) gen_finish(g);
  return r;
}

PyObject* gen_iternext(PyObject* self) { return gen_step(reinterpret_cast<BlockGen*>(self)); }

PyObject* gen_send(PyObject* self, PyObject* value) {
  auto* g = reinterpret_cast<BlockGen*>(self);
  if (g->state == GenState::Created && value != Py_None && !g->running) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  PyObject* r = gen_step(g);
  if (r == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

// A StopIteration leaving a generator body becomes RuntimeError, chained to it.
void replace_stop_iteration() {
  bridge::Raised stop;
  if (stop.get() == nullptr) return;
  PyObject* err = PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration");
  if (err == nullptr) return;
  PyException_SetContext(err, Py_NewRef(stop.get()));
  PyException_SetCause(err, Py_NewRef(stop.get()));
  PyErr_SetObject(PyExc_RuntimeError, err);
  Py_DECREF(err);
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  auto* g = reinterpret_cast<BlockGen*>(self);
  if (nargs < 1 || nargs > 3) {
    if (nargs < 1)
      PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    else
      PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
#if PY_VERSION_HEX >= 0x030C0000
  if (nargs > 1 &&
      PyErr_WarnEx(PyExc_DeprecationWarning,
                   "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                   "signature instead.",
                   1) < 0)
    return nullptr;
#endif
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : Py_None;
  PyObject* tb = nargs > 2 ? args[2] : Py_None;
  if (tb == Py_None) {
    tb = nullptr;
  } else if (!PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  if (g->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  Py_INCREF(typ);
  Py_XINCREF(tb);
  if (PyExceptionClass_Check(typ)) {
    Py_INCREF(val);
    PyErr_NormalizeException(&typ, &val, &tb);
  } else if (PyExceptionInstance_Check(typ)) {
    if (val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      Py_DECREF(typ);
      Py_XDECREF(tb);
      return nullptr;
    }
    val = typ;
    typ = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(val)));
    if (tb == nullptr) tb = PyException_GetTraceback(val);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    Py_DECREF(typ);
    Py_XDECREF(tb);
    return nullptr;
  }
  PyErr_Restore(typ, val, tb);
  // Raised where the body stands: it catches nothing, so the exception leaves the
  // generator and finishes it. A finished generator just raises it.
  // From 3.12 on, an exception thrown into a generator that has not started is not
  // seen by the body's StopIteration guard.
  const bool guarded_body = g->state == GenState::Suspended ||
                            (g->state == GenState::Created && PY_VERSION_HEX < 0x030C0000);
  if (g->state != GenState::Finished) gen_finish(g);
  if (guarded_body && PyErr_ExceptionMatches(PyExc_StopIteration)) replace_stop_iteration();
  return nullptr;
}

PyObject* gen_close(PyObject* self, PyObject*) {
  auto* g = reinterpret_cast<BlockGen*>(self);
  if (g->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  gen_finish(g);
  Py_RETURN_NONE;
}

PyObject* gen_get_running(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<BlockGen*>(self)->running);
}
PyObject* gen_get_suspended(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<BlockGen*>(self)->state == GenState::Suspended);
}
PyObject* gen_get_name(PyObject*, void*) { return PyUnicode_FromString("_blocks"); }

PyObject* gen_repr(PyObject* self) {
  return PyUnicode_FromFormat("<generator object _blocks at %p>", self);
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* g = reinterpret_cast<BlockGen*>(self);
  Py_VISIT(g->buf);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int gen_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<BlockGen*>(self)->buf);
  return 0;
}

void gen_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<BlockGen*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(g->buf);
  Py_CLEAR(g->block);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next "
     "yielded value or raise\nStopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", gen_get_suspended, nullptr, nullptr, nullptr},
    {"__name__", gen_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", gen_get_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, gen_getset},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "velmora_dryx.dedup.block_generator",
    sizeof(BlockGen),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

py::Obj blocks(const bridge::Args& a) {
  auto* g = PyObject_GC_New(BlockGen, g_gen_type);
  if (g == nullptr) throw py::PythonError{};
  g->buf = Py_NewRef(a[0]);
  g->block = Py_NewRef(a[1]);
  g->step = 0;
  g->off = 0;
  g->n = 0;
  g->state = GenState::Created;
  g->running = false;
  py::Obj gen = py::Obj::steal(reinterpret_cast<PyObject*>(g));
  PyObject_GC_Track(g);
  g->step = step_of(a[1]);
  return gen;
}

const FunctionDef kBlocks{
    "_blocks",
    "_blocks",
    "Yield fixed-size byte blocks (last may be short).",
    {Param{"buf", "memoryview", Conv::MemoryView}, Param{"block", "int", Conv::Int}},
    nullptr,
    blocks};

// ---------------------------------------------------------------------------------------
// The store.

PyObject* g_add_tensor_bytes = nullptr;  // the native method, to tell it from overrides

// dict.setdefault(key, []) on a tenant map of any type.
py::Obj setdefault_list(const py::Obj& map, PyObject* key) {
  py::Obj fresh = py::list();
  if (PyDict_CheckExact(map.get())) {
    PyObject* r = PyDict_SetDefault(map.get(), key, fresh.get());
    if (r == nullptr) throw py::PythonError{};
    return py::Obj::borrow(r);
  }
  return map.attr("setdefault")(py::Obj::borrow(key), fresh);
}

// The bookkeeping of one block, in the order the store documents: the digest's length
// when first seen, the tenant's reference, then the tenant's byte total.
class Recorder {
 public:
  Recorder(const py::Obj& self, PyObject* tenant, py::Obj refs, Py_ssize_t step)
      : unique_(self.attr("unique")),
        totals_(self.attr("_tenant_bytes")),
        refs_(std::move(refs)),
        tenant_(tenant),
        full_len_(py::integer(step)),
        step_(step) {}

  void record(const sha256::Digest& d, Py_ssize_t len) {
    py::Obj h = py::Obj::steal(PyUnicode_New(64, 127));
    sha256::to_hex(d, static_cast<char*>(PyUnicode_DATA(h.get())));
    py::Obj n = len == step_ ? full_len_ : py::integer(len);
    if (PyDict_CheckExact(unique_.get())) {
      if (PyDict_SetDefault(unique_.get(), h.get(), n.get()) == nullptr) throw py::PythonError{};
    } else {
      int has = PySequence_Contains(unique_.get(), h.get());
      if (has < 0) throw py::PythonError{};
      if (has == 0 && PyObject_SetItem(unique_.get(), h.get(), n.get()) < 0)
        throw py::PythonError{};
    }
    if (PyList_CheckExact(refs_.get())) {
      if (PyList_Append(refs_.get(), h.get()) < 0) throw py::PythonError{};
    } else {
      refs_.attr("append")(h);
    }
    py::Obj old;
    if (PyDict_CheckExact(totals_.get())) {
      PyObject* o = PyDict_GetItemWithError(totals_.get(), tenant_);
      if (o == nullptr && PyErr_Occurred()) throw py::PythonError{};
      old = o != nullptr ? py::Obj::borrow(o) : py::integer(0);
    } else {
      old = totals_.attr("get")(py::Obj::borrow(tenant_), py::integer(0));
    }
    py::Obj total = py::Obj::steal(PyNumber_Add(old.get(), n.get()));
    if (PyObject_SetItem(totals_.get(), tenant_, total.get()) < 0) throw py::PythonError{};
  }

 private:
  py::Obj unique_, totals_, refs_;
  PyObject* tenant_;
  py::Obj full_len_;
  Py_ssize_t step_;
};

// Hashes are computed in batches with the GIL released, then recorded with it held.
constexpr std::size_t kBatchBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxBatchBlocks = 4096;
constexpr std::size_t kNoGilBytes = std::size_t{64} << 10;

// The body shared by add_tensor_bytes and add_state_dict: `data` holds `len` bytes that
// stay valid and unchanged (bytes, or a held array buffer) for the whole call.
void add_bytes(const py::Obj& self, PyObject* tenant, const char* data, Py_ssize_t len) {
  py::Obj refs = setdefault_list(self.attr("tenants"), tenant);
  static const Param kBlockParam{"block", "int", Conv::Int};
  py::Obj block = bridge::convert_arg(kBlockParam, self.attr("block_size").get());
  const Py_ssize_t step = step_of(block.get());
  if (step == 0) raise_bad_step(block.get());
  if (len == 0) return;

  Recorder rec(self, tenant, std::move(refs), step);
  const auto total = static_cast<std::size_t>(len);
  const auto ustep = static_cast<std::size_t>(step);
  const std::size_t per_batch = std::clamp<std::size_t>(kBatchBytes / ustep, 1, kMaxBatchBlocks);
  std::vector<sha256::Digest> digests(per_batch);
  std::vector<const void*> starts(per_batch);
  for (std::size_t off = 0; off < total;) {
    // Every block is `ustep` long except the buffer's last, which may be short.
    const std::size_t full = std::min(per_batch, (total - off) / ustep);
    const std::size_t end = full > 0 ? off + full * ustep : total;
    for (std::size_t i = 0; i < full; ++i) starts[i] = data + off + i * ustep;
    auto hash_batch = [&] {
      if (full > 0) {
        sha256::hash_many(starts.data(), full, ustep, digests.data());
      } else {
        digests[0] = sha256::hash(data + off, total - off);
      }
    };
    if (end - off >= kNoGilBytes) {
      bridge::NoGil nogil;
      hash_batch();
    } else {
      hash_batch();
    }
    if (full > 0) {
      for (std::size_t i = 0; i < full; ++i) rec.record(digests[i], step);
    } else {
      rec.record(digests[0], static_cast<Py_ssize_t>(total - off));
    }
    off = end;
    if (off < total) bridge::check_signals();
  }
}

py::Obj add_tensor_bytes(const bridge::Args& a) {
  py::Obj data = a.obj(2);
  add_bytes(a.obj(0), a[1], PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()));
  return py::none();
}

// True when `method` is the store's own add_tensor_bytes bound to `self`.
bool is_native_add(const py::Obj& method, const py::Obj& self) {
  return PyMethod_Check(method.get()) &&
         PyMethod_GET_FUNCTION(method.get()) == g_add_tensor_bytes &&
         PyMethod_GET_SELF(method.get()) == self.get();
}

// A held C-contiguous byte view of an exact numpy array, or false (no error pending).
class ArrayBytes {
 public:
  ArrayBytes() = default;
  ArrayBytes(const ArrayBytes&) = delete;
  ArrayBytes& operator=(const ArrayBytes&) = delete;
  ~ArrayBytes() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* arr) {
    PyObject* ndarray = PyObject_GetAttrString(bridge::np().get(), "ndarray");
    if (ndarray == nullptr) throw py::PythonError{};
    const bool exact = reinterpret_cast<PyObject*>(Py_TYPE(arr)) == ndarray;
    Py_DECREF(ndarray);
    if (!exact) return false;
    if (PyObject_GetBuffer(arr, &view_, PyBUF_C_CONTIGUOUS) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return PyBuffer_IsContiguous(&view_, 'C') != 0;
  }
  const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
  Py_ssize_t size() const noexcept { return view_.len; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

py::Obj add_state_dict(const bridge::Args& a) {
  py::Obj self = a.obj(0);
  PyObject* tenant = a[1];
  py::Obj sd = a.obj(2);
  py::Obj names = py::Obj::steal(PyDict_Keys(sd.get()));
  if (PyList_Sort(names.get()) < 0) throw py::PythonError{};
  py::Obj ascontiguous = bridge::np().attr("ascontiguousarray");
  const Py_ssize_t count = PyList_GET_SIZE(names.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::Obj arr = ascontiguous(sd.item(py::Obj::borrow(PyList_GET_ITEM(names.get(), i))));
    py::Obj method = self.attr("add_tensor_bytes");
    // The store's own method reads the array's bytes in place: the same bytes tobytes()
    // would copy out. An override gets the bytes object it is documented to receive.
    ArrayBytes view;
    if (is_native_add(method, self) && view.acquire(arr.get())) {
      add_bytes(self, tenant, view.data(), view.size());
    } else {
      method(py::Obj::borrow(tenant), arr.attr("tobytes")());
    }
    bridge::check_signals();
  }
  return py::none();
}

// sum(values) as an int: natively while every value is an exact int and the running
// total fits, otherwise through the interpreter's sum() and int().
py::Obj sum_values(const py::Obj& map) {
  if (PyDict_CheckExact(map.get())) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    long long total = 0;
    bool native = true;
    while (native && PyDict_Next(map.get(), &pos, &key, &value)) {
      int overflow = 0;
      const long long v =
          PyLong_CheckExact(value) ? PyLong_AsLongLongAndOverflow(value, &overflow) : 0;
      native =
          PyLong_CheckExact(value) && overflow == 0 && !__builtin_add_overflow(total, v, &total);
    }
    if (native) return py::integer(total);
  }
  py::Obj builtins = py::Obj::steal(PyImport_ImportModule("builtins"));
  py::Obj total = builtins.attr("sum")(map.attr("values")());
  if (PyLong_CheckExact(total.get())) return total;
  return py::Obj::steal(PyNumber_Long(total.get()));
}

py::Obj naive_bytes(const bridge::Args& a) { return sum_values(a.obj(0).attr("_tenant_bytes")); }

py::Obj deduped_bytes(const bridge::Args& a) { return sum_values(a.obj(0).attr("unique")); }

py::Obj call_method(const py::Obj& self, const char* name) { return self.attr(name)(); }

py::Obj as_float(const py::Obj& o) {
  if (PyFloat_CheckExact(o.get())) return o;
  return py::floating(o.as_double());
}

py::Obj dedup_ratio(const bridge::Args& a) {
  py::Obj self = a.obj(0);
  py::Obj d = call_method(self, "deduped_bytes");
  if (!d.truthy()) return py::floating(1.0);
  py::Obj naive = call_method(self, "naive_bytes");
  return as_float(py::Obj::steal(PyNumber_TrueDivide(naive.get(), d.get())));
}

py::Obj shared_fraction(const bridge::Args& a) {
  py::Obj self = a.obj(0);
  py::Obj naive = call_method(self, "naive_bytes");
  const int zero = PyObject_RichCompareBool(naive.get(), py::integer(0).get(), Py_EQ);
  if (zero < 0) throw py::PythonError{};
  if (zero == 1) return py::floating(0.0);
  py::Obj d = call_method(self, "deduped_bytes");
  py::Obj q = py::Obj::steal(PyNumber_TrueDivide(d.get(), naive.get()));
  return as_float(py::Obj::steal(PyNumber_Subtract(py::floating(1.0).get(), q.get())));
}

py::Obj summary(const bridge::Args& a) {
  py::Obj self = a.obj(0);
  py::Obj out = py::dict();
  py::dict_set(out, "tenants", py::integer(self.attr("tenants").size()));
  py::dict_set(out, "block_size", self.attr("block_size"));
  py::dict_set(out, "naive_bytes", call_method(self, "naive_bytes"));
  py::dict_set(out, "deduped_bytes", call_method(self, "deduped_bytes"));
  py::dict_set(out, "unique_blocks", py::integer(self.attr("unique").size()));
  py::dict_set(out, "dedup_ratio", call_method(self, "dedup_ratio"));
  py::dict_set(out, "shared_fraction", call_method(self, "shared_fraction"));
  return out;
}

const FunctionDef kAddTensorBytes{
    "add_tensor_bytes",
    "DedupStore.add_tensor_bytes",
    "Cut `data` into blocks of `block_size` bytes, record each block's digest for `tenant`\n"
    "and keep every digest not seen before. The tenant is registered even for empty data.",
    {Param{"self", nullptr}, Param{"tenant", "str", Conv::Str},
     Param{"data", "bytes", Conv::Bytes}},
    "None",
    add_tensor_bytes};
const FunctionDef kAddStateDict{
    "add_state_dict",
    "DedupStore.add_state_dict",
    "Add every tensor of `sd` for `tenant`, in sorted name order, by its row-major raw\n"
    "bytes. Each tensor is cut on its own: no block spans two tensors.",
    {Param{"self", nullptr}, Param{"tenant", "str", Conv::Str},
     Param{"sd", "dict[str, np.ndarray]", Conv::Dict}},
    "None",
    add_state_dict};
const FunctionDef kNaiveBytes{"naive_bytes",
                              "DedupStore.naive_bytes",
                              "Bytes all tenants would need with nothing shared.",
                              {Param{"self", nullptr}},
                              "int",
                              naive_bytes};
const FunctionDef kDedupedBytes{"deduped_bytes",
                                "DedupStore.deduped_bytes",
                                "Bytes of the distinct blocks: what the store needs.",
                                {Param{"self", nullptr}},
                                "int",
                                deduped_bytes};
const FunctionDef kDedupRatio{"dedup_ratio",
                              "DedupStore.dedup_ratio",
                              "Naive bytes per deduplicated byte (1.0 for an empty store).",
                              {Param{"self", nullptr}},
                              "float",
                              dedup_ratio};
const FunctionDef kSharedFraction{
    "shared_fraction",
    "DedupStore.shared_fraction",
    "Fraction of the naive bytes that sharing saves (0.0 when there are none).",
    {Param{"self", nullptr}},
    "float",
    shared_fraction};
const FunctionDef kSummary{"summary",
                           "DedupStore.summary",
                           "Tenant count, block size, both totals, unique block count, ratio "
                           "and shared fraction.",
                           {Param{"self", nullptr}},
                           "dict",
                           summary};

void body(bridge::ModuleBuilder& b) {
  b.import("hashlib");
  b.from_import("dataclasses", "dataclass");
  b.from_import("dataclasses", "field");
  b.import("numpy", "np");

  if (g_gen_type == nullptr) {
    g_gen_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&gen_spec));
    if (g_gen_type == nullptr) throw py::PythonError{};
  }
  // The block iterator is a generator to the interpreter's abstract base classes.
  py::import("collections.abc")
      .attr("Generator")
      .attr("register")(py::Obj::borrow(reinterpret_cast<PyObject*>(g_gen_type)));
  b.function(&kBlocks);

  py::Obj add = bridge::make_function(&kAddTensorBytes, kModule, b.globals());
  g_add_tensor_bytes = py::Obj(add).release();
  auto method = [&](const FunctionDef& def) {
    return bridge::make_function(&def, kModule, b.globals());
  };
  using bridge::Field;
  py::Obj cls = bridge::make_dataclass(
      b, "DedupStore", "Global content-addressed block store shared across tenants.",
      {Field{"block_size", "int", Field::Value, py::integer(1 << 20)},
       Field{"unique", "dict[str, int]", Field::EmptyDict},
       Field{"tenants", "dict[str, list[str]]", Field::EmptyDict},
       Field{"_tenant_bytes", "dict[str, int]", Field::EmptyDict}},
      {{"add_tensor_bytes", add},
       {"add_state_dict", method(kAddStateDict)},
       {"naive_bytes", method(kNaiveBytes)},
       {"deduped_bytes", method(kDedupedBytes)},
       {"dedup_ratio", method(kDedupRatio)},
       {"shared_fraction", method(kSharedFraction)},
       {"summary", method(kSummary)}},
      {});
  b.set("DedupStore", cls);
}

}  // namespace

}  // namespace velmora::dedup

VELMORA_MODULE(dedup, "velmora_dryx.dedup", velmora::dedup::kModuleDoc, velmora::dedup::body)

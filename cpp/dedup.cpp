// Module velmora_dryx.dedup: a content-addressed block store that measures how much the
// tensors of many tenants share.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/declare.hpp"
#include "bridge/errors.hpp"
#include "bridge/generator.hpp"
#include "bridge/module.hpp"
#include "bridge/records.hpp"
#include "core/sha256.hpp"

namespace velmora::dedup {

using bridge::arg;
using bridge::def;
using bridge::method;
using namespace bridge::types;

namespace {

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

[[noreturn]] void raise_bad_step(const py::Obj& block) {
  // The interpreter's own wording for a zero step, so that callers see what range() says.
  if (block == 0) throw py::ValueError("range() arg 3 must not be zero");
  throw py::ValueError("block size must be positive, got " + py::text(block));
}

// The step of a converted block size, clamped to the largest slice length; 0 when the
// size is zero or negative (the caller raises at the first block).
Py_ssize_t step_of(const py::Obj& block) {
  const long long v = py::saturated_ll(block.get());
  return v <= 0 ? 0 : static_cast<Py_ssize_t>(std::min<long long>(v, PY_SSIZE_T_MAX));
}

// for off in range(0, len(buf), block): yield buf[off:off + block]
class BlockCutter final : public bridge::GeneratorBody {
 public:
  BlockCutter(py::Obj buf, py::Obj block) : buf_(std::move(buf)), block_(std::move(block)) {}

  py::Obj next() override {
    if (!started_) {
      started_ = true;
      step_ = step_of(block_);
      n_ = buf_.size();
      if (step_ == 0) raise_bad_step(block_);
    }
    if (off_ >= n_) return {};
    const Py_ssize_t stop = off_ > PY_SSIZE_T_MAX - step_ ? PY_SSIZE_T_MAX : off_ + step_;
    py::Obj blk = buf_.slice(off_, stop);
    off_ = stop;
    return blk;
  }
  int traverse(visitproc visit, void* arg) override { return bridge::visit(buf_, visit, arg); }

 private:
  py::Obj buf_;
  py::Obj block_;
  Py_ssize_t step_ = 0;
  Py_ssize_t off_ = 0;
  Py_ssize_t n_ = 0;
  bool started_ = false;
};

// The arguments come borrowed (PyObject*): the generator's body takes the only new
// references, which keeps creation as cheap as a Python generator's.
py::Obj blocks(PyObject* buf, PyObject* block) {
  return bridge::make_generator<BlockCutter>("_blocks", py::Obj::borrow(buf),
                                             py::Obj::borrow(block));
}

const bridge::Decl kBlocks[] = {
    def<&blocks>("_blocks", "Yield fixed-size byte blocks (last may be short).",
                 arg<MemoryView>("buf"), arg<Int>("block")),
};

// ---------------------------------------------------------------------------------------
// The store.

// The module's state: objects its body creates once, kept for the life of the process.
struct State {
  PyObject* add_tensor_bytes = nullptr;  // the native method, to tell it from overrides
};
State& state() {
  static State s;
  return s;
}

// The bookkeeping of one block, in the order the store documents: the digest's length
// when first seen, the tenant's reference, then the tenant's byte total.
class Recorder {
 public:
  Recorder(const py::Obj& self, py::Obj tenant, py::Obj refs, Py_ssize_t step)
      : unique_(self.attr("unique")),
        totals_(self.attr("_tenant_bytes")),
        refs_(std::move(refs)),
        tenant_(std::move(tenant)),
        full_len_(py::integer(step)),
        step_(step) {}

  void record(const core::Sha256Digest& d, Py_ssize_t len) {
    char hex[64];
    core::to_hex(d, hex);
    py::Obj h = py::ascii({hex, sizeof hex});
    py::Obj n = len == step_ ? full_len_ : py::integer(len);
    if (unique_.is_exact(&PyDict_Type)) {
      unique_.setdefault(h, n);
    } else if (!unique_.contains(h)) {
      unique_.set_item(h, n);
    }
    refs_.append(h);
    totals_.set_item(tenant_, totals_.get(tenant_, py::integer(0)) + n);
  }

 private:
  py::Obj unique_, totals_, refs_, tenant_;
  py::Obj full_len_;
  Py_ssize_t step_;
};

// Hashes are computed in batches with the GIL released, then recorded with it held.
constexpr std::size_t kBatchBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxBatchBlocks = 4096;
constexpr std::size_t kNoGilBytes = std::size_t{64} << 10;

// The body shared by add_tensor_bytes and add_state_dict: `data` holds `len` bytes that
// stay valid and unchanged (a held buffer) for the whole call.
void add_bytes(const py::Obj& self, const py::Obj& tenant, const char* data, std::int64_t len) {
  py::Obj refs = self.attr("tenants").setdefault(tenant, py::list());
  py::Obj block = bridge::convert(arg<Int>("block"), self.attr("block_size"));
  const Py_ssize_t step = step_of(block);
  if (step == 0) raise_bad_step(block);
  if (len == 0) return;

  Recorder rec(self, tenant, std::move(refs), step);
  const auto total = static_cast<std::size_t>(len);
  const auto ustep = static_cast<std::size_t>(step);
  const std::size_t per_batch = std::clamp<std::size_t>(kBatchBytes / ustep, 1, kMaxBatchBlocks);
  std::vector<core::Sha256Digest> digests(per_batch);
  std::vector<const void*> starts(per_batch);
  for (std::size_t off = 0; off < total;) {
    // Every block is `ustep` long except the buffer's last, which may be short.
    const std::size_t full = std::min(per_batch, (total - off) / ustep);
    const std::size_t end = full > 0 ? off + full * ustep : total;
    for (std::size_t i = 0; i < full; ++i) starts[i] = data + off + i * ustep;
    auto hash_batch = [&] {
      if (full > 0) {
        core::sha256_many(starts.data(), full, ustep, digests.data());
      } else {
        digests[0] = core::sha256(data + off, total - off);
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
    if (off < total) py::check_signals();
  }
}

void add_tensor_bytes(const py::Obj& self, const py::Obj& tenant, const py::Obj& data) {
  bridge::Buffer view;
  view.acquire_bytes(data.get());  // an exact bytes object: always one contiguous buffer
  add_bytes(self, tenant, view.data<const char>(), view.bytes());
}

// True when `method` is the store's own add_tensor_bytes bound to `self`.
bool is_native_add(const py::Obj& method, const py::Obj& self) {
  return method.is_exact(&PyMethod_Type) && method.attr("__func__").is(state().add_tensor_bytes) &&
         method.attr("__self__").is(self);
}

void add_state_dict(const py::Obj& self, const py::Obj& tenant, const py::Obj& sd) {
  py::Obj ascontiguous = bridge::np().attr("ascontiguousarray");
  for (const py::Obj& name : py::builtin("sorted")(sd)) {
    py::Obj arr = ascontiguous(sd.item(name));
    py::Obj method = self.attr("add_tensor_bytes");
    // The store's own method reads the array's bytes in place: the same bytes tobytes()
    // would copy out. An override gets the bytes object it is documented to receive.
    bridge::Buffer view;
    if (is_native_add(method, self) && bridge::is_ndarray(arr.get()) &&
        view.acquire_bytes(arr.get())) {
      add_bytes(self, tenant, view.data<const char>(), view.bytes());
    } else {
      method(tenant, arr.attr("tobytes")());
    }
  }
  py::check_signals();
}

// int(sum(values)).
py::Obj sum_values(const py::Obj& map) {
  py::Obj total = py::builtin("sum")(map.attr("values")());
  return py::as_int(total);
}

py::Obj naive_bytes(const py::Obj& self) { return sum_values(self.attr("_tenant_bytes")); }

py::Obj deduped_bytes(const py::Obj& self) { return sum_values(self.attr("unique")); }

py::Obj dedup_ratio(const py::Obj& self) {
  py::Obj d = self.attr("deduped_bytes")();
  if (!d.truthy()) return py::floating(1.0);
  return py::as_float(self.attr("naive_bytes")() / d);
}

py::Obj shared_fraction(const py::Obj& self) {
  py::Obj naive = self.attr("naive_bytes")();
  if (naive == 0) return py::floating(0.0);
  return py::as_float(1.0 - self.attr("deduped_bytes")() / naive);
}

py::Obj summary(const py::Obj& self) {
  py::Obj out = py::dict();
  out.set_item("tenants", self.attr("tenants").size());
  out.set_item("block_size", self.attr("block_size"));
  out.set_item("naive_bytes", self.attr("naive_bytes")());
  out.set_item("deduped_bytes", self.attr("deduped_bytes")());
  out.set_item("unique_blocks", self.attr("unique").size());
  out.set_item("dedup_ratio", self.attr("dedup_ratio")());
  out.set_item("shared_fraction", self.attr("shared_fraction")());
  return out;
}

// DedupStore's methods; add_tensor_bytes first (the body keeps it in the state).
const bridge::Decl kStoreMethods[] = {
    method<&add_tensor_bytes>(
        "DedupStore.add_tensor_bytes",
        "Cut `data` into blocks of `block_size` bytes, record each block's digest for `tenant`\n"
        "and keep every digest not seen before. The tenant is registered even for empty data.",
        arg<Str>("tenant"), arg<Bytes>("data"))
        .returns("None"),
    method<&add_state_dict>(
        "DedupStore.add_state_dict",
        "Add every tensor of `sd` for `tenant`, in sorted name order, by its row-major raw\n"
        "bytes. Each tensor is cut on its own: no block spans two tensors.",
        arg<Str>("tenant"), arg<Dict>("sd", "dict[str, np.ndarray]"))
        .returns("None"),
    method<&naive_bytes>("DedupStore.naive_bytes",
                         "Bytes all tenants would need with nothing shared.")
        .returns("int"),
    method<&deduped_bytes>("DedupStore.deduped_bytes",
                           "Bytes of the distinct blocks: what the store needs.")
        .returns("int"),
    method<&dedup_ratio>("DedupStore.dedup_ratio",
                         "Naive bytes per deduplicated byte (1.0 for an empty store).")
        .returns("float"),
    method<&shared_fraction>(
        "DedupStore.shared_fraction",
        "Fraction of the naive bytes that sharing saves (0.0 when there are none).")
        .returns("float"),
    method<&summary>("DedupStore.summary",
                     "Tenant count, block size, both totals, unique block count, ratio and "
                     "shared fraction.")
        .returns("dict"),
};

void body(bridge::ModuleBuilder& b) {
  b.import("hashlib");
  b.from_import("dataclasses", "dataclass");
  b.from_import("dataclasses", "field");
  b.import("numpy", "np");
  b.functions(kBlocks);

  bridge::NamespaceItems methods = b.methods(kStoreMethods);
  state().add_tensor_bytes = py::Obj(methods.front().second).release();
  using bridge::Field;
  py::Obj cls = bridge::make_dataclass(
      b, "DedupStore", "Global content-addressed block store shared across tenants.",
      {Field{"block_size", "int", Field::Value, py::integer(1 << 20)},
       Field{"unique", "dict[str, int]", Field::EmptyDict},
       Field{"tenants", "dict[str, list[str]]", Field::EmptyDict},
       Field{"_tenant_bytes", "dict[str, int]", Field::EmptyDict}},
      methods, {});
  b.set("DedupStore", cls);
}

}  // namespace

}  // namespace velmora::dedup

VELMORA_MODULE(dedup, velmora::dedup)

// Module velmora_dryx.lornet: Hugging Face cache and snapshots, safetensors state-dict
// loading (with a torch fallback for bfloat16 shards) and sliding-window perplexity.
//
// The Hugging Face libraries, safetensors and torch are imported inside each operation at
// every call, so importing this module needs nothing but numpy and the cache location set
// by ensure_cache can take effect before any of them is first loaded.
#include <cstdint>
#include <fstream>
#include <string>

#include "bridge/arrays.hpp"
#include "bridge/errors.hpp"
#include "bridge/module.hpp"
#include "bridge/statements.hpp"

namespace velmora::lornet {

namespace {

using bridge::Args;
using bridge::astype_nocopy;
using bridge::check_signals;
using bridge::Conv;
using bridge::for_each;
using bridge::from_import;
using bridge::FunctionDef;
using bridge::Handling;
using bridge::Kind;
using bridge::module_global;
using bridge::Param;
using bridge::Raised;
using bridge::with_context;

constexpr const char* kModuleName = "velmora_dryx.lornet";

void set_item(const py::Obj& mapping, const py::Obj& key, const py::Obj& value) {
  if (PyObject_SetItem(mapping.get(), key.get(), value.get()) < 0) throw py::PythonError{};
}

py::Obj slice(const py::Obj& start, const py::Obj& stop) {
  return py::Obj::steal(PySlice_New(start.get(), stop.get(), nullptr));
}

// ---------------------------------------------------------------------------------------
// Cache and snapshots.

py::Obj ensure_cache(const Args& a) {
  py::Obj environ = py::import("os").attr("environ");
  py::Obj setdefault = environ.attr("setdefault");
  setdefault(py::str("HF_HOME"), a.obj(0));
  setdefault(py::str("HF_HUB_DISABLE_SYMLINKS_WARNING"), py::str("1"));
  return py::none();
}

py::Obj snapshot(const Args& a) {
  py::Obj download = from_import("huggingface_hub", "snapshot_download");
  // Weights only as safetensors; .bin and .pt files of the repository are never fetched.
  py::Obj patterns = py::list();
  for (const char* p : {"*.safetensors", "*.json", "*.txt", "tokenizer*", "*.model"}) {
    py::list_append(patterns, py::str(p));
  }
  py::Obj dir = download.call({a.obj(0)}, {{"allow_patterns", patterns}});
  return py::import("pathlib").attr("Path")(dir);
}

py::Obj shard_files(const py::Obj& model_dir) {
  py::Obj found = model_dir.attr("glob")(py::str("*.safetensors"));
  py::Obj shards = py::Obj::steal(PySequence_List(found.get()));
  if (PyList_Sort(shards.get()) < 0) throw py::PythonError{};
  if (PyList_GET_SIZE(shards.get()) == 0) {
    bridge::raise(PyExc_FileNotFoundError, "No .safetensors in " + py::text(model_dir));
  }
  return shards;
}

py::Obj shard_files_impl(const Args& a) { return shard_files(a.obj(0)); }

py::Obj model_disk_bytes(const Args& a) {
  py::Obj total = py::integer(0);
  // stat() follows links, so a shard kept in the hub cache as a link counts its blob.
  for_each(module_global("_shard_files")(a.obj(0)), [&](const py::Obj& shard) {
    py::Obj size = shard.attr("stat")().attr("st_size");
    total = py::Obj::steal(PyNumber_Add(total.get(), size.get()));
  });
  return py::Obj::steal(PyNumber_Long(total.get()));
}

// ---------------------------------------------------------------------------------------
// State-dict loading.

// Stores every tensor of one shard, read by the numpy backend, into `out` (later values
// replace earlier ones in place). The reader is closed on every way out.
void read_shard_numpy(const py::Obj& safe_open, const py::Obj& shard, const py::Obj& dtype,
                      const py::Obj& out) {
  py::Obj reader = safe_open.call({shard.str()}, {{"framework", py::str("np")}});
  with_context(reader, [&](const py::Obj& f) {
    py::Obj get_tensor = f.attr("get_tensor");
    for_each(f.attr("keys")(), [&](const py::Obj& name) {
      set_item(out, name, astype_nocopy(get_tensor(name), dtype));
    });
  });
}

py::Obj load_state_dict_numpy(const Args& a) {
  py::Obj safe_open = from_import("safetensors", "safe_open");
  py::Obj dtype = a.obj(1);
  py::Obj out = py::dict();
  for_each(module_global("_shard_files")(a.obj(0)),
           [&](const py::Obj& shard) { read_shard_numpy(safe_open, shard, dtype, out); });
  return out;
}

py::Obj bf16_safe_load(const py::Obj& shard, const py::Obj& dtype) {
  py::Obj torch = py::import("torch");
  py::Obj load_file = from_import("safetensors.torch", "load_file");
  py::Obj loaded = load_file(shard.str());
  py::Obj float32 = torch.attr("float32");
  py::Obj out = py::dict();
  for_each(loaded.attr("items")(), [&](const py::Obj& pair) {
    // Every tensor takes the float32 step, whatever its stored type.
    py::Obj array = pair.item(1).attr("to")(float32).attr("numpy")();
    set_item(out, pair.item(0), astype_nocopy(array, dtype));
  });
  return out;
}

// True when the shard's header is readable and names a tensor type that numpy cannot hold
// (bfloat16, the 8-bit floats): the one failure of the numpy backend that torch can fix.
// Any other failure (a damaged header, a truncated file, a bad dtype) is the shard's own.
bool needs_torch(const py::Obj& shard) {
  std::ifstream in(py::text(shard), std::ios::binary);
  unsigned char len[8] = {};
  if (!in.read(reinterpret_cast<char*>(len), 8)) return false;
  std::uint64_t n = 0;
  for (int i = 7; i >= 0; --i) n = (n << 8) | len[i];
  if (n > (std::uint64_t{100} << 20)) return false;  // the readers' own cap on a header
  std::string header(static_cast<std::size_t>(n), '\0');
  if (!in.read(header.data(), static_cast<std::streamsize>(n))) return false;
  PyObject* parsed = PyObject_CallMethod(py::import("json").get(), "loads", "s#", header.data(),
                                         static_cast<Py_ssize_t>(header.size()));
  if (parsed == nullptr || !PyDict_Check(parsed)) {
    PyErr_Clear();
    Py_XDECREF(parsed);
    return false;
  }
  py::Obj entries = py::Obj::steal(parsed);
  static constexpr const char* kNumpyTypes[] = {"F64", "F32", "F16", "I64", "I32", "I16",
                                                "I8",  "U64", "U32", "U16", "U8",  "BOOL"};
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *entry = nullptr;
  while (PyDict_Next(entries.get(), &pos, &key, &entry)) {
    if (!PyDict_Check(entry)) continue;
    PyObject* type = PyDict_GetItemString(entry, "dtype");
    if (type == nullptr || !PyUnicode_Check(type)) continue;
    bool known = false;
    for (const char* t : kNumpyTypes)
      known = known || PyUnicode_CompareWithASCIIString(type, t) == 0;
    if (!known) return true;
  }
  return false;
}

py::Obj bf16_safe_load_impl(const Args& a) { return bf16_safe_load(a.obj(0), a.obj(1)); }

py::Obj load_state_dict_numpy_safe(const Args& a) {
  py::Obj dtype = a.obj(1);
  py::Obj out = py::dict();
  for_each(module_global("_shard_files")(a.obj(0)), [&](const py::Obj& shard) {
    try {
      py::Obj safe_open = from_import("safetensors", "safe_open");
      read_shard_numpy(safe_open, shard, dtype, out);
      return;
    } catch (...) {
      bridge::set_python_error();
    }
    // Only the Exception family falls back; an interrupt goes on up. Only what torch can
    // fix goes to it: a tensor type numpy lacks, or a missing numpy reader. Any other
    // error of the shard (a damaged header, truncation) is raised naming the shard.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::PythonError{};
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
      Raised pending;
      if (!needs_torch(shard)) {
        const std::string note = "while loading the shard " + py::text(shard);
        pending.restore();
        bridge::add_note_to_pending(note.c_str());
        throw py::PythonError{};
      }
      pending.restore();
    }
    Raised failed;
    // The whole shard is stored again from the torch path, so a value the failed attempt had
    // already stored never survives; an error of the fallback chains to the first one.
    Handling handling(failed.get());
    py::Obj reloaded = module_global("_bf16_safe_load")(shard, dtype);
    out.attr("update")(reloaded);
  });
  return out;
}

// ---------------------------------------------------------------------------------------
// Perplexity.

py::Obj load_wikitext_ids(const py::Obj& model_dir, const py::Obj& max_tokens) {
  py::Obj auto_tokenizer = from_import("transformers", "AutoTokenizer");
  py::Obj load_dataset = from_import("datasets", "load_dataset");
  py::Obj tokenizer = auto_tokenizer.attr("from_pretrained")(model_dir.str());
  py::Obj data = load_dataset.call({py::str("Salesforce/wikitext"), py::str("wikitext-2-raw-v1")},
                                   {{"split", py::str("test")}});
  // Non-blank lines, kept unstripped, joined by one blank line.
  py::Obj kept = py::list();
  for_each(data.item(py::str("text")), [&](const py::Obj& line) {
    if (line.attr("strip")().truthy()) py::list_append(kept, line);
  });
  py::Obj text = py::Obj::steal(PyUnicode_Join(py::str("\n\n").get(), kept.get()));
  py::Obj ids = tokenizer.call({text}, {{"return_tensors", py::str("pt")}})
                    .attr("input_ids")
                    .item(py::integer(0));
  // A cap of 0 keeps everything; a negative one drops that many ids from the end.
  if (max_tokens.truthy()) {
    py::Obj n = py::integer(static_cast<long long>(ids.size()));
    int longer = PyObject_RichCompareBool(n.get(), max_tokens.get(), Py_GT);
    if (longer < 0) throw py::PythonError{};
    if (longer == 1) ids = ids.item(slice(py::none(), max_tokens));
  }
  return ids;
}

py::Obj load_wikitext_ids_impl(const Args& a) { return load_wikitext_ids(a.obj(0), a.obj(1)); }

// Loads a numpy state dict into the model (sharing memory until the model copies it in);
// refuses one that leaves parameters other than the tied output projection unset or names
// parameters the model lacks.
void load_into(const py::Obj& torch, const py::Obj& model, const py::Obj& state_dict) {
  py::Obj from_numpy = torch.attr("from_numpy");
  py::Obj asarray = py::import("numpy").attr("asarray");
  py::Obj tensors = py::dict();
  for_each(py::Obj::steal(PyDict_Items(state_dict.get())), [&](const py::Obj& pair) {
    set_item(tensors, pair.item(0), from_numpy(asarray(pair.item(1))));
  });
  py::Obj result = model.attr("load_state_dict").call({tensors}, {{"strict", py::boolean(false)}});
  // missing, unexpected = result
  py::Obj pair = py::Obj::steal(PySequence_Tuple(result.get()));
  const Py_ssize_t got = PyTuple_GET_SIZE(pair.get());
  if (got > 2) bridge::raise_value_error("too many values to unpack (expected 2)");
  if (got < 2) {
    bridge::raise_value_error("not enough values to unpack (expected 2, got " +
                              std::to_string(got) + ")");
  }
  py::Obj missing = pair.item(Py_ssize_t{0});
  py::Obj unexpected = pair.item(Py_ssize_t{1});
  py::Obj tied = py::str("lm_head");
  py::Obj left = py::list();
  for_each(missing, [&](const py::Obj& name) {
    int has = PySequence_Contains(name.get(), tied.get());
    if (has < 0) throw py::PythonError{};
    if (has == 0) py::list_append(left, name);
  });
  if (left.size() > 0 || unexpected.truthy()) {
    bridge::raise(PyExc_RuntimeError, "state_dict mismatch missing=" + py::text(left) +
                                          " unexpected=" + py::text(unexpected));
  }
}

py::Obj perplexity_from_state_dict(const Args& a) {
  py::Obj torch = py::import("torch");
  py::Obj auto_model = from_import("transformers", "AutoModelForCausalLM");
  py::Obj model_dir = a.obj(0);
  py::Obj model = auto_model.attr("from_pretrained")
                      .call({model_dir.str()}, {{"dtype", torch.attr("float32")}});
  if (!a.is_none(1)) load_into(torch, model, a.obj(1));
  model.attr("eval")();

  py::Obj ids = module_global("_load_wikitext_ids")(model_dir, a.obj(2));
  const long long n = static_cast<long long>(ids.size());
  const long long window = py::saturated_ll(a[3]);
  const long long stride = py::saturated_ll(a[4]);
  if (stride == 0) bridge::raise_value_error("range() arg 3 must not be zero");
  // A negative stride would score nothing and report a perfect 1.0, and a window of 0 or
  // less would feed empty (or, sliced from the end, wrong) inputs: both are refused.
  if (stride < 0) {
    bridge::raise_value_error("stride must be positive, got " + std::to_string(stride));
  }
  if (window <= 0) {
    bridge::raise_value_error("window must be positive, got " + std::to_string(window));
  }

  double nll_sum = 0.0;
  long long n_tok = 0;
  py::Obj ignore = py::integer(-100);
  py::Obj all = slice(py::none(), py::none());
  with_context(torch.attr("no_grad")(), [&](const py::Obj&) {
    long long prev_end = 0;
    for (long long begin = 0; begin < n;) {
      const long long end = window >= n - begin ? n : begin + window;
      py::Obj input =
          ids.item(slice(py::integer(begin), py::integer(end))).attr("unsqueeze")(py::integer(0));
      py::Obj labels = input.attr("clone")();
      // Positions already scored by an earlier window serve only as context.
      const long long length = end - begin;
      const long long context = length - (end - prev_end);
      if (context > 0) {
        set_item(labels, py::tuple({all, slice(py::none(), py::integer(context))}), ignore);
      }
      py::Obj loss = model.call({input}, {{"labels", labels}}).attr("loss");
      const double mean = py::Obj::steal(PyNumber_Float(loss.get())).as_double();
      const long long count = context > 0 ? length - context : length;
      nll_sum += mean * static_cast<double>(count);
      n_tok += count;
      prev_end = end;
      if (end == n) break;
      check_signals();
      if (stride > n - begin) break;
      begin += stride;
    }
  });
  const double mean_nll = nll_sum / static_cast<double>(n_tok > 1 ? n_tok : 1);
  py::Obj ppl = py::import("numpy").attr("exp")(py::floating(mean_nll));
  return py::Obj::steal(PyNumber_Float(ppl.get()));
}

// ---------------------------------------------------------------------------------------
// Function tables and the module body.

const FunctionDef kEnsureCache{"ensure_cache",
                               "ensure_cache",
                               "Point the HF cache at a roomy drive BEFORE importing transformers.",
                               {Param{"cache_dir", "str", Conv::Str}},
                               "None",
                               ensure_cache};

const FunctionDef kSnapshot{"snapshot",
                            "snapshot",
                            "Download (or reuse) a model snapshot; return its local dir.",
                            {Param{"repo_id", "str", Conv::Str}},
                            "Path",
                            snapshot};

const FunctionDef kShardFiles{"_shard_files", "_shard_files",
                              nullptr,        {Param{"model_dir", "Path"}},
                              "list[Path]",   shard_files_impl};

const FunctionDef kModelDiskBytes{"model_disk_bytes",
                                  "model_disk_bytes",
                                  "Bytes of the actual weight shards as shipped (native dtype).",
                                  {Param{"model_dir", "Path"}},
                                  "int",
                                  model_disk_bytes};

const FunctionDef kLoadNumpy{
    "load_state_dict_numpy",
    "load_state_dict_numpy",
    "Load all safetensors shards into one {name: np.ndarray} dict (cast to dtype).",
    {Param{"model_dir", "Path"},
     Param{"dtype", nullptr, Conv::Any, Kind::Positional, bridge::expr_default("np.float32")}},
    "dict[str, np.ndarray]",
    load_state_dict_numpy};

const FunctionDef kBf16SafeLoad{
    "_bf16_safe_load",
    "_bf16_safe_load",
    "Load a shard via torch when bf16 is present (np backend rejects bf16).",
    {Param{"shard", "Path"}, Param{"dtype", nullptr}},
    "dict[str, np.ndarray]",
    bf16_safe_load_impl};

const FunctionDef kLoadNumpySafe{
    "load_state_dict_numpy_safe",
    "load_state_dict_numpy_safe",
    "Robust loader: falls back to torch per-shard if the np backend trips on bf16.",
    {Param{"model_dir", "Path"},
     Param{"dtype", nullptr, Conv::Any, Kind::Positional, bridge::expr_default("np.float32")}},
    "dict[str, np.ndarray]",
    load_state_dict_numpy_safe};

const FunctionDef kLoadWikitextIds{
    "_load_wikitext_ids",
    "_load_wikitext_ids",
    "Tokenize wikitext-2 test text with the model's tokenizer; cap length.",
    {Param{"model_dir", "Path"}, Param{"max_tokens", "int", Conv::Int}},
    nullptr,
    load_wikitext_ids_impl};

const FunctionDef kPerplexity{
    "perplexity_from_state_dict",
    "perplexity_from_state_dict",
    "Sliding-window perplexity on wikitext-2 test.\n\n"
    "With state_dict None the model directory's pretrained weights are evaluated (the\n"
    "baseline); otherwise the numpy state dict is loaded into the model first (a\n"
    "reconstructed delta).",
    {Param{"model_dir", "Path"},
     Param{"state_dict", "dict[str, np.ndarray] | None", Conv::DictOrNone},
     Param{"max_tokens", "int", Conv::Int, Kind::KeywordOnly, bridge::int_default(4096)},
     Param{"window", "int", Conv::Int, Kind::KeywordOnly, bridge::int_default(1024)},
     Param{"stride", "int", Conv::Int, Kind::KeywordOnly, bridge::int_default(512)}},
    "float",
    perplexity_from_state_dict};

void body(bridge::ModuleBuilder& b) {
  b.import("os");
  b.from_import("pathlib", "Path");
  b.import("numpy", "np");
  for (const FunctionDef* def :
       {&kEnsureCache, &kSnapshot, &kShardFiles, &kModelDiskBytes, &kLoadNumpy, &kBf16SafeLoad,
        &kLoadNumpySafe, &kLoadWikitextIds, &kPerplexity}) {
    b.function(def);
  }
}

}  // namespace

}  // namespace velmora::lornet

VELMORA_MODULE(
    lornet, "velmora_dryx.lornet",
    "Hugging Face I/O for the base+delta experiment.\n\n"
    "Turns the safetensors shards of a model snapshot into {name: float32 ndarray} dicts,\n"
    "measures the on-disk size of a model's weight shards, and evaluates a state dict by\n"
    "sliding-window perplexity on WikiText-2.\n\n"
    "Models on disk use tied embeddings: the lm_head weight is omitted, so the key sets of a\n"
    "base model and of every fine-tune of it match exactly and deltas are well defined per\n"
    "key. Everything is CPU-friendly: float32 arithmetic and small evaluation windows.",
    velmora::lornet::body)

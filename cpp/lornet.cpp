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
#include "bridge/declare.hpp"
#include "bridge/errors.hpp"
#include "bridge/module.hpp"
#include "bridge/statements.hpp"

namespace velmora::lornet {

constexpr const char* kModuleDoc =
    "Hugging Face I/O for the base+delta experiment.\n\n"
    "Turns the safetensors shards of a model snapshot into {name: float32 ndarray} dicts,\n"
    "measures the on-disk size of a model's weight shards, and evaluates a state dict by\n"
    "sliding-window perplexity on WikiText-2.\n\n"
    "Models on disk use tied embeddings: the lm_head weight is omitted, so the key sets of a\n"
    "base model and of every fine-tune of it match exactly and deltas are well defined per\n"
    "key. Everything is CPU-friendly: float32 arithmetic and small evaluation windows.";

namespace {

using bridge::arg;
using bridge::astype_nocopy;
using bridge::def;
using bridge::from_import;
using bridge::Handling;
using bridge::kw_only;
using bridge::module_global;
using bridge::with_context;
using namespace bridge::types;
using namespace py::literals;

// ---------------------------------------------------------------------------------------
// Cache and snapshots.

void ensure_cache(const py::Obj& cache_dir) {
  py::Obj setdefault = py::import("os").attr("environ").attr("setdefault");
  setdefault("HF_HOME", cache_dir);
  setdefault("HF_HUB_DISABLE_SYMLINKS_WARNING", "1");
}

py::Obj snapshot(const py::Obj& repo_id) {
  py::Obj download = from_import("huggingface_hub", "snapshot_download");
  // Weights only as safetensors; .bin and .pt files of the repository are never fetched.
  py::Obj patterns = py::list();
  for (const char* p : {"*.safetensors", "*.json", "*.txt", "tokenizer*", "*.model"}) {
    patterns.append(py::str(p));
  }
  py::Obj dir = download(repo_id, "allow_patterns"_a = patterns);
  return py::import("pathlib").attr("Path")(dir);
}

py::Obj shard_files(const py::Obj& model_dir) {
  py::Obj shards = py::builtin("sorted")(model_dir.attr("glob")("*.safetensors"));
  if (shards.size() == 0) throw py::FileNotFoundError("No .safetensors in " + py::text(model_dir));
  return shards;
}

py::Obj model_disk_bytes(const py::Obj& model_dir) {
  py::Obj total = py::integer(0);
  // stat() follows links, so a shard kept in the hub cache as a link counts its blob.
  for (const py::Obj& shard : shard_files(model_dir)) {
    total = total + shard.attr("stat")().attr("st_size");
  }
  return py::as_int(total);
}

// ---------------------------------------------------------------------------------------
// State-dict loading.

// Stores every tensor of one shard, read by the numpy backend, into `out` (later values
// replace earlier ones in place). The reader is closed on every way out.
void read_shard_numpy(const py::Obj& safe_open, const py::Obj& shard, const py::Obj& dtype,
                      const py::Obj& out) {
  py::Obj reader = safe_open(shard.str(), "framework"_a = "np");
  with_context(reader, [&](const py::Obj& f) {
    py::Obj get_tensor = f.attr("get_tensor");
    for (const py::Obj& name : f.attr("keys")()) {
      out.set_item(name, astype_nocopy(get_tensor(name), dtype));
    }
  });
}

py::Obj load_state_dict_numpy(const py::Obj& model_dir, const py::Obj& dtype) {
  py::Obj safe_open = from_import("safetensors", "safe_open");
  py::Obj out = py::dict();
  for (const py::Obj& shard : shard_files(model_dir)) {
    read_shard_numpy(safe_open, shard, dtype, out);
  }
  return out;
}

py::Obj bf16_safe_load(const py::Obj& shard, const py::Obj& dtype) {
  py::Obj torch = py::import("torch");
  py::Obj load_file = from_import("safetensors.torch", "load_file");
  py::Obj loaded = load_file(shard.str());
  py::Obj float32 = torch.attr("float32");
  py::Obj out = py::dict();
  for (const py::Obj& item : loaded.attr("items")()) {
    auto [name, tensor] = item.unpack<2>();
    // Every tensor takes the float32 step, whatever its stored type.
    out.set_item(name, astype_nocopy(tensor.attr("to")(float32).attr("numpy")(), dtype));
  }
  return out;
}

// The parsed JSON header of a safetensors file, or an empty handle when it cannot be read.
py::Obj shard_header(const py::Obj& shard) {
  std::ifstream in(py::text(shard), std::ios::binary);
  unsigned char len[8] = {};
  if (!in.read(reinterpret_cast<char*>(len), 8)) return {};
  std::uint64_t n = 0;
  for (int i = 7; i >= 0; --i) n = (n << 8) | len[i];
  if (n > (std::uint64_t{100} << 20)) return {};  // the readers' own cap on a header
  std::string header(static_cast<std::size_t>(n), '\0');
  if (!in.read(header.data(), static_cast<std::streamsize>(n))) return {};
  py::Obj parsed;
  if (bridge::try_except(PyExc_Exception,
                         [&] { parsed = py::import("json").attr("loads")(py::str(header)); })) {
    return {};
  }
  return parsed.is_instance(&PyDict_Type) ? parsed : py::Obj{};
}

// True when the shard's header is readable and names a tensor type that numpy cannot hold
// (bfloat16, the 8-bit floats): the one failure of the numpy backend that torch can fix.
// Any other failure (a damaged header, a truncated file, a bad dtype) is the shard's own.
bool needs_torch(const py::Obj& shard) {
  py::Obj entries = shard_header(shard);
  if (!entries) return false;
  static constexpr const char* kNumpyTypes[] = {"F64", "F32", "F16", "I64", "I32", "I16",
                                                "I8",  "U64", "U32", "U16", "U8",  "BOOL"};
  for (const py::Obj& entry : entries.attr("values")()) {
    if (!entry.is_instance(&PyDict_Type)) continue;
    py::Obj type = entry.get_item(py::str("dtype"));
    if (!type || !type.is_instance(&PyUnicode_Type)) continue;
    bool known = false;
    for (const char* t : kNumpyTypes) known = known || type == t;
    if (!known) return true;
  }
  return false;
}

py::Obj load_state_dict_numpy_safe(const py::Obj& model_dir, const py::Obj& dtype) {
  py::Obj out = py::dict();
  for (const py::Obj& shard : shard_files(model_dir)) {
    // Only the Exception family falls back; an interrupt goes on up.
    py::Obj failed = bridge::try_except(PyExc_Exception, [&] {
      read_shard_numpy(from_import("safetensors", "safe_open"), shard, dtype, out);
    });
    if (!failed) continue;
    // Only what torch can fix goes to it: a tensor type numpy lacks, or a missing numpy
    // reader. Any other error of the shard (a damaged header, truncation) is raised naming
    // the shard.
    if (!bridge::matches(failed, PyExc_ImportError) && !needs_torch(shard)) {
      bridge::raise_with_note(failed, "while loading the shard " + py::text(shard));
    }
    // The whole shard is stored again from the torch path, so a value the failed attempt had
    // already stored never survives; an error of the fallback chains to the first one. The
    // fallback is the module's _bf16_safe_load as Python sees it: replacing it is a
    // documented contract (tests do, to watch or forbid the torch path).
    Handling handling(failed.get());
    out.attr("update")(module_global("_bf16_safe_load")(shard, dtype));
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Perplexity.

py::Obj load_wikitext_ids(const py::Obj& model_dir, const py::Obj& max_tokens) {
  py::Obj auto_tokenizer = from_import("transformers", "AutoTokenizer");
  py::Obj load_dataset = from_import("datasets", "load_dataset");
  py::Obj tokenizer = auto_tokenizer.attr("from_pretrained")(model_dir.str());
  py::Obj data = load_dataset("Salesforce/wikitext", "wikitext-2-raw-v1", "split"_a = "test");
  // Non-blank lines, kept unstripped, joined by one blank line.
  py::Obj kept = py::list();
  for (const py::Obj& line : data.item("text")) {
    if (line.attr("strip")().truthy()) kept.append(line);
  }
  py::Obj text = py::str("\n\n").attr("join")(kept);
  py::Obj ids = tokenizer(text, "return_tensors"_a = "pt").attr("input_ids").item(py::integer(0));
  // A cap of 0 keeps everything; a negative one drops that many ids from the end.
  if (max_tokens.truthy() && ids.size() > max_tokens)
    ids = ids.item(py::slice(py::none(), max_tokens));
  return ids;
}

// Loads a numpy state dict into the model (sharing memory until the model copies it in);
// refuses one that leaves parameters other than the tied output projection unset or names
// parameters the model lacks.
void load_into(const py::Obj& torch, const py::Obj& model, const py::Obj& state_dict) {
  py::Obj from_numpy = torch.attr("from_numpy");
  py::Obj asarray = py::import("numpy").attr("asarray");
  py::Obj tensors = py::dict();
  for (const py::Obj& item : state_dict.attr("items")()) {
    auto [name, value] = item.unpack<2>();
    tensors.set_item(name, from_numpy(asarray(value)));
  }
  auto [missing, unexpected] =
      model.attr("load_state_dict")(tensors, "strict"_a = false).unpack<2>();
  py::Obj left = py::list();
  for (const py::Obj& name : missing) {
    if (!name.contains("lm_head")) left.append(name);
  }
  if (left.size() > 0 || unexpected.truthy()) {
    throw py::RuntimeError("state_dict mismatch missing=" + py::text(left) +
                           " unexpected=" + py::text(unexpected));
  }
}

// The window and stride of the sliding evaluation, refused when they would score nothing
// (a negative stride reports a perfect 1.0) or feed empty or wrong inputs.
void check_windows(long long window, long long stride) {
  // The interpreter's own wording for a zero step, as range() words it.
  if (stride == 0) throw py::ValueError("range() arg 3 must not be zero");
  if (stride < 0) throw py::ValueError("stride must be positive, got " + std::to_string(stride));
  if (window <= 0) throw py::ValueError("window must be positive, got " + std::to_string(window));
}

struct Nll {
  double sum = 0.0;
  long long tokens = 0;
};

// The summed negative log-likelihood of the windows over `ids`; positions already scored
// by an earlier window serve only as context.
Nll score_windows(const py::Obj& model, const py::Obj& ids, long long window, long long stride) {
  const long long n = static_cast<long long>(ids.size());
  Nll nll;
  long long prev_end = 0;
  for (long long begin = 0; begin < n;) {
    const long long end = window >= n - begin ? n : begin + window;
    py::Obj input = ids.item(py::slice(begin, end)).attr("unsqueeze")(0);
    py::Obj labels = input.attr("clone")();
    const long long length = end - begin;
    const long long context = length - (end - prev_end);
    if (context > 0) {
      labels.set_item(
          py::tuple({py::slice(py::none(), py::none()), py::slice(py::none(), context)}), -100);
    }
    const double mean = py::as_float(model(input, "labels"_a = labels).attr("loss")).as_double();
    const long long count = context > 0 ? length - context : length;
    nll.sum += mean * static_cast<double>(count);
    nll.tokens += count;
    prev_end = end;
    if (end == n) break;
    py::check_signals();
    if (stride > n - begin) break;
    begin += stride;
  }
  return nll;
}

double perplexity_from_state_dict(const py::Obj& model_dir, const py::Obj& state_dict,
                                  const py::Obj& max_tokens, const py::Obj& window_size,
                                  const py::Obj& stride_size) {
  py::Obj torch = py::import("torch");
  py::Obj auto_model = from_import("transformers", "AutoModelForCausalLM");
  py::Obj model =
      auto_model.attr("from_pretrained")(model_dir.str(), "dtype"_a = torch.attr("float32"));
  if (!state_dict.is_none()) load_into(torch, model, state_dict);
  model.attr("eval")();

  // Through the module's attribute: callers may put another text in its place.
  py::Obj ids = module_global("_load_wikitext_ids")(model_dir, max_tokens);
  // Sizes beyond 64 bits behave as the largest ones: one window over everything.
  const long long window = py::saturated_ll(window_size.get());
  const long long stride = py::saturated_ll(stride_size.get());
  check_windows(window, stride);
  Nll nll;
  with_context(torch.attr("no_grad")(),
               [&](const py::Obj&) { nll = score_windows(model, ids, window, stride); });
  const double mean_nll = nll.sum / static_cast<double>(nll.tokens > 1 ? nll.tokens : 1);
  return py::as_float(py::import("numpy").attr("exp")(mean_nll)).as_double();
}

// ---------------------------------------------------------------------------------------
// Declarations and the module body.

constexpr const char* kStateDict = "dict[str, np.ndarray]";
constexpr auto kModelDir = arg<Any>("model_dir", "Path");
constexpr auto kDtype = arg<Any>("dtype") = bridge::expr("np.float32");

// The module's operations, defined in this order.
const bridge::Decl kOperations[] = {
    def<&ensure_cache>("ensure_cache",
                       "Point the HF cache at a roomy drive BEFORE importing transformers.",
                       arg<Str>("cache_dir"))
        .returns("None"),
    def<&snapshot>("snapshot", "Download (or reuse) a model snapshot; return its local dir.",
                   arg<Str>("repo_id"))
        .returns("Path"),
    def<&shard_files>("_shard_files", nullptr, kModelDir).returns("list[Path]"),
    def<&model_disk_bytes>("model_disk_bytes",
                           "Bytes of the actual weight shards as shipped (native dtype).",
                           kModelDir)
        .returns("int"),
    def<&load_state_dict_numpy>(
        "load_state_dict_numpy",
        "Load all safetensors shards into one {name: np.ndarray} dict (cast to dtype).", kModelDir,
        kDtype)
        .returns(kStateDict),
    def<&bf16_safe_load>("_bf16_safe_load",
                         "Load a shard via torch when bf16 is present (np backend rejects bf16).",
                         arg<Any>("shard", "Path"), arg<Any>("dtype"))
        .returns(kStateDict),
    def<&load_state_dict_numpy_safe>(
        "load_state_dict_numpy_safe",
        "Robust loader: falls back to torch per-shard if the np backend trips on bf16.", kModelDir,
        kDtype)
        .returns(kStateDict),
    def<&load_wikitext_ids>("_load_wikitext_ids",
                            "Tokenize wikitext-2 test text with the model's tokenizer; cap length.",
                            kModelDir, arg<Int>("max_tokens")),
    def<&perplexity_from_state_dict>(
        "perplexity_from_state_dict",
        "Sliding-window perplexity on wikitext-2 test.\n\n"
        "With state_dict None the model directory's pretrained weights are evaluated (the\n"
        "baseline); otherwise the numpy state dict is loaded into the model first (a\n"
        "reconstructed delta).",
        kModelDir, arg<DictOrNone>("state_dict", "dict[str, np.ndarray] | None"), kw_only,
        arg<Int>("max_tokens") = 4096, arg<Int>("window") = 1024, arg<Int>("stride") = 512)
        .returns("float"),
};

void body(bridge::ModuleBuilder& b) {
  b.import("os");
  b.from_import("pathlib", "Path");
  b.import("numpy", "np");
  b.functions(kOperations);
}

}  // namespace

}  // namespace velmora::lornet

VELMORA_MODULE(lornet, velmora::lornet)

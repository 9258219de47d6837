// Shared declarations of the kestrine module's source files.
#pragma once

#include <cstdint>
#include <vector>

#include "../bridge/arrays.hpp"
#include "../bridge/declare.hpp"
#include "../bridge/function.hpp"
#include "../bridge/module.hpp"
#include "../bridge/py.hpp"
#include "../core/defaults.hpp"

namespace velmora::kestrine {

inline constexpr const char* kModule = "velmora_dryx.kestrine";

using bridge::arg;
using bridge::def;
using bridge::kw_only;
using bridge::method;
using namespace bridge::types;
using namespace py::literals;

// Parameters shared by several operations, declared once.
// The record a decompressor takes.
inline constexpr auto kCompressedArg = arg<Any>("compressed", "CompressedTensor");
// A compressor: a CompressedTensor out.
template <auto F, class... Items>
bridge::Decl compressor(const char* name, const char* doc, const Items&... items) {
  return def<F>(name, doc, items...).returns("CompressedTensor");
}
// A decompressor: a CompressedTensor in, the dense array out.
template <auto F>
bridge::Decl decompressor(const char* name, const char* doc) {
  return def<F>(name, doc, kCompressedArg).returns("np.ndarray");
}
// The options of the rank-ratio compressors (Tucker, truncated SVD).
inline constexpr auto kRatioOptions =
    bridge::arg_set(arg<Float>("rank_ratio") = core::kDefaultRankRatio, arg<Int>("min_rank") = 1);
// The rank options of compress() and roundtrip_report(), keyword-only there.
inline constexpr auto kRankOptions =
    bridge::arg_set(arg<Float>("rank_ratio") = core::kDefaultRankRatio,
                    arg<Int>("max_rank") = core::kDefaultMaxRank);

// The module's state: objects its body creates once, kept for the life of the process.
struct State {
  PyObject* method_cls = nullptr;  // CompressionMethod and its members
  PyObject* none = nullptr;
  PyObject* svd = nullptr;
  PyObject* tucker = nullptr;
  PyObject* tt = nullptr;
  PyObject* tensor_cls = nullptr;  // CompressedTensor
  PyObject* report_cls = nullptr;  // CompressionReport
};
inline State& state() {
  static State s;
  return s;
}

void define_records(bridge::ModuleBuilder& b);
void define_algebra(bridge::ModuleBuilder& b);
void define_tucker(bridge::ModuleBuilder& b);
void define_tensor_train(bridge::ModuleBuilder& b);
void define_svd(bridge::ModuleBuilder& b);
void define_dispatch(bridge::ModuleBuilder& b);
void define_suggest(bridge::ModuleBuilder& b);
void define_report_record(bridge::ModuleBuilder& b);
void define_roundtrip_report(bridge::ModuleBuilder& b);
void define_merge(bridge::ModuleBuilder& b);
void define_route(bridge::ModuleBuilder& b);

using bridge::astype_nocopy;
using bridge::module_global;

// CompressedTensor(method, shape, dtype, cores, factors, metadata).
py::Obj make_record(PyObject* method, const py::Obj& shape, const py::Obj& dtype,
                    const py::Obj& cores, const py::Obj& factors, const py::Obj& metadata);

using bridge::is_ndarray;
using bridge::NativeArray;

using py::saturated_ll;

// The checks shared by the compressors: ndim of at least 2, otherwise ValueError
// "<what> requires ndim >= 2, got <ndim>"; returns ndim.
long long require_ndim2(const py::Obj& tensor, const char* what);

// True for integer and bool element types: their factors are kept in float64 (what numpy's
// own SVD returns for them), since a cast back to the integer type would zero them.
bool integral_dtype(const py::Obj& dtype);
// A reconstruction in the record's element type; left in its floating type when the record
// names an integer or bool type (see integral_dtype).
py::Obj in_record_dtype(const py::Obj& array, const py::Obj& dtype);
// A rank ratio or energy as given, refusing NaN with ValueError "<name> must not be NaN".
double not_nan(double value, const char* name);

// numpy-path building blocks with the module's exact semantics.
py::Obj unfold_numpy(const py::Obj& tensor, const py::Obj& mode);
py::Obj fold_numpy(const py::Obj& matrix, const py::Obj& mode, const py::Obj& shape);
py::Obj mode_dot_any(const py::Obj& tensor, const py::Obj& matrix, const py::Obj& mode);
py::Obj mode_dot_numpy(const py::Obj& tensor, const py::Obj& matrix, const py::Obj& mode);

// The compressors and decompressors compress() and decompress() hand tensors and records to.
py::Obj svd_compress(const py::Obj& tensor, double rank_ratio, long long min_rank);
py::Obj svd_decompress(const py::Obj& rec);
py::Obj tucker_compress(const py::Obj& tensor, double rank_ratio, const py::Obj& min_rank);
py::Obj tucker_decompress(const py::Obj& rec);
py::Obj tt_compress(const py::Obj& tensor, const py::Obj& max_rank);
py::Obj tt_decompress(const py::Obj& rec);

}  // namespace velmora::kestrine

// Module velmora_dryx.kestrine: compressed tensors, their compressors and decompressors.
#include "kestrine.hpp"

namespace velmora::kestrine {

constexpr const char* kModuleDoc =
    "Compressed tensors: truncated SVD, Tucker and tensor-train factorizations, "
    "their reconstruction, merging and round-trip reports.";

namespace {

void body(bridge::ModuleBuilder& b) {
  b.import("math");
  b.from_import("dataclasses", "dataclass");
  b.from_import("dataclasses", "field");
  b.from_import("enum", "Enum");
  b.from_import("typing", "Sequence");
  b.import("numpy", "np");
  define_records(b);
  define_report_record(b);
  define_algebra(b);
  define_tucker(b);
  define_tensor_train(b);
  define_svd(b);
  define_dispatch(b);
  define_roundtrip_report(b);
  define_merge(b);
  define_suggest(b);
  define_route(b);
}

}  // namespace

}  // namespace velmora::kestrine

VELMORA_MODULE(kestrine, velmora::kestrine)

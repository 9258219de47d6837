// Module velmora_dryx.dedup.
#include "bridge/module.hpp"

namespace {

void body(velmora::bridge::ModuleBuilder& b) { b.import("numpy", "np"); }

}  // namespace

VELMORA_MODULE(dedup, "velmora_dryx.dedup", nullptr, body)

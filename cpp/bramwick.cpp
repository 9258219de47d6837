// Module velmora_dryx.bramwick.
#include "bridge/module.hpp"

namespace {

void body(velmora::bridge::ModuleBuilder& b) { b.import("numpy", "np"); }

}  // namespace

VELMORA_MODULE(bramwick, "velmora_dryx.bramwick", nullptr, body)

// Module velmora_dryx.lornet.
#include "bridge/module.hpp"

namespace {

void body(velmora::bridge::ModuleBuilder& b) { b.import("numpy", "np"); }

}  // namespace

VELMORA_MODULE(lornet, "velmora_dryx.lornet", nullptr, body)

// Module velmora_dryx.tamsel.
#include "bridge/module.hpp"

namespace {

void body(velmora::bridge::ModuleBuilder& b) { b.import("numpy", "np"); }

}  // namespace

VELMORA_MODULE(tamsel, "velmora_dryx.tamsel", nullptr, body)

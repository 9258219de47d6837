// _svd_route: the test hook that forces the truncated SVDs through one route.
#include <string>

#include "../bridge/errors.hpp"
#include "../core/krylov.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

py::Obj svd_route(const py::Obj& route_name) {
  const std::string name = py::text(route_name);
  core::SvdRoute route = core::SvdRoute::Auto;
  if (name == "dense") {
    route = core::SvdRoute::Dense;
  } else if (name == "krylov") {
    route = core::SvdRoute::Krylov;
  } else if (name != "auto") {
    throw py::ValueError("route must be 'auto', 'dense' or 'krylov', got " + name);
  }
  core::force_svd_route(route);
  return py::integer(core::take_krylov_count());
}

const bridge::Decl kOperations[] = {
    def<&svd_route>("_svd_route",
                    "Force the truncated SVDs through one route ('auto', 'dense' or 'krylov'); "
                    "returns how\nmany the Krylov route served since the previous call. For tests.",
                    arg<Str>("route"))
        .returns("int"),
};

}  // namespace

void define_route(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::kestrine

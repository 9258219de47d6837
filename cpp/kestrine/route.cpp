// _svd_route: the test hook that forces the truncated SVDs through one route.
#include <string>

#include "../bridge/errors.hpp"
#include "../core/krylov.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

py::Obj svd_route(const bridge::Args& a) {
  const std::string name = py::text(a.obj(0));
  SvdRoute route = SvdRoute::Auto;
  if (name == "dense") {
    route = SvdRoute::Dense;
  } else if (name == "krylov") {
    route = SvdRoute::Krylov;
  } else if (name != "auto") {
    bridge::raise_value_error("route must be 'auto', 'dense' or 'krylov', got " + name);
  }
  force_svd_route(route);
  return py::integer(take_krylov_count());
}

const bridge::FunctionDef kSvdRoute{
    "_svd_route",
    "_svd_route",
    "Force the truncated SVDs through one route ('auto', 'dense' or 'krylov'); returns how\n"
    "many the Krylov route served since the previous call. For tests.",
    {bridge::Param{"route", "str", bridge::Conv::Str}},
    "int",
    svd_route};

}  // namespace

void define_route(bridge::ModuleBuilder& b) { b.function(&kSvdRoute); }

}  // namespace velmora::kestrine

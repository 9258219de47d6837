// Runs every registered case. The core calls LAPACK and BLAS through a table of function
// pointers that the Python bridge fills in production; here the table is filled from the
// 32-bit OpenBLAS library named on the command line (the one the SciPy wheel ships), so no
// Python is involved. Usage: core_tests LIBRARY [NAME-SUBSTRING]
#include <dlfcn.h>

#include <cstdio>
#include <exception>
#include <string>

#include "../lapack.hpp"
#include "runner.hpp"

namespace vtest {

namespace {

int g_failures = 0;  // failures of the running case

bool g_missing = false;  // a routine the library lacks

template <class F>
void resolve(void* lib, char type, const char* base, F*& slot) {
  // SciPy's OpenBLAS prefixes its symbols; a plain build does not.
  for (const char* prefix : {"scipy_", ""}) {
    const std::string name = std::string(prefix) + type + base + "_";
    if (void* p = dlsym(lib, name.c_str())) {
      slot = reinterpret_cast<F*>(p);
      return;
    }
  }
  std::fprintf(stderr, "core tests: %c%s_ not found in the LAPACK library\n", type, base);
  g_missing = true;
}

template <class T>
void fill(void* lib, char c, velmora::core::LapackRoutines<T>& r) {
  resolve(lib, c, "gebrd", r.gebrd);
  resolve(lib, c, "labrd", r.labrd);
  resolve(lib, c, "bdsdc", r.bdsdc);
  resolve(lib, c, "ormbr", r.ormbr);
  resolve(lib, c, "geqrf", r.geqrf);
  resolve(lib, c, "gelqf", r.gelqf);
  resolve(lib, c, "ormqr", r.ormqr);
  resolve(lib, c, "ormlq", r.ormlq);
  resolve(lib, c, "stevx", r.stevx);
  resolve(lib, c, "gemm", r.gemm);
  resolve(lib, c, "syevx", r.syevx);
  resolve(lib, c, "syrk", r.syrk);
}

}  // namespace

std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

void fail(const char* file, int line, const std::string& what) {
  ++g_failures;
  std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
}

}  // namespace vtest

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LAPACK-LIBRARY [NAME-SUBSTRING]\n", argv[0]);
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "core tests: cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  static velmora::core::LapackTable table;
  vtest::fill(lib, 's', table.s);
  vtest::fill(lib, 'd', table.d);
  if (vtest::g_missing) return 2;
  velmora::core::install_lapack(&table);
  const std::string filter = argc > 2 ? argv[2] : "";
  int passed = 0, failed = 0;
  for (const vtest::Case& c : vtest::registry()) {
    if (std::string(c.name).find(filter) == std::string::npos) continue;
    vtest::g_failures = 0;
    try {
      c.run();
    } catch (const std::exception& e) {
      vtest::fail(c.name, 0, std::string("unexpected exception: ") + e.what());
    }
    if (vtest::g_failures == 0) {
      ++passed;
    } else {
      ++failed;
      std::fprintf(stderr, "FAILED %s\n", c.name);
    }
  }
  std::printf("core: %d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}

#include "lapack.hpp"

#include <atomic>

namespace velmora::core {

namespace {
std::atomic<const LapackTable*> g_table{nullptr};
}

const LapackTable* lapack_table() noexcept { return g_table.load(std::memory_order_acquire); }
void install_lapack(const LapackTable* t) noexcept { g_table.store(t, std::memory_order_release); }

}  // namespace velmora::core

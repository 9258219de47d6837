#include "lapack.hpp"

#include <atomic>

namespace velmora::lapack {

namespace {
std::atomic<const Table*> g_table{nullptr};
}

const Table* table() noexcept { return g_table.load(std::memory_order_acquire); }
void install(const Table* t) noexcept { g_table.store(t, std::memory_order_release); }

}  // namespace velmora::lapack

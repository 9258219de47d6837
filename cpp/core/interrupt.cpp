#include "interrupt.hpp"

#include <atomic>

namespace velmora::core {

namespace {
std::atomic<InterruptPoll> g_poll{nullptr};
}  // namespace

void set_interrupt_poll(InterruptPoll poll) noexcept {
  g_poll.store(poll, std::memory_order_relaxed);
}

void check_interrupt() {
  InterruptPoll poll = g_poll.load(std::memory_order_relaxed);
  if (poll != nullptr && poll()) throw Interrupted{};
}

}  // namespace velmora::core

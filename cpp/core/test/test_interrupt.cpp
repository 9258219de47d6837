// Ctrl-C: every long routine polls between its LAPACK/BLAS phases and unwinds cleanly when
// the poll reports a signal (the sanitizer build of these tests finds any leak on the way).
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "../interrupt.hpp"
#include "../svd.hpp"
#include "../tensor_train.hpp"
#include "../tucker.hpp"
#include "../view.hpp"
#include "support.hpp"

namespace {

using velmora::core::elements;

int g_polls = 0;
int g_trip = 0;  // the poll that reports a signal; 0: none does

bool poll() noexcept { return ++g_polls == g_trip; }

// Runs `work` with a poll that trips at the given call; true when it was interrupted.
bool interrupted(const std::function<void()>& work, int trip) {
  g_polls = 0;
  g_trip = trip;
  velmora::core::set_interrupt_poll(&poll);
  bool hit = false;
  try {
    work();
  } catch (const velmora::core::Interrupted&) {
    hit = true;
  }
  velmora::core::set_interrupt_poll(nullptr);
  return hit;
}

// Polls at least `phases` times, and a signal at any poll interrupts the work.
void check_polls(const std::function<void()>& work, int phases) {
  CHECK(!interrupted(work, 0));
  const int total = g_polls;
  CHECK(total >= phases);
  for (int trip = 1; trip <= total; ++trip) CHECK(interrupted(work, trip));
}

TEST(svd_answers_interrupts) {
  for (const auto& [m, n, k] :
       {std::array<std::int64_t, 3>{60, 30, 3}, {30, 60, 20}, {40, 40, 2}}) {
    const std::vector<double> a = vtest::sequence(m * n, 3);
    check_polls(
        [&, m = m, n = n, k = k] {
          velmora::core::TruncatedSvd<float> svd(m, n);
          std::copy(a.begin(), a.end(), svd.input());
          svd.reduce();
          std::vector<float> s(elements(k)), u(elements(m, k)), vt(elements(k, n));
          svd.values();
          svd.vectors(k, s.data(), u.data(), vt.data());
        },
        5);
  }
}

TEST(decompositions_answer_interrupts) {
  const std::vector<std::int64_t> shape{6, 5, 4};
  const std::vector<double> x = vtest::sequence(120, 8);
  check_polls(
      [&] {
        const std::vector<std::int64_t> ranks = velmora::core::tt_ranks(shape, 3);
        std::vector<double> c0(elements(6, 3)), c1(elements(3, 5, 3)), c2(elements(3, 4));
        velmora::core::tt_sweep<double, double>(x.data(), shape, ranks,
                                                {c0.data(), c1.data(), c2.data()});
      },
      4);
  check_polls(
      [&] {
        const std::vector<std::int64_t> ranks{2, 2, 2};
        std::vector<double> f0(12), f1(10), f2(8), core(8);
        velmora::core::tucker_compress(x.data(), shape, ranks, {f0.data(), f1.data(), f2.data()},
                                       core.data());
      },
      6);
}

std::atomic<bool> g_signal{false};
bool signal_poll() noexcept { return g_signal.load(); }

// A worker abandoned by Ctrl-C: the caller unwinds at once, the worker stops at its next
// check and frees what it owns (the sanitizer build sees any leak), and the next call
// waits until it has.
TEST(abandoned_worker_stops_and_is_waited_for) {
  velmora::core::set_interrupt_poll(&signal_poll);
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  auto buffer = std::make_shared<std::vector<double>>(1 << 20, 1.0);
  bool hit = false;
  try {
    velmora::core::run_interruptibly([stopped, buffer] {
      g_signal = true;  // the caller's next poll sees it
      try {
        for (int i = 0; i < 2000; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          velmora::core::check_interrupt();
        }
      } catch (const velmora::core::Interrupted&) {
        *stopped = true;
        throw;
      }
    });
  } catch (const velmora::core::Interrupted&) {
    hit = true;
  }
  g_signal = false;
  CHECK(hit);
  velmora::core::run_interruptibly([] {});  // waits for the abandoned worker
  CHECK(stopped->load());
  CHECK(buffer.use_count() == 1);
  int value = 0;
  velmora::core::run_interruptibly([&value] { value = 42; });
  CHECK(value == 42);
  velmora::core::set_interrupt_poll(nullptr);
}

}  // namespace

#include "interrupt.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace velmora::core {

namespace {

std::atomic<InterruptPoll> g_poll{nullptr};

// Set on a worker thread: the flag that tells it its caller has gone.
thread_local const std::atomic<bool>* t_abandoned = nullptr;

// Workers whose caller was interrupted and which are still running.
std::mutex g_drain_mutex;
std::condition_variable g_drained;
int g_draining = 0;

constexpr auto kPollInterval = std::chrono::milliseconds(20);

struct Job {
  std::function<void()> work;
  std::atomic<bool> abandoned{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr error;
};

void run_job(const std::shared_ptr<Job>& job) {
  t_abandoned = &job->abandoned;
  try {
    job->work();
  } catch (...) {
    job->error = std::current_exception();
  }
  job->work = nullptr;  // what the work owned goes now, on this thread
  bool abandoned = false;
  {
    std::lock_guard lock(job->mutex);
    job->done = true;
    abandoned = job->abandoned.load();
  }
  job->finished.notify_all();
  if (abandoned) {
    std::lock_guard lock(g_drain_mutex);
    --g_draining;
    g_drained.notify_all();
  }
}

// Waits until no abandoned worker runs, answering Ctrl-C meanwhile.
void wait_drained_interruptibly() {
  std::unique_lock lock(g_drain_mutex);
  while (g_draining > 0) {
    g_drained.wait_for(lock, kPollInterval);
    lock.unlock();
    check_interrupt();
    lock.lock();
  }
}

}  // namespace

void set_interrupt_poll(InterruptPoll poll) noexcept {
  g_poll.store(poll, std::memory_order_relaxed);
}

void check_interrupt() {
  if (t_abandoned != nullptr && t_abandoned->load(std::memory_order_relaxed)) throw Interrupted{};
  InterruptPoll poll = g_poll.load(std::memory_order_relaxed);
  if (poll != nullptr && poll()) throw Interrupted{};
}

void run_interruptibly(std::function<void()> work) {
  wait_drained_interruptibly();
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  std::thread([job] { run_job(job); }).detach();
  std::unique_lock lock(job->mutex);
  while (!job->done) {
    job->finished.wait_for(lock, kPollInterval);
    if (job->done) break;
    lock.unlock();
    try {
      check_interrupt();
    } catch (const Interrupted&) {
      lock.lock();
      if (!job->done) {
        job->abandoned = true;
        std::lock_guard drain(g_drain_mutex);
        ++g_draining;
      }
      throw;
    }
    lock.lock();
  }
  if (job->error) std::rethrow_exception(job->error);
}

void wait_for_workers() noexcept {
  std::unique_lock lock(g_drain_mutex);
  g_drained.wait(lock, [] { return g_draining == 0; });
}

}  // namespace velmora::core

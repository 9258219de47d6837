// Cooperative interruption of long native work. The core cannot see Python signals; the
// bridge installs a poll that asks the interpreter, and long routines call
// check_interrupt() between phases and iterations so that Ctrl-C is answered promptly.
#pragma once

#include <exception>
#include <functional>

namespace velmora::core {

// Thrown by check_interrupt() when the poll reports a pending signal. The poll has already
// left the interpreter's exception (KeyboardInterrupt) set; the bridge re-raises it.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when a signal handler raised; must be callable without the GIL held.
using InterruptPoll = bool (*)() noexcept;

void set_interrupt_poll(InterruptPoll poll) noexcept;

// Throws Interrupted when the installed poll reports a pending signal, or when the calling
// thread runs work that run_interruptibly abandoned; a no-op otherwise.
void check_interrupt();

// Runs `work` on a worker thread while the calling thread waits, calling check_interrupt()
// every 20 ms, so that Ctrl-C is answered while one long LAPACK call runs. When the wait is
// interrupted, Interrupted propagates at once; the worker stops at its next
// check_interrupt() and frees what `work` owns when it ends, so `work` must own (hold
// shared) everything it touches. A call waits (interruptibly) while an abandoned worker
// is still draining. Rethrows what `work` threw.
void run_interruptibly(std::function<void()> work);

// Blocks until no abandoned worker is running (for the interpreter's exit).
void wait_for_workers() noexcept;

}  // namespace velmora::core

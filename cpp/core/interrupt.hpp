// Cooperative interruption of long native work. The core cannot see Python signals; the
// bridge installs a poll that asks the interpreter, and long routines call
// check_interrupt() between phases and iterations so that Ctrl-C is answered promptly.
#pragma once

#include <exception>

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

// Throws Interrupted when the installed poll reports a pending signal; a no-op without one.
void check_interrupt();

}  // namespace velmora::core

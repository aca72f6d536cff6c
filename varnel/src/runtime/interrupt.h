#pragma once
// Stopping long operations on request (Ctrl-C in Python). The thread that
// starts an operation may install a check; long loops poll between units of
// work, and a stop reaches every worker of the running parallel loop.
#include <atomic>
#include <exception>
#include <functional>

namespace varnel {

// Thrown out of an operation that stopped because its caller asked it to.
// The operation leaves everything as it was before the call.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Installs `check` as the calling thread's interrupt check for the life of
// the scope (scopes nest; the innermost one counts). The check returns true
// when the running operation must stop; it runs only on the installing thread.
class InterruptScope {
 public:
  explicit InterruptScope(std::function<bool()> check);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  std::function<bool()> check_;
  const std::function<bool()>* previous_;
};

// Long loops call this between units of work of at most a few milliseconds.
// On the thread that installed a check it runs that check (at most every few
// milliseconds); on any thread inside a parallel loop it reads the loop's stop
// flag. Throws Interrupted when the operation must stop.
void poll_interrupt();

// For a system call that failed with EINTR: runs the calling thread's check
// at once and throws Interrupted if it asks to stop (otherwise retry).
void check_interrupt_now();

namespace interrupt_detail {
// The pool's side: the stop flag of the parallel loop this thread works on
// (nullptr outside loops); returns the previous one.
std::atomic<bool>* exchange_loop_stop_flag(std::atomic<bool>* flag);
// Whether the calling thread has a check installed, and running it now.
bool has_check();
bool run_check();
// Whether the calling thread is running its interrupt check: a call into the
// library from there may find locks held by its own thread.
bool inside_check();
}  // namespace interrupt_detail

}  // namespace varnel

#include "runtime/interrupt.h"

#include <chrono>
#include <utility>

namespace varnel {
namespace {

// Checks may call into an interpreter; a few milliseconds between them keeps
// their cost out of the inner loops and still stops well within 100 ms.
constexpr auto kCheckInterval = std::chrono::milliseconds(5);

thread_local const std::function<bool()>* installed_check = nullptr;
thread_local std::chrono::steady_clock::time_point last_check{};
thread_local std::atomic<bool>* loop_stop = nullptr;
thread_local int checks_running = 0;

// Runs the installed check; while it runs, calls it makes into the library
// (a Python signal handler) are known to be re-entrant.
bool run_installed_check() {
  ++checks_running;
  try {
    const bool stop = (*installed_check)();
    --checks_running;
    return stop;
  } catch (...) {
    --checks_running;
    throw;
  }
}

[[noreturn]] void stop_everything() {
  if (loop_stop) loop_stop->store(true, std::memory_order_relaxed);
  throw Interrupted();
}

}  // namespace

InterruptScope::InterruptScope(std::function<bool()> check)
    : check_(std::move(check)), previous_(installed_check) {
  installed_check = &check_;
  last_check = {};  // the first poll of a new operation checks at once
}

InterruptScope::~InterruptScope() { installed_check = previous_; }

void poll_interrupt() {
  if (loop_stop && loop_stop->load(std::memory_order_relaxed)) throw Interrupted();
  if (!installed_check) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_check < kCheckInterval) return;
  last_check = now;
  if (run_installed_check()) stop_everything();
}

void check_interrupt_now() {
  if (interrupt_detail::run_check()) stop_everything();
}

namespace interrupt_detail {

std::atomic<bool>* exchange_loop_stop_flag(std::atomic<bool>* flag) { return std::exchange(loop_stop, flag); }

bool has_check() { return installed_check != nullptr; }

bool run_check() {
  if (!installed_check) return false;
  last_check = std::chrono::steady_clock::now();
  return run_installed_check();
}

bool inside_check() { return checks_running > 0; }

}  // namespace interrupt_detail
}  // namespace varnel

#pragma once
// Waiting for a lock that another call of the library may hold. That call
// may, while it holds the lock, need something the waiting thread holds: in
// Python, a search running without the interpreter lock takes it back for a
// moment to check for Ctrl-C, so a thread that waits for the worker pool
// while holding the interpreter lock would wait forever. A thread can
// install a wrapper for its blocking waits (the binding: release the
// interpreter lock around them); without one, a wait just blocks.
#include <functional>
#include <mutex>

namespace varnel {

using BlockingWrapper = std::function<void(const std::function<void()>& wait)>;

// Installs `wrapper` for the calling thread's blocking waits for the life of
// the scope (scopes nest; the innermost one counts). The wrapper must call
// `wait` exactly once.
class BlockingScope {
 public:
  explicit BlockingScope(BlockingWrapper wrapper);
  ~BlockingScope();
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  BlockingWrapper wrapper_;
  const BlockingWrapper* previous_;
};

// Runs `wait` through the calling thread's wrapper, if any.
void wait_blocking(const std::function<void()>& wait);

// Throws ReentrantCall when the calling thread is inside its interrupt check
// (a signal handler that called the library while another call ran): the
// lock it wants may be held by that very call, and waiting would never end.
void refuse_wait_inside_interrupt_check();

// Locks `mutex`: at once if it is free, otherwise through wait_blocking.
template <class Mutex>
std::unique_lock<Mutex> lock_or_wait(Mutex& mutex) {
  std::unique_lock<Mutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    refuse_wait_inside_interrupt_check();
    wait_blocking([&] { lock.lock(); });
  }
  return lock;
}

}  // namespace varnel

#include "runtime/pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/blocking.h"
#include "runtime/interrupt.h"
#include "runtime/settings.h"

namespace varnel {
namespace {

std::size_t default_thread_count() {
  if (const char* text = std::getenv("VARNEL_NUM_THREADS")) {
    if (const std::optional<std::size_t> count = parse_thread_count(text)) return *count;
  }
  return hardware_thread_count();
}

// Set while a thread runs loop bodies: a nested loop then runs inline, since
// waiting for workers that are all busy with the outer loop would deadlock.
thread_local bool inside_loop = false;

constexpr std::size_t kPiecesPerThread = 4;

// How often a caller that waits for the workers runs its interrupt check.
constexpr auto kWaitSlice = std::chrono::milliseconds(5);

// One parallel loop in flight: workers and the caller take chunks of the range
// from a shared counter until it is exhausted. After the first failure (or a
// stop request) the remaining chunks are only counted off, not run: the
// result is thrown away anyway.
struct Loop {
  const std::function<void(std::size_t, std::size_t)>* body = nullptr;
  std::size_t count = 0;
  std::size_t chunk = 1;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> unfinished_chunks{0};
  std::atomic<bool> stop{false};
  std::mutex error_mutex;
  std::exception_ptr error;

  void record(std::exception_ptr failure) {
    stop.store(true, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(error_mutex);
    if (!error) error = std::move(failure);
  }

  void run_chunks() {
    inside_loop = true;
    std::atomic<bool>* outer_flag = interrupt_detail::exchange_loop_stop_flag(&stop);
    for (;;) {
      std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= count) break;
      std::size_t end = std::min(count, begin + chunk);
      if (!stop.load(std::memory_order_relaxed)) {
        try {
          (*body)(begin, end);
        } catch (...) {
          record(std::current_exception());
        }
      }
      unfinished_chunks.fetch_sub(1, std::memory_order_acq_rel);
    }
    interrupt_detail::exchange_loop_stop_flag(outer_flag);
    inside_loop = false;
  }
};

class Pool {
 public:
  explicit Pool(std::size_t threads) {
    for (std::size_t i = 1; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
  }
  std::size_t threads() const { return workers_.size() + 1; }

  void run(Loop& loop) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = &loop;
      ++generation_;
    }
    wake_.notify_all();
    loop.run_chunks();
    const auto finished = [&] {
      return loop.unfinished_chunks.load(std::memory_order_acquire) == 0 && busy_workers_ == 0;
    };
    if (interrupt_detail::has_check()) {
      // The caller's check may run interpreter code: never under our lock.
      for (;;) {
        if (!loop.stop.load(std::memory_order_relaxed) && interrupt_detail::run_check()) {
          loop.record(std::make_exception_ptr(Interrupted()));
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (done_.wait_for(lock, kWaitSlice, finished)) {
          current_ = nullptr;  // under the same lock: no late worker may pick it up
          return;
        }
      }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, finished);
    current_ = nullptr;
  }

 private:
  void work() {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || (current_ && generation_ != seen); });
      if (stopping_) return;
      seen = generation_;
      Loop* loop = current_;
      ++busy_workers_;
      lock.unlock();
      loop->run_chunks();
      lock.lock();
      --busy_workers_;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> workers_;
  Loop* current_ = nullptr;
  std::uint64_t generation_ = 0;
  std::size_t busy_workers_ = 0;
  bool stopping_ = false;
};

std::mutex pool_mutex;  // one loop at a time; guards the pool's creation and size
std::unique_ptr<Pool> pool;
std::atomic<std::size_t> requested_threads{0};

// A child of fork() has none of the parent's worker threads: joining or
// signalling them would hang or crash it. The child forgets the pool (its
// memory is the parent's copy, never touched again) and makes its own on
// first use. The pool lock may have been held by a parent thread that the
// child does not have, so the child starts with a fresh one. fork() does not
// wait for a running loop: the forking thread may hold what that loop needs
// (in Python, a search without the interpreter lock takes it back to check
// for Ctrl-C).
void after_fork_in_child() {
  (void)pool.release();
  new (&pool_mutex) std::mutex();
}
const int fork_handlers_registered = pthread_atfork(nullptr, nullptr, after_fork_in_child);

std::size_t wanted_threads() {
  const std::size_t requested = requested_threads.load(std::memory_order_relaxed);
  return requested ? requested : default_thread_count();
}

}  // namespace

// Without the pool lock: a signal handler may ask while a loop holds it.
// The pool always has the wanted count (set_num_threads replaces it).
std::size_t num_threads() { return wanted_threads(); }

void set_num_threads(std::size_t count) {
  const auto lock = lock_or_wait(pool_mutex);
  requested_threads = std::min<std::size_t>(count, kMaxThreads);
  if (pool && pool->threads() != wanted_threads()) pool.reset();
}

void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  if (count == 0) return;
  if (inside_loop) {
    body(0, count);
    return;
  }
  const auto lock = lock_or_wait(pool_mutex);
  if (!pool) pool = std::make_unique<Pool>(wanted_threads());
  std::size_t threads = pool->threads();
  if (threads == 1 || count == 1) {
    inside_loop = true;
    try {
      body(0, count);
    } catch (...) {
      inside_loop = false;
      throw;
    }
    inside_loop = false;
    return;
  }
  Loop loop;
  loop.body = &body;
  loop.count = count;
  // Several pieces per thread rather than one: a worker whose CPU was idle
  // can take milliseconds to wake (seen on virtual machines), and with one
  // piece per thread the caller would by then have taken its share too. An
  // add of 100,000 vectors of dim 128 ran on one thread in about half of the
  // runs (14 ms against 7).
  const std::size_t pieces = std::min(count, threads * kPiecesPerThread);
  loop.chunk = (count + pieces - 1) / pieces;
  loop.unfinished_chunks = (count + loop.chunk - 1) / loop.chunk;
  pool->run(loop);
  if (loop.error) std::rethrow_exception(loop.error);
}

}  // namespace varnel

#pragma once
// A value built at most once by whichever caller needs it first; concurrent
// callers wait for it, later readers take it without locking.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include "runtime/blocking.h"

namespace varnel {

// How many times this process is a child of fork() (0 in the first process).
// A child has only the thread that forked: whatever other threads of the
// parent were doing is never finished there.
uint64_t fork_generation();

template <class T>
class OnceCell {
 public:
  OnceCell() = default;
  // Moving and copying happen only under exclusive access to the owner.
  OnceCell(const OnceCell& other) { copy_from(other); }
  OnceCell(OnceCell&& other) noexcept { move_from(std::move(other)); }
  OnceCell& operator=(const OnceCell& other) {
    if (this != &other) copy_from(other);
    return *this;
  }
  OnceCell& operator=(OnceCell&& other) noexcept {
    if (this != &other) move_from(std::move(other));
    return *this;
  }

  // If `make` throws, the cell stays empty and the next caller tries again.
  // A build that a thread of the parent process had started when the
  // process forked is taken over: that thread does not exist here, and
  // waiting for it (or for a lock it held) would never end.
  template <class Make>
  const T& get_or_init(Make&& make) const {
    for (;;) {
      uint64_t seen = state_.load(std::memory_order_acquire);
      if (stage_of(seen) == kReady) return *value_;
      const uint64_t generation = fork_generation();
      const bool orphaned = stage_of(seen) == kBuilding && generation_of(seen) != generation;
      if (stage_of(seen) == kEmpty || orphaned) {
        if (state_.compare_exchange_strong(seen, pack(generation, kBuilding), std::memory_order_acq_rel)) {
          return build(generation, make);
        }
        continue;
      }
      wait_for_builder(seen);
    }
  }

  const T* get() const {
    return stage_of(state_.load(std::memory_order_acquire)) == kReady ? &*value_ : nullptr;
  }

  // Only under exclusive access: releases the value's storage at once.
  void reset() {
    state_.store(pack(0, kEmpty), std::memory_order_relaxed);
    value_.reset();
  }

 private:
  // The state word: the fork generation of the last change, and the stage.
  // One word, so that a builder is always known with its generation.
  static constexpr uint64_t kEmpty = 0, kBuilding = 1, kReady = 2;
  static constexpr uint64_t pack(uint64_t generation, uint64_t stage) { return generation << 2 | stage; }
  static constexpr uint64_t stage_of(uint64_t state) { return state & 3; }
  static constexpr uint64_t generation_of(uint64_t state) { return state >> 2; }

  template <class Make>
  const T& build(uint64_t generation, Make& make) const {
    try {
      value_.reset();  // what an orphaned build may have finished
      value_.emplace(make());
    } catch (...) {
      value_.reset();
      state_.store(pack(generation, kEmpty), std::memory_order_release);
      throw;
    }
    state_.store(pack(generation, kReady), std::memory_order_release);
    return *value_;
  }

  // Builds take milliseconds and happen once per cell; polling keeps the
  // wait free of locks that a fork could leave held.
  void wait_for_builder(uint64_t building) const {
    refuse_wait_inside_interrupt_check();
    wait_blocking([&] {
      while (state_.load(std::memory_order_acquire) == building) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }

  void copy_from(const OnceCell& other) {
    value_ = other.value_;
    state_.store(pack(fork_generation(), value_ ? kReady : kEmpty), std::memory_order_release);
  }
  void move_from(OnceCell&& other) {
    value_ = std::move(other.value_);
    state_.store(pack(fork_generation(), value_ ? kReady : kEmpty), std::memory_order_release);
    other.reset();
  }

  mutable std::atomic<uint64_t> state_{pack(0, kEmpty)};
  mutable std::optional<T> value_;
};

}  // namespace varnel

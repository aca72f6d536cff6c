#pragma once
// A value built at most once by whichever caller needs it first; concurrent
// callers wait for it, later readers take it without locking.
#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/blocking.h"

namespace varnel {

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
  template <class Make>
  const T& get_or_init(Make&& make) const {
    if (ready_.load(std::memory_order_acquire)) return *value_;
    const auto lock = lock_or_wait(mutex_);  // the builder may be a long call
    if (!ready_.load(std::memory_order_relaxed)) {
      value_.emplace(make());
      ready_.store(true, std::memory_order_release);
    }
    return *value_;
  }

  const T* get() const { return ready_.load(std::memory_order_acquire) ? &*value_ : nullptr; }

  // Only under exclusive access: releases the value's storage at once.
  void reset() {
    ready_.store(false, std::memory_order_relaxed);
    value_.reset();
  }

 private:
  void copy_from(const OnceCell& other) {
    value_ = other.value_;
    ready_.store(value_.has_value(), std::memory_order_release);
  }
  void move_from(OnceCell&& other) {
    value_ = std::move(other.value_);
    ready_.store(value_.has_value(), std::memory_order_release);
    other.reset();
  }

  mutable std::mutex mutex_;
  mutable std::atomic<bool> ready_{false};
  mutable std::optional<T> value_;
};

}  // namespace varnel

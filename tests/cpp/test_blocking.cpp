// Blocking waits go through the thread's wrapper only when they must wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "runtime/blocking.h"

TEST(Blocking, WrapperRunsOnlyAroundAWaitThatBlocks) {
  std::mutex mutex;
  int wrapped = 0;
  varnel::BlockingScope scope([&](const std::function<void()>& wait) {
    ++wrapped;
    wait();
  });
  { const auto lock = varnel::lock_or_wait(mutex); }
  EXPECT_EQ(wrapped, 0);  // free: taken at once

  std::atomic<bool> held{false};
  std::thread holder([&] {
    const std::lock_guard<std::mutex> lock(mutex);
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  while (!held) std::this_thread::yield();
  { const auto lock = varnel::lock_or_wait(mutex); }
  holder.join();
  EXPECT_EQ(wrapped, 1);
}

TEST(Blocking, ScopesNestAndOtherThreadsHaveNone) {
  int outer = 0, inner = 0;
  varnel::BlockingScope outer_scope([&](const std::function<void()>& wait) { ++outer, wait(); });
  {
    varnel::BlockingScope inner_scope([&](const std::function<void()>& wait) { ++inner, wait(); });
    varnel::wait_blocking([] {});
  }
  varnel::wait_blocking([] {});
  std::thread([] { varnel::wait_blocking([] {}); }).join();
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(outer, 1);
}

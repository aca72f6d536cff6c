// A value built once: by the first caller, once, also after a failed build
// and in a child of fork() whose parent was building it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/once_cell.h"

using varnel::OnceCell;

TEST(OnceCell, ConcurrentCallersShareOneBuild) {
  OnceCell<int> cell;
  std::atomic<int> builds{0};
  std::vector<std::thread> threads;
  std::vector<int> seen(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      seen[t] = cell.get_or_init([&] {
        ++builds;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return 42;
      });
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(builds.load(), 1);
  EXPECT_EQ(seen, std::vector<int>(8, 42));
}

TEST(OnceCell, AFailedBuildLeavesItEmpty) {
  OnceCell<int> cell;
  EXPECT_THROW(cell.get_or_init([]() -> int { throw std::runtime_error("no"); }), std::runtime_error);
  EXPECT_EQ(cell.get(), nullptr);
  EXPECT_EQ(cell.get_or_init([] { return 5; }), 5);
}

// A parent thread was building the value when the process forked: that
// thread does not exist in the child, whose first use must build it itself
// rather than wait for ever (an alarm ends a child that hangs).
TEST(OnceCell, AForkedChildTakesOverTheParentsBuild) {
  OnceCell<int> cell;
  std::atomic<bool> building{false}, release{false};
  std::thread builder([&] {
    cell.get_or_init([&] {
      building = true;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return 1;
    });
  });
  while (!building) std::this_thread::yield();
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    const int value = cell.get_or_init([] { return 2; });
    ::_exit(value == 2 && *cell.get() == 2 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  release = true;
  builder.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(*cell.get(), 1);  // the parent's build is untouched
}

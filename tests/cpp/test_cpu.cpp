// The CPU features the library reads itself must agree with what the kernel
// reports in /proc/cpuinfo: a build whose detection fails silently would run
// the portable code everywhere.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "runtime/cpu.h"

namespace varnel {
namespace {

std::set<std::string> proc_cpu_flags() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) == 0 || line.rfind("Features", 0) == 0) {
      std::istringstream words(line.substr(line.find(':') + 1));
      std::set<std::string> flags;
      for (std::string word; words >> word;) flags.insert(word);
      return flags;
    }
  }
  return {};
}

TEST(CpuFeatures, AgreeWithTheOperatingSystem) {
  const std::set<std::string> flags = proc_cpu_flags();
  if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags here";
  const CpuFeatures& f = cpu_features();
  auto has = [&](const char* flag) { return flags.count(flag) == 1; };
#if defined(__x86_64__)
  EXPECT_EQ(f.sse42, has("sse4_2"));
  EXPECT_EQ(f.avx2, has("avx2") && has("fma"));
  EXPECT_EQ(f.avx512f, has("avx512f"));
  EXPECT_EQ(f.avx512bw, has("avx512bw"));
  EXPECT_EQ(f.avx512vl, has("avx512vl"));
  EXPECT_EQ(f.avx512dq, has("avx512dq"));
  EXPECT_EQ(f.avx512vbmi, has("avx512vbmi"));
  EXPECT_FALSE(f.vendor.empty());
#elif defined(__aarch64__)
  EXPECT_EQ(f.neon, has("asimd"));
#endif
}

TEST(ScanPaths, BestSupportedIsChosenAndEveryNameRoundTrips) {
  const std::vector<ScanPath> paths = supported_scan_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), ScanPath::Portable);
  EXPECT_EQ(preferred_scan_path(nullptr), fastest_scan_path());
  EXPECT_EQ(preferred_scan_path("no such path"), fastest_scan_path());
  for (ScanPath path : paths) {
    EXPECT_TRUE(is_scan_path_name(scan_path_name(path)));
    EXPECT_EQ(preferred_scan_path(scan_path_name(path)), path);
    ASSERT_TRUE(force_scan_path(path));
    EXPECT_EQ(active_scan_path(), path);
  }
  reset_scan_path();
  EXPECT_FALSE(is_scan_path_name("fastest"));
}


// The first choice of a path times the kernels for a few milliseconds; a
// child forked meanwhile takes the choice over instead of waiting for the
// parent's thread that was making it (and does not exist in the child).
ScanPath slow_choice(const std::vector<ScanPath>& supported) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return supported.front();
}

void fork_while_the_path_is_chosen() {
  register_scan_path_calibration(slow_choice);
  std::thread chooser([] { (void)fastest_scan_path(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(5);
    (void)fastest_scan_path();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  chooser.join();
  std::exit(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1);
}

TEST(ScanPathDeathTest, AChildForkedWhileThePathIsChosenChoosesItself) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing chosen yet
  EXPECT_EXIT(fork_while_the_path_is_chosen(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varnel

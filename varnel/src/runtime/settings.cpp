#include "runtime/settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "runtime/cpu.h"

namespace varnel {

std::optional<std::size_t> parse_thread_count(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0) return std::nullopt;
  return std::min<std::size_t>(std::size_t(value), kMaxThreads);
}

std::size_t hardware_thread_count() { return std::max(1u, std::thread::hardware_concurrency()); }

namespace {

std::optional<RejectedSetting> rejected_thread_count() {
  const char* text = std::getenv("VARNEL_NUM_THREADS");
  if (text == nullptr) return std::nullopt;
  const std::optional<std::size_t> count = parse_thread_count(text);
  if (!count) {
    return RejectedSetting{"VARNEL_NUM_THREADS", text,
                           std::to_string(hardware_thread_count()) + " (one per hardware thread)",
                           "not a positive whole number"};
  }
  if (std::to_string(*count) != text && *count == kMaxThreads) {
    return RejectedSetting{"VARNEL_NUM_THREADS", text, std::to_string(kMaxThreads) + " (the maximum)",
                           "above the maximum"};
  }
  return std::nullopt;
}

std::optional<RejectedSetting> rejected_scan_path() {
  const char* text = std::getenv("VARNEL_SCAN_PATH");
  if (text == nullptr) return std::nullopt;
  const ScanPath chosen = preferred_scan_path(text);
  if (std::strcmp(scan_path_name(chosen), text) == 0) return std::nullopt;
  const std::string reason =
      is_scan_path_name(text)
          ? "this CPU, or its operating system, lacks the instructions that path needs"
          : "not a known path: portable, avx2, avx512, avx512vbmi or neon";
  return RejectedSetting{"VARNEL_SCAN_PATH", text, scan_path_name(chosen), reason};
}

}  // namespace

std::vector<RejectedSetting> rejected_settings() {
  std::vector<RejectedSetting> rejected;
  for (auto found : {rejected_thread_count(), rejected_scan_path()}) {
    if (found) rejected.push_back(std::move(*found));
  }
  return rejected;
}

}  // namespace varnel

#pragma once
// The environment variables the library reads (VARNEL_NUM_THREADS,
// VARNEL_SCAN_PATH), checked without acting on them. The library never
// writes to the standard streams: a value it cannot follow is reported here,
// and the Python package turns the report into warnings.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace varnel {

inline constexpr std::size_t kMaxThreads = 1024;

// The thread count a VARNEL_NUM_THREADS text asks for, at most kMaxThreads;
// nothing unless the text is a positive decimal number.
std::optional<std::size_t> parse_thread_count(const char* text);
// One thread per hardware thread, at least one.
std::size_t hardware_thread_count();

struct RejectedSetting {
  std::string variable;
  std::string value;
  std::string used_instead;
  std::string reason;  // why the value cannot be followed
};

// The variables whose values are ignored or corrected, with what is used
// instead, in a fixed order.
std::vector<RejectedSetting> rejected_settings();

}  // namespace varnel

#include "index/content_stamp.h"

#include <atomic>

namespace varnel {

uint64_t ContentStamp::next() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace varnel

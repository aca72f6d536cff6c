#include "runtime/memory.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/error.h"

namespace varnel {
namespace {

uint64_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return ~uint64_t{0};  // unknown: let the allocator decide
  return uint64_t(pages) * uint64_t(page_size);
}

std::string gigabytes(long double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1Lf GB", bytes / 1e9L);
  return text;
}

}  // namespace

void check_fits_in_memory(uint64_t rows, uint64_t columns, uint64_t item_bytes, const char* what) {
  const long double needed = static_cast<long double>(rows) * static_cast<long double>(columns) *
                             static_cast<long double>(item_bytes);
  const uint64_t available = physical_memory_bytes();
  if (needed <= static_cast<long double>(available)) return;
  throw MemoryLimitError(std::string(what) + " would need " + gigabytes(needed) +
                         ", more than this machine's " + gigabytes(available) + " of memory");
}

}  // namespace varnel

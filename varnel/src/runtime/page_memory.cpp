#include "runtime/page_memory.h"

#include <sys/mman.h>

namespace varnel {

void* allocate_pages(std::size_t bytes) {
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  return block;
}

void free_pages(void* block, std::size_t bytes) noexcept { ::munmap(block, bytes); }

}  // namespace varnel

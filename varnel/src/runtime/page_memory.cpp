#include "runtime/page_memory.h"

#include <sys/mman.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace varnel {

void* allocate_pages(std::size_t bytes) {
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  return block;
}

void free_pages(void* block, std::size_t bytes) noexcept { ::munmap(block, bytes); }

void release_free_pages() noexcept {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace varnel

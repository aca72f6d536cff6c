#pragma once
// Large temporaries straight from the operating system, and back to it the
// moment they are freed.
//
// The C allocator serves a block from its heap once its threshold for
// mapping pages has risen, which it does whenever a mapped block is freed:
// a buffer of a few megabytes freed after the lists of an `add` were
// allocated above it stays resident as a hole in the heap. Over a 1,000,000
// vector add that came to 12 bytes per vector, more than twice the id
// lookup itself. Blocks below kPageMemoryMinimum come from the heap as usual.
#include <cstddef>
#include <new>
#include <vector>

namespace varnel {

inline constexpr std::size_t kPageMemoryMinimum = std::size_t{256} << 10;

void* allocate_pages(std::size_t bytes);  // throws std::bad_alloc
void free_pages(void* block, std::size_t bytes) noexcept;

// Hands the C allocator's wholly free pages back to the system, wherever
// they lie in its heap (it gives back only the heap's end by itself). For
// after an operation that allocated and freed a lot in code not our own.
// Does nothing where the allocator offers no such call.
void release_free_pages() noexcept;

template <class T>
struct PageAllocator {
  using value_type = T;
  PageAllocator() noexcept = default;
  template <class U>
  PageAllocator(const PageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kPageMemoryMinimum) return static_cast<T*>(::operator new(bytes));
    return static_cast<T*>(allocate_pages(bytes));
  }
  void deallocate(T* block, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kPageMemoryMinimum) {
      ::operator delete(block);
    } else {
      free_pages(block, bytes);
    }
  }
  template <class U>
  bool operator==(const PageAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using PageVector = std::vector<T, PageAllocator<T>>;

}  // namespace varnel

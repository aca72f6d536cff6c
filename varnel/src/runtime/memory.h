#pragma once
// Storage for the index's large arrays.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace varnel {

// An allocator whose resize leaves new elements uninitialised instead of
// zeroing them. Arrays that are overwritten right after they grow (the codes
// and norms of an `add`, the bytes of a file being read) then skip a pass
// over fresh memory: for a batch of 100,000 vectors of dim 768 that pass ran
// on one thread and took the first touch of every page, about a fifth of the
// time of the whole `add`; the encoding threads now touch their own pages.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() noexcept = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

template <class T, class U>
bool operator==(const UninitializedAllocator<T>&, const UninitializedAllocator<U>&) noexcept {
  return true;
}

// A vector of trivially copyable values that does not zero what it grows by.
template <class T>
using RawVector = std::vector<T, UninitializedAllocator<T>>;

// Throws MemoryLimitError, naming `what`, when rows x columns items of
// `item_bytes` each need more than the machine's physical memory: such a
// request would only fail after a long time swapping, or end the process.
void check_fits_in_memory(uint64_t rows, uint64_t columns, uint64_t item_bytes, const char* what);

}  // namespace varnel

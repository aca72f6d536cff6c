#pragma once
// Storage for the index's large arrays.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "runtime/error.h"

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
// The message of every attempt to change an index that reads a mapped file.
inline constexpr const char* kMappedReadOnly =
    "this index is mapped read-only from a file; copy.copy(index) or load(path) gives a writable "
    "copy in memory";

// One of the index's large arrays: either values it owns (a RawVector), or
// values it reads in place from memory that something else keeps alive (a
// read-only file mapping, shared by every process that maps the same file).
// Reads look the same either way; any change to a mapped array throws
// ArgumentError(kMappedReadOnly) before it touches anything, since the pages
// are mapped without write permission.
template <class T>
class StoredArray {
 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;
  using size_type = std::size_t;

  StoredArray() = default;
  explicit StoredArray(std::size_t count) : owned_(count) {}
  StoredArray(RawVector<T> values) : owned_(std::move(values)) {}  // NOLINT: a vector is an array
  template <class It>
  StoredArray(It first, It last) : owned_(first, last) {}

  // `count` values at `data`, valid as long as `keep_alive` lives.
  static StoredArray mapped(const T* data, std::size_t count, std::shared_ptr<const void> keep_alive) {
    StoredArray array;
    array.view_ = data;
    array.view_size_ = count;
    array.keep_alive_ = std::move(keep_alive);
    return array;
  }
  bool is_mapped() const { return keep_alive_ != nullptr; }
  // The same values, owned: a mapped array is copied out of its mapping.
  StoredArray owned_copy() const { return StoredArray(RawVector<T>(begin(), end())); }

  // Copies, for code that keeps a vector of its own.
  operator RawVector<T>() const { return RawVector<T>(begin(), end()); }  // NOLINT
  operator std::vector<T>() const { return std::vector<T>(begin(), end()); }  // NOLINT

  const T* data() const { return is_mapped() ? view_ : owned_.data(); }
  std::size_t size() const { return is_mapped() ? view_size_ : owned_.size(); }
  std::size_t capacity() const { return is_mapped() ? view_size_ : owned_.capacity(); }
  bool empty() const { return size() == 0; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }
  const T& operator[](std::size_t i) const { return data()[i]; }
  const T& front() const { return data()[0]; }
  const T& back() const { return data()[size() - 1]; }

  T* data() { return writable().data(); }
  T* begin() { return writable().data(); }
  T* end() { return writable().data() + owned_.size(); }
  T& operator[](std::size_t i) { return writable()[i]; }
  T& back() { return writable().back(); }
  void resize(std::size_t count) { writable().resize(count); }
  void assign(std::size_t count, const T& value) { writable().assign(count, value); }
  void reserve(std::size_t count) { writable().reserve(count); }
  void push_back(const T& value) { writable().push_back(value); }
  void pop_back() { writable().pop_back(); }

  friend bool operator==(const StoredArray& a, const StoredArray& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }
  template <class Range>
  friend bool operator==(const StoredArray& a, const Range& b) {
    return a.size() == std::size(b) && std::equal(a.begin(), a.end(), std::begin(b));
  }

 private:
  RawVector<T>& writable() {
    if (is_mapped()) throw ArgumentError(kMappedReadOnly);
    return owned_;
  }

  RawVector<T> owned_;
  const T* view_ = nullptr;
  std::size_t view_size_ = 0;
  std::shared_ptr<const void> keep_alive_;
};

}  // namespace varnel

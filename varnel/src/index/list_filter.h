#pragma once
// The admitted vectors of a partitioned index's filter, by list: a bitmap
// over each list's positions and the count of each list, so that a query
// knows where the admitted vectors lie before it chooses its lists, and a
// list's scan tests a position with one bit.
#include <cstdint>
#include <span>
#include <vector>

namespace varnel {

class PartitionedIndex;

class ListFilter {
 public:
  // The stored ids among `ids`; ids not stored are ignored, repeats are harmless.
  static ListFilter from_ids(const PartitionedIndex& index, std::span<const uint64_t> ids);

  // The content stamp of the index state it was made for: positions move
  // when an index changes, so a query refuses a filter of another state.
  uint64_t stamp() const { return stamp_; }
  uint64_t lists() const { return counts_.size(); }
  uint64_t count(uint64_t list) const { return counts_[list]; }
  uint64_t total() const { return total_; }
  // The lists holding at least one admitted vector, in increasing order.
  const std::vector<uint32_t>& nonempty() const { return nonempty_; }
  bool contains(uint64_t list, uint64_t position) const {
    return words_[first_word_[list] + position / 32] >> (position % 32) & 1u;
  }
  // Calls visit(position) for every admitted position of `list`, in increasing order.
  template <class Visit>
  void for_each(uint64_t list, Visit&& visit) const {
    const uint64_t first = first_word_[list], end = first_word_[list + 1];
    for (uint64_t w = first; w < end; ++w) {
      for (uint32_t word = words_[w]; word != 0; word &= word - 1) {
        visit((w - first) * 32 + static_cast<uint64_t>(__builtin_ctz(word)));
      }
    }
  }

 private:
  std::vector<uint32_t> words_;
  std::vector<uint64_t> first_word_;  // per list, and one past the last
  std::vector<uint64_t> counts_;
  std::vector<uint32_t> nonempty_;
  uint64_t total_ = 0;
  uint64_t stamp_ = 0;
};

}  // namespace varnel

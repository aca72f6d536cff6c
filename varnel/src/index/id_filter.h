#pragma once
// IdFilter: a set of admitted ids given once and used by many queries.
//
// A query reads a filter as a bitmap over the index's positions; building
// that bitmap from ids (a hash lookup per id) costs far more than a scan
// when the filter is wide. An IdFilter keeps the bitmaps it built, each
// tagged with the content stamp of the index state it was built for
// (content_stamp.h), and hands the same one back while that state lasts: a
// changed index has a new stamp, so its next query builds afresh. The few
// most recently used bitmaps are kept (one filter may serve several
// indexes, shards say). Safe to share between threads.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "index/list_filter.h"
#include "index/query.h"

namespace varnel {

class IdMapIndex;
class PartitionedIndex;
class SkerryIndex;

class IdFilter {
 public:
  // Any ids, in any order; kept sorted, without repeats.
  explicit IdFilter(std::vector<uint64_t> ids);

  const std::vector<uint64_t>& ids() const { return ids_; }
  bool contains(uint64_t id) const;

  // SkerryIndex: the ids are positions; ArgumentError names one not below len().
  std::shared_ptr<const AllowedSet> allowed(const SkerryIndex& index) const;
  // IdMapIndex and PartitionedIndex: ids not stored are ignored.
  std::shared_ptr<const AllowedSet> allowed(const IdMapIndex& index) const;
  std::shared_ptr<const ListFilter> allowed(const PartitionedIndex& index) const;

  // Tests: how many bitmaps this filter has built.
  uint64_t conversions() const;

 private:
  enum class Kind : uint8_t { None, Positions, IdMap, Partitioned };
  struct Entry {
    Kind kind = Kind::None;
    uint64_t key = 0;  // the index's stamp (its length for positions)
    uint64_t used = 0;
    std::shared_ptr<const void> value;
  };
  static constexpr std::size_t kKept = 4;

  template <class T, class Build>
  std::shared_ptr<const T> cached(Kind kind, uint64_t key, Build&& build) const;

  std::vector<uint64_t> ids_;
  mutable std::mutex mutex_;
  mutable std::array<Entry, kKept> entries_;
  mutable uint64_t clock_ = 0;
  mutable uint64_t conversions_ = 0;
};

}  // namespace varnel

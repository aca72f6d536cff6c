#include "index/id_filter.h"

#include <algorithm>

#include "index/id_map.h"
#include "index/partitioned_index.h"
#include "index/skerry_index.h"

namespace varnel {

IdFilter::IdFilter(std::vector<uint64_t> ids) : ids_(std::move(ids)) {
  std::sort(ids_.begin(), ids_.end());
  ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
  ids_.shrink_to_fit();
}

bool IdFilter::contains(uint64_t id) const { return std::binary_search(ids_.begin(), ids_.end(), id); }

uint64_t IdFilter::conversions() const {
  std::lock_guard lock(mutex_);
  return conversions_;
}

// Built outside the lock (a wide filter takes a while, and another thread
// may want another index's bitmap meanwhile); two threads that miss at once
// both build, and the later keeps its own.
template <class T, class Build>
std::shared_ptr<const T> IdFilter::cached(Kind kind, uint64_t key, Build&& build) const {
  {
    std::lock_guard lock(mutex_);
    for (Entry& entry : entries_) {
      if (entry.kind == kind && entry.key == key) {
        entry.used = ++clock_;
        return std::static_pointer_cast<const T>(entry.value);
      }
    }
  }
  std::shared_ptr<const T> value = std::make_shared<const T>(build());
  std::lock_guard lock(mutex_);
  ++conversions_;
  Entry* slot = &entries_[0];
  for (Entry& entry : entries_) {
    if (entry.kind == kind && entry.key == key) {
      slot = &entry;
      break;
    }
    if (entry.used < slot->used) slot = &entry;
  }
  *slot = Entry{kind, key, ++clock_, value};
  return value;
}

std::shared_ptr<const AllowedSet> IdFilter::allowed(const SkerryIndex& index) const {
  // Positions depend on nothing but the length.
  return cached<AllowedSet>(Kind::Positions, index.len(),
                            [&] { return AllowedSet::from_positions(std::span<const uint64_t>(ids_), index.len()); });
}

std::shared_ptr<const AllowedSet> IdFilter::allowed(const IdMapIndex& index) const {
  return cached<AllowedSet>(Kind::IdMap, index.stamp(), [&] { return allowed_ids(index, ids_); });
}

std::shared_ptr<const ListFilter> IdFilter::allowed(const PartitionedIndex& index) const {
  return cached<ListFilter>(Kind::Partitioned, index.stamp(), [&] { return ListFilter::from_ids(index, ids_); });
}

}  // namespace varnel

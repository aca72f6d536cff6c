#include "index/id_map.h"

#include <string>
#include <utility>

#include "index/batch_checks.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"

namespace varnel {

IdMapIndex IdMapIndex::with_options(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed) {
  return IdMapIndex(SkerryIndex::with_options(dim, bits, rotation, seed));
}

IdMapIndex IdMapIndex::from_parts(SkerryIndex core, std::vector<uint64_t> ids) {
  if (ids.size() != core.len()) throw Error("id count does not match the number of vectors");
  IdMapIndex index(std::move(core));
  index.positions_.reserve(ids.size());
  for (uint64_t position = 0; position < ids.size(); ++position) {
    if (!index.positions_.emplace(ids[position], position).second) {
      throw Error("duplicate ids in .vnim file");
    }
  }
  index.ids_ = StoredArray<uint64_t>(ids.begin(), ids.end());
  return index;
}

IdMapIndex IdMapIndex::from_mapped(SkerryIndex core, StoredArray<uint64_t> ids,
                                   StoredArray<uint64_t> lookup) {
  if (ids.size() != core.len() || lookup.size() / 2 != ids.size() || lookup.size() % 2 != 0) {
    throw Error("id count does not match the number of vectors");
  }
  IdMapIndex index(std::move(core));
  index.ids_ = std::move(ids);
  index.lookup_ = std::move(lookup);
  return index;
}

IdMapIndex IdMapIndex::owned_copy() const {
  if (!is_mapped()) return *this;
  return from_parts(core_.owned_copy(), std::vector<uint64_t>(ids_.begin(), ids_.end()));
}

bool IdMapIndex::find_mapped(uint64_t id, uint64_t* position) const {
  uint64_t low = 0, high = lookup_.size() / 2;
  while (low < high) {
    const uint64_t middle = low + (high - low) / 2;
    if (lookup_[2 * middle] < id) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == lookup_.size() / 2 || lookup_[2 * low] != id) return false;
  const uint64_t found = lookup_[2 * low + 1];
  if (found >= ids_.size() || ids_[found] != id) return false;
  *position = found;
  return true;
}

// Reports the first id, in batch order, that is stored already or repeats
// an earlier one of the batch.
void IdMapIndex::check_ids_are_new(std::span<const uint64_t> ids) const {
  IdSet seen;
  seen.reserve(ids.size());
  for (const uint64_t id : ids) {
    if (positions_.contains(id) || !seen.insert(id).second) fail_duplicate(id);
  }
}

void IdMapIndex::add_with_ids(std::span<const float> vectors, std::span<const uint64_t> ids) {
  if (is_mapped()) throw ArgumentError(kMappedReadOnly);
  stamp_.renew();
  const uint64_t count = vector_count(vectors.size(), dim());
  check_id_count(ids.size(), count);
  check_ids_are_new(ids);
  if (count == 0) return;

  const uint64_t first = ids_.size();
  positions_.reserve(positions_.size() + count);
  ids_.reserve(first + count);
  try {
    for (uint64_t i = 0; i < count; ++i) {
      positions_.emplace(ids[i], first + i);
      ids_.push_back(ids[i]);
    }
    core_.add(vectors);
  } catch (...) {
    // None of the batch ids was present before, so erasing all of them
    // restores the map exactly.
    for (const uint64_t id : ids) positions_.erase(id);
    ids_.resize(first);
    throw;
  }
}

void IdMapIndex::upsert(std::span<const float> vectors, std::span<const uint64_t> ids) {
  if (is_mapped()) throw ArgumentError(kMappedReadOnly);
  const uint64_t count = vector_count(vectors.size(), dim());
  check_id_count(ids.size(), count);
  if (const std::optional<uint64_t> repeat = first_repeat(ids)) {
    throw ArgumentError("id " + std::to_string(ids[*repeat]) + " appears more than once in the batch");
  }
  if (count == 0) return;
  // Ctrl-C between the removal and the add would lose the old vectors.
  const InterruptScope uninterrupted([] { return false; });
  for (const uint64_t id : ids) remove(id);
  add_with_ids(vectors, ids);
}

bool IdMapIndex::remove(uint64_t id) {
  if (is_mapped()) throw ArgumentError(kMappedReadOnly);
  const auto found = positions_.find(id);
  if (found == positions_.end()) return false;
  stamp_.renew();
  const uint64_t position = found->second;
  const uint64_t last = ids_.size() - 1;
  core_.swap_remove(position);  // first: if it refuses, nothing has changed
  positions_.erase(found);
  if (position != last) {
    const uint64_t moved = ids_[last];
    ids_[position] = moved;
    positions_.find(moved)->second = position;
  }
  ids_.pop_back();
  return true;
}

void IdMapIndex::remove_many(std::span<const uint64_t> ids) {
  if (is_mapped()) throw ArgumentError(kMappedReadOnly);
  IdSet seen;
  seen.reserve(ids.size());
  for (const uint64_t id : ids) {
    if (!contains(id)) throw ArgumentError("id " + std::to_string(id) + " is not in the index");
    if (!seen.insert(id).second) {
      throw ArgumentError("id " + std::to_string(id) + " appears more than once in ids");
    }
  }
  for (const uint64_t id : ids) remove(id);
}

bool IdMapIndex::position_of(uint64_t id, uint64_t* position) const {
  if (is_mapped()) return find_mapped(id, position);
  if (positions_.empty()) return false;
  const auto found = positions_.find(id);
  if (found == positions_.end()) return false;
  *position = found->second;
  return true;
}

bool IdMapIndex::contains(uint64_t id) const {
  if (is_mapped()) {
    uint64_t position = 0;
    return find_mapped(id, &position);
  }
  return !positions_.empty() && positions_.contains(id);
}

IdSearchResults IdMapIndex::search(std::span<const float> queries, uint64_t k) const {
  SearchResults found = core_.search(queries, k);
  IdSearchResults results;
  results.ids.reserve(found.indices.size());
  for (const int64_t position : found.indices) {
    results.ids.push_back(position < 0 ? kEmptyId : ids_[uint64_t(position)]);
  }
  results.scores = std::move(found.scores);
  results.nq = found.nq;
  results.k = found.k;
  return results;
}

}  // namespace varnel

#pragma once
// IdMapIndex: a SkerryIndex whose vectors carry stable caller-chosen ids.
#include <cstdint>
#include <span>
#include <vector>

#include "index/content_stamp.h"
#include "index/id_hash.h"
#include "index/skerry_index.h"

namespace varnel {

struct IdSearchResults {
  std::vector<float> scores;  // nq * k, best first
  std::vector<uint64_t> ids;  // nq * k, 2^64 - 1 for an empty slot
  uint64_t nq = 0;
  uint64_t k = 0;
};

class IdMapIndex {
 public:
  static constexpr uint64_t kEmptyId = ~uint64_t{0};

  static IdMapIndex with_options(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed);
  static IdMapIndex create(uint64_t dim, uint64_t bits, Rotation rotation) {
    return with_options(dim, bits, rotation, SkerryIndex::kDefaultSeed);
  }
  // Wraps a loaded core and its ids (one per position). Throws varnel::Error
  // "duplicate ids in .vnim file" if an id repeats.
  static IdMapIndex from_parts(SkerryIndex core, std::vector<uint64_t> ids);
  // Wraps a mapped core (SkerryIndex::from_mapped), its ids by position and
  // `lookup`: (id, position) pairs sorted by id, 2 * n values. Nothing is
  // built per process, so opening is instant and the pages are shared. A
  // lookup answers an id only if ids[position] confirms it, so a damaged
  // table gives "not stored", never a wrong position. Read-only like its core.
  static IdMapIndex from_mapped(SkerryIndex core, StoredArray<uint64_t> ids, StoredArray<uint64_t> lookup);
  bool is_mapped() const { return core_.is_mapped(); }
  // The same index in owned memory (writable); its id map is rebuilt.
  IdMapIndex owned_copy() const;

  // Rejects the whole batch, changing nothing, if any id repeats inside it or
  // is already stored.
  void add_with_ids(std::span<const float> vectors, std::span<const uint64_t> ids);
  // add_with_ids that replaces the vectors of ids already stored instead of
  // refusing them. The batch is checked whole before anything changes (its
  // length, ids repeated inside it: ArgumentError); then the stored ids of
  // the batch are removed and the batch added, without polling for
  // interrupts, so the change is made whole.
  void upsert(std::span<const float> vectors, std::span<const uint64_t> ids);
  bool remove(uint64_t id);
  // Removes every id of the batch, one after the other as remove() would, or
  // nothing at all: an id that is not stored, or that repeats, throws
  // ArgumentError naming the first such id in batch order.
  void remove_many(std::span<const uint64_t> ids);
  bool contains(uint64_t id) const;
  // The position of a stored id; false if it is not stored.
  bool position_of(uint64_t id, uint64_t* position) const;
  IdSearchResults search(std::span<const float> queries, uint64_t k) const;
  uint64_t len() const { return ids_.size(); }
  void prepare() const { core_.prepare(); }

  uint64_t dim() const { return core_.dim(); }
  uint64_t bits() const { return core_.bits(); }
  Rotation rotation() const { return core_.rotation(); }
  const SkerryIndex& core() const { return core_; }
  const StoredArray<uint64_t>& ids() const { return ids_; }
  // Names the current contents (ids and positions); see content_stamp.h.
  uint64_t stamp() const { return stamp_.value(); }

 private:
  explicit IdMapIndex(SkerryIndex core) : core_(std::move(core)) {}
  void check_ids_are_new(std::span<const uint64_t> ids) const;

  SkerryIndex core_;
  bool find_mapped(uint64_t id, uint64_t* position) const;

  StoredArray<uint64_t> ids_;
  IdMap<uint64_t> positions_;  // empty when mapped
  StoredArray<uint64_t> lookup_;                       // mapped only
  ContentStamp stamp_;
};

}  // namespace varnel

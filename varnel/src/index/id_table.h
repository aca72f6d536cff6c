#pragma once
// Where each id of a partitioned index lives: a flat open-addressing table
// (linear probing, power-of-two capacity, at most 3/4 full), 16 bytes a slot,
// so that the id lookup costs about 21 bytes per vector instead of the ~45 of
// a node-based map, which would outweigh the codes themselves.
//
// Values are below kEmpty by construction (list << 32 | position with fewer
// than 2^32 lists), so kEmpty marks a free slot and every id, 2^64 - 1
// included, can be stored. Removal shifts later slots of the run back
// (no tombstones), so lookups never slow down with churn.
#include <cstdint>
#include <vector>

namespace varnel {

class IdTable {
 public:
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  uint64_t size() const { return size_; }
  bool contains(uint64_t id) const { return find(id) != nullptr; }

  const uint64_t* find(uint64_t id) const {
    if (slots_.empty()) return nullptr;
    for (uint64_t i = home(id);; i = (i + 1) & mask()) {
      const Slot& slot = slots_[i];
      if (slot.value == kEmpty) return nullptr;
      if (slot.id == id) return &slot.value;
    }
  }
  uint64_t* find(uint64_t id) { return const_cast<uint64_t*>(static_cast<const IdTable*>(this)->find(id)); }

  // Room for `count` ids in all without growing (so inserts cannot throw).
  void reserve(uint64_t count) {
    uint64_t capacity = slots_.empty() ? 16 : slots_.size();
    while (count > capacity / 4 * 3) capacity *= 2;
    if (capacity != slots_.size()) rehash(capacity);
  }

  // False (and no change) if the id is already present.
  bool insert(uint64_t id, uint64_t value) {
    reserve(size_ + 1);
    uint64_t i = home(id);
    for (; slots_[i].value != kEmpty; i = (i + 1) & mask()) {
      if (slots_[i].id == id) return false;
    }
    slots_[i] = {id, value};
    ++size_;
    return true;
  }

  bool erase(uint64_t id) {
    if (slots_.empty()) return false;
    uint64_t i = home(id);
    for (;; i = (i + 1) & mask()) {
      if (slots_[i].value == kEmpty) return false;
      if (slots_[i].id == id) break;
    }
    // Moves back every later slot of the run whose home does not lie in
    // (i, j], so that each stays reachable from its home.
    for (uint64_t j = (i + 1) & mask(); slots_[j].value != kEmpty; j = (j + 1) & mask()) {
      const uint64_t h = home(slots_[j].id);
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = {0, kEmpty};
    --size_;
    return true;
  }

 private:
  struct Slot {
    uint64_t id = 0;
    uint64_t value = kEmpty;
  };

  uint64_t mask() const { return slots_.size() - 1; }
  // splitmix64's finaliser: consecutive ids spread over the whole table.
  uint64_t home(uint64_t id) const {
    id ^= id >> 30;
    id *= 0xbf58476d1ce4e5b9ull;
    id ^= id >> 27;
    id *= 0x94d049bb133111ebull;
    id ^= id >> 31;
    return id & mask();
  }

  void rehash(uint64_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.value == kEmpty) continue;
      uint64_t i = home(slot.id);
      while (slots_[i].value != kEmpty) i = (i + 1) & mask();
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  uint64_t size_ = 0;
};

}  // namespace varnel

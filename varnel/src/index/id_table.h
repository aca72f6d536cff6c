#pragma once
// Where each id of a partitioned index lives, in about 5 bytes per id.
//
// An open-addressing table (linear probing, at most 4/5 full) whose slots do
// not repeat the id: the index keeps every id in its list's id array anyway,
// so a slot holds only where the id is (list, position) and the id is read
// back from there (`Keys`: a callable (list, position) -> id). A slot is
// 4 bytes while the list number and the largest position fit 32 bits, else
// 8. Bits a slot does not need hold the low bits of the id's hash (a tag), so
// probing past other ids seldom reads their ids. A slot of all zeros is free:
// the position is stored plus one.
//
// The hash is keyed per process (see id_hash.h): a public mix could be
// inverted to pick ids that all land on one slot, and linear probing would
// make every lookup quadratic. Removal shifts later slots of the run back (no
// tombstones), so lookups never slow down with churn. Every operation needs
// the ids of the slots it passes to match the lists, so a caller changes a
// list's ids only around the table: insert after writing the id, erase
// before overwriting it.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "index/id_hash.h"
#include "runtime/page_memory.h"

namespace varnel {

class IdTable {
 public:
  struct Place {
    uint64_t list = 0;
    uint64_t position = 0;
  };
  static constexpr uint64_t kNotFound = ~uint64_t{0};

  // List numbers below `lists`.
  explicit IdTable(uint64_t lists = 1)
      : list_bits_(std::bit_width(lists > 0 ? lists - 1 : 0)), layout_(layout_for(0, false)) {}

  uint64_t size() const { return size_; }
  uint64_t capacity() const { return capacity_; }
  bool wide() const { return wide_; }

  template <class Keys>
  bool contains(uint64_t id, const Keys& keys) const {
    return find_slot(id, keys) != kNotFound;
  }

  template <class Keys>
  bool find(uint64_t id, const Keys& keys, Place* place) const {
    const uint64_t slot = find_slot(id, keys);
    if (slot == kNotFound) return false;
    *place = place_at(slot);
    return true;
  }

  // The slot holding `id`, or kNotFound.
  template <class Keys>
  uint64_t find_slot(uint64_t id, const Keys& keys) const {
    if (size_ == 0) return kNotFound;
    const uint64_t hash = IdHash{}(id);
    const uint64_t tag = hash & layout_.tag_mask;
    for (uint64_t i = home(hash);; i = next(i)) {
      const uint64_t w = word(i);
      if (w == 0) return kNotFound;
      if ((w & layout_.tag_mask) == tag && key_of(w, keys) == id) return i;
    }
  }
  Place place_at(uint64_t slot) const { return layout_.decode(word(slot)); }

  // Room for `count` ids in all, at positions up to `largest_position`,
  // without changing the slots' array again (so inserts cannot throw).
  template <class Keys>
  void reserve(uint64_t count, uint64_t largest_position, const Keys& keys) {
    if (largest_position > layout_.largest_position) relayout(largest_position, keys);
    if (count > capacity_ / 5 * 4 + capacity_ % 5 * 4 / 5) {
      // Grows by a quarter at least, so that adding one id at a time costs
      // amortised constant time; a bulk reserve lands at the bound.
      const uint64_t needed = count + (count + 3) / 4;
      rehash(std::max<uint64_t>({needed, capacity_ + capacity_ / 4, 8}), keys);
    }
  }

  // False (and no change) if the id is already present. The list's id array
  // must already hold `id` at `place`.
  template <class Keys>
  bool insert(uint64_t id, Place place, const Keys& keys) {
    reserve(size_ + 1, place.position, keys);
    const uint64_t hash = IdHash{}(id);
    const uint64_t tag = hash & layout_.tag_mask;
    uint64_t i = home(hash);
    for (uint64_t w = word(i); w != 0; i = next(i), w = word(i)) {
      if ((w & layout_.tag_mask) == tag && key_of(w, keys) == id) return false;
    }
    set_word(i, layout_.encode(place, tag));
    ++size_;
    return true;
  }

  // Points the id of `slot` at another place (a position the layout holds).
  void move(uint64_t slot, Place place) { set_word(slot, layout_.encode(place, word(slot) & layout_.tag_mask)); }

  // Frees `slot`. Moves back every later slot of the run whose home does not
  // lie in (i, j], so that each stays reachable from its home.
  template <class Keys>
  void erase_slot(uint64_t slot, const Keys& keys) {
    uint64_t i = slot;
    for (uint64_t j = next(i); word(j) != 0; j = next(j)) {
      const uint64_t h = home(IdHash{}(key_of(word(j), keys)));
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      set_word(i, word(j));
      i = j;
    }
    set_word(i, 0);
    --size_;
  }

  template <class Keys>
  bool erase(uint64_t id, const Keys& keys) {
    const uint64_t slot = find_slot(id, keys);
    if (slot == kNotFound) return false;
    erase_slot(slot, keys);
    return true;
  }

 private:
  // A slot from low to high bits: tag, position + 1, list.
  struct Layout {
    unsigned tag_bits = 0;
    unsigned position_bits = 0;
    uint64_t tag_mask = 0;
    uint64_t position_mask = 0;
    uint64_t largest_position = 0;

    uint64_t encode(Place place, uint64_t tag) const {
      return place.list << (tag_bits + position_bits) | (place.position + 1) << tag_bits | tag;
    }
    Place decode(uint64_t w) const {
      return {w >> (tag_bits + position_bits), ((w >> tag_bits) & position_mask) - 1};
    }
  };

  // Position fields wide enough for `largest_position`, the tag whatever is
  // left of 32 bits (of 64 when wide). A wide slot has a list field: 32 bits
  // are too few only with more than one list, so no shift reaches 64.
  Layout layout_for(uint64_t largest_position, bool wide) const {
    Layout layout;
    layout.position_bits = std::bit_width(largest_position + 1);
    layout.tag_bits = (wide ? 64 : 32) - list_bits_ - layout.position_bits;
    layout.tag_mask = (uint64_t{1} << layout.tag_bits) - 1;
    layout.position_mask = (uint64_t{1} << layout.position_bits) - 1;
    layout.largest_position = layout.position_mask - 1;
    return layout;
  }

  // Fastrange: the high bits of the hash pick the slot, the low bits are the tag.
  uint64_t home(uint64_t hash) const {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(hash) * capacity_) >> 64);
  }
  uint64_t next(uint64_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }

  uint64_t word(uint64_t i) const { return wide_ ? wide_slots_[i] : narrow_slots_[i]; }
  void set_word(uint64_t i, uint64_t w) {
    if (wide_) {
      wide_slots_[i] = w;
    } else {
      narrow_slots_[i] = static_cast<uint32_t>(w);
    }
  }

  template <class Keys>
  uint64_t key_of(uint64_t w, const Keys& keys) const {
    const Place place = layout_.decode(w);
    return keys(place.list, place.position);
  }

  // Slots keep their places: homes depend only on the hash and the capacity,
  // and a shorter tag is the same hash's fewer low bits (a longer one, once
  // the slots widen, is read from the ids).
  template <class Keys>
  void relayout(uint64_t largest_position, const Keys& keys) {
    const bool widens = !wide_ && list_bits_ + std::bit_width(largest_position + 1) > 32;
    PageVector<uint64_t> widened;
    if (widens) widened.assign(narrow_slots_.begin(), narrow_slots_.end());  // may throw: nothing changed yet
    const Layout old = layout_;
    if (widens) {
      wide_ = true;
      wide_slots_.swap(widened);
      PageVector<uint32_t>().swap(narrow_slots_);
    }
    layout_ = layout_for(largest_position, wide_);
    for (uint64_t i = 0; i < capacity_; ++i) {
      const uint64_t w = word(i);
      if (w == 0) continue;
      const Place place = old.decode(w);
      const uint64_t hash = layout_.tag_bits <= old.tag_bits ? w : IdHash{}(keys(place.list, place.position));
      set_word(i, layout_.encode(place, hash & layout_.tag_mask));
    }
  }

  template <class Keys>
  void rehash(uint64_t capacity, const Keys& keys) {
    PageVector<uint32_t> narrow(wide_ ? 0 : capacity);
    PageVector<uint64_t> wide(wide_ ? capacity : 0);
    narrow.swap(narrow_slots_);
    wide.swap(wide_slots_);
    const uint64_t old_capacity = capacity_;
    capacity_ = capacity;
    for (uint64_t i = 0; i < old_capacity; ++i) {
      const uint64_t w = wide_ ? wide[i] : narrow[i];
      if (w == 0) continue;
      uint64_t j = home(IdHash{}(key_of(w, keys)));
      while (word(j) != 0) j = next(j);
      set_word(j, w);
    }
  }

  PageVector<uint32_t> narrow_slots_;  // pages of their own: a rehash leaves no hole in the heap
  PageVector<uint64_t> wide_slots_;
  uint64_t capacity_ = 0;
  uint64_t size_ = 0;
  unsigned list_bits_ = 0;
  bool wide_ = false;
  Layout layout_;
};

}  // namespace varnel

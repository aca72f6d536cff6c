// The id table of the partitioned index, which stores no ids of its own: it
// reads them back from lists kept here the way the index keeps them
// (append on insert, the last moved into a removed place), checked against a
// std::unordered_map through growth, long runs of removals (backward-shift
// deletion), slots that widen and a table at its load bound.
#include "index/id_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

namespace varnel {
namespace {

using Place = IdTable::Place;

// Lists of ids as a partitioned index holds them, with the table over them.
struct Lists {
  explicit Lists(uint64_t count) : ids(count), table(count) {}

  uint64_t operator()(uint64_t list, uint64_t position) const { return ids[list][position]; }

  bool add(uint64_t id, uint64_t list) {
    if (table.contains(id, *this)) return false;
    ids[list].push_back(id);
    EXPECT_TRUE(table.insert(id, {list, ids[list].size() - 1}, *this));
    return true;
  }

  bool remove(uint64_t id) {
    const uint64_t slot = table.find_slot(id, *this);
    if (slot == IdTable::kNotFound) return false;
    const Place place = table.place_at(slot);
    table.erase_slot(slot, *this);
    std::vector<uint64_t>& list = ids[place.list];
    if (place.position + 1 != list.size()) {
      table.move(table.find_slot(list.back(), *this), place);
      list[place.position] = list.back();
    }
    list.pop_back();
    return true;
  }

  // Every stored id is found where it is, and the table holds nothing else.
  void expect_consistent() const {
    uint64_t total = 0;
    for (uint64_t l = 0; l < ids.size(); ++l) {
      for (uint64_t p = 0; p < ids[l].size(); ++p) {
        Place place;
        ASSERT_TRUE(table.find(ids[l][p], *this, &place)) << ids[l][p];
        ASSERT_EQ(place.list, l);
        ASSERT_EQ(place.position, p);
      }
      total += ids[l].size();
    }
    ASSERT_EQ(table.size(), total);
  }

  std::vector<std::vector<uint64_t>> ids;
  IdTable table;
};

TEST(IdTable, BehavesLikeAMapThroughInsertsAndRemovals) {
  std::mt19937_64 engine(7);
  Lists lists(5);
  std::unordered_map<uint64_t, bool> expected;
  // Few distinct ids (many collisions and long runs), the largest id too.
  std::vector<uint64_t> pool = {0, 1, ~uint64_t{0}, ~uint64_t{0} - 1};
  for (int i = 0; i < 3000; ++i) pool.push_back(engine() % 2 ? engine() : engine() % 5000);
  for (int step = 0; step < 200000; ++step) {
    const uint64_t id = pool[engine() % pool.size()];
    switch (engine() % 3) {
      case 0:
        ASSERT_EQ(lists.add(id, engine() % lists.ids.size()), expected.emplace(id, true).second);
        break;
      case 1:
        ASSERT_EQ(lists.remove(id), expected.erase(id) == 1);
        break;
      default:
        ASSERT_EQ(lists.table.contains(id, lists), expected.count(id) == 1);
    }
    ASSERT_EQ(lists.table.size(), expected.size());
  }
  lists.expect_consistent();
}

// A table filled to its bound (4/5 of its slots) by one reserve takes the
// last id without moving its slots; the next id grows it, every id staying
// where it was. A bulk reserve leaves no more room than that bound needs.
TEST(IdTable, FillsToItsBoundAndGrowsPastIt) {
  for (const uint64_t count : {1, 5, 17, 1000, 4099}) {
    Lists lists(3);
    lists.table.reserve(count, count, lists);
    const uint64_t capacity = lists.table.capacity();
    const uint64_t bound = capacity * 4 / 5;
    EXPECT_EQ(bound, std::max<uint64_t>(count, 6)) << count;
    for (uint64_t i = 0; i < bound; ++i) ASSERT_TRUE(lists.add(i * 7919, i % 3));
    EXPECT_EQ(lists.table.capacity(), capacity) << count;
    ASSERT_TRUE(lists.add(bound * 7919, 0));
    EXPECT_GT(lists.table.capacity(), capacity) << count;
    lists.expect_consistent();
  }
}

// Many lists and a long one: list number and position stop fitting 32 bits,
// so the slots widen to 8 bytes with every id kept, and removals still work.
TEST(IdTable, WidensWhenListAndPositionOutgrow32Bits) {
  constexpr uint64_t kLists = uint64_t{1} << 20;  // 20 bits of list number
  Lists lists(kLists);
  std::mt19937_64 engine(11);
  for (uint64_t i = 0; i < 2000; ++i) ASSERT_TRUE(lists.add(engine(), engine() % kLists));
  EXPECT_FALSE(lists.table.wide());
  for (uint64_t i = 0; i < (uint64_t{1} << 12) + 10; ++i) ASSERT_TRUE(lists.add(engine(), kLists - 1));
  EXPECT_TRUE(lists.table.wide());
  lists.expect_consistent();
  const std::vector<uint64_t> longest = lists.ids[kLists - 1];
  for (uint64_t i = 0; i < longest.size(); i += 2) ASSERT_TRUE(lists.remove(longest[i]));
  lists.expect_consistent();
}

// One list takes every bit of a narrow slot: no bits are left for a tag, so
// every probe reads an id back, and results stay right.
TEST(IdTable, ASlotWithoutTagBitsStillFindsItsIds) {
  Lists lists(1);
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_TRUE(lists.add(i * 3, 0));
  lists.table.reserve(3000, (uint64_t{1} << 32) - 2, lists);
  EXPECT_FALSE(lists.table.wide());
  for (uint64_t i = 0; i < 3000; i += 3) ASSERT_TRUE(lists.remove(i * 3));
  EXPECT_FALSE(lists.table.contains(1, lists));
  lists.expect_consistent();
}

// Ids chosen to share their high bits (which pick the slot under an identity
// hash) or to be multiples of a large power of two: the keyed hash spreads
// them. Correct either way; quick only because they no longer collide.
TEST(IdTable, CraftedIdsStayFast) {
  constexpr uint64_t kCount = 100'000;
  for (const int shift : {0, 32, 44}) {
    Lists lists(4);
    for (uint64_t i = 0; i < kCount; ++i) ASSERT_TRUE(lists.add(i << shift, i % 4));
    for (uint64_t i = 0; i < kCount; i += 2) ASSERT_TRUE(lists.remove(i << shift));
    EXPECT_FALSE(lists.table.contains(uint64_t{1} << 63, lists));
    lists.expect_consistent();
  }
}

}  // namespace
}  // namespace varnel

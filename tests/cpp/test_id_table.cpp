// The flat id table of the partitioned index against a std::unordered_map,
// through growth and long runs of removals (backward-shift deletion).
#include "index/id_table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace varnel {
namespace {

TEST(IdTable, BehavesLikeAMapThroughInsertsAndRemovals) {
  std::mt19937_64 engine(7);
  IdTable table;
  std::unordered_map<uint64_t, uint64_t> expected;
  // Few distinct ids (many collisions and long runs), the largest id too.
  std::vector<uint64_t> pool = {0, 1, ~uint64_t{0}, ~uint64_t{0} - 1};
  for (int i = 0; i < 3000; ++i) pool.push_back(engine() % 2 ? engine() : engine() % 5000);
  for (int step = 0; step < 200000; ++step) {
    const uint64_t id = pool[engine() % pool.size()];
    const uint64_t value = engine() % (uint64_t{1} << 40);
    switch (engine() % 3) {
      case 0:
        ASSERT_EQ(table.insert(id, value), expected.emplace(id, value).second);
        break;
      case 1:
        ASSERT_EQ(table.erase(id), expected.erase(id) == 1);
        break;
      default: {
        const uint64_t* found = table.find(id);
        const auto it = expected.find(id);
        ASSERT_EQ(found != nullptr, it != expected.end());
        if (found) {
          ASSERT_EQ(*found, it->second);
        }
      }
    }
    ASSERT_EQ(table.size(), expected.size());
  }
  for (const auto& [id, value] : expected) {
    ASSERT_TRUE(table.contains(id));
    ASSERT_EQ(*table.find(id), value);
  }
}

}  // namespace
}  // namespace varnel

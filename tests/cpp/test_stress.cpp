// Threads at once: searches of one index whose caches are still cold, while
// other threads change the thread count and mutate a second index. Every
// search must equal the single-threaded reference. Built under
// ThreadSanitizer in CI, where it also checks that nothing races.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "index/id_map.h"
#include "index/skerry_index.h"
#include "runtime/pool.h"
#include "test_support.h"

using varnel::Rotation;
using varnel::SkerryIndex;

namespace {

struct Case {
  uint64_t bits;
  Rotation rotation;
};

class StressTest : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { varnel::set_num_threads(0); }
};

TEST_P(StressTest, ConcurrentSearchesMatchTheSingleThreadedReference) {
  const auto [bits, rotation] = GetParam();
  const uint64_t dim = 64;
  const auto data = varnel::testing::random_vectors(3000, dim, 11);
  const auto queries = varnel::testing::random_vectors(24, dim, 12);

  varnel::set_num_threads(1);
  SkerryIndex reference_index = SkerryIndex::create(dim, bits, rotation);
  reference_index.add(data);
  const varnel::SearchResults reference = reference_index.search(queries, 10);
  const varnel::SearchResults single = reference_index.search(std::span(queries).first(dim), 10);

  // Loaded-like: built from stored parts, so every cache starts cold.
  const SkerryIndex shared = SkerryIndex::from_parts(
      dim, bits, rotation, reference_index.seed(), reference_index.len(),
      reference_index.codes(), reference_index.norms());

  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 6; ++round) {
        const auto got = shared.search(queries, 10);
        if (got.indices != reference.indices || got.scores != reference.scores) ++mismatches;
        const auto one = shared.search(std::span(queries).first(dim), 10);
        if (one.indices != single.indices || one.scores != single.scores) ++mismatches;
      }
    });
  }
  threads.emplace_back([&] {
    for (std::size_t count = 1; !done.load(); count = count % 4 + 1) varnel::set_num_threads(count);
  });
  threads.emplace_back([&] {
    varnel::IdMapIndex other = varnel::IdMapIndex::with_options(dim, bits, rotation, 5);
    const auto batch = varnel::testing::random_vectors(200, dim, 13);
    for (uint64_t round = 0; !done.load(); ++round) {
      std::vector<uint64_t> ids(200);
      for (uint64_t i = 0; i < ids.size(); ++i) ids[i] = round * 1000 + i;
      other.add_with_ids(batch, ids);
      other.search(std::span(queries).first(4 * dim), 3);
      for (uint64_t i = 0; i < ids.size(); i += 2) other.remove(ids[i]);
    }
  });
  for (int t = 0; t < 3; ++t) threads[t].join();
  done = true;
  for (std::size_t t = 3; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(mismatches.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StressTest,
                         ::testing::Values(Case{2, Rotation::Rotor3}, Case{3, Rotation::WalshRotor3},
                                           Case{4, Rotation::Iso4}, Case{4, Rotation::Planar2}));

}  // namespace

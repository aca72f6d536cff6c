// Filtered queries of the partitioned index (the plan of filter_plan.h) and
// IdFilter's bitmaps, reused per index state.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "index/id_filter.h"
#include "index/partitioned_index.h"
#include "index/query.h"
#include "runtime/cpu.h"
#include "runtime/error.h"
#include "runtime/pool.h"
#include "test_support.h"

namespace varnel {
namespace {

using testing::random_vectors;

constexpr uint64_t kDim = 16;
constexpr uint64_t kLists = 64;

// Clusters so that lists differ, and ids 0, 2, 4, ...
std::vector<float> clustered(uint64_t n, uint64_t seed) {
  std::vector<float> data = random_vectors(n, kDim, seed);
  const std::vector<float> centres = random_vectors(32, kDim, seed + 1);
  for (uint64_t i = 0; i < n; ++i) {
    for (uint64_t j = 0; j < kDim; ++j) data[i * kDim + j] = 4.0f * centres[(i % 32) * kDim + j] + data[i * kDim + j];
  }
  return data;
}

std::vector<uint64_t> even_ids(uint64_t n) {
  std::vector<uint64_t> ids(n);
  for (uint64_t i = 0; i < n; ++i) ids[i] = 2 * i;
  return ids;
}

PartitionedIndex filled(uint64_t bits, uint64_t n) {
  PartitionedIndex index = PartitionedIndex::create(kDim, bits, kLists, Rotation::Rotor3);
  const std::vector<float> data = clustered(n, 5);
  index.train(data);
  index.add_with_ids(data, even_ids(n));
  return index;
}

// Every `step`-th stored id, offset by `first`; or the ids of one cluster.
std::vector<uint64_t> every(uint64_t n, uint64_t step, uint64_t first = 0) {
  std::vector<uint64_t> ids;
  for (uint64_t i = first; i < n; i += step) ids.push_back(2 * i);
  return ids;
}

void expect_same(const IdSearchResults& a, const IdSearchResults& b) {
  ASSERT_EQ(a.k, b.k);
  EXPECT_EQ(a.ids, b.ids);
  ASSERT_EQ(a.scores.size(), b.scores.size());
  for (std::size_t i = 0; i < a.scores.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(a.scores[i]), std::bit_cast<uint32_t>(b.scores[i])) << i;
  }
}

// Widened probes (lists scanned and vectors scored one by one), the scan of
// every admitted vector, single queries split over the pool and batches:
// the same on every path and thread count.
TEST(FilterPlan, ResultsAreTheSameOnEveryPathAndThreadCount) {
  const uint64_t n = 20000;
  const std::vector<float> queries = clustered(6, 9);
  const std::vector<std::vector<uint64_t>> filters = {every(n, 2), every(n, 10), every(n, 100, 3),
                                                      every(n, 32, 7)};  // the last: one cluster
  for (const uint64_t bits : {2u, 3u, 4u}) {
    const PartitionedIndex index = filled(bits, n);
    std::vector<IdSearchResults> first;
    for (const ScanPath path : supported_scan_paths()) {
      ASSERT_TRUE(force_scan_path(path));
      for (const std::size_t threads : {1, 2, 3}) {
        set_num_threads(threads);
        std::vector<IdSearchResults> found;
        for (const std::vector<uint64_t>& allowed : filters) {
          PartitionedQueryOptions options;
          options.allowed_ids = &allowed;
          for (const uint64_t nq : {1u, 6u}) {
            const std::span<const float> some(queries.data(), nq * kDim);
            found.push_back(query(index, some, 10, 2, options));
            found.push_back(query(index, some, 10, 40, options));  // a single query split over the pool
          }
        }
        if (first.empty()) {
          first = found;
          continue;
        }
        SCOPED_TRACE(std::string(scan_path_name(path)) + " x" + std::to_string(threads) + " bits " +
                     std::to_string(bits));
        ASSERT_EQ(found.size(), first.size());
        for (std::size_t i = 0; i < found.size(); ++i) expect_same(found[i], first[i]);
      }
    }
    reset_scan_path();
    set_num_threads(0);
  }
}

TEST(FilterPlan, NoAnswerIsShortWhileKIdsAreAdmitted) {
  const uint64_t n = 6000;
  const std::vector<float> queries = clustered(8, 11);
  for (const uint64_t bits : {2u, 3u, 4u}) {
    const PartitionedIndex index = filled(bits, n);
    for (const uint64_t step : {3u, 50u, 600u, 5000u}) {
      const std::vector<uint64_t> allowed = every(n, step, 1);
      for (const bool capped : {false, true}) {
        PartitionedQueryOptions options;
        options.allowed_ids = &allowed;
        if (capped) options.plan = FilterPlanOptions{0, 1};
        const IdSearchResults found = query(index, queries, 10, 1, options);
        const uint64_t k = std::min<uint64_t>(10, allowed.size());
        ASSERT_EQ(found.k, k);
        for (const uint64_t id : found.ids) {
          EXPECT_TRUE(std::binary_search(allowed.begin(), allowed.end(), id)) << "bits " << bits << " step " << step;
        }
      }
    }
  }
}

TEST(FilterPlan, AFilterOfAnotherIndexStateIsRefused) {
  PartitionedIndex index = filled(4, 2000);
  const std::vector<uint64_t> ids = every(2000, 4);
  const ListFilter filter = ListFilter::from_ids(index, ids);
  PartitionedQueryOptions options;
  options.filter = &filter;
  const std::vector<float> queries = clustered(2, 3);
  const IdSearchResults before = query(index, queries, 5, 2, options);
  const PartitionedIndex copy = index;  // the same contents: the same stamp
  expect_same(query(copy, queries, 5, 2, options), before);
  ASSERT_TRUE(index.remove(0));
  EXPECT_THROW(query(index, queries, 5, 2, options), Error);
  index.add_with_ids(clustered(1, 4), std::vector<uint64_t>{0});
  EXPECT_THROW(query(index, queries, 5, 2, options), Error);  // the same ids, other positions
}

TEST(IdFilter, BitmapsAreBuiltOncePerIndexStateAndFollowChanges) {
  PartitionedIndex index = filled(4, 2000);
  const IdFilter filter(every(2000, 5));
  const std::vector<float> queries = clustered(3, 3);
  auto filtered = [&](const PartitionedIndex& searched) {
    const std::shared_ptr<const ListFilter> positions = filter.allowed(searched);
    PartitionedQueryOptions options;
    options.filter = positions.get();
    return query(searched, queries, 7, 2, options);
  };
  auto raw = [&](const PartitionedIndex& searched) {
    PartitionedQueryOptions options;
    options.allowed_ids = &filter.ids();
    return query(searched, queries, 7, 2, options);
  };
  expect_same(filtered(index), raw(index));
  expect_same(filtered(index), raw(index));
  EXPECT_EQ(filter.conversions(), 1u);
  index.remove_many(std::vector<uint64_t>{0, 10, 2});
  expect_same(filtered(index), raw(index));
  EXPECT_EQ(filter.conversions(), 2u);

  IdMapIndex ids_index = IdMapIndex::create(kDim, 4, Rotation::Rotor3);
  ids_index.add_with_ids(clustered(300, 6), even_ids(300));
  const std::shared_ptr<const AllowedSet> first = filter.allowed(ids_index);
  EXPECT_EQ(filter.allowed(ids_index), first);
  ids_index.remove(0);
  EXPECT_NE(filter.allowed(ids_index), first);
  EXPECT_EQ(filter.conversions(), 4u);
}

}  // namespace
}  // namespace varnel

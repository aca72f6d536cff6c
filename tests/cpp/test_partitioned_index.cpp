// The partitioned index: seeded training, adding with ids, removal, and
// search results that equal scoring every vector of the probed lists with
// the estimator, on every instruction-set path and thread count.
#include "index/partitioned_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "index/kmeans.h"
#include "quantize/rotation.h"
#include "runtime/cpu.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/pool.h"
#include "search/bounded_scan.h"
#include "search/coarse.h"
#include "search/coarse_shortlist.h"
#include "search/lut_scan.h"
#include "search/search.h"
#include "test_support.h"

namespace varnel {
namespace {

using testing::random_vectors;

// Points around `clusters` centres, so that lists differ in size and content.
std::vector<float> clustered(uint64_t n, uint64_t dim, uint64_t clusters, uint32_t seed) {
  const std::vector<float> centres = random_vectors(clusters, dim, seed);
  std::vector<float> noise = random_vectors(n, dim, seed + 1);
  for (uint64_t i = 0; i < n; ++i) {
    for (uint64_t j = 0; j < dim; ++j) {
      noise[i * dim + j] = centres[(i % clusters) * dim + j] * 2.0f + noise[i * dim + j] * 0.5f;
    }
  }
  return noise;
}

std::vector<uint64_t> ids_from(uint64_t first, uint64_t count) {
  std::vector<uint64_t> ids(count);
  for (uint64_t i = 0; i < count; ++i) ids[i] = first + i * 7;
  return ids;
}

std::string error_message(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "<no error>";
}

// Every path and thread count this machine can run, restored afterwards.
void for_each_path_and_thread_count(const std::function<void()>& body) {
  for (const ScanPath path : supported_scan_paths()) {
    ASSERT_TRUE(force_scan_path(path));
    for (const std::size_t threads : {1, 2, 3}) {
      set_num_threads(threads);
      SCOPED_TRACE(std::string(scan_path_name(path)) + " x" + std::to_string(threads));
      body();
    }
  }
  reset_scan_path();
  set_num_threads(0);
}

// The estimator written out plainly: for each query, every vector of every
// probed list scored as (<q, c> (sequential float sum) + its shift) + the
// residual estimate (the 4-bit table scan on the portable path, or the
// sequential float sum of the centroid products for 2 and 3 bits) times its
// scale; ranked by score, then (list, position). At 4 bits the best
// candidates are then scored with the float sum too and ranked again.
IdSearchResults reference(const PartitionedIndex& index, const std::vector<float>& queries,
                          uint64_t k, uint64_t probes) {
  const uint64_t dim = index.dim(), nq = queries.size() / dim;
  const uint64_t width = std::max<uint64_t>(1, std::min(k, index.len()));
  const std::vector<uint32_t> probed = index.probe_lists(queries, nq, probes);
  const std::vector<float>& centroids = index.codebook().centroids;
  const BlockRotations& rotations = index.block_rotations();
  IdSearchResults out;
  out.nq = nq;
  out.k = width;
  for (uint64_t q = 0; q < nq; ++q) {
    const float* query = queries.data() + q * dim;
    std::vector<float> rq(rotations.padded_dim, 0.0f);
    std::copy_n(query, dim, rq.data());
    forward_rotate(rq, dim, index.sign_vector(), rotations.matrices, block_size(index.rotation()));
    struct Scored {
      float score;
      uint64_t list, position;
    };
    std::vector<Scored> all;
    for (uint64_t p = 0; p < probes; ++p) {
      const uint64_t l = probed[q * probes + p];
      float dot = 0.0f;
      for (uint64_t j = 0; j < dim; ++j) dot = dot + query[j] * index.centroids()[l * dim + j];
      const PartitionedIndex::List& list = index.list_data()[l];
      const uint64_t n = list.ids.size();
      // The list's codes laid out anew in whole blocks, whatever form the index keeps them in.
      const RawVector<uint8_t> rows = list.codes.rows();
      const CodeStore padded = CodeStore::from_rows(dim, index.bits(), n, rows);
      std::vector<float> raw(padded.n_blocks() * 32);
      if (index.bits() == 4) {
        const ScanPath active = active_scan_path();
        force_scan_path(ScanPath::Portable);
        const QueryTable table = build_query_table(rq.data(), centroids.data(), dim);
        const QueryTable* tables[1] = {&table};
        scan_blocks(tables, 1, padded.blocked().bytes.data(), dim, 0, padded.n_blocks(),
                    raw.data(), raw.size());
        force_scan_path(active);
      } else {
        std::vector<uint8_t> codes(dim);
        for (uint64_t i = 0; i < n; ++i) {
          list.codes.decode(i, codes.data());
          float sum = 0.0f;
          for (uint64_t j = 0; j < dim; ++j) sum = sum + rq[j] * centroids[codes[j]];
          raw[i] = sum;
        }
      }
      for (uint64_t i = 0; i < n; ++i) all.push_back({(dot + list.shifts[i]) + raw[i] * list.norms[i], l, i});
    }
    const auto ranked = [](const Scored& a, const Scored& b) {
      if (a.score != b.score) return a.score > b.score;
      return a.list != b.list ? a.list < b.list : a.position < b.position;
    };
    std::sort(all.begin(), all.end(), ranked);
    if (index.bits() == 4) {
      // The table's best width + max(width, 16) candidates, scored again by
      // the float sum of the rotated query times their codes' values.
      all.resize(std::min<std::size_t>(all.size(), width + std::max<uint64_t>(width, 16)));
      std::vector<uint8_t> codes(dim);
      for (Scored& candidate : all) {
        const PartitionedIndex::List& list = index.list_data()[candidate.list];
        list.codes.decode(candidate.position, codes.data());
        float sum = 0.0f, dot = 0.0f;
        for (uint64_t j = 0; j < dim; ++j) sum = sum + rq[j] * centroids[codes[j]];
        for (uint64_t j = 0; j < dim; ++j) dot = dot + query[j] * index.centroids()[candidate.list * dim + j];
        candidate.score = (dot + list.shifts[candidate.position]) + sum * list.norms[candidate.position];
      }
      std::sort(all.begin(), all.end(), ranked);
    }
    for (uint64_t i = 0; i < width; ++i) {
      if (i < all.size()) {
        out.scores.push_back(all[i].score);
        out.ids.push_back(index.list_data()[all[i].list].ids[all[i].position]);
      } else {
        out.scores.push_back(-std::numeric_limits<float>::infinity());
        out.ids.push_back(PartitionedIndex::kEmptyId);
      }
    }
  }
  return out;
}

void expect_same(const IdSearchResults& a, const IdSearchResults& b) {
  EXPECT_EQ(a.k, b.k);
  EXPECT_EQ(a.ids, b.ids);
  ASSERT_EQ(a.scores.size(), b.scores.size());
  for (std::size_t i = 0; i < a.scores.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(a.scores[i]), std::bit_cast<uint32_t>(b.scores[i])) << i;
  }
}

PartitionedIndex built(uint64_t dim, uint64_t bits, uint64_t lists, uint64_t n, Rotation rotation = Rotation::Rotor3) {
  PartitionedIndex index = PartitionedIndex::create(dim, bits, lists, rotation);
  const std::vector<float> data = clustered(n, dim, 24, 11);
  index.train(data);
  index.add_with_ids(data, ids_from(5, n));
  return index;
}

TEST(CoarseShortlist, SumsAreExactOnEveryPathAndKeepTheBestLists) {
  // dim 40: ten groups, two more than a multiple of four (the VNNI kernel's
  // step); 300 lists: a partial last block.
  const uint64_t dim = 40, lists = 300, probes = 5;
  const std::vector<float> centroids = random_vectors(lists, dim, 21);
  const std::vector<float> queries = random_vectors(200, dim, 22);
  // Kernel layout: blocks of 16 centroids, coordinates in groups of 4.
  using shortlist_kernels::kBlock;
  using shortlist_kernels::kGroup;
  const uint64_t blocks = (lists + kBlock - 1) / kBlock, groups = dim / kGroup;
  std::vector<int8_t> codes(blocks * kBlock * dim);
  std::vector<int32_t> code_sums(blocks * kBlock, 0);
  std::vector<int16_t> levels(dim);
  for (uint64_t i = 0; i < codes.size(); ++i) codes[i] = int8_t(int(i * 37 % 255) - 127);
  for (uint64_t j = 0; j < dim; ++j) levels[j] = int16_t(j % 2 ? 127 - j : j - 127);
  auto code = [&](uint64_t c, uint64_t j) {
    return codes[(((c / kBlock) * groups + j / kGroup) * kBlock + c % kBlock) * kGroup + j % kGroup];
  };
  std::vector<int32_t> expected(blocks * kBlock);
  for (uint64_t c = 0; c < expected.size(); ++c) {
    int64_t sum = 0;
    for (uint64_t j = 0; j < dim; ++j) {
      sum += int64_t(levels[j]) * code(c, j);
      code_sums[c] += code(c, j);
    }
    expected[c] = int32_t(sum);
  }
  std::vector<std::pair<const char*, shortlist_kernels::SumKernel>> kernels = {
      {"portable", shortlist_kernels::sums_portable}};
#if defined(__x86_64__)
  if (cpu_features().avx2) kernels.emplace_back("avx2", shortlist_kernels::sums_avx2);
  if (cpu_features().avx512bw) kernels.emplace_back("avx512", shortlist_kernels::sums_avx512);
  if (cpu_features().avx512vnni) kernels.emplace_back("avx512vnni", shortlist_kernels::sums_avx512vnni);
#endif
  for (const auto& [name, kernel] : kernels) {
    std::vector<int32_t> sums(expected.size());
    kernel(levels.data(), codes.data(), code_sums.data(), blocks, groups, sums.data());
    EXPECT_EQ(sums, expected) << name;
  }
  // The lists chosen through the shortlist are the nearest by Euclidean
  // distance in float: the largest <q, c> - |c|^2 / 2.
  PartitionedIndex index = PartitionedIndex::create(dim, 4, lists, Rotation::Rotor3);
  index.set_centroids(centroids);
  const CoarseTable coarse = index.coarse();
  for_each_path_and_thread_count([&] {
    const std::vector<uint32_t> chosen = index.probe_lists(queries, 200, probes);
    for (uint64_t q = 0; q < 200; ++q) {
      std::vector<float> dots(lists);
      coarse.dots(queries.data() + q * dim, 1, dots.data());
      for (uint64_t l = 0; l < lists; ++l) dots[l] = dots[l] - coarse.half_norms()[l];
      std::vector<uint32_t> order(lists);
      std::iota(order.begin(), order.end(), 0u);
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return dots[a] > dots[b]; });
      order.resize(probes);
      std::sort(order.begin(), order.end());
      ASSERT_EQ(std::vector<uint32_t>(chosen.begin() + q * probes, chosen.begin() + (q + 1) * probes), order) << q;
    }
  });
}

TEST(KMeans, CentroidsAreTheSameOnEveryPathAndThreadCount) {
  const uint64_t dim = 24, lists = 20, n = 3000;
  const std::vector<float> data = clustered(n, dim, 7, 3);
  KMeansOptions options;
  options.max_per_list = 100;  // thins the sample to 2000 rows
  options.seed = 42;
  set_num_threads(1);
  force_scan_path(ScanPath::Portable);
  const std::vector<float> expected = train_kmeans(data, n, dim, lists, options);
  for_each_path_and_thread_count([&] {
    const std::vector<float> got = train_kmeans(data, n, dim, lists, options);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)));
  });
  options.seed = 43;
  EXPECT_NE(train_kmeans(data, n, dim, lists, options), expected);
}

TEST(KMeans, EmptyClustersAreReseededAndTooFewVectorsRefused) {
  const uint64_t dim = 8;
  // 40 copies of three points: at most three clusters can hold members.
  std::vector<float> data;
  for (int i = 0; i < 40; ++i) {
    for (uint64_t j = 0; j < dim; ++j) data.push_back(float(i % 3) + (j == 0 ? 1.0f : 0.0f));
  }
  KMeansOptions options;
  const std::vector<float> centroids = train_kmeans(data, 40, dim, 6, options);
  for (const float value : centroids) EXPECT_TRUE(std::isfinite(value));
  EXPECT_EQ(train_kmeans(data, 40, dim, 6, options), centroids);
  EXPECT_EQ(error_message([&] { train_kmeans(data, 5, dim, 6, options); }),
            "training needs at least one vector per list: got 5 vectors for 6 lists");
}

TEST(CoarseTable, DotsAreSequentialSumsOnEveryPath) {
  // Lists below one tile, with an odd and an even number of whole tiles, and
  // whole tiles only; rows in groups of four and single.
  const uint64_t dim = 40, rows = 7;
  const std::vector<float> x = random_vectors(rows, dim, 6);
  for (const uint64_t lists : {uint64_t{5}, uint64_t{37}, uint64_t{70}, uint64_t{96}}) {
    const std::vector<float> centroids = random_vectors(lists, dim, 5);
    const CoarseTable table(centroids, lists, dim);
    for_each_path_and_thread_count([&] {
      std::vector<float> got(rows * lists);
      table.dots(x.data(), rows, got.data());
      for (uint64_t r = 0; r < rows; ++r) {
        for (uint64_t c = 0; c < lists; ++c) {
          float sum = 0.0f;
          for (uint64_t j = 0; j < dim; ++j) sum = sum + x[r * dim + j] * centroids[c * dim + j];
          ASSERT_EQ(std::bit_cast<uint32_t>(got[r * lists + c]), std::bit_cast<uint32_t>(sum)) << lists;
        }
      }
    });
  }
}

// The nearest centroid written out plainly: the largest sequential
// <x, c> - |c|^2 / 2 over the non-NaN values, its lowest number; 0 when
// every value is NaN.
uint32_t plain_nearest(const float* x, const std::vector<float>& centroids, uint64_t lists, uint64_t dim) {
  std::vector<float> values(lists);
  float largest = -std::numeric_limits<float>::infinity();
  for (uint64_t c = 0; c < lists; ++c) {
    float dot = 0.0f, squares = 0.0f;
    for (uint64_t j = 0; j < dim; ++j) {
      dot = dot + x[j] * centroids[c * dim + j];
      squares = squares + centroids[c * dim + j] * centroids[c * dim + j];
    }
    values[c] = dot - squares * 0.5f;
    if (values[c] > largest) largest = values[c];
  }
  for (uint64_t c = 0; c < lists; ++c) {
    if (values[c] == largest) return static_cast<uint32_t>(c);
  }
  return 0;
}

TEST(CoarseTable, NearestIsTheLowestNumberedLargestValueOnEveryPath) {
  // Lists below one tile, odd and even whole tiles with and without a
  // remainder; centroids repeated so that equal values tie across tiles and
  // within one; rows that give -inf everywhere (equal, the first wins) or NaN
  // everywhere; row counts that leave 0 to 3 rows outside the groups of four.
  const uint64_t dim = 24;
  for (const uint64_t lists : {uint64_t{5}, uint64_t{37}, uint64_t{64}, uint64_t{70}, uint64_t{131}}) {
    std::vector<float> centroids = random_vectors(lists, dim, 9);
    for (uint64_t c = 3; c < lists; c += 4) {
      std::copy_n(centroids.begin() + (c / 3) * dim, dim, centroids.begin() + c * dim);
    }
    const CoarseTable table(centroids, lists, dim);
    std::vector<float> x = random_vectors(140, dim, 10);
    std::copy_n(centroids.begin(), dim, x.begin());  // exactly on a centroid and its copies
    std::vector<float> huge(centroids.size(), 3e19f);
    const CoarseTable overflowing(huge, lists, dim);
    std::vector<float> extreme(8 * dim);
    for (uint64_t j = 0; j < 4 * dim; ++j) extreme[j] = -3e19f;  // <x, c> = -inf, minus inf: -inf
    for (uint64_t j = 4 * dim; j < 8 * dim; ++j) extreme[j] = 3e19f;  // inf - inf: NaN
    for_each_path_and_thread_count([&] {
      for (const uint64_t rows : {uint64_t{1}, uint64_t{7}, uint64_t{64}, uint64_t{70}, uint64_t{140}}) {
        std::vector<uint32_t> got(rows);
        table.nearest(x.data(), rows, got.data());
        for (uint64_t r = 0; r < rows; ++r) {
          ASSERT_EQ(got[r], plain_nearest(x.data() + r * dim, centroids, lists, dim)) << lists << " " << r;
        }
      }
      std::vector<uint32_t> got(8);
      overflowing.nearest(extreme.data(), 8, got.data());
      for (uint64_t r = 0; r < 8; ++r) EXPECT_EQ(got[r], plain_nearest(extreme.data() + r * dim, huge, lists, dim));
    });
  }
}

// Skipping tiles of centroids must not change a single answer: data made of
// exact ties (copies, a coarse grid, zeros), magnitudes at both ends of
// float's range, a dim that is not a multiple of the vector width, fewer
// centroids than one tile, rows sitting exactly on centroids or halfway
// between two (where a tile is ruled out only by a hair, if at all).
TEST(CoarseTable, PrunedNearestEqualsScoringEveryCentroid) {
  struct Case {
    const char* name;
    uint64_t lists, dim;
    std::function<float(uint64_t i, uint64_t j, float random)> value;  // row i of centroids, then of rows
  };
  const auto scaled = [](float by) {
    return [by](uint64_t, uint64_t, float random) { return random * by; };
  };
  const std::vector<Case> cases = {
      {"clustered", 333, 40,
       [](uint64_t i, uint64_t j, float random) { return float((i * 7 + j) % 5) + random * 0.3f; }},
      {"copies of few centroids", 200, 19, [](uint64_t i, uint64_t j, float) { return float((i % 7) * 3 + j % 4); }},
      {"grid of ties", 150, 16, [](uint64_t, uint64_t, float random) { return std::round(random * 1.2f); }},
      {"near ties", 300, 48,
       [](uint64_t, uint64_t, float random) { return std::round(random * 1.2f) + random * 1e-6f; }},
      {"zeros", 100, 33, [](uint64_t i, uint64_t, float random) { return i % 3 == 0 ? 0.0f : random; }},
      {"fewer than a tile", 20, 24, scaled(1.0f)},
      {"large", 130, 24, scaled(1e12f)},
      {"overflowing", 130, 24, scaled(3e18f)},
      {"tiny", 130, 24, scaled(1e-20f)},
      {"mixed magnitudes", 260, 24,
       [](uint64_t i, uint64_t, float random) { return random * std::pow(10.0f, float(int(i % 17) - 8)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t rows = 600;
    std::vector<float> centroids = random_vectors(c.lists, c.dim, 31);
    std::vector<float> x = random_vectors(rows, c.dim, 32);
    for (uint64_t i = 0; i < c.lists; ++i) {
      for (uint64_t j = 0; j < c.dim; ++j) centroids[i * c.dim + j] = c.value(i, j, centroids[i * c.dim + j]);
    }
    for (uint64_t i = 0; i < rows; ++i) {
      for (uint64_t j = 0; j < c.dim; ++j) x[i * c.dim + j] = c.value(c.lists + i, j, x[i * c.dim + j]);
    }
    for (uint64_t i = 0; i < rows; i += 5) {  // exactly on a centroid
      std::copy_n(centroids.begin() + (i % c.lists) * c.dim, c.dim, x.begin() + i * c.dim);
    }
    for (uint64_t i = 2; i < rows; i += 5) {  // halfway between two: as far from both
      const float* p = centroids.data() + (i % c.lists) * c.dim;
      const float* q = centroids.data() + ((7 * i + 3) % c.lists) * c.dim;
      for (uint64_t j = 0; j < c.dim; ++j) x[i * c.dim + j] = p[j] * 0.5f + q[j] * 0.5f;
    }
    std::fill_n(x.begin() + 3 * c.dim, c.dim, 0.0f);
    const CoarseTable table(centroids, c.lists, c.dim);
    std::vector<uint32_t> every(rows);
    table.nearest(x.data(), rows, every.data(), CoarseTable::NearestSearch::kEvery);
    for (uint64_t r = 0; r < rows; r += 37) {
      ASSERT_EQ(every[r], plain_nearest(x.data() + r * c.dim, centroids, c.lists, c.dim));
    }
    for_each_path_and_thread_count([&] {
      for (const uint64_t count : {uint64_t{1}, uint64_t{6}, rows}) {
        std::vector<uint32_t> pruned(count);
        table.nearest(x.data(), count, pruned.data(), CoarseTable::NearestSearch::kPruned);
        for (uint64_t r = 0; r < count; ++r) ASSERT_EQ(pruned[r], every[r]) << "row " << r << " of " << count;
      }
    });
  }
}

// Batches longer than the rows pruning is first tried on: clustered rows
// keep pruning, uniform ones fall back to scoring every centroid; the
// default search (which prunes batches this long) agrees as well.
TEST(CoarseTable, PrunedNearestEqualsScoringEveryCentroidOverLongBatches) {
  struct Case {
    const char* name;
    uint64_t dim, rows;
    std::vector<float> centroids, x;
  };
  const uint64_t lists = 130;
  const std::vector<float> grouped = clustered(20000, 8, 40, 43);
  const std::vector<Case> cases = {
      {"clustered", 8, 20000, std::vector<float>(grouped.begin(), grouped.begin() + lists * 8), grouped},
      {"uniform", 64, 10000, random_vectors(lists, 64, 44), random_vectors(10000, 64, 45)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CoarseTable table(c.centroids, lists, c.dim);
    ASSERT_TRUE(table.prunes(c.rows));
    std::vector<uint32_t> every(c.rows), pruned(c.rows), automatic(c.rows);
    table.nearest(c.x.data(), c.rows, every.data(), CoarseTable::NearestSearch::kEvery);
    for_each_path_and_thread_count([&] {
      table.nearest(c.x.data(), c.rows, pruned.data(), CoarseTable::NearestSearch::kPruned);
      table.nearest(c.x.data(), c.rows, automatic.data());
      ASSERT_EQ(pruned, every);
      ASSERT_EQ(automatic, every);
    });
  }
}

class PartitionedSearch : public ::testing::TestWithParam<std::tuple<uint64_t, Rotation>> {};

TEST_P(PartitionedSearch, EqualsScoringEveryProbedVector) {
  const auto [bits, rotation] = GetParam();
  const uint64_t dim = 64, lists = 12;
  const PartitionedIndex index = built(dim, bits, lists, 6000, rotation);
  const std::vector<float> queries = clustered(9, dim, 5, 99);
  for (const uint64_t probes : {uint64_t{1}, uint64_t{3}, lists}) {
    for (const uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{100}}) {
      const IdSearchResults expected = reference(index, queries, k, probes);
      for_each_path_and_thread_count([&] {
        SCOPED_TRACE("probes " + std::to_string(probes) + " k " + std::to_string(k));
        expect_same(index.search(queries, k, probes), expected);
        // One query at a time takes the path that spreads its lists over the pool.
        const IdSearchResults one = index.search(std::span(queries).first(dim), k, probes);
        EXPECT_EQ(one.ids, std::vector<uint64_t>(expected.ids.begin(), expected.ids.begin() + expected.k));
      });
    }
  }
}

// More than 64 lists: the index holds its centroids as rows only. Vectors
// still join the list the coarse kernels find nearest, and a query probing so
// many lists that the shortlist is skipped takes every product from the rows.
TEST_P(PartitionedSearch, CentroidsHeldOnceStillChooseTheListsOfTheCoarseKernels) {
  const auto [bits, rotation] = GetParam();
  const uint64_t dim = 32, lists = 70, n = 3000;
  const PartitionedIndex index = built(dim, bits, lists, n, rotation);
  EXPECT_FALSE(index.keeps_coarse_table());
  EXPECT_TRUE(built(dim, bits, 64, 200, rotation).keeps_coarse_table());
  const std::vector<float> data = clustered(n, dim, 24, 11);
  const CoarseTable table(index.centroids(), lists, dim);
  std::vector<uint32_t> nearest(n);
  table.nearest(data.data(), n, nearest.data());
  const std::vector<uint64_t> ids = ids_from(5, n);
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t list = 0, position = 0;
    ASSERT_TRUE(index.locate(ids[i], &list, &position));
    ASSERT_EQ(list, nearest[i]) << i;
  }
  // Adds of one or two vectors take the centroid rows instead of the tiles.
  PartitionedIndex few = PartitionedIndex::create(dim, bits, lists, rotation);
  few.set_centroids(index.centroids());
  for (uint64_t i = 0; i < 90; i += 1 + i % 2) {
    const uint64_t count = 1 + i % 2;
    few.add_with_ids(std::span(data).subspan(i * dim, count * dim), std::span(ids).subspan(i, count));
    for (uint64_t j = i; j < i + count; ++j) {
      uint64_t list = 0, position = 0;
      ASSERT_TRUE(few.locate(ids[j], &list, &position));
      ASSERT_EQ(list, nearest[j]) << j;
    }
  }
  const std::vector<float> queries = clustered(6, dim, 5, 99);
  for (const uint64_t probes : {uint64_t{3}, uint64_t{60}}) {
    std::vector<uint32_t> expected_lists;
    for (uint64_t q = 0; q < 6; ++q) {
      std::vector<float> dots(lists);
      table.dots(queries.data() + q * dim, 1, dots.data());
      for (uint64_t l = 0; l < lists; ++l) dots[l] = dots[l] - table.half_norms()[l];  // nearest by Euclidean distance
      std::vector<uint32_t> order(lists);
      std::iota(order.begin(), order.end(), 0u);
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return dots[a] > dots[b]; });
      order.resize(probes);
      std::sort(order.begin(), order.end());
      expected_lists.insert(expected_lists.end(), order.begin(), order.end());
    }
    const IdSearchResults expected = reference(index, queries, 10, probes);
    for_each_path_and_thread_count([&] {
      SCOPED_TRACE("probes " + std::to_string(probes));
      EXPECT_EQ(index.probe_lists(queries, 6, probes), expected_lists);
      expect_same(index.search(queries, 10, probes), expected);
    });
  }
}

TEST_P(PartitionedSearch, ASingleQuerySpreadOverThePoolMergesToTheSameResult) {
  // Probes holding more than 8,192 vectors: one query's lists go to several
  // tasks, whose selectors are merged.
  const auto [bits, rotation] = GetParam();
  const uint64_t dim = 32, lists = 4;
  const PartitionedIndex index = built(dim, bits, lists, 20000, rotation);
  const std::vector<float> queries = clustered(3, dim, 5, 77);
  for (const uint64_t probes : {uint64_t{2}, lists}) {
    const IdSearchResults expected = reference(index, queries, 20, probes);
    for_each_path_and_thread_count([&] {
      for (uint64_t q = 0; q < 3; ++q) {
        const IdSearchResults one = index.search(std::span(queries).subspan(q * dim, dim), 20, probes);
        EXPECT_EQ(one.ids, std::vector<uint64_t>(expected.ids.begin() + q * 20, expected.ids.begin() + (q + 1) * 20));
        EXPECT_EQ(one.scores,
                  std::vector<float>(expected.scores.begin() + q * 20, expected.scores.begin() + (q + 1) * 20));
      }
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Bits, PartitionedSearch,
                         ::testing::Combine(::testing::Values(2, 3, 4),
                                            ::testing::Values(Rotation::Rotor3, Rotation::WalshRotor3)));

TEST(PartitionedIndex, AllListsProbedRankLikeTheCodesOfEveryVector) {
  // With one list every vector is scored; with all lists probed, the union.
  const uint64_t dim = 32;
  const PartitionedIndex index = built(dim, 4, 5, 1500);
  const std::vector<float> queries = random_vectors(4, dim, 8);
  const IdSearchResults all = index.search(queries, 1500, 5);
  for (uint64_t q = 0; q < 4; ++q) {
    std::vector<uint64_t> row(all.ids.begin() + q * 1500, all.ids.begin() + (q + 1) * 1500);
    std::sort(row.begin(), row.end());
    EXPECT_EQ(row, ids_from(5, 1500));
  }
}

// A stored vector taken as the query scores its own squared length: the
// residual's scale makes the estimate exact along the residual and its shift
// removes the centroid's share of the error. (Scored with the plain residual
// norm, the 2-bit error would be about a tenth of |r|^2, and the 4-bit
// table's rounding alone 3 %.)
TEST(PartitionedIndex, AStoredVectorScoresItsOwnSquaredLength) {
  const uint64_t dim = 32, n = 600, lists = 6;
  const std::vector<float> data = clustered(n, dim, 24, 11);
  for (const uint64_t bits : {2, 3, 4}) {
    const PartitionedIndex index = built(dim, bits, lists, n, Rotation::WalshRotor3);
    double worst = 0.0;
    for (uint64_t i = 0; i < n; i += 7) {
      const std::span<const float> x = std::span(data).subspan(i * dim, dim);
      const IdSearchResults found = index.search(x, n, lists);
      const auto at = std::find(found.ids.begin(), found.ids.end(), ids_from(5, n)[i]);
      ASSERT_NE(at, found.ids.end());
      double square = 0.0, residual = 0.0;
      uint64_t list = 0, position = 0;
      ASSERT_TRUE(index.locate(*at, &list, &position));
      for (uint64_t j = 0; j < dim; ++j) {
        square += double(x[j]) * x[j];
        const double r = double(x[j]) - index.centroids()[list * dim + j];
        residual += r * r;
      }
      const double error = std::abs(found.scores[at - found.ids.begin()] - square) / residual;
      worst = std::max(worst, error);
    }
    SCOPED_TRACE("bits " + std::to_string(bits));
    EXPECT_LT(worst, 1e-4);
  }
}

TEST(PartitionedIndex, BadInputIsRefusedAndChangesNothing) {
  const uint64_t dim = 16;
  PartitionedIndex index = PartitionedIndex::create(dim, 4, 4, Rotation::Rotor3);
  const std::vector<float> data = clustered(400, dim, 4, 2);
  const std::vector<float> query(data.begin(), data.begin() + dim);
  EXPECT_EQ(error_message([&] { index.add_with_ids(data, ids_from(0, 400)); }),
            "the index is not trained: call train before adding vectors");
  EXPECT_EQ(error_message([&] { index.search(query, 1, 1); }),
            "the index is not trained: call train before searching");
  EXPECT_EQ(error_message([&] { index.train(std::span(data).first(3 * dim)); }),
            "training needs at least one vector per list: got 3 vectors for 4 lists");
  index.train(data);
  index.add_with_ids(std::span(data).first(200 * dim), ids_from(0, 200));
  const auto before = index.search(query, 10, 2);
  const auto sizes = index.list_sizes();

  std::vector<float> poisoned(data.begin() + 200 * dim, data.end());
  poisoned[150 * dim + 3] = std::numeric_limits<float>::quiet_NaN();
  std::vector<uint64_t> repeated = ids_from(1000, 200);
  repeated[120] = repeated[4];
  // The first failure in batch order wins: a repeat before a stored id, and after one.
  std::vector<uint64_t> repeat_first = ids_from(1000, 200), stored_first = ids_from(1000, 200);
  repeat_first[5] = repeat_first[3];
  repeat_first[50] = 7;
  stored_first[5] = 7;
  stored_first[50] = stored_first[3];
  const std::vector<std::pair<std::function<void()>, std::string>> refused = {
      {[&] { index.add_with_ids(poisoned, ids_from(1000, 200)); },
       "vector 150 of the batch has a NaN or infinite value, or a norm too large for float32"},
      {[&] { index.add_with_ids(std::span(data).subspan(200 * dim), ids_from(0, 200)); },
       "id 0 already present in index"},
      {[&] { index.add_with_ids(std::span(data).subspan(200 * dim), repeated); },
       "id 1028 already present in index"},
      {[&] { index.add_with_ids(std::span(data).subspan(200 * dim), repeat_first); },
       "id 1021 already present in index"},
      {[&] { index.add_with_ids(std::span(data).subspan(200 * dim), stored_first); },
       "id 7 already present in index"},
      {[&] { index.add_with_ids(std::span(data).subspan(200 * dim, 10 * dim), ids_from(1000, 9)); },
       "assertion `left == right` failed: expected 10 ids, got 9\n  left: 9\n right: 10"},
      {[&] { index.search(query, 0, 1); }, "k must be at least 1"},
      {[&] { index.search(query, 1, 0); }, "probes must be between 1 and lists (4), got 0"},
      {[&] { index.search(query, 1, 5); }, "probes must be between 1 and lists (4), got 5"},
      {[&] { index.train(data); }, "train needs an empty index: this one holds 200 vectors"},
      {[&] { index.remove_many(std::vector<uint64_t>{0, 9999}); }, "id 9999 is not in the index"},
      {[&] { index.remove_many(std::vector<uint64_t>{0, 0}); }, "id 0 appears more than once in ids"},
      {[&] { index.remove_many(std::vector<uint64_t>{7, 14, 7, 9999}); }, "id 7 appears more than once in ids"},
      {[&] { index.remove_many(std::vector<uint64_t>{7, 9999, 7}); }, "id 9999 is not in the index"},
  };
  for (const auto& [call, message] : refused) {
    EXPECT_EQ(error_message(call), message);
    EXPECT_EQ(index.len(), 200u);
    EXPECT_EQ(index.list_sizes(), sizes);
    expect_same(index.search(query, 10, 2), before);
  }
  {
    InterruptScope stop_now([] { return true; });
    EXPECT_THROW(index.add_with_ids(std::span(data).subspan(200 * dim), ids_from(1000, 200)), Interrupted);
    EXPECT_THROW(index.search(data, 10, 4), Interrupted);
    PartitionedIndex fresh = PartitionedIndex::create(dim, 4, 4, Rotation::Rotor3);
    EXPECT_THROW(fresh.train(data), Interrupted);
    EXPECT_FALSE(fresh.is_trained());
  }
  EXPECT_EQ(index.list_sizes(), sizes);
  expect_same(index.search(query, 10, 2), before);
}

// Centroids no vector near the origin can be coded against (their squares
// overflow float32) are refused where they are made, naming the first; a
// vector add cannot store is refused as IdMapIndex refuses it, and a residual
// that overflows blames its distance to the centroid, not the vector.
TEST(PartitionedIndex, CentroidsAndVectorsTooLongToCodeAreRefused) {
  const uint64_t dim = 16;
  const auto along_first = [&](std::vector<float> values, uint64_t rows) {
    std::vector<float> out(rows * dim, 0.0f);
    for (uint64_t r = 0; r < rows; ++r) {
      out[r * dim] = values[r % values.size()];
      out[r * dim + 1 + r % (dim - 1)] = 1.0f;
    }
    return out;
  };
  PartitionedIndex index = PartitionedIndex::create(dim, 4, 2, Rotation::Rotor3);
  std::vector<float> centroids(2 * dim, 0.0f);
  centroids[dim + 3] = 1e20f;
  EXPECT_EQ(error_message([&] { index.set_centroids(centroids); }),
            "centroid 1 has a norm too large for float32 squares (above 1.8e19): no vector could be added near "
            "it; scale the centroids down");
  EXPECT_THROW(index.set_centroids(centroids), ArgumentError);
  EXPECT_THROW(index.train(along_first({1e20f, 2e20f}, 100)), ArgumentError);
  EXPECT_FALSE(index.is_trained());
  centroids[dim + 3] = 1.8e19f;  // as long as a vector add takes: a centroid too
  index.set_centroids(centroids);
  index.add_with_ids(along_first({1.0f}, 3), ids_from(0, 3));

  // A stored index keeps centroids of any finite norm; a vector near one of
  // them is too long to store, and one far from it overflows its residual.
  std::vector<PartitionedIndex::List> empty(1);
  empty[0].codes = CodeStore::with_compact_tail(dim, 4);
  PartitionedIndex loaded =
      PartitionedIndex::from_parts(dim, 4, 1, Rotation::Rotor3, 1, along_first({3e19f}, 1), std::move(empty));
  EXPECT_EQ(error_message([&] { loaded.add_with_ids(along_first({1.0f, 3e19f}, 2), ids_from(0, 2)); }),
            "vector 1 of the batch has a NaN or infinite value, or a norm too large for float32");
  PartitionedIndex far = PartitionedIndex::create(dim, 4, 1, Rotation::Rotor3);
  far.set_centroids(along_first({1.5e19f}, 1));
  EXPECT_EQ(error_message([&] { far.add_with_ids(along_first({1.0f, -1.5e19f}, 2), ids_from(0, 2)); }),
            "vector 1 of the batch lies too far from the centroid of list 0: its residual overflows float32");
  EXPECT_EQ(loaded.len() + far.len(), 0u);
}

// Ids that share their high bits, or are multiples of a large power of two,
// are what an unkeyed table would pile onto one run of slots: through add,
// removal and a rebuild from parts, each is still found where it is.
TEST(PartitionedIndex, CraftedIdsAreFoundWhereTheyAre) {
  const uint64_t dim = 16, n = 20000;
  const std::vector<float> data = clustered(n, dim, 24, 3);
  for (const int shift : {0, 40}) {
    PartitionedIndex index = PartitionedIndex::create(dim, 2, 8, Rotation::Rotor3);
    index.train(data);
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = i << shift;
    index.add_with_ids(data, ids);
    for (uint64_t i = 0; i < n; i += 2) ASSERT_TRUE(index.remove(ids[i]));
    const PartitionedIndex again = PartitionedIndex::from_parts(dim, 2, 8, Rotation::Rotor3, index.seed(),
                                                                index.centroids(), index.list_data());
    EXPECT_EQ(again.len(), n / 2);
    for (uint64_t i = 0; i < n; ++i) {
      uint64_t list = 0, position = 0;
      ASSERT_EQ(again.locate(ids[i], &list, &position), i % 2 == 1) << i;
      if (i % 2 == 1) {
        ASSERT_EQ(again.list_data()[list].ids[position], ids[i]);
      }
    }
  }
}

// Stored lists that repeat an id, within a list or across two, are refused.
TEST(PartitionedIndex, StoredRepeatedIdsAreRefused) {
  const PartitionedIndex index = built(16, 4, 4, 400);
  for (const bool same_list : {true, false}) {
    std::vector<PartitionedIndex::List> lists = index.list_data();
    const uint64_t other = same_list ? 0 : 1;
    ASSERT_GE(lists[0].ids.size(), 2u);
    ASSERT_GE(lists[1].ids.size(), 1u);
    lists[other].ids.back() = lists[0].ids.front();
    EXPECT_EQ(error_message([&] {
                PartitionedIndex::from_parts(16, 4, 4, Rotation::Rotor3, index.seed(), index.centroids(), lists);
              }),
              "duplicate ids in partitioned index file");
  }
}

TEST(PartitionedIndex, RemovalKeepsEveryOtherVectorFindable) {
  const uint64_t dim = 32, n = 2000;
  PartitionedIndex index = built(dim, 3, 6, n);
  const std::vector<float> data = clustered(n, dim, 24, 11);
  const std::vector<uint64_t> ids = ids_from(5, n);
  for (uint64_t i = 0; i < n; i += 3) EXPECT_TRUE(index.remove(ids[i]));
  EXPECT_FALSE(index.remove(ids[0]));
  index.remove_many(std::vector<uint64_t>{ids[1], ids[2]});
  EXPECT_EQ(index.len(), n - (n + 2) / 3 - 2);
  uint64_t total = 0;
  for (const uint64_t size : index.list_sizes()) total += size;
  EXPECT_EQ(total, index.len());
  // Each remaining vector, probed in its own list, is its own best match
  // among a handful of neighbours, and the id map points at it.
  for (uint64_t i = 4; i < n; i += 97) {
    if (i % 3 == 0) continue;
    uint64_t list = 0, position = 0;
    ASSERT_TRUE(index.locate(ids[i], &list, &position));
    EXPECT_EQ(index.list_data()[list].ids[position], ids[i]);
    const IdSearchResults found = index.search(std::span(data).subspan(i * dim, dim), index.len(), 6);
    EXPECT_NE(std::find(found.ids.begin(), found.ids.end(), ids[i]), found.ids.end());
    EXPECT_EQ(std::find(found.ids.begin(), found.ids.end(), ids[0]), found.ids.end());
  }
  expect_same(index.search(std::span(data).first(5 * dim), 10, 3),
              reference(index, std::vector<float>(data.begin(), data.begin() + 5 * dim), 10, 3));
}

}  // namespace
}  // namespace varnel

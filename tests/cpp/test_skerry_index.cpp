// SkerryIndex: construction, mutation, caches and search end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "index/skerry_index.h"
#include "runtime/pool.h"
#include "search/code_scan.h"
#include "search/lut_scan.h"
#include "test_support.h"

using varnel::Rotation;
using varnel::SkerryIndex;

namespace {

constexpr auto& kRotations = varnel::testing::kAllRotations;

std::vector<float> gaussian(uint64_t count, uint64_t dim, unsigned seed) {
  return varnel::testing::random_vectors(count, dim, seed);
}

std::string failure_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const varnel::Error& e) {
    return e.what();
  }
  return "<no failure>";
}

void expect_same_results(const varnel::SearchResults& a, const varnel::SearchResults& b) {
  ASSERT_EQ(a.k, b.k);
  ASSERT_EQ(a.indices, b.indices);
  ASSERT_EQ(a.scores.size(), b.scores.size());
  for (std::size_t i = 0; i < a.scores.size(); ++i) {
    ASSERT_EQ(std::memcmp(&a.scores[i], &b.scores[i], sizeof(float)), 0) << "slot " << i;
  }
}

}  // namespace

TEST(Construction, ChecksRunInOrderWithTheirMessages) {
  struct Case {
    uint64_t dim, bits;
    Rotation rotation;
    const char* message;
  } cases[] = {
      {12, 5, Rotation::Rotor3, "bits must be 2, 3, or 4"},
      {12, 4, Rotation::Rotor3, "dim must be a multiple of 8"},
      {24, 4, Rotation::WalshRotor3, "Rotation::WalshRotor3 requires dim to be a power of 2 (got 24)"},
      {0, 2, Rotation::WalshRotor3, "Rotation::WalshRotor3 requires dim to be a power of 2 (got 0)"},
      {8, 1, Rotation::Planar2, "bits must be 2, 3, or 4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failure_of([&] { SkerryIndex::create(c.dim, c.bits, c.rotation); }), c.message);
  }
  for (Rotation r : {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4}) {
    EXPECT_EQ(SkerryIndex::create(24, 3, r).len(), 0u);
  }
  for (uint64_t dim : {8u, 16u, 64u, 1024u}) SkerryIndex::create(dim, 2, Rotation::WalshRotor3);
}

TEST(Construction, DimZeroFailsCleanlyOnUse) {
  SkerryIndex index = SkerryIndex::create(0, 2, Rotation::Rotor3);
  std::vector<float> v(8, 1.0f);
  EXPECT_EQ(failure_of([&] { index.add(v); }), "attempt to divide by zero");
  EXPECT_EQ(failure_of([&] { index.search(v, 1); }), "attempt to divide by zero");
}

TEST(Add, EmptyAndMisshapenBuffersChangeNothing) {
  SkerryIndex index = SkerryIndex::create(8, 2, Rotation::Rotor3);
  index.add({});
  EXPECT_EQ(index.len(), 0u);
  EXPECT_EQ(index.block_rotations().padded_dim, 9u);  // building a cache is still allowed
  std::vector<float> three(3, 1.0f);
  EXPECT_EQ(failure_of([&] { index.add(three); }),
            "assertion `left == right` failed: vectors length not a multiple of dim\n  left: 3\n right: 0");
  EXPECT_EQ(index.len(), 0u);
  EXPECT_TRUE(index.codes().empty());
}

TEST(Add, BatchesAppendInOrderAndEncodeDeterministically) {
  std::vector<float> first = gaussian(5, 16, 1), second = gaussian(7, 16, 2);
  SkerryIndex index = SkerryIndex::create(16, 3, Rotation::Iso4);
  index.add(first);
  index.add(second);
  EXPECT_EQ(index.len(), 12u);
  EXPECT_EQ(index.codes().size(), 12 * index.row_bytes());

  SkerryIndex alone = SkerryIndex::create(16, 3, Rotation::Iso4);
  alone.add(second);
  const varnel::RawVector<uint8_t> rows = index.codes();
  varnel::RawVector<uint8_t> tail(rows.begin() + 5 * index.row_bytes(), rows.end());
  EXPECT_EQ(tail, alone.codes());
  EXPECT_EQ(varnel::RawVector<float>(index.norms().begin() + 5, index.norms().end()), alone.norms());
}

TEST(SwapRemove, MovesTheLastVectorIntoTheHole) {
  SkerryIndex index = SkerryIndex::create(8, 4, Rotation::Rotor3);
  index.add(gaussian(3, 8, 3));
  const varnel::RawVector<uint8_t> codes = index.codes();
  const varnel::RawVector<float> norms = index.norms();
  const uint64_t row = index.row_bytes();

  EXPECT_EQ(index.swap_remove(0), 2u);
  EXPECT_EQ(index.len(), 2u);
  EXPECT_TRUE(std::equal(codes.begin() + 2 * row, codes.end(), index.codes().begin()));
  EXPECT_EQ(index.norms()[0], norms[2]);
  EXPECT_EQ(index.swap_remove(1), 1u);
  EXPECT_EQ(index.len(), 1u);
  index.add(gaussian(1, 8, 4));
  EXPECT_EQ(failure_of([&] { index.swap_remove(2); }), "index 2 out of bounds");
  EXPECT_EQ(index.len(), 2u);
}

// The codes are held once, in the blocked layout: it follows every add and
// removal at once, and unused lanes of the last block stay zero.
TEST(Caches, BlockedLayoutIsTheStorageAndFollowsEveryMutation) {
  SkerryIndex index = SkerryIndex::create(16, 4, Rotation::Rotor3);
  index.prepare();
  EXPECT_FALSE(index.has_blocked_codes());  // nothing to lay out yet
  index.add(gaussian(32, 16, 5));
  index.search(gaussian(1, 16, 6), 3);
  EXPECT_EQ(index.blocked_codes().n_blocks, 1u);

  std::vector<float> newcomer = gaussian(1, 16, 7);
  index.add(newcomer);
  EXPECT_EQ(index.blocked_codes().n_blocks, 2u);
  EXPECT_EQ(index.blocked_codes().bytes, varnel::repack_4bit(index.codes(), 33, 16).bytes);
  varnel::SearchResults r = index.search(newcomer, 1);
  EXPECT_EQ(r.indices[0], 32);

  index.swap_remove(0);
  EXPECT_EQ(index.blocked_codes().n_blocks, 1u);
  EXPECT_EQ(index.blocked_codes().bytes, varnel::repack_4bit(index.codes(), 32, 16).bytes);
  index.swap_remove(5);
  EXPECT_EQ(index.blocked_codes().bytes, varnel::repack_4bit(index.codes(), 31, 16).bytes);
}

TEST(Search, EffectiveKAndEmptyIndex) {
  SkerryIndex empty = SkerryIndex::create(8, 2, Rotation::Rotor3);
  varnel::SearchResults none = empty.search(gaussian(3, 8, 8), 5);
  EXPECT_EQ(none.k, 1u);
  EXPECT_EQ(none.indices, (std::vector<int64_t>{-1, -1, -1}));
  EXPECT_EQ(none.scores[0], -std::numeric_limits<float>::infinity());

  for (uint64_t bits : {2u, 4u}) {
    SkerryIndex index = SkerryIndex::create(8, bits, Rotation::Rotor3);
    index.add(gaussian(7, 8, 9));
    EXPECT_EQ(index.search(gaussian(2, 8, 10), 0).k, 1u);
    varnel::SearchResults all = index.search(gaussian(2, 8, 10), 1000);
    EXPECT_EQ(all.k, 7u);
    EXPECT_EQ(all.scores.size(), 14u);
    varnel::SearchResults no_queries = index.search({}, 3);
    EXPECT_EQ(no_queries.nq, 0u);
    EXPECT_EQ(no_queries.k, 3u);
    std::vector<float> bad(9, 1.0f);
    EXPECT_EQ(failure_of([&] { index.search(bad, 1); }),
              "assertion `left == right` failed\n  left: 9\n right: 8");
  }
}

TEST(Search, ZeroQueryScoresZeroAndKeepsEarliestPositions) {
  for (uint64_t bits : {2u, 3u, 4u}) {
    SkerryIndex index = SkerryIndex::create(16, bits, Rotation::Planar2);
    index.add(gaussian(40, 16, 11));
    varnel::SearchResults r = index.search(std::vector<float>(16, 0.0f), 5);
    EXPECT_EQ(r.indices, (std::vector<int64_t>{0, 1, 2, 3, 4})) << "bits " << bits;
    for (float s : r.scores) EXPECT_EQ(s, 0.0f);
  }
}

TEST(Search, FourBitIndexOfThirtyThreeOffersOnlyRealLanes) {
  SkerryIndex index = SkerryIndex::create(8, 4, Rotation::Rotor3);
  index.add(gaussian(33, 8, 12));
  varnel::SearchResults r = index.search(gaussian(4, 8, 13), 100);
  EXPECT_EQ(r.k, 33u);
  for (int64_t pos : r.indices) EXPECT_TRUE(pos >= 0 && pos < 33);
}

// The estimate is the inner product with the quantised vector: close to the
// exact one, and closer with more bits.
TEST(Search, ScoresTrackExactInnerProducts) {
  const uint64_t dim = 128, n = 300;
  std::vector<float> data = gaussian(n, dim, 14), queries = gaussian(5, dim, 15);
  double previous_error = 1e9;
  for (uint64_t bits : {2u, 3u, 4u}) {
    SkerryIndex index = SkerryIndex::create(dim, bits, Rotation::WalshRotor3);
    index.add(data);
    varnel::SearchResults r = index.search(queries, n);
    double error = 0, scale = 0;
    for (uint64_t q = 0; q < 5; ++q) {
      for (uint64_t slot = 0; slot < n; ++slot) {
        int64_t pos = r.indices[q * n + slot];
        double exact = 0;
        for (uint64_t j = 0; j < dim; ++j) exact += double(queries[q * dim + j]) * data[pos * dim + j];
        error += std::pow(r.scores[q * n + slot] - exact, 2);
        scale += exact * exact;
      }
    }
    double relative = std::sqrt(error / scale);
    EXPECT_LT(relative, bits == 2 ? 0.45 : bits == 3 ? 0.25 : 0.15) << "bits " << bits;
    EXPECT_LT(relative, previous_error);
    previous_error = relative;
  }
}

// Results never depend on the thread count, on whether one query is spread
// over several threads, or on which kernel ran.
TEST(Search, SameResultsWhateverThreadsQueriesOrKernels) {
  const uint64_t dim = 64, n = 20000;
  std::vector<float> data = gaussian(n, dim, 16), queries = gaussian(7, dim, 17);
  for (uint64_t bits : {2u, 3u, 4u}) {
    for (Rotation rotation : kRotations) {
      SkerryIndex index = SkerryIndex::create(dim, bits, rotation);
      index.add(data);
      varnel::set_num_threads(1);
      varnel::force_code_scan_portable(true);
      varnel::force_scan_path(varnel::ScanPath::Portable);
      varnel::SearchResults reference = index.search(queries, 10);
      varnel::force_code_scan_portable(false);
      for (varnel::ScanPath path : varnel::supported_scan_paths()) {
        varnel::force_scan_path(path);
        for (std::size_t threads : {1u, 3u, 8u}) {
          varnel::set_num_threads(threads);
          expect_same_results(index.search(queries, 10), reference);
          // Fewer queries than threads: one query is shared by the threads.
          varnel::SearchResults single = index.search(std::span(queries).first(dim), 10);
          std::vector<int64_t> first_row(reference.indices.begin(), reference.indices.begin() + 10);
          ASSERT_EQ(single.indices, first_row);
        }
      }
    }
  }
  varnel::set_num_threads(0);
  varnel::force_scan_path(varnel::supported_scan_paths().back());
}

// The top-k selector and the worker pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "runtime/pool.h"
#include "search/code_scan.h"
#include "search/search.h"

using varnel::TopK;

namespace {

struct Selected {
  std::vector<float> scores;
  std::vector<int64_t> positions;
};

Selected select(const std::vector<float>& scores, uint64_t k) {
  TopK top(k);
  for (uint64_t i = 0; i < scores.size(); ++i) top.offer(scores[i], i);
  Selected out{std::vector<float>(k), std::vector<int64_t>(k)};
  top.finish(out.scores.data(), out.positions.data());
  return out;
}

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(TopK, LaterOfEqualScoresComesFirstByReplacementRule) {
  Selected s = select({5, 1, 1, 3, 3}, 3);
  EXPECT_EQ(s.positions, (std::vector<int64_t>{0, 4, 3}));
  EXPECT_EQ(s.scores, (std::vector<float>{5, 3, 3}));
}

TEST(TopK, AllEqualScoresKeepEarliestPositionsInOrder) {
  for (uint64_t k : {1u, 2u, 7u, 20u}) {
    Selected s = select(std::vector<float>(50, 0.5f), k);
    std::vector<int64_t> expected(k);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(s.positions, expected) << "k=" << k;
  }
}

TEST(TopK, ShortListIsFilledWithEmptySlots) {
  Selected s = select({2, 9}, 4);
  EXPECT_EQ(s.positions, (std::vector<int64_t>{1, 0, -1, -1}));
  EXPECT_EQ(s.scores[2], -kInf);
}

TEST(TopK, LargeListsSelectTheSameSetAsSorting) {
  std::vector<float> scores(3000);
  for (std::size_t i = 0; i < scores.size(); ++i) scores[i] = std::sin(float(i) * 0.37f) * 100.0f;
  for (uint64_t k : {20u, 21u, 100u}) {
    Selected s = select(scores, k);
    std::vector<float> sorted = scores;
    std::sort(sorted.begin(), sorted.end(), std::greater<float>());
    for (uint64_t r = 0; r < k; ++r) {
      EXPECT_EQ(s.scores[r], sorted[r]);
      EXPECT_EQ(scores[s.positions[r]], s.scores[r]);
    }
  }
}

// A NaN score (a stored vector holding NaN, say) must not block better
// candidates from entering the list: it ranks below every number.
// Long lists order ties by position, so that no standard library's heap or
// sort decides which of equal scores are kept or in which order.
TEST(TopK, LongListsKeepAndOrderTiesByPosition) {
  std::vector<float> scores(500);
  for (std::size_t i = 0; i < scores.size(); ++i) scores[i] = float(i % 7 == 3 ? 9 : i % 4);
  for (uint64_t k : {21u, 64u, 200u}) {
    Selected s = select(scores, k);
    std::vector<int64_t> order(scores.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return scores[a] > scores[b]; });
    order.resize(k);
    EXPECT_EQ(s.positions, order) << "k=" << k;
  }
}

TEST(TopK, NanRanksBelowEveryNumber) {
  for (uint64_t k : {3u, 25u}) {
    std::vector<float> scores(60, 1.0f);
    scores[0] = kNan;
    scores[1] = kNan;
    for (int i = 0; i < 10; ++i) scores[20 + i] = 10.0f + float(i);
    Selected s = select(scores, k);
    EXPECT_EQ(s.positions[0], 29);
    for (float score : s.scores) EXPECT_FALSE(std::isnan(score)) << "k=" << k;
  }
  Selected only_nan = select({kNan, 1.0f}, 2);
  EXPECT_EQ(only_nan.positions, (std::vector<int64_t>{1, 0}));
}

TEST(TopK, OfferScoresMatchesOfferingOneByOne) {
  std::vector<float> scores(500);
  for (std::size_t i = 0; i < scores.size(); ++i) scores[i] = float((i * 7919) % 113);
  scores[17] = kNan;
  for (uint64_t k : {1u, 5u, 30u}) {
    Selected a = select(scores, k);
    TopK top(k);
    varnel::offer_scores(top, scores.data(), 0, scores.size());
    Selected b{std::vector<float>(k), std::vector<int64_t>(k)};
    top.finish(b.scores.data(), b.positions.data());
    EXPECT_EQ(a.positions, b.positions);
  }
}

// The bounded selection skips most scores: it must still keep the
// candidates that offering every score keeps, with ties at the bound, NaN and -inf about.
TEST(TopK, OfferBestScoresMatchesOfferingEveryScore) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    std::function<float(std::size_t)> score;
  };
  const std::vector<Case> cases = {
      {"spread", [](std::size_t i) { return float((i * 7919) % 113); }},
      {"ties everywhere", [](std::size_t i) { return float(i % 3); }},
      {"rising", [](std::size_t i) { return float(i); }},
      {"NaN and -inf mostly", [&](std::size_t i) { return i % 50 == 7 ? float(i) : (i % 2 ? kNan : -inf); }},
      {"all NaN", [](std::size_t) { return kNan; }},
  };
  for (const Case& c : cases) {
    for (std::size_t count : {0u, 15u, 40u, 999u}) {
      std::vector<float> scores(count);
      for (std::size_t i = 0; i < count; ++i) scores[i] = c.score(i);
      for (uint64_t k : {1u, 3u, 17u, 40u}) {
        Selected expected = select(scores, k);
        TopK top(k);
        varnel::offer_best_scores(top, scores.data(), 7, scores.size());  // positions from 7
        Selected got{std::vector<float>(k), std::vector<int64_t>(k)};
        top.finish(got.scores.data(), got.positions.data());
        for (int64_t& p : got.positions) p = p >= 0 ? p - 7 : p;
        // The same candidates; finish() orders equal scores by the history
        // of offers, which differs.
        std::sort(expected.positions.begin(), expected.positions.end());
        std::sort(got.positions.begin(), got.positions.end());
        EXPECT_EQ(expected.positions, got.positions) << c.name << " count " << count << " k " << k;
      }
    }
  }
}

TEST(Pool, CoversEveryItemOnceAndRethrows) {
  for (std::size_t threads : {1u, 2u, 5u}) {
    varnel::set_num_threads(threads);
    std::vector<std::atomic<int>> hits(1001);
    varnel::parallel_for(hits.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) hits[i]++;
      // A nested loop runs inline instead of waiting for busy workers.
      varnel::parallel_for(3, [](std::size_t, std::size_t) {});
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1);
    EXPECT_THROW(varnel::parallel_for(10, [](std::size_t, std::size_t) { throw std::runtime_error("x"); }),
                 std::runtime_error);
  }
  varnel::set_num_threads(0);
}

TEST(CodeScan, SimdDecodeMatchesPortable) {
  if (!varnel::code_scan_uses_simd()) GTEST_SKIP() << "no vector path on this CPU";
  // Plane rows of 3 bytes, and of 17 (two whole steps of 8 and a tail).
  for (const auto& [bits, dim] : {std::pair<uint64_t, uint64_t>{1, 24}, {2, 24}, {3, 24}, {2, 136}, {3, 136}}) {
    const uint64_t n = 300, row = dim / 8 * bits;
    std::vector<uint8_t> codes(n * row);
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = uint8_t(i * 2654435761u >> 13);
    const varnel::CodeScanner simd{true, dim, bits}, portable{false, dim, bits};
    for (uint64_t first : {0u, 40u, 236u}) {
      for (uint64_t count : {uint64_t{1}, uint64_t{33}, varnel::kCodeBlock}) {
        if (first + count > n) continue;
        std::vector<uint8_t> wide(simd.block_bytes(), 0xAA), bytes(portable.block_bytes(), 0xAA);
        simd.decode(codes.data(), first, count, wide.data());
        portable.decode(codes.data(), first, count, bytes.data());
        std::vector<int32_t> words(bytes.size());
        std::memcpy(words.data(), wide.data(), wide.size());
        for (std::size_t i = 0; i < bytes.size(); ++i) {
          const uint32_t c = bytes[i];
          const uint32_t want = 0x03020100u + 0x04040404u * (c & 3) + ((c & 4) ? 0x80808080u : 0);
          ASSERT_EQ(uint32_t(words[i]), want) << bits << " " << first << " " << count << " " << i;
        }
      }
    }
  }
}

// The 4-bit table-lookup scan: byte tables, the chunked multiply-add
// sequence, and bit-identity of every SIMD path with the portable one.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "quantize/codebook.h"
#include "runtime/error.h"
#include "search/lut_scan.h"

namespace varnel {
namespace {

constexpr uint64_t kLanes = 32;
constexpr uint64_t kChunkColumns = 256;

// Returns to the default path when a test that forces paths ends.
class ScanPathGuard {
 public:
  ~ScanPathGuard() { reset_scan_path(); }
};

std::vector<uint8_t> random_blocks(uint64_t dim, uint64_t n_blocks, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> blocks(n_blocks * dim / 2 * kLanes);
  for (uint8_t& byte : blocks) byte = static_cast<uint8_t>(rng());
  return blocks;
}

std::vector<float> random_centroids(std::mt19937& rng) {
  std::normal_distribution<float> normal(0.0f, 0.1f);
  std::vector<float> centroids(16);
  for (float& c : centroids) c = normal(rng);
  return centroids;
}

QueryTable random_table(uint64_t dim, std::mt19937& rng) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> rq(dim);
  for (float& x : rq) x = normal(rng);
  return build_query_table(rq.data(), random_centroids(rng).data(), dim);
}

// Every byte at its largest: a full chunk sums to exactly 65024, the limit of
// the 16-bit counters.
QueryTable saturated_table(uint64_t dim) {
  QueryTable table;
  table.bytes.assign(dim * 16, 127);
  table.bias = 0.25f;
  table.delta = 0.0017f;  // one fused step over 520 columns would round differently
  return table;
}

// One saturated table followed by random ones.
std::vector<QueryTable> mixed_tables(uint64_t dim, std::size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<QueryTable> tables{saturated_table(dim)};
  while (tables.size() < count) tables.push_back(random_table(dim, rng));
  return tables;
}

std::vector<const QueryTable*> pointers_to(const std::vector<QueryTable>& tables, std::size_t nt) {
  std::vector<const QueryTable*> pointers;
  for (std::size_t t = 0; t < nt; ++t) pointers.push_back(&tables[t]);
  return pointers;
}

constexpr uint32_t kSentinelBits = 0x7FC0BEEFu;

// Scans with the given path into rows padded past the written scores, so
// that a write outside a table's scores shows up as a changed sentinel.
std::vector<float> scan_with(ScanPath path, const std::vector<const QueryTable*>& tables,
                             const std::vector<uint8_t>& blocks, uint64_t dim, uint64_t b0,
                             uint64_t b1, std::size_t stride) {
  EXPECT_TRUE(force_scan_path(path));
  std::vector<float> out(tables.size() * stride + 5, std::bit_cast<float>(kSentinelBits));
  scan_blocks(tables.data(), tables.size(), blocks.data(), dim, b0, b1, out.data(), stride);
  return out;
}

TEST(BuildQueryTable, RoundsHalvesAwayFromZeroFromEachCoordinatesLow) {
  // Coordinate 0 spans 0..127, so delta = 1 and every step is the entry itself.
  const float centroids[16] = {0, 0.5f, 1.5f, 2.5f, 3.5f, 126.5f, 127, 10,
                               20, 30, 40, 50, 60, 70, 80, 90};
  const float rq[2] = {1.0f, -0.5f};
  const QueryTable table = build_query_table(rq, centroids, 2);
  const std::vector<uint8_t> expected = {
      0,  1,  2,  3,  4,  127, 127, 10, 20, 30, 40, 50, 60, 70, 80, 90,  // entries c
      64, 63, 63, 62, 62, 0,   0,   59, 54, 49, 44, 39, 34, 29, 24, 19,  // -c/2 + 63.5
  };
  EXPECT_EQ(table.bytes, expected);
  EXPECT_EQ(table.delta, 1.0f);
  EXPECT_EQ(table.bias, -63.5f);
}

// The table as first defined: each row's range found by strict comparisons
// from its first entry. Sorted codebooks take the ends of a row instead,
// which must give the same bytes, bias and delta bit for bit.
QueryTable reference_table(const std::vector<float>& rq, const float* centroids) {
  const uint64_t dim = rq.size();
  std::vector<float> entries(dim * 16), lows(dim);
  float largest_spread = 0.0f;
  for (uint64_t j = 0; j < dim; ++j) {
    float low = rq[j] * centroids[0], high = low;
    for (uint64_t c = 0; c < 16; ++c) {
      const float e = entries[j * 16 + c] = rq[j] * centroids[c];
      if (e < low) low = e;
      if (e > high) high = e;
    }
    lows[j] = low;
    if (high - low > largest_spread) largest_spread = high - low;
  }
  QueryTable table;
  for (uint64_t p = 0; p + 1 < dim; p += 2) table.bias = table.bias + (lows[p] + lows[p + 1]);
  table.delta = largest_spread > 1e-10f ? largest_spread / 127.0f : 1.0f;
  const float inv = 1.0f / table.delta;
  for (uint64_t i = 0; i < dim * 16; ++i) {
    const float scaled = (entries[i] - lows[i / 16]) * inv;
    table.bytes.push_back(uint8_t(std::round(std::min(std::max(0.0f, scaled), 127.0f))));
  }
  return table;
}

TEST(BuildQueryTable, SortedCodebooksMatchTheRowByRowRange) {
  const std::vector<float> sorted = codebook(4, 64).centroids;
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const float tiny = std::numeric_limits<float>::denorm_min();
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  std::vector<float> gaussian(64);
  for (float& x : gaussian) x = normal(rng);
  const std::vector<std::pair<const char*, std::vector<float>>> cases = {
      {"gaussian", gaussian},
      {"signed zeros", {0.0f, -0.0f, -0.0f, 0.0f, -0.0f, -0.0f}},
      {"underflowing products", {tiny, -tiny, 3 * tiny, -5 * tiny, 0.0f, 1.0f}},
      {"zeros beside tiny", {tiny, -0.0f, -tiny, 0.0f}},
      {"overflowing products", {3e38f, -3e38f, 1.0f, 0.0f}},
      {"non-finite", {nan, inf, -inf, 1.0f}},
  };
  for (const auto& [name, rq] : cases) {
    const QueryTable got = build_query_table(rq.data(), sorted.data(), rq.size());
    const QueryTable want = reference_table(rq, sorted.data());
    EXPECT_EQ(got.bytes, want.bytes) << name;
    EXPECT_EQ(std::bit_cast<uint32_t>(got.bias), std::bit_cast<uint32_t>(want.bias)) << name;
    EXPECT_EQ(std::bit_cast<uint32_t>(got.delta), std::bit_cast<uint32_t>(want.delta)) << name;
  }
}

TEST(BuildQueryTable, FlatNonFiniteAndTinyQueries) {
  std::mt19937 rng(7);
  const std::vector<float> centroids = random_centroids(rng);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    std::vector<float> rq;
    float delta;
    std::optional<float> bias;  // NaN: any NaN
  };
  const Case cases[] = {
      {"all zero", {0, 0, 0, 0}, 1.0f, 0.0f},
      // Largest spread about 2e-13: at or below the 1e-10 threshold.
      {"tiny", {5e-13f, 0, -2e-13f, 0}, 1.0f, std::nullopt},
      // NaN entries quantise to 0 and poison the bias.
      {"nan coordinate", {nan, 0, 0, 0}, 1.0f, nan},
      // An infinite spread makes delta infinite: every step is 0 or NaN.
      {"infinite coordinate", {0, inf, 0, 0}, inf, -inf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QueryTable table = build_query_table(c.rq.data(), centroids.data(), 4);
    EXPECT_EQ(table.bytes, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(table.delta, c.delta);
    if (c.bias && std::isnan(*c.bias)) {
      EXPECT_TRUE(std::isnan(table.bias));
    } else if (c.bias) {
      EXPECT_EQ(table.bias, *c.bias);
    }
  }
}

// The definition written out per lane: exact integer sums per 256 columns,
// one fused multiply-add per chunk.
float reference_score(const QueryTable& table, const std::vector<uint8_t>& blocks, uint64_t dim,
                      uint64_t block, uint64_t lane) {
  const uint64_t columns = dim / 2;
  float acc = table.bias;
  for (uint64_t c0 = 0; c0 < columns; c0 += kChunkColumns) {
    uint32_t sum = 0;
    for (uint64_t c = c0; c < std::min(columns, c0 + kChunkColumns); ++c) {
      const uint8_t code = blocks[(block * columns + c) * kLanes + lane];
      sum += table.bytes[(2 * c) * 16 + (code >> 4)] + table.bytes[(2 * c + 1) * 16 + (code & 15)];
    }
    acc = std::fma(static_cast<float>(sum), table.delta, acc);
  }
  return acc;
}

TEST(ScanBlocks, EveryPathFollowsTheChunkedMultiplyAddSequence) {
  ScanPathGuard guard;
  for (uint64_t dim : {512u, 520u}) {
    SCOPED_TRACE("dim " + std::to_string(dim));
    const uint64_t n_blocks = 3;
    const std::vector<uint8_t> blocks = random_blocks(dim, n_blocks, 21);
    const std::vector<QueryTable> tables = mixed_tables(dim, 3, 22);
    const std::vector<const QueryTable*> pointers = pointers_to(tables, tables.size());
    for (ScanPath path : supported_scan_paths()) {
      SCOPED_TRACE(scan_path_name(path));
      const std::size_t stride = n_blocks * kLanes;
      const std::vector<float> out = scan_with(path, pointers, blocks, dim, 0, n_blocks, stride);
      for (std::size_t t = 0; t < tables.size(); ++t) {
        for (uint64_t i = 0; i < n_blocks * kLanes; ++i) {
          const float expected = reference_score(tables[t], blocks, dim, i / kLanes, i % kLanes);
          ASSERT_EQ(std::bit_cast<uint32_t>(out[t * stride + i]), std::bit_cast<uint32_t>(expected))
              << "table " << t << " position " << i;
        }
      }
    }
  }
}

TEST(ScanBlocks, FullChunksReachTheCounterLimitAndAreFusedOneByOne) {
  ScanPathGuard guard;
  // 520 columns of 254: a first chunk of 65024, a second of 1016.
  const QueryTable full = saturated_table(520);
  const std::vector<uint8_t> blocks = random_blocks(520, 2, 3);
  const std::vector<const QueryTable*> pointers = {&full};
  const float two_steps = std::fma(1016.0f, full.delta, std::fma(65024.0f, full.delta, full.bias));
  ASSERT_NE(two_steps, std::fma(66040.0f, full.delta, full.bias));
  for (ScanPath path : supported_scan_paths()) {
    SCOPED_TRACE(scan_path_name(path));
    const std::vector<float> out = scan_with(path, pointers, blocks, 520, 0, 2, 2 * kLanes);
    for (uint64_t i = 0; i < 2 * kLanes; ++i) ASSERT_EQ(out[i], two_steps) << "lane " << i;
  }
}

TEST(ScanBlocks, EverySupportedPathMatchesPortableBitForBit) {
  ScanPathGuard guard;
  const uint64_t n_blocks = 9;
  struct Range {
    uint64_t b0, b1;
  };
  // Whole, single first, odd-length middle, single last, empty.
  const Range ranges[] = {{0, 9}, {0, 1}, {3, 6}, {8, 9}, {5, 5}, {2, 4}};
  // Groups of four queries per pass: partial, exact, one over, two groups + 1.
  const std::size_t group_sizes[] = {1, 3, 4, 5, 9};
  // 130: an odd count of columns, which the VBMI kernel hands on in fours.
  for (uint64_t dim : {8u, 128u, 130u, 512u, 520u}) {
    const std::vector<uint8_t> blocks = random_blocks(dim, n_blocks, static_cast<uint32_t>(dim));
    const std::vector<QueryTable> tables = mixed_tables(dim, 9, static_cast<uint32_t>(dim + 1));
    for (ScanPath path : supported_scan_paths()) {
      if (path == ScanPath::Portable) continue;
      for (const Range& range : ranges) {
        for (std::size_t nt : group_sizes) {
          SCOPED_TRACE(std::string(scan_path_name(path)) + " dim " + std::to_string(dim) +
                       " blocks [" + std::to_string(range.b0) + "," + std::to_string(range.b1) +
                       ") tables " + std::to_string(nt));
          const std::vector<const QueryTable*> pointers = pointers_to(tables, nt);
          const std::size_t stride = (range.b1 - range.b0) * kLanes + 3;
          const std::vector<float> expected =
              scan_with(ScanPath::Portable, pointers, blocks, dim, range.b0, range.b1, stride);
          const std::vector<float> actual =
              scan_with(path, pointers, blocks, dim, range.b0, range.b1, stride);
          for (std::size_t i = 0; i < actual.size(); ++i) {
            const bool written = i < nt * stride && i % stride < stride - 3;
            if (!written) {
              ASSERT_EQ(std::bit_cast<uint32_t>(actual[i]), kSentinelBits) << "write outside at " << i;
            }
            ASSERT_EQ(std::bit_cast<uint32_t>(actual[i]), std::bit_cast<uint32_t>(expected[i]))
                << "at " << i;
          }
        }
      }
    }
  }
}

// The filtered scan must store, on every path, each score times its factor
// (the product a separate multiply gives, NaN and infinite factors included)
// and mark exactly the blocks holding a product above the table's threshold:
// over several chunks, across tiles, for odd column counts and partial groups.
TEST(ScanBlocks, FilteredScanMatchesScanningThenMultiplyingOnEveryPath) {
  ScanPathGuard guard;
  const uint64_t n_blocks = 23;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (uint64_t dim : {8u, 128u, 130u, 520u}) {
    const std::vector<uint8_t> blocks = random_blocks(dim, n_blocks, static_cast<uint32_t>(dim + 7));
    const std::vector<QueryTable> tables = mixed_tables(dim, 9, static_cast<uint32_t>(dim + 8));
    std::mt19937 rng(static_cast<uint32_t>(dim));
    std::vector<float> factors(n_blocks * kLanes);
    for (float& f : factors) f = std::uniform_real_distribution<float>(0.0f, 2.0f)(rng);
    factors[5] = nan;
    factors[40] = inf;
    factors[41] = -inf;
    factors[70] = 0.0f;
    for (const auto& [b0, b1] : {std::pair<uint64_t, uint64_t>{0, 23}, {3, 4}, {7, 19}, {22, 23}, {4, 4}}) {
      for (std::size_t nt : {1u, 4u, 9u}) {
        const std::vector<const QueryTable*> pointers = pointers_to(tables, nt);
        const std::size_t stride = (b1 - b0) * kLanes + 3;
        const std::vector<float> plain = scan_with(ScanPath::Portable, pointers, blocks, dim, b0, b1, stride);
        // Thresholds that some blocks pass and others do not, and the edges.
        std::vector<float> thresholds(nt);
        std::vector<uint64_t> expected_above(nt, 0);
        std::vector<float> products = plain;
        for (std::size_t t = 0; t < nt; ++t) {
          for (uint64_t i = 0; i < (b1 - b0) * kLanes; ++i) {
            products[t * stride + i] = plain[t * stride + i] * factors[b0 * kLanes + i];
          }
          thresholds[t] = t == 1 ? -inf : t == 2 ? nan : (b1 > b0 ? products[t * stride + (b1 - b0) * kLanes / 2] : 0.0f);
          for (uint64_t i = 0; i < (b1 - b0) * kLanes; ++i) {
            if (products[t * stride + i] > thresholds[t]) expected_above[t] |= uint64_t{1} << (i / kLanes);
          }
        }
        for (ScanPath path : supported_scan_paths()) {
          SCOPED_TRACE(std::string(scan_path_name(path)) + " dim " + std::to_string(dim) + " blocks [" +
                       std::to_string(b0) + "," + std::to_string(b1) + ") tables " + std::to_string(nt));
          ASSERT_TRUE(force_scan_path(path));
          std::vector<float> out(nt * stride + 5, std::bit_cast<float>(kSentinelBits));
          std::vector<uint64_t> above(nt, ~uint64_t{0});
          scan_blocks_filtered(pointers.data(), nt, blocks.data(), dim, b0, b1, factors.data() + b0 * kLanes,
                               thresholds.data(), above.data(), out.data(), stride);
          EXPECT_EQ(above, expected_above);
          for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(i < products.size() ? products[i] : out[i]))
                << "at " << i;
            if (i >= nt * stride || i % stride >= stride - 3) {
              ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), kSentinelBits) << "write outside at " << i;
            }
          }
        }
      }
    }
  }
  const std::vector<QueryTable> tables = mixed_tables(8, 1, 3);
  const std::vector<const QueryTable*> one = pointers_to(tables, 1);
  std::vector<float> out(65 * kLanes), factors(65 * kLanes);
  float threshold = 0.0f;
  uint64_t above = 0;
  const std::vector<uint8_t> blocks = random_blocks(8, 65, 4);
  EXPECT_THROW(scan_blocks_filtered(one.data(), 1, blocks.data(), 8, 0, 65, factors.data(), &threshold,
                                    &above, out.data(), out.size()),
               Error);
}

TEST(ScanBlocks, RejectsMismatchedTablesRangesAndStrides) {
  const std::vector<uint8_t> blocks = random_blocks(16, 2, 5);
  const std::vector<QueryTable> tables = mixed_tables(16, 2, 6);
  QueryTable short_table = tables[1];
  short_table.bytes.pop_back();
  const QueryTable* good[2] = {&tables[0], &tables[1]};
  const QueryTable* bad[2] = {&tables[0], &short_table};
  std::vector<float> out(2 * 64, std::bit_cast<float>(kSentinelBits));
  EXPECT_THROW(scan_blocks(bad, 2, blocks.data(), 16, 0, 2, out.data(), 64), Error);
  EXPECT_THROW(scan_blocks(good, 2, blocks.data(), 16, 2, 1, out.data(), 64), Error);
  EXPECT_THROW(scan_blocks(good, 2, blocks.data(), 16, 0, 2, out.data(), 63), Error);
  scan_blocks(good, 0, blocks.data(), 16, 0, 2, out.data(), 64);
  scan_blocks(good, 2, blocks.data(), 16, 1, 1, out.data(), 64);
  for (float score : out) EXPECT_EQ(std::bit_cast<uint32_t>(score), kSentinelBits);
}

TEST(ScanPaths, EachSupportedPathCanBeForcedAndNamed) {
  ScanPathGuard guard;
  const std::vector<ScanPath> supported = supported_scan_paths();
  ASSERT_FALSE(supported.empty());
  EXPECT_EQ(supported.front(), ScanPath::Portable);
#if defined(__aarch64__)
  EXPECT_EQ(supported.back(), ScanPath::Neon);  // part of the base instruction set
#endif
  for (ScanPath path : {ScanPath::Portable, ScanPath::Avx2, ScanPath::Avx512,
                        ScanPath::Avx512Vbmi, ScanPath::Neon}) {
    SCOPED_TRACE(scan_path_name(path));
    const bool is_supported = std::find(supported.begin(), supported.end(), path) != supported.end();
    const ScanPath before = active_scan_path();
    EXPECT_EQ(force_scan_path(path), is_supported);
    EXPECT_EQ(active_scan_path(), is_supported ? path : before);
    // The environment variable's value picks the path when it can run.
    EXPECT_EQ(preferred_scan_path(scan_path_name(path)), is_supported ? path : fastest_scan_path());
  }
  EXPECT_EQ(preferred_scan_path(nullptr), fastest_scan_path());
  EXPECT_EQ(preferred_scan_path("AVX2 "), fastest_scan_path());
}

// The timing picks one of the SIMD paths (never the portable one while
// another exists) and reports a rate for each it timed.
TEST(ScanPaths, TimingPicksATimedSimdPath) {
  const std::vector<ScanPath> supported = supported_scan_paths();
  const std::vector<ScanPathRate> rates = scan_path_rates();
  if (supported.size() < 3) {
    EXPECT_EQ(fastest_scan_path(), supported.back());
    return;
  }
  ASSERT_EQ(rates.size(), supported.size() - 1);
  bool chosen_was_timed = false;
  for (const ScanPathRate& rate : rates) {
    EXPECT_NE(rate.path, ScanPath::Portable);
    EXPECT_GT(rate.pairs_per_second, 0.0);
    chosen_was_timed |= rate.path == fastest_scan_path();
  }
  EXPECT_TRUE(chosen_was_timed);
}

TEST(ScanPaths, DefaultFollowsTheEnvironmentVariable) {
  force_scan_path(ScanPath::Portable);
  reset_scan_path();
  EXPECT_EQ(active_scan_path(), preferred_scan_path(std::getenv("VARNEL_SCAN_PATH")));
}

}  // namespace
}  // namespace varnel

// A store with a compact tail against a padded one holding the same rows:
// every change of size must keep the vectors below it, and the tail must
// come back as the padded store's last block.
#include "quantize/code_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "runtime/error.h"

using varnel::CodeStore;
using varnel::RawVector;

namespace {

std::vector<uint8_t> random_rows(uint64_t n, uint64_t row, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> rows(n * row);
  for (uint8_t& byte : rows) byte = uint8_t(rng());
  return rows;
}

// The padded store's blocks, the compact store's whole blocks and tail block.
void expect_same_blocks(const CodeStore& compact, const CodeStore& padded) {
  ASSERT_EQ(compact.size(), padded.size());
  EXPECT_EQ(compact.rows(), padded.rows());
  const uint64_t whole = compact.n_blocks(), bytes = compact.block_bytes();
  EXPECT_EQ(whole, compact.size() / 32);
  for (uint64_t b = 0; b < whole; ++b) {
    EXPECT_TRUE(std::equal(compact.block(b), compact.block(b) + bytes, padded.block(b))) << "block " << b;
  }
  EXPECT_EQ(compact.tail_size(), compact.size() % 32);
  if (compact.tail_size() == 0) return;
  std::vector<uint8_t> tail(bytes, 0xee);
  compact.tail_block(tail.data());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), padded.block(whole))) << "tail block";
}

class CompactTail : public ::testing::TestWithParam<std::tuple<uint64_t, uint64_t>> {};

TEST_P(CompactTail, HoldsExactlyItsRowsAndMatchesThePaddedLayout) {
  const auto [dim, bits] = GetParam();
  const uint64_t row = dim / 8 * bits;
  for (const uint64_t n : {0, 1, 5, 31, 32, 33, 63, 64, 95, 100}) {
    SCOPED_TRACE("n " + std::to_string(n));
    const std::vector<uint8_t> rows = random_rows(n, row, uint32_t(n));
    const CodeStore padded = CodeStore::from_rows(dim, bits, n, rows);
    const CodeStore compact = padded.compacted();
    EXPECT_TRUE(compact.has_compact_tail());
    EXPECT_EQ(compact.blocked().bytes.size(), n * row);
    expect_same_blocks(compact, padded);
    std::vector<uint8_t> codes(dim), expected(dim);
    for (uint64_t p = 0; p < n; ++p) {
      compact.decode(p, codes.data());
      padded.decode(p, expected.data());
      ASSERT_EQ(codes, expected) << p;
    }
  }
}

// Growing and shrinking across block boundaries, as adds, failed adds and
// removals do, with the rows written the way an add writes them.
TEST_P(CompactTail, KeepsItsVectorsThroughResizesAndMoves) {
  const auto [dim, bits] = GetParam();
  const uint64_t row = dim / 8 * bits;
  const std::vector<uint8_t> rows = random_rows(200, row, 7);
  CodeStore compact = CodeStore::with_compact_tail(dim, bits);
  CodeStore padded(dim, bits);
  uint64_t n = 0;
  for (const uint64_t next : {3, 32, 45, 44, 31, 64, 65, 97, 96, 1, 0, 140}) {
    SCOPED_TRACE("from " + std::to_string(n) + " to " + std::to_string(next));
    compact.reserve(next);
    EXPECT_GE(compact.capacity(), next);
    compact.resize(next);
    padded.resize(next);
    if (next > n) {
      const std::span<const uint8_t> added(rows.data() + n * row, (next - n) * row);
      compact.write_rows(n, added);
      padded.write_rows(n, added);
    }
    n = next;
    expect_same_blocks(compact, padded);
  }
  // A removal moves the last vector into the gap, from the tail into a whole block.
  compact.copy_vector(139, 3);
  padded.copy_vector(139, 3);
  compact.resize(139);
  padded.resize(139);
  expect_same_blocks(compact, padded);
}

INSTANTIATE_TEST_SUITE_P(Widths, CompactTail,
                         ::testing::Values(std::make_tuple(uint64_t{64}, uint64_t{4}),
                                           std::make_tuple(uint64_t{8}, uint64_t{4}),
                                           std::make_tuple(uint64_t{24}, uint64_t{2})));

TEST(CompactTail, RefusesRowsPastItsSize) {
  CodeStore compact = CodeStore::with_compact_tail(16, 4);
  compact.resize(3);
  const std::vector<uint8_t> rows(4 * compact.row_bytes(), 1);
  EXPECT_THROW(compact.write_rows(0, rows), varnel::Error);
  EXPECT_EQ(compact.size(), 3u);
}

}  // namespace

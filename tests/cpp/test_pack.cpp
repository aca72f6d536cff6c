#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "quantize/pack.h"
#include "runtime/error.h"

namespace varnel {
namespace {

using Bytes = std::vector<uint8_t>;

// Bit-by-bit statement of the storage layout, independent of the word tricks
// the library uses.
Bytes reference_pack(const Bytes& codes, uint64_t n, uint64_t dim, uint64_t bits) {
  const uint64_t plane_bytes = dim / 8;
  Bytes packed(n * bits * plane_bytes, 0);
  for (uint64_t v = 0; v < n; ++v) {
    for (uint64_t j = 0; j < dim; ++j) {
      for (uint64_t p = 0; p < bits; ++p) {
        if ((codes[v * dim + j] >> p) & 1) {
          packed[v * bits * plane_bytes + p * plane_bytes + j / 8] |= 1 << (7 - j % 8);
        }
      }
    }
  }
  return packed;
}

Bytes random_codes(uint64_t count, uint64_t bits, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> code(0, (1 << bits) - 1);
  Bytes codes(count);
  for (auto& c : codes) c = static_cast<uint8_t>(code(rng));
  return codes;
}

struct WorkedRow {
  uint64_t bits;
  Bytes codes;
  Bytes row;
};

TEST(PackCodes, WorkedRowsForDim8) {
  const std::vector<WorkedRow> cases = {
      {2, {0, 1, 2, 3, 0, 1, 2, 3}, {0x55, 0x33}},
      {3, {0, 1, 2, 3, 4, 5, 6, 7}, {0x55, 0x33, 0x0F}},
      {4, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0}},
      {1, {1, 0, 0, 0, 0, 0, 0, 1}, {0x81}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    EXPECT_EQ(pack_codes(c.codes, 1, 8, c.bits), c.row);
    Bytes decoded(8);
    unpack_row(c.row, 8, c.bits, decoded);
    EXPECT_EQ(decoded, c.codes);
  }
}

TEST(PackCodes, MatchesBitwiseLayoutAndRoundTrips) {
  const uint64_t n = 5;
  const uint64_t dim = 24;
  for (uint64_t bits = 1; bits <= 8; ++bits) {
    SCOPED_TRACE(bits);
    const Bytes codes = random_codes(n * dim, bits, 7 + bits);
    const Bytes packed = pack_codes(codes, n, dim, bits);
    ASSERT_EQ(packed, reference_pack(codes, n, dim, bits));
    const uint64_t row_bytes = bits * dim / 8;
    Bytes decoded(n * dim);
    for (uint64_t v = 0; v < n; ++v) {
      unpack_row(std::span(packed).subspan(v * row_bytes, row_bytes), dim, bits,
                 std::span(decoded).subspan(v * dim, dim));
    }
    EXPECT_EQ(decoded, codes);
    EXPECT_EQ(pack_codes(decoded, n, dim, bits), packed);
  }
}

TEST(PackCodes, IgnoresCodeBitsAboveWidth) {
  const Bytes codes = random_codes(16, 3, 1);
  Bytes noisy = codes;
  for (auto& c : noisy) c |= 0xF8;
  EXPECT_EQ(pack_codes(noisy, 2, 8, 3), pack_codes(codes, 2, 8, 3));
}

TEST(PackCodes, EmptyInputsGiveEmptyOutput) {
  EXPECT_TRUE(pack_codes({}, 0, 16, 3).empty());
  EXPECT_TRUE(pack_codes({}, 4, 0, 3).empty());
}

TEST(PackCodes, RejectsBadArguments) {
  const Bytes codes(16, 1);
  EXPECT_THROW(pack_codes(codes, 3, 8, 2), Error);        // 24 codes needed
  EXPECT_THROW(pack_codes(codes, 1, 12, 2), Error);       // dim not a multiple of 8
  EXPECT_THROW(pack_codes(codes, 2, 8, 0), Error);
  EXPECT_THROW(pack_codes(codes, 2, 8, 9), Error);
  EXPECT_THROW(pack_codes(codes, 1ULL << 62, 64, 2), Error);  // n * dim overflows

  Bytes out(16);
  const Bytes row(3);
  EXPECT_THROW(unpack_row(row, 8, 4, out), Error);        // row of 3 bytes, 4 needed
  EXPECT_THROW(unpack_row(row, 8, 3, std::span(out).first(7)), Error);
  EXPECT_THROW(unpack_row(row, 8, 9, out), Error);
}

TEST(Repack4Bit, WorkedExample) {
  const Bytes packed = pack_codes(Bytes{1, 2, 3, 4, 5, 6, 7, 8}, 1, 8, 4);
  const BlockedCache cache = repack_4bit(packed, 1, 8);
  EXPECT_EQ(cache.n_blocks, 1u);
  Bytes expected(128, 0);
  expected[0] = 0x12;
  expected[32] = 0x34;
  expected[64] = 0x56;
  expected[96] = 0x78;
  EXPECT_EQ(Bytes(cache.bytes.begin(), cache.bytes.end()), expected);
}

TEST(Repack4Bit, EveryVectorLandsInItsLaneAndTailLanesStayZero) {
  struct Shape {
    uint64_t n;
    uint64_t dim;
  };
  // Partial last blocks, and pair counts that are and are not multiples of 8.
  for (const Shape shape : {Shape{33, 24}, Shape{64, 16}, Shape{5, 8}, Shape{70, 48}}) {
    const uint64_t n = shape.n;
    const uint64_t dim = shape.dim;
    SCOPED_TRACE(testing::Message() << "n " << n << " dim " << dim);
    Bytes codes = random_codes(n * dim, 4, static_cast<uint32_t>(n + dim));
    codes[0] = 0;  // a zero nibble in a live lane must not be confused with padding
    const BlockedCache cache = repack_4bit(pack_codes(codes, n, dim, 4), n, dim);
    const uint64_t n_blocks = (n + 31) / 32;
    ASSERT_EQ(cache.n_blocks, n_blocks);
    ASSERT_EQ(cache.bytes.size(), n_blocks * (dim / 2) * 32);
    for (uint64_t v = 0; v < n_blocks * 32; ++v) {
      for (uint64_t c = 0; c < dim / 2; ++c) {
        const uint8_t byte = cache.bytes[(v / 32) * (dim / 2) * 32 + c * 32 + v % 32];
        const int want = v < n ? (codes[v * dim + 2 * c] << 4) | codes[v * dim + 2 * c + 1] : 0;
        ASSERT_EQ(byte, want) << "vector " << v << " pair " << c;
      }
    }
  }
}

TEST(Repack4Bit, RangesOfBlocksPieceTogetherTheWholeLayout) {
  const uint64_t n = 70;
  const uint64_t dim = 48;
  const Bytes packed = pack_codes(random_codes(n * dim, 4, 5), n, dim, 4);
  const BlockedCache whole = repack_4bit(packed, n, dim);
  const uint64_t block_bytes = blocked_block_bytes(dim);
  Bytes pieces(3 * block_bytes, 0xEE);
  repack_4bit_blocks(packed, n, dim, 0, 1, std::span(pieces).first(block_bytes));
  repack_4bit_blocks(packed, n, dim, 1, 3, std::span(pieces).subspan(block_bytes));
  EXPECT_EQ(pieces, Bytes(whole.bytes.begin(), whole.bytes.end()));

  EXPECT_THROW(repack_4bit_blocks(packed, n, dim, 2, 4, std::span(pieces).first(2 * block_bytes)),
               Error);  // only 3 blocks
  EXPECT_THROW(repack_4bit_blocks(packed, n, dim, 2, 1, {}), Error);
  EXPECT_THROW(repack_4bit_blocks(packed, n, dim, 0, 1, std::span(pieces).first(block_bytes - 1)),
               Error);  // one byte short
}

TEST(Repack4Bit, EmptyAndShortInputs) {
  EXPECT_TRUE(repack_4bit({}, 0, 16).bytes.empty());
  const BlockedCache no_dim = repack_4bit({}, 33, 0);
  EXPECT_TRUE(no_dim.bytes.empty());
  EXPECT_EQ(no_dim.n_blocks, 2u);

  const Bytes packed(8 * 2 - 1);  // two rows of 8 bytes, one byte short
  EXPECT_THROW(repack_4bit(packed, 2, 16), Error);
  EXPECT_THROW(repack_4bit(Bytes(8), 1, 12), Error);
}

}  // namespace
}  // namespace varnel

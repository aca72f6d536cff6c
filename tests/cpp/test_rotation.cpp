// rotate_inplace, the Walsh-Hadamard step, the sign vector and the forward
// rotation they make together.
#include "quantize/rotation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "quantize/rotor.h"
#include "quantize/wht.h"
#include "runtime/error.h"

namespace varnel {
namespace {

constexpr uint64_t kDefaultSeed = 117900524;

std::vector<float> random_row(uint64_t n, uint64_t seed) {
  SeededStream stream(seed);
  std::vector<float> row(n);
  for (auto& x : row) x = gauss(stream);
  return row;
}

double norm(std::span<const float> v) {
  double sum = 0;
  for (float x : v) sum += double(x) * x;
  return std::sqrt(sum);
}

TEST(RotateInplace, UsesOldValuesAndRoundsEveryProduct) {
  // A swap: computing outputs from already-updated values would repeat x1.
  const std::vector<float> swap = {0, 1, 1, 0};
  std::vector<float> row = {3, 5};
  rotate_inplace(swap, 2, row);
  EXPECT_EQ(row, (std::vector<float>{5, 3}));

  // Row (-1, 1 + 2^-12) on x = (1 + 2^-11, 1 + 2^-12): the second product
  // rounds to 1 + 2^-11 and cancels the first. A fused multiply-add would
  // keep the 2^-24 the rounding drops.
  const float a = 1.0f + 0x1p-11f, c = 1.0f + 0x1p-12f;
  const std::vector<float> m = {-1, c, 0, 1};
  row = {a, c};
  rotate_inplace(m, 2, row);
  EXPECT_EQ(row[0], 0.0f);
  EXPECT_EQ(row[1], c);

  // Summed from j = 0 upwards: (1e8 + 1) rounds back to 1e8 before -1e8 is
  // added; another order would keep the 1.
  const std::vector<float> sum_row = {1, 1, 1, 0, 0, 0, 0, 0, 0};
  row = {1e8f, 1, -1e8f};
  rotate_inplace(sum_row, 3, row);
  EXPECT_EQ(row, (std::vector<float>{0, 0, 0}));
}

TEST(RotateInplace, ShortRowOrShortTableLeavesTailAlone) {
  const BlockRotations r = precompute_block_matrices(8, Rotation::Rotor3, kDefaultSeed);
  const std::vector<float> v = random_row(8, 5);

  std::vector<float> padded(v);
  padded.push_back(0.0f);
  rotate_inplace(r.matrices, 3, padded);

  std::vector<float> short_row(v);  // 8 values: two whole blocks, tail of 2
  rotate_inplace(r.matrices, 3, short_row);
  EXPECT_EQ(short_row[6], v[6]);
  EXPECT_EQ(short_row[7], v[7]);
  EXPECT_TRUE(std::equal(short_row.begin(), short_row.end(), padded.begin()));

  std::vector<float> long_row = random_row(12, 6);
  const std::vector<float> before = long_row;
  rotate_inplace(std::span(r.matrices).first(9), 3, long_row);  // one block only
  EXPECT_NE(long_row[0], before[0]);
  EXPECT_TRUE(std::equal(long_row.begin() + 3, long_row.end(), before.begin() + 3));
}

TEST(RotateInplace, RejectsBlockSizesOutsideOneToFour) {
  std::vector<float> row = {1, 2, 3, 4, 5};
  const std::vector<float> m(25, 1.0f);
  EXPECT_THROW(rotate_inplace(m, 0, row), Error);
  EXPECT_THROW(rotate_inplace(m, 5, row), Error);
  EXPECT_EQ(row, (std::vector<float>{1, 2, 3, 4, 5}));
}

TEST(WalshHadamard, SmallCasesExactly) {
  // All signs +1 map e0 to the constant 1/sqrt(n); padding is not touched.
  for (uint64_t n : {1u, 2u, 8u, 64u}) {
    std::vector<float> x(n + 2, 0.0f);
    x[0] = 1.0f;
    x[n] = 7.0f;
    walsh_hadamard_step(x, std::vector<float>(n, 1.0f));
    const float expected = 1.0f / std::sqrt(static_cast<float>(n));
    for (uint64_t j = 0; j < n; ++j) EXPECT_EQ(x[j], expected) << "n " << n << " j " << j;
    EXPECT_EQ(x[n], 7.0f);
    EXPECT_EQ(x[n + 1], 0.0f);
  }
  // Signs first, then butterflies in natural order: (3, 1) -> (3, -1) ->
  // (2, 4) -> scaled by 1/sqrt(2).
  std::vector<float> x = {3, 1};
  walsh_hadamard_step(x, std::vector<float>{1, -1});
  const float s = 1.0f / std::sqrt(2.0f);
  EXPECT_EQ(x, (std::vector<float>{2 * s, 4 * s}));

  // Sylvester order for n = 4: e1 -> (1, -1, 1, -1) / 2.
  x = {0, 1, 0, 0};
  walsh_hadamard_step(x, std::vector<float>(4, 1.0f));
  EXPECT_EQ(x, (std::vector<float>{0.5f, -0.5f, 0.5f, -0.5f}));
}

TEST(WalshHadamard, RejectsBadLengthsWithoutTouchingTheRow) {
  std::vector<float> x = {1, 2, 3, 4, 5, 6};
  const std::vector<float> before = x;
  EXPECT_THROW(walsh_hadamard_step(x, std::vector<float>(6, 1.0f)), Error);
  EXPECT_THROW(walsh_hadamard_step(x, std::vector<float>{}), Error);
  EXPECT_THROW(walsh_hadamard_step(std::span(x).first(3), std::vector<float>(4, 1.0f)), Error);
  EXPECT_EQ(x, before);
}

TEST(SignVector, MatchesReferenceAndPrefixes) {
  const std::vector<float> signs = make_sign_vector(32, kDefaultSeed + kSignSeedOffset);
  ASSERT_EQ(signs.size(), 32u);
  uint32_t mask = 0;
  for (uint64_t j = 0; j < 32; ++j) {
    ASSERT_TRUE(signs[j] == 1.0f || signs[j] == -1.0f);
    mask |= (signs[j] > 0 ? 1u : 0u) << j;
  }
  EXPECT_EQ(mask, 0x65656308u);
  const std::vector<float> shorter = make_sign_vector(16, kDefaultSeed + kSignSeedOffset);
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), signs.begin()));
  EXPECT_TRUE(make_sign_vector(0, 1).empty());
}

TEST(ForwardRotate, PreservesNormForEveryKind) {
  const uint64_t dim = 64;
  for (Rotation rotation : {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4, Rotation::WalshRotor3}) {
    SCOPED_TRACE(rotation_name(rotation));
    const BlockRotations r = precompute_block_matrices(dim, rotation, kDefaultSeed);
    const std::vector<float> signs =
        uses_sign_vector(rotation) ? make_sign_vector(dim, kDefaultSeed + kSignSeedOffset) : std::vector<float>{};
    for (uint64_t trial = 0; trial < 20; ++trial) {
      const std::vector<float> v = random_row(dim, 100 + trial);
      std::vector<float> row(v);
      row.resize(r.padded_dim, 0.0f);
      forward_rotate(row, dim, signs, r.matrices, block_size(rotation));
      EXPECT_NEAR(norm(row), norm(v), 1e-5 * norm(v));
      for (uint64_t j = dim; j < r.padded_dim; ++j) EXPECT_EQ(row[j], 0.0f);
    }
  }
}

TEST(ForwardRotate, IsWalshStepOnDimThenBlocksOnWholeRow) {
  const uint64_t dim = 64;
  const BlockRotations r = precompute_block_matrices(dim, Rotation::WalshRotor3, kDefaultSeed);
  const std::vector<float> signs = make_sign_vector(dim, kDefaultSeed + kSignSeedOffset);
  std::vector<float> row = random_row(dim, 9);
  row.resize(r.padded_dim, 0.0f);

  std::vector<float> expected(row);
  walsh_hadamard_step(std::span(expected).first(dim), signs);
  const float last = expected[63];
  rotate_inplace(r.matrices, 3, expected);
  EXPECT_EQ(expected[63], last);  // in the identity block

  forward_rotate(row, dim, signs, r.matrices, 3);
  EXPECT_EQ(row, expected);

  // Without signs there is no Walsh-Hadamard stage.
  std::vector<float> plain = random_row(dim, 9);
  plain.resize(r.padded_dim, 0.0f);
  std::vector<float> blocks_only(plain);
  rotate_inplace(r.matrices, 3, blocks_only);
  forward_rotate(plain, dim, {}, r.matrices, 3);
  EXPECT_EQ(plain, blocks_only);
}

TEST(ForwardRotate, RejectsMismatchedBuffersWithoutTouchingTheRow) {
  const BlockRotations r = precompute_block_matrices(8, Rotation::WalshRotor3, kDefaultSeed);
  std::vector<float> row = random_row(9, 4);
  const std::vector<float> before = row;
  EXPECT_THROW(forward_rotate(row, 8, make_sign_vector(4, 1), r.matrices, 3), Error);
  EXPECT_THROW(forward_rotate(std::span(row).first(7), 8, {}, r.matrices, 3), Error);
  EXPECT_THROW(forward_rotate(row, 8, make_sign_vector(8, 1), r.matrices, 0), Error);
  EXPECT_EQ(row, before);
}

}  // namespace
}  // namespace varnel

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "quantize/encode.h"
#include "quantize/encode_kernels.h"
#include "quantize/pack.h"
#include "quantize/rotor.h"
#include "quantize/wht.h"
#include "runtime/error.h"
#include "search/lut_scan.h"

namespace varnel {
namespace {

using Floats = std::vector<float>;
using Bytes = std::vector<uint8_t>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Block-diagonal identity: the rotated row equals the scaled input, so a test
// can put a coordinate exactly where it wants relative to the boundaries.
Floats identity_matrices(uint64_t block, uint64_t padded_dim) {
  Floats m((padded_dim / block) * block * block, 0.0f);
  for (uint64_t k = 0; k < padded_dim / block; ++k) {
    for (uint64_t i = 0; i < block; ++i) m[k * block * block + i * block + i] = 1.0f;
  }
  return m;
}

// Two-bit boundaries with round values; the middle one sits exactly at 0.
const Floats kRoundBoundaries = {-0.5f, 0.0f, 0.5f};

Encoded encode_identity(const Floats& vectors, uint64_t n, uint64_t dim,
                        const Floats& boundaries = kRoundBoundaries, uint64_t bits = 2) {
  return encode(vectors, n, dim, {}, identity_matrices(2, dim), 2, dim, boundaries, bits);
}

Bytes codes_of_row(const Encoded& e, uint64_t v, uint64_t dim, uint64_t bits) {
  const uint64_t row_bytes = bits * dim / 8;
  Bytes codes(dim);
  unpack_row(std::span(e.codes).subspan(v * row_bytes, row_bytes), dim, bits, codes);
  return codes;
}

Floats random_vectors(uint64_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Floats values(count);
  for (auto& x : values) x = normal(rng);
  return values;
}

// Boundaries of the right scale for the coordinates of a unit vector in dim
// dimensions, evenly spread over about +-2 standard deviations.
Floats spread_boundaries(uint64_t bits, uint64_t dim) {
  const uint64_t count = (uint64_t{1} << bits) - 1;
  Floats b(count);
  const float sigma = 1.0f / std::sqrt(static_cast<float>(dim));
  for (uint64_t i = 0; i < count; ++i) {
    b[i] = sigma * (4.0f * static_cast<float>(i + 1) / static_cast<float>(count + 1) - 2.0f);
  }
  return b;
}

struct RotationSetup {
  Rotation rotation;
  uint64_t dim;
  BlockRotations rotations;
  Floats signs;

  RotationSetup(Rotation r, uint64_t d)
      : rotation(r), dim(d), rotations(precompute_block_matrices(d, r, 117900524)) {
    if (uses_sign_vector(r)) signs = make_sign_vector(d, 117900524 + kSignSeedOffset);
  }

  Encoded run(std::span<const float> vectors, uint64_t n, const Floats& boundaries,
              uint64_t bits) const {
    return encode(vectors, n, dim, signs, rotations.matrices, block_size(rotation),
                  rotations.padded_dim, boundaries, bits);
  }
};

TEST(Encode, ZeroVectorGetsZeroNormAndTheCodeOfZero) {
  struct Case {
    Floats boundaries;
    uint8_t code;
  };
  // 0.0 on a boundary counts only the boundaries strictly below it.
  const std::vector<Case> cases = {
      {{-0.5f, 0.0f, 0.5f}, 1},
      {{-0.5f, -1e-17f, 0.5f}, 2},
      {{-0.5f, 1e-17f, 0.5f}, 1},
  };
  for (const auto& c : cases) {
    const Encoded e = encode_identity(Floats(16, 0.0f), 1, 16, c.boundaries);
    EXPECT_EQ(std::bit_cast<uint32_t>(e.norms[0]), 0u);  // +0.0, not -0.0
    EXPECT_EQ(codes_of_row(e, 0, 16, 2), Bytes(16, c.code));
  }
  // Through a real rotation with a padded identity block, zero stays zero.
  const RotationSetup rotor3(Rotation::Rotor3, 16);
  const Encoded e = rotor3.run(Floats(16, 0.0f), 1, kRoundBoundaries, 2);
  EXPECT_EQ(codes_of_row(e, 0, 16, 2), Bytes(16, 1));
}

TEST(Encode, TinyNormIsCodedAsZeroButKeepsItsNorm) {
  Floats vectors(3 * 8, 0.0f);
  vectors[0] = 1e-11f;       // norm far below the threshold
  vectors[8] = 1e-10f;       // norm exactly the threshold: still zero
  vectors[16] = 2e-10f;      // just above: scaled to unit length
  const Encoded e = encode_identity(vectors, 3, 8);
  EXPECT_EQ(e.norms[0], 1e-11f);
  EXPECT_EQ(e.norms[1], 1e-10f);
  EXPECT_EQ(e.norms[2], 2e-10f);
  EXPECT_EQ(codes_of_row(e, 0, 8, 2), Bytes(8, 1));
  EXPECT_EQ(codes_of_row(e, 1, 8, 2), Bytes(8, 1));
  EXPECT_EQ(codes_of_row(e, 2, 8, 2), (Bytes{3, 1, 1, 1, 1, 1, 1, 1}));
}

TEST(Encode, ValuesOnBoundariesTakeTheLowerCode) {
  struct Case {
    Floats vector;  // exact unit length after scaling, so rotated == scaled
    Floats boundaries;
    uint64_t bits;
    Bytes codes;
  };
  const Floats unit_steps = {-1.0f, 0.0f, 1.0f};
  const Floats eighths = {-0.75f, -0.5f, -0.25f, 0.0f, 0.25f, 0.5f, 0.75f};
  const float three_times_inv = std::bit_cast<float>(0x3e568ecaU);  // 0.20952907
  const std::vector<Case> cases = {
      {{0.5f, -0.5f, 0.5f, -0.5f, 0.0f, 0.0f, 0.0f, 0.0f}, kRoundBoundaries, 2,
       {2, 0, 2, 0, 1, 1, 1, 1}},
      // 2.0 normalises to exactly 1.0: on the top boundary, one below the top code.
      {{2.0f, 0, 0, 0, 0, 0, 0, 0}, unit_steps, 2, {2, 1, 1, 1, 1, 1, 1, 1}},
      {{0, 0, 0, -2.0f, 0, 0, 0, 0}, unit_steps, 2, {1, 1, 1, 0, 1, 1, 1, 1}},
      // Above every boundary: the top code.
      {{2.0f, 0, 0, 0, 0, 0, 0, 0}, eighths, 3, {7, 3, 3, 3, 3, 3, 3, 3}},
      // 3 * (1 / |x|) is one ulp below 3 / |x| here: scaling must multiply by
      // the reciprocal, which puts the coordinate exactly on the boundary.
      {{3.0f, 14.0f, 0, 0, 0, 0, 0, 0}, {-0.5f, three_times_inv, 0.5f}, 2,
       {1, 3, 1, 1, 1, 1, 1, 1}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    const Encoded e = encode_identity(c.vector, 1, 8, c.boundaries, c.bits);
    EXPECT_EQ(codes_of_row(e, 0, 8, c.bits), c.codes);
  }
}

TEST(Encode, NormSumsSquaresInCoordinateOrder) {
  // Each 2^-24 vanishes when added to 1 alone, but not when the small squares
  // are summed together first: any regrouping of the sum shows here. Sixteen
  // vectors, so that paths working on groups of vectors are exercised too.
  const float tiny = 1.0f / 4096.0f;
  const Floats big_first = {1.0f, tiny, tiny, tiny, tiny, tiny, tiny, tiny};
  const Floats big_last = {tiny, tiny, tiny, tiny, tiny, tiny, tiny, 1.0f};
  Floats vectors;
  for (int v = 0; v < 8; ++v) {
    vectors.insert(vectors.end(), big_first.begin(), big_first.end());
    vectors.insert(vectors.end(), big_last.begin(), big_last.end());
  }
  const Encoded e = encode_identity(vectors, 16, 8);
  for (uint64_t v = 0; v < 16; v += 2) {
    EXPECT_EQ(e.norms[v], 1.0f);
    EXPECT_GT(e.norms[v + 1], 1.0f);
  }
}

TEST(Encode, NaNInputTakesCodeZeroAndANaNNorm) {
  Floats vector(8, 1.0f);
  vector[0] = kNaN;
  const Encoded e = encode_identity(vector, 1, 8);
  EXPECT_TRUE(std::isnan(e.norms[0]));
  // The norm fails the threshold, so the vector is scaled by 0; the NaN
  // reaches only its own 2-block, every other coordinate becomes 0.0.
  EXPECT_EQ(codes_of_row(e, 0, 8, 2), (Bytes{0, 0, 1, 1, 1, 1, 1, 1}));
}

TEST(Encode, PowerOfTwoScalingKeepsCodesAndScalesNorm) {
  const uint64_t n = 20;
  const uint64_t dim = 64;
  const Floats vectors = random_vectors(n * dim, 11);
  const Floats boundaries = spread_boundaries(3, dim);
  for (const Rotation r : {Rotation::Planar2, Rotation::Rotor3, Rotation::WalshRotor3}) {
    SCOPED_TRACE(rotation_name(r));
    const RotationSetup setup(r, dim);
    const Encoded base = setup.run(vectors, n, boundaries, 3);
    for (const float factor : {0.125f, 4.0f}) {
      Floats scaled = vectors;
      for (auto& x : scaled) x *= factor;
      const Encoded e = setup.run(scaled, n, boundaries, 3);
      EXPECT_EQ(e.codes, base.codes);
      for (uint64_t v = 0; v < n; ++v) EXPECT_EQ(e.norms[v], base.norms[v] * factor);
    }
  }
}

TEST(Encode, ChunkedBatchMatchesOneVectorAtATime) {
  // More vectors than one chunk, with a ragged tail, on every rotation kind.
  const uint64_t n = 600;
  const uint64_t dim = 32;
  const Floats vectors = random_vectors(n * dim, 5);
  const Floats boundaries = spread_boundaries(4, dim);
  for (const Rotation r :
       {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4, Rotation::WalshRotor3}) {
    SCOPED_TRACE(rotation_name(r));
    const RotationSetup setup(r, dim);
    const Encoded batch = setup.run(vectors, n, boundaries, 4);
    ASSERT_EQ(batch.codes.size(), n * 4 * dim / 8);
    ASSERT_EQ(batch.norms.size(), n);
    Encoded singles;
    for (uint64_t v = 0; v < n; ++v) {
      const Encoded one = setup.run(std::span(vectors).subspan(v * dim, dim), 1, boundaries, 4);
      singles.codes.insert(singles.codes.end(), one.codes.begin(), one.codes.end());
      singles.norms.push_back(one.norms[0]);
    }
    EXPECT_EQ(batch.codes, singles.codes);
    EXPECT_EQ(batch.norms, singles.norms);
  }
}

TEST(Encode, RowsFollowInputOrder) {
  const uint64_t dim = 8;
  Floats vectors(3 * dim, 0.0f);
  vectors[0 * dim + 0] = 3.0f;   // (+1, 0, ...)
  vectors[1 * dim + 1] = -5.0f;  // (0, -1, ...)
  vectors[2 * dim + 7] = 0.5f;   // (..., 0, +1)
  const Encoded e = encode_identity(vectors, 3, dim);
  EXPECT_EQ(e.norms, (Floats{3.0f, 5.0f, 0.5f}));
  EXPECT_EQ(codes_of_row(e, 0, dim, 2), (Bytes{3, 1, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(codes_of_row(e, 1, dim, 2), (Bytes{1, 0, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(codes_of_row(e, 2, dim, 2), (Bytes{1, 1, 1, 1, 1, 1, 1, 3}));
}

TEST(Encode, EmptyBatchGivesEmptyOutputs) {
  const Encoded e = encode_identity({}, 0, 16);
  EXPECT_TRUE(e.codes.empty());
  EXPECT_TRUE(e.norms.empty());
}

TEST(Encode, RejectsBadArguments) {
  const Floats vectors(16, 1.0f);
  const Floats m = identity_matrices(2, 8);
  const Floats b2 = kRoundBoundaries;
  const Floats signs(8, 1.0f);
  const Floats few_signs(4, 1.0f);
  EXPECT_THROW(encode(vectors, 3, 8, {}, m, 2, 8, b2, 2), Error);         // 24 values needed
  EXPECT_THROW(encode(vectors, 1, 8, {}, m, 2, 0, b2, 2), Error);         // padded_dim 0
  EXPECT_THROW(encode(vectors, 1, 16, {}, m, 2, 8, b2, 2), Error);        // padded_dim < dim
  EXPECT_THROW(encode(vectors, 1, 8, {}, m, 2, 8, Floats(7), 2), Error);  // 3 boundaries for 2 bits
  EXPECT_THROW(encode(vectors, 1, 8, {}, m, 2, 8, Floats{}, 0), Error);
  EXPECT_THROW(encode(vectors, 1, 8, {}, m, 2, 8, Floats(511), 9), Error);
  EXPECT_THROW(encode(vectors, 1, 8, few_signs, m, 2, 8, b2, 2), Error);
  EXPECT_THROW(encode(vectors, 1, 8, {}, m, 0, 8, b2, 2), Error);
  EXPECT_THROW(encode(vectors, 1, 12, {}, m, 2, 12, b2, 2), Error);       // dim not a multiple of 8
  EXPECT_THROW(encode(vectors, uint64_t{1} << 62, 8, {}, m, 2, 8, b2, 2), Error);
  EXPECT_NO_THROW(encode(vectors, 2, 8, signs, m, 2, 8, b2, 2));
}

TEST(Encode, IntoCallerBuffersMatchesEncodeAndChecksTheirSizes) {
  const uint64_t n = 11;
  const uint64_t dim = 16;
  const Floats vectors = random_vectors(n * dim, 3);
  const Floats m = identity_matrices(2, dim);
  const Floats b3 = {-0.6f, -0.3f, -0.1f, 0.0f, 0.1f, 0.3f, 0.6f};
  const Encoded expected = encode(vectors, n, dim, {}, m, 2, dim, b3, 3);
  Bytes codes(n * 3 * dim / 8, 0xEE);
  Floats norms(n, -1.0f);
  encode_into(vectors, n, dim, {}, m, 2, dim, b3, 3, codes, norms);
  EXPECT_EQ(codes, expected.codes);
  EXPECT_EQ(norms, expected.norms);

  EXPECT_THROW(encode_into(vectors, n, dim, {}, m, 2, dim, b3, 3, std::span(codes).first(5), norms),
               Error);
  EXPECT_THROW(encode_into(vectors, n, dim, {}, m, 2, dim, b3, 3, codes, std::span(norms).first(3)),
               Error);
}

// A batch that reaches every special case of the norm and the comparisons,
// with a count that leaves a ragged group of vectors at the end. n >= 31.
Floats awkward_batch(uint64_t n, uint64_t dim) {
  Floats vectors = random_vectors(n * dim, 23);
  std::mt19937 rng(29);
  std::uniform_real_distribution<float> exponent(-12.0f, 12.0f);
  for (uint64_t v = 0; v < n; ++v) {
    const float scale = std::pow(10.0f, exponent(rng));
    for (uint64_t j = 0; j < dim; ++j) vectors[v * dim + j] *= scale;
  }
  auto vector = [&](uint64_t v) { return vectors.begin() + v * dim; };
  std::fill(vector(3), vector(4), 0.0f);                    // zero vector
  std::fill(vector(9), vector(10), 1e-13f);                 // norm below the threshold
  vector(12)[5] = kNaN;                                     // NaN norm
  vector(17)[0] = std::numeric_limits<float>::infinity();   // infinite norm
  std::fill(vector(21), vector(22), 3e19f);                 // squares overflow
  std::fill(vector(26), vector(27), -1e-22f);               // squares underflow
  vector(30)[0] = 1.0f;                                     // order-sensitive sum
  std::fill(vector(30) + 1, vector(31), 1.0f / 4096.0f);
  return vectors;
}

bool same_bits(const Floats& a, const Floats& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Encodes on every fast path the CPU has and on the portable one and
// expects the same bytes and norm bits. Returns how many fast paths ran.
int expect_paths_agree(std::span<const float> vectors, uint64_t n, uint64_t dim,
                       std::span<const float> signs, std::span<const float> matrices,
                       uint64_t block, uint64_t padded_dim, std::span<const float> boundaries,
                       uint64_t bits) {
  int fast_paths = 0;
  for (const EncodePath path : {EncodePath::Avx2, EncodePath::Avx512}) {
    if (!encode_path_supported(path)) continue;
    ++fast_paths;
    auto run = [&](EncodePath p) {
      return encode_on_path(p, vectors, n, dim, signs, matrices, block, padded_dim, boundaries,
                            bits);
    };
    const Encoded portable = run(EncodePath::Portable);
    const Encoded fast = run(path);
    EXPECT_EQ(fast.codes, portable.codes);
    EXPECT_TRUE(same_bits(fast.norms, portable.norms));
  }
  return fast_paths;
}

TEST(EncodePaths, EveryFastPathMatchesThePortableOneBitForBit) {
  const uint64_t n = 8 * 40 + 5;  // more than a chunk, ragged last group
  const uint64_t dim = 64;
  const Floats vectors = awkward_batch(n, dim);
  int fast_paths = 0;
  for (const Rotation r :
       {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4, Rotation::WalshRotor3}) {
    const RotationSetup setup(r, dim);
    for (const uint64_t bits : {1, 2, 3, 4, 8}) {
      SCOPED_TRACE(testing::Message() << rotation_name(r) << " bits " << bits);
      fast_paths = expect_paths_agree(vectors, n, dim, setup.signs, setup.rotations.matrices,
                                      block_size(r), setup.rotations.padded_dim,
                                      spread_boundaries(bits, dim), bits);
    }
  }
  if (fast_paths == 0) GTEST_SKIP() << "no fast encode path on this CPU";
}

TEST(EncodePaths, FastPathsAgreeOnEveryShapeOfRow) {
  // Dims with an identity block and padding (8, 40, 64 for the 3-blocks),
  // without (24, 48), with bit-plane rows that are not a whole number of
  // eight-byte stretches (8 to 72), and batches smaller than one group.
  int fast_paths = 0;
  for (const uint64_t dim : {8, 16, 24, 32, 40, 48, 64, 72, 128}) {
    for (const Rotation r :
         {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4, Rotation::WalshRotor3}) {
      if (uses_sign_vector(r) && !std::has_single_bit(dim)) continue;
      const RotationSetup setup(r, dim);
      for (const uint64_t n : {1, 7, 19}) {
        // The last n of the awkward vectors: the order-sensitive one always.
        const Floats vectors = awkward_batch(31, dim);
        const std::span<const float> batch = std::span(vectors).subspan((31 - n) * dim);
        for (const uint64_t bits : {1, 2, 3, 4}) {
          SCOPED_TRACE(testing::Message()
                       << rotation_name(r) << " dim " << dim << " n " << n << " bits " << bits);
          fast_paths = expect_paths_agree(batch, n, dim, setup.signs, setup.rotations.matrices,
                                          block_size(r), setup.rotations.padded_dim,
                                          spread_boundaries(bits, dim), bits);
        }
      }
    }
  }
  if (fast_paths == 0) GTEST_SKIP() << "no fast encode path on this CPU";
}

TEST(EncodePaths, FastPathsAgreeOnLongRows) {
  // Rows longer than the fast paths' groups of eight coordinates times eight,
  // ending in a partial group (200, 392, 776) or not (256, 512), with a
  // rotation block that reaches into the padding.
  int fast_paths = 0;
  for (const uint64_t dim : {200, 256, 392, 512, 776}) {
    for (const Rotation r : {Rotation::Planar2, Rotation::Rotor3, Rotation::WalshRotor3}) {
      if (uses_sign_vector(r) && !std::has_single_bit(dim)) continue;
      const RotationSetup setup(r, dim);
      const Floats vectors = awkward_batch(31, dim);
      const std::span<const float> batch = std::span(vectors).subspan(12 * dim);
      for (const uint64_t bits : {2, 4}) {
        SCOPED_TRACE(testing::Message() << rotation_name(r) << " dim " << dim << " bits " << bits);
        fast_paths = expect_paths_agree(batch, 19, dim, setup.signs, setup.rotations.matrices,
                                        block_size(r), setup.rotations.padded_dim,
                                        spread_boundaries(bits, dim), bits);
      }
    }
  }
  if (fast_paths == 0) GTEST_SKIP() << "no fast encode path on this CPU";
}

TEST(EncodePaths, FastPathsAgreeOnAnyBoundaries) {
  // Unit vectors with entries +-0.5 land exactly on boundaries through the
  // identity rotation; the rest of the batch is awkward data.
  const uint64_t dim = 16;
  const uint64_t n = 37;
  Floats vectors = awkward_batch(n, dim);
  std::mt19937 rng(41);
  for (uint64_t v = 0; v < 8; ++v) {
    std::fill(vectors.begin() + v * dim, vectors.begin() + (v + 1) * dim, 0.0f);
    for (uint64_t j = 0; j < 4; ++j) vectors[v * dim + rng() % dim] = rng() % 2 ? 2.0f : -2.0f;
  }
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Floats> boundary_sets = {
      {-0.5f, -0.0f, 0.5f},                                 // ties, and -0 against +0
      {0.0f, 0.0f, 0.5f},                                   // repeated boundary
      {-inf, 0.0f, inf},                                    // infinite boundaries
      {0.5f, -0.5f, 0.0f},                                  // not ascending
      {-0.5f, kNaN, 0.5f},                                  // NaN boundary counts nothing
      {-0.5f, -0.25f, -0.0f, 0.0f, 0.25f, 0.5f, 0.5f},      // 3 bits with ties
      {-0.5f, -0.4f, -0.3f, -0.25f, -0.2f, -0.1f, -0.05f, 0.0f,
       0.05f, 0.1f, 0.2f, 0.25f, 0.3f, 0.4f, 0.5f},         // 4 bits with ties
  };
  int fast_paths = 0;
  for (const uint64_t block : {2, 3, 4}) {
    const uint64_t padded_dim = (dim + block - 1) / block * block;
    const Floats identity = identity_matrices(block, padded_dim);
    for (size_t i = 0; i < boundary_sets.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "block " << block << " boundaries " << i);
      const Floats& b = boundary_sets[i];
      const uint64_t bits = std::bit_width(b.size());
      fast_paths = expect_paths_agree(vectors, n, dim, {}, identity, block, padded_dim, b, bits);
    }
  }
  if (fast_paths == 0) GTEST_SKIP() << "no fast encode path on this CPU";
}

TEST(EncodePaths, FastPathsAgreeWhenTheMatricesCoverPartOfTheRow) {
  // Blocks past the end of the matrices stay as scaled, unrotated values,
  // on a short row and on a long one.
  const uint64_t n = 35;
  int fast_paths = 0;
  for (const uint64_t dim : {64, 512}) {
    const Floats vectors = awkward_batch(n, dim);
    for (const Rotation r : {Rotation::Rotor3, Rotation::WalshRotor3, Rotation::Iso4}) {
      const RotationSetup setup(r, dim);
      const uint64_t area = block_size(r) * block_size(r);
      for (const uint64_t dropped : {1, 5, 70}) {
        if (dropped * block_size(r) >= dim) continue;
        SCOPED_TRACE(testing::Message() << rotation_name(r) << " dim " << dim << " dropped "
                                        << dropped);
        const std::span<const float> all = setup.rotations.matrices;
        const std::span<const float> matrices = all.first(all.size() - dropped * area);
        fast_paths = expect_paths_agree(vectors, n, dim, setup.signs, matrices, block_size(r),
                                        setup.rotations.padded_dim, spread_boundaries(4, dim), 4);
      }
    }
  }
  if (fast_paths == 0) GTEST_SKIP() << "no fast encode path on this CPU";
}

TEST(EncodePaths, TheScanPathAlsoChoosesTheEncodeInstructionSet) {
  // One switch (VARNEL_SCAN_PATH, or force_scan_path in tests) for both.
  const uint64_t dim = 32;
  const uint64_t n = 37;  // two groups of sixteen and a ragged one
  const Floats vectors = awkward_batch(n, dim);
  const RotationSetup setup(Rotation::Rotor3, dim);
  const Floats boundaries = spread_boundaries(4, dim);
  const Encoded portable = encode_on_path(EncodePath::Portable, vectors, n, dim, {},
                                          setup.rotations.matrices, 3,
                                          setup.rotations.padded_dim, boundaries, 4);
  for (const ScanPath path : supported_scan_paths()) {
    SCOPED_TRACE(scan_path_name(path));
    ASSERT_TRUE(force_scan_path(path));
    const EncodePath chosen = best_encode_path();
    EXPECT_TRUE(encode_path_supported(chosen));
    if (path == ScanPath::Portable || path == ScanPath::Neon) {
      EXPECT_EQ(chosen, EncodePath::Portable);
    }
    if (path == ScanPath::Avx2) {
      EXPECT_NE(chosen, EncodePath::Avx512);
    }
    if (path == ScanPath::Avx512Vbmi && encode_path_supported(EncodePath::Avx512)) {
      EXPECT_EQ(chosen, EncodePath::Avx512);
    }
    const Encoded encoded = encode(vectors, n, dim, {}, setup.rotations.matrices, 3,
                                   setup.rotations.padded_dim, boundaries, 4);
    EXPECT_EQ(encoded.codes, portable.codes);
    EXPECT_TRUE(same_bits(encoded.norms, portable.norms));
  }
  reset_scan_path();
}

}  // namespace
}  // namespace varnel

// The seeded stream, the ziggurat draw and the block matrices. Golden values
// come from the independent reference in tools/gen_rotor_golden.py.
#include "quantize/rotor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace varnel {
namespace {

constexpr uint64_t kDefaultSeed = 117900524;

// 32-bit words handed out so far (each refill produces 64).
uint64_t words_consumed(const SeededStream& s) { return s.counter() * 16 - (64 - s.cursor()); }

TEST(SeededStream, MatchesReferenceKeyAndWords) {
  SeededStream stream(kDefaultSeed);
  const std::array<uint32_t, 8> key = {0x11CA5768u, 0x40CF8CB3u, 0xF9BEE105u, 0xF00BC5B6u,
                                       0x06C88DF1u, 0xA3F5074Fu, 0x11E0C14Eu, 0x72B048C9u};
  EXPECT_EQ(stream.key(), key);
  EXPECT_EQ(stream.counter(), 0u);
  EXPECT_EQ(stream.cursor(), 64u);
  for (uint32_t expected : {0x8C33D0E0u, 0xF2C9DE11u, 0xED668351u, 0xECFA9C2Fu}) {
    EXPECT_EQ(stream.next32(), expected);
  }
  // Seed 0 still gives a non-zero key: the PCG state advances before output.
  const std::array<uint32_t, 8> key0 = {0xF973F2ECu, 0x45CDB581u, 0x7346F087u, 0xAD6CAD06u,
                                        0xE3A3D0D0u, 0x67E71733u, 0x72EA9BF2u, 0xFE7D8AD7u};
  EXPECT_EQ(SeededStream(0).key(), key0);
}

TEST(SeededStream, SixtyFifthWordIsFirstWordOfBlockFour) {
  SeededStream stream(kDefaultSeed);
  for (int i = 0; i < 64; ++i) stream.next32();
  EXPECT_EQ(stream.counter(), 4u);
  EXPECT_EQ(stream.next32(), 0x19DD918Du);
  EXPECT_EQ(stream.counter(), 8u);
  EXPECT_EQ(stream.cursor(), 1u);
}

TEST(SeededStream, Next64TakesLowHalfFirstAndSplitsAcrossRefill) {
  SeededStream words(kDefaultSeed);
  std::vector<uint64_t> w(68);
  for (auto& x : w) x = words.next32();

  SeededStream fresh(kDefaultSeed);
  EXPECT_EQ(fresh.next64(), w[0] | (w[1] << 32));
  EXPECT_EQ(fresh.cursor(), 2u);

  SeededStream split(kDefaultSeed);
  for (int i = 0; i < 63; ++i) split.next32();
  EXPECT_EQ(split.next64(), w[63] | (w[64] << 32));
  EXPECT_EQ(split.cursor(), 1u);
  EXPECT_EQ(split.counter(), 8u);
  EXPECT_EQ(split.next32(), w[65]);
}

TEST(SeededStream, EqualSeedsGiveEqualDrawsAndOtherSeedsDiffer) {
  SeededStream a(42), b(42), c(43);
  for (int i = 0; i < 300; ++i) {
    // Mixed widths move the cursor through odd positions and refills.
    EXPECT_EQ(a.next32(), b.next32());
    EXPECT_EQ(a.next64(), b.next64());
    EXPECT_EQ(gauss(a), gauss(b));
  }
  SeededStream d(42);
  int equal = 0;
  for (int i = 0; i < 64; ++i) equal += d.next32() == c.next32();
  EXPECT_LT(equal, 2);
}

TEST(SeededStream, WordConversions) {
  EXPECT_EQ(uniform_f32_from(0), 0.0f);
  EXPECT_EQ(uniform_f32_from(0x000000FFu), 0.0f);  // low 8 bits dropped
  EXPECT_EQ(uniform_f32_from(0x00000100u), 0x1p-24f);
  EXPECT_EQ(uniform_f32_from(0xFFFFFFFFu), 1.0f - 0x1p-24f);

  EXPECT_EQ(sign_from(0x80000000u), 1.0f);
  EXPECT_EQ(sign_from(0xFFFFFFFFu), 1.0f);
  EXPECT_EQ(sign_from(0x7FFFFFFFu), -1.0f);
  EXPECT_EQ(sign_from(0), -1.0f);

  EXPECT_EQ(uniform_f64_from(0), 0.0);
  EXPECT_EQ(uniform_f64_from(~0ULL), 1.0 - 0x1p-53);
  EXPECT_EQ(open_f64_from(0), 0x1p-53);
  EXPECT_EQ(open_f64_from(~0ULL), 1.0 - 0x1p-53);
  EXPECT_EQ(symmetric_f64(0), -1.0);
  EXPECT_EQ(symmetric_f64(~0ULL), 1.0 - 0x1p-51);
  EXPECT_EQ(symmetric_f64(0x8000000000000000ULL), 0.0);
  EXPECT_EQ(symmetric_f64(0xFFFULL), -1.0);  // the low 12 bits are not used

  SeededStream stream(7), words(7);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(stream.uniform_f32(), uniform_f32_from(words.next32()));
    EXPECT_EQ(stream.sign(), sign_from(words.next32()));
    EXPECT_EQ(stream.open_f64(), open_f64_from(words.next64()));
    EXPECT_EQ(stream.uniform_f64(), uniform_f64_from(words.next64()));
  }
}

TEST(Ziggurat, TablesMatchCorrectlyRoundedReference) {
  struct Entry {
    const double* table;
    int index;
    double value;
  };
  // F[94] is the entry a misrounding platform exp gets wrong.
  const Entry entries[] = {
      {kZigguratX, 0, 3.91075795953709},       {kZigguratX, 1, 3.654152885361009},
      {kZigguratX, 2, 3.4492782985609645},     {kZigguratX, 254, 0.2861745917472605},
      {kZigguratX, 255, 0.2152418959132738},   {kZigguratX, 256, 0.0},
      {kZigguratF, 0, 0.000477467764586655},   {kZigguratF, 1, 0.001260285930498598},
      {kZigguratF, 2, 0.002609072746106363},   {kZigguratF, 94, 0.2064054063986793},
      {kZigguratF, 255, 0.9771017012827313},   {kZigguratF, 256, 1.0},
  };
  for (const auto& e : entries) {
    EXPECT_EQ(e.table[e.index], e.value) << (e.table == kZigguratX ? "X[" : "F[") << e.index << "]";
  }
  for (int i = 0; i < 256; ++i) {
    EXPECT_GT(kZigguratX[i], kZigguratX[i + 1]) << i;
    EXPECT_LT(kZigguratF[i], kZigguratF[i + 1]) << i;
  }
}

TEST(Ziggurat, GaussMatchesReferenceIncludingWedgeAndTail) {
  SeededStream stream(kDefaultSeed);
  const float first[] = {0x1.7a9406p-1f, 0x1.995d4p+0f,  -0x1.43fe16p-2f, -0x1.13965ep-1f,
                         0x1.ab72bp-3f,  0x1.c1eae8p-1f, -0x1.f1a82p-2f,  -0x1.068fbap+1f};
  for (float expected : first) EXPECT_EQ(gauss(stream), expected);

  // The first draws taking the wedge test and the tail, with the words used
  // up to and including them (which pins how many draws each path makes).
  struct PathCase {
    int draw;
    float value;
    uint64_t words;
  };
  for (const PathCase& c : {PathCase{201, 0x1.599c02p+0f, 406}, PathCase{1497, 0x1.e9aaacp+1f, 3060}}) {
    SeededStream s(kDefaultSeed);
    for (int i = 0; i < c.draw; ++i) gauss(s);
    EXPECT_EQ(gauss(s), c.value) << "draw " << c.draw;
    EXPECT_EQ(words_consumed(s), c.words) << "draw " << c.draw;
  }
}

TEST(Ziggurat, GaussLooksStandardNormal) {
  SeededStream stream(3);
  const int n = 200000;
  double sum = 0, sum_sq = 0;
  int beyond_r = 0;
  for (int i = 0; i < n; ++i) {
    const double g = gauss(stream);
    sum += g;
    sum_sq += g * g;
    beyond_r += std::fabs(g) > kZigguratX[1];
  }
  EXPECT_NEAR(sum / n, 0.0, 0.01);
  EXPECT_NEAR(sum_sq / n, 1.0, 0.01);
  // P(|g| > r) is about 2.6e-4, i.e. about 52 of 200000: the tail is used.
  EXPECT_GT(beyond_r, 20);
  EXPECT_LT(beyond_r, 100);
}

TEST(RotationName, CanonicalNames) {
  EXPECT_STREQ(rotation_name(Rotation::Planar2), "planar2");
  EXPECT_STREQ(rotation_name(Rotation::Rotor3), "rotor3");
  EXPECT_STREQ(rotation_name(Rotation::Iso4), "iso4");
  EXPECT_STREQ(rotation_name(Rotation::WalshRotor3), "walshrotor3");
}

TEST(BlockMatrices, ShapesAndIdentityLastBlock) {
  struct ShapeCase {
    Rotation rotation;
    uint64_t dim, n_blocks, padded_dim;
  };
  const ShapeCase cases[] = {
      {Rotation::Rotor3, 8, 3, 9},   {Rotation::Rotor3, 24, 8, 24},  {Rotation::WalshRotor3, 64, 22, 66},
      {Rotation::Rotor3, 128, 43, 129}, {Rotation::Planar2, 8, 4, 8}, {Rotation::Iso4, 8, 2, 8},
      {Rotation::Iso4, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(rotation_name(c.rotation)) + " dim " + std::to_string(c.dim));
    const BlockRotations r = precompute_block_matrices(c.dim, c.rotation, kDefaultSeed);
    const uint64_t b = block_size(c.rotation);
    EXPECT_EQ(r.n_blocks, c.n_blocks);
    EXPECT_EQ(r.padded_dim, c.padded_dim);
    ASSERT_EQ(r.matrices.size(), c.n_blocks * b * b);
    if (c.dim % b == 0) continue;
    const float* last = r.matrices.data() + (c.n_blocks - 1) * b * b;
    for (uint64_t i = 0; i < b; ++i) {
      for (uint64_t j = 0; j < b; ++j) EXPECT_EQ(last[i * b + j], i == j ? 1.0f : 0.0f);
    }
  }
}

TEST(BlockMatrices, MatchReferenceAndIdentityBlockDrawsNothing) {
  const std::vector<float> planar2 = {
      -0x1.e93586p-1f, 0x1.2e1d9cp-2f, -0x1.2e1d9cp-2f, -0x1.e93586p-1f, 0x1.e55182p-1f, 0x1.464074p-2f,
      -0x1.464074p-2f, 0x1.e55182p-1f, 0x1.cb923cp-1f,  0x1.c363e8p-2f,  -0x1.c363e8p-2f, 0x1.cb923cp-1f,
      0x1.c9363cp-1f,  0x1.ccdfdcp-2f, -0x1.ccdfdcp-2f, 0x1.c9363cp-1f};
  const std::vector<float> rotor3 = {
      -0x1.0ad4e4p-1f, 0x1.28a51cp-1f,  -0x1.40da6p-1f,  -0x1.8c7ab4p-1f, -0x1.426878p-1f, 0x1.fa4628p-5f,
      -0x1.6f6b22p-2f, 0x1.08f35ap-1f,  0x1.8dbd1ep-1f,  0x1.3bad5p-1f,   -0x1.3cc24p-2f,  -0x1.72af9p-1f,
      -0x1.cb96f8p-2f, -0x1.c988f4p-1f, -0x1.a88p-12f,   -0x1.4b3074p-1f, 0x1.4cff2p-2f,   -0x1.612e06p-1f,
      1, 0, 0, 0, 1, 0, 0, 0, 1};
  const std::vector<float> iso4 = {
      0x1.95164ap-2f,  -0x1.b6076p-1f,  0x1.5aaddep-3f,  0x1.26e274p-2f, 0x1.b6076p-1f,  0x1.95164ap-2f,
      0x1.26e274p-2f,  -0x1.5aaddep-3f, -0x1.5aaddep-3f, -0x1.26e274p-2f, 0x1.95164ap-2f, -0x1.b6076p-1f,
      -0x1.26e274p-2f, 0x1.5aaddep-3f,  0x1.b6076p-1f,   0x1.95164ap-2f, 0x1.74c414p-4f, -0x1.885c7p-2f,
      0x1.b1fe3cp-3f,  0x1.c9f21p-1f,   0x1.885c7p-2f,   0x1.74c414p-4f, 0x1.c9f21p-1f,  -0x1.b1fe3cp-3f,
      -0x1.b1fe3cp-3f, -0x1.c9f21p-1f,  0x1.74c414p-4f,  -0x1.885c7p-2f, -0x1.c9f21p-1f, 0x1.b1fe3cp-3f,
      0x1.885c7p-2f,   0x1.74c414p-4f};
  EXPECT_EQ(precompute_block_matrices(8, Rotation::Planar2, kDefaultSeed).matrices, planar2);
  EXPECT_EQ(precompute_block_matrices(8, Rotation::Rotor3, kDefaultSeed).matrices, rotor3);
  EXPECT_EQ(precompute_block_matrices(8, Rotation::WalshRotor3, kDefaultSeed).matrices, rotor3);
  EXPECT_EQ(precompute_block_matrices(8, Rotation::Iso4, kDefaultSeed).matrices, iso4);

  // Blocks are filled in order from one stream: a longer table starts with
  // the shorter one (dim 6 has no identity block, dim 8 adds one).
  const auto six = precompute_block_matrices(6, Rotation::Rotor3, kDefaultSeed).matrices;
  EXPECT_TRUE(std::equal(six.begin(), six.end(), rotor3.begin()));
}

TEST(BlockMatrices, RandomBlocksAreRotations) {
  for (Rotation rotation : {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4}) {
    SCOPED_TRACE(rotation_name(rotation));
    const uint64_t b = block_size(rotation);
    const BlockRotations r = precompute_block_matrices(96, rotation, 99);
    for (uint64_t k = 0; k < r.n_blocks; ++k) {
      const float* m = r.matrices.data() + k * b * b;
      for (uint64_t i = 0; i < b; ++i) {
        for (uint64_t j = 0; j < b; ++j) {
          double dot = 0;
          for (uint64_t l = 0; l < b; ++l) dot += double(m[i * b + l]) * m[j * b + l];
          EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-6) << "block " << k;
        }
      }
      if (b == 3) {
        const double det = double(m[0]) * (double(m[4]) * m[8] - double(m[5]) * m[7]) -
                           double(m[1]) * (double(m[3]) * m[8] - double(m[5]) * m[6]) +
                           double(m[2]) * (double(m[3]) * m[7] - double(m[4]) * m[6]);
        EXPECT_NEAR(det, 1.0, 1e-6) << "block " << k;
      }
    }
  }
  EXPECT_NE(precompute_block_matrices(96, Rotation::Rotor3, 1).matrices,
            precompute_block_matrices(96, Rotation::Rotor3, 2).matrices);
}

TEST(BlockMatrices, UnknownRotationIsRejected) {
  EXPECT_THROW(precompute_block_matrices(8, static_cast<Rotation>(7), 1), Error);
}

}  // namespace
}  // namespace varnel

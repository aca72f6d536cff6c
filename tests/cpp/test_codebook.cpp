#include "quantize/codebook.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

#include "runtime/error.h"

namespace varnel {
namespace {

double ulps_between(double value, double reference) {
  return std::fabs(value - reference) / (std::nextafter(reference, INFINITY) - reference);
}

std::vector<uint32_t> bit_patterns(const std::vector<float>& values) {
  std::vector<uint32_t> patterns;
  for (float value : values) patterns.push_back(std::bit_cast<uint32_t>(value));
  return patterns;
}

struct Shape {
  uint64_t bits;
  uint64_t dim;
};

class CodebookShape : public ::testing::TestWithParam<Shape> {};

TEST_P(CodebookShape, SizesOrderAndSymmetry) {
  const auto [bits, dim] = GetParam();
  const Codebook book = codebook(bits, dim);
  const size_t n = size_t{1} << bits;
  ASSERT_EQ(book.centroids.size(), n);
  ASSERT_EQ(book.boundaries.size(), n - 1);
  for (size_t j = 0; j + 1 < n; ++j) {
    // centroid j < boundary j < centroid j + 1 also makes both strictly ascending
    EXPECT_LT(book.centroids[j], book.boundaries[j]) << "j = " << j;
    EXPECT_LT(book.boundaries[j], book.centroids[j + 1]) << "j = " << j;
  }
  EXPECT_GT(book.centroids.front(), -1.0f);
  EXPECT_LT(book.centroids.back(), 1.0f);
  for (size_t i = 0; i < n / 2; ++i) {
    EXPECT_NEAR(book.centroids[n - 1 - i], -book.centroids[i], 1e-6f * book.centroids[n - 1 - i]);
  }
  // The middle boundary is rounding noise around zero, of either sign.
  EXPECT_LT(std::fabs(book.boundaries[n / 2 - 1]), 1e-12f);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CodebookShape,
                         ::testing::Values(Shape{1, 8}, Shape{2, 8}, Shape{4, 8}, Shape{3, 128}, Shape{4, 128},
                                           Shape{4, 768}, Shape{2, 3}, Shape{3, 5}));

struct ApproximateValues {
  uint64_t bits;
  uint64_t dim;
  std::vector<float> positive_centroids;  // ascending, the upper half
  float outer_boundary;                   // 0 when not given
};

// Published to four significant digits for this exact start, update order
// and iteration cap. Tests of pinned values call compute_codebook, which
// always iterates: their shapes are in the table that codebook() serves.
TEST(Codebook, MatchesKnownApproximateValues) {
  const std::vector<ApproximateValues> cases = {
      {2, 128, {0.03999f, 0.1330f}, 0.08652f},
      {3, 128, {0.02160f, 0.06659f, 0.1181f, 0.1884f}, 0.0f},
      {4, 128, {0.2377f}, 0.0f},
      {2, 8, {0.1579f, 0.5048f}, 0.0f},
      {3, 8, {0.08281f, 0.2524f, 0.4362f, 0.6577f}, 0.0f},
      {4, 8, {0.7649f}, 0.0f},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(testing::Message() << "bits " << expected.bits << ", dim " << expected.dim);
    const Codebook book = compute_codebook(expected.bits, expected.dim);
    const auto& given = expected.positive_centroids;
    const size_t first = book.centroids.size() - given.size();
    for (size_t i = 0; i < given.size(); ++i) {
      EXPECT_NEAR(book.centroids[first + i], given[i], 6e-4f * given[i]);
    }
    if (expected.outer_boundary != 0.0f) {
      EXPECT_NEAR(book.boundaries.back(), expected.outer_boundary, 6e-4f * expected.outer_boundary);
      EXPECT_NEAR(book.boundaries.front(), -expected.outer_boundary, 6e-4f * expected.outer_boundary);
    }
  }
}

// Multiplied by sqrt(dim), the 2-bit centroids approach the Gaussian
// Lloyd-Max values 0.4528 and 1.510 as dim grows.
TEST(Codebook, ScalesAsOneOverSqrtDim) {
  for (uint64_t dim : {128, 768, 4096}) {
    const Codebook book = codebook(2, dim);
    const float scale = std::sqrt(static_cast<float>(dim));
    EXPECT_NEAR(book.centroids[2] * scale, 0.4528f, 0.005f) << "dim " << dim;
    EXPECT_NEAR(book.centroids[3] * scale, 1.510f, 0.01f) << "dim " << dim;
  }
}

struct Golden {
  uint64_t bits;
  uint64_t dim;
  std::vector<uint32_t> boundaries;  // the middle one is not compared
  std::vector<uint32_t> centroids;
};

// Float32 bit patterns from tools/codebook_reference.py, which repeats the
// iteration with correctly rounded Beta functions (mpmath). The float32
// results must not depend on the last bits of the special functions.
TEST(Codebook, MatchesHighPrecisionReferenceBitForBit) {
  const std::vector<Golden> cases = {
      {2, 128, {0xbdb12f98, 0, 0x3db12f98}, {0xbe083c09, 0xbd23ce3a, 0x3d23ce3a, 0x3e083c09}},
      {3, 8,
       {0xbf0c045b, 0xbeb0443c, 0xbe2b9d78, 0, 0x3e2b9d78, 0x3eb0443c, 0x3f0c045b},
       {0xbf286037, 0xbedf50fe, 0xbe813779, 0xbda997fc, 0x3da997fc, 0x3e813779, 0x3edf50fe, 0x3f286037}},
      // stopped by the iteration cap while still moving
      {4, 768,
       {0xbdb10106, 0xbd880238, 0xbd542250, 0xbd224ddd, 0xbcec235e, 0xbc9a4d75, 0xbc188d1c, 0, 0x3c188d1c,
        0x3c9a4d75, 0x3cec235e, 0x3d224ddd, 0x3d542250, 0x3d880238, 0x3db10106},
       {0xbdc964ee, 0xbd989d1e, 0xbd6ecea6, 0xbd3975fa, 0xbd0b25c0, 0xbcc1fb3c, 0xbc653f5c, 0xbb97b5b7,
        0x3b97b5b7, 0x3c653f5c, 0x3cc1fb3c, 0x3d0b25c0, 0x3d3975fa, 0x3d6ecea6, 0x3d989d1e, 0x3dc964ee}},
  };
  for (const auto& golden : cases) {
    SCOPED_TRACE(testing::Message() << "bits " << golden.bits << ", dim " << golden.dim);
    const Codebook book = compute_codebook(golden.bits, golden.dim);
    std::vector<uint32_t> boundaries = bit_patterns(book.boundaries);
    ASSERT_EQ(boundaries.size(), golden.boundaries.size());
    boundaries[boundaries.size() / 2] = 0;
    EXPECT_EQ(boundaries, golden.boundaries);
    EXPECT_EQ(bit_patterns(book.centroids), golden.centroids);
  }
}

TEST(Codebook, IsBitIdenticalAcrossCallsAndThreads) {
  const Codebook first = compute_codebook(3, 128);
  const Codebook second = compute_codebook(3, 128);
  EXPECT_EQ(bit_patterns(first.boundaries), bit_patterns(second.boundaries));
  EXPECT_EQ(bit_patterns(first.centroids), bit_patterns(second.centroids));

  const Codebook serial = compute_codebook(2, 64);
  std::vector<Codebook> parallel(4);
  std::vector<std::thread> threads;
  for (auto& result : parallel) threads.emplace_back([&result] { result = compute_codebook(2, 64); });
  for (auto& thread : threads) thread.join();
  for (const auto& result : parallel) {
    EXPECT_EQ(bit_patterns(result.boundaries), bit_patterns(serial.boundaries));
    EXPECT_EQ(bit_patterns(result.centroids), bit_patterns(serial.centroids));
  }
}

TEST(Codebook, RejectsUnusableArguments) {
  const std::vector<Shape> rejected = {
      {2, 0}, {2, 1},
      {2, 2},  // unbounded density at +-1: the quadrature cannot sample it
      {0, 128}, {9, 128}, {64, 128}, {std::numeric_limits<uint64_t>::max(), 128},
  };
  for (const auto& [bits, dim] : rejected) {
    EXPECT_THROW(codebook(bits, dim), Error) << "bits " << bits << ", dim " << dim;
  }
}

// Correctly rounded references (mpmath, 50 digits). Plain log-gamma formulas
// are off by hundreds of ulp at these shapes.
TEST(BetaDistribution, DensityAndDistributionWithinFewUlp) {
  struct Point {
    double shape, t, pdf, cdf;
  };
  const std::vector<Point> points = {
      {3.5, 0.1, 0x1.446d2e54df1b3p-3, 0x1.3b7ce2e9741e1p-8},
      {3.5, 0.37, 0x1.b5cccaeaa365ap+0, 0x1.ff40a0f9c6e77p-3},
      {3.5, 0.5, 0x1.04c26be3b06cfp+1, 0x1.0000000000000p-1},
      {3.5, 0.8, 0x1.55c85af339000p-1, 0x1.e9918cdee2597p-1},
      {383.5, 0.45, 0x1.e42029754c3d0p-2, 0x1.692d2e33f11f6p-9},
      {383.5, 0.47, 0x1.63daff0fa66a0p+2, 0x1.8ac9f93ad348cp-5},
      {383.5, 0.5, 0x1.6170bcfb86c73p+4, 0x1.0000000000000p-1},
      {383.5, 0.515, 0x1.f4ece0dae1465p+3, 0x1.980931f946e92p-1},
      {2047.5, 0.49, 0x1.683a08f9f54fbp+4, 0x1.9acb06996055ap-4},
      {2047.5, 0.505, 0x1.4cd96d3a88e2ep+5, 0x1.7a4e95af4b6a3p-1},
  };
  for (const auto& point : points) {
    const BetaDistribution distribution(point.shape);
    EXPECT_LE(ulps_between(distribution.pdf(point.t), point.pdf), 4.0) << point.shape << " " << point.t;
    EXPECT_LE(ulps_between(distribution.cdf(point.t), point.cdf), 4.0) << point.shape << " " << point.t;
  }
  const BetaDistribution distribution(383.5);
  EXPECT_EQ(distribution.pdf(-0.25), 0.0);
  EXPECT_EQ(distribution.pdf(1.0), 0.0);
  EXPECT_EQ(distribution.cdf(-0.25), 0.0);
  EXPECT_EQ(distribution.cdf(1.0), 1.0);
}

TEST(BetaDistribution, RejectsShapesThatFormNoDistribution) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (double shape : {0.0, -1.0, kInfinity, kNaN}) {
    EXPECT_THROW(BetaDistribution{shape}, Error) << shape;
  }
}

// Half the mean absolute coordinate of a uniform point on the sphere:
// Gamma(dim / 2) / (2 sqrt(pi) Gamma((dim + 1) / 2)).
TEST(AdaptiveSimpson, IntegratesFirstMomentOfUpperHalf) {
  for (uint64_t dim : {8, 128}) {
    const double shape = (static_cast<double>(dim) - 1.0) * 0.5;
    const BetaDistribution distribution(shape);
    const double fa = first_moment_integrand(distribution, 0.0);
    const double fb = first_moment_integrand(distribution, 1.0);
    const double fm = first_moment_integrand(distribution, 0.5);
    const double whole = 1.0 / 6.0 * (fb + (fa + 4.0 * fm));
    const double integral = adaptive_simpson_rec(distribution, 50, 0.0, 1.0, fa, fb, fm, whole, 1e-14);
    const double d = static_cast<double>(dim);
    const double gamma_ratio = std::exp(std::lgamma(d / 2) - std::lgamma((d + 1) / 2));
    const double expected = gamma_ratio / (2 * std::sqrt(std::numbers::pi));
    EXPECT_NEAR(integral, expected, 1e-13) << "dim " << dim;
  }
}

}  // namespace
}  // namespace varnel

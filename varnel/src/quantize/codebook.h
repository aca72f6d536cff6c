#pragma once
// Lloyd-Max scalar codebook for one coordinate of a random unit vector.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnel {

struct Codebook {
  std::vector<float> boundaries;  // 2^bits - 1 values, ascending
  std::vector<float> centroids;   // 2^bits values, ascending
};

// Pure function of (bits, dim): the embedded table for the shapes an index
// commonly has, computed otherwise. Throws varnel::Error when dim < 3 (no
// bounded density to fit) or bits is outside 1..8.
Codebook codebook(uint64_t bits, uint64_t dim);

// Always runs the Lloyd-Max iteration (tens of milliseconds), in double,
// rounding to float32 once. The embedded tables are its output, written by
// tools/gen_codebook_tables.sh, so both routes give the same bits.
Codebook compute_codebook(uint64_t bits, uint64_t dim);

// The embedded codebook for bits 2..4 and dim a multiple of 8 from 8 to 4096:
// fills *out and returns true. Any other shape returns false and leaves *out
// untouched.
bool precomputed_codebook(uint64_t bits, uint64_t dim, Codebook* out);

// Layout of the embedded table (codebook_tables.cpp, written by
// tools/gen_codebook_tables.sh): float32 bit patterns for bits kFirstBits to
// kLastBits, within each for dim kDimStep, 2 kDimStep, ... kLastDim, the
// 2^bits - 1 boundaries followed by the 2^bits centroids. Every entry of one
// width has the same length, so the offset of (bits, dim) is computed.
namespace codebook_table {
inline constexpr uint64_t kFirstBits = 2;
inline constexpr uint64_t kLastBits = 4;
inline constexpr uint64_t kDimStep = 8;
inline constexpr uint64_t kLastDim = 4096;

constexpr std::size_t values_per_codebook(uint64_t bits) { return (std::size_t{2} << bits) - 1; }

// Where the entries of `bits` start; total_values() is where they would
// start for one width past the last.
constexpr std::size_t width_offset(uint64_t bits) {
  std::size_t offset = 0;
  for (uint64_t narrower = kFirstBits; narrower < bits; ++narrower) {
    offset += kLastDim / kDimStep * values_per_codebook(narrower);
  }
  return offset;
}
constexpr std::size_t total_values() { return width_offset(kLastBits + 1); }

extern const uint32_t kValues[];
}  // namespace codebook_table

// The symmetric Beta(a, a) law of t = (x + 1) / 2, where x is one coordinate
// of a uniform point on the unit sphere in dim = 2a + 1 dimensions. Density
// and distribution function are accurate to a few units in the last place
// for shapes up to several thousand. Immutable, so it may be shared between
// threads.
class BetaDistribution {
 public:
  // Throws varnel::Error unless the shape is finite and positive.
  explicit BetaDistribution(double shape);

  double shape() const { return shape_; }
  double pdf(double t) const;  // 0 outside [0, 1]
  double cdf(double t) const;  // regularised incomplete beta I_t(a, a)

 private:
  double shape_;
  double norm_;  // Gamma(2a) / (Gamma(a)^2 4^(a-1)): the density at t = 1/2
};

// The integrand of a cell's first moment: x * p(x), p the density of
// x = 2t - 1 in [-1, 1].
double first_moment_integrand(const BetaDistribution& distribution, double x);

// Adaptive Simpson quadrature of x * p(x) over [lo, hi], where p is the
// density of x = 2t - 1; fa, fb and fm are the integrand at lo, hi and the
// midpoint, whole the plain Simpson estimate over the interval.
double adaptive_simpson_rec(const BetaDistribution& distribution, uint64_t depth, double lo, double hi,
                            double fa, double fb, double fm, double whole, double eps);

}  // namespace varnel

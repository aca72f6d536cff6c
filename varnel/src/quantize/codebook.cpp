// Lloyd-Max codebook for the coordinate law of a random unit vector.
//
// The iteration below fixes its order of operations completely: 4-bit
// codebooks stop at the iteration cap while still moving, so their values are
// those of exactly this start, update order and arithmetic. Only the Beta
// density and distribution function are free to choose, and they are kept
// accurate to a few ulp so that the float32 results do not depend on them.
#include "quantize/codebook.h"

#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "runtime/error.h"

namespace varnel {
namespace {

constexpr uint64_t kMinBits = 1;
constexpr uint64_t kMaxBits = 8;
constexpr uint64_t kMinDim = 3;
constexpr int kMaxIterations = 200;
constexpr double kStopChange = 1e-12;
constexpr double kMinCellMass = 1e-15;
constexpr uint64_t kQuadratureDepth = 50;
constexpr double kQuadratureEps = 1e-14;

// Below this shape the gamma ratio is shifted up by recurrence first; from
// here on the Stirling series (truncated after a^-19) is exact to ~1e-20.
constexpr double kStirlingShape = 10.0;
constexpr int kMaxContinuedFractionTerms = 100000;
// Where the distribution function is taken as 1/2 minus a small term: the
// band of t where (1 - 2t)^2 (a + 2.5) stays below this, about +-0.7
// standard deviations. There the direct fraction converges slowest, while
// the small term needs a few terms and its subtraction loses at most a bit.
constexpr double kCentralBand = 0.25;

// log(Gamma(a + 1/2) / Gamma(a)) - log(a) / 2 for a >= kStirlingShape: the
// difference of two Stirling series, sum over even k of
// (2^(1-k) - 2) B_k / (k (k - 1) a^(k-1)).
double stirling_half_step_series(double a) {
  const double inv = 1.0 / a;
  const double inv2 = inv * inv;
  double sum = 221930581.0 / 79691776.0;
  sum = sum * inv2 + -3202291.0 / 8912896.0;
  sum = sum * inv2 + 929569.0 / 15728640.0;
  sum = sum * inv2 + -5461.0 / 425984.0;
  sum = sum * inv2 + 691.0 / 180224.0;
  sum = sum * inv2 + -31.0 / 18432.0;
  sum = sum * inv2 + 17.0 / 14336.0;
  sum = sum * inv2 + -1.0 / 640.0;
  sum = sum * inv2 + 1.0 / 192.0;
  sum = sum * inv2 + -1.0 / 8.0;
  return sum * inv;
}

// 2 Gamma(a + 1/2) / (sqrt(pi) Gamma(a)), which equals 4^(1-a) / B(a, a).
// Going through the log-gamma difference rather than three separate
// log-gammas of size a log a keeps the constant within a few ulp even for
// shapes in the thousands, where lgamma alone would lose about 1,000 ulp.
double beta_norm(double a) {
  double scale = 1.0;
  while (a < kStirlingShape) {
    scale *= a / (a + 0.5);  // Gamma(a + 1/2) / Gamma(a) from its value at a + 1
    a += 1.0;
  }
  const double two_over_sqrt_pi = 2.0 * std::numbers::inv_sqrtpi;
  return scale * (two_over_sqrt_pi * (std::sqrt(a) * std::exp(stirling_half_step_series(a))));
}

// log(4 t (1 - t)) for t in [0, 1/2]. Near the centre 4t(1-t) = 1 - u^2 with
// u = 1 - 2t exact, so log1p keeps full relative accuracy where the density
// is large; further out the two factors are taken separately.
double log_four_t_one_minus_t(double t) {
  if (t >= 0.25) {
    const double u = 1.0 - 2.0 * t;
    return std::log1p(-(u * u));
  }
  return std::log(4.0 * t) + std::log1p(-t);
}

// Double-double numbers (an unevaluated sum hi + lo) for the continued
// fraction below. The splitting products need every operation rounded on its
// own, which the build guarantees (no contraction, no fast-math).
struct DoubleDouble {
  double hi = 0.0;
  double lo = 0.0;
};

DoubleDouble two_sum(double a, double b) {
  const double sum = a + b;
  const double b_part = sum - a;
  return {sum, (a - (sum - b_part)) + (b - b_part)};
}

// Requires |a| >= |b| (or a == 0).
DoubleDouble quick_two_sum(double a, double b) {
  const double sum = a + b;
  return {sum, b - (sum - a)};
}

DoubleDouble two_prod(double a, double b) {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  const double product = a * b;
  const double a_scaled = kSplitter * a;
  const double a_hi = a_scaled - (a_scaled - a);
  const double a_lo = a - a_hi;
  const double b_scaled = kSplitter * b;
  const double b_hi = b_scaled - (b_scaled - b);
  const double b_lo = b - b_hi;
  return {product, ((a_hi * b_hi - product) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo};
}

DoubleDouble operator+(DoubleDouble x, DoubleDouble y) {
  const DoubleDouble high = two_sum(x.hi, y.hi);
  const DoubleDouble low = two_sum(x.lo, y.lo);
  const DoubleDouble partial = quick_two_sum(high.hi, high.lo + low.hi);
  return quick_two_sum(partial.hi, partial.lo + low.lo);
}

DoubleDouble operator*(DoubleDouble x, DoubleDouble y) {
  const DoubleDouble product = two_prod(x.hi, y.hi);
  return quick_two_sum(product.hi, product.lo + (x.hi * y.lo + x.lo * y.hi));
}

DoubleDouble operator*(DoubleDouble x, double y) {
  const DoubleDouble product = two_prod(x.hi, y);
  return quick_two_sum(product.hi, product.lo + x.lo * y);
}

DoubleDouble scaled(DoubleDouble x, int exponent) {
  return {std::ldexp(x.hi, exponent), std::ldexp(x.lo, exponent)};
}

// x / y rounded to double: the quotient of the leading parts plus one
// correction from the double-double remainder.
double divide(DoubleDouble x, DoubleDouble y) {
  const double q1 = x.hi / y.hi;
  const DoubleDouble r1 = x + DoubleDouble{-(y * q1).hi, -(y * q1).lo};
  const double q2 = r1.hi / y.hi;
  return q1 + q2;
}

// Partial numerators of the continued fraction of I_x(p, q),
//   I_x(p, q) = prefactor / (1 + alpha_1 x / (1 + alpha_2 x / (1 + ...))),
// as numerator / denominator with x left out. For shapes that are multiples
// of 1/2 below 2^25 both parts are exact doubles.
struct PartialNumerator {
  double numerator;
  double denominator;
};

PartialNumerator partial_numerator(double p, double q, int k) {
  if (k == 1) return {-(p + q), p + 1.0};
  const int m = k / 2;
  const double m2 = 2.0 * m;
  if (k % 2 == 0) return {m * (q - m), (p - 1.0 + m2) * (p + m2)};
  return {-((p + m) * (p + q + m)), (p + m2) * (p + 1.0 + m2)};
}

// How many partial numerators the fraction needs at double precision, by
// the modified Lentz method in plain doubles: cheap, and good enough for a
// count. The accurate value comes from fraction_value.
int continued_fraction_terms(double p, double q, double x) {
  constexpr double kTiny = 1e-300;
  const double eps = std::numeric_limits<double>::epsilon();
  const auto guard = [](double v) { return std::fabs(v) < kTiny ? kTiny : v; };
  const auto term = [&](int k) {
    const PartialNumerator alpha = partial_numerator(p, q, k);
    return alpha.numerator * x / alpha.denominator;
  };
  double c = 1.0;
  double d = 1.0 / guard(1.0 + term(1));
  for (int k = 2; k <= kMaxContinuedFractionTerms; ++k) {
    const double alpha_x = term(k);
    d = 1.0 / guard(1.0 + alpha_x * d);
    c = guard(1.0 + alpha_x / c);
    if (k % 2 == 1 && std::fabs(d * c - 1.0) <= eps) return k;
  }
  throw Error("incomplete beta function did not converge");
}

// 1 / (1 + alpha_1 x / (1 + alpha_2 x / (1 + ... alpha_terms x))) by the
// forward recurrence of convergents in double-double. Near t = 1/2 and for
// large shapes the fraction is ill-conditioned: in plain doubles it loses up
// to a hundred ulp at shapes in the thousands, while twice the precision
// leaves it good to the last bit. Each level is multiplied through by its
// denominator so that nothing is divided until the end, and powers of two
// keep the convergents in range without rounding.
double fraction_value(double p, double q, DoubleDouble x, int terms) {
  constexpr int kRescale = 600;
  const double big = std::ldexp(1.0, kRescale);
  const double small = std::ldexp(1.0, -kRescale);
  DoubleDouble denominator_prev{1.0, 0.0}, denominator{1.0, 0.0};  // of 1 + alpha_1 x / ...
  DoubleDouble numerator_prev{0.0, 0.0}, numerator{1.0, 0.0};
  double level_scale_prev = 1.0;
  for (int k = 1; k <= terms; ++k) {
    const PartialNumerator alpha = partial_numerator(p, q, k);
    const DoubleDouble weight = two_prod(alpha.numerator, level_scale_prev) * x;
    const DoubleDouble denominator_next = denominator * alpha.denominator + weight * denominator_prev;
    const DoubleDouble numerator_next = numerator * alpha.denominator + weight * numerator_prev;
    denominator_prev = denominator, denominator = denominator_next;
    numerator_prev = numerator, numerator = numerator_next;
    level_scale_prev = alpha.denominator;
    const double magnitude = std::fabs(denominator.hi);
    if (magnitude > big || (magnitude < small && magnitude != 0.0)) {
      const int exponent = magnitude > big ? -kRescale : kRescale;
      denominator_prev = scaled(denominator_prev, exponent), denominator = scaled(denominator, exponent);
      numerator_prev = scaled(numerator_prev, exponent), numerator = scaled(numerator, exponent);
    }
  }
  return divide(numerator, denominator);
}

// Continued fraction of I_x(p, q), fast for x < (p + 1) / (p + q + 2). A
// quarter more terms than plain doubles need puts the truncation error far
// below the last bit.
double beta_continued_fraction(double p, double q, DoubleDouble x) {
  const int terms = continued_fraction_terms(p, q, x.hi);
  return fraction_value(p, q, x, terms + terms / 4 + 2);
}

std::string describe(uint64_t value) { return std::to_string(value); }

// dim = 2 is rejected as well: its density 1 / (pi sqrt(1 - x^2)) is
// infinite at x = +-1, so the Simpson samples at the outer cell edges are
// infinite and every centroid would come out NaN after seconds of recursion.
void check_arguments(uint64_t bits, uint64_t dim) {
  if (bits < kMinBits || bits > kMaxBits) {
    throw Error("codebook bits must be between 1 and 8, got " + describe(bits));
  }
  if (dim < kMinDim) {
    throw Error("codebook dim must be at least 3 (the coordinate density is unbounded for dim 2 and does "
                "not exist below), got " + describe(dim));
  }
}

// Equally spaced over +-3 standard deviations of the coordinate. The 4-bit
// codebooks end at the iteration cap, so this start, in exactly this order of
// operations, is part of their value.
std::vector<double> initial_centroids(double a, size_t n) {
  const double r = 3.0 * std::sqrt((2.0 * a) / (a * ((2.0 * a + 1.0) * 4.0)));
  const double two_r = r + r;
  std::vector<double> centroids(n);
  for (size_t i = 0; i < n; ++i) {
    centroids[i] = (static_cast<double>(i) * two_r) / static_cast<double>(n - 1) - r;
  }
  return centroids;
}

double midpoint(double lo, double hi) { return (lo + hi) * 0.5; }

// e[0] = -1, e[i] = boundary between codes i-1 and i, e[n] = +1.
void fill_cell_edges(const std::vector<double>& centroids, std::vector<double>& edges) {
  const size_t n = centroids.size();
  edges[0] = -1.0;
  for (size_t j = 1; j < n; ++j) edges[j] = midpoint(centroids[j - 1], centroids[j]);
  edges[n] = 1.0;
}

double coordinate_cdf(const BetaDistribution& distribution, double x) {
  return distribution.cdf((x + 1.0) * 0.5);
}

double first_moment(const BetaDistribution& distribution, double lo, double hi) {
  const double fa = first_moment_integrand(distribution, lo);
  const double fb = first_moment_integrand(distribution, hi);
  const double fm = first_moment_integrand(distribution, midpoint(lo, hi));
  const double whole = (hi - lo) / 6.0 * (fb + (fa + 4.0 * fm));
  return adaptive_simpson_rec(distribution, kQuadratureDepth, lo, hi, fa, fb, fm, whole, kQuadratureEps);
}

// Conditional mean of the cell given the distribution function at its edges;
// a cell too light to divide by keeps its centroid. A mass that is NaN fails
// the test and divides.
double cell_centroid(const BetaDistribution& distribution, double lo, double hi, double cdf_lo, double cdf_hi,
                     double previous) {
  const double mass = cdf_hi - cdf_lo;
  if (mass < kMinCellMass) return previous;
  return first_moment(distribution, lo, hi) / mass;
}

// Largest |old - new|; a NaN term is skipped, as a NaN-ignoring max would.
double largest_change(const std::vector<double>& before, const std::vector<double>& after) {
  double change = 0.0;
  for (size_t i = 0; i < before.size(); ++i) {
    const double term = std::fabs(before[i] - after[i]);
    if (term > change) change = term;
  }
  return change;
}

// Each interior edge bounds two cells; its distribution function is computed
// once per iteration and used for both.
std::vector<double> lloyd_max(const BetaDistribution& distribution, std::vector<double> centroids) {
  const size_t n = centroids.size();
  std::vector<double> edges(n + 1);
  std::vector<double> edge_cdf(n + 1);
  std::vector<double> updated(n);
  for (int iteration = 1; iteration <= kMaxIterations; ++iteration) {
    fill_cell_edges(centroids, edges);
    for (size_t j = 0; j <= n; ++j) edge_cdf[j] = coordinate_cdf(distribution, edges[j]);
    for (size_t i = 0; i < n; ++i) {
      updated[i] =
          cell_centroid(distribution, edges[i], edges[i + 1], edge_cdf[i], edge_cdf[i + 1], centroids[i]);
    }
    const double change = largest_change(centroids, updated);
    centroids.swap(updated);
    if (change < kStopChange) break;
  }
  return centroids;
}

Codebook to_float32(const std::vector<double>& centroids) {
  Codebook result;
  for (size_t j = 0; j + 1 < centroids.size(); ++j) {
    result.boundaries.push_back(static_cast<float>(midpoint(centroids[j], centroids[j + 1])));
  }
  for (double centroid : centroids) result.centroids.push_back(static_cast<float>(centroid));
  return result;
}

}  // namespace

BetaDistribution::BetaDistribution(double shape) : shape_(shape) {
  if (!(std::isfinite(shape) && shape > 0.0)) {
    throw Error("Beta distribution shape must be finite and positive, got " + std::to_string(shape));
  }
  norm_ = beta_norm(shape);
}

// C (4t(1-t))^(a-1), evaluated on the half nearer to 0, where 1 - t is exact.
double BetaDistribution::pdf(double t) const {
  if (std::isnan(t)) return t;
  if (t < 0.0 || t > 1.0) return 0.0;
  if (shape_ == 1.0) return norm_;
  const double near = t > 0.5 ? 1.0 - t : t;
  return norm_ * std::exp((shape_ - 1.0) * log_four_t_one_minus_t(near));
}

// With u = 1 - 2t and w = 4t(1-t) = 1 - u^2, for t <= 1/2:
//   I_t(a, a) = 1/2 - I_(u^2)(1/2, a) / 2, where I_(u^2)(1/2, a) = C u w^a f,
//   I_t(a, a) = C w^a g / (4a),
// f and g continued fractions. Close to the centre the first form is a small
// correction to 1/2 and takes a few terms where g takes the most; elsewhere
// the second keeps full relative accuracy. Both prefactors share
// w^a = exp(a log w), with log w computed without cancellation.
double BetaDistribution::cdf(double t) const {
  if (std::isnan(t)) throw Error("incomplete beta function evaluated at NaN");
  if (t <= 0.0) return 0.0;
  if (t >= 1.0) return 1.0;
  if (t > 0.5) return 1.0 - cdf(1.0 - t);
  const double u = 1.0 - 2.0 * t;
  const double w_power = std::exp(shape_ * log_four_t_one_minus_t(t));
  if (u * u * (shape_ + 2.5) < kCentralBand) {
    const double j = norm_ * u * w_power * beta_continued_fraction(0.5, shape_, two_prod(u, u));
    return 0.5 - 0.5 * j;
  }
  return norm_ * w_power * beta_continued_fraction(shape_, shape_, DoubleDouble{t, 0.0}) / (4.0 * shape_);
}

double first_moment_integrand(const BetaDistribution& distribution, double x) {
  return (x * distribution.pdf((x + 1.0) * 0.5)) * 0.5;
}

double adaptive_simpson_rec(const BetaDistribution& distribution, uint64_t depth, double lo, double hi,
                            double fa, double fb, double fm, double whole, double eps) {
  const double m = midpoint(lo, hi);
  const double lm = midpoint(lo, m);
  const double rm = midpoint(hi, m);
  const double flm = first_moment_integrand(distribution, lm);
  const double frm = first_moment_integrand(distribution, rm);
  const double left = (m - lo) / 6.0 * (fm + (fa + 4.0 * flm));
  const double right = (hi - m) / 6.0 * (fb + (fm + 4.0 * frm));
  const double delta = (left + right) - whole;
  if (depth == 0 || std::fabs(delta) < 15.0 * eps) return (left + right) + delta / 15.0;
  const double half_eps = eps * 0.5;
  const double left_integral = adaptive_simpson_rec(distribution, depth - 1, lo, m, fa, fm, flm, left, half_eps);
  const double right_integral = adaptive_simpson_rec(distribution, depth - 1, m, hi, fm, fb, frm, right, half_eps);
  return left_integral + right_integral;
}

bool precomputed_codebook(uint64_t bits, uint64_t dim, Codebook* out) {
  using namespace codebook_table;
  if (bits < kFirstBits || bits > kLastBits || dim == 0 || dim % kDimStep != 0 || dim > kLastDim) {
    return false;
  }
  const uint32_t* entry = kValues + width_offset(bits) + (dim / kDimStep - 1) * values_per_codebook(bits);
  const size_t n = size_t{1} << bits;
  out->boundaries.resize(n - 1);
  out->centroids.resize(n);
  for (size_t j = 0; j + 1 < n; ++j) out->boundaries[j] = std::bit_cast<float>(entry[j]);
  for (size_t i = 0; i < n; ++i) out->centroids[i] = std::bit_cast<float>(entry[n - 1 + i]);
  return true;
}

Codebook codebook(uint64_t bits, uint64_t dim) {
  Codebook table;
  if (precomputed_codebook(bits, dim, &table)) return table;
  return compute_codebook(bits, dim);
}

Codebook compute_codebook(uint64_t bits, uint64_t dim) {
  check_arguments(bits, dim);
  const double shape = (static_cast<double>(dim) - 1.0) * 0.5;
  const BetaDistribution distribution(shape);
  const size_t n = size_t{1} << bits;
  return to_float32(lloyd_max(distribution, initial_centroids(shape, n)));
}

}  // namespace varnel

// A query's tables for the 2- and 3-bit bounded scan: the byte tables of the
// approximate score, the exact scorer's table, and the offsets that bound the
// exact score from the approximate one (the proof stands above
// build_bounded_query).
#include "search/bounded_query.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "runtime/cpu.h"
#include "runtime/error.h"
#include "search/pair_scan.h"
#include "search/pair_scan_kernels.h"

namespace varnel {

namespace {

constexpr double kUnit = 0x1p-24;        // unit roundoff of float32
constexpr double kSmallest = 0x1p-149;   // smallest positive float32 (subnormal)
constexpr double kMaxStep = 127.0;
// Beyond this dim the sum bound below is not attempted (every vector is
// scored exactly); embeddings are far smaller.
constexpr uint64_t kMaxBoundedDim = uint64_t{1} << 20;

float round_up_to_float(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

float round_down_to_float(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

std::vector<float> exact_table(const float* rq, std::span<const float> centroids, uint64_t dim) {
  std::vector<float> table(dim * 8, 0.0f);
  for (uint64_t j = 0; j < dim; ++j) {
    for (std::size_t c = 0; c < centroids.size(); ++c) table[j * 8 + c] = rq[j] * centroids[c];
  }
  return table;
}

// Fused multiply-add steps of the approximate kernels per score: one per
// chunk of byte-columns.
uint64_t kernel_steps(uint64_t dim, uint64_t bits, bool split) {
  const uint64_t columns = bits == 2 ? dim / 4 : dim / 8;
  const uint64_t chunk = bits == 2 ? 256 : split ? pair_kernels::kSplitChunkGroups : 128;
  return std::max<uint64_t>(1, (columns + chunk - 1) / chunk);
}

// The step of the byte tables. With one step for all rows, a row error is
// about half a step, and a row too wide for 127 steps loses its overhang
// besides: a few wide rows (large query coordinates) should not coarsen every
// other row. Of a few steps, the one with the least estimated total error;
// the bound then uses the errors the chosen tables really have.
float table_step(const std::vector<double>& spreads, double largest_spread) {
  if (!(largest_spread > 0x1p-100)) return 1.0f;
  float best = static_cast<float>(largest_spread / kMaxStep);
  double best_cost = std::numeric_limits<double>::infinity();
  for (double fraction : {1.0, 0.85, 0.7, 0.6, 0.5, 0.42, 0.35}) {
    const float step = static_cast<float>(largest_spread * fraction / kMaxStep);
    double cost = 0.0;
    for (double spread : spreads) cost += std::max(0.0, spread - kMaxStep * double(step)) / 2.0 + double(step) / 2.0;
    if (cost < best_cost) {
      best_cost = cost;
      best = step;
    }
  }
  return best;
}

// clamp(round(x), 0, 127) for a finite x, halves rounded away from zero, with
// no library call and no branch on the data (the calls took a third of
// building a 3-bit query): clamping first gives the same step (+0 where
// round gives -0, which no use of the step tells apart), and x - trunc(x) of
// the clamped value is exact.
double clamped_step(double x) {
  const double clamped = std::min(std::max(0.0, x), kMaxStep);
  const int whole = static_cast<int>(clamped);
  const bool up = clamped - static_cast<double>(whole) >= 0.5;
  return static_cast<double>(whole + static_cast<int>(up));
}

// The byte table of one coordinate pair: entry (h, l) approximates the pair's
// value high[h] + low[l] (each a product of two floats, exact in double, so
// the sum is rounded once) by window + steps * delta. Also what the bound
// needs of the row: the largest error and the largest steps * delta.
struct RowTable {
  double error = 0.0;
  double largest = 0.0;
};

RowTable quantise_row_portable(const double* high, const double* low, uint64_t per, double window,
                               double delta, uint8_t* bytes) {
  RowTable row;
  for (uint64_t i = 0; i < per * per; ++i) {
    const double value = high[i / per] + low[i % per];
    const double steps = clamped_step((value - window) / delta);
    bytes[i] = static_cast<uint8_t>(steps);
    const double quantised = window + steps * delta;
    row.error = std::max(row.error, std::fabs(value - quantised));
    row.largest = std::max(row.largest, steps * delta);
  }
  return row;
}

// The split form of a 3-bit pair's row: one byte per coordinate, A for the
// first (high[a] from window_high) and B for the second, each rounded as a
// joint row is. The pair (a, b) stands for window + (A[a] + B[b]) * delta,
// window = window_high + window_low; its error is measured against the pair's
// value as for a joint row. Layout: A twice, then B twice (pair_scan_kernels.h).
constexpr uint64_t kSplitCodes = 8;

// The error and largest value of a split row's 64 pairs (first[a] + second[b]
// steps against high[a] + low[b]).
RowTable split_row_errors_portable(const double* high, const double* low, const double* first,
                                   const double* second, double window, double delta) {
  RowTable row;
  for (uint64_t a = 0; a < kSplitCodes; ++a) {
    for (uint64_t b = 0; b < kSplitCodes; ++b) {
      const double steps = first[a] + second[b];
      const double quantised = window + steps * delta;
      row.error = std::max(row.error, std::fabs((high[a] + low[b]) - quantised));
      row.largest = std::max(row.largest, steps * delta);
    }
  }
  return row;
}

RowTable split_row_errors_avx2(const double* high, const double* low, const double* first,
                               const double* second, double window, double delta);

RowTable split_row(const double* high, const double* low, double window_high, double window_low,
                   double delta, bool simd, uint8_t* bytes) {
  double first[kSplitCodes], second[kSplitCodes];
  for (uint64_t c = 0; c < kSplitCodes; ++c) {
    first[c] = clamped_step((high[c] - window_high) / delta);
    second[c] = clamped_step((low[c] - window_low) / delta);
    bytes[c] = bytes[kSplitCodes + c] = static_cast<uint8_t>(first[c]);
    bytes[2 * kSplitCodes + c] = bytes[3 * kSplitCodes + c] = static_cast<uint8_t>(second[c]);
  }
  const double window = window_high + window_low;
  return simd ? split_row_errors_avx2(high, low, first, second, window, delta)
              : split_row_errors_portable(high, low, first, second, window, delta);
}

BoundedQuery unbounded_query(BoundedQuery query) {
  std::fill(query.approx.bytes.begin(), query.approx.bytes.end(), 0);
  query.approx.bias = 0.0f;
  query.approx.delta = 1.0f;
  query.upper_offset = std::numeric_limits<float>::infinity();
  query.lower_offset = -std::numeric_limits<float>::infinity();
  return query;
}

#if defined(__x86_64__)
#define VARNEL_AVX2 __attribute__((target("avx2")))
#define VARNEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// Four entries of a row stand for window + steps * delta (`scaled` = steps *
// delta): the running maxima of their error against `value` and of `scaled`,
// in the portable loops' operations.
VARNEL_AVX2_INLINE void take_maxima(__m256d value, __m256d window, __m256d scaled, __m256d& error,
                                    __m256d& largest) {
  const __m256d off = _mm256_sub_pd(value, _mm256_add_pd(window, scaled));
  error = _mm256_max_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), off), error);
  largest = _mm256_max_pd(scaled, largest);
}

// The row's maxima from the four lanes' (order does not change a maximum).
VARNEL_AVX2_INLINE RowTable row_table_of(__m256d error, __m256d largest) {
  alignas(32) double errors[4], largests[4];
  _mm256_store_pd(errors, error);
  _mm256_store_pd(largests, largest);
  RowTable row;
  for (int i = 0; i < 4; ++i) {
    row.error = std::max(row.error, errors[i]);
    row.largest = std::max(row.largest, largests[i]);
  }
  return row;
}

// quantise_row_portable four entries at a time, the same operations in the
// same order on each (division, clamp, rounding of halves up, product and
// sum): bit-identical bytes, and the same maxima, which do not depend on the
// order they are taken in. max_pd(x, 0) and min_pd(x, 127) pick as std::max
// and std::min do for the values that occur (never NaN). per: 4 or 8.
VARNEL_AVX2 RowTable quantise_row_avx2(const double* high, const double* low, uint64_t per,
                                       double window, double delta, uint8_t* bytes) {
  const __m256d start = _mm256_set1_pd(window), step = _mm256_set1_pd(delta);
  const __m256d zero = _mm256_setzero_pd(), most = _mm256_set1_pd(kMaxStep);
  const __m256d half = _mm256_set1_pd(0.5), one = _mm256_set1_pd(1.0);
  __m256d error = zero, largest = zero;
  for (uint64_t h = 0; h < per; ++h) {
    const __m256d first = _mm256_set1_pd(high[h]);
    for (uint64_t l = 0; l < per; l += 4) {
      const __m256d value = _mm256_add_pd(first, _mm256_loadu_pd(low + l));
      const __m256d x = _mm256_div_pd(_mm256_sub_pd(value, start), step);
      const __m256d clamped = _mm256_min_pd(_mm256_max_pd(x, zero), most);
      const __m256d whole = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(clamped));
      const __m256d up = _mm256_cmp_pd(_mm256_sub_pd(clamped, whole), half, _CMP_GE_OQ);
      const __m256d steps = _mm256_add_pd(whole, _mm256_and_pd(up, one));
      const __m128i ints = _mm256_cvttpd_epi32(steps);
      const int32_t four = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(ints, ints), ints));
      std::memcpy(bytes + h * per + l, &four, 4);
      take_maxima(value, start, _mm256_mul_pd(steps, step), error, largest);
    }
  }
  return row_table_of(error, largest);
}

// split_row_errors_portable four pairs at a time, the same operations on
// each; the maxima do not depend on the order they are taken in.
VARNEL_AVX2 RowTable split_row_errors_avx2(const double* high, const double* low, const double* first,
                                           const double* second, double window, double delta) {
  const __m256d start = _mm256_set1_pd(window), step = _mm256_set1_pd(delta);
  __m256d error = _mm256_setzero_pd(), largest = error;
  for (uint64_t a = 0; a < kSplitCodes; ++a) {
    for (uint64_t b = 0; b < kSplitCodes; b += 4) {
      const __m256d steps = _mm256_add_pd(_mm256_set1_pd(first[a]), _mm256_loadu_pd(second + b));
      const __m256d value = _mm256_add_pd(_mm256_set1_pd(high[a]), _mm256_loadu_pd(low + b));
      take_maxima(value, start, _mm256_mul_pd(steps, step), error, largest);
    }
  }
  return row_table_of(error, largest);
}

// The portable path builds with the portable loops: the reference in tests.
bool tables_with_simd() {
  return cpu_features().avx2 && active_scan_path() != ScanPath::Portable;
}
#else
RowTable quantise_row_avx2(const double* high, const double* low, uint64_t per, double window,
                           double delta, uint8_t* bytes) {
  return quantise_row_portable(high, low, per, window, delta, bytes);
}

RowTable split_row_errors_avx2(const double* high, const double* low, const double* first,
                               const double* second, double window, double delta) {
  return split_row_errors_portable(high, low, first, second, window, delta);
}

bool tables_with_simd() { return false; }
#endif

}  // namespace

// The approximate score and its bound
// -----------------------------------
// Notation: q_j the rotated query, c(k) the centroids, k_j the code of
// coordinate j of a stored vector, P_j = q_j * c(k_j) exactly (real
// numbers), u = 2^-24, d = dim.
//
// 1. The specified sum s = (((0 + fl(q_0 c(k_0))) + fl(q_1 c(k_1))) + ...)
//    in float32 differs from T = sum_j P_j by at most gamma_d * sum_j |P_j|,
//    gamma_d = d u / (1 - d u) (each term passes through one rounded product
//    and at most d - 1 rounded sums; Higham, recursive summation), plus
//    d * 2^-150 for products that underflow (subnormal sums are exact). With
//    M = sum_j |q_j| * max_k |c(k)| >= sum_j |P_j|: |s - T| <= gamma_d M + ...
// 2. Coordinates are taken in pairs r = (2r, 2r+1). Each pair index i (the
//    two codes) has the value V_r(i) = P_2r + P_2r+1, computed in double
//    (the products are exact there, the sum within 2^-53 relatively). The
//    byte table holds b_r(i) = round((V_r(i) - w_r) / delta) limited to
//    0..127, w_r the row's window start (its smallest value, or for a row
//    wider than 127 steps a centred window), delta a float chosen per query
//    (table_step). The table error e_r = max_i |V_r(i) - (w_r + b_r(i)
//    delta)| is measured, not assumed (it includes what the limits cut off),
//    so T differs from bias + S delta (bias = sum_r w_r, S = sum_r b_r(i_r),
//    all exact) by at most sum_r e_r. Split tables (3 bits) hold one byte per
//    coordinate, each rounded on its own window; then b_r(i) = A_r(a) +
//    B_r(b) for i = (a, b), w_r is the sum of the two windows, and e_r is
//    measured over the 64 pairs just the same, so nothing below changes
//    (their kernels take chunks of 64 groups: `steps` counts those).
// 3. The kernels compute a from S exactly in integers, then one fused
//    multiply-add per chunk: |a - S delta| <= steps * (u * Bsum + 2^-149),
//    Bsum = delta * sum_r max_i b_r(i) >= S delta >= every partial sum.
// 4. With E = gamma_d M + sum e_r + steps u Bsum + slack, the offsets are
//    C+ >= bias + E and C- <= bias - E (rounded outward to float). Then
//    a + C- <= s <= a + C+ as real numbers, and the float sums fl(a + C+-)
//    move by at most u |a + C+-| <= u (W + E), W = Bsum + sum |low_r| + M +
//    sum e_r (with |w_r| for |low_r|); the slack 4 u W (plus 2^-30 W for the double arithmetic, and a
//    factor 1 + 2^-20) covers it: fl(a + C-) <= s <= fl(a + C+).
// 5. The score is fl(s * norm); rounding is monotone, so for norm >= 0 it is
//    at most fl(fl(a + C+) * norm), for norm < 0 at most fl(fl(a + C-) *
//    norm). A position whose two such products are both <= the selector's
//    threshold cannot be admitted (admission needs a score strictly above
//    it), so skipping it leaves the selector as scoring it would. NaN in
//    either product fails the comparison: such a position is scored exactly.
BoundedQuery build_bounded_query(const float* rq, std::span<const float> centroids, uint64_t dim,
                                 uint64_t bits) {
  return build_bounded_query(rq, centroids, dim, bits,
                             pair_scan_prefers_split_tables() ? PairTables::Split : PairTables::Joint);
}

BoundedQuery build_bounded_query(const float* rq, std::span<const float> centroids, uint64_t dim,
                                 uint64_t bits, PairTables form) {
  if ((bits != 2 && bits != 3) || centroids.size() != (uint64_t{1} << bits) || dim % 8 != 0) {
    throw Error("bounded scan: 2- or 3-bit codes and a dim that is a multiple of 8 only");
  }
  const uint64_t per = uint64_t{1} << bits;  // codes per coordinate
  const bool split = bits == 3 && form == PairTables::Split;
  const uint64_t row_bytes = bits == 2 ? 16 : split ? pair_kernels::kSplitRowBytes : 64;
  const uint64_t rows = dim / 2;

  BoundedQuery query;
  query.split = split;
  query.exact = exact_table(rq, centroids, dim);
  query.approx.bias = 0.0f;
  query.approx.bytes.assign(rows * row_bytes, 0);

  double largest_centroid = 0.0;
  for (float c : centroids) largest_centroid = std::max(largest_centroid, std::fabs(double(c)));
  double m_sum = 0.0;
  bool finite = dim <= kMaxBoundedDim;
  for (uint64_t j = 0; j < dim; ++j) {
    if (!std::isfinite(rq[j])) finite = false;
    m_sum += std::fabs(double(rq[j])) * largest_centroid;
  }
  if (!finite || !std::isfinite(m_sum)) return unbounded_query(std::move(query));

  // A pair's values are sums high[h] + low[l] of the two coordinates'
  // products (exact in double); rounding is monotone, so the row's extremes
  // are the rounded sums of the two sides' extremes.
  std::vector<double> sides(rows * 2 * per), lows(rows), spreads(rows);
  std::vector<double> side_lows(split ? rows : 0), side_spreads(split ? rows : 0);  // second coordinates
  double largest_spread = 0.0;
  for (uint64_t r = 0; r < rows; ++r) {
    double* high = sides.data() + r * 2 * per;
    double* low = high + per;
    for (uint64_t c = 0; c < per; ++c) {
      high[c] = double(rq[2 * r]) * double(centroids[c]);
      low[c] = double(rq[2 * r + 1]) * double(centroids[c]);
    }
    const auto [high_min, high_max] = std::minmax_element(high, high + per);
    const auto [low_min, low_max] = std::minmax_element(low, low + per);
    if (split) {  // each coordinate's own range is what a byte must span
      lows[r] = *high_min;
      spreads[r] = *high_max - *high_min;
      side_lows[r] = *low_min;
      side_spreads[r] = *low_max - *low_min;
      largest_spread = std::max({largest_spread, spreads[r], side_spreads[r]});
      continue;
    }
    lows[r] = *high_min + *low_min;
    spreads[r] = (*high_max + *low_max) - lows[r];
    largest_spread = std::max(largest_spread, spreads[r]);
  }
  if (split) spreads.insert(spreads.end(), side_spreads.begin(), side_spreads.end());
  const float delta = table_step(spreads, largest_spread);
  query.approx.delta = delta;
  // A range wider than 127 steps is centred on the window it can hold.
  auto window_of = [&](double low, double spread) {
    return low + std::max(0.0, spread - kMaxStep * double(delta)) / 2.0;
  };

  const bool simd = tables_with_simd();
  double sum_errors = 0.0, bias = 0.0, sum_abs_low = 0.0, byte_span = 0.0;
  for (uint64_t r = 0; r < rows; ++r) {
    const double* high = sides.data() + r * 2 * per;
    uint8_t* bytes = query.approx.bytes.data() + r * row_bytes;
    double window = window_of(lows[r], spreads[r]);
    RowTable row;
    if (split) {
      const double window_low = window_of(side_lows[r], side_spreads[r]);
      row = split_row(high, high + per, window, window_low, double(delta), simd, bytes);
      window += window_low;
    } else {
      row = simd ? quantise_row_avx2(high, high + per, per, window, double(delta), bytes)
                 : quantise_row_portable(high, high + per, per, window, double(delta), bytes);
    }
    sum_errors += row.error;
    bias += window;
    sum_abs_low += std::fabs(window);
    byte_span += row.largest;
  }

  const double d = double(dim);
  const double gamma = d * kUnit / (1.0 - d * kUnit);
  const double steps = double(kernel_steps(dim, bits, split));
  const double w = byte_span + sum_abs_low + m_sum + sum_errors;
  const double core = gamma * m_sum + sum_errors + steps * kUnit * byte_span;
  const double e = (core + 4.0 * kUnit * w + 0x1p-30 * w) * (1.0 + 0x1p-20) +
                   (2.0 * d + 2.0 * steps + 8.0) * kSmallest;
  query.upper_offset = round_up_to_float(bias + e);
  query.lower_offset = round_down_to_float(bias - e);
  if (!std::isfinite(query.upper_offset) || !std::isfinite(query.lower_offset)) {
    return unbounded_query(std::move(query));
  }
  return query;
}

}  // namespace varnel

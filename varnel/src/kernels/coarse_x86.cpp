// x86-64 kernels of the coarse inner products. Lanes hold centroids, so each
// lane runs the same rounded multiply, then rounded add, per coordinate as
// the portable loop (never fused: the add of a separate product).
#if defined(__x86_64__)
#include <immintrin.h>

#include "search/coarse.h"

namespace varnel::coarse_kernels {
namespace {

// Four rows against 16 centroids of a tile (columns `tile[j * kTile]` ...
// `+ 15`): sums[2r], sums[2r + 1] the sequential sums of row r.
__attribute__((target("avx2"), always_inline)) inline void four_rows_avx2(const float* const* rows,
                                                                          const float* tile, uint64_t dim,
                                                                          __m256* sums) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  for (int i = 0; i < 8; ++i) sums[i] = _mm256_setzero_ps();
  for (uint64_t j = 0; j < dim; ++j) {
    const __m256 low = _mm256_loadu_ps(tile + j * kTile);
    const __m256 high = _mm256_loadu_ps(tile + j * kTile + 8);
    for (int r = 0; r < 4; ++r) {
      const __m256 value = _mm256_set1_ps(rows[r][j]);
      sums[2 * r] = _mm256_add_ps(sums[2 * r], _mm256_mul_ps(value, low));
      sums[2 * r + 1] = _mm256_add_ps(sums[2 * r + 1], _mm256_mul_ps(value, high));
    }
  }
}

// Four rows against a whole tile of 32 centroids.
__attribute__((target("avx512f"), always_inline)) inline void four_rows_avx512(const float* const* rows,
                                                                               const float* tile, uint64_t dim,
                                                                               __m512* sums) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  for (int i = 0; i < 8; ++i) sums[i] = _mm512_setzero_ps();
  for (uint64_t j = 0; j < dim; ++j) {
    const __m512 low = _mm512_loadu_ps(tile + j * kTile);
    const __m512 high = _mm512_loadu_ps(tile + j * kTile + 16);
    for (int r = 0; r < 4; ++r) {
      const __m512 value = _mm512_set1_ps(rows[r][j]);
      sums[2 * r] = _mm512_add_ps(sums[2 * r], _mm512_mul_ps(value, low));
      sums[2 * r + 1] = _mm512_add_ps(sums[2 * r + 1], _mm512_mul_ps(value, high));
    }
  }
}

}  // namespace

__attribute__((target("avx2"))) void tile_dots_avx2(const float* const* rows, const float* tile,
                                                    uint64_t dim, float* acc) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  // Two halves of 16 centroids: eight sums each, all in registers.
  for (uint64_t half = 0; half < kTile; half += 16) {
    __m256 sums[8];
    four_rows_avx2(rows, tile + half, dim, sums);
    for (int r = 0; r < 4; ++r) {
      _mm256_storeu_ps(acc + r * kTile + half, sums[2 * r]);
      _mm256_storeu_ps(acc + r * kTile + half + 8, sums[2 * r + 1]);
    }
  }
}

__attribute__((target("avx512f"))) void tile_dots_avx512(const float* const* rows, const float* tile,
                                                        uint64_t dim, float* acc) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  __m512 sums[8];
  four_rows_avx512(rows, tile, dim, sums);
  for (int r = 0; r < 4; ++r) {
    _mm512_storeu_ps(acc + r * kTile, sums[2 * r]);
    _mm512_storeu_ps(acc + r * kTile + 16, sums[2 * r + 1]);
  }
}

__attribute__((target("avx2"))) void row_dots_avx2(const float* row, const float* tile, uint64_t dim,
                                                   float* acc) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  const float* second = tile + dim * kTile;
  __m256 sums[8];
  for (auto& sum : sums) sum = _mm256_setzero_ps();
  for (uint64_t j = 0; j < dim; ++j) {
    const __m256 value = _mm256_set1_ps(row[j]);
    for (int i = 0; i < 4; ++i) {
      sums[i] = _mm256_add_ps(sums[i], _mm256_mul_ps(value, _mm256_loadu_ps(tile + j * kTile + 8 * i)));
      sums[4 + i] =
          _mm256_add_ps(sums[4 + i], _mm256_mul_ps(value, _mm256_loadu_ps(second + j * kTile + 8 * i)));
    }
  }
  for (int i = 0; i < 8; ++i) _mm256_storeu_ps(acc + 8 * i, sums[i]);
}

__attribute__((target("avx512f"))) void row_dots_avx512(const float* row, const float* tile, uint64_t dim,
                                                       float* acc) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  const float* second = tile + dim * kTile;
  __m512 sums[4];
  for (auto& sum : sums) sum = _mm512_setzero_ps();
  for (uint64_t j = 0; j < dim; ++j) {
    const __m512 value = _mm512_set1_ps(row[j]);
    sums[0] = _mm512_add_ps(sums[0], _mm512_mul_ps(value, _mm512_loadu_ps(tile + j * kTile)));
    sums[1] = _mm512_add_ps(sums[1], _mm512_mul_ps(value, _mm512_loadu_ps(tile + j * kTile + 16)));
    sums[2] = _mm512_add_ps(sums[2], _mm512_mul_ps(value, _mm512_loadu_ps(second + j * kTile)));
    sums[3] = _mm512_add_ps(sums[3], _mm512_mul_ps(value, _mm512_loadu_ps(second + j * kTile + 16)));
  }
  for (int i = 0; i < 4; ++i) _mm512_storeu_ps(acc + 16 * i, sums[i]);
}

namespace {

// One row's values of a tile joining its running choice (see
// TileNearestKernel). NaN lanes never count: the maximum skips them and they
// equal nothing.
bool joins(float largest, float best, uint32_t index) { return largest > best || index == kNoCentroid; }

// `equal`: the lanes holding `largest` (none when every lane is NaN).
void join_choice(float largest, uint32_t equal, uint32_t first, float* best, uint32_t* index) {
  if (equal == 0) return;
  *best = largest;
  *index = first + static_cast<uint32_t>(__builtin_ctz(equal));
}

}  // namespace

__attribute__((target("avx2"))) void tile_nearest_avx2(const float* const* rows, const float* tile,
                                                       const float* half, uint64_t dim, uint64_t lanes,
                                                       uint32_t first, float* best, uint32_t* index) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  // Halves of 16 centroids; a half without any centroid is not computed.
  for (uint64_t part = 0; part < kTile && part < lanes; part += 16) {
    __m256 sums[8];
    four_rows_avx2(rows, tile + part, dim, sums);
    const uint32_t valid = lanes - part >= 16 ? 0xffffu : (1u << (lanes - part)) - 1u;
    const __m256 half_low = _mm256_loadu_ps(half + part), half_high = _mm256_loadu_ps(half + part + 8);
    for (int r = 0; r < 4; ++r) {
      const __m256 low = _mm256_sub_ps(sums[2 * r], half_low);
      const __m256 high = _mm256_sub_ps(sums[2 * r + 1], half_high);
      alignas(32) float values[16];
      _mm256_store_ps(values, low);
      _mm256_store_ps(values + 8, high);
      // max(v, m) keeps m when v is NaN; lanes without a centroid stay out.
      float largest = -__builtin_inff();
      for (uint64_t c = 0; c < 16; ++c) {
        if (valid >> c & 1u) largest = values[c] > largest ? values[c] : largest;
      }
      if (!joins(largest, best[r], index[r])) continue;
      const __m256 target = _mm256_set1_ps(largest);
      const uint32_t equal = (static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(low, target, _CMP_EQ_OQ))) |
                              static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(high, target, _CMP_EQ_OQ))) << 8) &
                             valid;
      join_choice(largest, equal, first + static_cast<uint32_t>(part), best + r, index + r);
    }
  }
}

__attribute__((target("avx512f"))) void tile_nearest_avx512(const float* const* rows, const float* tile,
                                                           const float* half, uint64_t dim, uint64_t lanes,
                                                           uint32_t first, float* best, uint32_t* index) {
  __m512 sums[8];
  four_rows_avx512(rows, tile, dim, sums);
  const uint32_t valid = lanes >= 32 ? 0xffffffffu : (1u << lanes) - 1u;
  const __mmask16 valid_low = static_cast<__mmask16>(valid), valid_high = static_cast<__mmask16>(valid >> 16);
  const __m512 half_low = _mm512_loadu_ps(half), half_high = _mm512_loadu_ps(half + 16);
  const __m512 none = _mm512_set1_ps(-__builtin_inff());
  for (int r = 0; r < 4; ++r) {
    const __m512 low = _mm512_sub_ps(sums[2 * r], half_low);
    const __m512 high = _mm512_sub_ps(sums[2 * r + 1], half_high);
    // max(v, m) returns m when v is NaN, so NaN lanes and lanes without a
    // centroid (left at -inf) never raise the maximum.
    __m512 most = _mm512_mask_max_ps(none, valid_low, low, none);
    most = _mm512_mask_max_ps(most, valid_high, high, most);
    // Across the lanes (no NaN left, so any order gives the same maximum);
    // the masked forms with every lane set spare the unmasked ones' undefined
    // source operand.
    const __mmask16 all = 0xffff;
    most = _mm512_mask_max_ps(most, all, most, _mm512_mask_shuffle_f32x4(most, all, most, most, 0x4e));
    most = _mm512_mask_max_ps(most, all, most, _mm512_mask_shuffle_f32x4(most, all, most, most, 0xb1));
    most = _mm512_mask_max_ps(most, all, most, _mm512_mask_permute_ps(most, all, most, 0x4e));
    most = _mm512_mask_max_ps(most, all, most, _mm512_mask_permute_ps(most, all, most, 0xb1));
    const float largest = _mm512_cvtss_f32(most);
    if (!joins(largest, best[r], index[r])) continue;
    const __m512 target = _mm512_set1_ps(largest);
    const uint32_t equal = static_cast<uint32_t>(_mm512_mask_cmp_ps_mask(valid_low, low, target, _CMP_EQ_OQ)) |
                           static_cast<uint32_t>(_mm512_mask_cmp_ps_mask(valid_high, high, target, _CMP_EQ_OQ)) << 16;
    join_choice(largest, equal, first, best + r, index + r);
  }
}

}  // namespace varnel::coarse_kernels
#endif

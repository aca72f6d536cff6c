// x86-64 kernels of the coarse inner products. Lanes hold centroids, so each
// lane runs the same rounded multiply, then rounded add, per coordinate as
// the portable loop (never fused: the add of a separate product).
#if defined(__x86_64__)
#include <immintrin.h>

#include "search/coarse.h"

namespace varnel::coarse_kernels {

__attribute__((target("avx2"))) void tile_dots_avx2(const float* const* rows, const float* tile,
                                                    uint64_t dim, float* acc) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  // Two halves of 16 centroids: eight sums each, all in registers.
  for (uint64_t half = 0; half < kTile; half += 16) {
    __m256 sums[8];
    for (auto& sum : sums) sum = _mm256_setzero_ps();
    for (uint64_t j = 0; j < dim; ++j) {
      const __m256 low = _mm256_loadu_ps(tile + j * kTile + half);
      const __m256 high = _mm256_loadu_ps(tile + j * kTile + half + 8);
      for (int r = 0; r < 4; ++r) {
        const __m256 value = _mm256_set1_ps(rows[r][j]);
        sums[2 * r] = _mm256_add_ps(sums[2 * r], _mm256_mul_ps(value, low));
        sums[2 * r + 1] = _mm256_add_ps(sums[2 * r + 1], _mm256_mul_ps(value, high));
      }
    }
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
  for (auto& sum : sums) sum = _mm512_setzero_ps();
  for (uint64_t j = 0; j < dim; ++j) {
    const __m512 low = _mm512_loadu_ps(tile + j * kTile);
    const __m512 high = _mm512_loadu_ps(tile + j * kTile + 16);
    for (int r = 0; r < 4; ++r) {
      const __m512 value = _mm512_set1_ps(rows[r][j]);
      sums[2 * r] = _mm512_add_ps(sums[2 * r], _mm512_mul_ps(value, low));
      sums[2 * r + 1] = _mm512_add_ps(sums[2 * r + 1], _mm512_mul_ps(value, high));
    }
  }
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

}  // namespace varnel::coarse_kernels
#endif

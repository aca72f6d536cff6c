// x86-64 kernels of the coarse inner products. Lanes hold centroids, so each
// lane runs the same rounded multiply, then rounded add, per coordinate as
// the portable loop (never fused: the add of a separate product).
#if defined(__x86_64__)
#include <immintrin.h>

#include "search/coarse.h"

namespace varnel::coarse_kernels {

__attribute__((target("avx2"))) void tile_dots_avx2(const float* const* rows, const float* tile,
                                                    uint64_t dim, float* acc) {
  __m256 sums[8];
  for (auto& sum : sums) sum = _mm256_setzero_ps();
  for (uint64_t j = 0; j < dim; ++j) {
    const __m256 low = _mm256_loadu_ps(tile + j * 16);
    const __m256 high = _mm256_loadu_ps(tile + j * 16 + 8);
    for (int r = 0; r < 4; ++r) {
      const __m256 value = _mm256_set1_ps(rows[r][j]);
      sums[2 * r] = _mm256_add_ps(sums[2 * r], _mm256_mul_ps(value, low));
      sums[2 * r + 1] = _mm256_add_ps(sums[2 * r + 1], _mm256_mul_ps(value, high));
    }
  }
  for (int i = 0; i < 8; ++i) _mm256_storeu_ps(acc + i * 8, sums[i]);
}

__attribute__((target("avx512f"))) void tile_dots_avx512(const float* const* rows, const float* tile,
                                                        uint64_t dim, float* acc) {
  __m512 sums[4];
  for (auto& sum : sums) sum = _mm512_setzero_ps();
  for (uint64_t j = 0; j < dim; ++j) {
    const __m512 column = _mm512_loadu_ps(tile + j * 16);
    for (int r = 0; r < 4; ++r) {
      sums[r] = _mm512_add_ps(sums[r], _mm512_mul_ps(_mm512_set1_ps(rows[r][j]), column));
    }
  }
  for (int r = 0; r < 4; ++r) _mm512_storeu_ps(acc + r * 16, sums[r]);
}

}  // namespace varnel::coarse_kernels
#endif

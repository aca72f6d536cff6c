// x86-64 forms of the selector's product filter: plain multiplies (the same
// rounding as the scalar one) and an ordered greater-than comparison, false
// for NaN just as the scalar filter skips NaN. Four groups of 16 are tested
// per step: nearly all fall below the threshold once the list has filled.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

#include "search/top_k.h"

namespace varnel::top_k_kernels {

namespace {

#define VARNEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#define VARNEL_AVX512_INLINE __attribute__((target("avx512f"), always_inline)) inline

VARNEL_AVX2_INLINE int avx2_above(const float* scores, const float* factors, __m256 limit) {
  const __m256 low = _mm256_mul_ps(_mm256_loadu_ps(scores), _mm256_loadu_ps(factors));
  const __m256 high = _mm256_mul_ps(_mm256_loadu_ps(scores + 8), _mm256_loadu_ps(factors + 8));
  return _mm256_movemask_ps(_mm256_or_ps(_mm256_cmp_ps(low, limit, _CMP_GT_OQ),
                                         _mm256_cmp_ps(high, limit, _CMP_GT_OQ)));
}

VARNEL_AVX512_INLINE __mmask16 avx512_above(const float* scores, const float* factors,
                                            __m512 limit) {
  const __m512 products = _mm512_mul_ps(_mm512_loadu_ps(scores), _mm512_loadu_ps(factors));
  return _mm512_cmp_ps_mask(products, limit, _CMP_GT_OQ);
}

}  // namespace

__attribute__((target("avx2"))) uint64_t first_group_above_avx2(const float* scores,
                                                                const float* factors,
                                                                uint64_t count, float threshold) {
  const __m256 limit = _mm256_set1_ps(threshold);
  uint64_t i = 0;
  for (; i + 64 <= count; i += 64) {
    const int any = avx2_above(scores + i, factors + i, limit) |
                    avx2_above(scores + i + 16, factors + i + 16, limit) |
                    avx2_above(scores + i + 32, factors + i + 32, limit) |
                    avx2_above(scores + i + 48, factors + i + 48, limit);
    if (any != 0) break;
  }
  for (; i < count; i += 16) {
    if (avx2_above(scores + i, factors + i, limit) != 0) return i;
  }
  return count;
}

__attribute__((target("avx512f"))) uint64_t first_group_above_avx512(const float* scores,
                                                                    const float* factors,
                                                                    uint64_t count,
                                                                    float threshold) {
  const __m512 limit = _mm512_set1_ps(threshold);
  uint64_t i = 0;
  for (; i + 64 <= count; i += 64) {
    const __mmask16 any = avx512_above(scores + i, factors + i, limit) |
                          avx512_above(scores + i + 16, factors + i + 16, limit) |
                          avx512_above(scores + i + 32, factors + i + 32, limit) |
                          avx512_above(scores + i + 48, factors + i + 48, limit);
    if (any != 0) break;
  }
  for (; i < count; i += 16) {
    if (avx512_above(scores + i, factors + i, limit) != 0) return i;
  }
  return count;
}

}  // namespace varnel::top_k_kernels

#endif  // __x86_64__

// x86-64 forms of the selector's product filter: plain multiplies (the same
// rounding as the scalar one) and an ordered greater-than comparison, false
// for NaN just as the scalar filter skips NaN.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

#include "search/top_k.h"

namespace varnel::top_k_kernels {

__attribute__((target("avx2"))) uint64_t scale_to_first_above_avx2(float* scores,
                                                                   const float* factors,
                                                                   uint64_t count,
                                                                   float threshold) {
  const __m256 limit = _mm256_set1_ps(threshold);
  for (uint64_t i = 0; i < count; i += 16) {
    const __m256 low = _mm256_mul_ps(_mm256_loadu_ps(scores + i), _mm256_loadu_ps(factors + i));
    const __m256 high =
        _mm256_mul_ps(_mm256_loadu_ps(scores + i + 8), _mm256_loadu_ps(factors + i + 8));
    _mm256_storeu_ps(scores + i, low);
    _mm256_storeu_ps(scores + i + 8, high);
    const __m256 above = _mm256_or_ps(_mm256_cmp_ps(low, limit, _CMP_GT_OQ),
                                      _mm256_cmp_ps(high, limit, _CMP_GT_OQ));
    if (_mm256_movemask_ps(above) != 0) return i;
  }
  return count;
}

__attribute__((target("avx512f"))) uint64_t scale_to_first_above_avx512(float* scores,
                                                                        const float* factors,
                                                                        uint64_t count,
                                                                        float threshold) {
  const __m512 limit = _mm512_set1_ps(threshold);
  for (uint64_t i = 0; i < count; i += 16) {
    const __m512 products = _mm512_mul_ps(_mm512_loadu_ps(scores + i), _mm512_loadu_ps(factors + i));
    _mm512_storeu_ps(scores + i, products);
    if (_mm512_cmp_ps_mask(products, limit, _CMP_GT_OQ) != 0) return i;
  }
  return count;
}

}  // namespace varnel::top_k_kernels

#endif  // __x86_64__

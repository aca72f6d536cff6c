// x86-64 kernels of the cosine and L2 selector keys. Each lane runs the
// scalar formula of MetricKey: the same rounded multiplies, adds and
// divisions in the same order (never fused), its branches turned into masks,
// so every lane's key is bit-identical to the portable one.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>
#include <limits>

#include "search/metric_keys.h"

namespace varnel::key_kernels {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The lanes past the last multiple of the vector width.
void cosine_tail(float q_norm, const float* sums, const float* norms, std::size_t from,
                 std::size_t count, float* out) {
  const MetricKey key{Metric::Cosine, q_norm, 0.0f};
  for (std::size_t i = from; i < count; ++i) out[i] = key(sums[i], norms[i]);
}

void l2_tail(float q_square, const float* sums, const float* norms, std::size_t from,
             std::size_t count, float* out) {
  const MetricKey key{Metric::L2, 0.0f, q_square};
  for (std::size_t i = from; i < count; ++i) out[i] = key(sums[i], norms[i]);
}

}  // namespace

// A denominator of 0 or NaN gives 0 (the and with the comparison's all-zero
// lanes leaves +0.0, as the scalar formula returns); an infinite one divides
// by the two norms in turn, which is rare enough to be done only when a lane
// of the eight needs it.
__attribute__((target("avx2"))) void cosine_keys_avx2(float q_norm, const float* sums,
                                                      const float* norms, std::size_t count,
                                                      float* out) {
  const __m256 query = _mm256_set1_ps(q_norm), zero = _mm256_setzero_ps();
  const __m256 infinity = _mm256_set1_ps(kInfinity);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 norm = _mm256_loadu_ps(norms + i);
    const __m256 ip = _mm256_mul_ps(_mm256_loadu_ps(sums + i), norm);
    const __m256 denominator = _mm256_mul_ps(query, norm);
    const __m256 positive = _mm256_cmp_ps(denominator, zero, _CMP_GT_OQ);
    __m256 key = _mm256_and_ps(_mm256_div_ps(ip, denominator), positive);
    const __m256 overflow = _mm256_cmp_ps(denominator, infinity, _CMP_EQ_OQ);
    if (_mm256_movemask_ps(overflow) != 0) {
      key = _mm256_blendv_ps(key, _mm256_div_ps(_mm256_div_ps(ip, query), norm), overflow);
    }
    _mm256_storeu_ps(out + i, key);
  }
  cosine_tail(q_norm, sums, norms, i, count, out);
}

__attribute__((target("avx512f"))) void cosine_keys_avx512(float q_norm, const float* sums,
                                                          const float* norms, std::size_t count,
                                                          float* out) {
  const __m512 query = _mm512_set1_ps(q_norm), zero = _mm512_setzero_ps();
  const __m512 infinity = _mm512_set1_ps(kInfinity);
  for (std::size_t i = 0; i < count; i += 16) {
    const __mmask16 live = count - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (count - i)) - 1u);
    const __m512 norm = _mm512_maskz_loadu_ps(live, norms + i);
    const __m512 ip = _mm512_mul_ps(_mm512_maskz_loadu_ps(live, sums + i), norm);
    const __m512 denominator = _mm512_mul_ps(query, norm);
    const __mmask16 positive = _mm512_cmp_ps_mask(denominator, zero, _CMP_GT_OQ);
    __m512 key = _mm512_maskz_div_ps(positive, ip, denominator);
    const __mmask16 overflow = _mm512_cmp_ps_mask(denominator, infinity, _CMP_EQ_OQ);
    if (overflow != 0) key = _mm512_mask_div_ps(key, overflow, _mm512_div_ps(ip, query), norm);
    _mm512_mask_storeu_ps(out + i, live, key);
  }
}

// -(fl(q_square + fl(norm * norm)) - fl(2 ip)): the negation flips the sign
// bit only, as the scalar negation does.
__attribute__((target("avx2"))) void l2_keys_avx2(float q_square, const float* sums,
                                                  const float* norms, std::size_t count, float* out) {
  const __m256 query = _mm256_set1_ps(q_square), two = _mm256_set1_ps(2.0f);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 norm = _mm256_loadu_ps(norms + i);
    const __m256 ip = _mm256_mul_ps(_mm256_loadu_ps(sums + i), norm);
    const __m256 squares = _mm256_add_ps(query, _mm256_mul_ps(norm, norm));
    const __m256 difference = _mm256_sub_ps(squares, _mm256_mul_ps(two, ip));
    _mm256_storeu_ps(out + i, _mm256_xor_ps(difference, sign));
  }
  l2_tail(q_square, sums, norms, i, count, out);
}

__attribute__((target("avx512f"))) void l2_keys_avx512(float q_square, const float* sums,
                                                      const float* norms, std::size_t count, float* out) {
  const __m512 query = _mm512_set1_ps(q_square), two = _mm512_set1_ps(2.0f);
  const __m512i sign = _mm512_set1_epi32(INT32_MIN);
  for (std::size_t i = 0; i < count; i += 16) {
    const __mmask16 live = count - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (count - i)) - 1u);
    const __m512 norm = _mm512_maskz_loadu_ps(live, norms + i);
    const __m512 ip = _mm512_mul_ps(_mm512_maskz_loadu_ps(live, sums + i), norm);
    const __m512 squares = _mm512_add_ps(query, _mm512_mul_ps(norm, norm));
    const __m512 difference = _mm512_sub_ps(squares, _mm512_mul_ps(two, ip));
    _mm512_mask_storeu_ps(out + i, live, _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(difference), sign)));
  }
}

}  // namespace varnel::key_kernels
#endif

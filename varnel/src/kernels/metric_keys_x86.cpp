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

// The lanes past the last multiple of the vector width, by the scalar
// formula; returns whether their norms are all >= 0.
bool tail_keys(const MetricKey& key, const float* sums, const float* offset, const float* norms,
               std::size_t from, std::size_t count, float* out) {
  int negative = 0;
  for (std::size_t i = from; i < count; ++i) {
    const float sum = offset ? sums[i] + *offset : sums[i];
    negative |= !(norms[i] >= 0.0f);
    out[i] = key(sum, norms[i]);
  }
  return negative == 0;
}

#define VARNEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#define VARNEL_AVX512_INLINE __attribute__((target("avx512f"), always_inline)) inline

// A denominator of 0 or NaN gives 0 (the and with the comparison's all-zero
// lanes leaves +0.0, as the scalar formula returns); an infinite one divides
// by the two norms in turn, which is rare enough to be done only when a lane
// of the vector needs it.
VARNEL_AVX2_INLINE __m256 cosine8(__m256 sum, __m256 norm, __m256 query) {
  const __m256 ip = _mm256_mul_ps(sum, norm);
  const __m256 denominator = _mm256_mul_ps(query, norm);
  const __m256 positive = _mm256_cmp_ps(denominator, _mm256_setzero_ps(), _CMP_GT_OQ);
  const __m256 key = _mm256_and_ps(_mm256_div_ps(ip, denominator), positive);
  const __m256 overflow = _mm256_cmp_ps(denominator, _mm256_set1_ps(kInfinity), _CMP_EQ_OQ);
  if (_mm256_movemask_ps(overflow) == 0) return key;
  return _mm256_blendv_ps(key, _mm256_div_ps(_mm256_div_ps(ip, query), norm), overflow);
}

VARNEL_AVX512_INLINE __m512 cosine16(__m512 sum, __m512 norm, __m512 query) {
  const __m512 ip = _mm512_mul_ps(sum, norm);
  const __m512 denominator = _mm512_mul_ps(query, norm);
  const __mmask16 positive = _mm512_cmp_ps_mask(denominator, _mm512_setzero_ps(), _CMP_GT_OQ);
  const __m512 key = _mm512_maskz_div_ps(positive, ip, denominator);
  const __mmask16 overflow = _mm512_cmp_ps_mask(denominator, _mm512_set1_ps(kInfinity), _CMP_EQ_OQ);
  if (overflow == 0) return key;
  return _mm512_mask_div_ps(key, overflow, _mm512_div_ps(ip, query), norm);
}

// -(fl(q_square + fl(norm * norm)) - fl(2 ip)): the negation flips the sign
// bit only, as the scalar negation does.
VARNEL_AVX2_INLINE __m256 l2_8(__m256 sum, __m256 norm, __m256 query) {
  const __m256 ip = _mm256_mul_ps(sum, norm);
  const __m256 squares = _mm256_add_ps(query, _mm256_mul_ps(norm, norm));
  const __m256 difference = _mm256_sub_ps(squares, _mm256_mul_ps(_mm256_set1_ps(2.0f), ip));
  return _mm256_xor_ps(difference, _mm256_set1_ps(-0.0f));
}

VARNEL_AVX512_INLINE __m512 l2_16(__m512 sum, __m512 norm, __m512 query) {
  const __m512 ip = _mm512_mul_ps(sum, norm);
  const __m512 squares = _mm512_add_ps(query, _mm512_mul_ps(norm, norm));
  const __m512 difference = _mm512_sub_ps(squares, _mm512_mul_ps(_mm512_set1_ps(2.0f), ip));
  const __m512i sign = _mm512_set1_epi32(INT32_MIN);
  return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(difference), sign));
}

// Eight lanes at a time, the rest by the scalar formula.
template <Metric metric, bool kOffset>
VARNEL_AVX2_INLINE bool keys_avx2(const MetricKey& key, float query_value, const float* sums,
                                  const float* offset, const float* norms, std::size_t count,
                                  float* out) {
  const __m256 query = _mm256_set1_ps(query_value);
  const __m256 added = _mm256_set1_ps(kOffset ? *offset : 0.0f);
  __m256 negative = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m256 sum = _mm256_loadu_ps(sums + i);
    if (kOffset) sum = _mm256_add_ps(sum, added);
    const __m256 norm = _mm256_loadu_ps(norms + i);
    negative = _mm256_or_ps(negative, _mm256_cmp_ps(norm, _mm256_setzero_ps(), _CMP_NGE_UQ));
    _mm256_storeu_ps(out + i, metric == Metric::Cosine ? cosine8(sum, norm, query) : l2_8(sum, norm, query));
  }
  const bool tail = tail_keys(key, sums, offset, norms, i, count, out);
  return tail && _mm256_movemask_ps(negative) == 0;
}

// Sixteen lanes at a time, the last ones masked.
template <Metric metric, bool kOffset>
VARNEL_AVX512_INLINE bool keys_avx512(float query_value, const float* sums, const float* offset,
                                      const float* norms, std::size_t count, float* out) {
  const __m512 query = _mm512_set1_ps(query_value);
  const __m512 added = _mm512_set1_ps(kOffset ? *offset : 0.0f);
  __mmask16 negative = 0;
  for (std::size_t i = 0; i < count; i += 16) {
    const __mmask16 live = count - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (count - i)) - 1u);
    __m512 sum = _mm512_maskz_loadu_ps(live, sums + i);
    if (kOffset) sum = _mm512_add_ps(sum, added);
    const __m512 norm = _mm512_maskz_loadu_ps(live, norms + i);
    negative |= _mm512_mask_cmp_ps_mask(live, norm, _mm512_setzero_ps(), _CMP_NGE_UQ);
    _mm512_mask_storeu_ps(out + i, live,
                          metric == Metric::Cosine ? cosine16(sum, norm, query) : l2_16(sum, norm, query));
  }
  return negative == 0;
}

}  // namespace

__attribute__((target("avx2"))) bool cosine_keys_avx2(float q_norm, const float* sums,
                                                      const float* offset, const float* norms,
                                                      std::size_t count, float* out) {
  const MetricKey key{Metric::Cosine, q_norm, 0.0f};
  return offset ? keys_avx2<Metric::Cosine, true>(key, q_norm, sums, offset, norms, count, out)
                : keys_avx2<Metric::Cosine, false>(key, q_norm, sums, offset, norms, count, out);
}

__attribute__((target("avx512f"))) bool cosine_keys_avx512(float q_norm, const float* sums,
                                                          const float* offset, const float* norms,
                                                          std::size_t count, float* out) {
  return offset ? keys_avx512<Metric::Cosine, true>(q_norm, sums, offset, norms, count, out)
                : keys_avx512<Metric::Cosine, false>(q_norm, sums, offset, norms, count, out);
}

__attribute__((target("avx2"))) bool l2_keys_avx2(float q_square, const float* sums,
                                                  const float* offset, const float* norms,
                                                  std::size_t count, float* out) {
  const MetricKey key{Metric::L2, 0.0f, q_square};
  return offset ? keys_avx2<Metric::L2, true>(key, q_square, sums, offset, norms, count, out)
                : keys_avx2<Metric::L2, false>(key, q_square, sums, offset, norms, count, out);
}

__attribute__((target("avx512f"))) bool l2_keys_avx512(float q_square, const float* sums,
                                                      const float* offset, const float* norms,
                                                      std::size_t count, float* out) {
  return offset ? keys_avx512<Metric::L2, true>(q_square, sums, offset, norms, count, out)
                : keys_avx512<Metric::L2, false>(q_square, sums, offset, norms, count, out);
}

}  // namespace varnel::key_kernels
#endif

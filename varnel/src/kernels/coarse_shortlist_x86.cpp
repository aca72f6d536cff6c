// x86-64 kernels of the shortlist's integer sums: 8-bit centroid values
// widened to 16 bits, multiplied with the 16-bit query levels in pairs
// (vpmaddwd) and added in 32 bits. |product| <= 127 * 127 and dim < 2^17
// keep every sum exact, so the result equals the portable loop's.
#if defined(__x86_64__)
#include <immintrin.h>

#include "search/coarse_shortlist.h"

namespace varnel::shortlist_kernels {

__attribute__((target("avx2"))) void sums_avx2(const int16_t* query, const int8_t* codes, uint64_t lists,
                                               uint64_t dim, int32_t* sums) {
  for (uint64_t l = 0; l < lists; ++l) {
    const int8_t* row = codes + l * dim;
    __m256i acc = _mm256_setzero_si256();
    uint64_t j = 0;
    for (; j + 16 <= dim; j += 16) {
      const __m256i values = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j)));
      const __m256i levels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + j));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(values, levels));
    }
    __m128i half = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4e));
    half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0xb1));
    int32_t sum = _mm_cvtsi128_si32(half);
    for (; j < dim; ++j) sum += int32_t(query[j]) * int32_t(row[j]);
    sums[l] = sum;
  }
}

__attribute__((target("avx512f,avx512bw"))) void sums_avx512(const int16_t* query, const int8_t* codes,
                                                             uint64_t lists, uint64_t dim, int32_t* sums) {
  for (uint64_t l = 0; l < lists; ++l) {
    const int8_t* row = codes + l * dim;
    __m512i acc = _mm512_setzero_si512();
    uint64_t j = 0;
    for (; j + 32 <= dim; j += 32) {
      const __m512i values = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j)));
      const __m512i levels = _mm512_loadu_si512(query + j);
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(values, levels));
    }
    int32_t sum = _mm512_reduce_add_epi32(acc);
    for (; j < dim; ++j) sum += int32_t(query[j]) * int32_t(row[j]);
    sums[l] = sum;
  }
}

}  // namespace varnel::shortlist_kernels
#endif

#pragma once
// x86 pieces shared by the 4-bit scan kernels (AVX2 / AVX-512BW in
// lut_scan_x86.cpp, VBMI in lut_scan_avx512vbmi.cpp): the column chunks, the
// filter of one block, and the AVX-512 last step of a block's scores. Include
// only from files built for x86-64; each function carries its own target
// attribute (the VBMI kernels' target includes it).
#include <immintrin.h>

#include <cstdint>

#include "search/lut_scan_kernels.h"

namespace varnel::scan_kernels {

// The end of the column chunk that starts at c0 (whole chunks, then the rest).
inline uint64_t chunk_end(uint64_t c0, uint64_t columns) {
  return columns - c0 < kChunkColumns ? columns : c0 + kChunkColumns;
}

// What a filtered scan does to one block's final scores of one table.
struct BlockFilter {
  const float* factors;  // the block's 32
  float threshold;
  uint64_t* above;
  uint64_t bit;
};

// The filter of block `block` of a kernel call for table g.
inline BlockFilter block_filter(const ScoreFilter* filter, int g, uint64_t block) {
  return BlockFilter{filter->factors + block * kLanes, filter->thresholds[g], filter->above + g,
                     uint64_t{1} << block};
}

// Adds S * delta to the 32 lanes of one block from their 16-bit sums (bias
// first on the first chunk); after the last chunk of a filtered scan,
// multiplies by the factors and marks the block when a product passes the
// threshold.
template <bool kFiltered>
__attribute__((target("avx512f,avx512bw,avx2,fma"), always_inline)) inline void avx512_finish_block(
    __m512i lane_sums_u16, __m512 delta, __m512 bias, bool first_chunk, bool last_chunk, const BlockFilter& filter,
    float* lanes) {
  const __m256i halves[2] = {_mm512_castsi512_si256(lane_sums_u16), _mm512_extracti64x4_epi64(lane_sums_u16, 1)};
  __mmask16 over = 0;
  for (int h = 0; h < 2; ++h) {
    const __m512 sums = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(halves[h]));
    const __m512 acc = first_chunk ? bias : _mm512_loadu_ps(lanes + 16 * h);
    __m512 score = _mm512_fmadd_ps(sums, delta, acc);
    if (kFiltered && last_chunk) {
      score = _mm512_mul_ps(score, _mm512_loadu_ps(filter.factors + 16 * h));
      over |= _mm512_cmp_ps_mask(score, _mm512_set1_ps(filter.threshold), _CMP_GT_OQ);
    }
    _mm512_storeu_ps(lanes + 16 * h, score);
  }
  if (kFiltered && last_chunk) *filter.above |= static_cast<uint64_t>(over != 0) * filter.bit;
}

}  // namespace varnel::scan_kernels

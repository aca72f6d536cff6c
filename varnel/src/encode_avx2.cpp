// AVX2 kernels of encode. Compiled at baseline flags: each function carries
// its own target attribute and runs only after a run-time CPU check. No fused
// multiply-add anywhere: products and sums round separately, as on the
// portable path.
#include "encode_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace varnel::avx2 {

namespace {

constexpr uint64_t kLanes = 8;

// Turns eight rows of eight floats into eight columns: afterwards r[k] holds
// element k of every input row, row i in lane i.
__attribute__((target("avx2"))) void transpose_8x8(__m256 r[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Eight vectors side by side, one per lane: each lane adds its vector's
// squares one coordinate after another, exactly like the scalar loop.
__attribute__((target("avx2"))) __m256 norms_of_eight(const float* first, uint64_t dim) {
  __m256 sums = _mm256_set1_ps(-0.0f);
  for (uint64_t j = 0; j < dim; j += kLanes) {
    __m256 columns[kLanes];
    for (uint64_t i = 0; i < kLanes; ++i) columns[i] = _mm256_loadu_ps(first + i * dim + j);
    transpose_8x8(columns);
    for (uint64_t k = 0; k < kLanes; ++k) {
      const __m256 squares = _mm256_mul_ps(columns[k], columns[k]);
      sums = _mm256_add_ps(sums, squares);
    }
  }
  return _mm256_sqrt_ps(sums);
}

}  // namespace

bool supported() { return __builtin_cpu_supports("avx2"); }

__attribute__((target("avx2"))) uint64_t norms(const float* vectors, uint64_t count,
                                               uint64_t dim, float* norms_out) {
  const uint64_t done = count / kLanes * kLanes;
  for (uint64_t v = 0; v < done; v += kLanes) {
    _mm256_storeu_ps(norms_out + v, norms_of_eight(vectors + v * dim, dim));
  }
  return done;
}

__attribute__((target("avx2"))) void quantise_row(const float* row, uint64_t dim,
                                                  std::span<const float> boundaries,
                                                  uint8_t* codes) {
  for (uint64_t j = 0; j < dim; j += kLanes) {
    const __m256 values = _mm256_loadu_ps(row + j);
    __m256i count = _mm256_setzero_si256();
    for (const float boundary : boundaries) {
      // Ordered comparison: NaN is above no boundary.
      const __m256 above = _mm256_cmp_ps(values, _mm256_set1_ps(boundary), _CMP_GT_OQ);
      count = _mm256_sub_epi32(count, _mm256_castps_si256(above));
    }
    // At most 255 boundaries, so the saturating packs keep every count.
    const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(count),
                                           _mm256_extracti128_si256(count, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(codes + j), _mm_packus_epi16(words, words));
  }
}

}  // namespace varnel::avx2

#else

#include "error.h"

namespace varnel::avx2 {

bool supported() { return false; }

uint64_t norms(const float*, uint64_t, uint64_t, float*) {
  throw Error("AVX2 encode kernels are not built for this CPU");
}

void quantise_row(const float*, uint64_t, std::span<const float>, uint8_t*) {
  throw Error("AVX2 encode kernels are not built for this CPU");
}

}  // namespace varnel::avx2

#endif

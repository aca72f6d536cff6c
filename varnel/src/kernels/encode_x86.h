#pragma once
// x86 pieces shared by the AVX2 and AVX-512 encode kernels: moving eight
// vectors' coordinates into lanes, and bit planes out of nibble codes back to
// packed rows. Include only from files built for x86-64; every function has
// its own target attribute (AVX2, which the AVX-512 kernels include).
#include <immintrin.h>

#include <cstdint>

#define VARNEL_AVX2 __attribute__((target("avx2")))
#define VARNEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace varnel::encode_x86 {

constexpr uint64_t kLanes = 8;

// Turns eight rows of eight floats into eight columns: afterwards r[k] holds
// element k of every input row, row i in lane i.
VARNEL_AVX2_INLINE void transpose_8x8(__m256 r[8]) {
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

// The same for 32-bit integers.
VARNEL_AVX2_INLINE void transpose_8x8(__m256i r[8]) {
  __m256 f[8];
  for (uint64_t i = 0; i < kLanes; ++i) f[i] = _mm256_castsi256_ps(r[i]);
  transpose_8x8(f);
  for (uint64_t i = 0; i < kLanes; ++i) r[i] = _mm256_castps_si256(f[i]);
}

// Coordinates 0..7 of eight vectors that lie `stride` floats apart, as
// eight columns: columns[k] holds coordinate k of vector i in lane i. Each
// 128-bit half is a 4x4 transpose of its own; the halves are paired as they
// are loaded, which is far cheaper than moving data across them afterwards.
VARNEL_AVX2_INLINE void load_columns(const float* first, uint64_t stride, __m256 columns[8]) {
  for (uint64_t half = 0; half < 2; ++half) {
    __m256 r[4];
    for (uint64_t i = 0; i < 4; ++i) {
      const float* low = first + i * stride + 4 * half;
      const float* high = first + (i + 4) * stride + 4 * half;
      r[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high), 1);
    }
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t2 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    __m256* out = columns + 4 * half;
    out[0] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
    out[1] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
    out[2] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
    out[3] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
  }
}

// Swaps the bits selected by `mask` with those `delta` places higher.
template <int Delta>
VARNEL_AVX2_INLINE __m256i swap_bits(__m256i x, __m256i mask) {
  const __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi32(x, Delta), x), mask);
  return _mm256_xor_si256(_mm256_xor_si256(x, t), _mm256_slli_epi32(t, Delta));
}

// Codes of at most 4 bits, side by side as nibbles, to bit planes: byte p
// then holds bit p of every code, the code of coordinate k at bit 7 - k.
// With q = 7 - k, coordinate k sits in nibble 4*q1 + 2*q0 + q2, so bit p of
// its code is at bit index (q1 q0 q2 p1 p0) and belongs at (p1 p0 q2 q1 q0):
// two exchanges of index bits, bit 1 with bit 4 and bit 0 with bit 3.
VARNEL_AVX2_INLINE __m256i nibbles_to_planes(__m256i nibbles) {
  nibbles = swap_bits<14>(nibbles, _mm256_set1_epi32(0x0000CCCC));
  return swap_bits<7>(nibbles, _mm256_set1_epi32(0x00AA00AA));
}

// The coordinate of each nibble for nibbles_to_planes, highest nibble first.
constexpr uint64_t kCoordinateByNibble[kLanes] = {0, 4, 1, 5, 2, 6, 3, 7};


// Plane words of eight consecutive groups of eight coordinates (words[s]:
// group s, lane i = vector i, byte p = plane p) to the packed rows of the
// first `lanes` vectors: out + i * Bits * plane_bytes + p * plane_bytes gets
// the eight bytes of plane p. The words are transposed so that each vector's
// eight bytes of a plane leave in one store.
template <uint64_t Bits>
VARNEL_AVX2_INLINE void store_plane_words(__m256i words[8], uint64_t lanes, uint64_t plane_bytes,
                                          uint8_t* out) {
  // Within each 128-bit half: from (group, plane) byte order to (plane, group).
  const __m256i plane_major =
      _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                       0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m256i halves_together = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const uint64_t row_bytes = Bits * plane_bytes;
  transpose_8x8(words);
  for (uint64_t i = 0; i < lanes; ++i) {
    // 64-bit part p: plane p of the eight groups of vector i.
    const __m256i planes = _mm256_permutevar8x32_epi32(
        _mm256_shuffle_epi8(words[i], plane_major), halves_together);
    const __m128i low = _mm256_castsi256_si128(planes);
    const __m128i high = _mm256_extracti128_si256(planes, 1);
    const __m128i parts[4] = {low, _mm_unpackhi_epi64(low, low), high,
                              _mm_unpackhi_epi64(high, high)};
    for (uint64_t p = 0; p < Bits; ++p) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i * row_bytes + p * plane_bytes),
                       parts[p]);
    }
  }
}

}  // namespace varnel::encode_x86

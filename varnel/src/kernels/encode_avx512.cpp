// AVX-512 kernels of encode: sixteen vectors per pass, one per lane, each
// lane doing exactly the scalar operations in the scalar order (no fused
// multiply-add; products and sums round separately). The working rows are
// held coordinate-major, as in the AVX2 kernel; what AVX-512 adds is twice
// the lanes per instruction, comparisons into mask registers, and a 16-entry
// float permute that holds every boundary of a 4-bit codebook, so that each
// level of the bisection is one permute, one comparison and one masked add.
//
// Compiled at baseline flags; every function carries its own target
// attribute and runs only after the run-time CPU check.
#include "quantize/encode_kernels.h"

#if defined(__x86_64__)
// GCC 12 reports the deliberately undefined inputs inside several AVX-512
// intrinsics as maybe-uninitialized; the warning points into the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "kernels/encode_x86.h"
#include "runtime/cpu.h"

#define VARNEL_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512dq,avx2,fma"
#define VARNEL_AVX512 __attribute__((target(VARNEL_AVX512_TARGET)))
#define VARNEL_AVX512_INLINE __attribute__((target(VARNEL_AVX512_TARGET), always_inline)) inline

namespace varnel::avx512 {

namespace {

using encode_x86::kCoordinateByNibble;
using encode_x86::store_plane_words;

constexpr uint64_t kLanes = 16;
constexpr uint64_t kHalf = 8;
constexpr uint64_t kMaxSearchBits = 4;

// Coordinates j..j+7 of sixteen vectors `stride` floats apart: columns[k]
// holds coordinate k of vector i in lane i (vectors 0-7 through the AVX2
// transpose into the low half, 8-15 into the high half).
VARNEL_AVX512_INLINE void load_columns(const float* first, uint64_t stride, __m512 columns[8]) {
  __m256 low[8], high[8];
  encode_x86::load_columns(first, stride, low);
  encode_x86::load_columns(first + kHalf * stride, stride, high);
  for (uint64_t k = 0; k < 8; ++k) {
    columns[k] = _mm512_insertf32x8(_mm512_castps256_ps512(low[k]), high[k], 1);
  }
}

// Norms of sixteen vectors and their (unscaled) coordinates as working rows,
// each lane summing its squares in coordinate order. `next`, if not null, is
// the next group's vectors, fetched into the second-level cache meanwhile.
VARNEL_AVX512 __m512 norms_and_rows(const float* first, uint64_t dim, const float* next,
                                    __m512* rows) {
  __m512 sums = _mm512_set1_ps(-0.0f);
  for (uint64_t j = 0; j < dim; j += 8) {
    if (next != nullptr) {
      // 16 * dim floats over dim / 8 steps: eight cache lines per step.
      const char* ahead = reinterpret_cast<const char*>(next) + 64 * j;
      for (uint64_t line = 0; line < 8; ++line) _mm_prefetch(ahead + 64 * line, _MM_HINT_T1);
    }
    __m512 columns[8];
    load_columns(first + j, dim, columns);
    for (uint64_t k = 0; k < 8; ++k) {
      rows[j + k] = columns[k];
      const __m512 squares = _mm512_mul_ps(columns[k], columns[k]);
      sums = _mm512_add_ps(sums, squares);
    }
  }
  return _mm512_sqrt_ps(sums);
}

// 1/norm where the norm passes the threshold, else 0 (NaN fails it too).
VARNEL_AVX512 __m512 reciprocals(__m512 norms) {
  const __mmask16 usable = _mm512_cmp_ps_mask(norms, _mm512_set1_ps(kMinEncodeNorm), _CMP_GT_OQ);
  return _mm512_maskz_div_ps(usable, _mm512_set1_ps(1.0f), norms);
}

VARNEL_AVX512_INLINE void butterfly(__m512& a, __m512& b) {
  const __m512 sum = _mm512_add_ps(a, b);
  b = _mm512_sub_ps(a, b);
  a = sum;
}

VARNEL_AVX512_INLINE void butterflies_of_eight(__m512 r[8]) {
  butterfly(r[0], r[1]), butterfly(r[2], r[3]), butterfly(r[4], r[5]), butterfly(r[6], r[7]);
  butterfly(r[0], r[2]), butterfly(r[1], r[3]), butterfly(r[4], r[6]), butterfly(r[5], r[7]);
  butterfly(r[0], r[4]), butterfly(r[1], r[5]), butterfly(r[2], r[6]), butterfly(r[3], r[7]);
}

// The Walsh-Hadamard stage without its final scaling (see the AVX2 kernel:
// the same butterflies on the same inputs, independent pairs visited in
// another order). Rows enter unscaled; the first pass applies 1/norm and
// the signs, in that order.
VARNEL_AVX512 void walsh_hadamard(__m512* rows, uint64_t n, __m512 inv, const float* signs) {
  for (uint64_t start = 0; start < n; start += 8) {
    __m512 r[8];
    for (uint64_t k = 0; k < 8; ++k) {
      const __m512 unit = _mm512_mul_ps(rows[start + k], inv);
      r[k] = _mm512_mul_ps(unit, _mm512_set1_ps(signs[start + k]));
    }
    butterflies_of_eight(r);
    for (uint64_t k = 0; k < 8; ++k) rows[start + k] = r[k];
  }
  uint64_t h = 8;
  for (; 8 * h <= n; h *= 8) {
    for (uint64_t start = 0; start < n; start += 8 * h) {
      for (uint64_t j = start; j < start + h; ++j) {
        __m512 r[8];
        for (uint64_t k = 0; k < 8; ++k) r[k] = rows[j + k * h];
        butterflies_of_eight(r);
        for (uint64_t k = 0; k < 8; ++k) rows[j + k * h] = r[k];
      }
    }
  }
  for (; h < n; h *= 2) {
    for (uint64_t start = 0; start < n; start += 2 * h) {
      for (uint64_t j = start; j < start + h; ++j) butterfly(rows[j], rows[j + h]);
    }
  }
}

// Scaling by `factor`, then y_i = (m_i0 x_0 + m_i1 x_1) + ..., each product
// rounded before it is added (the leading 0 + of the scalar loop only sets
// the sign of a zero, which no boundary comparison sees).
template <uint64_t B>
VARNEL_AVX512 void rotate_blocks(const float* m, uint64_t n_blocks, __m512 factor, __m512* rows) {
  for (uint64_t k = 0; k < n_blocks; ++k, m += B * B, rows += B) {
    __m512 x[B];
    for (uint64_t j = 0; j < B; ++j) x[j] = _mm512_mul_ps(rows[j], factor);
    for (uint64_t i = 0; i < B; ++i) {
      __m512 sum = _mm512_mul_ps(_mm512_set1_ps(m[i * B]), x[0]);
      for (uint64_t j = 1; j < B; ++j) {
        const __m512 product = _mm512_mul_ps(_mm512_set1_ps(m[i * B + j]), x[j]);
        sum = _mm512_add_ps(sum, product);
      }
      rows[i] = sum;
    }
  }
}

VARNEL_AVX512 void scale_and_rotate(std::span<const float> matrices, uint64_t block, uint64_t dim,
                                    uint64_t padded_dim, __m512 factor, __m512* rows) {
  const uint64_t n_blocks = std::min(matrices.size() / (block * block), padded_dim / block);
  switch (block) {
    case 1: rotate_blocks<1>(matrices.data(), n_blocks, factor, rows); break;
    case 2: rotate_blocks<2>(matrices.data(), n_blocks, factor, rows); break;
    case 3: rotate_blocks<3>(matrices.data(), n_blocks, factor, rows); break;
    default: rotate_blocks<4>(matrices.data(), n_blocks, factor, rows); break;
  }
  for (uint64_t j = n_blocks * block; j < dim; ++j) rows[j] = _mm512_mul_ps(rows[j], factor);
}

bool ascending(std::span<const float> boundaries) {
  for (uint64_t i = 0; i < boundaries.size(); ++i) {
    if (std::isnan(boundaries[i])) return false;
    if (i > 0 && !(boundaries[i - 1] <= boundaries[i])) return false;
  }
  return true;
}

// The code of x as the number of boundaries below it. For ascending
// boundaries without NaN that set is a prefix, found by bisection: the code
// grows by `step` where x lies above boundary code + step - 1, steps halving
// from 2^(bits-1). All boundaries (at most 15) sit in one register. NaN
// compares false everywhere and keeps code 0.
struct Quantiser {
  __m512 table;   // boundaries, padded
  __m512 middle;  // the first level's boundary, broadcast
};

template <uint64_t Bits>
VARNEL_AVX512_INLINE __m512i bisect(__m512 x, const Quantiser& q) {
  constexpr int kTop = 1 << (Bits - 1);
  const __mmask16 above = _mm512_cmp_ps_mask(x, q.middle, _CMP_GT_OQ);
  __m512i code = _mm512_maskz_mov_epi32(above, _mm512_set1_epi32(kTop));
#pragma GCC unroll 4
  for (int step = kTop / 2; step >= 1; step /= 2) {
    const __m512i index = _mm512_add_epi32(code, _mm512_set1_epi32(step - 1));
    const __m512 boundary = _mm512_permutexvar_ps(index, q.table);
    const __mmask16 higher = _mm512_cmp_ps_mask(x, boundary, _CMP_GT_OQ);
    code = _mm512_mask_add_epi32(code, higher, code, _mm512_set1_epi32(step));
  }
  return code;
}

// The same count for any boundaries, by comparing with every one of them.
VARNEL_AVX512_INLINE __m512i count_below(__m512 x, std::span<const float> boundaries) {
  __m512i count = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi32(1);
  for (const float boundary : boundaries) {
    const __mmask16 above = _mm512_cmp_ps_mask(x, _mm512_set1_ps(boundary), _CMP_GT_OQ);
    count = _mm512_mask_add_epi32(count, above, count, one);
  }
  return count;
}

template <int Delta>
VARNEL_AVX512_INLINE __m512i swap_bits(__m512i x, __m512i mask) {
  const __m512i t = _mm512_and_si512(_mm512_xor_si512(_mm512_srli_epi32(x, Delta), x), mask);
  return _mm512_xor_si512(_mm512_xor_si512(x, t), _mm512_slli_epi32(t, Delta));
}

// Nibble codes to bit planes, as encode_x86::nibbles_to_planes.
VARNEL_AVX512_INLINE __m512i nibbles_to_planes(__m512i nibbles) {
  nibbles = swap_bits<14>(nibbles, _mm512_set1_epi32(0x0000CCCC));
  return swap_bits<7>(nibbles, _mm512_set1_epi32(0x00AA00AA));
}

// Plane bytes of the group of eight coordinates starting at rows[0]: lane i,
// byte p gets bit p of vector i's codes, coordinate k at bit 7 - k.
template <uint64_t Bits, bool Bisect>
VARNEL_AVX512_INLINE __m512i group_planes(const __m512* rows, const Quantiser& q,
                                          std::span<const float> boundaries) {
  __m512i word = _mm512_setzero_si512();
  for (const uint64_t k : kCoordinateByNibble) {
    const __m512i code = Bisect ? bisect<Bits>(rows[k], q) : count_below(rows[k], boundaries);
    word = _mm512_or_si512(_mm512_slli_epi32(word, 4), code);
  }
  return nibbles_to_planes(word);
}

// Quantises rows [0, dim) and writes the packed rows of the first `lanes`
// vectors, eight groups at a time through the AVX2 store of plane words,
// once for each half of the lanes.
template <uint64_t Bits, bool Bisect>
VARNEL_AVX512 void quantise_and_pack(const __m512* rows, uint64_t dim, const Quantiser& q,
                                     std::span<const float> boundaries, uint64_t lanes,
                                     uint8_t* out) {
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = Bits * plane_bytes;
  const uint64_t low_lanes = std::min(lanes, kHalf);
  const uint64_t high_lanes = lanes - low_lanes;
  uint64_t g = 0;
  for (; g + 8 <= plane_bytes; g += 8) {
    __m256i low[8], high[8];
    for (uint64_t s = 0; s < 8; ++s) {
      const __m512i words = group_planes<Bits, Bisect>(rows + (g + s) * 8, q, boundaries);
      low[s] = _mm512_castsi512_si256(words);
      high[s] = _mm512_extracti64x4_epi64(words, 1);
    }
    store_plane_words<Bits>(low, low_lanes, plane_bytes, out + g);
    if (high_lanes > 0) {
      store_plane_words<Bits>(high, high_lanes, plane_bytes, out + kHalf * row_bytes + g);
    }
  }
  for (; g < plane_bytes; ++g) {
    alignas(64) uint32_t words[kLanes];
    _mm512_store_si512(words, group_planes<Bits, Bisect>(rows + g * 8, q, boundaries));
    for (uint64_t i = 0; i < lanes; ++i) {
      for (uint64_t p = 0; p < Bits; ++p) {
        out[i * row_bytes + p * plane_bytes + g] = static_cast<uint8_t>(words[i] >> (8 * p));
      }
    }
  }
}

// Codes wider than a nibble (no index uses them): counted against every
// boundary and packed one vector at a time.
VARNEL_AVX512 void quantise_and_pack_wide(const __m512* rows, uint64_t dim,
                                          std::span<const float> boundaries, uint64_t bits,
                                          uint64_t lanes, uint8_t* out) {
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = bits * plane_bytes;
  for (uint64_t g = 0; g < plane_bytes; ++g) {
    alignas(64) uint32_t codes[8][kLanes];  // [coordinate k][vector i]
    for (uint64_t k = 0; k < 8; ++k) {
      _mm512_store_si512(codes[k], count_below(rows[g * 8 + k], boundaries));
    }
    for (uint64_t i = 0; i < lanes; ++i) {
      for (uint64_t p = 0; p < bits; ++p) {
        unsigned byte = 0;
        for (uint64_t k = 0; k < 8; ++k) byte |= ((codes[k][i] >> p) & 1u) << (7 - k);
        out[i * row_bytes + p * plane_bytes + g] = static_cast<uint8_t>(byte);
      }
    }
  }
}

using PackFn = void (*)(const __m512*, uint64_t, const Quantiser&, std::span<const float>,
                        uint64_t, uint8_t*);

template <bool Bisect>
PackFn narrow_packer(uint64_t bits) {
  switch (bits) {
    case 1: return quantise_and_pack<1, Bisect>;
    case 2: return quantise_and_pack<2, Bisect>;
    case 3: return quantise_and_pack<3, Bisect>;
    default: return quantise_and_pack<4, Bisect>;
  }
}

VARNEL_AVX512 Quantiser make_quantiser(std::span<const float> boundaries, uint64_t bits) {
  alignas(64) float table[kLanes] = {};
  std::copy(boundaries.begin(), boundaries.end(), table);
  const float middle = boundaries[(uint64_t{1} << (bits - 1)) - 1];
  return Quantiser{_mm512_load_ps(table), _mm512_set1_ps(middle)};
}

// Working rows of sixteen lanes, 64-byte aligned.
class Rows {
 public:
  explicit Rows(uint64_t count) : floats_(count * kLanes + kLanes) {}
  __m512* get() {
    void* start = floats_.data();
    std::size_t space = floats_.size() * sizeof(float);
    return static_cast<__m512*>(std::align(64, sizeof(float) * kLanes, start, space));
  }

 private:
  std::vector<float> floats_;
};

}  // namespace

bool supported() {
  const CpuFeatures& f = cpu_features();
  return f.avx512f && f.avx512bw && f.avx512vl && f.avx512dq && f.avx2;
}

VARNEL_AVX512 void encode_vectors(const EncodeJob& job, const float* vectors, uint64_t count,
                                  float* norms_out, uint8_t* packed_out) {
  const uint64_t dim = job.dim;
  const uint64_t row_bytes = job.bits * (dim / 8);
  const bool narrow = job.bits <= kMaxSearchBits;
  const bool bisect = narrow && ascending(job.boundaries);
  const Quantiser quantiser = narrow ? make_quantiser(job.boundaries, job.bits) : Quantiser{};
  const PackFn pack = !narrow ? nullptr : bisect ? narrow_packer<true>(job.bits)
                                                 : narrow_packer<false>(job.bits);
  const float* signs = job.signs.empty() ? nullptr : job.signs.data();

  Rows storage(job.padded_dim);
  __m512* rows = storage.get();
  std::unique_ptr<float[]> ragged;  // the last vectors, padded with zero vectors to sixteen
  for (uint64_t first = 0; first < count; first += kLanes) {
    const uint64_t lanes = std::min(kLanes, count - first);
    const float* group = vectors + first * dim;
    if (lanes < kLanes) {
      ragged.reset(new float[kLanes * dim]());
      std::copy(group, group + lanes * dim, ragged.get());
      group = ragged.get();
    }
    alignas(64) float norms[kLanes];
    const float* next = count - first >= 2 * kLanes ? group + kLanes * dim : nullptr;
    const __m512 lane_norms = norms_and_rows(group, dim, next, rows);
    _mm512_store_ps(norms, lane_norms);
    std::copy(norms, norms + lanes, norms_out + first);
    for (uint64_t j = dim; j < job.padded_dim; ++j) rows[j] = _mm512_setzero_ps();

    __m512 factor = reciprocals(lane_norms);
    if (signs != nullptr) {
      walsh_hadamard(rows, dim, factor, signs);
      factor = _mm512_set1_ps(1.0f / std::sqrt(static_cast<float>(dim)));
    }
    scale_and_rotate(job.matrices, job.block, dim, job.padded_dim, factor, rows);
    uint8_t* out = packed_out + first * row_bytes;
    if (narrow) {
      pack(rows, dim, quantiser, job.boundaries, lanes, out);
    } else {
      quantise_and_pack_wide(rows, dim, job.boundaries, job.bits, lanes, out);
    }
  }
}

}  // namespace varnel::avx512

#pragma GCC diagnostic pop

#else

#include "runtime/error.h"

namespace varnel::avx512 {

bool supported() { return false; }

void encode_vectors(const EncodeJob&, const float*, uint64_t, float*, uint8_t*) {
  throw Error("AVX-512 encode kernels are not built for this CPU");
}

}  // namespace varnel::avx512

#endif

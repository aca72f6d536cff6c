// AVX2 kernels of encode. Compiled at baseline flags: each function carries
// its own target attribute and runs only after a run-time CPU check. No fused
// multiply-add anywhere: products and sums round separately, as on the
// portable path.
//
// Eight vectors travel together, one per lane, through every step: the
// working rows are held coordinate-major (row j holds coordinate j of all
// eight), so the scalar algorithm runs unchanged in each lane and nothing is
// ever summed across lanes.
#include "quantize/encode_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/encode_x86.h"
#include "runtime/cpu.h"

namespace varnel::avx2 {

namespace {

using encode_x86::kCoordinateByNibble;
using encode_x86::kLanes;
using encode_x86::load_columns;
using encode_x86::nibbles_to_planes;
using encode_x86::store_plane_words;
using encode_x86::transpose_8x8;
constexpr uint64_t kMaxSearchBits = 4;

// The norms of eight vectors, and their coordinates as working rows (still
// unscaled: the scaling travels with the next step that reads them). Each
// lane adds its vector's squares one coordinate after another, exactly like
// the scalar loop.
//
// `next`, if not null, is the next group's eight vectors (8 * dim floats),
// fetched into the second-level cache meanwhile. The hardware prefetchers
// follow eight interleaved streams poorly: at dim 128 this was worth about
// half again as many vectors per second.
VARNEL_AVX2 __m256 norms_and_rows(const float* first, uint64_t dim, const float* next,
                                  __m256* rows) {
  __m256 sums = _mm256_set1_ps(-0.0f);
  for (uint64_t j = 0; j < dim; j += kLanes) {
    if (next != nullptr) {
      // 8 * dim floats over dim / 8 steps: four cache lines per step.
      const char* ahead = reinterpret_cast<const char*>(next) + 32 * j;
      for (uint64_t line = 0; line < 4; ++line) _mm_prefetch(ahead + 64 * line, _MM_HINT_T1);
    }
    __m256 columns[kLanes];
    load_columns(first + j, dim, columns);
    for (uint64_t k = 0; k < kLanes; ++k) {
      rows[j + k] = columns[k];
      const __m256 squares = _mm256_mul_ps(columns[k], columns[k]);
      sums = _mm256_add_ps(sums, squares);
    }
  }
  return _mm256_sqrt_ps(sums);
}

// 1/norm where the norm passes the threshold, else 0; a NaN norm fails the
// ordered comparison and also gives 0.
VARNEL_AVX2 __m256 reciprocals(__m256 norms) {
  const __m256 usable = _mm256_cmp_ps(norms, _mm256_set1_ps(kMinEncodeNorm), _CMP_GT_OQ);
  return _mm256_and_ps(usable, _mm256_div_ps(_mm256_set1_ps(1.0f), norms));
}

VARNEL_AVX2 inline void butterfly(__m256& a, __m256& b) {
  const __m256 sum = _mm256_add_ps(a, b);
  b = _mm256_sub_ps(a, b);
  a = sum;
}

// Butterflies of spans 1, 2 and 4 on eight rows held in registers (written
// out: the compiler keeps loops over them in memory).
VARNEL_AVX2 inline void butterflies_of_eight(__m256 r[8]) {
  butterfly(r[0], r[1]), butterfly(r[2], r[3]), butterfly(r[4], r[5]), butterfly(r[6], r[7]);
  butterfly(r[0], r[2]), butterfly(r[1], r[3]), butterfly(r[4], r[6]), butterfly(r[5], r[7]);
  butterfly(r[0], r[4]), butterfly(r[1], r[5]), butterfly(r[2], r[6]), butterfly(r[3], r[7]);
}

// The Walsh-Hadamard stage on rows [0, n), n a power of two and at least 8,
// without its final scaling by 1/sqrt(n), which the rotation applies. Rows
// enter unscaled: scaling to unit length and the sign flips happen as the
// first pass loads them, in that order, as in the scalar code.
//
// Three spans at a time run on eight rows held in registers (rows h apart
// for span h). Every butterfly is the same pair of operations on the same
// inputs as in the stage-by-stage scalar loop; only the order of visiting
// independent pairs changes, which changes no value.
VARNEL_AVX2 void walsh_hadamard(__m256* rows, uint64_t n, __m256 inv, const float* signs) {
  for (uint64_t start = 0; start < n; start += 8) {
    __m256 r[8];
    for (uint64_t k = 0; k < 8; ++k) {
      const __m256 unit = _mm256_mul_ps(rows[start + k], inv);
      r[k] = _mm256_mul_ps(unit, _mm256_set1_ps(signs[start + k]));
    }
    butterflies_of_eight(r);
    for (uint64_t k = 0; k < 8; ++k) rows[start + k] = r[k];
  }
  uint64_t h = 8;
  for (; 8 * h <= n; h *= 8) {
    for (uint64_t start = 0; start < n; start += 8 * h) {
      for (uint64_t j = start; j < start + h; ++j) {
        __m256 r[8];
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

// Each row is first multiplied by `factor`, the scaling still owed to it
// (1/norm, or 1/sqrt(dim) after the Walsh-Hadamard stage); then
// y_i = ((0 + m_i0 x_0) + m_i1 x_1) + ..., each product rounded before it is
// added, all y from the old x: the scalar block rotation, lane by lane.
// The leading 0 + is left out: it changes nothing but the sign of a zero
// (0 + -0 = +0), and rotated rows are only compared with boundaries here,
// where +0 and -0 are equal. Padding rows are zero and stay zero under a
// finite non-negative factor.
template <uint64_t B>
VARNEL_AVX2 void rotate_blocks(const float* m, uint64_t n_blocks, __m256 factor, __m256* rows) {
  for (uint64_t k = 0; k < n_blocks; ++k, m += B * B, rows += B) {
    __m256 x[B];
    for (uint64_t j = 0; j < B; ++j) x[j] = _mm256_mul_ps(rows[j], factor);
    for (uint64_t i = 0; i < B; ++i) {
      __m256 sum = _mm256_mul_ps(_mm256_set1_ps(m[i * B]), x[0]);
      for (uint64_t j = 1; j < B; ++j) {
        const __m256 product = _mm256_mul_ps(_mm256_set1_ps(m[i * B + j]), x[j]);
        sum = _mm256_add_ps(sum, product);
      }
      rows[i] = sum;
    }
  }
}

// Scales and rotates rows [0, dim). Rows past the last block the matrices
// cover are only scaled.
VARNEL_AVX2 void scale_and_rotate(std::span<const float> matrices, uint64_t block, uint64_t dim,
                                  uint64_t padded_dim, __m256 factor, __m256* rows) {
  const uint64_t n_blocks = std::min(matrices.size() / (block * block), padded_dim / block);
  switch (block) {
    case 1: rotate_blocks<1>(matrices.data(), n_blocks, factor, rows); break;
    case 2: rotate_blocks<2>(matrices.data(), n_blocks, factor, rows); break;
    case 3: rotate_blocks<3>(matrices.data(), n_blocks, factor, rows); break;
    default: rotate_blocks<4>(matrices.data(), n_blocks, factor, rows); break;
  }
  for (uint64_t j = n_blocks * block; j < dim; ++j) rows[j] = _mm256_mul_ps(rows[j], factor);
}

// Ascending boundaries without NaN: then "boundary below the value" holds
// for a prefix of them, and the count is found by bisection, one ordered
// comparison per code bit, top bit first. Level l has settled the top l bits
// c of the code and compares with boundary (2c + 1) * 2^(bits-1-l) - 1;
// levels[l][c] holds it. NaN compares false everywhere and takes code 0.
struct Bisection {
  float levels[kMaxSearchBits][kLanes] = {};
};

bool ascending(std::span<const float> boundaries) {
  for (uint64_t i = 0; i < boundaries.size(); ++i) {
    if (std::isnan(boundaries[i])) return false;
    if (i > 0 && !(boundaries[i - 1] <= boundaries[i])) return false;
  }
  return true;
}

Bisection make_bisection(std::span<const float> boundaries, uint64_t bits) {
  Bisection b;
  for (uint64_t level = 0; level < bits; ++level) {
    const uint64_t step = uint64_t{1} << (bits - 1 - level);
    for (uint64_t c = 0; c < (uint64_t{1} << level); ++c) {
      b.levels[level][c] = boundaries[(2 * c + 1) * step - 1];
    }
  }
  return b;
}

// Hides a constant from the compiler, which otherwise rebuilds it from
// immediates at every use instead of keeping it in a register or memory.
VARNEL_AVX2_INLINE __m256i opaque(__m256i v) {
  asm("" : "+x"(v));
  return v;
}

// The bisection's boundaries as the lookups want them (as float bits: masks
// and boundaries stay in integer registers, since mixing the two vector
// types in the logic makes the compiler spill masks to memory).
//
// Level 1 chooses between two boundaries by a masked XOR,
// low ^ (mask & (low ^ high)). Levels 2 and 3 look up by permute, indexed by
// the comparison masks themselves: with masks of -1, index = 2*index + mask
// is minus the settled bits c, whose low three bits are (8 - c) mod 8, so
// the tables hold levels[l][c] at that place.
struct BisectionRegs {
  __m256 middle;
  __m256i low_half, halves_xor, quarters, eighths;
  __m256i code_bit[kLanes][2];  // bit 8p + 7 - k: coordinate k, plane p (one or two bits)
};

VARNEL_AVX2 __m256i float_bits(float value) { return _mm256_castps_si256(_mm256_set1_ps(value)); }

VARNEL_AVX2 __m256i permute_table(const float* settled, uint64_t count) {
  alignas(32) float table[kLanes] = {};
  for (uint64_t c = 0; c < count; ++c) table[(kLanes - c) % kLanes] = settled[c];
  return _mm256_castps_si256(_mm256_load_ps(table));
}

// The same for the in-lane permute, four places repeated in both halves.
VARNEL_AVX2 __m256i lane_permute_table(const float* settled) {
  alignas(32) float table[kLanes] = {};
  for (uint64_t c = 0; c < 4; ++c) table[(4 - c) % 4] = table[4 + (4 - c) % 4] = settled[c];
  return _mm256_castps_si256(_mm256_load_ps(table));
}

VARNEL_AVX2 void load_bisection(const Bisection& b, BisectionRegs& r) {
  r.middle = _mm256_set1_ps(b.levels[0][0]);
  r.low_half = float_bits(b.levels[1][0]);
  r.halves_xor = _mm256_xor_si256(r.low_half, float_bits(b.levels[1][1]));
  r.quarters = lane_permute_table(b.levels[2]);
  r.eighths = permute_table(b.levels[3], 8);
  for (uint64_t k = 0; k < kLanes; ++k) {
    for (uint64_t p = 0; p < 2; ++p) {
      r.code_bit[k][p] = opaque(_mm256_set1_epi32(static_cast<int32_t>(1u << (8 * p + 7 - k))));
    }
  }
}

// low where mask is clear, low ^ difference where it is set.
VARNEL_AVX2_INLINE __m256i choose(__m256i mask, __m256i low, __m256i difference) {
  return _mm256_xor_si256(low, _mm256_and_si256(mask, difference));
}

// All ones where x is above the boundary (given as float bits).
VARNEL_AVX2_INLINE __m256i above(__m256 x, __m256i boundary) {
  return _mm256_castps_si256(_mm256_cmp_ps(x, _mm256_castsi256_ps(boundary), _CMP_GT_OQ));
}

// Minus the code of x (NaN: 0) for 3 or 4 bits.
template <uint64_t Bits>
VARNEL_AVX2_INLINE __m256i minus_code(__m256 x, const BisectionRegs& t) {
  const __m256i m0 = above(x, _mm256_castps_si256(t.middle));
  const __m256i m1 = above(x, choose(m0, t.low_half, t.halves_xor));
  const __m256i index2 = _mm256_add_epi32(_mm256_add_epi32(m0, m0), m1);
  const __m256i m2 = above(
      x, _mm256_castps_si256(_mm256_permutevar_ps(_mm256_castsi256_ps(t.quarters), index2)));
  const __m256i index3 = _mm256_add_epi32(_mm256_add_epi32(index2, index2), m2);
  if constexpr (Bits == 3) {
    return index3;
  } else {
    const __m256i m3 = above(x, _mm256_permutevar8x32_epi32(t.eighths, index3));
    return _mm256_add_epi32(_mm256_add_epi32(index3, index3), m3);
  }
}

// Bit planes of one group of eight coordinates x[0..7]: lane i, byte p gets
// bit p of the code of vector i, coordinate k at bit 7 - k.
//
// Up to 2 bits, each comparison mask is one code bit and goes straight to its
// place. From 3 bits, the codes come out of the permute indices and are
// gathered as nibbles, coordinates in decreasing nibble place, by shifting
// the word left by four before each.
template <uint64_t Bits>
VARNEL_AVX2_INLINE __m256i bisect_group(const __m256* x, const BisectionRegs& t) {
  __m256i word = _mm256_setzero_si256();
  if constexpr (Bits <= 2) {
#pragma GCC unroll 8
    for (uint64_t k = 0; k < kLanes; ++k) {
      const __m256i m0 = above(x[k], _mm256_castps_si256(t.middle));
      word = _mm256_or_si256(word, _mm256_and_si256(m0, t.code_bit[k][Bits - 1]));
      if constexpr (Bits == 2) {
        const __m256i m1 = above(x[k], choose(m0, t.low_half, t.halves_xor));
        word = _mm256_or_si256(word, _mm256_and_si256(m1, t.code_bit[k][0]));
      }
      // Otherwise the compiler regroups the ORs to the end of the group and
      // keeps every mask alive until then, spilling them to memory.
      word = opaque(word);
    }
    return word;
  } else {
#pragma GCC unroll 8
    for (uint64_t s = 0; s < kLanes; ++s) {
      const __m256i shifted = _mm256_slli_epi32(word, 4);
      word = _mm256_sub_epi32(shifted, minus_code<Bits>(x[kCoordinateByNibble[s]], t));
    }
    return nibbles_to_planes(word);
  }
}

// The same count for any boundaries, by comparing with every one of them.
VARNEL_AVX2 inline __m256i count_below(__m256 x, std::span<const float> boundaries) {
  __m256i count = _mm256_setzero_si256();
  for (const float boundary : boundaries) {
    const __m256 above = _mm256_cmp_ps(x, _mm256_set1_ps(boundary), _CMP_GT_OQ);
    count = _mm256_sub_epi32(count, _mm256_castps_si256(above));
  }
  return count;
}

// Plane bytes of the group of eight coordinates starting at rows[0].
template <uint64_t Bits, bool Bisect>
VARNEL_AVX2_INLINE __m256i group_planes(const __m256* rows, const BisectionRegs& regs,
                                        std::span<const float> boundaries) {
  if constexpr (Bisect) {
    return bisect_group<Bits>(rows, regs);
  } else {
    __m256i word = _mm256_setzero_si256();
    for (const uint64_t k : kCoordinateByNibble) {
      word = _mm256_add_epi32(_mm256_slli_epi32(word, 4), count_below(rows[k], boundaries));
    }
    return nibbles_to_planes(word);
  }
}

// Quantises rows [0, dim) and writes the packed rows of the first `lanes`
// vectors (row i at out + i * Bits * dim/8). Eight groups at a time, the
// plane words are transposed so that each vector gets eight consecutive
// bytes of every plane in one store.
template <uint64_t Bits, bool Bisect>
VARNEL_AVX2 void quantise_and_pack(const __m256* rows, uint64_t dim, const Bisection& bisection,
                                   std::span<const float> boundaries, uint64_t lanes,
                                   uint8_t* out) {
  BisectionRegs regs;
  load_bisection(bisection, regs);
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = Bits * plane_bytes;
  uint64_t g = 0;
  for (; g + kLanes <= plane_bytes; g += kLanes) {
    __m256i words[kLanes];
    for (uint64_t s = 0; s < kLanes; ++s) {
      words[s] = group_planes<Bits, Bisect>(rows + (g + s) * kLanes, regs, boundaries);
    }
    store_plane_words<Bits>(words, lanes, plane_bytes, out + g);
  }
  for (; g < plane_bytes; ++g) {
    alignas(32) uint32_t words[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words),
                       group_planes<Bits, Bisect>(rows + g * kLanes, regs, boundaries));
    for (uint64_t i = 0; i < lanes; ++i) {
      for (uint64_t p = 0; p < Bits; ++p) {
        out[i * row_bytes + p * plane_bytes + g] = static_cast<uint8_t>(words[i] >> (8 * p));
      }
    }
  }
}

// Codes wider than a nibble: counted against every boundary and packed one
// vector at a time. No index uses them; they are here so that every width
// encode accepts gives the same bytes on every path.
VARNEL_AVX2 void quantise_and_pack_wide(const __m256* rows, uint64_t dim,
                                        std::span<const float> boundaries, uint64_t bits,
                                        uint64_t lanes, uint8_t* out) {
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = bits * plane_bytes;
  for (uint64_t g = 0; g < plane_bytes; ++g) {
    alignas(32) uint32_t codes[kLanes][kLanes];  // [coordinate k][vector i]
    for (uint64_t k = 0; k < kLanes; ++k) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(codes[k]),
                         count_below(rows[g * kLanes + k], boundaries));
    }
    for (uint64_t i = 0; i < lanes; ++i) {
      for (uint64_t p = 0; p < bits; ++p) {
        unsigned byte = 0;
        for (uint64_t k = 0; k < kLanes; ++k) byte |= ((codes[k][i] >> p) & 1u) << (7 - k);
        out[i * row_bytes + p * plane_bytes + g] = static_cast<uint8_t>(byte);
      }
    }
  }
}

using PackFn = void (*)(const __m256*, uint64_t, const Bisection&, std::span<const float>,
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

// Working rows of eight lanes, 32-byte aligned.
class Rows {
 public:
  explicit Rows(uint64_t count) : floats_(count * kLanes + kLanes) {}
  __m256* get() {
    void* start = floats_.data();
    std::size_t space = floats_.size() * sizeof(float);
    return static_cast<__m256*>(std::align(32, sizeof(float) * kLanes, start, space));
  }

 private:
  std::vector<float> floats_;
};

}  // namespace

bool supported() { return cpu_features().avx2; }

VARNEL_AVX2 void encode_vectors(const EncodeJob& job, const float* vectors, uint64_t count,
                                float* norms_out, uint8_t* packed_out) {
  const uint64_t dim = job.dim;
  const uint64_t row_bytes = job.bits * (dim / 8);
  const bool narrow = job.bits <= kMaxSearchBits;
  const bool bisect = narrow && ascending(job.boundaries);
  const Bisection bisection = bisect ? make_bisection(job.boundaries, job.bits) : Bisection{};
  const PackFn pack = !narrow ? nullptr : bisect ? narrow_packer<true>(job.bits)
                                                 : narrow_packer<false>(job.bits);
  const float* signs = job.signs.empty() ? nullptr : job.signs.data();

  Rows storage(job.padded_dim);
  __m256* rows = storage.get();
  std::unique_ptr<float[]> ragged;  // the last vectors, padded with zero vectors to eight
  for (uint64_t first = 0; first < count; first += kLanes) {
    const uint64_t lanes = std::min(kLanes, count - first);
    const float* group = vectors + first * dim;
    if (lanes < kLanes) {
      ragged.reset(new float[kLanes * dim]());
      std::copy(group, group + lanes * dim, ragged.get());
      group = ragged.get();
    }
    alignas(32) float norms[kLanes];
    const float* next = count - first >= 2 * kLanes ? group + kLanes * dim : nullptr;
    const __m256 lane_norms = norms_and_rows(group, dim, next, rows);
    _mm256_store_ps(norms, lane_norms);
    std::copy(norms, norms + lanes, norms_out + first);
    for (uint64_t j = dim; j < job.padded_dim; ++j) rows[j] = _mm256_setzero_ps();

    __m256 factor = reciprocals(lane_norms);
    if (signs != nullptr) {
      walsh_hadamard(rows, dim, factor, signs);
      factor = _mm256_set1_ps(1.0f / std::sqrt(static_cast<float>(dim)));
    }
    scale_and_rotate(job.matrices, job.block, dim, job.padded_dim, factor, rows);
    uint8_t* out = packed_out + first * row_bytes;
    if (narrow) {
      pack(rows, dim, bisection, job.boundaries, lanes, out);
    } else {
      quantise_and_pack_wide(rows, dim, job.boundaries, job.bits, lanes, out);
    }
  }
}

}  // namespace varnel::avx2

#else

#include "runtime/error.h"

namespace varnel::avx2 {

bool supported() { return false; }

void encode_vectors(const EncodeJob&, const float*, uint64_t, float*, uint8_t*) {
  throw Error("AVX2 encode kernels are not built for this CPU");
}

}  // namespace varnel::avx2

#endif

// AVX2 kernels of encode. Compiled at baseline flags: each function carries
// its own target attribute and runs only after a run-time CPU check. No fused
// multiply-add anywhere: products and sums round separately, as on the
// portable path.
//
// Eight vectors travel together, one per lane, through every step: the
// working rows are held coordinate-major (row j holds coordinate j of all
// eight), so the scalar algorithm runs unchanged in each lane and nothing is
// ever summed across lanes.
#include "encode_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#define VARNEL_AVX2 __attribute__((target("avx2")))

namespace varnel::avx2 {

namespace {

constexpr uint64_t kLanes = 8;
constexpr uint64_t kMaxSearchBits = 4;

// Turns eight rows of eight floats into eight columns: afterwards r[k] holds
// element k of every input row, row i in lane i.
VARNEL_AVX2 void transpose_8x8(__m256 r[8]) {
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

VARNEL_AVX2 void transpose_8x8(__m256i r[8]) {
  __m256 f[8];
  for (uint64_t i = 0; i < kLanes; ++i) f[i] = _mm256_castsi256_ps(r[i]);
  transpose_8x8(f);
  for (uint64_t i = 0; i < kLanes; ++i) r[i] = _mm256_castps_si256(f[i]);
}

// Each lane adds its vector's squares one coordinate after another, exactly
// like the scalar loop.
VARNEL_AVX2 __m256 norms_of_eight(const float* first, uint64_t dim) {
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

// 1/norm where the norm passes the threshold, else 0; a NaN norm fails the
// ordered comparison and also gives 0.
VARNEL_AVX2 __m256 reciprocals(__m256 norms) {
  const __m256 usable = _mm256_cmp_ps(norms, _mm256_set1_ps(kMinEncodeNorm), _CMP_GT_OQ);
  return _mm256_and_ps(usable, _mm256_div_ps(_mm256_set1_ps(1.0f), norms));
}

// rows[j] = coordinate j of the eight vectors times their reciprocals (and
// times sign j when the Walsh-Hadamard stage follows: that is its first
// step, done here to save a pass). The padding rows are zero.
VARNEL_AVX2 void load_scaled(const float* first, uint64_t dim, uint64_t padded_dim, __m256 inv,
                             const float* signs, __m256* rows) {
  for (uint64_t j = 0; j < dim; j += kLanes) {
    __m256 columns[kLanes];
    for (uint64_t i = 0; i < kLanes; ++i) columns[i] = _mm256_loadu_ps(first + i * dim + j);
    transpose_8x8(columns);
    for (uint64_t k = 0; k < kLanes; ++k) {
      __m256 scaled = _mm256_mul_ps(columns[k], inv);
      if (signs != nullptr) scaled = _mm256_mul_ps(scaled, _mm256_set1_ps(signs[j + k]));
      rows[j + k] = scaled;
    }
  }
  for (uint64_t j = dim; j < padded_dim; ++j) rows[j] = _mm256_setzero_ps();
}

// One butterfly stage of span h on rows [start, start + 2h).
VARNEL_AVX2 inline void butterflies(__m256* rows, uint64_t h) {
  for (uint64_t j = 0; j < h; ++j) {
    const __m256 a = rows[j];
    const __m256 b = rows[j + h];
    rows[j] = _mm256_add_ps(a, b);
    rows[j + h] = _mm256_sub_ps(a, b);
  }
}

// The rest of the Walsh-Hadamard stage on rows [0, n), n a power of two (the
// signs were applied by load_scaled): the unnormalised transform, then the
// scaling. The first three spans run on eight rows held in registers; each
// butterfly is the same pair of operations on the same inputs as in the
// stage-by-stage scalar loop, so only the visiting order differs.
VARNEL_AVX2 void walsh_hadamard(__m256* rows, uint64_t n) {
  uint64_t h = 1;
  if (n >= 8) {
    for (uint64_t start = 0; start < n; start += 8) {
      __m256 r[8];
      for (uint64_t k = 0; k < 8; ++k) r[k] = rows[start + k];
      for (uint64_t span = 1; span < 8; span *= 2) {
        for (uint64_t base = 0; base < 8; base += 2 * span) butterflies(r + base, span);
      }
      for (uint64_t k = 0; k < 8; ++k) rows[start + k] = r[k];
    }
    h = 8;
  }
  for (; h < n; h *= 2) {
    for (uint64_t start = 0; start < n; start += 2 * h) butterflies(rows + start, h);
  }
  const __m256 scale = _mm256_set1_ps(1.0f / std::sqrt(static_cast<float>(n)));
  for (uint64_t j = 0; j < n; ++j) rows[j] = _mm256_mul_ps(rows[j], scale);
}

// y_i = ((0 + m_i0 x_0) + m_i1 x_1) + ..., each product rounded before it is
// added, all y from the old x: the scalar block rotation, lane by lane.
template <uint64_t B>
VARNEL_AVX2 void rotate_blocks(const float* m, uint64_t n_blocks, __m256* rows) {
  for (uint64_t k = 0; k < n_blocks; ++k, m += B * B, rows += B) {
    __m256 x[B];
    for (uint64_t j = 0; j < B; ++j) x[j] = rows[j];
    for (uint64_t i = 0; i < B; ++i) {
      __m256 sum = _mm256_setzero_ps();
      for (uint64_t j = 0; j < B; ++j) {
        const __m256 product = _mm256_mul_ps(_mm256_set1_ps(m[i * B + j]), x[j]);
        sum = _mm256_add_ps(sum, product);
      }
      rows[i] = sum;
    }
  }
}

VARNEL_AVX2 void rotate(std::span<const float> matrices, uint64_t block, uint64_t padded_dim,
                        __m256* rows) {
  const uint64_t n_blocks = std::min(matrices.size() / (block * block), padded_dim / block);
  switch (block) {
    case 1: return rotate_blocks<1>(matrices.data(), n_blocks, rows);
    case 2: return rotate_blocks<2>(matrices.data(), n_blocks, rows);
    case 3: return rotate_blocks<3>(matrices.data(), n_blocks, rows);
    default: return rotate_blocks<4>(matrices.data(), n_blocks, rows);
  }
}

// Ascending boundaries without NaN: then "boundary below the value" holds
// for a prefix of them, and the count is found by bisection. Level l of the
// bisection has settled the top l bits of the code, c; it compares with
// boundary (2c + 1) * 2^(bits-1-l) - 1, looked up by c in table l.
struct Bisection {
  float tables[kMaxSearchBits][kLanes] = {};
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
      b.tables[level][c] = boundaries[(2 * c + 1) * step - 1];
    }
  }
  return b;
}

// The number of boundaries strictly below each lane's value, for ascending
// boundaries. Each ordered comparison is one bit of the code, top bit first;
// NaN compares false everywhere and takes code 0.
template <uint64_t Bits>
VARNEL_AVX2 inline __m256i bisect(__m256 x, const __m256 tables[]) {
  __m256i code = _mm256_setzero_si256();
  for (uint64_t level = 0; level < Bits; ++level) {
    const __m256 boundary =
        level == 0 ? tables[0] : _mm256_permutevar8x32_ps(tables[level], code);
    const __m256i above = _mm256_castps_si256(_mm256_cmp_ps(x, boundary, _CMP_GT_OQ));
    code = _mm256_sub_epi32(_mm256_add_epi32(code, code), above);
  }
  return code;
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

// Swaps the bits selected by `mask` with those `delta` places higher.
template <int Delta>
VARNEL_AVX2 inline __m256i swap_bits(__m256i x, __m256i mask) {
  const __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi32(x, Delta), x), mask);
  return _mm256_xor_si256(_mm256_xor_si256(x, t), _mm256_slli_epi32(t, Delta));
}

// Codes (at most 4 bits) of coordinates k = 0..7 of a group of eight, per
// lane, to the group's byte in each bit plane: lane i gets byte p = the plane
// p byte of vector i, coordinate k at bit 7 - k. The codes are first laid
// side by side as nibbles in an order chosen so that two bit swaps finish the
// transpose: nibble position s of code k, with q = 7 - k, is
// 4*q1 + 2*q0 + q2, which puts code bit p of coordinate k at bit
// 16*p1 + 8*p0 + ... before and at 8*p + q after.
VARNEL_AVX2 inline __m256i nibbles_to_planes(const __m256i c[8]) {
  __m256i w = _mm256_or_si256(_mm256_slli_epi32(c[0], 28), _mm256_slli_epi32(c[1], 20));
  w = _mm256_or_si256(w, _mm256_or_si256(_mm256_slli_epi32(c[2], 12), _mm256_slli_epi32(c[3], 4)));
  w = _mm256_or_si256(w, _mm256_or_si256(_mm256_slli_epi32(c[4], 24), _mm256_slli_epi32(c[5], 16)));
  w = _mm256_or_si256(w, _mm256_or_si256(_mm256_slli_epi32(c[6], 8), c[7]));
  w = swap_bits<14>(w, _mm256_set1_epi32(0x0000CCCC));
  return swap_bits<7>(w, _mm256_set1_epi32(0x00AA00AA));
}

// Plane bytes of the group of eight coordinates starting at rows[0].
template <uint64_t Bits, bool Bisect>
VARNEL_AVX2 inline __m256i group_planes(const __m256* rows, const __m256 tables[],
                                        std::span<const float> boundaries) {
  __m256i codes[kLanes];
  for (uint64_t k = 0; k < kLanes; ++k) {
    codes[k] = Bisect ? bisect<Bits>(rows[k], tables) : count_below(rows[k], boundaries);
  }
  return nibbles_to_planes(codes);
}

// Quantises rows [0, dim) and writes the packed rows of the first `lanes`
// vectors (row i at out + i * Bits * dim/8). Eight groups at a time, the
// plane words are transposed so that each vector gets eight consecutive
// bytes of every plane in one store.
template <uint64_t Bits, bool Bisect>
VARNEL_AVX2 void quantise_and_pack(const __m256* rows, uint64_t dim, const Bisection& bisection,
                                   std::span<const float> boundaries, uint64_t lanes,
                                   uint8_t* out) {
  __m256 tables[kMaxSearchBits];
  for (uint64_t level = 0; level < kMaxSearchBits; ++level) {
    tables[level] = _mm256_loadu_ps(bisection.tables[level]);
  }
  tables[0] = _mm256_set1_ps(bisection.tables[0][0]);
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = Bits * plane_bytes;
  // Within each 128-bit half: from (group, plane) byte order to (plane, group).
  const __m256i plane_major =
      _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                       0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m256i halves_together = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  uint64_t g = 0;
  for (; g + kLanes <= plane_bytes; g += kLanes) {
    __m256i words[kLanes];
    for (uint64_t s = 0; s < kLanes; ++s) {
      words[s] = group_planes<Bits, Bisect>(rows + (g + s) * kLanes, tables, boundaries);
    }
    transpose_8x8(words);
    for (uint64_t i = 0; i < lanes; ++i) {
      // 64-bit part p: plane p of groups g .. g+7 of vector i.
      const __m256i planes = _mm256_permutevar8x32_epi32(
          _mm256_shuffle_epi8(words[i], plane_major), halves_together);
      const __m128i low = _mm256_castsi256_si128(planes);
      const __m128i high = _mm256_extracti128_si256(planes, 1);
      uint8_t* dst = out + i * row_bytes + g;
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), low);
      if constexpr (Bits > 1) _mm_storeh_pd(reinterpret_cast<double*>(dst + plane_bytes), _mm_castsi128_pd(low));
      if constexpr (Bits > 2) _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * plane_bytes), high);
      if constexpr (Bits > 3) _mm_storeh_pd(reinterpret_cast<double*>(dst + 3 * plane_bytes), _mm_castsi128_pd(high));
    }
  }
  for (; g < plane_bytes; ++g) {
    alignas(32) uint32_t words[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words),
                       group_planes<Bits, Bisect>(rows + g * kLanes, tables, boundaries));
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

bool supported() { return __builtin_cpu_supports("avx2"); }

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
    const __m256 lane_norms = norms_of_eight(group, dim);
    _mm256_store_ps(norms, lane_norms);
    std::copy(norms, norms + lanes, norms_out + first);

    load_scaled(group, dim, job.padded_dim, reciprocals(lane_norms), signs, rows);
    if (signs != nullptr) walsh_hadamard(rows, dim);
    rotate(job.matrices, job.block, job.padded_dim, rows);
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

#include "error.h"

namespace varnel::avx2 {

bool supported() { return false; }

void encode_vectors(const EncodeJob&, const float*, uint64_t, float*, uint8_t*) {
  throw Error("AVX2 encode kernels are not built for this CPU");
}

}  // namespace varnel::avx2

#endif

// x86-64 kernels of the 4-bit scan: AVX2 (32 lanes of one block per pass)
// and AVX-512BW (two blocks per pass). Every function here carries its own
// target attribute, so the file builds at baseline flags and none of this code
// runs unless the dispatcher has seen the CPU support it.
//
// Per column and query: two 16-entry byte shuffles (high and low nibbles),
// one byte add (each table byte is at most 127, so the pair fits a byte), and
// a widening into 16-bit counters done as two word adds: `word_sums` adds the
// byte pair as one word (even lane + 256 * odd lane, modulo 2^16) and
// `odd_sums` adds the odd lane alone. At the end of a chunk the even lane is
// recovered as word_sums - 256 * odd_sums, exact because it is below 2^16.
#if defined(__x86_64__)

// GCC 12 reports the deliberately undefined inputs inside several AVX-512
// intrinsics as maybe-uninitialized; the warning points into the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/lut_scan_x86.h"
#include "search/lut_scan_kernels.h"

#define VARNEL_AVX2 __attribute__((target("avx2,fma")))
#define VARNEL_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline
#define VARNEL_AVX512 __attribute__((target("avx512f,avx512bw,avx2,fma")))
#define VARNEL_AVX512_INLINE \
  __attribute__((target("avx512f,avx512bw,avx2,fma"), always_inline)) inline

namespace varnel::scan_kernels {

namespace {

constexpr uint64_t kTableRowBytes = 16;
constexpr uint64_t kColumnTableBytes = 2 * kTableRowBytes;

// ---- AVX2 ----

VARNEL_AVX2_INLINE __m256i avx2_broadcast_row(const uint8_t* row) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
}

// Adds S * delta to the 32 lanes of one block (bias first on the first chunk);
// after the last chunk of a filtered scan, multiplies by the factors and
// marks the block when a product passes the threshold.
template <bool kFiltered>
VARNEL_AVX2_INLINE void avx2_finish_chunk(__m256i word_sums, __m256i odd_sums, const TableView& table,
                                          bool first_chunk, bool last_chunk,
                                          const BlockFilter& filter, float* lanes) {
  const __m256i even_sums = _mm256_sub_epi16(word_sums, _mm256_slli_epi16(odd_sums, 8));
  const __m256i lanes_0_7_16_23 = _mm256_unpacklo_epi16(even_sums, odd_sums);
  const __m256i lanes_8_15_24_31 = _mm256_unpackhi_epi16(even_sums, odd_sums);
  const __m128i eighths[4] = {
      _mm256_castsi256_si128(lanes_0_7_16_23), _mm256_castsi256_si128(lanes_8_15_24_31),
      _mm256_extracti128_si256(lanes_0_7_16_23, 1), _mm256_extracti128_si256(lanes_8_15_24_31, 1)};
  const __m256 delta = _mm256_set1_ps(table.delta);
  __m256 over = _mm256_setzero_ps();
  for (int q = 0; q < 4; ++q) {
    const __m256 sums = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(eighths[q]));
    const __m256 acc = first_chunk ? _mm256_set1_ps(table.bias) : _mm256_loadu_ps(lanes + 8 * q);
    __m256 score = _mm256_fmadd_ps(sums, delta, acc);
    if (kFiltered && last_chunk) {
      score = _mm256_mul_ps(score, _mm256_loadu_ps(filter.factors + 8 * q));
      over = _mm256_or_ps(over, _mm256_cmp_ps(score, _mm256_set1_ps(filter.threshold), _CMP_GT_OQ));
    }
    _mm256_storeu_ps(lanes + 8 * q, score);
  }
  if (kFiltered && last_chunk) {
    *filter.above |= static_cast<uint64_t>(_mm256_movemask_ps(over) != 0) * filter.bit;
  }
}

// One column of one query: two lookups, their byte sum, and the widening.
VARNEL_AVX2_INLINE void avx2_column(const uint8_t* rows, __m256i high, __m256i low, __m256i& word_sums,
                                    __m256i& odd_sums) {
  const __m256i pair =
      _mm256_add_epi8(_mm256_shuffle_epi8(avx2_broadcast_row(rows), high),
                      _mm256_shuffle_epi8(avx2_broadcast_row(rows + kTableRowBytes), low));
  word_sums = _mm256_add_epi16(word_sums, pair);
  odd_sums = _mm256_add_epi16(odd_sums, _mm256_srli_epi16(pair, 8));
}

// Four queries, written out: with the counters in arrays GCC copied every
// counter to a new register each column and spilled one, about a third of
// the loop's instructions. The empty asm pins the eight counters to
// registers across iterations.
template <bool kFiltered>
VARNEL_AVX2 void avx2_scan4(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                            uint64_t columns, float* out, std::size_t out_stride,
                            const ScoreFilter* filter) {
  const uint64_t block_bytes = columns * kLanes;
  const uint8_t* t0 = tables[0].bytes;
  const uint8_t* t1 = tables[1].bytes;
  const uint8_t* t2 = tables[2].bytes;
  const uint8_t* t3 = tables[3].bytes;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    const uint8_t* codes = blocks + b * block_bytes;
    for (uint64_t c0 = 0; c0 < columns; c0 += kChunkColumns) {
      const uint64_t c1 = chunk_end(c0, columns);
      __m256i w0 = _mm256_setzero_si256(), w1 = w0, w2 = w0, w3 = w0;
      __m256i o0 = w0, o1 = w0, o2 = w0, o3 = w0;
      for (uint64_t c = c0; c < c1; ++c) {
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + c * kLanes));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
        const __m256i low = _mm256_and_si256(x, nibble);
        const uint64_t offset = c * kColumnTableBytes;
        avx2_column(t0 + offset, high, low, w0, o0);
        avx2_column(t1 + offset, high, low, w1, o1);
        avx2_column(t2 + offset, high, low, w2, o2);
        avx2_column(t3 + offset, high, low, w3, o3);
        asm("" : "+x"(w0), "+x"(w1), "+x"(w2), "+x"(w3), "+x"(o0), "+x"(o1), "+x"(o2), "+x"(o3));
      }
      const __m256i words[4] = {w0, w1, w2, w3};
      const __m256i odds[4] = {o0, o1, o2, o3};
      for (int g = 0; g < 4; ++g) {
        avx2_finish_chunk<kFiltered>(words[g], odds[g], tables[g], c0 == 0, c1 == columns,
                                     kFiltered ? block_filter(filter, g, b) : BlockFilter{},
                                     out + g * out_stride + b * kLanes);
      }
    }
  }
}

template <int G, bool kFiltered>
VARNEL_AVX2 void avx2_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                           uint64_t columns, float* out, std::size_t out_stride,
                           const ScoreFilter* filter) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const uint64_t block_bytes = columns * kLanes;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    const uint8_t* codes = blocks + b * block_bytes;
    for (uint64_t c0 = 0; c0 < columns; c0 += kChunkColumns) {
      const uint64_t c1 = chunk_end(c0, columns);
      __m256i word_sums[G];
      __m256i odd_sums[G];
      for (int g = 0; g < G; ++g) word_sums[g] = odd_sums[g] = _mm256_setzero_si256();
      for (uint64_t c = c0; c < c1; ++c) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + c * kLanes));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
        const __m256i low = _mm256_and_si256(x, nibble);
        for (int g = 0; g < G; ++g) {
          avx2_column(tables[g].bytes + c * kColumnTableBytes, high, low, word_sums[g], odd_sums[g]);
        }
      }
      for (int g = 0; g < G; ++g) {
        avx2_finish_chunk<kFiltered>(word_sums[g], odd_sums[g], tables[g], c0 == 0,
                                     c1 == columns,
                                     kFiltered ? block_filter(filter, g, b) : BlockFilter{},
                                     out + g * out_stride + b * kLanes);
      }
    }
  }
}

// ---- AVX-512BW ----

// permutex2var word indices that gather block k's 32 lanes in order from
// (even_sums, odd_sums): word i of either register covers lanes 2i, 2i+1 of
// block i / 16; index bit 5 selects odd_sums.
struct LaneOrder {
  alignas(64) uint16_t index[32];
};

constexpr LaneOrder lane_order(int block) {
  LaneOrder order{};
  for (int v = 0; v < 32; ++v) order.index[v] = static_cast<uint16_t>((v & 1) * 32 + block * 16 + v / 2);
  return order;
}

constexpr LaneOrder kBlockLaneOrder[2] = {lane_order(0), lane_order(1)};

VARNEL_AVX512_INLINE __m512i avx512_broadcast_row(const uint8_t* row) {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
}

VARNEL_AVX512_INLINE __m512i avx512_load_block_pair(const uint8_t* first, const uint8_t* second) {
  const __m256i low_half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
  const __m256i high_half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second));
  return _mm512_inserti64x4(_mm512_castsi256_si512(low_half), high_half, 1);
}

// Adds S * delta to the lanes of the first block and, if present, the second
// (blocks `block` and `block` + 1 of the kernel call).
template <bool kFiltered>
VARNEL_AVX512_INLINE void avx512_finish_chunk(__m512i word_sums, __m512i odd_sums,
                                              const TableView& table, bool first_chunk,
                                              bool last_chunk, bool has_second,
                                              const ScoreFilter* filter, int g, uint64_t block,
                                              float* lanes) {
  const __m512i even_sums = _mm512_sub_epi16(word_sums, _mm512_slli_epi16(odd_sums, 8));
  const __m512 delta = _mm512_set1_ps(table.delta);
  const __m512 bias = _mm512_set1_ps(table.bias);
  for (int k = 0; k < (has_second ? 2 : 1); ++k) {
    const __m512i order = _mm512_load_si512(kBlockLaneOrder[k].index);
    avx512_finish_block<kFiltered>(_mm512_permutex2var_epi16(even_sums, order, odd_sums), delta,
                                   bias, first_chunk, last_chunk,
                                   kFiltered ? block_filter(filter, g, block + k) : BlockFilter{},
                                   lanes + k * kLanes);
  }
}

template <int G, bool kFiltered>
VARNEL_AVX512 void avx512_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                               uint64_t columns, float* out, std::size_t out_stride,
                               const ScoreFilter* filter) {
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const uint64_t block_bytes = columns * kLanes;
  for (uint64_t b = 0; b < n_blocks; b += 2) {
    const uint8_t* first = blocks + b * block_bytes;
    const bool has_second = b + 1 < n_blocks;
    // A lone last block is scored twice over; only its first copy is kept.
    const uint8_t* second = has_second ? first + block_bytes : first;
    for (uint64_t c0 = 0; c0 < columns; c0 += kChunkColumns) {
      const uint64_t c1 = chunk_end(c0, columns);
      __m512i word_sums[G];
      __m512i odd_sums[G];
      for (int g = 0; g < G; ++g) word_sums[g] = odd_sums[g] = _mm512_setzero_si512();
      for (uint64_t c = c0; c < c1; ++c) {
        const __m512i x = avx512_load_block_pair(first + c * kLanes, second + c * kLanes);
        const __m512i high = _mm512_and_si512(_mm512_srli_epi16(x, 4), nibble);
        const __m512i low = _mm512_and_si512(x, nibble);
        for (int g = 0; g < G; ++g) {
          const uint8_t* rows = tables[g].bytes + c * kColumnTableBytes;
          const __m512i pair = _mm512_add_epi8(
              _mm512_shuffle_epi8(avx512_broadcast_row(rows), high),
              _mm512_shuffle_epi8(avx512_broadcast_row(rows + kTableRowBytes), low));
          word_sums[g] = _mm512_add_epi16(word_sums[g], pair);
          odd_sums[g] = _mm512_add_epi16(odd_sums[g], _mm512_srli_epi16(pair, 8));
        }
      }
      for (int g = 0; g < G; ++g) {
        avx512_finish_chunk<kFiltered>(word_sums[g], odd_sums[g], tables[g], c0 == 0,
                                       c1 == columns, has_second, filter, g, b,
                                       out + g * out_stride + b * kLanes);
      }
    }
  }
}

template <bool kFiltered>
VARNEL_AVX2 void avx2_group(const TableView* tables, std::size_t g, const uint8_t* blocks,
                            uint64_t n_blocks, uint64_t columns, float* out,
                            std::size_t out_stride, const ScoreFilter* filter) {
  if constexpr (kFiltered) {
    for (std::size_t t = 0; t < g; ++t) filter->above[t] = 0;
  }
  switch (g) {
    case 1: return avx2_scan<1, kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
    case 2: return avx2_scan<2, kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
    case 3: return avx2_scan<3, kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
    default: return avx2_scan4<kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
  }
}

template <bool kFiltered>
VARNEL_AVX512 void avx512_group(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                uint64_t n_blocks, uint64_t columns, float* out,
                                std::size_t out_stride, const ScoreFilter* filter) {
  if constexpr (kFiltered) {
    for (std::size_t t = 0; t < g; ++t) filter->above[t] = 0;
  }
  switch (g) {
    case 1: return avx512_scan<1, kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
    case 2: return avx512_scan<2, kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
    case 3: return avx512_scan<3, kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
    default: return avx512_scan<4, kFiltered>(tables, blocks, n_blocks, columns, out, out_stride, filter);
  }
}

}  // namespace

VARNEL_AVX2 void scan_group_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                 uint64_t n_blocks, uint64_t columns, float* out,
                                 std::size_t out_stride) {
  avx2_group<false>(tables, g, blocks, n_blocks, columns, out, out_stride, nullptr);
}

VARNEL_AVX2 void scan_group_filtered_avx2(const TableView* tables, std::size_t g,
                                          const uint8_t* blocks, uint64_t n_blocks,
                                          uint64_t columns, const ScoreFilter& filter, float* out,
                                          std::size_t out_stride) {
  avx2_group<true>(tables, g, blocks, n_blocks, columns, out, out_stride, &filter);
}

VARNEL_AVX512 void scan_group_avx512(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                     uint64_t n_blocks, uint64_t columns, float* out,
                                     std::size_t out_stride) {
  avx512_group<false>(tables, g, blocks, n_blocks, columns, out, out_stride, nullptr);
}

VARNEL_AVX512 void scan_group_filtered_avx512(const TableView* tables, std::size_t g,
                                              const uint8_t* blocks, uint64_t n_blocks,
                                              uint64_t columns, const ScoreFilter& filter,
                                              float* out, std::size_t out_stride) {
  avx512_group<true>(tables, g, blocks, n_blocks, columns, out, out_stride, &filter);
}

}  // namespace varnel::scan_kernels

#pragma GCC diagnostic pop

#endif  // __x86_64__

// AVX-512 VBMI kernel of the 4-bit scan: two columns of one block per
// 512-bit register, looked up with vpermb.
//
// The 64 bytes of columns c and c+1 of a block are contiguous (32 vectors
// each), and so are the query's table rows for them: high and low row of c,
// then of c+1. vpermb looks a byte up in all 64 table bytes, so one lookup
// serves both columns once bits 4-5 of each index pick the row: no table
// broadcast, no merging of two blocks into one register.
//
// Per column pair, block and query: two vpermb (high and low nibbles), one
// byte add (table bytes are at most 127, so a pair fits a byte) and the
// widening into 16-bit counters as two word adds and a shift (word_sums adds
// even lane + 256 * odd lane modulo 2^16, odd_sums the odd lane alone). At the
// end of a chunk the two columns' halves are added (at most 128 columns each,
// so the sum stays below 2^16) and the even lanes recovered as
// word_sums - 256 * odd_sums.
//
// What limits it on AMD Zen 4 (bench_instructions): a 512-bit op occupies
// one of the four vector pipes for two cycles, byte permutes and shifts run
// on two of them only. The six ops per query and register above take three
// cycles, the index preparation shared by the group (one shift, two ternary
// logic ops) adds 3/G; everything else (loads, the float step once per chunk)
// is small. That is about 3.4 cycles per (query, vector) pair at dim 128.
#if defined(__x86_64__)

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "search/lut_scan_kernels.h"

#define VARNEL_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi,avx2,fma")))
#define VARNEL_VBMI_INLINE \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx2,fma"), always_inline)) inline

namespace varnel::scan_kernels {

namespace {

constexpr uint64_t kPairBytes = 2 * kLanes;  // two columns of one block
constexpr uint64_t kPairTableBytes = 64;     // table rows of two columns

// Word indices that put 32 lanes in vector order from [even sums | odd sums]
// (16 words each: word i holds vectors 2i and 2i + 1).
struct WordOrder {
  alignas(64) uint16_t index[32];
};

constexpr WordOrder vector_order() {
  WordOrder order{};
  for (int v = 0; v < 32; ++v) order.index[v] = static_cast<uint16_t>((v & 1) * 16 + v / 2);
  return order;
}

constexpr WordOrder kVectorOrder = vector_order();

// Row selectors for bits 4-5 of the indices: the first 32 lanes read the
// rows of column c (bytes 0-31 of the 64), the last 32 those of c + 1.
struct RowSelect {
  __m512i high;  // 0x00 | 0x20
  __m512i low;   // 0x10 | 0x30
  __m512i nibble;
};

VARNEL_VBMI_INLINE RowSelect row_select() {
  const __m512i second_half = _mm512_maskz_set1_epi8(0xFFFFFFFF00000000ull, 0x20);
  return RowSelect{second_half, _mm512_or_si512(second_half, _mm512_set1_epi8(0x10)),
                   _mm512_set1_epi8(0x0F)};
}

// (a & b) | c
constexpr int kAndOr = 0xEA;

struct PairIndices {
  __m512i high, low;
};

VARNEL_VBMI_INLINE PairIndices pair_indices(const uint8_t* codes, const RowSelect& s) {
  const __m512i x = _mm512_loadu_si512(codes);
  return PairIndices{
      _mm512_ternarylogic_epi32(_mm512_srli_epi16(x, 4), s.nibble, s.high, kAndOr),
      _mm512_ternarylogic_epi32(x, s.nibble, s.low, kAndOr)};
}

VARNEL_VBMI_INLINE void accumulate(__m512i rows, const PairIndices& idx, __m512i& word_sums,
                                   __m512i& odd_sums) {
  const __m512i pair = _mm512_add_epi8(_mm512_permutexvar_epi8(idx.high, rows),
                                       _mm512_permutexvar_epi8(idx.low, rows));
  word_sums = _mm512_add_epi16(word_sums, pair);
  odd_sums = _mm512_add_epi16(odd_sums, _mm512_srli_epi16(pair, 8));
}

// What a filtered scan does to one block's final scores of one table.
struct BlockFilter {
  const float* factors;  // the block's 32
  float threshold;
  uint64_t* above;
  uint64_t bit;
};

// Adds S * delta to the 32 lanes of one block (bias first on the first chunk);
// after the last chunk of a filtered scan, multiplies by the factors and
// marks the block when a product passes the threshold.
template <bool kFiltered>
VARNEL_VBMI_INLINE void finish_chunk(__m512i word_sums, __m512i odd_sums, const TableView& table,
                                     bool first_chunk, bool last_chunk, const BlockFilter& filter,
                                     float* lanes) {
  const __m256i words = _mm256_add_epi16(_mm512_castsi512_si256(word_sums),
                                         _mm512_extracti64x4_epi64(word_sums, 1));
  const __m256i odds = _mm256_add_epi16(_mm512_castsi512_si256(odd_sums),
                                        _mm512_extracti64x4_epi64(odd_sums, 1));
  const __m256i evens = _mm256_sub_epi16(words, _mm256_slli_epi16(odds, 8));
  const __m512i ordered = _mm512_permutexvar_epi16(
      _mm512_load_si512(kVectorOrder.index),
      _mm512_inserti64x4(_mm512_castsi256_si512(evens), odds, 1));
  const __m512 delta = _mm512_set1_ps(table.delta);
  const __m256i halves[2] = {_mm512_castsi512_si256(ordered),
                             _mm512_extracti64x4_epi64(ordered, 1)};
  __mmask16 over = 0;
  for (int h = 0; h < 2; ++h) {
    const __m512 sums = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(halves[h]));
    const __m512 acc = first_chunk ? _mm512_set1_ps(table.bias) : _mm512_loadu_ps(lanes + 16 * h);
    __m512 score = _mm512_fmadd_ps(sums, delta, acc);
    if (kFiltered && last_chunk) {
      score = _mm512_mul_ps(score, _mm512_loadu_ps(filter.factors + 16 * h));
      over |= _mm512_cmp_ps_mask(score, _mm512_set1_ps(filter.threshold), _CMP_GT_OQ);
    }
    _mm512_storeu_ps(lanes + 16 * h, score);
  }
  if (kFiltered && last_chunk) *filter.above |= static_cast<uint64_t>(over != 0) * filter.bit;
}

uint64_t chunk_end(uint64_t c0, uint64_t columns) {
  return columns - c0 < kChunkColumns ? columns : c0 + kChunkColumns;
}

// G queries against B consecutive blocks per pass (block `first` of the
// call); the counters (2 * G * B registers) stay in registers across the
// column loop.
template <int G, int B, bool kFiltered>
VARNEL_VBMI void scan_blocks_vbmi(const TableView* tables, const uint8_t* codes,
                                  uint64_t columns, const ScoreFilter* filter, uint64_t first,
                                  float* out, std::size_t out_stride) {
  const uint64_t block_bytes = columns * kLanes;
  const RowSelect select = row_select();
  for (uint64_t c0 = 0; c0 < columns; c0 += kChunkColumns) {
    const uint64_t c1 = chunk_end(c0, columns);
    __m512i word_sums[G][B];
    __m512i odd_sums[G][B];
#pragma GCC unroll 16
    for (int g = 0; g < G; ++g) {
#pragma GCC unroll 16
      for (int k = 0; k < B; ++k) word_sums[g][k] = odd_sums[g][k] = _mm512_setzero_si512();
    }
    for (uint64_t c = c0; c < c1; c += 2) {
      PairIndices idx[B];
#pragma GCC unroll 16
      for (int k = 0; k < B; ++k) idx[k] = pair_indices(codes + k * block_bytes + c * kLanes, select);
#pragma GCC unroll 16
      for (int g = 0; g < G; ++g) {
        const __m512i rows = _mm512_loadu_si512(tables[g].bytes + c / 2 * kPairTableBytes);
#pragma GCC unroll 16
        for (int k = 0; k < B; ++k) {
          accumulate(rows, idx[k], word_sums[g][k], odd_sums[g][k]);
          asm("" : "+v"(word_sums[g][k]), "+v"(odd_sums[g][k]));
        }
      }
    }
#pragma GCC unroll 16
    for (int g = 0; g < G; ++g) {
#pragma GCC unroll 16
      for (int k = 0; k < B; ++k) {
        BlockFilter block_filter{};
        if constexpr (kFiltered) {
          block_filter = BlockFilter{filter->factors + (first + k) * kLanes, filter->thresholds[g],
                                     filter->above + g, uint64_t{1} << (first + k)};
        }
        finish_chunk<kFiltered>(word_sums[g][k], odd_sums[g][k], tables[g], c0 == 0,
                                c1 == columns, block_filter, out + g * out_stride + k * kLanes);
      }
    }
  }
}

template <int G, int B, bool kFiltered = false>
VARNEL_VBMI void scan_vbmi(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                           uint64_t columns, float* out, std::size_t out_stride,
                           const ScoreFilter* filter = nullptr) {
  const uint64_t block_bytes = columns * kLanes;
  if constexpr (kFiltered) {
    for (int g = 0; g < G; ++g) filter->above[g] = 0;
  }
  uint64_t b = 0;
  for (; b + B <= n_blocks; b += B) {
    scan_blocks_vbmi<G, B, kFiltered>(tables, blocks + b * block_bytes, columns, filter, b,
                                      out + b * kLanes, out_stride);
  }
  for (; b < n_blocks; ++b) {
    scan_blocks_vbmi<G, 1, kFiltered>(tables, blocks + b * block_bytes, columns, filter, b,
                                      out + b * kLanes, out_stride);
  }
}

}  // namespace

VARNEL_VBMI void scan_group_avx512vbmi(const TableView* tables, std::size_t g,
                                       const uint8_t* blocks, uint64_t n_blocks, uint64_t columns,
                                       float* out, std::size_t out_stride) {
  // Whole column pairs only (always so for dims that are multiples of 4);
  // the AVX-512BW kernel takes at most four tables at a time.
  if (columns % 2 != 0) {
    for (std::size_t t0 = 0; t0 < g; t0 += 4) {
      scan_group_avx512(tables + t0, g - t0 < 4 ? g - t0 : 4, blocks, n_blocks, columns,
                        out + t0 * out_stride, out_stride);
    }
    return;
  }
  // Two to four tables, two blocks per pass; more, one block: 16 or fewer
  // counters either way. A single table takes one block per pass: its scan
  // waits on memory, and one stream of codes is fetched ahead better than
  // two (a third faster single queries at dim 768).
  switch (g) {
    case 1: return scan_vbmi<1, 1>(tables, blocks, n_blocks, columns, out, out_stride);
    case 2: return scan_vbmi<2, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 3: return scan_vbmi<3, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 4: return scan_vbmi<4, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 5: return scan_vbmi<5, 1>(tables, blocks, n_blocks, columns, out, out_stride);
    case 6: return scan_vbmi<6, 1>(tables, blocks, n_blocks, columns, out, out_stride);
    case 7: return scan_vbmi<7, 1>(tables, blocks, n_blocks, columns, out, out_stride);
    default: return scan_vbmi<8, 1>(tables, blocks, n_blocks, columns, out, out_stride);
  }
}

VARNEL_VBMI void scan_group_filtered_avx512vbmi(const TableView* tables, std::size_t g,
                                                const uint8_t* blocks, uint64_t n_blocks,
                                                uint64_t columns, const ScoreFilter& filter,
                                                float* out, std::size_t out_stride) {
  if (columns % 2 != 0) {
    for (std::size_t t0 = 0; t0 < g; t0 += 4) {
      scan_group_filtered_avx512(tables + t0, g - t0 < 4 ? g - t0 : 4, blocks, n_blocks, columns,
                                 ScoreFilter{filter.factors, filter.thresholds + t0,
                                             filter.above + t0},
                                 out + t0 * out_stride, out_stride);
    }
    return;
  }
  const ScoreFilter* f = &filter;
  switch (g) {
    case 1: return scan_vbmi<1, 1, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 2: return scan_vbmi<2, 2, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 3: return scan_vbmi<3, 2, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 4: return scan_vbmi<4, 2, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 5: return scan_vbmi<5, 1, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 6: return scan_vbmi<6, 1, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 7: return scan_vbmi<7, 1, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    default: return scan_vbmi<8, 1, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
  }
}

}  // namespace varnel::scan_kernels

#pragma GCC diagnostic pop

#endif  // __x86_64__

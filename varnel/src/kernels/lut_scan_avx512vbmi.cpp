// AVX-512 VBMI kernel of the 4-bit scan: two columns of one block per
// 512-bit register, looked up with vpermb.
//
// The 64 bytes of columns c and c+1 of a block are contiguous (32 vectors
// each), and so are the query's table rows for them: high and low row of c,
// then of c+1. vpermb looks a byte up in all 64 table bytes, so one lookup
// serves both columns once bits 4-5 of each index pick the row: no table
// broadcast, no merging of two blocks into one register.
//
// The two columns' bytes are first interleaved (one byte permute per code
// register, shared by the group), so that lane v's bytes of columns c and
// c + 1 sit side by side. Per column pair, block and query: two vpermb (high
// and low nibbles), one byte add (table bytes are at most 127, so a pair fits
// a byte) and one maddubs with ones that adds the lane's two columns into its
// own 16-bit counter, then one word add. The counters hold the lanes in
// order, so the end of a chunk only widens them to floats.
//
// What limits it: byte permutes run on one port of Intel cores (two of
// AMD Zen 4's four), and 512-bit operations on two ports; the five ops per
// query and register above, and the index preparation shared by the group
// (one permute, one shift, two ternary logic ops) over 8 queries, make about
// 2.75 cycles per 64 bytes of codes and query, or 2.75 cycles per (query,
// vector) pair at dim 128.
#if defined(__x86_64__)

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/lut_scan_x86.h"
#include "search/lut_scan_kernels.h"

#define VARNEL_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi,avx2,fma")))
#define VARNEL_VBMI_INLINE \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx2,fma"), always_inline)) inline

namespace varnel::scan_kernels {

namespace {

constexpr uint64_t kPairBytes = 2 * kLanes;  // two columns of one block
constexpr uint64_t kPairTableBytes = 64;     // table rows of two columns

// Byte indices that interleave the two columns of a block pair: byte 2v
// takes lane v of column c (byte v), byte 2v + 1 lane v of column c + 1
// (byte 32 + v), so that one multiply-add of adjacent bytes sums a lane's
// two columns into its own 16-bit word.
struct ByteOrder {
  alignas(64) uint8_t index[64];
};

constexpr ByteOrder interleaved_columns() {
  ByteOrder order{};
  for (int b = 0; b < 64; ++b) order.index[b] = static_cast<uint8_t>((b & 1) * 32 + b / 2);
  return order;
}

constexpr ByteOrder kInterleave = interleaved_columns();

// Row selectors for bits 4-5 of the indices: even bytes read the rows of
// column c (bytes 0-31 of the 64), odd bytes those of c + 1.
struct RowSelect {
  __m512i high;  // 0x00 | 0x20
  __m512i low;   // 0x10 | 0x30
  __m512i nibble;
  __m512i interleave;
  __m512i ones;
};

VARNEL_VBMI_INLINE RowSelect row_select() {
  const __m512i odd_bytes = _mm512_maskz_set1_epi8(0xAAAAAAAAAAAAAAAAull, 0x20);
  return RowSelect{odd_bytes, _mm512_or_si512(odd_bytes, _mm512_set1_epi8(0x10)),
                   _mm512_set1_epi8(0x0F), _mm512_load_si512(kInterleave.index),
                   _mm512_set1_epi8(1)};
}

// (a & b) | c
constexpr int kAndOr = 0xEA;

struct PairIndices {
  __m512i high, low;
};

VARNEL_VBMI_INLINE PairIndices pair_indices(const uint8_t* codes, const RowSelect& s) {
  const __m512i x = _mm512_permutexvar_epi8(s.interleave, _mm512_loadu_si512(codes));
  return PairIndices{
      _mm512_ternarylogic_epi32(_mm512_srli_epi16(x, 4), s.nibble, s.high, kAndOr),
      _mm512_ternarylogic_epi32(x, s.nibble, s.low, kAndOr)};
}

// The byte pair of each (lane, column) is at most 254 and a lane's two
// columns at most 508: maddubs (unsigned bytes times signed ones) never
// saturates, and a chunk of 256 columns stays below 2^16 in the counter.
VARNEL_VBMI_INLINE void accumulate(__m512i rows, const PairIndices& idx, const RowSelect& s,
                                   __m512i& lane_sums) {
  const __m512i pair = _mm512_add_epi8(_mm512_permutexvar_epi8(idx.high, rows),
                                       _mm512_permutexvar_epi8(idx.low, rows));
  lane_sums = _mm512_add_epi16(lane_sums, _mm512_maddubs_epi16(pair, s.ones));
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
    __m512i lane_sums[G][B];
#pragma GCC unroll 16
    for (int g = 0; g < G; ++g) {
#pragma GCC unroll 16
      for (int k = 0; k < B; ++k) lane_sums[g][k] = _mm512_setzero_si512();
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
          accumulate(rows, idx[k], select, lane_sums[g][k]);
          asm("" : "+v"(lane_sums[g][k]));
        }
      }
    }
#pragma GCC unroll 16
    for (int g = 0; g < G; ++g) {
#pragma GCC unroll 16
      for (int k = 0; k < B; ++k) {
        avx512_finish_block<kFiltered>(lane_sums[g][k], _mm512_set1_ps(tables[g].delta),
                                       _mm512_set1_ps(tables[g].bias), c0 == 0, c1 == columns,
                                       kFiltered ? block_filter(filter, g, first + k) : BlockFilter{},
                                       out + g * out_stride + k * kLanes);
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
  // Two blocks per pass: at most 16 counters, and every table row loaded
  // serves two blocks. A single table takes one block per pass: its scan
  // waits on memory, and one stream of codes is fetched ahead better than
  // two (a third faster single queries at dim 768).
  switch (g) {
    case 1: return scan_vbmi<1, 1>(tables, blocks, n_blocks, columns, out, out_stride);
    case 2: return scan_vbmi<2, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 3: return scan_vbmi<3, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 4: return scan_vbmi<4, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 5: return scan_vbmi<5, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 6: return scan_vbmi<6, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 7: return scan_vbmi<7, 2>(tables, blocks, n_blocks, columns, out, out_stride);
    default: return scan_vbmi<8, 2>(tables, blocks, n_blocks, columns, out, out_stride);
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
    case 5: return scan_vbmi<5, 2, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 6: return scan_vbmi<6, 2, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    case 7: return scan_vbmi<7, 2, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
    default: return scan_vbmi<8, 2, true>(tables, blocks, n_blocks, columns, out, out_stride, f);
  }
}

}  // namespace varnel::scan_kernels

#pragma GCC diagnostic pop

#endif  // __x86_64__

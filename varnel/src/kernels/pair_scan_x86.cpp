// x86-64 kernels of the 3-bit pair-table scan: AVX2 (one block of 32 lanes
// per pass) over 64-entry rows or split rows, AVX-512BW (two blocks per pass)
// over split rows and AVX-512 VBMI (two blocks per pass) over 64-entry rows. Every function carries
// its own target attribute; the dispatcher calls one only on a CPU that has
// its instructions.
//
// A group of eight coordinates is three byte-columns; the low six bits of
// each byte are a whole pair index and the top bits of the three bytes
// together the fourth. VBMI looks a 64-entry row up with one byte permute
// (it reads only the low six index bits); AVX2 combines four 16-byte
// shuffles, each zero outside the piece that index bits 4 and 5 name. The four table bytes of a group (each at
// most 127) are added in two byte pairs and widened into 16-bit counters as
// in the 4-bit kernels: `word_sums` adds each byte pair as one word and
// `odd_sums` the odd lane alone, so the even lane is word_sums - 256 *
// odd_sums, exact below 2^16.
#if defined(__x86_64__)

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "search/pair_scan_kernels.h"

#define VARNEL_AVX2 __attribute__((target("avx2,fma")))
#define VARNEL_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline
#define VARNEL_BW __attribute__((target("avx512f,avx512bw,avx2,fma")))
#define VARNEL_BW_INLINE __attribute__((target("avx512f,avx512bw,avx2,fma"), always_inline)) inline
#define VARNEL_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi,avx2,fma")))
#define VARNEL_VBMI_INLINE \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx2,fma"), always_inline)) inline

namespace varnel::pair_kernels {

namespace {

uint64_t chunk_end(uint64_t g0, uint64_t groups) {
  return groups - g0 < kChunkGroups ? groups : g0 + kChunkGroups;
}

// ---- AVX2 ----

VARNEL_AVX2_INLINE __m256i avx2_row_piece(const uint8_t* row, int piece) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * piece)));
}

// The indices of one lookup into each 16-byte piece of a 64-entry row: the
// index's low four bits where bits 4-5 name the piece, bit 7 set (the shuffle
// then gives 0) elsewhere. One saturating add after an exclusive or does it:
// i ^ 16k lies in 0..15 exactly for piece k, and 0x70 more sets bit 7 above.
// The four shuffles are then combined by OR, where selecting among them with
// blends took three variable blends of three micro-operations each.
struct Avx2Index {
  __m256i piece[4];
};

VARNEL_AVX2_INLINE Avx2Index avx2_index(__m256i six_bits) {
  const __m256i above = _mm256_set1_epi8(0x70);
  Avx2Index i;
  for (int k = 0; k < 4; ++k) {
    i.piece[k] = _mm256_adds_epu8(_mm256_xor_si256(six_bits, _mm256_set1_epi8(static_cast<char>(16 * k))), above);
  }
  return i;
}

VARNEL_AVX2_INLINE __m256i avx2_lookup(const uint8_t* row, const Avx2Index& i) {
  const __m256i low = _mm256_or_si256(_mm256_shuffle_epi8(avx2_row_piece(row, 0), i.piece[0]),
                                      _mm256_shuffle_epi8(avx2_row_piece(row, 1), i.piece[1]));
  const __m256i high = _mm256_or_si256(_mm256_shuffle_epi8(avx2_row_piece(row, 2), i.piece[2]),
                                       _mm256_shuffle_epi8(avx2_row_piece(row, 3), i.piece[3]));
  return _mm256_or_si256(low, high);
}

VARNEL_AVX2_INLINE void avx2_finish_chunk(__m256i word_sums, __m256i odd_sums, const TableView& table,
                                          bool first_chunk, float* lanes) {
  const __m256i even_sums = _mm256_sub_epi16(word_sums, _mm256_slli_epi16(odd_sums, 8));
  const __m256i lanes_0_7_16_23 = _mm256_unpacklo_epi16(even_sums, odd_sums);
  const __m256i lanes_8_15_24_31 = _mm256_unpackhi_epi16(even_sums, odd_sums);
  const __m128i eighths[4] = {
      _mm256_castsi256_si128(lanes_0_7_16_23), _mm256_castsi256_si128(lanes_8_15_24_31),
      _mm256_extracti128_si256(lanes_0_7_16_23, 1), _mm256_extracti128_si256(lanes_8_15_24_31, 1)};
  const __m256 delta = _mm256_set1_ps(table.delta);
  for (int q = 0; q < 4; ++q) {
    const __m256 sums = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(eighths[q]));
    const __m256 acc = first_chunk ? _mm256_set1_ps(table.bias) : _mm256_loadu_ps(lanes + 8 * q);
    _mm256_storeu_ps(lanes + 8 * q, _mm256_fmadd_ps(sums, delta, acc));
  }
}

VARNEL_AVX2_INLINE __m256i avx2_load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

template <int G>
VARNEL_AVX2 void avx2_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                           uint64_t groups, float* out, std::size_t out_stride) {
  const __m256i six = _mm256_set1_epi8(0x3F);
  const __m256i two_low = _mm256_set1_epi8(0x03), two_mid = _mm256_set1_epi8(0x0C),
                two_high = _mm256_set1_epi8(0x30);
  const uint64_t block_bytes = 3 * groups * kLanes;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    const uint8_t* codes = blocks + b * block_bytes;
    for (uint64_t g0 = 0; g0 < groups; g0 += kChunkGroups) {
      const uint64_t g1 = chunk_end(g0, groups);
      __m256i word_sums[G], odd_sums[G];
      for (int t = 0; t < G; ++t) word_sums[t] = odd_sums[t] = _mm256_setzero_si256();
      for (uint64_t g = g0; g < g1; ++g) {
        const uint8_t* column = codes + 3 * g * kLanes;
        const __m256i x0 = avx2_load(column), x1 = avx2_load(column + kLanes),
                      x2 = avx2_load(column + 2 * kLanes);
        const __m256i last = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(x0, 6), two_low),
                            _mm256_and_si256(_mm256_srli_epi16(x1, 4), two_mid)),
            _mm256_and_si256(_mm256_srli_epi16(x2, 2), two_high));
        const Avx2Index i0 = avx2_index(_mm256_and_si256(x0, six));
        const Avx2Index i1 = avx2_index(_mm256_and_si256(x1, six));
        const Avx2Index i2 = avx2_index(_mm256_and_si256(x2, six));
        const Avx2Index i3 = avx2_index(last);
        for (int t = 0; t < G; ++t) {
          const uint8_t* rows = tables[t].bytes + 4 * g * kRowBytes;
          const __m256i first_pairs = _mm256_add_epi8(avx2_lookup(rows, i0), avx2_lookup(rows + kRowBytes, i1));
          const __m256i second_pairs =
              _mm256_add_epi8(avx2_lookup(rows + 2 * kRowBytes, i2), avx2_lookup(rows + 3 * kRowBytes, i3));
          word_sums[t] = _mm256_add_epi16(_mm256_add_epi16(word_sums[t], first_pairs), second_pairs);
          odd_sums[t] = _mm256_add_epi16(
              odd_sums[t], _mm256_add_epi16(_mm256_srli_epi16(first_pairs, 8), _mm256_srli_epi16(second_pairs, 8)));
        }
      }
      for (int t = 0; t < G; ++t) {
        avx2_finish_chunk(word_sums[t], odd_sums[t], tables[t], g0 == 0, out + t * out_stride + b * kLanes);
      }
    }
  }
}

// ---- AVX2, split tables ----
//
// A pair index p = code(2r) << 3 | code(2r+1) looks its two bytes up in
// 16-byte rows that hold eight entries twice: p & 15 for the second code
// (bit 3, a bit of the first code, picks the repeat), (p >> 3) & 15 for the
// first; the mask also clears bit 7, which would zero the shuffle. Each pair
// costs two shuffles, against four for a 64-entry row.

uint64_t split_chunk_end(uint64_t g0, uint64_t groups) {
  return groups - g0 < kSplitChunkGroups ? groups : g0 + kSplitChunkGroups;
}

struct SplitIndex {
  __m256i first, second;
};

VARNEL_AVX2_INLINE SplitIndex avx2_split_index(__m256i pairs) {
  const __m256i low_four = _mm256_set1_epi8(0x0F);
  return {_mm256_and_si256(_mm256_srli_epi16(pairs, 3), low_four), _mm256_and_si256(pairs, low_four)};
}

// One pair of one query: its two bytes, their sum, and the widening.
VARNEL_AVX2_INLINE void avx2_split_pair(const uint8_t* row, const SplitIndex& i, __m256i& word_sums,
                                        __m256i& odd_sums) {
  const __m256i pair = _mm256_add_epi8(_mm256_shuffle_epi8(avx2_row_piece(row, 0), i.first),
                                       _mm256_shuffle_epi8(avx2_row_piece(row, 1), i.second));
  word_sums = _mm256_add_epi16(word_sums, pair);
  odd_sums = _mm256_add_epi16(odd_sums, _mm256_srli_epi16(pair, 8));
}

VARNEL_AVX2_INLINE __m256i avx2_last_pairs(const uint8_t* column) {
  const __m256i two_low = _mm256_set1_epi8(0x03), two_mid = _mm256_set1_epi8(0x0C),
                two_high = _mm256_set1_epi8(0x30);
  return _mm256_or_si256(
      _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(avx2_load(column), 6), two_low),
                      _mm256_and_si256(_mm256_srli_epi16(avx2_load(column + kLanes), 4), two_mid)),
      _mm256_and_si256(_mm256_srli_epi16(avx2_load(column + 2 * kLanes), 2), two_high));
}

// Four queries, written out, their eight counters pinned to registers (as in
// the 4-bit kernel: with arrays GCC kept them on the stack); a column is
// loaded again where its pairs are looked up rather than held.
VARNEL_AVX2 void avx2_split_scan4(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                                  uint64_t groups, float* out, std::size_t out_stride) {
  const uint64_t block_bytes = 3 * groups * kLanes;
  const uint8_t* t0 = tables[0].bytes;
  const uint8_t* t1 = tables[1].bytes;
  const uint8_t* t2 = tables[2].bytes;
  const uint8_t* t3 = tables[3].bytes;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    const uint8_t* codes = blocks + b * block_bytes;
    for (uint64_t g0 = 0; g0 < groups; g0 += kSplitChunkGroups) {
      const uint64_t g1 = split_chunk_end(g0, groups);
      __m256i w0 = _mm256_setzero_si256(), w1 = w0, w2 = w0, w3 = w0;
      __m256i o0 = w0, o1 = w0, o2 = w0, o3 = w0;
      for (uint64_t g = g0; g < g1; ++g) {
        const uint8_t* column = codes + 3 * g * kLanes;
        const __m256i last = avx2_last_pairs(column);
        for (int k = 0; k < 4; ++k) {
          const SplitIndex index = avx2_split_index(k < 3 ? avx2_load(column + k * kLanes) : last);
          const uint64_t offset = (4 * g + k) * kSplitRowBytes;
          avx2_split_pair(t0 + offset, index, w0, o0);
          avx2_split_pair(t1 + offset, index, w1, o1);
          avx2_split_pair(t2 + offset, index, w2, o2);
          avx2_split_pair(t3 + offset, index, w3, o3);
          asm("" : "+x"(w0), "+x"(w1), "+x"(w2), "+x"(w3), "+x"(o0), "+x"(o1), "+x"(o2), "+x"(o3));
        }
      }
      const __m256i words[4] = {w0, w1, w2, w3};
      const __m256i odds[4] = {o0, o1, o2, o3};
      for (int t = 0; t < 4; ++t) {
        avx2_finish_chunk(words[t], odds[t], tables[t], g0 == 0, out + t * out_stride + b * kLanes);
      }
    }
  }
}

// One to three queries (a group's last pass).
template <int G>
VARNEL_AVX2 void avx2_split_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                                 uint64_t groups, float* out, std::size_t out_stride) {
  const uint64_t block_bytes = 3 * groups * kLanes;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    const uint8_t* codes = blocks + b * block_bytes;
    for (uint64_t g0 = 0; g0 < groups; g0 += kSplitChunkGroups) {
      const uint64_t g1 = split_chunk_end(g0, groups);
      __m256i word_sums[G], odd_sums[G];
      for (int t = 0; t < G; ++t) word_sums[t] = odd_sums[t] = _mm256_setzero_si256();
      for (uint64_t g = g0; g < g1; ++g) {
        const uint8_t* column = codes + 3 * g * kLanes;
        const __m256i last = avx2_last_pairs(column);
        for (int k = 0; k < 4; ++k) {
          const SplitIndex index = avx2_split_index(k < 3 ? avx2_load(column + k * kLanes) : last);
          for (int t = 0; t < G; ++t) {
            avx2_split_pair(tables[t].bytes + (4 * g + k) * kSplitRowBytes, index, word_sums[t], odd_sums[t]);
          }
        }
      }
      for (int t = 0; t < G; ++t) {
        avx2_finish_chunk(word_sums[t], odd_sums[t], tables[t], g0 == 0, out + t * out_stride + b * kLanes);
      }
    }
  }
}

// ---- AVX-512 (two blocks per pass) ----

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

VARNEL_BW_INLINE __m512i load_block_pair(const uint8_t* first, const uint8_t* second) {
  const __m256i low_half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
  const __m256i high_half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second));
  return _mm512_inserti64x4(_mm512_castsi256_si512(low_half), high_half, 1);
}

// The four pair-index registers of group g of two blocks: the three columns
// (a permute or masked shuffle reads only their low six bits) and the fourth
// index assembled from their top bits by bit selects (a ? b : c): bits 0-1
// from x0 >> 6, bits 2-3 from x1 >> 4, bits 4-5 from x2 >> 2 (bits 6-7 are
// left over, and no lookup reads them).
struct Avx512Pairs {
  __m512i index[4];
};

VARNEL_BW_INLINE Avx512Pairs avx512_group_pairs(const uint8_t* first, const uint8_t* second, uint64_t g) {
  const uint64_t offset = 3 * g * kLanes;
  const __m512i x0 = load_block_pair(first + offset, second + offset);
  const __m512i x1 = load_block_pair(first + offset + kLanes, second + offset + kLanes);
  const __m512i x2 = load_block_pair(first + offset + 2 * kLanes, second + offset + 2 * kLanes);
  const __m512i upper = _mm512_ternarylogic_epi32(_mm512_set1_epi8(0x0F), _mm512_srli_epi16(x1, 4),
                                                  _mm512_srli_epi16(x2, 2), 0xCA);
  const __m512i last = _mm512_ternarylogic_epi32(_mm512_set1_epi8(0x03), _mm512_srli_epi16(x0, 6), upper, 0xCA);
  return {{x0, x1, x2, last}};
}

VARNEL_BW_INLINE void avx512_finish_chunk(__m512i word_sums, __m512i odd_sums, const TableView& table,
                                            bool first_chunk, bool has_second, float* lanes) {
  const __m512i even_sums = _mm512_sub_epi16(word_sums, _mm512_slli_epi16(odd_sums, 8));
  const __m512 delta = _mm512_set1_ps(table.delta);
  const __m512 bias = _mm512_set1_ps(table.bias);
  for (int k = 0; k < (has_second ? 2 : 1); ++k) {
    const __m512i order = _mm512_load_si512(kBlockLaneOrder[k].index);
    const __m512i sums_u16 = _mm512_permutex2var_epi16(even_sums, order, odd_sums);
    const __m256i halves[2] = {_mm512_castsi512_si256(sums_u16), _mm512_extracti64x4_epi64(sums_u16, 1)};
    for (int h = 0; h < 2; ++h) {
      float* target = lanes + k * kLanes + 16 * h;
      const __m512 sums = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(halves[h]));
      const __m512 acc = first_chunk ? bias : _mm512_loadu_ps(target);
      _mm512_storeu_ps(target, _mm512_fmadd_ps(sums, delta, acc));
    }
  }
}

// The split tables with AVX-512BW: as avx2_split_scan, two blocks per pass.
VARNEL_BW_INLINE __m512i bw_row_piece(const uint8_t* row, int piece) {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * piece)));
}

template <int G>
VARNEL_BW void bw_split_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                             uint64_t groups, float* out, std::size_t out_stride) {
  const __m512i low_four = _mm512_set1_epi8(0x0F);
  const uint64_t block_bytes = 3 * groups * kLanes;
  for (uint64_t b = 0; b < n_blocks; b += 2) {
    const uint8_t* first = blocks + b * block_bytes;
    const bool has_second = b + 1 < n_blocks;
    // A lone last block is scored twice over; only its first copy is kept.
    const uint8_t* second = has_second ? first + block_bytes : first;
    for (uint64_t g0 = 0; g0 < groups; g0 += kSplitChunkGroups) {
      const uint64_t g1 = split_chunk_end(g0, groups);
      __m512i word_sums[G], odd_sums[G];
      for (int t = 0; t < G; ++t) word_sums[t] = odd_sums[t] = _mm512_setzero_si512();
      for (uint64_t g = g0; g < g1; ++g) {
        const Avx512Pairs group = avx512_group_pairs(first, second, g);
        for (int k = 0; k < 4; ++k) {
          const __m512i pairs = group.index[k];
          const __m512i first_index = _mm512_and_si512(_mm512_srli_epi16(pairs, 3), low_four);
          const __m512i second_index = _mm512_and_si512(pairs, low_four);
          for (int t = 0; t < G; ++t) {
            const uint8_t* row = tables[t].bytes + (4 * g + k) * kSplitRowBytes;
            const __m512i pair = _mm512_add_epi8(_mm512_shuffle_epi8(bw_row_piece(row, 0), first_index),
                                                 _mm512_shuffle_epi8(bw_row_piece(row, 1), second_index));
            word_sums[t] = _mm512_add_epi16(word_sums[t], pair);
            odd_sums[t] = _mm512_add_epi16(odd_sums[t], _mm512_srli_epi16(pair, 8));
          }
        }
      }
      for (int t = 0; t < G; ++t) {
        avx512_finish_chunk(word_sums[t], odd_sums[t], tables[t], g0 == 0, has_second,
                            out + t * out_stride + b * kLanes);
      }
    }
  }
}

VARNEL_VBMI_INLINE __m512i vbmi_row(const uint8_t* row) {
  return _mm512_loadu_si512(reinterpret_cast<const void*>(row));
}

template <int G>
VARNEL_VBMI void vbmi_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
                           uint64_t groups, float* out, std::size_t out_stride) {
  const uint64_t block_bytes = 3 * groups * kLanes;
  for (uint64_t b = 0; b < n_blocks; b += 2) {
    const uint8_t* first = blocks + b * block_bytes;
    const bool has_second = b + 1 < n_blocks;
    // A lone last block is scored twice over; only its first copy is kept.
    const uint8_t* second = has_second ? first + block_bytes : first;
    for (uint64_t g0 = 0; g0 < groups; g0 += kChunkGroups) {
      const uint64_t g1 = chunk_end(g0, groups);
      __m512i word_sums[G], odd_sums[G];
      for (int t = 0; t < G; ++t) word_sums[t] = odd_sums[t] = _mm512_setzero_si512();
      for (uint64_t g = g0; g < g1; ++g) {
        const Avx512Pairs group = avx512_group_pairs(first, second, g);
        for (int t = 0; t < G; ++t) {
          const uint8_t* rows = tables[t].bytes + 4 * g * kRowBytes;
          const __m512i first_pairs =
              _mm512_add_epi8(_mm512_permutexvar_epi8(group.index[0], vbmi_row(rows)),
                              _mm512_permutexvar_epi8(group.index[1], vbmi_row(rows + kRowBytes)));
          const __m512i second_pairs =
              _mm512_add_epi8(_mm512_permutexvar_epi8(group.index[2], vbmi_row(rows + 2 * kRowBytes)),
                              _mm512_permutexvar_epi8(group.index[3], vbmi_row(rows + 3 * kRowBytes)));
          word_sums[t] = _mm512_add_epi16(_mm512_add_epi16(word_sums[t], first_pairs), second_pairs);
          odd_sums[t] = _mm512_add_epi16(
              odd_sums[t], _mm512_add_epi16(_mm512_srli_epi16(first_pairs, 8), _mm512_srli_epi16(second_pairs, 8)));
        }
      }
      for (int t = 0; t < G; ++t) {
        avx512_finish_chunk(word_sums[t], odd_sums[t], tables[t], g0 == 0, has_second,
                          out + t * out_stride + b * kLanes);
      }
    }
  }
}

}  // namespace

VARNEL_AVX2 void scan_group_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                 uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride) {
  // Sixteen registers hold the counters of four queries at most.
  for (std::size_t t0 = 0; t0 < g; t0 += 4) {
    const TableView* part = tables + t0;
    float* part_out = out + t0 * out_stride;
    switch (g - t0) {
      case 1: avx2_scan<1>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      case 2: avx2_scan<2>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      case 3: avx2_scan<3>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      default: avx2_scan<4>(part, blocks, n_blocks, groups, part_out, out_stride); break;
    }
  }
}

VARNEL_AVX2 void scan_split_group_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                       uint64_t n_blocks, uint64_t groups, float* out,
                                       std::size_t out_stride) {
  for (std::size_t t0 = 0; t0 < g; t0 += 4) {
    const TableView* part = tables + t0;
    float* part_out = out + t0 * out_stride;
    switch (g - t0) {
      case 1: avx2_split_scan<1>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      case 2: avx2_split_scan<2>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      case 3: avx2_split_scan<3>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      default: avx2_split_scan4(part, blocks, n_blocks, groups, part_out, out_stride); break;
    }
  }
}

VARNEL_BW void scan_split_group_avx512(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                       uint64_t n_blocks, uint64_t groups, float* out,
                                       std::size_t out_stride) {
  switch (g) {
    case 1: return bw_split_scan<1>(tables, blocks, n_blocks, groups, out, out_stride);
    case 2: return bw_split_scan<2>(tables, blocks, n_blocks, groups, out, out_stride);
    case 3: return bw_split_scan<3>(tables, blocks, n_blocks, groups, out, out_stride);
    case 4: return bw_split_scan<4>(tables, blocks, n_blocks, groups, out, out_stride);
    case 5: return bw_split_scan<5>(tables, blocks, n_blocks, groups, out, out_stride);
    case 6: return bw_split_scan<6>(tables, blocks, n_blocks, groups, out, out_stride);
    case 7: return bw_split_scan<7>(tables, blocks, n_blocks, groups, out, out_stride);
    default: return bw_split_scan<8>(tables, blocks, n_blocks, groups, out, out_stride);
  }
}

VARNEL_VBMI void scan_group_avx512vbmi(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                       uint64_t n_blocks, uint64_t groups, float* out,
                                       std::size_t out_stride) {
  switch (g) {
    case 1: return vbmi_scan<1>(tables, blocks, n_blocks, groups, out, out_stride);
    case 2: return vbmi_scan<2>(tables, blocks, n_blocks, groups, out, out_stride);
    case 3: return vbmi_scan<3>(tables, blocks, n_blocks, groups, out, out_stride);
    case 4: return vbmi_scan<4>(tables, blocks, n_blocks, groups, out, out_stride);
    case 5: return vbmi_scan<5>(tables, blocks, n_blocks, groups, out, out_stride);
    case 6: return vbmi_scan<6>(tables, blocks, n_blocks, groups, out, out_stride);
    case 7: return vbmi_scan<7>(tables, blocks, n_blocks, groups, out, out_stride);
    default: return vbmi_scan<8>(tables, blocks, n_blocks, groups, out, out_stride);
  }
}

}  // namespace varnel::pair_kernels

#pragma GCC diagnostic pop

#endif  // __x86_64__

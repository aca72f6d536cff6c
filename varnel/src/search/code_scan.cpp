#include "search/code_scan.h"

#include "runtime/cpu.h"
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace varnel {
namespace {

void sum_code_tables_portable(const float* table, const uint8_t* block, uint64_t dim,
                              uint64_t lanes, float* out) {
  for (uint64_t v = 0; v < lanes; ++v) {
    const uint8_t* group = block + v / kLaneGroup * dim * kLaneGroup + v % kLaneGroup;
    float sum = 0.0f;
    for (uint64_t j = 0; j < dim; ++j) sum = sum + table[j * 8 + group[j * kLaneGroup]];
    out[v] = sum;
  }
}

void decode_code_block_portable(const uint8_t* codes, uint64_t dim, uint64_t bits, uint64_t first,
                                uint64_t count, uint8_t* out) {
  std::memset(out, 0, dim * kCodeBlock);
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = plane_bytes * bits;
  for (uint64_t lane = 0; lane < count; ++lane) {
    const uint8_t* row = codes + (first + lane) * row_bytes;
    uint8_t* group = out + lane / kLaneGroup * dim * kLaneGroup + lane % kLaneGroup;
    for (uint64_t p = 0; p < bits; ++p) {
      const uint8_t* plane = row + p * plane_bytes;
      for (uint64_t byte = 0; byte < plane_bytes; ++byte) {
        unsigned value = plane[byte];
        for (unsigned bit = 0; bit < 8; ++bit) {
          group[(byte * 8 + bit) * kLaneGroup] |= static_cast<uint8_t>(((value >> (7 - bit)) & 1u) << p);
        }
      }
    }
  }
}

#if defined(__x86_64__)
#define VARNEL_AVX2 __attribute__((target("avx2")))
#define VARNEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// The table entries of 8 lanes, looked up with byte shuffles: on some cores
// (AMD Zen 1) every float permute costs four cycles and a widening of codes
// two, while a 256-bit byte shuffle costs one. Each 128-bit half of the
// table register holds four float entries of the coordinate; a code word is
// the shuffle control that copies entry c & 3, bytes 4(c & 3) to 4(c & 3)+3.
// Codes of 4-7 also set bit 7 of every byte, which makes the shuffle give 0:
// for 3 bits a second shuffle with those bits flipped reads entries 4-7, and
// OR joins the two (one of them is always +0 in every bit).
template <int Bits>
VARNEL_AVX2_INLINE __m256 lookup(__m256i low_entries, __m256i high_entries, __m256i words) {
  const __m256i low = _mm256_shuffle_epi8(low_entries, words);
  if constexpr (Bits <= 2) {
    return _mm256_castsi256_ps(low);
  } else {
    const __m256i flipped = _mm256_xor_si256(words, _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_castsi256_ps(_mm256_or_si256(low, _mm256_shuffle_epi8(high_entries, flipped)));
  }
}

VARNEL_AVX2_INLINE __m256i load_words(const int32_t* words) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
}

VARNEL_AVX2_INLINE __m256i broadcast_entries(const float* entries) {
  return _mm256_castps_si256(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(entries)));
}

// Scores `Queries` tables (one or two) against a decoded block: each code
// word is loaded once for all of them, which halves what the loop reads from
// the cache per query when there are two. Four registers of eight lanes per
// query hide the latency of the adds; each lane is still one vector summed
// in coordinate order.
template <int Bits, int Queries>
VARNEL_AVX2 void sum_code_tables_avx2(const float* const* tables, const int32_t* block,
                                      uint64_t dim, uint64_t lanes, float* const* outs) {
  for (uint64_t v = 0; v < lanes; v += kLaneGroup) {
    __m256 acc[Queries][4];
    for (int q = 0; q < Queries; ++q) {
      for (int r = 0; r < 4; ++r) acc[q][r] = _mm256_setzero_ps();
    }
    const int32_t* column = block + v / kLaneGroup * dim * kLaneGroup;
    for (uint64_t j = 0; j < dim; ++j, column += kLaneGroup) {
      __m256i low[Queries], high[Queries];
      for (int q = 0; q < Queries; ++q) {
        low[q] = broadcast_entries(tables[q] + j * 8);
        high[q] = Bits <= 2 ? low[q] : broadcast_entries(tables[q] + j * 8 + 4);
      }
#pragma GCC unroll 4
      for (int r = 0; r < 4; ++r) {
        const __m256i words = load_words(column + 8 * r);
        for (int q = 0; q < Queries; ++q) {
          acc[q][r] = _mm256_add_ps(acc[q][r], lookup<Bits>(low[q], high[q], words));
        }
      }
    }
    for (int q = 0; q < Queries; ++q) {
      for (int r = 0; r < 4; ++r) _mm256_storeu_ps(outs[q] + v + 8 * r, acc[q][r]);
    }
  }
}

// The control word of code 0.
constexpr int32_t kCodeZeroWord = 0x03020100;

// Decoding works on registers of 32 lanes whose bytes hold the lanes in
// this order, chosen so that the last step, spreading each lane's byte over
// its 32-bit word, stays within 128-bit halves: eight consecutive lanes are
// bytes 4q..4q+3 of both halves.
constexpr uint64_t kLaneOfByte[kLaneGroup] = {0,  1,  2,  3,  8,  9,  10, 11, 16, 17, 18,
                                              19, 24, 25, 26, 27, 4,  5,  6,  7,  12, 13,
                                              14, 15, 20, 21, 22, 23, 28, 29, 30, 31};

// Lane bytes 4(c & 3), with bit 7 for c & 4, to the control words of
// `lookup`, lanes 0-31 in order.
VARNEL_AVX2_INLINE void store_words(__m256i lane_bytes, int32_t* out) {
  const __m256i offsets = _mm256_set1_epi32(kCodeZeroWord);
  for (int q = 0; q < 4; ++q) {
    const __m256i spread = _mm256_setr_epi8(
        4 * q, 4 * q, 4 * q, 4 * q, 4 * q + 1, 4 * q + 1, 4 * q + 1, 4 * q + 1, 4 * q + 2,
        4 * q + 2, 4 * q + 2, 4 * q + 2, 4 * q + 3, 4 * q + 3, 4 * q + 3, 4 * q + 3,  //
        4 * q, 4 * q, 4 * q, 4 * q, 4 * q + 1, 4 * q + 1, 4 * q + 1, 4 * q + 1, 4 * q + 2,
        4 * q + 2, 4 * q + 2, 4 * q + 2, 4 * q + 3, 4 * q + 3, 4 * q + 3, 4 * q + 3);
    const __m256i word = _mm256_add_epi32(_mm256_shuffle_epi8(lane_bytes, spread), offsets);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * q), word);
  }
}

// Eight plane bytes of one lane, zero past the plane's end.
VARNEL_AVX2_INLINE __m128i load_plane_bytes(const uint8_t* plane, uint64_t available) {
  if (available >= 8) return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane));
  alignas(16) uint8_t padded[16] = {};
  for (uint64_t i = 0; i < available; ++i) padded[i] = plane[i];
  return _mm_load_si128(reinterpret_cast<const __m128i*>(padded));
}

// Byte transposes of eight rows of eight bytes, one in each 128-bit half:
// afterwards byte k of row r is at out[k / 2], 64-bit part k % 2, byte r.
VARNEL_AVX2_INLINE void transpose_8x8_bytes(const __m256i rows[8], __m256i out[4]) {
  const __m256i a0 = _mm256_unpacklo_epi8(rows[0], rows[1]);
  const __m256i a1 = _mm256_unpacklo_epi8(rows[2], rows[3]);
  const __m256i a2 = _mm256_unpacklo_epi8(rows[4], rows[5]);
  const __m256i a3 = _mm256_unpacklo_epi8(rows[6], rows[7]);
  const __m256i b0 = _mm256_unpacklo_epi16(a0, a1);
  const __m256i b1 = _mm256_unpackhi_epi16(a0, a1);
  const __m256i b2 = _mm256_unpacklo_epi16(a2, a3);
  const __m256i b3 = _mm256_unpackhi_epi16(a2, a3);
  out[0] = _mm256_unpacklo_epi32(b0, b2);
  out[1] = _mm256_unpackhi_epi32(b0, b2);
  out[2] = _mm256_unpacklo_epi32(b1, b3);
  out[3] = _mm256_unpackhi_epi32(b1, b3);
}

// Plane bytes byte0 .. byte0+7 of plane p for the 32 lanes: planes[k] holds
// plane byte byte0 + k of every lane, in kLaneOfByte order. Lanes from
// `count` on read as zero.
VARNEL_AVX2_INLINE void gather_plane_bytes(const uint8_t* codes, uint64_t row_bytes,
                                           uint64_t plane_offset, uint64_t available,
                                           uint64_t count, __m256i planes[8]) {
  __m128i lane_bytes[kLaneGroup];
  for (uint64_t position = 0; position < kLaneGroup; ++position) {
    const uint64_t lane = kLaneOfByte[position];
    lane_bytes[position] = lane < count
                               ? load_plane_bytes(codes + lane * row_bytes + plane_offset, available)
                               : _mm_setzero_si128();
  }
  __m256i halves[2][4];
  for (uint64_t set = 0; set < 2; ++set) {
    __m256i rows[8];
    for (uint64_t r = 0; r < 8; ++r) {
      rows[r] = _mm256_set_m128i(lane_bytes[16 + 8 * set + r], lane_bytes[8 * set + r]);
    }
    transpose_8x8_bytes(rows, halves[set]);
  }
  for (uint64_t i = 0; i < 4; ++i) {
    planes[2 * i] = _mm256_unpacklo_epi64(halves[0][i], halves[1][i]);
    planes[2 * i + 1] = _mm256_unpackhi_epi64(halves[0][i], halves[1][i]);
  }
}

// One group of 32 lanes, eight plane bytes (64 coordinates) at a time: the
// plane bytes of the 32 rows are gathered into registers by transposes, then
// each bit becomes one coordinate's lane bytes for store_words.
VARNEL_AVX2 void decode_group_avx2(const uint8_t* codes, uint64_t dim, uint64_t bits,
                                   uint64_t first, uint64_t count, int32_t* out) {
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = plane_bytes * bits;
  const uint8_t* rows = codes + first * row_bytes;
  // What code bit p adds to a lane byte: 4 and 8 for the entry, 0x80 for bit 2.
  const __m256i weights[3] = {_mm256_set1_epi8(4), _mm256_set1_epi8(8),
                              _mm256_set1_epi8(static_cast<char>(0x80))};
  for (uint64_t byte0 = 0; byte0 < plane_bytes; byte0 += 8) {
    const uint64_t available = std::min<uint64_t>(8, plane_bytes - byte0);
    __m256i planes[3][8];
    for (uint64_t p = 0; p < bits; ++p) {
      gather_plane_bytes(rows, row_bytes, p * plane_bytes + byte0, available, count, planes[p]);
    }
    for (uint64_t k = 0; k < available; ++k) {
      for (unsigned bit = 0; bit < 8; ++bit) {
        const __m256i mask = _mm256_set1_epi8(static_cast<char>(0x80u >> bit));
        __m256i lane_bytes = _mm256_setzero_si256();
        for (uint64_t p = 0; p < bits; ++p) {
          const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(planes[p][k], mask), mask);
          lane_bytes = _mm256_or_si256(lane_bytes, _mm256_and_si256(set, weights[p]));
        }
        store_words(lane_bytes, out + ((byte0 + k) * 8 + bit) * kLaneGroup);
      }
    }
  }
}

VARNEL_AVX2 void decode_code_block_avx2(const uint8_t* codes, uint64_t dim, uint64_t bits,
                                        uint64_t first, uint64_t count, int32_t* out) {
  for (uint64_t group = 0; group < kCodeBlock / kLaneGroup; ++group) {
    uint64_t start = group * kLaneGroup;
    int32_t* target = out + group * dim * kLaneGroup;
    if (start >= count) {
      std::fill(target, target + dim * kLaneGroup, kCodeZeroWord);
    } else {
      decode_group_avx2(codes, dim, bits, first + start, std::min(kLaneGroup, count - start), target);
    }
  }
}

bool cpu_has_avx2() { return cpu_features().avx2; }
#else
bool cpu_has_avx2() { return false; }
#endif

bool portable_requested() {
  const char* path = std::getenv("VARNEL_SCAN_PATH");
  return path && std::strcmp(path, "portable") == 0;
}

std::atomic<int> forced_portable{-1};  // -1: not forced

}  // namespace

bool code_scan_uses_simd() {
  static const bool has_avx2 = cpu_has_avx2();
  static const bool simd = has_avx2 && !portable_requested();
  int forced = forced_portable.load(std::memory_order_relaxed);
  if (forced >= 0) return forced == 0 && has_avx2;
  return simd;
}

void force_code_scan_portable(bool portable) {
  forced_portable.store(portable ? 1 : 0, std::memory_order_relaxed);
}

CodeScanner make_code_scanner(uint64_t dim, uint64_t bits) {
  return CodeScanner{code_scan_uses_simd() && bits <= 3, dim, bits};
}

uint64_t CodeScanner::block_bytes() const {
  return dim * kCodeBlock * (simd ? sizeof(int32_t) : 1);
}

void CodeScanner::decode(const uint8_t* codes, uint64_t first, uint64_t count, uint8_t* out) const {
#if defined(__x86_64__)
  if (simd) {
    return decode_code_block_avx2(codes, dim, bits, first, count, reinterpret_cast<int32_t*>(out));
  }
#endif
  decode_code_block_portable(codes, dim, bits, first, count, out);
}

void CodeScanner::sum(const float* table, const uint8_t* block, uint64_t lanes, float* out) const {
#if defined(__x86_64__)
  if (simd) {
    const int32_t* words = reinterpret_cast<const int32_t*>(block);
    if (bits <= 2) return sum_code_tables_avx2<2, 1>(&table, words, dim, lanes, &out);
    return sum_code_tables_avx2<3, 1>(&table, words, dim, lanes, &out);
  }
#endif
  sum_code_tables_portable(table, block, dim, lanes, out);
}

void CodeScanner::sum_pair(const float* table_a, const float* table_b, const uint8_t* block,
                           uint64_t lanes, float* out_a, float* out_b) const {
#if defined(__x86_64__)
  if (simd) {
    const int32_t* words = reinterpret_cast<const int32_t*>(block);
    const float* tables[2] = {table_a, table_b};
    float* outs[2] = {out_a, out_b};
    if (bits <= 2) return sum_code_tables_avx2<2, 2>(tables, words, dim, lanes, outs);
    return sum_code_tables_avx2<3, 2>(tables, words, dim, lanes, outs);
  }
#endif
  sum_code_tables_portable(table_a, block, dim, lanes, out_a);
  sum_code_tables_portable(table_b, block, dim, lanes, out_b);
}

}  // namespace varnel

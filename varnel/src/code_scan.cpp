#include "code_scan.h"

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

// Four registers of eight lanes in flight hide the latency of the adds; each
// lane is still one vector summed in coordinate order.
template <int Bits>
VARNEL_AVX2 void sum_code_tables_avx2(const float* table, const int32_t* block, uint64_t dim,
                                      uint64_t lanes, float* out) {
  for (uint64_t v = 0; v < lanes; v += kLaneGroup) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
    const int32_t* column = block + v / kLaneGroup * dim * kLaneGroup;
    for (uint64_t j = 0; j < dim; ++j, column += kLaneGroup) {
      const __m256i low = broadcast_entries(table + j * 8);
      const __m256i high = Bits <= 2 ? low : broadcast_entries(table + j * 8 + 4);
      acc0 = _mm256_add_ps(acc0, lookup<Bits>(low, high, load_words(column)));
      acc1 = _mm256_add_ps(acc1, lookup<Bits>(low, high, load_words(column + 8)));
      acc2 = _mm256_add_ps(acc2, lookup<Bits>(low, high, load_words(column + 16)));
      acc3 = _mm256_add_ps(acc3, lookup<Bits>(low, high, load_words(column + 24)));
    }
    _mm256_storeu_ps(out + v, acc0);
    _mm256_storeu_ps(out + v + 8, acc1);
    _mm256_storeu_ps(out + v + 16, acc2);
    _mm256_storeu_ps(out + v + 24, acc3);
  }
}

// The control word of code 0.
constexpr int32_t kCodeZeroWord = 0x03020100;

// Code bytes (0-7) of 32 lanes to the control words of `lookup`: first each
// byte becomes 4(c & 3), with bit 7 for c & 4 (word shifts cannot carry
// across bytes at these values), then each of eight lanes is spread over its
// word and the byte offsets are added.
VARNEL_AVX2_INLINE void store_words(__m256i codes, int32_t* out) {
  const __m256i entry = _mm256_slli_epi16(_mm256_and_si256(codes, _mm256_set1_epi8(3)), 2);
  const __m256i upper = _mm256_slli_epi16(_mm256_and_si256(codes, _mm256_set1_epi8(4)), 5);
  const __m256i bytes = _mm256_or_si256(entry, upper);
  const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3,  //
                                          4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7);
  const __m256i offsets = _mm256_set1_epi32(kCodeZeroWord);
  const __m256i eighths[4] = {
      _mm256_permute4x64_epi64(bytes, 0x00), _mm256_permute4x64_epi64(bytes, 0x55),
      _mm256_permute4x64_epi64(bytes, 0xAA), _mm256_permute4x64_epi64(bytes, 0xFF)};
  for (int q = 0; q < 4; ++q) {
    const __m256i word = _mm256_add_epi32(_mm256_shuffle_epi8(eighths[q], spread), offsets);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * q), word);
  }
}

// One group of 32 lanes: gathers each plane byte of the 32 rows into a
// register, then spreads its 8 bits into 8 coordinates' codes.
VARNEL_AVX2 void decode_group_avx2(const uint8_t* codes, uint64_t dim, uint64_t bits,
                                   uint64_t first, uint64_t count, int32_t* out) {
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = plane_bytes * bits;
  alignas(32) uint8_t gathered[4][kLaneGroup];
  for (uint64_t byte = 0; byte < plane_bytes; ++byte) {
    __m256i planes[4];
    for (uint64_t p = 0; p < bits; ++p) {
      for (uint64_t lane = 0; lane < kLaneGroup; ++lane) {
        gathered[p][lane] = lane < count ? codes[(first + lane) * row_bytes + p * plane_bytes + byte] : 0;
      }
      planes[p] = _mm256_load_si256(reinterpret_cast<const __m256i*>(gathered[p]));
    }
    for (unsigned bit = 0; bit < 8; ++bit) {
      const __m256i mask = _mm256_set1_epi8(static_cast<char>(0x80u >> bit));
      __m256i code = _mm256_setzero_si256();
      for (uint64_t p = 0; p < bits; ++p) {
        __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(planes[p], mask), mask);
        code = _mm256_or_si256(code, _mm256_and_si256(set, _mm256_set1_epi8(static_cast<char>(1u << p))));
      }
      store_words(code, out + (byte * 8 + bit) * kLaneGroup);
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

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
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
    if (bits <= 2) return sum_code_tables_avx2<2>(table, words, dim, lanes, out);
    return sum_code_tables_avx2<3>(table, words, dim, lanes, out);
  }
#endif
  sum_code_tables_portable(table, block, dim, lanes, out);
}

}  // namespace varnel

#include "code_scan.h"

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

#if defined(__x86_64__)
// Four registers of eight lanes in flight hide the latency of the adds; each
// lane is still one vector summed in coordinate order.
__attribute__((target("avx2"))) void sum_code_tables_avx2(const float* table,
                                                          const uint8_t* block, uint64_t dim,
                                                          uint64_t lanes, float* out) {
  for (uint64_t v = 0; v < lanes; v += kLaneGroup) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
    const uint8_t* column = block + v / kLaneGroup * dim * kLaneGroup;
    for (uint64_t j = 0; j < dim; ++j, column += kLaneGroup) {
      __m256 entries = _mm256_loadu_ps(table + j * 8);
      __m256i i0 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(column)));
      __m256i i1 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(column + 8)));
      __m256i i2 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(column + 16)));
      __m256i i3 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(column + 24)));
      acc0 = _mm256_add_ps(acc0, _mm256_permutevar8x32_ps(entries, i0));
      acc1 = _mm256_add_ps(acc1, _mm256_permutevar8x32_ps(entries, i1));
      acc2 = _mm256_add_ps(acc2, _mm256_permutevar8x32_ps(entries, i2));
      acc3 = _mm256_add_ps(acc3, _mm256_permutevar8x32_ps(entries, i3));
    }
    _mm256_storeu_ps(out + v, acc0);
    _mm256_storeu_ps(out + v + 8, acc1);
    _mm256_storeu_ps(out + v + 16, acc2);
    _mm256_storeu_ps(out + v + 24, acc3);
  }
}

// One group of 32 lanes: gathers each plane byte of the 32 rows into a
// register, then spreads its 8 bits into 8 coordinates' code bytes.
__attribute__((target("avx2"))) void decode_group_avx2(const uint8_t* codes, uint64_t dim,
                                                       uint64_t bits, uint64_t first,
                                                       uint64_t count, uint8_t* out) {
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
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (byte * 8 + bit) * kLaneGroup), code);
    }
  }
}

__attribute__((target("avx2"))) void decode_code_block_avx2(const uint8_t* codes, uint64_t dim,
                                                            uint64_t bits, uint64_t first,
                                                            uint64_t count, uint8_t* out) {
  for (uint64_t group = 0; group < kCodeBlock / kLaneGroup; ++group) {
    uint64_t start = group * kLaneGroup;
    uint8_t* target = out + group * dim * kLaneGroup;
    if (start >= count) {
      std::memset(target, 0, dim * kLaneGroup);
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

void sum_code_tables(const float* table, const uint8_t* block, uint64_t dim, uint64_t lanes,
                     float* out) {
#if defined(__x86_64__)
  if (code_scan_uses_simd()) return sum_code_tables_avx2(table, block, dim, lanes, out);
#endif
  sum_code_tables_portable(table, block, dim, lanes, out);
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

void decode_code_block(const uint8_t* codes, uint64_t dim, uint64_t bits, uint64_t first,
                       uint64_t count, uint8_t* out) {
#if defined(__x86_64__)
  if (code_scan_uses_simd() && bits <= 4) return decode_code_block_avx2(codes, dim, bits, first, count, out);
#endif
  decode_code_block_portable(codes, dim, bits, first, count, out);
}

}  // namespace varnel

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
    float sum = 0.0f;
    for (uint64_t j = 0; j < dim; ++j) sum = sum + table[j * 8 + block[j * kCodeBlock + v]];
    out[v] = sum;
  }
}

#if defined(__x86_64__)
// Four registers of eight lanes in flight hide the latency of the adds; each
// lane is still one vector summed in coordinate order.
__attribute__((target("avx2"))) void sum_code_tables_avx2(const float* table,
                                                          const uint8_t* block, uint64_t dim,
                                                          uint64_t lanes, float* out) {
  for (uint64_t v = 0; v < lanes; v += 32) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
    const uint8_t* column = block + v;
    for (uint64_t j = 0; j < dim; ++j, column += kCodeBlock) {
      __m256 entries = _mm256_loadu_ps(table + j * 8);
      __m128i codes_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(column));
      __m128i codes_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(column + 16));
      __m256i i0 = _mm256_cvtepu8_epi32(codes_lo);
      __m256i i1 = _mm256_cvtepu8_epi32(_mm_srli_si128(codes_lo, 8));
      __m256i i2 = _mm256_cvtepu8_epi32(codes_hi);
      __m256i i3 = _mm256_cvtepu8_epi32(_mm_srli_si128(codes_hi, 8));
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
  static const bool simd = cpu_has_avx2() && !portable_requested();
  int forced = forced_portable.load(std::memory_order_relaxed);
  if (forced >= 0) return forced == 0 && cpu_has_avx2();
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

void decode_code_block(const uint8_t* codes, uint64_t dim, uint64_t bits, uint64_t first,
                       uint64_t count, uint8_t* out) {
  std::memset(out, 0, dim * kCodeBlock);
  const uint64_t plane_bytes = dim / 8;
  const uint64_t row_bytes = plane_bytes * bits;
  for (uint64_t lane = 0; lane < count; ++lane) {
    const uint8_t* row = codes + (first + lane) * row_bytes;
    for (uint64_t p = 0; p < bits; ++p) {
      const uint8_t* plane = row + p * plane_bytes;
      for (uint64_t byte = 0; byte < plane_bytes; ++byte) {
        unsigned value = plane[byte];
        if (value == 0) continue;
        uint8_t* target = out + byte * 8 * kCodeBlock + lane;
        for (unsigned bit = 0; bit < 8; ++bit) {
          target[bit * kCodeBlock] |= static_cast<uint8_t>(((value >> (7 - bit)) & 1u) << p);
        }
      }
    }
  }
}

}  // namespace varnel

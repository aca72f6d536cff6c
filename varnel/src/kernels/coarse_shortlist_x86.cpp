// x86-64 kernels of the shortlist's integer sums over blocks of sixteen
// centroids (layout in search/coarse_shortlist.h). |level * code| <= 127 * 127
// and dim < 2^17 keep every true sum exact in 32 bits, so each kernel's
// result equals the portable loop's.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <vector>

#include "search/coarse_shortlist.h"

namespace varnel::shortlist_kernels {
namespace {

// A group's four 16-bit levels as one 64-bit value, to broadcast.
int64_t group_levels(const int16_t* levels, uint64_t g) {
  int64_t packed;
  std::memcpy(&packed, levels + g * kGroup, sizeof(packed));
  return packed;
}

}  // namespace

// Codes widened to 16 bits and multiplied with the levels in pairs
// (vpmaddwd): each centroid's two pair sums stay in neighbouring lanes until
// the end of the block.
__attribute__((target("avx2"))) void sums_avx2(const int16_t* levels, const int8_t* blocks, const int32_t*,
                                               uint64_t block_count, uint64_t groups, int32_t* sums) {
  for (uint64_t b = 0; b < block_count; ++b) {
    __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};
    const int8_t* block = blocks + b * groups * kBlock * kGroup;
    for (uint64_t g = 0; g < groups; ++g) {
      const __m256i level = _mm256_set1_epi64x(group_levels(levels, g));
      const int8_t* codes = block + g * kBlock * kGroup;
      for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + part * 16));
        acc[part] = _mm256_add_epi32(acc[part], _mm256_madd_epi16(_mm256_cvtepi8_epi16(bytes), level));
      }
    }
    for (int part = 0; part < 4; ++part) {
      alignas(32) int32_t pairs[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(pairs), acc[part]);
      for (int i = 0; i < 4; ++i) {
        sums[b * kBlock + part * 4 + i] = int32_t(uint32_t(pairs[2 * i]) + uint32_t(pairs[2 * i + 1]));
      }
    }
  }
}

__attribute__((target("avx512f,avx512bw"))) void sums_avx512(const int16_t* levels, const int8_t* blocks,
                                                             const int32_t*, uint64_t block_count,
                                                             uint64_t groups, int32_t* sums) {
  for (uint64_t b = 0; b < block_count; ++b) {
    __m512i low = _mm512_setzero_si512(), high = _mm512_setzero_si512();
    const int8_t* block = blocks + b * groups * kBlock * kGroup;
    for (uint64_t g = 0; g < groups; ++g) {
      const __m512i level = _mm512_set1_epi64(group_levels(levels, g));
      const int8_t* codes = block + g * kBlock * kGroup;
      const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes));
      const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + 32));
      low = _mm512_add_epi32(low, _mm512_madd_epi16(_mm512_cvtepi8_epi16(first), level));
      high = _mm512_add_epi32(high, _mm512_madd_epi16(_mm512_cvtepi8_epi16(second), level));
    }
    // Each 64-bit lane holds one centroid's two pair sums: add them in its
    // low half and keep that half. (The all-lanes masked forms spare GCC's
    // uninitialised-value warning about the unmasked ones' undefined source.)
    constexpr __mmask8 kAll = 0xff;
    low = _mm512_add_epi32(low, _mm512_maskz_srli_epi64(kAll, low, 32));
    high = _mm512_add_epi32(high, _mm512_maskz_srli_epi64(kAll, high, 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + b * kBlock), _mm512_maskz_cvtepi64_epi32(kAll, low));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + b * kBlock + 8), _mm512_maskz_cvtepi64_epi32(kAll, high));
  }
}

// vpdpbusd multiplies unsigned by signed bytes: the levels go in as
// level + 128 and 128 * (sum of the codes) comes off at the end. Blocks go
// in pairs with four accumulators each over alternate groups: eight
// independent sums hide the instruction's latency, and each broadcast level
// serves two blocks.
namespace {

template <int kBlocks>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline void vnni_blocks(
    const uint32_t* unsigned_levels, const int8_t* block, const int32_t* code_sums, uint64_t groups,
    int32_t* sums) {
  const uint64_t block_bytes = groups * kBlock * kGroup;
  __m512i acc[kBlocks][4];
  for (int b = 0; b < kBlocks; ++b) {
    for (int a = 0; a < 4; ++a) acc[b][a] = _mm512_setzero_si512();
  }
  uint64_t g = 0;
  for (; g + 4 <= groups; g += 4) {
    for (int a = 0; a < 4; ++a) {
      const __m512i level = _mm512_set1_epi32(int32_t(unsigned_levels[g + a]));
      for (int b = 0; b < kBlocks; ++b) {
        const __m512i codes = _mm512_loadu_si512(block + b * block_bytes + (g + a) * kBlock * kGroup);
        acc[b][a] = _mm512_dpbusd_epi32(acc[b][a], level, codes);
      }
    }
  }
  for (; g < groups; ++g) {
    const __m512i level = _mm512_set1_epi32(int32_t(unsigned_levels[g]));
    for (int b = 0; b < kBlocks; ++b) {
      const __m512i codes = _mm512_loadu_si512(block + b * block_bytes + g * kBlock * kGroup);
      acc[b][0] = _mm512_dpbusd_epi32(acc[b][0], level, codes);
    }
  }
  for (int b = 0; b < kBlocks; ++b) {
    const __m512i total =
        _mm512_add_epi32(_mm512_add_epi32(acc[b][0], acc[b][1]), _mm512_add_epi32(acc[b][2], acc[b][3]));
    const __m512i offset =
        _mm512_maskz_slli_epi32(__mmask16(0xffff), _mm512_loadu_si512(code_sums + b * kBlock), 7);
    _mm512_storeu_si512(sums + b * kBlock, _mm512_sub_epi32(total, offset));
  }
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vnni"))) void sums_avx512vnni(
    const int16_t* levels, const int8_t* blocks, const int32_t* code_sums, uint64_t block_count, uint64_t groups,
    int32_t* sums) {
  std::vector<uint32_t> unsigned_levels(groups);
  for (uint64_t g = 0; g < groups; ++g) {
    uint32_t packed = 0;
    for (uint64_t t = 0; t < kGroup; ++t) packed |= uint32_t(uint8_t(levels[g * kGroup + t] + 128)) << (8 * t);
    unsigned_levels[g] = packed;
  }
  const uint64_t block_bytes = groups * kBlock * kGroup;
  uint64_t b = 0;
  for (; b + 4 <= block_count; b += 4) {
    vnni_blocks<4>(unsigned_levels.data(), blocks + b * block_bytes, code_sums + b * kBlock, groups,
                   sums + b * kBlock);
  }
  for (; b + 2 <= block_count; b += 2) {
    vnni_blocks<2>(unsigned_levels.data(), blocks + b * block_bytes, code_sums + b * kBlock, groups,
                   sums + b * kBlock);
  }
  if (b < block_count) {
    vnni_blocks<1>(unsigned_levels.data(), blocks + b * block_bytes, code_sums + b * kBlock, groups,
                   sums + b * kBlock);
  }
}

}  // namespace varnel::shortlist_kernels
#endif

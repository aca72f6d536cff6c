// Arm NEON kernel of the 3-bit pair-table scan (aarch64 only, where NEON is
// part of the base instruction set). A four-register table lookup reads a
// whole 64-entry row, as the AVX-512 VBMI permute does; a block's 32 lanes are
// two 16-byte halves. Per pair of rows and half: two lookups, one byte add
// (entries are at most 127) and two widening adds into 16-bit counters.
#if defined(__aarch64__)

#include <arm_neon.h>

#include "kernels/lut_scan_neon.h"
#include "search/pair_scan_kernels.h"

namespace varnel::pair_kernels {

namespace {

using scan_kernels::LaneCounters;
using scan_kernels::finish_chunk;

uint64_t chunk_end(uint64_t g0, uint64_t groups) {
  return groups - g0 < kChunkGroups ? groups : g0 + kChunkGroups;
}

// The four pair indices of one half (16 lanes) of a group's three columns:
// the low six bits of each byte, and the fourth from their top bits.
struct HalfIndex {
  uint8x16_t pairs[4];
};

HalfIndex half_index(const uint8_t* column, int half) {
  const uint8x16_t six = vdupq_n_u8(0x3F);
  const uint8x16_t x0 = vld1q_u8(column + 16 * half);
  const uint8x16_t x1 = vld1q_u8(column + kLanes + 16 * half);
  const uint8x16_t x2 = vld1q_u8(column + 2 * kLanes + 16 * half);
  const uint8x16_t last =
      vorrq_u8(vshrq_n_u8(x0, 6), vorrq_u8(vshlq_n_u8(vshrq_n_u8(x1, 6), 2), vshlq_n_u8(vshrq_n_u8(x2, 6), 4)));
  return {{vandq_u8(x0, six), vandq_u8(x1, six), vandq_u8(x2, six), last}};
}

// Two rows' lookups summed (at most 254) and widened into one half's counters.
void add_rows(uint16x8_t& low_eighth, uint16x8_t& high_eighth, const uint8x16x4_t& first_row,
              const uint8x16x4_t& second_row, uint8x16_t first_index, uint8x16_t second_index) {
  const uint8x16_t sums = vaddq_u8(vqtbl4q_u8(first_row, first_index), vqtbl4q_u8(second_row, second_index));
  low_eighth = vaddw_u8(low_eighth, vget_low_u8(sums));
  high_eighth = vaddw_high_u8(high_eighth, sums);
}

template <int G>
void neon_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks, uint64_t groups,
               float* out, std::size_t out_stride) {
  const uint64_t block_bytes = 3 * groups * kLanes;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    const uint8_t* codes = blocks + b * block_bytes;
    for (uint64_t g0 = 0; g0 < groups; g0 += kChunkGroups) {
      const uint64_t g1 = chunk_end(g0, groups);
      LaneCounters counters[G];
      for (int t = 0; t < G; ++t) {
        for (uint16x8_t& eighth : counters[t].eighths) eighth = vdupq_n_u16(0);
      }
      for (uint64_t g = g0; g < g1; ++g) {
        const uint8_t* column = codes + 3 * g * kLanes;
        const HalfIndex halves[2] = {half_index(column, 0), half_index(column, 1)};
        for (int t = 0; t < G; ++t) {
          const uint8_t* rows = tables[t].bytes + 4 * g * kRowBytes;
          for (int k = 0; k < 4; k += 2) {
            const uint8x16x4_t first_row = vld1q_u8_x4(rows + k * kRowBytes);
            const uint8x16x4_t second_row = vld1q_u8_x4(rows + (k + 1) * kRowBytes);
            for (int h = 0; h < 2; ++h) {
              add_rows(counters[t].eighths[2 * h], counters[t].eighths[2 * h + 1], first_row, second_row,
                       halves[h].pairs[k], halves[h].pairs[k + 1]);
            }
          }
        }
      }
      for (int t = 0; t < G; ++t) {
        finish_chunk(counters[t], tables[t], g0 == 0, out + t * out_stride + b * kLanes);
      }
    }
  }
}

}  // namespace

void scan_group_neon(const TableView* tables, std::size_t g, const uint8_t* blocks, uint64_t n_blocks,
                     uint64_t groups, float* out, std::size_t out_stride) {
  // Four queries' counters and two rows fill most of the 32 registers.
  for (std::size_t t0 = 0; t0 < g; t0 += 4) {
    const TableView* part = tables + t0;
    float* part_out = out + t0 * out_stride;
    switch (g - t0) {
      case 1: neon_scan<1>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      case 2: neon_scan<2>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      case 3: neon_scan<3>(part, blocks, n_blocks, groups, part_out, out_stride); break;
      default: neon_scan<4>(part, blocks, n_blocks, groups, part_out, out_stride); break;
    }
  }
}

}  // namespace varnel::pair_kernels

#endif  // __aarch64__

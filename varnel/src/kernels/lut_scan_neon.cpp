// Arm NEON kernel of the 4-bit scan (aarch64 only, where NEON is part of the
// base instruction set). A column of one block is two 16-byte vectors of
// codes; per query, two 16-entry table lookups each, one byte add (table bytes
// are at most 127), and four widening adds into 8 x 16-bit counters.
#if defined(__aarch64__)

#include <arm_neon.h>

#include "kernels/lut_scan_neon.h"
#include "search/lut_scan_kernels.h"

namespace varnel::scan_kernels {

namespace {

constexpr uint64_t kTableRowBytes = 16;
constexpr uint64_t kColumnTableBytes = 2 * kTableRowBytes;

uint64_t chunk_end(uint64_t c0, uint64_t columns) {
  return columns - c0 < kChunkColumns ? columns : c0 + kChunkColumns;
}

void add_pair_sums(LaneCounters& counters, uint8x16_t lanes_0_15, uint8x16_t lanes_16_31) {
  counters.eighths[0] = vaddw_u8(counters.eighths[0], vget_low_u8(lanes_0_15));
  counters.eighths[1] = vaddw_high_u8(counters.eighths[1], lanes_0_15);
  counters.eighths[2] = vaddw_u8(counters.eighths[2], vget_low_u8(lanes_16_31));
  counters.eighths[3] = vaddw_high_u8(counters.eighths[3], lanes_16_31);
}

template <int G>
void neon_scan(const TableView* tables, const uint8_t* blocks, uint64_t n_blocks,
               uint64_t columns, float* out, std::size_t out_stride) {
  const uint8x16_t nibble = vdupq_n_u8(0x0F);
  const uint64_t block_bytes = columns * kLanes;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    const uint8_t* codes = blocks + b * block_bytes;
    for (uint64_t c0 = 0; c0 < columns; c0 += kChunkColumns) {
      const uint64_t c1 = chunk_end(c0, columns);
      LaneCounters counters[G];
      for (int g = 0; g < G; ++g) {
        for (uint16x8_t& eighth : counters[g].eighths) eighth = vdupq_n_u16(0);
      }
      for (uint64_t c = c0; c < c1; ++c) {
        const uint8x16_t x0 = vld1q_u8(codes + c * kLanes);
        const uint8x16_t x1 = vld1q_u8(codes + c * kLanes + 16);
        const uint8x16_t high0 = vshrq_n_u8(x0, 4);
        const uint8x16_t high1 = vshrq_n_u8(x1, 4);
        const uint8x16_t low0 = vandq_u8(x0, nibble);
        const uint8x16_t low1 = vandq_u8(x1, nibble);
        for (int g = 0; g < G; ++g) {
          const uint8_t* rows = tables[g].bytes + c * kColumnTableBytes;
          const uint8x16_t high_table = vld1q_u8(rows);
          const uint8x16_t low_table = vld1q_u8(rows + kTableRowBytes);
          add_pair_sums(counters[g],
                        vaddq_u8(vqtbl1q_u8(high_table, high0), vqtbl1q_u8(low_table, low0)),
                        vaddq_u8(vqtbl1q_u8(high_table, high1), vqtbl1q_u8(low_table, low1)));
        }
      }
      for (int g = 0; g < G; ++g) {
        finish_chunk(counters[g], tables[g], c0 == 0, out + g * out_stride + b * kLanes);
      }
    }
  }
}

}  // namespace

void scan_group_neon(const TableView* tables, std::size_t g, const uint8_t* blocks,
                     uint64_t n_blocks, uint64_t columns, float* out, std::size_t out_stride) {
  switch (g) {
    case 1: return neon_scan<1>(tables, blocks, n_blocks, columns, out, out_stride);
    case 2: return neon_scan<2>(tables, blocks, n_blocks, columns, out, out_stride);
    case 3: return neon_scan<3>(tables, blocks, n_blocks, columns, out, out_stride);
    default: return neon_scan<4>(tables, blocks, n_blocks, columns, out, out_stride);
  }
}

}  // namespace varnel::scan_kernels

#endif  // __aarch64__

#pragma once
// NEON pieces shared by the 4-bit and 3-bit scan kernels (lut_scan_neon.cpp,
// pair_scan_neon.cpp): a block's 16-bit counters and the last step of a
// chunk. Include only from files built for aarch64.
#include <arm_neon.h>

#include "search/lut_scan_kernels.h"

namespace varnel::scan_kernels {

// Counters of lanes 0-7, 8-15, 16-23, 24-31 of one block.
struct LaneCounters {
  uint16x8_t eighths[4];
};

// Adds S * delta to the 32 lanes of one block (bias first on the first chunk).
inline void finish_chunk(const LaneCounters& counters, const TableView& table, bool first_chunk,
                         float* lanes) {
  const float32x4_t delta = vdupq_n_f32(table.delta);
  for (int q = 0; q < 4; ++q) {
    const uint32x4_t quarter_sums[2] = {vmovl_u16(vget_low_u16(counters.eighths[q])),
                                        vmovl_high_u16(counters.eighths[q])};
    for (int h = 0; h < 2; ++h) {
      float* dest = lanes + 8 * q + 4 * h;
      const float32x4_t acc = first_chunk ? vdupq_n_f32(table.bias) : vld1q_f32(dest);
      vst1q_f32(dest, vfmaq_f32(acc, vcvtq_f32_u32(quarter_sums[h]), delta));
    }
  }
}

}  // namespace varnel::scan_kernels

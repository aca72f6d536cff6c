#pragma once
// Kernels of the 4-bit scan, one per instruction set. Each scores a group of
// up to kMaxGroup query tables against consecutive blocks; lut_scan.cpp picks
// one at run time and cuts the work into groups and cache-sized tiles.
// Declarations only: no code here is compiled for more than one target.
#include <cstddef>
#include <cstdint>

namespace varnel::scan_kernels {

// What a kernel reads of a QueryTable, as plain values.
struct TableView {
  const uint8_t* bytes;  // columns * 32 bytes
  float bias;
  float delta;
};

// The most tables any kernel scores per pass; each path has its own group
// size (lut_scan.cpp), at most this.
inline constexpr std::size_t kMaxGroup = 8;
// 256 columns of at most 127 + 127 keep a 16-bit counter exact (65024).
inline constexpr uint64_t kChunkColumns = 256;
inline constexpr uint64_t kLanes = 32;

// tables: g views, 1 <= g <= the path's group size; blocks: the first block to score;
// columns >= 1. Writes out[t * out_stride + b * 32 + lane] for b < n_blocks.
using GroupKernel = void (*)(const TableView* tables, std::size_t g, const uint8_t* blocks,
                             uint64_t n_blocks, uint64_t columns, float* out,
                             std::size_t out_stride);

// The last step of a filtered scan, done on the scores while they are still
// in registers: each score multiplied by its vector's factor (one rounding),
// and for table t bit b of above[t] set when block b holds a product greater
// than thresholds[t] (NaN never is). n_blocks <= 64.
struct ScoreFilter {
  const float* factors;     // n_blocks * 32, one per lane
  const float* thresholds;  // one per table
  uint64_t* above;          // one per table, assigned
};

using FilteredGroupKernel = void (*)(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                     uint64_t n_blocks, uint64_t columns, const ScoreFilter& filter,
                                     float* out, std::size_t out_stride);

void scan_group_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                         uint64_t n_blocks, uint64_t columns, float* out, std::size_t out_stride);
void scan_group_filtered_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                  uint64_t n_blocks, uint64_t columns, const ScoreFilter& filter,
                                  float* out, std::size_t out_stride);
#if defined(__x86_64__)
void scan_group_filtered_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                              uint64_t n_blocks, uint64_t columns, const ScoreFilter& filter,
                              float* out, std::size_t out_stride);
void scan_group_filtered_avx512(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                uint64_t n_blocks, uint64_t columns, const ScoreFilter& filter,
                                float* out, std::size_t out_stride);
void scan_group_filtered_avx512vbmi(const TableView* tables, std::size_t g,
                                    const uint8_t* blocks, uint64_t n_blocks, uint64_t columns,
                                    const ScoreFilter& filter, float* out,
                                    std::size_t out_stride);
void scan_group_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                     uint64_t n_blocks, uint64_t columns, float* out, std::size_t out_stride);
void scan_group_avx512(const TableView* tables, std::size_t g, const uint8_t* blocks,
                       uint64_t n_blocks, uint64_t columns, float* out, std::size_t out_stride);
void scan_group_avx512vbmi(const TableView* tables, std::size_t g, const uint8_t* blocks,
                           uint64_t n_blocks, uint64_t columns, float* out,
                           std::size_t out_stride);
#endif
#if defined(__aarch64__)
void scan_group_neon(const TableView* tables, std::size_t g, const uint8_t* blocks,
                     uint64_t n_blocks, uint64_t columns, float* out, std::size_t out_stride);
#endif

}  // namespace varnel::scan_kernels

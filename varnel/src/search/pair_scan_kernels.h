#pragma once
// Kernels of the 3-bit pair-table scan, one per instruction set; declarations
// only (pair_scan.cpp picks one at run time).
#include <cstddef>
#include <cstdint>

#include "search/lut_scan_kernels.h"

namespace varnel::pair_kernels {

using scan_kernels::TableView;  // bytes: groups * 4 rows of 64 bytes

// Eight-coordinate groups per chunk (two 8-bit sums per group per lane).
inline constexpr uint64_t kChunkGroups = 128;
inline constexpr uint64_t kLanes = 32;
inline constexpr uint64_t kRowBytes = 64;

// tables: g views (1..8); groups = dim / 8 >= 1. Writes
// out[t * out_stride + b * 32 + lane] for b < n_blocks.
using GroupKernel = void (*)(const TableView* tables, std::size_t g, const uint8_t* blocks,
                             uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);

void scan_group_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                         uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
#if defined(__x86_64__)
void scan_group_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                     uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
void scan_group_avx512vbmi(const TableView* tables, std::size_t g, const uint8_t* blocks,
                           uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
#endif

}  // namespace varnel::pair_kernels

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

// The split form of the tables (SIMD paths without a 64-byte permute): each
// pair's value approximated as a sum of one byte per coordinate, A[code(2r)] +
// B[code(2r+1)], each at most 127. Row r is 32 bytes: A's eight entries twice,
// then B's twice, so a 16-entry shuffle can take index bit 3 from a
// neighbouring code. A group's four pair sums (each at most 254) go to the
// 16-bit counters one by one, so a chunk holds 64 groups.
inline constexpr uint64_t kSplitChunkGroups = 64;
inline constexpr uint64_t kSplitRowBytes = 32;

// tables: g views (1..8); groups = dim / 8 >= 1. Writes
// out[t * out_stride + b * 32 + lane] for b < n_blocks.
using GroupKernel = void (*)(const TableView* tables, std::size_t g, const uint8_t* blocks,
                             uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);

void scan_group_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                         uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
void scan_split_group_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                               uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
#if defined(__x86_64__)
void scan_split_group_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                           uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
void scan_split_group_avx512(const TableView* tables, std::size_t g, const uint8_t* blocks,
                             uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
void scan_group_avx2(const TableView* tables, std::size_t g, const uint8_t* blocks,
                     uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
void scan_group_avx512vbmi(const TableView* tables, std::size_t g, const uint8_t* blocks,
                           uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride);
#endif
#if defined(__aarch64__)
void scan_group_neon(const TableView* tables, std::size_t g, const uint8_t* blocks, uint64_t n_blocks,
                     uint64_t groups, float* out, std::size_t out_stride);
#endif

}  // namespace varnel::pair_kernels

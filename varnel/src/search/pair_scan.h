#pragma once
// The 3-bit table-lookup scan: one 64-entry byte table per pair of
// coordinates, scanned over the 3-bit blocked layout (pack.h) 32 vectors at a
// time. It computes the same kind of approximate score as the 4-bit scan,
// bias + sum over chunks of S * delta (one fused multiply-add per chunk), where
// S sums the table bytes of the vector's pair indices; the 2- and 3-bit search
// uses it as a bounded estimate before exact verification. Portable, AVX2 and
// AVX-512 VBMI paths give bit-identical results.
#include <cstddef>
#include <cstdint>

#include "search/lut_scan.h"

namespace varnel {

// Pairs per chunk: eight coordinates contribute two byte sums of at most 254
// to a lane's 16-bit counter, so 128 groups (256 pairs) stay below 65536.
inline constexpr uint64_t kPairChunk = 256;

// tables[t]->bytes: dim/2 rows of 64 bytes (row r: pair index (code(2r) << 3 |
// code(2r+1)) -> byte, each at most 127). For blocks [b0, b1) of the 3-bit
// layout (block_bytes = 3 * dim/8 * 32) writes lane scores to
// out[t * out_stride + (b - b0) * 32 + lane]. Throws varnel::Error on a
// table of the wrong size or a reversed range.
void scan_pair_blocks(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                      uint64_t dim, uint64_t b0, uint64_t b1, float* out, std::size_t out_stride);

// The same scan over tables of the split form (pair_scan_kernels.h: dim/2
// rows of 32 bytes, a pair's byte the sum of one byte per coordinate, each at
// most 127), with chunks of 64 groups. The kernel that needs four shuffles
// per 64-entry row scans these with two.
void scan_split_pair_blocks(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                            uint64_t dim, uint64_t b0, uint64_t b1, float* out, std::size_t out_stride);

// Whether queries should bring split tables: the current path has no
// 64-entry byte permute.
bool pair_scan_prefers_split_tables();

// The kernel a 3-bit search uses now (follows the 4-bit path choice; the
// AVX-512 path needs VBMI for 64-entry rows, else split tables serve, with
// " split" after the kernel's name).
const char* pair_scan_path_name();

}  // namespace varnel

#pragma once
// The 4-bit table-lookup scan: a per-query byte table of the query's
// contribution for every (coordinate, code), scanned over the blocked layout
// 32 vectors at a time with byte shuffles. Portable, x86 (AVX2, AVX-512BW,
// AVX-512 VBMI) and Arm NEON paths give bit-identical results; their kernels
// live in kernels/.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/cpu.h"

namespace varnel {

struct QueryTable {
  std::vector<uint8_t> bytes;  // dim * 16: 16 consecutive bytes per coordinate, values 0..127
  float bias = 0.0f;           // sum of the per-coordinate minima
  float delta = 1.0f;          // value of one byte step
};

// rq: the rotated query (dim values); centroids: 16 values.
QueryTable build_query_table(const float* rq, const float* centroids, uint64_t dim);

// For each of nt tables and every lane of blocks [b0, b1) of the blocked
// layout, writes the unnormalised score bias + sum over 256-column chunks of
// S * delta (one fused multiply-add per chunk) to
// out[t * out_stride + (b - b0) * 32 + lane].
//
// `blocked` must hold at least b1 blocks of dim/2 * 32 bytes (the caller
// keeps b1 <= n_blocks) and every table pointer must be valid. Tables are
// scored in groups of four (eight on the VBMI path) per pass over a block, and
// the range is walked in
// tiles of about 96 KB of codes, so passing several queries and a long range
// at once reuses every code load. Throws varnel::Error when a table does not
// hold dim * 16 bytes, when b1 < b0, or when nt > 1 and out_stride is shorter
// than one table's (b1 - b0) * 32 scores. Table bytes above 127 (never
// produced by build_query_table) make the SIMD paths differ.
void scan_blocks(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                 uint64_t dim, uint64_t b0, uint64_t b1, float* out, std::size_t out_stride);

// scan_blocks over at most kMaxFilteredBlocks blocks, each score then
// multiplied by its vector's factor, factors[(b - b0) * 32 + lane] (one
// rounding: the product a separate multiply gives), and for table t bit
// b - b0 of above[t] set when block b holds a product greater than
// thresholds[t] (NaN never is). The kernels do this while the scores are in
// registers, so a search reads back only the blocks that hold a candidate.
// factors must hold (b1 - b0) * 32 values, thresholds and above nt each.
// Throws as scan_blocks does, and when b1 - b0 > kMaxFilteredBlocks.
inline constexpr uint64_t kMaxFilteredBlocks = 64;
void scan_blocks_filtered(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                          uint64_t dim, uint64_t b0, uint64_t b1, const float* factors,
                          const float* thresholds, uint64_t* above, float* out,
                          std::size_t out_stride);

// Tables the active path's kernel scores per pass over the codes: a caller
// that hands scan_blocks this many at a time reads each group's scores back
// while they are still in the first-level cache.
std::size_t scan_group_size();

// The 4-bit kernels' rates at dim 128 ((query, stored vector) pairs per
// second) from the timing that picks the fastest path of this process (run
// now if it has not yet); empty with fewer than two SIMD paths.
struct ScanPathRate {
  ScanPath path;
  double pairs_per_second;
};
std::vector<ScanPathRate> scan_path_rates();

}  // namespace varnel

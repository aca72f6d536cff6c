#pragma once
// The tables one query brings to the 2- and 3-bit bounded scan
// (bounded_scan.h): approximate byte tables, the exact scorer's table, and the
// offsets that bound the exact score from the approximate one.
#include <cstdint>
#include <span>
#include <vector>

#include "search/lut_scan.h"

namespace varnel {

struct BoundedQuery {
  // Byte tables of the approximate scan: dim/2 rows (one per coordinate pair)
  // of 16 (2 bits) or 64 (3 bits) entries; bias 0.
  QueryTable approx;
  // rq_j * centroid[c] at j * 8 + c: the exact scorer's table.
  std::vector<float> exact;
  // The exact unnormalised score s of any stored vector with approximate
  // score a satisfies fl(a + lower_offset) <= s <= fl(a + upper_offset).
  // Infinite when no bound holds (a query with NaN or infinity, huge dims):
  // then every vector is scored exactly.
  float upper_offset = 0.0f;
  float lower_offset = 0.0f;
  // 3 bits: the tables are of the split form (pair_scan.h), not 64-entry rows.
  bool split = false;
};

// How a 3-bit query's pair tables are laid out: 64-entry rows, or one byte
// per coordinate (what a kernel without a 64-byte permute scans fastest).
// The bound holds for either; results are the same, only the work differs.
enum class PairTables { Joint, Split };

// rq: the rotated query (dim values); centroids: 2^bits values; bits 2 or 3.
// Tables of the form the current scan path prefers.
BoundedQuery build_bounded_query(const float* rq, std::span<const float> centroids, uint64_t dim,
                                 uint64_t bits);
// Tables of the given form (2 bits: always 16-entry rows).
BoundedQuery build_bounded_query(const float* rq, std::span<const float> centroids, uint64_t dim,
                                 uint64_t bits, PairTables form);

}  // namespace varnel

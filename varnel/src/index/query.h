#pragma once
// Search with options: a filter applied inside the scan, cosine and squared
// L2 from the stored norms, exact re-scoring of the best candidates against
// the caller's float vectors, and decoding of stored vectors.
//
// Without options, query() returns exactly what SkerryIndex::search returns:
// the same kernels, the same selector, the same offering order.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "index/id_map.h"
#include "index/skerry_index.h"
#include "search/metric_keys.h"
#include "search/search.h"

namespace varnel {

// "ip", "cosine" or "l2"; throws ArgumentError otherwise.
Metric parse_metric(std::string_view name);

// The positions a query may return, as one 32-bit lane mask per block of 32
// stored vectors: a block whose mask is 0 is never scanned.
class AllowedSet {
 public:
  // Every position; throws ArgumentError for a position not below n.
  static AllowedSet from_positions(std::span<const int64_t> positions, uint64_t n);
  static AllowedSet from_positions(std::span<const uint64_t> positions, uint64_t n);
  // One byte per position, nonzero = allowed; the length must be n.
  static AllowedSet from_mask(std::span<const uint8_t> mask, uint64_t n);
  static AllowedSet none(uint64_t n);

  void allow(uint64_t position);
  uint64_t n() const { return n_; }
  uint64_t count() const { return count_; }
  uint32_t block_mask(uint64_t block) const { return masks_[block]; }
  const std::vector<uint32_t>& masks() const { return masks_; }
  bool contains(uint64_t position) const {
    return position < n_ && (masks_[position / 32] >> (position % 32) & 1u);
  }
  // The largest allowed position; only meaningful when count() > 0.
  uint64_t last() const;

 private:
  explicit AllowedSet(uint64_t n) : masks_(blocks_for(n), 0u), n_(n) {}
  std::vector<uint32_t> masks_;
  uint64_t n_ = 0;
  uint64_t count_ = 0;
};

// The caller's float32 vectors for exact re-scoring: `rows` rows of `cols`
// values, row-major. Read during the call only.
struct RefineRows {
  const float* data = nullptr;
  uint64_t rows = 0;
  uint64_t cols = 0;
};

struct QueryOptions {
  const AllowedSet* allowed = nullptr;  // nullptr: every stored vector
  Metric metric = Metric::InnerProduct;
  const RefineRows* refine = nullptr;   // nullptr: scores from the codes
  uint64_t refine_factor = 1;           // candidates re-scored: refine_factor * k
  // Row of the refine array that holds the vector at each position; empty
  // means the position itself (IdMapIndex passes its ids).
  std::span<const uint64_t> refine_row_of_position;
  // IdMapIndex only: the id of each refine row, in any order; without it
  // row i holds id i. Every id the query may return needs a row.
  std::optional<std::span<const uint64_t>> refine_ids;
};

// Scores, best first: descending for "ip" and "cosine", ascending squared
// distances for "l2". Empty slots: position -1 with -inf ("ip", "cosine")
// or +inf ("l2"). The effective k is min(k, allowed vectors), at least 1.
// Argument problems throw ArgumentError before any work; Interrupted (from
// poll_interrupt) leaves nothing changed.
SearchResults query(const SkerryIndex& index, std::span<const float> queries, uint64_t k,
                    const QueryOptions& options);

// The exact scores refinement uses, summed in coordinate order from 0, every
// product and sum rounded to float32 (no vector sums, so the same on every
// machine): "ip" sum q_j x_j; "l2" sum (q_j - x_j)^2; "cosine" ip / (|q| |x|),
// 0 when either norm is 0.
float exact_score(Metric metric, const float* q, const float* x, uint64_t dim);

// |v| as stored for every vector: squares summed in coordinate order, sqrt.
float vector_norm(const float* v, uint64_t dim);

// The approximate vectors at `positions` decoded from their codes: each
// coordinate's centroid, rotated back, times the stored norm. count * dim
// values. Throws ArgumentError for a position not below n.
std::vector<float> reconstruct(const SkerryIndex& index, std::span<const uint64_t> positions);

// Tests: 1 always copies the allowed vectors out before scanning, 0 never,
// -1 decides by the estimated cost. Results are the same either way.
void force_filter_compaction(int mode);

// Tests: at 2 and 3 bits, true scores every allowed vector exactly instead of
// taking the bounded scan's candidates. Results are the same either way.
void force_exact_code_scan(bool exact);

// IdMapIndex: the positions of the given ids (ids not stored are ignored).
AllowedSet allowed_ids(const IdMapIndex& index, std::span<const uint64_t> ids);

// As above, with ids for positions (2^64 - 1 for an empty slot); refine
// rows are indexed by id.
IdSearchResults query(const IdMapIndex& index, std::span<const float> queries, uint64_t k,
                      QueryOptions options);

// Decoded vectors of stored ids; ArgumentError for an id that is not stored.
std::vector<float> reconstruct(const IdMapIndex& index, std::span<const uint64_t> ids);

// Range search over query results: empties every slot whose score lies
// beyond `radius` (below it for "ip" and "cosine", above it for the squared
// "l2" distance), as an empty slot of that metric. Results are best first,
// so the kept slots of a row are a prefix. ArgumentError for a NaN radius.
void keep_within_radius(SearchResults& results, Metric metric, float radius);
void keep_within_radius(IdSearchResults& results, Metric metric, float radius);

}  // namespace varnel

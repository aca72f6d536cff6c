#pragma once
// Batched exhaustive top-k search: query preparation and the scorers of each
// code width, all feeding the top-k selector of top_k.h.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quantize/pack.h"
#include "search/top_k.h"

namespace varnel {

struct SearchResults {
  std::vector<float> scores;     // nq * k, row-major, best first
  std::vector<int64_t> indices;  // nq * k, -1 for an empty slot
  uint64_t nq = 0;
  uint64_t k = 0;                // effective k
};

// Queries are scored unscaled, so a query must be finite and small enough
// that its rotated values (bounded by its norm) stay finite: the row of the
// first query that is not, if any.
std::optional<uint64_t> first_unusable_query(std::span<const float> queries, uint64_t dim);

// Copies nq queries into zero-padded working rows of padded_dim values and
// applies the forward rotation to each.
std::vector<float> prepare_queries(std::span<const float> queries, uint64_t nq, uint64_t dim,
                                   std::span<const float> signs, std::span<const float> matrices,
                                   uint64_t block, uint64_t padded_dim);

// The general scorer (2 and 3 bits): prepares the queries itself and scores
// every stored row by decoding it and multiplying with the centroids.
SearchResults search(std::span<const float> queries, uint64_t nq, uint64_t dim,
                     std::span<const float> signs, std::span<const float> matrices, uint64_t block,
                     uint64_t padded_dim, std::span<const uint8_t> codes,
                     std::span<const float> centroids, std::span<const float> norms, uint64_t bits,
                     uint64_t n, uint64_t k);

class CodeStore;

// The 2- and 3-bit path: prepared working rows (nq * padded_dim), the codes in
// their blocked store, the centroids; k is the effective k. Gives the same
// results as the general scorer, by a bounded approximate scan and exact
// verification (bounded_scan.h).
SearchResults search_bounded(std::span<const float> prepared, uint64_t nq, uint64_t dim,
                             uint64_t padded_dim, std::span<const float> centroids,
                             const CodeStore& store, std::span<const float> norms, uint64_t k);

// The 4-bit path: prepared working rows (nq * padded_dim), the blocked codes
// and the 16 centroids; k is the effective k.
SearchResults search_4bit(std::span<const float> prepared, uint64_t nq, uint64_t dim,
                          uint64_t padded_dim, std::span<const float> centroids,
                          const BlockedCache& cache, std::span<const float> norms, uint64_t n,
                          uint64_t k);

}  // namespace varnel

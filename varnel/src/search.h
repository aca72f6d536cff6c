#pragma once
// Batched exhaustive top-k search: query preparation, the general scorer for
// 2 and 3 bits and the top-k selector shared with the 4-bit scan.
#include <cstdint>
#include <span>
#include <vector>

#include "pack.h"

namespace varnel {

struct SearchResults {
  std::vector<float> scores;     // nq * k, row-major, best first
  std::vector<int64_t> indices;  // nq * k, -1 for an empty slot
  uint64_t nq = 0;
  uint64_t k = 0;                // effective k
};

struct Candidate {
  float score;
  uint64_t pos;
};

// Keeps the best K candidates offered in position order. Once the list is
// full, a candidate enters only with a score strictly above the smallest kept
// one, so of equal scores the earlier position stays. NaN ranks below every
// number: it never enters a full list and is the first to be replaced.
class TopK {
 public:
  explicit TopK(uint64_t k);
  void offer(float score, uint64_t pos);
  // Whether offer(score, ...) could change the list.
  bool admits(float score) const { return list_.size() < k_ || ranks_below(list_.front().score, score); }
  // When the list is full and its smallest score is a number, exactly the
  // scores strictly above threshold() are admitted.
  bool has_plain_threshold() const { return list_.size() == k_ && list_.front().score == list_.front().score; }
  float threshold() const { return list_.front().score; }
  // Completes the list with (-inf, -1) and writes it best first.
  void finish(float* scores_out, int64_t* indices_out);

  // The strict order used everywhere: numbers as usual, NaN below all.
  static bool ranks_below(float a, float b) { return a < b || (a != a && b == b); }

 private:
  void sort_ascending();
  void sift_up_from_front();
  std::vector<Candidate> list_;
  uint64_t k_;
};

// Offers scores[i] for positions first .. first + count - 1, in order,
// skipping cheaply the ones that cannot enter.
void offer_scores(TopK& top, const float* scores, uint64_t first, uint64_t count);

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

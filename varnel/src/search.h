#pragma once
// Batched exhaustive top-k search: query preparation, the general scorer for
// 2 and 3 bits and the top-k selector shared with the 4-bit scan.
#include <cstdint>
#include <span>
#include <vector>

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

// Keeps the best K candidates offered in position order. Equal scores keep
// the earlier candidate once the list is full; NaN never enters a full list.
class TopK {
 public:
  explicit TopK(uint64_t k);
  void offer(float score, uint64_t pos);
  // Scores at or below this can never enter (valid once full()).
  bool full() const { return list_.size() == k_; }
  float threshold() const { return list_.front().score; }
  // Completes the list with (-inf, -1) and writes it best first.
  void finish(float* scores_out, int64_t* indices_out);

 private:
  std::vector<Candidate> list_;
  uint64_t k_;
};

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

}  // namespace varnel

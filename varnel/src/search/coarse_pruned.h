#pragma once
// The nearest centroid of many rows without scoring every centroid, with
// exactly the answer of scoring them all.
//
// The centroids are regrouped into tiles of nearby centroids (a balanced
// two-means split, cut at whole tiles). For a row, the tile around the
// closest tile centre is scored first; its best centroid a, at distance d_a,
// rules out every tile whose centroids all lie more than 2 d_a from a, since
// by the triangle inequality they are farther from the row than a. The
// distances from every centroid to every tile are found once per batch.
//
// Each tile scored takes the same kernel and the same sequential float sums
// as the exhaustive search, so every value compared is bit for bit the value
// it would have had; a tile is skipped only when all its values are
// provably strictly below the best found (margins for float rounding below),
// and among equal values the lowest centroid number wins as there.
#include <cstdint>
#include <functional>
#include <vector>

#include "search/coarse.h"

namespace varnel {

class PrunedNearest {
 public:
  // row_at(i): the address of row i. score_every(from): the answers for
  // rows from .. count - 1 by scoring every centroid, taken when the first
  // rows show that pruning saves too little.
  using RowAt = std::function<const float*(uint64_t)>;
  using Rest = std::function<void(uint64_t)>;

  explicit PrunedNearest(const CoarseTable& table);
  // As CoarseTable::nearest. Runs on the worker pool; polls for interrupts.
  void nearest(const RowAt& row_at, uint64_t count, uint32_t* out, const Rest& score_every) const;

 private:
  struct Choice;
  void group_centroids(const std::vector<float>& centroids);
  void lay_out_tiles(const std::vector<float>& centroids);
  void measure_tile_distances(const std::vector<float>& centroids);
  uint64_t nearest_of_task(const float* const* rows, uint64_t count, uint32_t* out) const;
  std::vector<uint32_t> first_tiles(const float* const* rows, uint64_t count) const;
  bool rules_out(const Choice& choice, uint64_t tile) const;
  uint64_t open_tiles(const Choice& choice, uint32_t* open) const;
  uint64_t score_waiting(const float* const* rows, uint64_t tile, const uint32_t* waiting, uint64_t n,
                         Choice* choices, bool recheck) const;
  void score_tile(const float* const* rows, uint64_t tile, Choice* const* choices) const;

  uint64_t lists_, dim_, tiles_ = 0;
  // Centroid numbers tile by tile, ascending within a tile (so the lowest
  // lane of equal values is the lowest number).
  std::vector<std::vector<uint32_t>> members_;
  // The tiles in the kernels' layout (padded with zero centroids), their
  // half norms, and each lane's centroid number.
  std::vector<float> tiled_, half_;
  std::vector<uint32_t> number_;
  // The mean of each tile, in tiles of kTile means, and half their squared
  // norms (padding: +inf, never closest).
  std::vector<float> centres_, centre_half_;
  // separation_[c * tiles_ + t]: a lower bound on the distance from
  // centroid c to the nearest centroid of tile t.
  std::vector<float> separation_;
  // The largest centroid norm: it bounds every value's rounding error.
  double largest_norm_ = 0.0;
};

}  // namespace varnel

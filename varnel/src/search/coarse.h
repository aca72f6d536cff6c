#pragma once
// Inner products of many rows with a fixed set of centroids: the coarse step
// of the partitioned index (which lists a query probes, which list a vector
// joins) and of training its centroids.
//
// Every product is the plain sequential float sum over coordinates 0, 1, ...
// of the rounded products, whatever the instruction set: the kernels spread
// centroids (not coordinates) over the vector lanes, so each lane performs
// exactly the scalar sequence of rounded multiplies and adds. Results are
// therefore bit-identical on every path and thread count.
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/cpu.h"

namespace varnel {

class CoarseTable {
 public:
  // Centroids a tile of the kernels holds side by side.
  static constexpr uint64_t kTile = 32;

  CoarseTable() = default;
  // centroids: lists rows of dim values.
  CoarseTable(std::span<const float> centroids, uint64_t lists, uint64_t dim);

  uint64_t lists() const { return lists_; }
  uint64_t dim() const { return dim_; }
  // Half the squared norm of each centroid (sequential float sum).
  std::span<const float> half_norms() const { return half_norms_; }

  // out[r * lists + c] = <rows[r], centroid c> for r < count.
  void dots(const float* rows, uint64_t count, float* out) const;
  // The same for rows anywhere in memory, one pointer each.
  void dots(const float* const* rows, uint64_t count, float* out) const;
  // For each row the centroid nearest by Euclidean distance, found as the
  // largest <x, c> - |c|^2 / 2; of equal values the lowest centroid number.
  // Runs on the worker pool; polls for interrupts.
  void nearest(const float* rows, uint64_t count, uint32_t* out) const;
  void nearest(const float* const* rows, uint64_t count, uint32_t* out) const;

  // How nearest reaches its answer; every way gives the same centroids.
  // kEvery scores each row against every centroid; kPruned skips tiles of
  // centroids that provably cannot hold the answer (see coarse_pruned.h);
  // kAuto prunes where the batch is large enough to repay its set-up.
  enum class NearestSearch { kAuto, kEvery, kPruned };
  void nearest(const float* rows, uint64_t count, uint32_t* out, NearestSearch search) const;
  void nearest(const float* const* rows, uint64_t count, uint32_t* out, NearestSearch search) const;
  // Whether kAuto prunes a batch of `count` rows.
  bool prunes(uint64_t count) const;
  // The values of centroid c (dim of them) into out.
  void copy_centroid(uint64_t c, float* out) const;

 private:
  uint32_t nearest_of(float* dots) const;
  void remainder_dots(const float* row, float* out) const;
  template <class RowAt>
  void dots_of(const RowAt& row_at, uint64_t count, float* out) const;
  template <class RowAt>
  void nearest_of_rows(const RowAt& row_at, uint64_t count, uint32_t* out) const;

  // Whole tiles of dim x kTile values (coordinate-major), then the other
  // centroids row by row: lists * dim values.
  std::vector<float> tiled_;
  std::vector<float> half_norms_;
  uint64_t lists_ = 0;
  uint64_t dim_ = 0;
};

namespace coarse_kernels {
// Four rows against one tile: acc[r * kTile + c] = sum_j rows[r][j] * tile[j * kTile + c],
// summed sequentially in j from zero. A tile of 32 centroids gives the
// AVX-512 kernel eight independent sums per coordinate, enough to keep its
// adders busy.
using TileKernel = void (*)(const float* const* rows, const float* tile, uint64_t dim, float* acc);
// One row against two consecutive tiles (`tile` and `tile + dim * kTile`):
// acc[t * kTile + c], the same sequential sums (acc: 2 * kTile values). A single query takes this
// path instead of repeating its row four times.
using RowKernel = void (*)(const float* row, const float* tile, uint64_t dim, float* acc);
// The nearest centroid without keeping the products: the four-row tile
// kernel, then for each row r the values acc - half over the first `lanes`
// centroids of the tile (numbers first, first + 1, ...) join the running
// choice (best[r], index[r]). A value counts when it exceeds best[r] or when
// index[r] is still kNoCentroid (the first comparable value); among equal
// values the lowest number stays, and NaN never counts. Tiles passed in
// increasing order thus leave the largest value and its lowest number.
using TileNearestKernel = void (*)(const float* const* rows, const float* tile, const float* half, uint64_t dim,
                                   uint64_t lanes, uint32_t first, float* best, uint32_t* index);
constexpr uint32_t kNoCentroid = 0xffffffffu;
// The kernels of the active scan path.
TileKernel active_tile_kernel();
TileNearestKernel active_tile_nearest_kernel();
void tile_dots_portable(const float* const* rows, const float* tile, uint64_t dim, float* acc);
void row_dots_portable(const float* row, const float* tile, uint64_t dim, float* acc);
void tile_nearest_portable(const float* const* rows, const float* tile, const float* half, uint64_t dim,
                           uint64_t lanes, uint32_t first, float* best, uint32_t* index);
#if defined(__x86_64__)
void tile_dots_avx2(const float* const* rows, const float* tile, uint64_t dim, float* acc);
void tile_dots_avx512(const float* const* rows, const float* tile, uint64_t dim, float* acc);
void tile_nearest_avx2(const float* const* rows, const float* tile, const float* half, uint64_t dim,
                       uint64_t lanes, uint32_t first, float* best, uint32_t* index);
void tile_nearest_avx512(const float* const* rows, const float* tile, const float* half, uint64_t dim,
                         uint64_t lanes, uint32_t first, float* best, uint32_t* index);
void row_dots_avx2(const float* row, const float* tile, uint64_t dim, float* acc);
void row_dots_avx512(const float* row, const float* tile, uint64_t dim, float* acc);
#endif
}  // namespace coarse_kernels

}  // namespace varnel

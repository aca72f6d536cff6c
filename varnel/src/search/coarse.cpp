#include "search/coarse.h"

#include <algorithm>

#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/pool.h"

namespace varnel {

namespace coarse_kernels {

void tile_dots_portable(const float* const* rows, const float* tile, uint64_t dim, float* acc) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  for (uint64_t i = 0; i < 4 * kTile; ++i) acc[i] = 0.0f;
  for (uint64_t j = 0; j < dim; ++j) {
    const float* column = tile + j * kTile;
    for (uint64_t r = 0; r < 4; ++r) {
      const float value = rows[r][j];
      float* lane = acc + r * kTile;
      for (uint64_t c = 0; c < kTile; ++c) lane[c] = lane[c] + value * column[c];
    }
  }
}

}  // namespace coarse_kernels

namespace {

// Rows scored per task of the pool: enough work to outweigh the hand-over.
constexpr uint64_t kRowsPerTask = 64;

coarse_kernels::TileKernel tile_kernel() {
  switch (active_scan_path()) {
#if defined(__x86_64__)
    case ScanPath::Avx2:
      return coarse_kernels::tile_dots_avx2;
    case ScanPath::Avx512:
    case ScanPath::Avx512Vbmi:
      return coarse_kernels::tile_dots_avx512;
#endif
    default:
      return coarse_kernels::tile_dots_portable;
  }
}

}  // namespace

CoarseTable::CoarseTable(std::span<const float> centroids, uint64_t lists, uint64_t dim)
    : lists_(lists), dim_(dim) {
  if (centroids.size() != lists * dim) throw Error("centroids do not match lists * dim");
  const uint64_t tiles = (lists + kTile - 1) / kTile;
  tiled_.assign(tiles * dim * kTile, 0.0f);
  half_norms_.resize(lists);
  for (uint64_t c = 0; c < lists; ++c) {
    const float* row = centroids.data() + c * dim;
    float* tile = tiled_.data() + c / kTile * dim * kTile + c % kTile;
    float squares = 0.0f;
    for (uint64_t j = 0; j < dim; ++j) {
      tile[j * kTile] = row[j];
      squares = squares + row[j] * row[j];
    }
    half_norms_[c] = squares * 0.5f;
  }
}

void CoarseTable::dots(const float* rows, uint64_t count, float* out) const {
  const coarse_kernels::TileKernel kernel = tile_kernel();
  const uint64_t tiles = (lists_ + kTile - 1) / kTile;
  float acc[4 * kTile];
  for (uint64_t r0 = 0; r0 < count; r0 += 4) {
    const uint64_t group = std::min<uint64_t>(4, count - r0);
    // A short group repeats its last row: every lane does the same sums anyway.
    const float* group_rows[4];
    for (uint64_t r = 0; r < 4; ++r) group_rows[r] = rows + (r0 + std::min(r, group - 1)) * dim_;
    for (uint64_t t = 0; t < tiles; ++t) {
      kernel(group_rows, tiled_.data() + t * dim_ * kTile, dim_, acc);
      const uint64_t first = t * kTile, width = std::min(kTile, lists_ - first);
      for (uint64_t r = 0; r < group; ++r) {
        std::copy_n(acc + r * kTile, width, out + (r0 + r) * lists_ + first);
      }
    }
  }
}

void CoarseTable::nearest(const float* rows, uint64_t count, uint32_t* out) const {
  const uint64_t tasks = (count + kRowsPerTask - 1) / kRowsPerTask;
  parallel_for(tasks, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scores(kRowsPerTask * lists_);
    for (std::size_t task = begin; task < end; ++task) {
      poll_interrupt();
      const uint64_t first = task * kRowsPerTask;
      const uint64_t n = std::min(kRowsPerTask, count - first);
      dots(rows + first * dim_, n, scores.data());
      for (uint64_t r = 0; r < n; ++r) {
        const float* row = scores.data() + r * lists_;
        uint32_t best = 0;
        float best_value = row[0] - half_norms_[0];
        for (uint64_t c = 1; c < lists_; ++c) {
          const float value = row[c] - half_norms_[c];
          if (value > best_value) {
            best_value = value;
            best = static_cast<uint32_t>(c);
          }
        }
        out[first + r] = best;
      }
    }
  });
}

}  // namespace varnel

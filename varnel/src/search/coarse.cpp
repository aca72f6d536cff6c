#include "search/coarse.h"

#include <algorithm>
#include <limits>

#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/pool.h"
#include "search/coarse_pruned.h"

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

void row_dots_portable(const float* row, const float* tile, uint64_t dim, float* acc) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  for (uint64_t i = 0; i < 2 * kTile; ++i) acc[i] = 0.0f;
  for (uint64_t t = 0; t < 2; ++t) {
    const float* columns = tile + t * dim * kTile;
    float* lane = acc + t * kTile;
    for (uint64_t j = 0; j < dim; ++j) {
      const float value = row[j];
      for (uint64_t c = 0; c < kTile; ++c) lane[c] = lane[c] + value * columns[j * kTile + c];
    }
  }
}

void tile_nearest_portable(const float* const* rows, const float* tile, const float* half, uint64_t dim,
                           uint64_t lanes, uint32_t first, float* best, uint32_t* index) {
  constexpr uint64_t kTile = CoarseTable::kTile;
  float acc[4 * kTile];
  tile_dots_portable(rows, tile, dim, acc);
  for (uint64_t r = 0; r < 4; ++r) {
    for (uint64_t c = 0; c < lanes; ++c) {
      const float value = acc[r * kTile + c] - half[c];
      if (value > best[r] || (index[r] == kNoCentroid && value == value)) {
        best[r] = value;
        index[r] = first + static_cast<uint32_t>(c);
      }
    }
  }
}

}  // namespace coarse_kernels

namespace {

// Rows scored per task of the pool: enough work to outweigh the hand-over.
constexpr uint64_t kRowsPerTask = 64;

coarse_kernels::RowKernel row_kernel() {
  switch (active_scan_path()) {
#if defined(__x86_64__)
    case ScanPath::Avx2:
      return coarse_kernels::row_dots_avx2;
    case ScanPath::Avx512:
    case ScanPath::Avx512Vbmi:
      return coarse_kernels::row_dots_avx512;
#endif
    default:
      return coarse_kernels::row_dots_portable;
  }
}

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

coarse_kernels::TileNearestKernel tile_nearest_kernel() {
  switch (active_scan_path()) {
#if defined(__x86_64__)
    case ScanPath::Avx2:
      return coarse_kernels::tile_nearest_avx2;
    case ScanPath::Avx512:
    case ScanPath::Avx512Vbmi:
      return coarse_kernels::tile_nearest_avx512;
#endif
    default:
      return coarse_kernels::tile_nearest_portable;
  }
}

}  // namespace

coarse_kernels::TileKernel coarse_kernels::active_tile_kernel() { return tile_kernel(); }
coarse_kernels::TileNearestKernel coarse_kernels::active_tile_nearest_kernel() { return tile_nearest_kernel(); }

// Whole tiles of 32 centroids in the kernels' layout; the last lists % 32
// centroids stay row by row after them and are summed by a plain loop (the
// same sequential sums), so the table holds exactly lists * dim values: a
// file of few lists and a large dim costs no more memory than it holds.
CoarseTable::CoarseTable(std::span<const float> centroids, uint64_t lists, uint64_t dim)
    : lists_(lists), dim_(dim) {
  if (centroids.size() != lists * dim) throw Error("centroids do not match lists * dim");
  const uint64_t full = lists / kTile;
  tiled_.resize(lists * dim);
  half_norms_.resize(lists);
  for (uint64_t c = 0; c < lists; ++c) {
    const float* row = centroids.data() + c * dim;
    float squares = 0.0f;
    if (c < full * kTile) {
      float* tile = tiled_.data() + c / kTile * dim * kTile + c % kTile;
      for (uint64_t j = 0; j < dim; ++j) tile[j * kTile] = row[j];
    } else {
      std::copy_n(row, dim, tiled_.data() + c * dim);
    }
    for (uint64_t j = 0; j < dim; ++j) squares = squares + row[j] * row[j];
    half_norms_[c] = squares * 0.5f;
  }
}

// The centroids after the whole tiles, for one row: sequential sums.
void CoarseTable::remainder_dots(const float* row, float* out) const {
  for (uint64_t c = lists_ / kTile * kTile; c < lists_; ++c) {
    const float* centroid = tiled_.data() + c * dim_;
    float sum = 0.0f;
    for (uint64_t j = 0; j < dim_; ++j) sum = sum + row[j] * centroid[j];
    out[c] = sum;
  }
}

// row_at(i): the address of row i.
template <class RowAt>
void CoarseTable::dots_of(const RowAt& row_at, uint64_t count, float* out) const {
  const coarse_kernels::TileKernel kernel = tile_kernel();
  const uint64_t full = lists_ / kTile;
  float acc[4 * kTile];
  const uint64_t grouped = count / 4 * 4;
  // Tiles outside, rows inside: a tile stays in the first-level cache while
  // every group of rows passes it, so the table is read from memory once per
  // call rather than once per four rows.
  for (uint64_t t = 0; t < full; ++t) {
    const float* tile = tiled_.data() + t * dim_ * kTile;
    for (uint64_t r0 = 0; r0 < grouped; r0 += 4) {
      const float* group_rows[4] = {row_at(r0), row_at(r0 + 1), row_at(r0 + 2), row_at(r0 + 3)};
      kernel(group_rows, tile, dim_, acc);
      for (uint64_t r = 0; r < 4; ++r) std::copy_n(acc + r * kTile, kTile, out + (r0 + r) * lists_ + t * kTile);
    }
  }
  // The centroids after the whole tiles, for the grouped rows: the same
  // kernel on a tile padded with zero centroids (their lanes are dropped), as
  // a plain loop per centroid would wait on each add in turn.
  const uint64_t rest = lists_ - full * kTile;
  if (rest > 0 && grouped > 0) {
    std::vector<float> padded(dim_ * kTile, 0.0f);
    for (uint64_t c = 0; c < rest; ++c) {
      const float* centroid = tiled_.data() + (full * kTile + c) * dim_;
      for (uint64_t j = 0; j < dim_; ++j) padded[j * kTile + c] = centroid[j];
    }
    for (uint64_t r0 = 0; r0 < grouped; r0 += 4) {
      const float* group_rows[4] = {row_at(r0), row_at(r0 + 1), row_at(r0 + 2), row_at(r0 + 3)};
      kernel(group_rows, padded.data(), dim_, acc);
      for (uint64_t r = 0; r < 4; ++r) std::copy_n(acc + r * kTile, rest, out + (r0 + r) * lists_ + full * kTile);
    }
  }
  uint64_t r0 = grouped;
  const coarse_kernels::RowKernel single = row_kernel();
  for (; r0 < count; ++r0) {
    const float* row = row_at(r0);
    float* row_out = out + r0 * lists_;
    uint64_t t = 0;
    for (; t + 2 <= full; t += 2) single(row, tiled_.data() + t * dim_ * kTile, dim_, row_out + t * kTile);
    if (t < full) {  // an odd last tile: the four-row kernel, the row in every slot
      const float* same[4] = {row, row, row, row};
      kernel(same, tiled_.data() + t * dim_ * kTile, dim_, acc);
      std::copy_n(acc, kTile, row_out + t * kTile);
    }
    remainder_dots(row, row_out);
  }
}

void CoarseTable::dots(const float* rows, uint64_t count, float* out) const {
  dots_of([&](uint64_t i) { return rows + i * dim_; }, count, out);
}

void CoarseTable::dots(const float* const* rows, uint64_t count, float* out) const {
  dots_of([&](uint64_t i) { return rows[i]; }, count, out);
}

// The largest <x, c> - |c|^2 / 2 of one row of dots (overwritten with
// those values), lowest centroid first among equals. The maximum is taken
// over 16 lanes and then across them, each step `v > m ? v : m`, so the
// compiler may vectorise it without changing any result: a maximum is exact,
// and the first centroid holding it is found afterwards.
uint32_t CoarseTable::nearest_of(float* dots) const {
  constexpr uint64_t kLanes = 16;
  float lanes[kLanes];
  for (float& lane : lanes) lane = -std::numeric_limits<float>::infinity();
  uint64_t c = 0;
  for (; c + kLanes <= lists_; c += kLanes) {
    for (uint64_t l = 0; l < kLanes; ++l) {
      const float value = dots[c + l] - half_norms_[c + l];
      dots[c + l] = value;
      lanes[l] = value > lanes[l] ? value : lanes[l];
    }
  }
  for (; c < lists_; ++c) {
    dots[c] = dots[c] - half_norms_[c];
    lanes[0] = dots[c] > lanes[0] ? dots[c] : lanes[0];
  }
  float largest = lanes[0];
  for (uint64_t l = 1; l < kLanes; ++l) largest = lanes[l] > largest ? lanes[l] : largest;
  for (c = 0; c < lists_; ++c) {
    if (dots[c] == largest) return static_cast<uint32_t>(c);
  }
  return 0;  // no comparable value (NaN everywhere)
}

// Rows in groups of four take the tile kernels that keep only each row's
// running choice (no products stored and scanned again); the last count % 4
// rows of a task score every centroid and pick as nearest_of. Both give the
// largest value and its lowest centroid number.
template <class RowAt>
void CoarseTable::nearest_of_rows(const RowAt& row_at, uint64_t count, uint32_t* out) const {
  const coarse_kernels::TileNearestKernel kernel = tile_nearest_kernel();
  const uint64_t full = lists_ / kTile, rest = lists_ - full * kTile;
  // The centroids after the whole tiles, padded with zero centroids whose lanes are not looked at.
  std::vector<float> padded(rest > 0 ? dim_ * kTile : 0, 0.0f), padded_half(kTile, 0.0f);
  for (uint64_t c = 0; c < rest; ++c) {
    const float* centroid = tiled_.data() + (full * kTile + c) * dim_;
    for (uint64_t j = 0; j < dim_; ++j) padded[j * kTile + c] = centroid[j];
    padded_half[c] = half_norms_[full * kTile + c];
  }
  const uint64_t tasks = (count + kRowsPerTask - 1) / kRowsPerTask;
  parallel_for(tasks, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scores(lists_);
    float best[kRowsPerTask];
    uint32_t index[kRowsPerTask];
    const float* rows[kRowsPerTask];
    for (std::size_t task = begin; task < end; ++task) {
      poll_interrupt();
      const uint64_t first = task * kRowsPerTask;
      const uint64_t n = std::min(kRowsPerTask, count - first);
      const uint64_t grouped = n / 4 * 4;
      for (uint64_t r = 0; r < n; ++r) {
        rows[r] = row_at(first + r);
        best[r] = -std::numeric_limits<float>::infinity();
        index[r] = coarse_kernels::kNoCentroid;
      }
      for (uint64_t t = 0; t < full; ++t) {
        const float* tile = tiled_.data() + t * dim_ * kTile;
        for (uint64_t r0 = 0; r0 < grouped; r0 += 4) {
          kernel(rows + r0, tile, half_norms_.data() + t * kTile, dim_, kTile, static_cast<uint32_t>(t * kTile),
                 best + r0, index + r0);
        }
      }
      if (rest > 0) {
        for (uint64_t r0 = 0; r0 < grouped; r0 += 4) {
          kernel(rows + r0, padded.data(), padded_half.data(), dim_, rest, static_cast<uint32_t>(full * kTile),
                 best + r0, index + r0);
        }
      }
      for (uint64_t r = 0; r < grouped; ++r) out[first + r] = index[r] == coarse_kernels::kNoCentroid ? 0 : index[r];
      for (uint64_t r = grouped; r < n; ++r) {
        dots_of([&](uint64_t) { return rows[r]; }, 1, scores.data());
        out[first + r] = nearest_of(scores.data());
      }
    }
  });
}

void CoarseTable::nearest(const float* rows, uint64_t count, uint32_t* out) const {
  nearest(rows, count, out, NearestSearch::kAuto);
}

void CoarseTable::nearest(const float* const* rows, uint64_t count, uint32_t* out) const {
  nearest(rows, count, out, NearestSearch::kAuto);
}

// Pruning pays for grouping the centroids and their distances to every tile
// (about lists rows' worth of scoring) once the batch holds a few times as
// many rows; its table of distances is capped so that it stays small next to
// the batch.
bool CoarseTable::prunes(uint64_t count) const {
  const uint64_t tiles = (lists_ + kTile - 1) / kTile;
  return tiles >= 4 && count >= std::max<uint64_t>(1024, 2 * lists_) && lists_ * tiles <= (uint64_t{1} << 24);
}

void CoarseTable::nearest(const float* rows, uint64_t count, uint32_t* out, NearestSearch search) const {
  const bool pruned = search == NearestSearch::kPruned || (search == NearestSearch::kAuto && prunes(count));
  if (!pruned) {
    nearest_of_rows([&](uint64_t i) { return rows + i * dim_; }, count, out);
    return;
  }
  PrunedNearest(*this).nearest([&](uint64_t i) { return rows + i * dim_; }, count, out, [&](uint64_t from) {
    nearest_of_rows([&](uint64_t i) { return rows + (from + i) * dim_; }, count - from, out + from);
  });
}

void CoarseTable::nearest(const float* const* rows, uint64_t count, uint32_t* out, NearestSearch search) const {
  const bool pruned = search == NearestSearch::kPruned || (search == NearestSearch::kAuto && prunes(count));
  if (!pruned) {
    nearest_of_rows([&](uint64_t i) { return rows[i]; }, count, out);
    return;
  }
  PrunedNearest(*this).nearest([&](uint64_t i) { return rows[i]; }, count, out, [&](uint64_t from) {
    nearest_of_rows([&](uint64_t i) { return rows[from + i]; }, count - from, out + from);
  });
}

void CoarseTable::copy_centroid(uint64_t c, float* out) const {
  if (c < lists_ / kTile * kTile) {
    const float* tile = tiled_.data() + c / kTile * dim_ * kTile + c % kTile;
    for (uint64_t j = 0; j < dim_; ++j) out[j] = tile[j * kTile];
  } else {
    std::copy_n(tiled_.data() + c * dim_, dim_, out);
  }
}

}  // namespace varnel

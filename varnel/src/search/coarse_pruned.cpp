#include "search/coarse_pruned.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>

#include "runtime/interrupt.h"
#include "runtime/pool.h"

namespace varnel {
namespace {

constexpr uint64_t kTile = CoarseTable::kTile;
constexpr uint32_t kNone = coarse_kernels::kNoCentroid;
// Rows per task of the pool: the rows of a task that need a tile are scored
// together, so larger tasks waste fewer of the kernel's four rows, but the
// task's rows are read once per tile and should stay in the second-level
// cache: about this many bytes of them.
constexpr uint64_t kTaskBytes = uint64_t{1} << 19;
// Rows tried first; if they still had to score more than this share of the
// tiles, the rest of the batch scores every centroid (the same answers
// without the bookkeeping).
constexpr uint64_t kTrialTasks = 4;
constexpr double kWorthPruning = 0.6;
// Two-means steps per split of the centroids into tiles.
constexpr int kSplitSteps = 4;
constexpr double kUnit = 0x1p-24;        // float's unit roundoff
constexpr double kDoubleUnit = 0x1p-53;  // double's
constexpr double kSmallest = 0x1p-149;   // float's smallest subnormal

double squared_distance(const float* x, const double* y, uint64_t dim) {
  double sum = 0.0;
  for (uint64_t j = 0; j < dim; ++j) {
    const double d = double(x[j]) - y[j];
    sum += d * d;
  }
  return sum;
}

// Mean of the centroids ids[0 .. m) whose `side` equals `which`.
void side_mean(const std::vector<float>& centroids, uint64_t dim, const uint32_t* ids, uint64_t m,
               const std::vector<uint8_t>& side, uint8_t which, std::vector<double>& mean) {
  std::fill(mean.begin(), mean.end(), 0.0);
  uint64_t count = 0;
  for (uint64_t i = 0; i < m; ++i) {
    if (side[i] != which) continue;
    const float* c = centroids.data() + uint64_t{ids[i]} * dim;
    for (uint64_t j = 0; j < dim; ++j) mean[j] += c[j];
    ++count;
  }
  for (double& v : mean) v /= double(count);
}

// The first of ids[0 .. m) farthest from `from`.
uint64_t farthest(const std::vector<float>& centroids, uint64_t dim, const uint32_t* ids, uint64_t m,
                  const std::vector<double>& from) {
  uint64_t best = 0;
  double most = -1.0;
  for (uint64_t i = 0; i < m; ++i) {
    const double d = squared_distance(centroids.data() + uint64_t{ids[i]} * dim, from.data(), dim);
    if (d > most) most = d, best = i;
  }
  return best;
}

// Splits ids[0 .. m) into tiles of nearby centroids: two seeds far apart
// (the centroid farthest from the mean, then the one farthest from it), a
// few two-means steps, then the centroids ordered along the line through the
// two means and cut at a whole number of tiles near the two-means split,
// kept within the middle half so that the depth stays logarithmic. Only the
// last tile of the whole order may be partial.
void split(const std::vector<float>& centroids, uint64_t dim, uint32_t* ids, uint64_t m,
           std::vector<std::vector<uint32_t>>& tiles) {
  if (m <= kTile) {
    tiles.emplace_back(ids, ids + m);
    std::sort(tiles.back().begin(), tiles.back().end());
    return;
  }
  std::vector<double> a(dim), b(dim);
  std::vector<uint8_t> side(m, 0);
  side_mean(centroids, dim, ids, m, side, 0, a);
  const uint64_t first = farthest(centroids, dim, ids, m, a);
  for (uint64_t j = 0; j < dim; ++j) a[j] = centroids[uint64_t{ids[first]} * dim + j];
  const uint64_t second = farthest(centroids, dim, ids, m, a);
  for (uint64_t j = 0; j < dim; ++j) b[j] = centroids[uint64_t{ids[second]} * dim + j];
  uint64_t in_a = m;
  for (int step = 0; step < kSplitSteps; ++step) {
    in_a = 0;
    for (uint64_t i = 0; i < m; ++i) {
      const float* c = centroids.data() + uint64_t{ids[i]} * dim;
      side[i] = squared_distance(c, a.data(), dim) <= squared_distance(c, b.data(), dim) ? 0 : 1;
      in_a += side[i] == 0;
    }
    if (in_a == 0 || in_a == m) break;
    side_mean(centroids, dim, ids, m, side, 0, a);
    side_mean(centroids, dim, ids, m, side, 1, b);
  }
  std::vector<std::pair<double, uint32_t>> along(m);
  for (uint64_t i = 0; i < m; ++i) {
    const float* c = centroids.data() + uint64_t{ids[i]} * dim;
    double p = 0.0;
    for (uint64_t j = 0; j < dim; ++j) p += double(c[j]) * (b[j] - a[j]);
    along[i] = {std::isfinite(p) ? p : 0.0, ids[i]};
  }
  std::sort(along.begin(), along.end());
  for (uint64_t i = 0; i < m; ++i) ids[i] = along[i].second;
  const uint64_t low = std::max(kTile, m / 4 / kTile * kTile);
  const uint64_t high = std::max(low, std::min((m - 1) / kTile * kTile, (3 * m / 4 + kTile - 1) / kTile * kTile));
  const uint64_t cut = std::clamp((in_a + kTile / 2) / kTile * kTile, low, high);
  split(centroids, dim, ids, cut, tiles);
  split(centroids, dim, ids + cut, m - cut, tiles);
}

// |x|^2 in double over four interleaved partial sums (it only needs to be
// within a relative dim * 2^-53 of the exact value, which any order of
// positive terms is).
double squared_norm(const float* x, uint64_t dim) {
  double part[4] = {0.0, 0.0, 0.0, 0.0};
  uint64_t j = 0;
  for (; j + 4 <= dim; j += 4) {
    for (uint64_t k = 0; k < 4; ++k) part[k] += double(x[j + k]) * x[j + k];
  }
  for (; j < dim; ++j) part[0] += double(x[j]) * x[j];
  return (part[0] + part[1]) + (part[2] + part[3]);
}

// The largest float not above v (v >= 0).
float float_below(double v) {
  float f = static_cast<float>(v);
  if (double(f) > v) f = std::nextafter(f, 0.0f);
  return f;
}

}  // namespace

struct PrunedNearest::Choice {
  float value = -std::numeric_limits<float>::infinity();
  uint32_t number = kNone;
  // Tiles at least this far from the chosen centroid hold nothing as good.
  double reach = std::numeric_limits<double>::infinity();
  // |x|^2 and the bound on any value's rounding error (below); usable is
  // false where no bound holds (sums that may overflow).
  double norm2 = 0.0, error = 0.0;
  bool usable = false;
  // The choice the open tiles were listed for: only a changed choice can
  // rule out more of them.
  uint32_t listed_for = kNone;
};

PrunedNearest::PrunedNearest(const CoarseTable& table) : lists_(table.lists()), dim_(table.dim()) {
  std::vector<float> centroids(lists_ * dim_);
  for (uint64_t c = 0; c < lists_; ++c) table.copy_centroid(c, centroids.data() + c * dim_);
  group_centroids(centroids);
  lay_out_tiles(centroids);
  const std::span<const float> half = table.half_norms();
  for (uint64_t p = 0; p < number_.size(); ++p) {
    if (number_[p] != kNone) half_[p] = half[number_[p]];
  }
  measure_tile_distances(centroids);
}

void PrunedNearest::group_centroids(const std::vector<float>& centroids) {
  std::vector<uint32_t> ids(lists_);
  std::iota(ids.begin(), ids.end(), uint32_t{0});
  split(centroids, dim_, ids.data(), lists_, members_);
  tiles_ = members_.size();
}

void PrunedNearest::lay_out_tiles(const std::vector<float>& centroids) {
  tiled_.assign(tiles_ * dim_ * kTile, 0.0f);
  half_.assign(tiles_ * kTile, 0.0f);
  number_.assign(tiles_ * kTile, kNone);
  const uint64_t centre_tiles = (tiles_ + kTile - 1) / kTile;
  centres_.assign(centre_tiles * dim_ * kTile, 0.0f);
  centre_half_.assign(centre_tiles * kTile, std::numeric_limits<float>::infinity());
  std::vector<double> mean(dim_);
  for (uint64_t t = 0; t < tiles_; ++t) {
    std::fill(mean.begin(), mean.end(), 0.0);
    float* tile = tiled_.data() + t * dim_ * kTile;
    for (uint64_t lane = 0; lane < members_[t].size(); ++lane) {
      const uint32_t c = members_[t][lane];
      number_[t * kTile + lane] = c;
      for (uint64_t j = 0; j < dim_; ++j) {
        tile[j * kTile + lane] = centroids[c * dim_ + j];
        mean[j] += centroids[c * dim_ + j];
      }
    }
    float* centre = centres_.data() + t / kTile * dim_ * kTile + t % kTile;
    double squares = 0.0;
    for (uint64_t j = 0; j < dim_; ++j) {
      centre[j * kTile] = static_cast<float>(mean[j] / double(members_[t].size()));
      squares += double(centre[j * kTile]) * centre[j * kTile];
    }
    centre_half_[t] = static_cast<float>(squares * 0.5);
  }
  for (uint64_t c = 0; c < lists_; ++c) {
    double squares = 0.0;
    for (uint64_t j = 0; j < dim_; ++j) squares += double(centroids[c * dim_ + j]) * centroids[c * dim_ + j];
    largest_norm_ = std::max(largest_norm_, std::sqrt(squares));
  }
}

// separation_[a * tiles_ + t] from the kernel's float inner products:
// |a - c|^2 = |a|^2 + |c|^2 - 2 <a, c>, where the float sum of <a, c> is
// off by at most gamma * |a| |c| (gamma = dim u / (1 - dim u), u = 2^-24,
// the bound of a sequential sum of dim rounded products) plus dim * 2^-150
// from products that underflow; the squared norms and the combination in
// double add relative errors of a few dim * 2^-53. Each of these is taken
// off (twice over) before the minimum over the tile, and its square root is
// rounded down.
void PrunedNearest::measure_tile_distances(const std::vector<float>& centroids) {
  separation_.assign(lists_ * tiles_, 0.0f);
  const double gamma = double(dim_) * kUnit / (1.0 - double(dim_) * kUnit);
  if (!(gamma < 0.5)) return;  // no bound: nothing is ever skipped
  std::vector<double> norm2(lists_), lane_norm2(tiles_ * kTile, 0.0), largest2(tiles_, 0.0);
  for (uint64_t c = 0; c < lists_; ++c) {
    double squares = 0.0;
    for (uint64_t j = 0; j < dim_; ++j) squares += double(centroids[c * dim_ + j]) * centroids[c * dim_ + j];
    norm2[c] = squares;
  }
  for (uint64_t t = 0; t < tiles_; ++t) {
    for (uint64_t lane = 0; lane < members_[t].size(); ++lane) {
      lane_norm2[t * kTile + lane] = norm2[number_[t * kTile + lane]];
      largest2[t] = std::max(largest2[t], lane_norm2[t * kTile + lane]);
    }
  }
  const double relative = 2.0 * double(dim_ + 8) * kDoubleUnit;
  const coarse_kernels::TileKernel kernel = coarse_kernels::active_tile_kernel();
  const auto bound = [&](double squared, bool undefined, double error) {
    const double distance = std::sqrt(std::max(squared - 2.0 * error, 0.0)) * (1.0 - 4.0 * kDoubleUnit);
    return !undefined && std::isfinite(distance) ? float_below(distance) : 0.0f;
  };
  // Distances are symmetric: each pair of tiles is scored once, giving the
  // members of both their nearest in the other.
  parallel_for(tiles_, [&](std::size_t begin, std::size_t end) {
    float acc[4 * kTile];
    double row_min[kTile], column_min[kTile];
    bool row_undefined[kTile], column_undefined[kTile];
    for (std::size_t a_tile = begin; a_tile < end; ++a_tile) {
      poll_interrupt();
      const std::vector<uint32_t>& a_members = members_[a_tile];
      for (uint64_t c_tile = a_tile; c_tile < tiles_; ++c_tile) {
        const std::vector<uint32_t>& c_members = members_[c_tile];
        std::fill_n(row_min, kTile, std::numeric_limits<double>::infinity());
        std::fill_n(column_min, kTile, std::numeric_limits<double>::infinity());
        std::fill_n(row_undefined, kTile, false);
        std::fill_n(column_undefined, kTile, false);
        for (uint64_t q = 0; q < a_members.size(); q += 4) {
          const float* rows[4];
          for (uint64_t r = 0; r < 4; ++r) {
            rows[r] = centroids.data() + uint64_t{a_members[std::min(q + r, a_members.size() - 1)]} * dim_;
          }
          kernel(rows, tiled_.data() + c_tile * dim_ * kTile, dim_, acc);
          for (uint64_t r = 0; r < 4 && q + r < a_members.size(); ++r) {
            const double a_norm2 = norm2[a_members[q + r]];
            for (uint64_t lane = 0; lane < c_members.size(); ++lane) {
              // |a|^2 + |c|^2 - 2 <a, c>; NaN anywhere: no bound.
              const double squared = a_norm2 + lane_norm2[c_tile * kTile + lane] - 2.0 * double(acc[r * kTile + lane]);
              const bool undefined = squared != squared;
              row_min[q + r] = squared < row_min[q + r] ? squared : row_min[q + r];
              column_min[lane] = squared < column_min[lane] ? squared : column_min[lane];
              row_undefined[q + r] |= undefined;
              column_undefined[lane] |= undefined;
            }
          }
        }
        const double product = std::sqrt(largest2[a_tile] * largest2[c_tile]);  // bounds |a| |c| over both
        const double error = 2.0 * (gamma * product + double(dim_) * kSmallest) +
                             relative * (largest2[a_tile] + largest2[c_tile] + 3.0 * product);
        for (uint64_t i = 0; i < a_members.size(); ++i) {
          separation_[uint64_t{a_members[i]} * tiles_ + c_tile] = bound(row_min[i], row_undefined[i], error);
        }
        for (uint64_t i = 0; i < c_members.size(); ++i) {
          separation_[uint64_t{c_members[i]} * tiles_ + a_tile] = bound(column_min[i], column_undefined[i], error);
        }
      }
    }
  });
}

void PrunedNearest::nearest(const RowAt& row_at, uint64_t count, uint32_t* out, const Rest& score_every) const {
  const uint64_t per_task = std::clamp<uint64_t>(kTaskBytes / (4 * dim_), 256, 4096);
  std::atomic<uint64_t> scored{0};
  const auto run = [&](uint64_t from, uint64_t to) {
    const uint64_t tasks = (to - from + per_task - 1) / per_task;
    parallel_for(tasks, [&](std::size_t begin, std::size_t end) {
      std::vector<const float*> rows(per_task);
      for (std::size_t task = begin; task < end; ++task) {
        poll_interrupt();
        const uint64_t first = from + task * per_task;
        const uint64_t n = std::min(per_task, to - first);
        for (uint64_t i = 0; i < n; ++i) rows[i] = row_at(first + i);
        scored.fetch_add(nearest_of_task(rows.data(), n, out + first), std::memory_order_relaxed);
      }
    });
  };
  const uint64_t trial = std::min(count, kTrialTasks * per_task);
  run(0, trial);
  if (trial == count) return;
  if (double(scored.load()) > kWorthPruning * double(trial) * double(tiles_)) {
    score_every(trial);
  } else {
    run(trial, count);
  }
}

// Scores four rows against one tile and lets each row's best value join its
// choice: larger, or equal with a lower centroid number, as the exhaustive
// search decides (which visits centroids in number order). Values are the
// kernel's own: a NaN never joins.
//
// After a change, `reach` is 2 sqrt(K) with K bounding the squared distance
// from the row to the chosen centroid a. The values v~ compared are float
// results of v = <x, c> - |c|^2 / 2 = (|x|^2 - |x - c|^2) / 2; with the
// products' sum off by gamma |x| |c| (+ dim 2^-150 from underflow), the half
// norm by gamma |c|^2 / 2 (+ the same) and the final subtraction by
// u (|x| |c| + |c|^2 / 2) (1 + gamma), every |v~ - v| <= E with
// E = 2 ((gamma + 2u) (|x| C + C^2 / 2) + (dim + 2) 2^-149), C the largest
// centroid norm (the factor 2 covers the double arithmetic and gamma's
// second-order terms). Then |x - a|^2 = |x|^2 - 2 v_a <= |x|^2 - 2 v~_a + 2 E = K
// (raised for its own rounding). A centroid c of a tile whose every member
// lies more than 2 sqrt(K) from a has |x - c| >= |a - c| - |x - a| > sqrt(K),
// so v_c < (|x|^2 - K) / 2 <= v~_a - E and v~_c <= v_c + E < v~_a: strictly
// below the choice, never even a tie, and the tile is skipped.
void PrunedNearest::score_tile(const float* const* rows, uint64_t tile, Choice* const* choices) const {
  float best[4];
  uint32_t lane[4];
  for (int r = 0; r < 4; ++r) best[r] = -std::numeric_limits<float>::infinity(), lane[r] = kNone;
  coarse_kernels::active_tile_nearest_kernel()(rows, tiled_.data() + tile * dim_ * kTile, half_.data() + tile * kTile,
                                               dim_, members_[tile].size(), 0, best, lane);
  for (int r = 0; r < 4; ++r) {
    if (lane[r] == kNone || choices[r] == nullptr) continue;
    Choice& choice = *choices[r];
    const uint32_t number = number_[tile * kTile + lane[r]];
    const bool joins = choice.number == kNone || best[r] > choice.value ||
                       (best[r] == choice.value && number < choice.number);
    if (!joins) continue;
    choice.value = best[r];
    choice.number = number;
    if (!choice.usable || !std::isfinite(best[r])) {
      choice.reach = std::numeric_limits<double>::infinity();
      continue;
    }
    const double value = best[r];
    double bound = choice.norm2 - 2.0 * value + 2.0 * choice.error;
    bound += 4.0 * double(dim_ + 4) * kDoubleUnit * (choice.norm2 + 2.0 * std::fabs(value) + 2.0 * choice.error);
    choice.reach = 2.0 * std::sqrt(std::max(bound, 0.0)) * (1.0 + 4.0 * kDoubleUnit);
  }
}

// Tile by tile, the rows that need the tile are scored four at a time, so
// that the kernel's four rows share every tile it reads. First each row's
// own first tile (the one whose centre is closest to it): its best centroid
// already rules out most others. Then every tile not yet ruled out for a
// row, asked again just before it is scored, as the choices improve.
uint64_t PrunedNearest::nearest_of_task(const float* const* rows, uint64_t count, uint32_t* out) const {
  std::vector<Choice> choices(count);
  uint64_t scored = 0;
  const double gamma = double(dim_) * kUnit / (1.0 - double(dim_) * kUnit);
  for (uint64_t r = 0; r < count; ++r) {
    const double norm2 = squared_norm(rows[r], dim_);
    const double scale = std::sqrt(norm2) * largest_norm_ + largest_norm_ * largest_norm_ / 2.0;
    choices[r].norm2 = norm2;
    choices[r].error = 2.0 * ((gamma + 2.0 * kUnit) * scale + double(dim_ + 2) * kSmallest);
    // Sums far below float's range: no product or partial sum overflows.
    choices[r].usable = gamma < 0.5 && scale < 0x1p100;
  }
  // Rows waiting for each tile, as a counting sort: starts[t] .. starts[t + 1].
  std::vector<uint32_t> waiting, starts(tiles_ + 1);
  const auto bucket = [&](const std::vector<uint32_t>& tiles_of, const std::vector<uint32_t>& row_of) {
    std::fill(starts.begin(), starts.end(), 0u);
    for (const uint32_t t : tiles_of) ++starts[t + 1];
    for (uint64_t t = 0; t < tiles_; ++t) starts[t + 1] += starts[t];
    std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
    waiting.resize(tiles_of.size());
    for (uint64_t i = 0; i < tiles_of.size(); ++i) waiting[next[tiles_of[i]]++] = row_of[i];
  };
  std::vector<uint32_t> tiles_of = first_tiles(rows, count), row_of(count);
  std::iota(row_of.begin(), row_of.end(), uint32_t{0});
  bucket(tiles_of, row_of);
  for (uint64_t t = 0; t < tiles_; ++t) {
    scored += score_waiting(rows, t, waiting.data() + starts[t], starts[t + 1] - starts[t], choices.data(), false);
  }
  const std::vector<uint32_t> first = tiles_of;
  tiles_of.clear();
  row_of.clear();
  std::vector<uint32_t> open(tiles_);
  for (uint64_t r = 0; r < count; ++r) {
    if (r + 2 < count && choices[r + 2].number != kNone) {  // its row of distances, from far in memory
      const float* ahead = separation_.data() + uint64_t{choices[r + 2].number} * tiles_;
      for (uint64_t t = 0; t < tiles_; t += 16) __builtin_prefetch(ahead + t);
    }
    const uint64_t kept = open_tiles(choices[r], open.data());
    choices[r].listed_for = choices[r].number;
    for (uint64_t i = 0; i < kept; ++i) {
      if (open[i] == first[r]) continue;
      tiles_of.push_back(open[i]);
      row_of.push_back(static_cast<uint32_t>(r));
    }
  }
  bucket(tiles_of, row_of);
  for (uint64_t t = 0; t < tiles_; ++t) {
    scored += score_waiting(rows, t, waiting.data() + starts[t], starts[t + 1] - starts[t], choices.data(), true);
  }
  for (uint64_t r = 0; r < count; ++r) out[r] = choices[r].number == kNone ? 0 : choices[r].number;
  return scored;
}

// The tile each row tries first: the largest <x, g> - |g|^2 / 2 over the
// tile centres g (an order only: any tile gives the same answer).
std::vector<uint32_t> PrunedNearest::first_tiles(const float* const* rows, uint64_t count) const {
  const uint64_t centre_tiles = centre_half_.size() / kTile;
  const coarse_kernels::TileNearestKernel kernel = coarse_kernels::active_tile_nearest_kernel();
  std::vector<uint32_t> first(count);
  for (uint64_t r0 = 0; r0 < count; r0 += 4) {
    const float* group[4];
    for (uint64_t r = 0; r < 4; ++r) group[r] = rows[std::min(r0 + r, count - 1)];
    float best[4];
    uint32_t index[4];
    for (int r = 0; r < 4; ++r) best[r] = -std::numeric_limits<float>::infinity(), index[r] = kNone;
    for (uint64_t t = 0; t < centre_tiles; ++t) {
      kernel(group, centres_.data() + t * dim_ * kTile, centre_half_.data() + t * kTile, dim_,
             std::min(kTile, tiles_ - t * kTile), static_cast<uint32_t>(t * kTile), best, index);
    }
    for (uint64_t r = 0; r < 4 && r0 + r < count; ++r) first[r0 + r] = index[r] == kNone ? 0 : index[r];
  }
  return first;
}

// The tiles the choice does not rule out, into open; returns their count.
// The reach rounded up to float rules out no more than the exact test.
uint64_t PrunedNearest::open_tiles(const Choice& choice, uint32_t* open) const {
  if (choice.number == kNone) {
    std::iota(open, open + tiles_, uint32_t{0});
    return tiles_;
  }
  float reach = static_cast<float>(choice.reach);
  if (double(reach) < choice.reach) reach = std::nextafter(reach, HUGE_VALF);
  const float* separation = separation_.data() + uint64_t{choice.number} * tiles_;
  uint64_t kept = 0;
  for (uint64_t t = 0; t < tiles_; ++t) {
    open[kept] = static_cast<uint32_t>(t);
    kept += !(separation[t] > reach);
  }
  return kept;
}

bool PrunedNearest::rules_out(const Choice& choice, uint64_t tile) const {
  return choice.number != kNone && double(separation_[uint64_t{choice.number} * tiles_ + tile]) > choice.reach;
}

// Scores the rows waiting[0 .. n) against the tile, four at a time (the
// last group padded with its own last row); `recheck`: rows the tile is
// ruled out for by now are dropped first. Returns the rows scored.
uint64_t PrunedNearest::score_waiting(const float* const* rows, uint64_t tile, const uint32_t* waiting, uint64_t n,
                                  Choice* choices, bool recheck) const {
  uint32_t group[4];
  uint64_t held = 0, scored = 0;
  const auto flush = [&] {
    const float* group_rows[4];
    Choice* group_choices[4];
    for (uint64_t r = 0; r < 4; ++r) {
      const uint32_t row = group[std::min(r, held - 1)];
      group_rows[r] = rows[row];
      group_choices[r] = r < held ? &choices[row] : nullptr;
    }
    score_tile(group_rows, tile, group_choices);
    scored += held;
    held = 0;
  };
  for (uint64_t i = 0; i < n; ++i) {
    const Choice& choice = choices[waiting[i]];
    if (recheck && choice.number != choice.listed_for && rules_out(choice, tile)) continue;
    group[held++] = waiting[i];
    if (held == 4) flush();
  }
  if (held > 0) flush();
  return scored;
}

}  // namespace varnel

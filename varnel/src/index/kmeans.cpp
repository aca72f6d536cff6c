#include "index/kmeans.h"

#include <algorithm>
#include <numeric>
#include <string>

#include "quantize/rotor.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/pool.h"
#include "search/coarse.h"

namespace varnel {
namespace {

// Relative step by which a split centroid and its copy move apart.
constexpr float kSplitStep = 1.0f / 1024.0f;

// `count` distinct numbers below `n`, chosen by the stream (a partial
// Fisher-Yates shuffle), in the order drawn.
std::vector<uint64_t> draw_distinct(uint64_t n, uint64_t count, SeededStream& stream) {
  std::vector<uint64_t> order(n);
  std::iota(order.begin(), order.end(), uint64_t{0});
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t pick = i + stream.next64() % (n - i);
    std::swap(order[i], order[pick]);
  }
  order.resize(count);
  return order;
}

// The rows training works on, in sample order: every row of the sample, or
// a seeded subset of `keep` rows. Pointers into the sample: nothing is copied.
std::vector<const float*> training_rows(std::span<const float> sample, uint64_t n, uint64_t dim,
                                        uint64_t keep, SeededStream& stream) {
  std::vector<uint64_t> chosen;
  if (keep >= n) {
    chosen.resize(n);
    std::iota(chosen.begin(), chosen.end(), uint64_t{0});
  } else {
    chosen = draw_distinct(n, keep, stream);
    std::sort(chosen.begin(), chosen.end());
  }
  std::vector<const float*> rows(chosen.size());
  for (uint64_t i = 0; i < chosen.size(); ++i) rows[i] = sample.data() + chosen[i] * dim;
  return rows;
}

// Members of each cluster in sample order (a stable counting sort).
void group_members(const std::vector<uint32_t>& assignment, uint64_t lists,
                   std::vector<uint64_t>& starts, std::vector<uint64_t>& members) {
  starts.assign(lists + 1, 0);
  for (const uint32_t c : assignment) ++starts[c + 1];
  for (uint64_t c = 0; c < lists; ++c) starts[c + 1] += starts[c];
  std::vector<uint64_t> next(starts.begin(), starts.end() - 1);
  members.resize(assignment.size());
  for (uint64_t i = 0; i < assignment.size(); ++i) members[next[assignment[i]]++] = i;
}

// Members lie anywhere in the sample: fetching a row two ahead hides most
// of the wait for memory.
void prefetch_row(const float* row, uint64_t dim) {
  for (uint64_t j = 0; j < dim; j += 16) __builtin_prefetch(row + j);
}

void update_centroids(const std::vector<const float*>& rows, uint64_t dim, uint64_t lists,
                      const std::vector<uint64_t>& starts, const std::vector<uint64_t>& members,
                      std::vector<float>& centroids) {
  parallel_for(lists, [&](std::size_t begin, std::size_t end) {
    std::vector<double> sum(dim);
    for (std::size_t c = begin; c < end; ++c) {
      if (c % 64 == 0) poll_interrupt();
      const uint64_t count = starts[c + 1] - starts[c];
      if (count == 0) continue;
      std::fill(sum.begin(), sum.end(), 0.0);
      for (uint64_t m = starts[c]; m < starts[c + 1]; ++m) {
        if (m + 2 < members.size()) prefetch_row(rows[members[m + 2]], dim);
        const float* row = rows[members[m]];
        for (uint64_t j = 0; j < dim; ++j) sum[j] += double(row[j]);
      }
      for (uint64_t j = 0; j < dim; ++j) centroids[c * dim + j] = static_cast<float>(sum[j] / double(count));
    }
  });
}

// Each empty cluster, in increasing order, splits the currently largest one
// (lowest number among equals): both get its centroid, moved apart by a
// small step of alternating sign per coordinate. The sizes are shared out
// as halves so that later empty clusters pick other large ones.
void reseed_empty(const std::vector<uint64_t>& starts, uint64_t dim, uint64_t lists,
                  std::vector<float>& centroids) {
  std::vector<uint64_t> sizes(lists);
  for (uint64_t c = 0; c < lists; ++c) sizes[c] = starts[c + 1] - starts[c];
  for (uint64_t empty = 0; empty < lists; ++empty) {
    if (sizes[empty] != 0) continue;
    const uint64_t largest =
        static_cast<uint64_t>(std::max_element(sizes.begin(), sizes.end()) - sizes.begin());
    if (sizes[largest] < 2) return;  // nothing left to split
    float* from = centroids.data() + largest * dim;
    float* to = centroids.data() + empty * dim;
    for (uint64_t j = 0; j < dim; ++j) {
      const float step = (j % 2 == 0 ? kSplitStep : -kSplitStep) * (from[j] == 0.0f ? 1.0f : from[j]);
      to[j] = from[j] + step;
      from[j] = from[j] - step;
    }
    sizes[empty] = sizes[largest] / 2;
    sizes[largest] -= sizes[empty];
  }
}

}  // namespace

std::vector<float> train_kmeans(std::span<const float> sample, uint64_t n, uint64_t dim,
                                uint64_t lists, const KMeansOptions& options) {
  if (lists == 0) throw Error("lists must be at least 1");
  if (n < lists) {
    throw Error("training needs at least one vector per list: got " + std::to_string(n) +
                " vectors for " + std::to_string(lists) + " lists");
  }
  if (sample.size() < n * dim) throw Error("the training sample is shorter than n * dim");
  SeededStream stream(options.seed);
  const uint64_t cap = options.max_per_list == 0 ? n : std::min(n, lists * options.max_per_list);
  const std::vector<const float*> rows = training_rows(sample, n, dim, cap, stream);
  const uint64_t kept = rows.size();

  std::vector<float> centroids(lists * dim);
  const std::vector<uint64_t> first = draw_distinct(kept, lists, stream);
  for (uint64_t c = 0; c < lists; ++c) std::copy_n(rows[first[c]], dim, centroids.data() + c * dim);
  const uint64_t stride = std::max<uint64_t>(1, options.warmup_stride);
  std::vector<const float*> warmup_rows;
  const uint64_t warmup_count = (kept + stride - 1) / stride;
  if (options.warmup_iterations > 0 && stride > 1 && warmup_count >= lists) {
    warmup_rows.resize(warmup_count);
    for (uint64_t i = 0; i < warmup_count; ++i) warmup_rows[i] = rows[i * stride];
  }
  std::vector<uint32_t> assignment;
  std::vector<uint64_t> starts, members;
  for (uint64_t iteration = 0; iteration < options.iterations; ++iteration) {
    poll_interrupt();
    const bool warming = iteration < options.warmup_iterations && !warmup_rows.empty();
    const std::vector<const float*>& used = warming ? warmup_rows : rows;
    assignment.resize(used.size());
    const CoarseTable table(centroids, lists, dim);
    table.nearest(used.data(), used.size(), assignment.data());
    group_members(assignment, lists, starts, members);
    update_centroids(used, dim, lists, starts, members, centroids);
    reseed_empty(starts, dim, lists, centroids);
  }
  return centroids;
}

}  // namespace varnel

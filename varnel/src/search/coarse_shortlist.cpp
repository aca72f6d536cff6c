#include "search/coarse_shortlist.h"

#include <algorithm>
#include <cmath>

#include "runtime/cpu.h"
#include "search/top_k.h"

namespace varnel {
namespace {

constexpr float kLevels = 127.0f;

// Each value / scale rounded to the nearest integer in [-127, 127], with
// scale = the largest |value| / 127 (1 for an all-zero row).
template <class Out>
float quantise_row(const float* values, uint64_t dim, Out* out) {
  float largest = 0.0f;
  for (uint64_t j = 0; j < dim; ++j) largest = std::max(largest, std::fabs(values[j]));
  const float scale = largest > 0.0f ? largest / kLevels : 1.0f;
  for (uint64_t j = 0; j < dim; ++j) {
    const float level = std::nearbyint(values[j] / scale);
    out[j] = Out(std::clamp(level, -kLevels, kLevels));
  }
  return scale;
}

shortlist_kernels::SumKernel sum_kernel() {
  switch (active_scan_path()) {
#if defined(__x86_64__)
    case ScanPath::Avx2:
      return shortlist_kernels::sums_avx2;
    case ScanPath::Avx512:
    case ScanPath::Avx512Vbmi:
      return cpu_features().avx512vnni ? shortlist_kernels::sums_avx512vnni : shortlist_kernels::sums_avx512;
#endif
    default:
      return shortlist_kernels::sums_portable;
  }
}

uint64_t whole(uint64_t count, uint64_t step) { return (count + step - 1) / step; }

}  // namespace

namespace shortlist_kernels {
void sums_portable(const int16_t* levels, const int8_t* blocks, const int32_t*, uint64_t block_count,
                   uint64_t groups, int32_t* sums) {
  for (uint64_t b = 0; b < block_count; ++b) {
    const int8_t* block = blocks + b * groups * kBlock * kGroup;
    for (uint64_t i = 0; i < kBlock; ++i) {
      int32_t sum = 0;
      for (uint64_t g = 0; g < groups; ++g) {
        const int8_t* codes = block + (g * kBlock + i) * kGroup;
        for (uint64_t t = 0; t < kGroup; ++t) sum += int32_t(levels[g * kGroup + t]) * int32_t(codes[t]);
      }
      sums[b * kBlock + i] = sum;
    }
  }
}
}  // namespace shortlist_kernels

CoarseShortlist::CoarseShortlist(std::span<const float> centroids, std::span<const float> half_norms, uint64_t lists,
                                 uint64_t dim)
    : scales_(lists),
      half_norms_(half_norms.begin(), half_norms.end()),
      lists_(lists),
      dim_(dim),
      groups_(whole(dim, shortlist_kernels::kGroup)) {
  using shortlist_kernels::kBlock;
  using shortlist_kernels::kGroup;
  const uint64_t padded_lists = whole(lists, kBlock) * kBlock;
  blocks_.assign(padded_lists * groups_ * kGroup, 0);
  code_sums_.assign(padded_lists, 0);
  std::vector<int8_t> row(dim);
  for (uint64_t l = 0; l < lists; ++l) {
    scales_[l] = quantise_row(centroids.data() + l * dim, dim, row.data());
    int8_t* block = blocks_.data() + (l / kBlock) * groups_ * kBlock * kGroup;
    for (uint64_t j = 0; j < dim; ++j) {
      block[((j / kGroup) * kBlock + l % kBlock) * kGroup + j % kGroup] = row[j];
      code_sums_[l] += row[j];
    }
  }
}

void CoarseShortlist::approximate(const float* query, float* out) const {
  using shortlist_kernels::kBlock;
  std::vector<int16_t> levels(groups_ * shortlist_kernels::kGroup, 0);
  const float query_scale = quantise_row(query, dim_, levels.data());
  std::vector<int32_t> sums(whole(lists_, kBlock) * kBlock);
  sum_kernel()(levels.data(), blocks_.data(), code_sums_.data(), whole(lists_, kBlock), groups_, sums.data());
  for (uint64_t l = 0; l < lists_; ++l) out[l] = float(sums[l]) * (scales_[l] * query_scale) - half_norms_[l];
}

std::vector<uint32_t> CoarseShortlist::best(const float* query, uint64_t count) const {
  std::vector<float> approximations(lists_);
  approximate(query, approximations.data());
  TopK top(count);
  offer_best_scores(top, approximations.data(), 0, lists_);
  return chosen_lists(top);
}

std::vector<uint32_t> chosen_lists(TopK& top) {
  std::vector<float> scores(top.k());
  std::vector<int64_t> chosen(top.k());
  top.finish(scores.data(), chosen.data());
  std::sort(chosen.begin(), chosen.end());
  return std::vector<uint32_t>(chosen.begin(), chosen.end());
}

}  // namespace varnel

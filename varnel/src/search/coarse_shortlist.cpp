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
      return shortlist_kernels::sums_avx512;
#endif
    default:
      return shortlist_kernels::sums_portable;
  }
}

}  // namespace

namespace shortlist_kernels {
void sums_portable(const int16_t* query, const int8_t* codes, uint64_t lists, uint64_t dim, int32_t* sums) {
  for (uint64_t l = 0; l < lists; ++l) {
    const int8_t* row = codes + l * dim;
    int32_t sum = 0;
    for (uint64_t j = 0; j < dim; ++j) sum += int32_t(query[j]) * int32_t(row[j]);
    sums[l] = sum;
  }
}
}  // namespace shortlist_kernels

CoarseShortlist::CoarseShortlist(std::span<const float> centroids, uint64_t lists, uint64_t dim)
    : codes_(lists * dim), scales_(lists), lists_(lists), dim_(dim) {
  for (uint64_t l = 0; l < lists; ++l) {
    scales_[l] = quantise_row(centroids.data() + l * dim, dim, codes_.data() + l * dim);
  }
}

void CoarseShortlist::approximate(const float* query, float* out) const {
  std::vector<int16_t> levels(dim_);
  const float query_scale = quantise_row(query, dim_, levels.data());
  std::vector<int32_t> sums(lists_);
  sum_kernel()(levels.data(), codes_.data(), lists_, dim_, sums.data());
  for (uint64_t l = 0; l < lists_; ++l) out[l] = float(sums[l]) * (scales_[l] * query_scale);
}

std::vector<uint32_t> CoarseShortlist::best(const float* query, uint64_t count) const {
  std::vector<float> approximations(lists_);
  approximate(query, approximations.data());
  TopK top(count);
  offer_scores(top, approximations.data(), 0, lists_);
  std::vector<float> scores(count);
  std::vector<int64_t> chosen(count);
  top.finish(scores.data(), chosen.data());
  std::sort(chosen.begin(), chosen.end());
  return std::vector<uint32_t>(chosen.begin(), chosen.end());
}

}  // namespace varnel

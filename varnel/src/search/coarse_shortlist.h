#pragma once
// The first step of choosing which lists a single query probes: 8-bit copies
// of the centroids give an approximate <q, centroid> for every list from
// integer sums, at a quarter of the memory traffic of the float products
// (which, for a few thousand centroids, cost more than scanning the probed
// lists). The best of those approximations form a shortlist whose float
// products (CoarseTable) decide.
//
// The integer sums are exact, so the approximations, and with them the
// shortlist, are the same on every instruction-set path.
#include <cstdint>
#include <span>
#include <vector>

namespace varnel {

class CoarseShortlist {
 public:
  CoarseShortlist() = default;
  // centroids: lists rows of dim values (finite).
  CoarseShortlist(std::span<const float> centroids, uint64_t lists, uint64_t dim);

  bool empty() const { return lists_ == 0; }
  // The `count` lists of largest approximate <query, centroid>, of equal
  // approximations the lower list number first, in increasing list order.
  std::vector<uint32_t> best(const float* query, uint64_t count) const;
  // out[l] = the approximation of <query, centroid l> for every list.
  void approximate(const float* query, float* out) const;

 private:
  std::vector<int8_t> codes_;  // lists * dim: centroid / its scale, rounded
  std::vector<float> scales_;  // per list: its largest |value| / 127
  uint64_t lists_ = 0;
  uint64_t dim_ = 0;
};

// How many lists the shortlist keeps for `probes` probed lists.
inline uint64_t shortlist_size(uint64_t probes, uint64_t lists) {
  const uint64_t wanted = probes + (probes > 16 ? probes : 16);
  return wanted < lists ? wanted : lists;
}

namespace shortlist_kernels {
// sums[l] = sum_j query[j] * codes[l * dim + j] for l < lists (dim a multiple of 8).
using SumKernel = void (*)(const int16_t* query, const int8_t* codes, uint64_t lists, uint64_t dim,
                           int32_t* sums);
void sums_portable(const int16_t* query, const int8_t* codes, uint64_t lists, uint64_t dim, int32_t* sums);
#if defined(__x86_64__)
void sums_avx2(const int16_t* query, const int8_t* codes, uint64_t lists, uint64_t dim, int32_t* sums);
void sums_avx512(const int16_t* query, const int8_t* codes, uint64_t lists, uint64_t dim, int32_t* sums);
#endif
}  // namespace shortlist_kernels

}  // namespace varnel

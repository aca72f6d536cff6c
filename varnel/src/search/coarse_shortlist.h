#pragma once
// The first step of choosing which lists a single query probes: 8-bit copies
// of the centroids give an approximate <q, centroid> - |centroid|^2 / 2 (the
// nearness by Euclidean distance) for every list from integer sums, at a quarter of the memory traffic of the float products
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

class TopK;

class CoarseShortlist {
 public:
  CoarseShortlist() = default;
  // centroids: lists rows of dim values (finite); half_norms: |centroid|^2 / 2
  // of each (CoarseTable::half_norms).
  CoarseShortlist(std::span<const float> centroids, std::span<const float> half_norms, uint64_t lists,
                  uint64_t dim);

  bool empty() const { return lists_ == 0; }
  // The `count` lists of largest approximate <query, centroid> - half norm,
  // of equal approximations the lower list number first, in increasing list
  // order.
  std::vector<uint32_t> best(const float* query, uint64_t count) const;
  // out[l] = the approximation of <query, centroid l> - half norm l.
  void approximate(const float* query, float* out) const;

 private:
  // Codes in the kernels' layout (see shortlist_kernels), lists and dim
  // padded with zeros to whole blocks and groups.
  std::vector<int8_t> blocks_;
  std::vector<int32_t> code_sums_;  // per padded list: the sum of its codes
  std::vector<float> scales_;       // per list: its largest |value| / 127
  std::vector<float> half_norms_;   // per list
  uint64_t lists_ = 0;
  uint64_t dim_ = 0;
  uint64_t groups_ = 0;  // coordinates in groups of kGroup
};

// The lists a selector offered list numbers keeps, in increasing order (the
// selector holds at least its k lists).
std::vector<uint32_t> chosen_lists(TopK& top);

// How many lists the shortlist keeps for `probes` probed lists.
inline uint64_t shortlist_size(uint64_t probes, uint64_t lists) {
  const uint64_t wanted = probes + (probes > 16 ? probes : 16);
  return wanted < lists ? wanted : lists;
}

namespace shortlist_kernels {
// The codes are stored in blocks of kBlock centroids; a block holds, for
// each group of kGroup consecutive coordinates, kBlock * kGroup bytes with
// centroid i's values at bytes [i * kGroup, (i + 1) * kGroup). One vector
// register then holds one group of a whole block, and the kernels add the
// products of sixteen centroids side by side with no sums across lanes.
constexpr uint64_t kBlock = 16;
constexpr uint64_t kGroup = 4;
// sums[b * kBlock + i] = sum_j levels[j] * code(b * kBlock + i, j) over the
// groups * kGroup coordinates (levels in [-127, 127], padded with zeros).
// code_sums[c]: the sum of centroid c's codes (the VNNI kernel offsets the
// query levels by 128 to make them unsigned bytes and takes 128 * code_sums
// back off; the result wraps modulo 2^32 on the way but is exact at the end,
// since every true sum fits in 32 bits).
using SumKernel = void (*)(const int16_t* levels, const int8_t* blocks, const int32_t* code_sums,
                           uint64_t block_count, uint64_t groups, int32_t* sums);
void sums_portable(const int16_t* levels, const int8_t* blocks, const int32_t* code_sums, uint64_t block_count,
                   uint64_t groups, int32_t* sums);
#if defined(__x86_64__)
void sums_avx2(const int16_t* levels, const int8_t* blocks, const int32_t* code_sums, uint64_t block_count,
               uint64_t groups, int32_t* sums);
void sums_avx512(const int16_t* levels, const int8_t* blocks, const int32_t* code_sums, uint64_t block_count,
                 uint64_t groups, int32_t* sums);
void sums_avx512vnni(const int16_t* levels, const int8_t* blocks, const int32_t* code_sums,
                     uint64_t block_count, uint64_t groups, int32_t* sums);
#endif
}  // namespace shortlist_kernels

}  // namespace varnel

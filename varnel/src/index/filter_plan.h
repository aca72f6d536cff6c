#pragma once
// How a filtered query of a PartitionedIndex finds its candidates.
//
// A filter that admits few vectors leaves the probed lists nearly empty: a
// query that probed only its `probes` nearest lists would return fewer than
// k results and miss most of the admitted neighbours. So the plan, per query:
//
// - Direct: when at most `exact_below` vectors are admitted, every admitted
//   vector is scored (from its codes, the same float sum a probe verifies
//   with), whichever list it is in, and no lists are chosen. Default
//   exact_below: half the vectors the probed lists hold on average
//   (probes * len / lists / 2), at least kMinExactBelow: below that, scoring
//   every admitted vector costs about what probing costs.
// - Probing, widened: the `probes` nearest lists, if they hold enough
//   admitted vectors (the target, below). Otherwise the lists that hold
//   admitted vectors, nearest first, until the admitted vectors in them reach
//   the target and at least 2 * probes such lists are taken (or all there
//   are): a filter on a topic far from the query leaves it only lists that
//   are far, and their order by nearness tells less, so more of them are
//   read (they are full of admitted vectors, so each costs what any probed
//   list costs). Lists without admitted vectors are never counted.
//   Target: at least the selector's width (k, or the candidates refinement
//   re-scores), so that no answer is short while enough ids are admitted;
//   and, for recall, two fifths as many admitted vectors as the unfiltered
//   probes hold (a filter admitting a tenth of the vectors reads about four
//   times as many lists). `max_probes` bounds
//   the widening for recall; the widening for k results is never bounded.
//   The <q, centroid> of every list holding admitted vectors is needed to
//   rank them: when they are many, from the tiled kernels.
// - Within a probed list that holds few admitted vectors (under one in
//   kOneByOneShare of its vectors) only those are scored, one by one, instead
//   of scanning the list's codes.
//
// Every choice depends only on the query, the filter and the index, never on
// the instruction set or the thread count, so results stay deterministic.
#include <cstdint>

namespace varnel {

struct FilterPlanOptions {
  static constexpr uint64_t kDefault = ~uint64_t{0};
  uint64_t exact_below = kDefault;  // admitted ids up to which every admitted vector is scored
  uint64_t max_probes = kDefault;   // lists a query probes at most for recall; default: every list
};

namespace filter_plan {

constexpr uint64_t kMinExactBelow = 256;
constexpr uint64_t kOneByOneShare = 32;
constexpr uint64_t kLeastProbesFactor = 2;
// Few lists hold admitted vectors when they are at most one in this many:
// then ranking those lists alone costs less than the shortlist of all.
constexpr uint64_t kFewListsShare = 4;

inline uint64_t exact_below(const FilterPlanOptions& options, uint64_t probes, uint64_t n, uint64_t lists) {
  if (options.exact_below != FilterPlanOptions::kDefault) return options.exact_below;
  const uint64_t half_probed = static_cast<uint64_t>((static_cast<double>(probes) * static_cast<double>(n)) /
                                                     (2.0 * static_cast<double>(lists)));
  return half_probed > kMinExactBelow ? half_probed : kMinExactBelow;
}

// Admitted vectors the probed lists should hold: `width` for k results (when
// that many are admitted) and two fifths of `probed`, the vectors an
// unfiltered query's lists hold, for recall.
inline uint64_t target(uint64_t admitted, uint64_t width, uint64_t probed) {
  const uint64_t share = probed * 2 / 5;
  const uint64_t wanted = width > share ? width : share;
  return wanted < admitted ? wanted : admitted;
}

// Whether a probed list's admitted vectors are scored one by one.
inline bool one_by_one(uint64_t admitted_in_list, uint64_t list_size) {
  return admitted_in_list * kOneByOneShare < list_size;
}

}  // namespace filter_plan
}  // namespace varnel

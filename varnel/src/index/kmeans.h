#pragma once
// Seeded k-means for the coarse quantiser of the partitioned index.
//
// Deterministic: the same sample, list count and seed give bit-identical
// centroids on every machine, instruction-set path and thread count. The
// assignment uses the coarse kernels (sequential sums per coordinate); each
// new centroid is the double-precision sum of its members in sample order,
// divided by their count and rounded once to float; clusters are summed in
// parallel but each by one thread. Empty clusters take a slightly moved copy
// of the largest cluster's centroid (the largest's moves the other way), so
// the next assignment splits it.
#include <cstdint>
#include <span>
#include <vector>

namespace varnel {

struct KMeansOptions {
  // Training vectors used per list at most: a larger sample is thinned to
  // lists * this many rows, chosen by the seed. Recall gains little beyond.
  uint64_t max_per_list = 256;
  uint64_t iterations = 10;
  // The first iterations only place the centroids roughly: they run on
  // every `warmup_stride`-th training row (while that leaves at least one
  // row per list), which costs a fraction of a full iteration.
  uint64_t warmup_iterations = 0;
  uint64_t warmup_stride = 4;
  uint64_t seed = 0;
};

// sample: n rows of dim values, finite (checked by the caller); n >= lists
// (throws varnel::Error otherwise). Returns lists * dim centroid values.
// Polls for interrupts between pieces of work.
std::vector<float> train_kmeans(std::span<const float> sample, uint64_t n, uint64_t dim,
                                uint64_t lists, const KMeansOptions& options);

}  // namespace varnel

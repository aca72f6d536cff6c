#pragma once
// Lloyd-Max scalar codebook for one coordinate of a random unit vector.
#include <cstdint>
#include <vector>

namespace varnel {

struct Codebook {
  std::vector<float> boundaries;  // 2^bits - 1 values, ascending
  std::vector<float> centroids;   // 2^bits values, ascending
};

// Pure function of (bits, dim); computed in double, rounded to float32 once.
// Throws varnel::Error when dim < 2 (no distribution to fit).
Codebook codebook(uint64_t bits, uint64_t dim);

}  // namespace varnel

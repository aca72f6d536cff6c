#include "quantize/wht.h"

#include <bit>
#include <cmath>
#include <string>

#include "quantize/rotor.h"
#include "runtime/error.h"

namespace varnel {

std::vector<float> make_sign_vector(uint64_t dim, uint64_t sign_seed) {
  SeededStream stream(sign_seed);
  std::vector<float> signs(dim);
  for (auto& sign : signs) sign = stream.sign();
  return signs;
}

namespace {

void check_walsh_hadamard_args(std::span<float> x, std::span<const float> signs) {
  const uint64_t n = signs.size();
  if (!std::has_single_bit(n)) {
    throw Error("Walsh-Hadamard length must be a power of 2 (got " + std::to_string(n) + ")");
  }
  if (x.size() < n) {
    throw Error("Walsh-Hadamard row of " + std::to_string(x.size()) +
                " values is shorter than its " + std::to_string(n) + " signs");
  }
}

// Unnormalised, natural (Sylvester) order. Pairs within one span are
// disjoint, so the order in which they are visited does not matter.
void fast_walsh_hadamard(float* x, uint64_t n) {
  for (uint64_t h = 1; h < n; h *= 2) {
    for (uint64_t start = 0; start < n; start += 2 * h) {
      for (uint64_t j = start; j < start + h; ++j) {
        const float a = x[j];
        const float b = x[j + h];
        x[j] = a + b;
        x[j + h] = a - b;
      }
    }
  }
}

}  // namespace

void walsh_hadamard_step(std::span<float> x, std::span<const float> signs) {
  check_walsh_hadamard_args(x, signs);
  const uint64_t n = signs.size();
  for (uint64_t j = 0; j < n; ++j) x[j] *= signs[j];
  fast_walsh_hadamard(x.data(), n);
  const float scale = 1.0f / std::sqrt(static_cast<float>(n));
  for (uint64_t j = 0; j < n; ++j) x[j] *= scale;
}

}  // namespace varnel

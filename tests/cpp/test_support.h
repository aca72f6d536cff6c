#pragma once
// Small helpers shared by the C++ test programs.
#include <cstdint>
#include <random>
#include <vector>

#include "quantize/rotor.h"

namespace varnel::testing {

constexpr Rotation kAllRotations[] = {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4,
                                      Rotation::WalshRotor3};

// count * dim standard normal values, the same for the same seed.
inline std::vector<float> random_vectors(uint64_t count, uint64_t dim, uint32_t seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<float> normal;
  std::vector<float> values(count * dim);
  for (float& value : values) value = normal(engine);
  return values;
}

}  // namespace varnel::testing

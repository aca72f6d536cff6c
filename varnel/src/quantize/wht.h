#pragma once
// The random-sign Walsh-Hadamard stage of the WalshRotor3 rotation.
#include <cstdint>
#include <span>
#include <vector>

namespace varnel {

// The sign vector's stream is seeded with the index seed plus this offset.
constexpr uint64_t kSignSeedOffset = 5720148;  // 0x574854

std::vector<float> make_sign_vector(uint64_t dim, uint64_t sign_seed);

// Sign flip, unnormalised fast Walsh-Hadamard transform, scaling by 1/sqrt(n),
// on x[0..signs.size()). The length must be a power of two and x at least
// that long; throws varnel::Error otherwise.
void walsh_hadamard_step(std::span<float> x, std::span<const float> signs);

}  // namespace varnel

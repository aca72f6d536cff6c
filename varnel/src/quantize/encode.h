#pragma once
// Turning float32 vectors into norms and packed code rows.
#include <cstdint>
#include <span>
#include <vector>

namespace varnel {

struct Encoded {
  std::vector<uint8_t> codes;  // n * bits * dim/8 bytes, storage layout
  std::vector<float> norms;    // n values
};

// `vectors` holds at least n * dim values; `signs` is empty unless the
// rotation is WalshRotor3. Works on the calling thread only.
Encoded encode(std::span<const float> vectors, uint64_t n, uint64_t dim, std::span<const float> signs,
               std::span<const float> matrices, uint64_t block, uint64_t padded_dim,
               std::span<const float> boundaries, uint64_t bits);

// The same, written into buffers the caller owns: `codes_out` takes exactly
// n * bits * dim/8 bytes and `norms_out` n values (checked). Lets `add`
// encode straight into the index's arrays, without a copy of the batch.
void encode_into(std::span<const float> vectors, uint64_t n, uint64_t dim,
                 std::span<const float> signs, std::span<const float> matrices, uint64_t block,
                 uint64_t padded_dim, std::span<const float> boundaries, uint64_t bits,
                 std::span<uint8_t> codes_out, std::span<float> norms_out);

}  // namespace varnel

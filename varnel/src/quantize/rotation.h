#pragma once
// Applying the block rotation (and the optional Walsh-Hadamard stage) to rows.
#include <cstdint>
#include <span>

namespace varnel {

// Rotates min(matrices.size() / b^2, row.size() / b) consecutive blocks of
// `row` in place; a tail shorter than b is left alone. b is 2, 3 or 4.
void rotate_inplace(std::span<const float> matrices, uint64_t block, std::span<float> row);

// The forward rotation every stored vector and query goes through: `row` is a
// working row of padded_dim values holding the vector in its first `dim`.
// `signs` is empty unless the rotation is WalshRotor3.
void forward_rotate(std::span<float> row, uint64_t dim, std::span<const float> signs,
                    std::span<const float> matrices, uint64_t block);

// Undoes forward_rotate on a working row of padded_dim values: the transposed
// block matrices, then (WalshRotor3) the transform and the sign flip. Exact
// in real arithmetic; in float32 it returns the vector up to rounding.
void inverse_rotate(std::span<float> row, uint64_t dim, std::span<const float> signs,
                    std::span<const float> matrices, uint64_t block);

}  // namespace varnel

#pragma once
// The interchangeable kernels behind encode. Each path gives bit-identical
// results; encode picks the best one the CPU supports, and tests force each
// path to compare them.
#include <cstdint>
#include <span>

#include "encode.h"

namespace varnel {

enum class EncodePath { Portable, Avx2 };

bool encode_path_supported(EncodePath path);
EncodePath best_encode_path();

// encode on the given path; throws varnel::Error if the CPU lacks it.
Encoded encode_on_path(EncodePath path, std::span<const float> vectors, uint64_t n, uint64_t dim,
                       std::span<const float> signs, std::span<const float> matrices,
                       uint64_t block, uint64_t padded_dim, std::span<const float> boundaries,
                       uint64_t bits);

namespace avx2 {

bool supported();

// Norms of the leading vectors in groups of eight, each lane summing its own
// vector's squares in coordinate order. dim is a multiple of 8. Returns how
// many vectors it did (count rounded down to a multiple of 8); the caller
// finishes the rest.
uint64_t norms(const float* vectors, uint64_t count, uint64_t dim, float* norms_out);

// Codes of row[0..dim), dim a multiple of 8: the number of boundaries
// strictly below each value.
void quantise_row(const float* row, uint64_t dim, std::span<const float> boundaries,
                  uint8_t* codes);

}  // namespace avx2

}  // namespace varnel

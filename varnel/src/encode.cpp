#include "encode.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "error.h"
#include "pack.h"
#include "rotation.h"

namespace varnel {

namespace {

// Vectors are encoded this many at a time, so working memory stays at
// kChunkVectors working rows whatever the batch size. Vectors are independent,
// so the chunk size never changes a result.
constexpr uint64_t kChunkVectors = 256;

// Below this norm a vector is treated as zero rather than blown up by 1/norm.
constexpr float kMinNorm = 1e-10f;

struct Layout {
  uint64_t dim;
  uint64_t padded_dim;
  uint64_t bits;
  uint64_t row_bytes;
};

uint64_t checked_mul(uint64_t a, uint64_t b, const char* what) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw Error(std::string("encode: ") + what + " size overflows 64 bits");
  }
  return product;
}

void check_arguments(std::span<const float> vectors, uint64_t n, uint64_t dim,
                     std::span<const float> signs, uint64_t block, uint64_t padded_dim,
                     std::span<const float> boundaries, uint64_t bits) {
  if (bits < 1 || bits > 8) {
    throw Error("encode: bits must be 1 to 8 (got " + std::to_string(bits) + ")");
  }
  const uint64_t boundary_count = (uint64_t{1} << bits) - 1;
  if (boundaries.size() != boundary_count) {
    throw Error("encode: " + std::to_string(bits) + "-bit codes need " +
                std::to_string(boundary_count) + " boundaries (got " +
                std::to_string(boundaries.size()) + ")");
  }
  if (dim % 8 != 0) {
    throw Error("encode: dim must be a multiple of 8 (got " + std::to_string(dim) + ")");
  }
  if (padded_dim == 0 || padded_dim < dim) {
    throw Error("encode: padded_dim " + std::to_string(padded_dim) +
                " must be positive and at least dim " + std::to_string(dim));
  }
  if (block < 1 || block > 4) {
    throw Error("encode: rotation block size must be 1 to 4 (got " + std::to_string(block) + ")");
  }
  if (!signs.empty() && (signs.size() != dim || !std::has_single_bit(dim))) {
    throw Error("encode: sign vector of " + std::to_string(signs.size()) +
                " values needs dim to equal it and be a power of 2 (dim " + std::to_string(dim) +
                ")");
  }
  const uint64_t needed = checked_mul(n, dim, "vector buffer");
  if (vectors.size() < needed) {
    throw Error("encode: vector buffer holds " + std::to_string(vectors.size()) +
                " values, needs " + std::to_string(needed));
  }
}

// Strictly sequential in coordinate order: no partial sums, so the norm is
// the same on every machine and in every code path.
float sequential_norm(const float* x, uint64_t dim) {
  float sum = -0.0f;
  for (uint64_t j = 0; j < dim; ++j) {
    const float square = x[j] * x[j];
    sum += square;
  }
  return std::sqrt(sum);
}

// A NaN norm fails the comparison and also gives 0.
float reciprocal_norm(float norm) { return norm > kMinNorm ? 1.0f / norm : 0.0f; }

// Unit-length copy of x in the first dim places of row; the padding is zero.
void scale_into_row(const float* x, uint64_t dim, float inv, std::span<float> row) {
  for (uint64_t j = 0; j < dim; ++j) row[j] = x[j] * inv;
  std::fill(row.begin() + dim, row.end(), 0.0f);
}

// Number of boundaries strictly below the value: a value on a boundary takes
// the lower code, and NaN compares false everywhere and takes code 0.
uint8_t quantise(float value, std::span<const float> boundaries) {
  unsigned code = 0;
  for (const float boundary : boundaries) code += value > boundary ? 1u : 0u;
  return static_cast<uint8_t>(code);
}

void quantise_row(std::span<const float> row, std::span<const float> boundaries, uint8_t* codes) {
  for (uint64_t j = 0; j < row.size(); ++j) codes[j] = quantise(row[j], boundaries);
}

}  // namespace

Encoded encode(std::span<const float> vectors, uint64_t n, uint64_t dim, std::span<const float> signs,
               std::span<const float> matrices, uint64_t block, uint64_t padded_dim,
               std::span<const float> boundaries, uint64_t bits) {
  check_arguments(vectors, n, dim, signs, block, padded_dim, boundaries, bits);
  const uint64_t row_bytes = bits * (dim / 8);
  Encoded out;
  out.norms.resize(n);
  out.codes.reserve(checked_mul(n, row_bytes, "code buffer"));

  const uint64_t chunk_capacity = std::min(n, kChunkVectors);
  std::vector<float> rows(checked_mul(chunk_capacity, padded_dim, "working row"));
  std::vector<uint8_t> codes(chunk_capacity * dim);
  for (uint64_t first = 0; first < n; first += kChunkVectors) {
    const uint64_t count = std::min(kChunkVectors, n - first);
    for (uint64_t i = 0; i < count; ++i) {
      const float* x = vectors.data() + (first + i) * dim;
      const std::span<float> row(rows.data() + i * padded_dim, padded_dim);
      const float norm = sequential_norm(x, dim);
      out.norms[first + i] = norm;
      scale_into_row(x, dim, reciprocal_norm(norm), row);
      forward_rotate(row, dim, signs, matrices, block);
      quantise_row(row.first(dim), boundaries, codes.data() + i * dim);
    }
    const std::vector<uint8_t> packed = pack_codes(std::span(codes).first(count * dim), count, dim, bits);
    out.codes.insert(out.codes.end(), packed.begin(), packed.end());
  }
  return out;
}

}  // namespace varnel

#include "quantize/rotation.h"

#include <algorithm>
#include <string>
#include <vector>

#include "quantize/wht.h"
#include "runtime/error.h"

namespace varnel {

namespace {

constexpr uint64_t kMaxBlock = 4;

// y = M x for one B-by-B block, every product rounded before it is added,
// summed in column order from 0; all outputs come from the old values. The
// block size is a template argument so the loops unroll fully: every vector
// and query passes through here.
template <uint64_t B>
void rotate_blocks(const float* m, uint64_t n_blocks, float* x) {
  for (uint64_t k = 0; k < n_blocks; ++k, m += B * B, x += B) {
    float y[B];
    for (uint64_t i = 0; i < B; ++i) {
      float sum = 0.0f;
      for (uint64_t j = 0; j < B; ++j) {
        const float product = m[i * B + j] * x[j];
        sum += product;
      }
      y[i] = sum;
    }
    std::copy(y, y + B, x);
  }
}

// x = M^T y for each block: the blocks are orthogonal, so this undoes
// rotate_blocks.
template <uint64_t B>
void unrotate_blocks(const float* m, uint64_t n_blocks, float* x) {
  for (uint64_t k = 0; k < n_blocks; ++k, m += B * B, x += B) {
    float y[B];
    for (uint64_t i = 0; i < B; ++i) {
      float sum = 0.0f;
      for (uint64_t j = 0; j < B; ++j) {
        const float product = m[j * B + i] * x[j];
        sum += product;
      }
      y[i] = sum;
    }
    std::copy(y, y + B, x);
  }
}

void check_block_size(uint64_t block) {
  if (block == 0 || block > kMaxBlock) {
    throw Error("rotation block size must be 1 to 4 (got " + std::to_string(block) + ")");
  }
}

}  // namespace

void rotate_inplace(std::span<const float> matrices, uint64_t block, std::span<float> row) {
  check_block_size(block);
  const uint64_t block_area = block * block;
  const uint64_t n_blocks = std::min<uint64_t>(matrices.size() / block_area, row.size() / block);
  switch (block) {
    case 1: return rotate_blocks<1>(matrices.data(), n_blocks, row.data());
    case 2: return rotate_blocks<2>(matrices.data(), n_blocks, row.data());
    case 3: return rotate_blocks<3>(matrices.data(), n_blocks, row.data());
    default: return rotate_blocks<4>(matrices.data(), n_blocks, row.data());
  }
}

void forward_rotate(std::span<float> row, uint64_t dim, std::span<const float> signs,
                    std::span<const float> matrices, uint64_t block) {
  check_block_size(block);
  if (row.size() < dim) {
    throw Error("working row of " + std::to_string(row.size()) + " values is shorter than dim " +
                std::to_string(dim));
  }
  if (!signs.empty()) {
    if (signs.size() != dim) {
      throw Error("sign vector has " + std::to_string(signs.size()) + " values, expected dim " +
                  std::to_string(dim));
    }
    walsh_hadamard_step(row.first(dim), signs);
  }
  rotate_inplace(matrices, block, row);
}

void inverse_rotate(std::span<float> row, uint64_t dim, std::span<const float> signs,
                    std::span<const float> matrices, uint64_t block) {
  check_block_size(block);
  if (row.size() < dim) {
    throw Error("working row of " + std::to_string(row.size()) + " values is shorter than dim " +
                std::to_string(dim));
  }
  const uint64_t n_blocks = std::min<uint64_t>(matrices.size() / (block * block), row.size() / block);
  switch (block) {
    case 1: unrotate_blocks<1>(matrices.data(), n_blocks, row.data()); break;
    case 2: unrotate_blocks<2>(matrices.data(), n_blocks, row.data()); break;
    case 3: unrotate_blocks<3>(matrices.data(), n_blocks, row.data()); break;
    default: unrotate_blocks<4>(matrices.data(), n_blocks, row.data()); break;
  }
  if (signs.empty()) return;
  if (signs.size() != dim) {
    throw Error("sign vector has " + std::to_string(signs.size()) + " values, expected dim " +
                std::to_string(dim));
  }
  // The scaled transform is its own inverse; the signs come last.
  const std::vector<float> no_flip(dim, 1.0f);
  walsh_hadamard_step(row.first(dim), no_flip);
  for (uint64_t j = 0; j < dim; ++j) row[j] = row[j] * signs[j];
}

}  // namespace varnel

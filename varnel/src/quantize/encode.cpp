#include "quantize/encode.h"
#include "quantize/encode_kernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "quantize/pack.h"
#include "quantize/rotation.h"
#include "runtime/cpu.h"
#include "runtime/error.h"

namespace varnel {

namespace {

// Vectors are encoded this many at a time, so working memory stays at one
// chunk of codes whatever the batch size. Vectors are independent, so the
// chunk size never changes a result.
constexpr uint64_t kChunkVectors = 256;

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
float reciprocal_norm(float norm) { return norm > kMinEncodeNorm ? 1.0f / norm : 0.0f; }

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

void quantise_row(const float* row, uint64_t dim, std::span<const float> boundaries,
                  uint8_t* codes) {
  for (uint64_t j = 0; j < dim; ++j) codes[j] = quantise(row[j], boundaries);
}

// Encodes `count` vectors into `norms` and their packed rows into `packed`.
// `row` and `codes` are working storage.
void encode_chunk(const EncodeJob& p, const float* vectors, uint64_t count, float* norms,
                  std::span<float> row, std::span<uint8_t> codes, uint8_t* packed) {
  for (uint64_t i = 0; i < count; ++i) norms[i] = sequential_norm(vectors + i * p.dim, p.dim);
  for (uint64_t i = 0; i < count; ++i) {
    scale_into_row(vectors + i * p.dim, p.dim, reciprocal_norm(norms[i]), row);
    forward_rotate(row, p.dim, p.signs, p.matrices, p.block);
    quantise_row(row.data(), p.dim, p.boundaries, codes.data() + i * p.dim);
  }
  const std::vector<uint8_t> rows = pack_codes(codes.first(count * p.dim), count, p.dim, p.bits);
  std::copy(rows.begin(), rows.end(), packed);
}

}  // namespace

bool encode_path_supported(EncodePath path) {
  switch (path) {
    case EncodePath::Portable: return true;
    case EncodePath::Avx2: return avx2::supported();
    case EncodePath::Avx512: return avx512::supported();
  }
  return false;
}

EncodePath best_encode_path() {
  static const bool has_avx2 = encode_path_supported(EncodePath::Avx2);
  static const bool has_avx512 = encode_path_supported(EncodePath::Avx512);
  switch (active_scan_path()) {
    case ScanPath::Avx512:
    case ScanPath::Avx512Vbmi:
      if (has_avx512) return EncodePath::Avx512;
      [[fallthrough]];
    case ScanPath::Avx2:
      if (has_avx2) return EncodePath::Avx2;
      [[fallthrough]];
    default:
      return EncodePath::Portable;
  }
}

void encode_into_on_path(EncodePath path, std::span<const float> vectors, uint64_t n, uint64_t dim,
                         std::span<const float> signs, std::span<const float> matrices,
                         uint64_t block, uint64_t padded_dim, std::span<const float> boundaries,
                         uint64_t bits, std::span<uint8_t> codes_out, std::span<float> norms_out) {
  check_arguments(vectors, n, dim, signs, block, padded_dim, boundaries, bits);
  if (!encode_path_supported(path)) throw Error("encode: the requested CPU path is not available");
  const uint64_t code_bytes = checked_mul(n, bits * (dim / 8), "code buffer");
  if (codes_out.size() != code_bytes || norms_out.size() != n) {
    throw Error("encode: output buffers of " + std::to_string(codes_out.size()) + " bytes and " +
                std::to_string(norms_out.size()) + " norms, need " + std::to_string(code_bytes) +
                " and " + std::to_string(n));
  }
  if (n == 0) return;
  const EncodeJob job{dim, padded_dim, signs, matrices, block, boundaries, bits};
  if (path == EncodePath::Avx2) {
    avx2::encode_vectors(job, vectors.data(), n, norms_out.data(), codes_out.data());
    return;
  }
  if (path == EncodePath::Avx512) {
    avx512::encode_vectors(job, vectors.data(), n, norms_out.data(), codes_out.data());
    return;
  }

  const uint64_t row_bytes = code_bytes / n;
  // One working row and one chunk of unpacked codes, whatever n is.
  std::vector<float> row(padded_dim);
  std::vector<uint8_t> codes(checked_mul(std::min(n, kChunkVectors), dim, "chunk"));
  for (uint64_t first = 0; first < n; first += kChunkVectors) {
    const uint64_t count = std::min(kChunkVectors, n - first);
    encode_chunk(job, vectors.data() + first * dim, count, norms_out.data() + first, row,
                 codes, codes_out.data() + first * row_bytes);
  }
}

Encoded encode_on_path(EncodePath path, std::span<const float> vectors, uint64_t n, uint64_t dim,
                       std::span<const float> signs, std::span<const float> matrices,
                       uint64_t block, uint64_t padded_dim, std::span<const float> boundaries,
                       uint64_t bits) {
  check_arguments(vectors, n, dim, signs, block, padded_dim, boundaries, bits);
  Encoded out;
  out.codes.resize(checked_mul(n, bits * (dim / 8), "code buffer"));
  out.norms.resize(n);
  encode_into_on_path(path, vectors, n, dim, signs, matrices, block, padded_dim, boundaries, bits,
                      out.codes, out.norms);
  return out;
}

Encoded encode(std::span<const float> vectors, uint64_t n, uint64_t dim, std::span<const float> signs,
               std::span<const float> matrices, uint64_t block, uint64_t padded_dim,
               std::span<const float> boundaries, uint64_t bits) {
  return encode_on_path(best_encode_path(), vectors, n, dim, signs, matrices, block, padded_dim,
                        boundaries, bits);
}

void encode_into(std::span<const float> vectors, uint64_t n, uint64_t dim,
                 std::span<const float> signs, std::span<const float> matrices, uint64_t block,
                 uint64_t padded_dim, std::span<const float> boundaries, uint64_t bits,
                 std::span<uint8_t> codes_out, std::span<float> norms_out) {
  encode_into_on_path(best_encode_path(), vectors, n, dim, signs, matrices, block, padded_dim,
                      boundaries, bits, codes_out, norms_out);
}

}  // namespace varnel

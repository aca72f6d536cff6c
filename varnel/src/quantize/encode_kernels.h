#pragma once
// The interchangeable kernels behind encode. Each path gives bit-identical
// results; encode picks the best one the CPU supports, and tests force each
// path to compare them.
#include <cstdint>
#include <span>

#include "quantize/encode.h"

namespace varnel {

enum class EncodePath { Portable, Avx2, Avx512 };

bool encode_path_supported(EncodePath path);
// The path encode takes: the widest one the CPU supports that does not go
// past the active scan path (lut_scan.h), so that VARNEL_SCAN_PATH and
// force_scan_path choose the instruction set of encoding too.
EncodePath best_encode_path();

// encode on the given path; throws varnel::Error if the CPU lacks it.
Encoded encode_on_path(EncodePath path, std::span<const float> vectors, uint64_t n, uint64_t dim,
                       std::span<const float> signs, std::span<const float> matrices,
                       uint64_t block, uint64_t padded_dim, std::span<const float> boundaries,
                       uint64_t bits);

// encode_into on the given path.
void encode_into_on_path(EncodePath path, std::span<const float> vectors, uint64_t n, uint64_t dim,
                         std::span<const float> signs, std::span<const float> matrices,
                         uint64_t block, uint64_t padded_dim, std::span<const float> boundaries,
                         uint64_t bits, std::span<uint8_t> codes_out, std::span<float> norms_out);

// Below this norm a vector is treated as zero rather than blown up by 1/norm.
inline constexpr float kMinEncodeNorm = 1e-10f;

// Everything encode needs besides the vectors, already checked by encode:
// dim a multiple of 8, padded_dim >= dim, block 1 to 4, bits 1 to 8 with
// 2^bits - 1 boundaries, signs empty or dim of them with dim a power of 2.
struct EncodeJob {
  uint64_t dim;
  uint64_t padded_dim;
  std::span<const float> signs;
  std::span<const float> matrices;
  uint64_t block;
  std::span<const float> boundaries;
  uint64_t bits;
};

namespace avx2 {

bool supported();

// Encodes `count` vectors eight at a time, one vector per lane from the norm
// to the packed row, each lane doing exactly the scalar operations in the
// scalar order. Writes `count` norms and `count` packed rows of
// bits * dim/8 bytes, every byte of them.
void encode_vectors(const EncodeJob& job, const float* vectors, uint64_t count, float* norms_out,
                    uint8_t* packed_out);

}  // namespace avx2

namespace avx512 {

bool supported();

// The same, sixteen vectors at a time.
void encode_vectors(const EncodeJob& job, const float* vectors, uint64_t count, float* norms_out,
                    uint8_t* packed_out);

}  // namespace avx512

}  // namespace varnel

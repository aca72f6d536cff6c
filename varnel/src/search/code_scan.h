#pragma once
// Scoring kernel of the 2- and 3-bit search. Stored codes are decoded a block
// of vectors at a time into a coordinate-major layout; a query's products
// rq_j * centroid[c] are computed once into a table of 8 entries per
// coordinate, and each vector's score is the sum of its table entries added
// sequentially in coordinate order. Vectorised paths keep one vector per lane,
// so every lane adds in the same order as the portable loop: bit-identical.
#include <cstdint>

namespace varnel {

// Vectors per decoded block; a multiple of 32 (the widest kernel step).
constexpr uint64_t kCodeBlock = 64;

// Vectors per kernel step: one group of 32 lanes.
constexpr uint64_t kLaneGroup = 32;

// A decoding format and the kernel that reads it, fixed for a whole search.
//
// Decoded blocks are groups of 32 lanes, each group coordinate-major so that
// the kernel streams through it: lane l of group g, coordinate j at element
// g * dim * 32 + j * 32 + l. The portable format has one byte per element,
// the code c. The AVX2 format has one 32-bit word per element, the byte
// shuffle control of its table lookup: 0x03020100 + 0x04040404 * (c & 3),
// with bit 7 of every byte set when c & 4.
struct CodeScanner {
  bool simd;
  uint64_t dim;
  uint64_t bits;  // 1 to 3

  // Bytes of one decoded block.
  uint64_t block_bytes() const;
  // Decodes vectors [first, first + count) of the packed rows into `out`;
  // lanes from count to kCodeBlock decode as code 0.
  void decode(const uint8_t* codes, uint64_t first, uint64_t count, uint8_t* out) const;
  // table: dim * 8 floats. For every lane v < lanes (a multiple of 32, at
  // most kCodeBlock) of a decoded block: out[v] = (((0 + t[0][c0]) + t[1][c1])
  // + ...) in float32.
  void sum(const float* table, const uint8_t* block, uint64_t lanes, float* out) const;
  // The same for two tables at once (the same results as two calls).
  void sum_pair(const float* table_a, const float* table_b, const uint8_t* block, uint64_t lanes,
                float* out_a, float* out_b) const;
};

// The scanner to use now: the AVX2 one where the CPU has it, unless
// VARNEL_SCAN_PATH=portable or a test forced the portable one.
CodeScanner make_code_scanner(uint64_t dim, uint64_t bits);

bool code_scan_uses_simd();
void force_code_scan_portable(bool portable);

}  // namespace varnel

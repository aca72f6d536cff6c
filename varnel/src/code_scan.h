#pragma once
// Scoring kernel of the 2- and 3-bit search. Stored codes are decoded a block
// of vectors at a time into a coordinate-major byte layout; a query's
// products rq_j * centroid[c] are computed once into a table of 8 entries per
// coordinate, and each vector's score is the sum of its table entries added
// sequentially in coordinate order. Vectorised paths keep one vector per lane,
// so every lane adds in the same order as the portable loop: bit-identical.
#include <cstdint>

namespace varnel {

// Vectors per decoded block; a multiple of 32 (the widest kernel step).
constexpr uint64_t kCodeBlock = 256;

// Vectors per kernel step: one group of 32 lanes.
constexpr uint64_t kLaneGroup = 32;

// Decodes vectors [first, first + count) of the packed rows into groups of
// 32 lanes, each group coordinate-major so that the kernel streams through
// it: lane l of group g, coordinate j at out[g * dim * 32 + j * 32 + l].
// Lanes from count to kCodeBlock are 0. out holds dim * kCodeBlock bytes.
void decode_code_block(const uint8_t* codes, uint64_t dim, uint64_t bits, uint64_t first,
                       uint64_t count, uint8_t* out);

// table: dim * 8 floats. For every lane v < lanes (a multiple of 32, at most
// kCodeBlock) of a decoded block: out[v] = (((0 + t[0][c0]) + t[1][c1]) + ...)
// in float32.
void sum_code_tables(const float* table, const uint8_t* block, uint64_t dim, uint64_t lanes,
                     float* out);

// Which kernel sum_code_tables uses: the AVX2 one where the CPU has it unless
// VARNEL_SCAN_PATH=portable; tests can force the portable one.
bool code_scan_uses_simd();
// Decoding is exact integer work; both paths give the same bytes. Exposed so
// tests can compare them.
void decode_code_block_portable(const uint8_t* codes, uint64_t dim, uint64_t bits, uint64_t first,
                                uint64_t count, uint8_t* out);
void force_code_scan_portable(bool portable);

}  // namespace varnel

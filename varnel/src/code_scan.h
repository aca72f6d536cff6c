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

// Decodes vectors [first, first + count) of the packed rows into
// out[j * kCodeBlock + (v - first)]; lanes from count to kCodeBlock are 0.
void decode_code_block(const uint8_t* codes, uint64_t dim, uint64_t bits, uint64_t first,
                       uint64_t count, uint8_t* out);

// table: dim * 8 floats. For every lane v < lanes (a multiple of 32, at most
// kCodeBlock): out[v] = (((0 + t[0][c0]) + t[1][c1]) + ...) in float32.
void sum_code_tables(const float* table, const uint8_t* block, uint64_t dim, uint64_t lanes,
                     float* out);

// Which kernel sum_code_tables uses: the AVX2 one where the CPU has it unless
// VARNEL_SCAN_PATH=portable; tests can force the portable one.
bool code_scan_uses_simd();
void force_code_scan_portable(bool portable);

}  // namespace varnel

#pragma once
// The two byte layouts of quantisation codes: bit-plane storage rows and the
// 32-vector blocked layout scanned by the 4-bit search.
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/memory.h"

namespace varnel {

// n rows of bits * dim/8 bytes; row = `bits` planes, coordinate j at byte j/8,
// bit 7 - j%8 of plane p holding bit p of its code.
std::vector<uint8_t> pack_codes(std::span<const uint8_t> codes, uint64_t n, uint64_t dim,
                                uint64_t bits);

// Decodes one packed row (bits * dim/8 bytes) into dim codes.
void unpack_row(std::span<const uint8_t> row, uint64_t dim, uint64_t bits,
                std::span<uint8_t> codes_out);

struct BlockedCache {
  StoredArray<uint8_t> bytes;  // n_blocks * (dim/2) * 32 bytes; may be a file mapping
  uint64_t n_blocks = 0;       // ceil(n / 32)
};

// Re-lays 4-bit storage rows into blocks of 32 vectors, one byte per
// coordinate pair: code of 2c in the high nibble, 2c+1 in the low nibble.
BlockedCache repack_4bit(std::span<const uint8_t> packed, uint64_t n, uint64_t dim);

// A cache of the size that layout takes for n vectors of `dim`, its bytes not
// yet written; repack_4bit_blocks fills it.
BlockedCache unfilled_blocked_cache(uint64_t n, uint64_t dim);

// Blocks [first, last) of that layout, written to `out` (exactly their
// bytes), so that separate ranges can be filled on separate threads.
void repack_4bit_blocks(std::span<const uint8_t> packed, uint64_t n, uint64_t dim, uint64_t first,
                        uint64_t last, std::span<uint8_t> out);

// The lane bytes of one vector: the row_bytes = bits * dim/8 bytes that the
// vector owns in the blocked layout of its bit width, one per byte-column,
// in column order. Each layout keeps whole table indices in a byte so that
// a scan looks them up with byte shuffles:
// - 4 bits: byte c = code(2c) << 4 | code(2c+1) (the layout above);
// - 2 bits: byte c = code(4c) << 6 | code(4c+1) << 4 | code(4c+2) << 2 |
//   code(4c+3), so each nibble is a 4-bit pair index;
// - 3 bits: each group g of eight coordinates is bytes 3g..3g+2; with the
//   6-bit pair indices p_m = code(8g+2m) << 3 | code(8g+2m+1), byte 3g+m
//   (m < 3) is p_m | ((p_3 >> 2m) & 3) << 6: the low six bits of each byte are
//   a whole index, and the top two bits of the three bytes together hold p_3.
void codes_to_lane_bytes(const uint8_t* codes, uint64_t dim, uint64_t bits, uint8_t* lane_bytes);
void lane_bytes_to_codes(const uint8_t* lane_bytes, uint64_t dim, uint64_t bits, uint8_t* codes);

// Blocks of 32 vectors needed for n vectors, and the bytes of one block.
inline uint64_t blocks_for(uint64_t n) { return n / 32 + (n % 32 != 0 ? 1 : 0); }
inline uint64_t blocked_block_bytes(uint64_t dim) { return (dim / 2) * 32; }

}  // namespace varnel

#pragma once
// The two byte layouts of quantisation codes: bit-plane storage rows and the
// 32-vector blocked layout scanned by the 4-bit search.
#include <cstdint>
#include <span>
#include <vector>

#include "memory.h"

namespace varnel {

// n rows of bits * dim/8 bytes; row = `bits` planes, coordinate j at byte j/8,
// bit 7 - j%8 of plane p holding bit p of its code.
std::vector<uint8_t> pack_codes(std::span<const uint8_t> codes, uint64_t n, uint64_t dim,
                                uint64_t bits);

// Decodes one packed row (bits * dim/8 bytes) into dim codes.
void unpack_row(std::span<const uint8_t> row, uint64_t dim, uint64_t bits,
                std::span<uint8_t> codes_out);

struct BlockedCache {
  RawVector<uint8_t> bytes;  // n_blocks * (dim/2) * 32 bytes
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

// Blocks of 32 vectors needed for n vectors, and the bytes of one block.
inline uint64_t blocks_for(uint64_t n) { return n / 32 + (n % 32 != 0 ? 1 : 0); }
inline uint64_t blocked_block_bytes(uint64_t dim) { return (dim / 2) * 32; }

}  // namespace varnel

#pragma once
// The two byte layouts of quantisation codes: bit-plane storage rows and the
// 32-vector blocked layout scanned by the 4-bit search.
#include <cstdint>
#include <span>
#include <vector>

namespace varnel {

// n rows of bits * dim/8 bytes; row = `bits` planes, coordinate j at byte j/8,
// bit 7 - j%8 of plane p holding bit p of its code.
std::vector<uint8_t> pack_codes(std::span<const uint8_t> codes, uint64_t n, uint64_t dim,
                                uint64_t bits);

// Decodes one packed row (bits * dim/8 bytes) into dim codes.
void unpack_row(std::span<const uint8_t> row, uint64_t dim, uint64_t bits,
                std::span<uint8_t> codes_out);

struct BlockedCache {
  std::vector<uint8_t> bytes;  // n_blocks * (dim/2) * 32 bytes
  uint64_t n_blocks = 0;       // ceil(n / 32)
};

// Re-lays 4-bit storage rows into blocks of 32 vectors, one byte per
// coordinate pair: code of 2c in the high nibble, 2c+1 in the low nibble.
BlockedCache repack_4bit(std::span<const uint8_t> packed, uint64_t n, uint64_t dim);

}  // namespace varnel

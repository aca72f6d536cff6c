#include "pack.h"

#include <array>
#include <cstring>
#include <string>

#include "error.h"

namespace varnel {

namespace {

constexpr uint64_t kVectorsPerBlock = 32;
constexpr uint64_t kFourBits = 4;

// Eight codes travel together as one little-endian 64-bit word: the code of
// coordinate i of a group of eight sits in byte i.
constexpr uint64_t kLowBitOfEachByte = 0x0101010101010101ULL;
// Multiplying the masked word by this moves the bit of byte i to bit 63 - i
// with no carries, so the top byte holds the group with coordinate 0 first.
constexpr uint64_t kGatherMsbFirst = 0x8040201008040201ULL;

uint64_t checked_mul(uint64_t a, uint64_t b, const char* what) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw Error(std::string(what) + " size overflows 64 bits");
  }
  return product;
}

void check_bits(uint64_t bits, const char* caller) {
  if (bits < 1 || bits > 8) {
    throw Error(std::string(caller) + ": bits must be 1 to 8 (got " + std::to_string(bits) + ")");
  }
}

void check_dim(uint64_t dim, const char* caller) {
  if (dim % 8 != 0) {
    throw Error(std::string(caller) + ": dim must be a multiple of 8 (got " +
                std::to_string(dim) + ")");
  }
}

void check_length(uint64_t have, uint64_t need, const char* caller, const char* buffer) {
  if (have < need) {
    throw Error(std::string(caller) + ": " + buffer + " holds " + std::to_string(have) +
                " bytes, needs " + std::to_string(need));
  }
}

uint64_t load_group(const uint8_t* bytes) {
  uint64_t word = 0;
  for (int i = 0; i < 8; ++i) word |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  return word;
}

void store_group(uint64_t word, uint8_t* bytes) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

// Bit p of each of eight codes, as one plane byte (coordinate 0 in bit 7).
uint8_t plane_byte(uint64_t codes, uint64_t p) {
  return static_cast<uint8_t>((((codes >> p) & kLowBitOfEachByte) * kGatherMsbFirst) >> 56);
}

// The inverse of the gather: bit 7 - i of the byte becomes byte i, as 0 or 1.
constexpr std::array<uint64_t, 256> make_spread_table() {
  std::array<uint64_t, 256> table{};
  for (uint64_t byte = 0; byte < 256; ++byte) {
    for (uint64_t i = 0; i < 8; ++i) {
      table[byte] |= ((byte >> (7 - i)) & 1) << (8 * i);
    }
  }
  return table;
}
constexpr std::array<uint64_t, 256> kSpread = make_spread_table();

// Codes of the eight coordinates of group g of a row, one per byte.
uint64_t decode_group(const uint8_t* row, uint64_t plane_bytes, uint64_t bits, uint64_t g) {
  uint64_t codes = 0;
  for (uint64_t p = 0; p < bits; ++p) codes |= kSpread[row[p * plane_bytes + g]] << p;
  return codes;
}

void pack_row(const uint8_t* codes, uint64_t dim, uint64_t bits, uint8_t* row) {
  const uint64_t plane_bytes = dim / 8;
  for (uint64_t g = 0; g < plane_bytes; ++g) {
    const uint64_t group = load_group(codes + 8 * g);
    for (uint64_t p = 0; p < bits; ++p) row[p * plane_bytes + g] = plane_byte(group, p);
  }
}

// Writes the four coordinate pairs of one group of eight 4-bit codes to their
// lanes, 32 bytes apart: first code of a pair in the high nibble.
void scatter_pairs(uint64_t codes, uint8_t* lane) {
  // Codes are below 16, so shifting left by 4 stays inside each byte, and
  // byte 2m of the result pairs code 2m with code 2m + 1.
  const uint64_t pairs = (codes << 4) | (codes >> 8);
  for (uint64_t m = 0; m < 4; ++m) {
    lane[m * kVectorsPerBlock] = static_cast<uint8_t>(pairs >> (16 * m));
  }
}

}  // namespace

std::vector<uint8_t> pack_codes(std::span<const uint8_t> codes, uint64_t n, uint64_t dim,
                                uint64_t bits) {
  check_bits(bits, "pack_codes");
  check_dim(dim, "pack_codes");
  check_length(codes.size(), checked_mul(n, dim, "pack_codes: codes"), "pack_codes", "codes");
  const uint64_t row_bytes = bits * (dim / 8);
  std::vector<uint8_t> packed(checked_mul(n, row_bytes, "pack_codes: output"));
  for (uint64_t v = 0; v < n; ++v) {
    pack_row(codes.data() + v * dim, dim, bits, packed.data() + v * row_bytes);
  }
  return packed;
}

void unpack_row(std::span<const uint8_t> row, uint64_t dim, uint64_t bits,
                std::span<uint8_t> codes_out) {
  check_bits(bits, "unpack_row");
  check_dim(dim, "unpack_row");
  check_length(row.size(), bits * (dim / 8), "unpack_row", "row");
  check_length(codes_out.size(), dim, "unpack_row", "codes_out");
  const uint64_t plane_bytes = dim / 8;
  for (uint64_t g = 0; g < plane_bytes; ++g) {
    store_group(decode_group(row.data(), plane_bytes, bits, g), codes_out.data() + 8 * g);
  }
}

BlockedCache repack_4bit(std::span<const uint8_t> packed, uint64_t n, uint64_t dim) {
  check_dim(dim, "repack_4bit");
  const uint64_t row_bytes = kFourBits * (dim / 8);
  check_length(packed.size(), checked_mul(n, row_bytes, "repack_4bit: packed"), "repack_4bit",
               "packed");
  BlockedCache cache;
  cache.n_blocks = n / kVectorsPerBlock + (n % kVectorsPerBlock != 0 ? 1 : 0);
  const uint64_t block_bytes = (dim / 2) * kVectorsPerBlock;
  cache.bytes.assign(checked_mul(cache.n_blocks, block_bytes, "repack_4bit: output"), 0);
  const uint64_t plane_bytes = dim / 8;
  // Each group of eight coordinates is four pairs, so four 32-byte columns.
  const uint64_t group_stride = 4 * kVectorsPerBlock;
  for (uint64_t v = 0; v < n; ++v) {
    const uint8_t* row = packed.data() + v * row_bytes;
    uint8_t* lane = cache.bytes.data() + (v / kVectorsPerBlock) * block_bytes + v % kVectorsPerBlock;
    for (uint64_t g = 0; g < plane_bytes; ++g) {
      scatter_pairs(decode_group(row, plane_bytes, kFourBits, g), lane + g * group_stride);
    }
  }
  return cache;
}

}  // namespace varnel

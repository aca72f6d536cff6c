#include "quantize/pack.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "runtime/error.h"

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

uint64_t to_little_endian(uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(word);
  return word;
}

uint64_t load_group(const uint8_t* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return to_little_endian(word);
}

void store_group(uint64_t word, uint8_t* bytes) {
  word = to_little_endian(word);
  std::memcpy(bytes, &word, sizeof word);
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

// For each plane byte, the four coordinate pairs it covers as four bytes of a
// 32-bit word: pair m in byte m, with the bit of coordinate 2m in bit 4 and
// that of coordinate 2m + 1 in bit 0. Shifting by the plane number and ORing
// the planes gives the 4-bit pair bytes (first code in the high nibble).
constexpr std::array<uint32_t, 256> make_pair_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    for (uint32_t m = 0; m < 4; ++m) {
      const uint32_t first = (byte >> (7 - 2 * m)) & 1;
      const uint32_t second = (byte >> (6 - 2 * m)) & 1;
      table[byte] |= ((first << 4) | second) << (8 * m);
    }
  }
  return table;
}
constexpr std::array<uint32_t, 256> kPairBytes = make_pair_table();

// The pair bytes of one row, in coordinate-pair order.
void decode_pair_row(const uint8_t* row, uint64_t plane_bytes, uint8_t* pairs) {
  for (uint64_t g = 0; g < plane_bytes; ++g) {
    uint32_t word = 0;
    for (uint64_t p = 0; p < kFourBits; ++p) word |= kPairBytes[row[p * plane_bytes + g]] << p;
    for (uint64_t m = 0; m < 4; ++m) pairs[4 * g + m] = static_cast<uint8_t>(word >> (8 * m));
  }
}

// Transposes an 8x8 byte matrix held as eight words (row i = word i, column
// k = byte k) by swapping ever larger sub-blocks across the diagonal.
void transpose_8x8(std::array<uint64_t, 8>& r) {
  for (int i = 0; i < 8; i += 2) {
    const uint64_t t = ((r[i] >> 8) ^ r[i + 1]) & 0x00FF00FF00FF00FFULL;
    r[i + 1] ^= t;
    r[i] ^= t << 8;
  }
  for (int i : {0, 1, 4, 5}) {
    const uint64_t t = ((r[i] >> 16) ^ r[i + 2]) & 0x0000FFFF0000FFFFULL;
    r[i + 2] ^= t;
    r[i] ^= t << 16;
  }
  for (int i = 0; i < 4; ++i) {
    const uint64_t t = ((r[i] >> 32) ^ r[i + 4]) & 0x00000000FFFFFFFFULL;
    r[i + 4] ^= t;
    r[i] ^= t << 32;
  }
}

// One block is built in two passes: every row's pair bytes go to a scratch
// row of its lane, then 8x8 tiles are transposed into the 32-byte columns.
// Writing each row straight into its lanes, 32 bytes apart, is several times
// slower.
class BlockRepacker {
 public:
  explicit BlockRepacker(uint64_t dim)
      : dim_(dim), pairs_(dim / 2), stride_((pairs_ + 7) / 8 * 8), scratch_(kVectorsPerBlock * stride_, 0) {}

  void repack(const uint8_t* rows, uint64_t lanes, uint8_t* block) {
    const uint64_t row_bytes = kFourBits * (dim_ / 8);
    // Lanes beyond the last vector (and each row's tail up to the stride)
    // must read as zero.
    if (lanes < kVectorsPerBlock) std::fill(scratch_.begin(), scratch_.end(), 0);
    for (uint64_t lane = 0; lane < lanes; ++lane) {
      decode_pair_row(rows + lane * row_bytes, dim_ / 8, scratch_.data() + lane * stride_);
    }
    for (uint64_t c = 0; c < pairs_; c += 8) {
      const uint64_t tile_pairs = std::min<uint64_t>(8, pairs_ - c);
      for (uint64_t lane0 = 0; lane0 < kVectorsPerBlock; lane0 += 8) {
        std::array<uint64_t, 8> tile;
        for (uint64_t i = 0; i < 8; ++i) tile[i] = load_group(scratch_.data() + (lane0 + i) * stride_ + c);
        transpose_8x8(tile);
        for (uint64_t k = 0; k < tile_pairs; ++k) {
          store_group(tile[k], block + (c + k) * kVectorsPerBlock + lane0);
        }
      }
    }
  }

 private:
  uint64_t dim_;
  uint64_t pairs_;
  uint64_t stride_;
  std::vector<uint8_t> scratch_;
};

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

void codes_to_lane_bytes(const uint8_t* codes, uint64_t dim, uint64_t bits, uint8_t* lane_bytes) {
  switch (bits) {
    case 2:
      for (uint64_t c = 0; c < dim / 4; ++c) {
        const uint8_t* q = codes + 4 * c;
        lane_bytes[c] = static_cast<uint8_t>(q[0] << 6 | q[1] << 4 | q[2] << 2 | q[3]);
      }
      return;
    case 3:
      for (uint64_t g = 0; g < dim / 8; ++g) {
        const uint8_t* q = codes + 8 * g;
        const unsigned last = (q[6] << 3 | q[7]) & 0x3F;
        for (unsigned m = 0; m < 3; ++m) {
          const unsigned pair = (q[2 * m] << 3 | q[2 * m + 1]) & 0x3F;
          lane_bytes[3 * g + m] = static_cast<uint8_t>(pair | ((last >> (2 * m)) & 3) << 6);
        }
      }
      return;
    case 4:
      for (uint64_t c = 0; c < dim / 2; ++c) {
        lane_bytes[c] = static_cast<uint8_t>((codes[2 * c] & 0x0F) << 4 | (codes[2 * c + 1] & 0x0F));
      }
      return;
    default:
      throw Error("lane bytes exist for 2, 3 and 4 bits only");
  }
}

void lane_bytes_to_codes(const uint8_t* lane_bytes, uint64_t dim, uint64_t bits, uint8_t* codes) {
  switch (bits) {
    case 2:
      for (uint64_t c = 0; c < dim / 4; ++c) {
        const unsigned byte = lane_bytes[c];
        for (unsigned i = 0; i < 4; ++i) codes[4 * c + i] = static_cast<uint8_t>((byte >> (6 - 2 * i)) & 3);
      }
      return;
    case 3:
      for (uint64_t g = 0; g < dim / 8; ++g) {
        const uint8_t* b = lane_bytes + 3 * g;
        const unsigned last = (b[0] >> 6) | (b[1] >> 6) << 2 | (b[2] >> 6) << 4;
        const unsigned pairs[4] = {b[0] & 0x3Fu, b[1] & 0x3Fu, b[2] & 0x3Fu, last};
        for (unsigned m = 0; m < 4; ++m) {
          codes[8 * g + 2 * m] = static_cast<uint8_t>(pairs[m] >> 3);
          codes[8 * g + 2 * m + 1] = static_cast<uint8_t>(pairs[m] & 7);
        }
      }
      return;
    case 4:
      for (uint64_t c = 0; c < dim / 2; ++c) {
        codes[2 * c] = static_cast<uint8_t>(lane_bytes[c] >> 4);
        codes[2 * c + 1] = static_cast<uint8_t>(lane_bytes[c] & 0x0F);
      }
      return;
    default:
      throw Error("lane bytes exist for 2, 3 and 4 bits only");
  }
}

BlockedCache repack_4bit(std::span<const uint8_t> packed, uint64_t n, uint64_t dim) {
  check_dim(dim, "repack_4bit");
  check_length(packed.size(), checked_mul(n, kFourBits * (dim / 8), "repack_4bit: packed"),
               "repack_4bit", "packed");
  BlockedCache cache = unfilled_blocked_cache(n, dim);
  repack_4bit_blocks(packed, n, dim, 0, cache.n_blocks, cache.bytes);
  return cache;
}

BlockedCache unfilled_blocked_cache(uint64_t n, uint64_t dim) {
  BlockedCache cache;
  cache.n_blocks = blocks_for(n);
  cache.bytes.resize(checked_mul(cache.n_blocks, blocked_block_bytes(dim), "repack_4bit: output"));
  return cache;
}

void repack_4bit_blocks(std::span<const uint8_t> packed, uint64_t n, uint64_t dim, uint64_t first,
                        uint64_t last, std::span<uint8_t> out) {
  check_dim(dim, "repack_4bit");
  const uint64_t row_bytes = kFourBits * (dim / 8);
  check_length(packed.size(), checked_mul(n, row_bytes, "repack_4bit: packed"), "repack_4bit",
               "packed");
  if (first > last || last > blocks_for(n)) throw Error("repack_4bit: block range out of bounds");
  const uint64_t block_bytes = blocked_block_bytes(dim);
  check_length(out.size(), (last - first) * block_bytes, "repack_4bit", "output");
  BlockRepacker repacker(dim);
  for (uint64_t b = first; b < last; ++b) {
    const uint64_t vector = b * kVectorsPerBlock;
    repacker.repack(packed.data() + vector * row_bytes, std::min(kVectorsPerBlock, n - vector),
                    out.data() + (b - first) * block_bytes);
  }
}

}  // namespace varnel

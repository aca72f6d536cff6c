// The portable 3-bit pair-table kernel (the reference every SIMD path must
// match bit for bit), the run-time choice of kernel and the tiling.
#include "search/pair_scan.h"

#include <cmath>
#include <cstring>
#include <string>

#include "runtime/cpu.h"
#include "runtime/error.h"
#include "search/pair_scan_kernels.h"

namespace varnel {

namespace pair_kernels {

namespace {

// The four pair indices of lane v of a group's three byte-columns: the low
// six bits of each byte, and the fourth from their top bits.
struct LanePairs {
  unsigned index[4];
};

LanePairs lane_pairs(const uint8_t* column, uint64_t v) {
  const unsigned b0 = column[v], b1 = column[kLanes + v], b2 = column[2 * kLanes + v];
  return {{b0 & 0x3F, b1 & 0x3F, b2 & 0x3F, (b0 >> 6) | (b1 >> 6) << 2 | (b2 >> 6) << 4}};
}

// A 64-entry row per pair.
struct JointRows {
  static constexpr uint64_t kChunk = kChunkGroups, kRow = kRowBytes;
  static unsigned value(const uint8_t* row, unsigned pair) { return row[pair]; }
};

// The split form: row r holds A (entries 0-7, repeated at 8-15) and B at
// 16 bytes on.
struct SplitRows {
  static constexpr uint64_t kChunk = kSplitChunkGroups, kRow = kSplitRowBytes;
  static unsigned value(const uint8_t* row, unsigned pair) { return row[pair >> 3] + row[16 + (pair & 7)]; }
};

template <class Rows>
void score_block_portable(const TableView& table, const uint8_t* codes, uint64_t groups,
                          float* lanes_out) {
  float acc[kLanes];
  for (float& lane : acc) lane = table.bias;
  for (uint64_t g0 = 0; g0 < groups; g0 += Rows::kChunk) {
    const uint64_t g1 = groups - g0 < Rows::kChunk ? groups : g0 + Rows::kChunk;
    uint32_t sums[kLanes] = {};
    for (uint64_t g = g0; g < g1; ++g) {
      const uint8_t* column = codes + 3 * g * kLanes;
      const uint8_t* rows = table.bytes + 4 * g * Rows::kRow;
      for (uint64_t v = 0; v < kLanes; ++v) {
        const LanePairs pairs = lane_pairs(column, v);
        for (int k = 0; k < 4; ++k) sums[v] += Rows::value(rows + k * Rows::kRow, pairs.index[k]);
      }
    }
    for (uint64_t v = 0; v < kLanes; ++v) {
      acc[v] = std::fma(static_cast<float>(sums[v]), table.delta, acc[v]);
    }
  }
  std::memcpy(lanes_out, acc, sizeof(acc));
}

template <class Rows>
void scan_group_portable_of(const TableView* tables, std::size_t g, const uint8_t* blocks,
                            uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride) {
  for (std::size_t t = 0; t < g; ++t) {
    for (uint64_t b = 0; b < n_blocks; ++b) {
      score_block_portable<Rows>(tables[t], blocks + b * 3 * groups * kLanes, groups,
                                 out + t * out_stride + b * kLanes);
    }
  }
}

}  // namespace

void scan_split_group_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                               uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride) {
  scan_group_portable_of<SplitRows>(tables, g, blocks, n_blocks, groups, out, out_stride);
}

void scan_group_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                         uint64_t n_blocks, uint64_t groups, float* out, std::size_t out_stride) {
  scan_group_portable_of<JointRows>(tables, g, blocks, n_blocks, groups, out, out_stride);
}

}  // namespace pair_kernels

namespace {

using pair_kernels::GroupKernel;

// Eight queries share each group's code decoding (on AVX2, two passes of four).
constexpr std::size_t kMaxGroup = 8;
constexpr uint64_t kTileBytes = 96 * 1024;

#if defined(__x86_64__)
bool cpu_has_avx512vbmi() { return cpu_features().avx512vbmi; }
#endif

struct Choice {
  GroupKernel kernel;
  const char* name;
};

// Follows the 4-bit path choice: portable stays portable (the reference in
// tests), AVX2 is AVX2, NEON is NEON, and every AVX-512 path takes VBMI where
// the CPU has it.
Choice current_kernel() {
  const ScanPath path = active_scan_path();
#if defined(__aarch64__)
  if (path == ScanPath::Neon) return {pair_kernels::scan_group_neon, "neon"};
#endif
  if (path == ScanPath::Portable || path == ScanPath::Neon) {
    return {pair_kernels::scan_group_portable, "portable"};
  }
#if defined(__x86_64__)
  if (path != ScanPath::Avx2 && cpu_has_avx512vbmi()) {
    return {pair_kernels::scan_group_avx512vbmi, "avx512vbmi"};
  }
  return {pair_kernels::scan_group_avx2, "avx2"};
#else
  return {pair_kernels::scan_group_portable, "portable"};
#endif
}

// The kernel of the split form: AVX-512BW on the AVX-512 paths, AVX2 on the
// AVX2 path, the portable one on the portable path (the reference in tests).
Choice current_split_kernel() {
  const ScanPath path = active_scan_path();
#if defined(__x86_64__)
  if ((path == ScanPath::Avx512 || path == ScanPath::Avx512Vbmi) && cpu_features().avx512bw) {
    return {pair_kernels::scan_split_group_avx512, "avx512"};
  }
  if (path != ScanPath::Portable && cpu_features().avx2) {
    return {pair_kernels::scan_split_group_avx2, "avx2"};
  }
#endif
  (void)path;
  return {pair_kernels::scan_split_group_portable, "portable"};
}

// An even count lets the AVX-512 kernel pair every block of a tile.
uint64_t blocks_per_tile(uint64_t block_bytes) {
  const uint64_t fitting = (kTileBytes / block_bytes) & ~uint64_t{1};
  return fitting < 2 ? 2 : fitting;
}

}  // namespace

bool pair_scan_prefers_split_tables() {
  return std::strcmp(current_kernel().name, "avx2") == 0;
}

const char* pair_scan_path_name() {
  if (!pair_scan_prefers_split_tables()) return current_kernel().name;
  return std::strcmp(current_split_kernel().name, "avx512") == 0 ? "avx512 split" : "avx2 split";
}

namespace {

// Checks the arguments, then runs `kernel` over tiles of blocks and groups of
// up to eight tables.
void scan_pair_tiles(GroupKernel kernel, uint64_t row_bytes, const QueryTable* const* tables,
                     std::size_t nt, const uint8_t* blocked, uint64_t dim, uint64_t b0, uint64_t b1,
                     float* out, std::size_t out_stride) {
  if (b1 < b0) throw Error("block range is reversed");
  const uint64_t expected = dim / 2 * row_bytes;
  for (std::size_t t = 0; t < nt; ++t) {
    if (tables[t]->bytes.size() != expected) {
      throw Error("pair table has " + std::to_string(tables[t]->bytes.size()) +
                  " bytes, expected " + std::to_string(expected));
    }
  }
  if (nt > 1 && out_stride < (b1 - b0) * pair_kernels::kLanes) {
    throw Error("output stride is shorter than the scores of one table");
  }
  if (nt == 0 || b0 == b1) return;
  const uint64_t groups = dim / 8;
  if (groups == 0) {
    for (std::size_t t = 0; t < nt; ++t) {
      for (uint64_t i = 0; i < (b1 - b0) * pair_kernels::kLanes; ++i) out[t * out_stride + i] = tables[t]->bias;
    }
    return;
  }
  const uint64_t block_bytes = 3 * groups * pair_kernels::kLanes;
  const uint64_t tile = blocks_per_tile(block_bytes);
  for (uint64_t tile_start = b0; tile_start < b1; tile_start += tile) {
    const uint64_t tile_blocks = b1 - tile_start < tile ? b1 - tile_start : tile;
    for (std::size_t t0 = 0; t0 < nt; t0 += kMaxGroup) {
      const std::size_t g = nt - t0 < kMaxGroup ? nt - t0 : kMaxGroup;
      pair_kernels::TableView group[kMaxGroup];
      for (std::size_t i = 0; i < g; ++i) {
        group[i] = {tables[t0 + i]->bytes.data(), tables[t0 + i]->bias, tables[t0 + i]->delta};
      }
      kernel(group, g, blocked + tile_start * block_bytes, tile_blocks, groups,
             out + t0 * out_stride + (tile_start - b0) * pair_kernels::kLanes, out_stride);
    }
  }
}

}  // namespace

void scan_pair_blocks(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                      uint64_t dim, uint64_t b0, uint64_t b1, float* out, std::size_t out_stride) {
  scan_pair_tiles(current_kernel().kernel, pair_kernels::kRowBytes, tables, nt, blocked, dim, b0, b1,
                  out, out_stride);
}

void scan_split_pair_blocks(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                            uint64_t dim, uint64_t b0, uint64_t b1, float* out, std::size_t out_stride) {
  scan_pair_tiles(current_split_kernel().kernel, pair_kernels::kSplitRowBytes, tables, nt, blocked,
                  dim, b0, b1, out, out_stride);
}

}  // namespace varnel

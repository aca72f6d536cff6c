// Query tables, the portable scan (the reference every SIMD path must match
// bit for bit) and the run-time choice of scan path.
#include "search/lut_scan.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>
#include <chrono>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/cpu.h"
#include "runtime/error.h"
#include "search/lut_scan_kernels.h"

namespace varnel {

namespace {

using scan_kernels::FilteredGroupKernel;
using scan_kernels::GroupKernel;
using scan_kernels::ScoreFilter;
using scan_kernels::kChunkColumns;
using scan_kernels::kLanes;
using scan_kernels::kMaxGroup;
using scan_kernels::TableView;

constexpr uint64_t kCodes = 16;
constexpr float kMaxStep = 127.0f;
// Spreads up to this are treated as a flat table (delta = 1).
constexpr float kMinSpread = 1e-10f;
static_assert(std::bit_cast<uint32_t>(kMinSpread) == 0x2EDBE6FFu);

// About this many bytes of codes are scanned by every group of tables before
// the next tile: small enough to stay in the second-level cache.
constexpr uint64_t kTileBytes = 96 * 1024;

struct EntryRange {
  float low;
  float high;
};

// Strict comparisons from the first entry: NaN entries never replace a bound.
EntryRange entry_range(const float* entries) {
  EntryRange range{entries[0], entries[0]};
  for (uint64_t c = 1; c < kCodes; ++c) {
    if (entries[c] < range.low) range.low = entries[c];
    if (entries[c] > range.high) range.high = entries[c];
  }
  return range;
}

// round(scaled) clamped to 0..127, rounding halves away from zero, with no
// library call and no branch on the data: clamping first gives the same byte
// (NaN goes to 0, as before), and x - trunc(x) of the clamped value is exact.
inline uint8_t quantise_entry(float entry, float low, float inv) {
  const float scaled = (entry - low) * inv;
  const float clamped = std::min(std::max(0.0f, scaled), kMaxStep);
  const int whole = static_cast<int>(clamped);
  return static_cast<uint8_t>(whole + (clamped - static_cast<float>(whole) >= 0.5f ? 1 : 0));
}

// quantise_entry for one row of 16 entries. SSE2 is part of every x86-64
// CPU: the same operations four lanes at a time (maxps returns its second
// operand, zero, for NaN, as std::max(0, NaN) does).
void quantise_row(const float* entries, float low, float inv, uint8_t* out) {
#if defined(__SSE2__)
  const __m128 lows = _mm_set1_ps(low), invs = _mm_set1_ps(inv);
  const __m128 zero = _mm_setzero_ps(), top = _mm_set1_ps(kMaxStep), half = _mm_set1_ps(0.5f);
  __m128i words[4];
  for (int part = 0; part < 4; ++part) {
    const __m128 scaled = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(entries + 4 * part), lows), invs);
    const __m128 clamped = _mm_min_ps(_mm_max_ps(scaled, zero), top);
    const __m128i whole = _mm_cvttps_epi32(clamped);
    const __m128 up = _mm_cmpge_ps(_mm_sub_ps(clamped, _mm_cvtepi32_ps(whole)), half);
    words[part] = _mm_sub_epi32(whole, _mm_castps_si128(up));  // the mask is -1 where a half or more is left
  }
  const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(words[0], words[1]), _mm_packs_epi32(words[2], words[3]));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
#else
  for (uint64_t c = 0; c < kCodes; ++c) out[c] = quantise_entry(entries[c], low, inv);
#endif
}

// Sum of lows, pair by pair so that the order matches the byte-columns.
float pairwise_bias(const std::vector<float>& lows) {
  float bias = 0.0f;
  for (uint64_t p = 0; p + 1 < lows.size(); p += 2) bias = bias + (lows[p] + lows[p + 1]);
  return bias;
}

// Whether the 16 values ascend strictly and none is zero: then a row's
// smallest and largest products are those of the end values (rounding
// preserves order under multiplication by one finite factor).
bool ascending_without_zero(const float* centroids) {
  for (uint64_t c = 0; c < kCodes; ++c) {
    if (!(centroids[c] != 0.0f) || (c > 0 && !(centroids[c - 1] < centroids[c]))) return false;
  }
  return true;
}

// entry_range of a row of products rq_j * centroids, from the end values
// when that gives the same result (see ascending_without_zero).
EntryRange product_range(float rq_j, const float* row, bool ascending) {
  // Equal ends: a zero factor, or products that all underflowed to zeros
  // whose signs decide which one entry_range keeps.
  if (!ascending || !std::isfinite(rq_j) || row[0] == row[kCodes - 1]) return entry_range(row);
  return rq_j > 0.0f ? EntryRange{row[0], row[kCodes - 1]} : EntryRange{row[kCodes - 1], row[0]};
}

}  // namespace

QueryTable build_query_table(const float* rq, const float* centroids, uint64_t dim) {
  std::vector<float> entries(dim * kCodes);
  std::vector<float> lows(dim);
  float largest_spread = 0.0f;
  const bool ascending = ascending_without_zero(centroids);
  for (uint64_t j = 0; j < dim; ++j) {
    float* row = entries.data() + j * kCodes;
    for (uint64_t c = 0; c < kCodes; ++c) row[c] = rq[j] * centroids[c];
    const EntryRange range = product_range(rq[j], row, ascending);
    lows[j] = range.low;
    const float spread = range.high - range.low;
    if (spread > largest_spread) largest_spread = spread;
  }

  QueryTable table;
  table.bias = pairwise_bias(lows);
  table.delta = largest_spread > kMinSpread ? largest_spread / kMaxStep : 1.0f;
  const float inv = 1.0f / table.delta;
  table.bytes.resize(dim * kCodes);
  for (uint64_t j = 0; j < dim; ++j) quantise_row(entries.data() + j * kCodes, lows[j], inv, &table.bytes[j * kCodes]);
  return table;
}

namespace scan_kernels {

namespace {

void score_block_portable(const TableView& table, const uint8_t* codes, uint64_t columns,
                          float* lanes_out) {
  float acc[kLanes];
  for (float& lane : acc) lane = table.bias;
  for (uint64_t c0 = 0; c0 < columns; c0 += kChunkColumns) {
    const uint64_t c1 = columns - c0 < kChunkColumns ? columns : c0 + kChunkColumns;
    uint32_t sums[kLanes] = {};
    for (uint64_t c = c0; c < c1; ++c) {
      const uint8_t* column = codes + c * kLanes;
      const uint8_t* high_table = table.bytes + c * 2 * kCodes;
      const uint8_t* low_table = high_table + kCodes;
      for (uint64_t v = 0; v < kLanes; ++v) {
        sums[v] += high_table[column[v] >> 4] + low_table[column[v] & 0x0F];
      }
    }
    for (uint64_t v = 0; v < kLanes; ++v) {
      acc[v] = std::fma(static_cast<float>(sums[v]), table.delta, acc[v]);
    }
  }
  std::memcpy(lanes_out, acc, sizeof(acc));
}

}  // namespace

void scan_group_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                         uint64_t n_blocks, uint64_t columns, float* out, std::size_t out_stride) {
  for (std::size_t t = 0; t < g; ++t) {
    for (uint64_t b = 0; b < n_blocks; ++b) {
      score_block_portable(tables[t], blocks + b * columns * kLanes, columns,
                           out + t * out_stride + b * kLanes);
    }
  }
}

// The filter as a separate pass over the stored scores: the reference of the
// fused kernels, and the filtered form of the paths without one.
void filter_scores(std::size_t g, uint64_t n_blocks, const ScoreFilter& filter, float* out,
                   std::size_t out_stride) {
  for (std::size_t t = 0; t < g; ++t) {
    uint64_t above = 0;
    for (uint64_t b = 0; b < n_blocks; ++b) {
      float* lanes = out + t * out_stride + b * kLanes;
      bool over = false;
      for (uint64_t v = 0; v < kLanes; ++v) {
        lanes[v] = lanes[v] * filter.factors[b * kLanes + v];
        over |= lanes[v] > filter.thresholds[t];
      }
      if (over) above |= uint64_t{1} << b;
    }
    filter.above[t] = above;
  }
}

template <GroupKernel kScan>
void scan_then_filter(const TableView* tables, std::size_t g, const uint8_t* blocks,
                      uint64_t n_blocks, uint64_t columns, const ScoreFilter& filter, float* out,
                      std::size_t out_stride) {
  kScan(tables, g, blocks, n_blocks, columns, out, out_stride);
  filter_scores(g, n_blocks, filter, out, out_stride);
}

void scan_group_filtered_portable(const TableView* tables, std::size_t g, const uint8_t* blocks,
                                  uint64_t n_blocks, uint64_t columns, const ScoreFilter& filter,
                                  float* out, std::size_t out_stride) {
  scan_then_filter<scan_group_portable>(tables, g, blocks, n_blocks, columns, filter, out,
                                        out_stride);
}

}  // namespace scan_kernels

// ---- Kernel of each path ----

namespace {

// A kernel and the number of tables it scores per pass over the codes: as
// many as its counters leave registers for (AVX-512 has 32, the others 16).
struct ScanKernel {
  GroupKernel scan;
  std::size_t group;
  FilteredGroupKernel filtered;  // the same scan with the score filter fused
};

ScanKernel kernel_for(ScanPath path) {
  switch (path) {
#if defined(__x86_64__)
    case ScanPath::Avx2:
      return {scan_kernels::scan_group_avx2, 4, scan_kernels::scan_group_filtered_avx2};
    case ScanPath::Avx512:
      return {scan_kernels::scan_group_avx512, 4, scan_kernels::scan_group_filtered_avx512};
    case ScanPath::Avx512Vbmi:
      return {scan_kernels::scan_group_avx512vbmi, 8,
              scan_kernels::scan_group_filtered_avx512vbmi};
#endif
#if defined(__aarch64__)
    case ScanPath::Neon:
      return {scan_kernels::scan_group_neon, 4,
              scan_kernels::scan_then_filter<scan_kernels::scan_group_neon>};
#endif
    default:
      return {scan_kernels::scan_group_portable, 4, scan_kernels::scan_group_filtered_portable};
  }
}

}  // namespace

std::size_t scan_group_size() { return kernel_for(active_scan_path()).group; }

// ---- Choosing the fastest path ----

namespace {

// Timing of the 4-bit kernels on the first choice of a path: a dim-128 scan
// of 512 vectors for eight tables (the groups a batch of queries fills),
// every path once per round, rounds interleaved so that a burst of load
// elsewhere hits all paths alike; each path keeps its best round. About
// 2 ms per path. The newest path is kept unless another is clearly faster:
// results are the same on every path, only the speed differs.
constexpr uint64_t kTimedColumns = 64;
constexpr uint64_t kTimedBlocks = 16;
constexpr std::size_t kTimedTables = 8;
constexpr int kTimedRounds = 6;
constexpr double kClearlyFaster = 1.03;

std::vector<ScanPathRate> timed_rates;  // written once, inside the first path choice

double seconds_of_scan(const ScanKernel& kernel, const TableView* tables, const uint8_t* blocks,
                       float* out) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t t0 = 0; t0 < kTimedTables; t0 += kernel.group) {
    const std::size_t g = std::min(kernel.group, kTimedTables - t0);
    kernel.scan(tables + t0, g, blocks, kTimedBlocks, kTimedColumns, out + t0 * kTimedBlocks * kLanes,
                kTimedBlocks * kLanes);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

ScanPath time_scan_paths(const std::vector<ScanPath>& supported) {
  std::vector<ScanPath> timed;
  for (const ScanPath path : supported) {
    if (path != ScanPath::Portable) timed.push_back(path);
  }
  if (timed.size() < 2) return supported.back();
  uint32_t state = 0x9E3779B9u;
  auto next_byte = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state >> 24);
  };
  std::vector<uint8_t> blocks(kTimedBlocks * kTimedColumns * kLanes), table_bytes(kTimedTables * kTimedColumns * 32);
  for (uint8_t& byte : blocks) byte = next_byte();
  for (uint8_t& byte : table_bytes) byte = next_byte() & 0x7F;
  TableView tables[kTimedTables];
  for (std::size_t t = 0; t < kTimedTables; ++t) {
    tables[t] = TableView{table_bytes.data() + t * kTimedColumns * 32, 0.0f, 1.0f};
  }
  std::vector<float> out(kTimedTables * kTimedBlocks * kLanes);
  std::vector<double> best(timed.size(), std::numeric_limits<double>::infinity());
  for (int round = 0; round < kTimedRounds; ++round) {
    for (std::size_t i = 0; i < timed.size(); ++i) {
      best[i] = std::min(best[i], seconds_of_scan(kernel_for(timed[i]), tables, blocks.data(), out.data()));
    }
  }
  const double pairs = double(kTimedTables * kTimedBlocks * kLanes);  // (query, vector) pairs
  std::size_t chosen = timed.size() - 1;
  for (std::size_t i = 0; i < timed.size(); ++i) {
    timed_rates.push_back({timed[i], pairs / best[i]});
    if (best[i] * kClearlyFaster < best[chosen]) chosen = i;
  }
  return timed[chosen];
}

// Registered with the path choice before any search can run.
[[maybe_unused]] const bool timing_registered = (register_scan_path_calibration(time_scan_paths), true);

}  // namespace

std::vector<ScanPathRate> scan_path_rates() {
  fastest_scan_path();
  return timed_rates;
}

// ---- The scan ----

namespace {

void check_scan_arguments(const QueryTable* const* tables, std::size_t nt, uint64_t dim,
                          uint64_t b0, uint64_t b1, std::size_t out_stride) {
  if (b1 < b0) {
    throw Error("block range [" + std::to_string(b0) + ", " + std::to_string(b1) +
                ") is reversed");
  }
  const uint64_t expected = dim * kCodes;
  for (std::size_t t = 0; t < nt; ++t) {
    const uint64_t size = tables[t]->bytes.size();
    if (size != expected) {
      throw Error("query table has " + std::to_string(size) + " bytes, expected " +
                  std::to_string(expected) + " for dim " + std::to_string(dim));
    }
  }
  const uint64_t scores_per_table = (b1 - b0) * kLanes;
  if (nt > 1 && out_stride < scores_per_table) {
    throw Error("output stride " + std::to_string(out_stride) + " is shorter than the " +
                std::to_string(scores_per_table) + " scores of one table");
  }
}

TableView view_of(const QueryTable& table) {
  return TableView{table.bytes.data(), table.bias, table.delta};
}

// Without columns every score is the bias (no chunk, no multiply-add).
void write_biases(const QueryTable* const* tables, std::size_t nt, uint64_t n_blocks, float* out,
                  std::size_t out_stride) {
  for (std::size_t t = 0; t < nt; ++t) {
    for (uint64_t i = 0; i < n_blocks * kLanes; ++i) out[t * out_stride + i] = tables[t]->bias;
  }
}

// An even count lets the AVX-512 kernel pair every block of a tile.
uint64_t blocks_per_tile(uint64_t block_bytes) {
  const uint64_t fitting = (kTileBytes / block_bytes) & ~uint64_t{1};
  return fitting < 2 ? 2 : fitting;
}

}  // namespace

namespace {

// Walks blocks [b0, b1) in tiles sized for the cache and, within a tile, the
// tables in the kernel's groups: scan(group, g, t0, codes of the tile, the
// tile's first block counted from b0, blocks in the tile).
template <class Scan>
void for_each_tile_and_group(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                             uint64_t columns, uint64_t b0, uint64_t b1, std::size_t group_size,
                             const Scan& scan) {
  const uint64_t block_bytes = columns * kLanes;
  const uint64_t tile = blocks_per_tile(block_bytes);
  for (uint64_t tile_start = b0; tile_start < b1; tile_start += tile) {
    const uint64_t tile_blocks = b1 - tile_start < tile ? b1 - tile_start : tile;
    for (std::size_t t0 = 0; t0 < nt; t0 += group_size) {
      const std::size_t g = nt - t0 < group_size ? nt - t0 : group_size;
      TableView group[kMaxGroup];
      for (std::size_t i = 0; i < g; ++i) group[i] = view_of(*tables[t0 + i]);
      scan(group, g, t0, blocked + tile_start * block_bytes, tile_start - b0, tile_blocks);
    }
  }
}

}  // namespace

void scan_blocks(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                 uint64_t dim, uint64_t b0, uint64_t b1, float* out, std::size_t out_stride) {
  check_scan_arguments(tables, nt, dim, b0, b1, out_stride);
  if (nt == 0 || b0 == b1) return;
  const uint64_t columns = dim / 2;
  if (columns == 0) {
    write_biases(tables, nt, b1 - b0, out, out_stride);
    return;
  }
  const ScanKernel kernel = kernel_for(active_scan_path());
  for_each_tile_and_group(tables, nt, blocked, columns, b0, b1, kernel.group,
                          [&](const TableView* group, std::size_t g, std::size_t t0, const uint8_t* codes,
                              uint64_t offset, uint64_t tile_blocks) {
                            kernel.scan(group, g, codes, tile_blocks, columns,
                                        out + t0 * out_stride + offset * kLanes, out_stride);
                          });
}

void scan_blocks_filtered(const QueryTable* const* tables, std::size_t nt, const uint8_t* blocked,
                          uint64_t dim, uint64_t b0, uint64_t b1, const float* factors,
                          const float* thresholds, uint64_t* above, float* out,
                          std::size_t out_stride) {
  check_scan_arguments(tables, nt, dim, b0, b1, out_stride);
  if (b1 - b0 > kMaxFilteredBlocks) {
    throw Error("a filtered scan covers at most " + std::to_string(kMaxFilteredBlocks) +
                " blocks, not " + std::to_string(b1 - b0));
  }
  for (std::size_t t = 0; t < nt; ++t) above[t] = 0;
  if (nt == 0 || b0 == b1) return;
  const uint64_t columns = dim / 2;
  if (columns == 0) {
    write_biases(tables, nt, b1 - b0, out, out_stride);
    scan_kernels::filter_scores(nt, b1 - b0, ScoreFilter{factors, thresholds, above}, out,
                                out_stride);
    return;
  }
  const ScanKernel kernel = kernel_for(active_scan_path());
  for_each_tile_and_group(tables, nt, blocked, columns, b0, b1, kernel.group,
                          [&](const TableView* group, std::size_t g, std::size_t t0, const uint8_t* codes,
                              uint64_t offset, uint64_t tile_blocks) {
                            uint64_t tile_above[kMaxGroup];
                            kernel.filtered(group, g, codes, tile_blocks, columns,
                                            ScoreFilter{factors + offset * kLanes, thresholds + t0, tile_above},
                                            out + t0 * out_stride + offset * kLanes, out_stride);
                            for (std::size_t i = 0; i < g; ++i) above[t0 + i] |= tile_above[i] << offset;
                          });
}

}  // namespace varnel

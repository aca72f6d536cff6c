#include "search/search.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "quantize/code_store.h"
#include "quantize/rotation.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/memory.h"
#include "runtime/pool.h"
#include "search/bounded_scan.h"
#include "search/code_scan.h"
#include "search/lut_scan.h"

namespace varnel {
namespace {

// Queries scored together against one cached stretch of codes.
constexpr uint64_t kQueryBatch = 64;
// Bytes of 4-bit blocked codes per task when one query is spread over the
// threads.
constexpr uint64_t kStretchBytes = 64 * 1024;
// Bytes of 4-bit codes and scores of one kernel group per stretch of a batch
// of queries: small, so that the scores read back (those of marked blocks)
// are still near the core; 32 to 128 KB measured alike within 2-3 % at dim
// 128 and 768.
constexpr uint64_t kGroupStretchBytes = 64 * 1024;
// Codes per stretch of the 2- and 3-bit scan, and the table bytes of a batch
// of queries that pass over it.
constexpr uint64_t kBoundedStretchBytes = 128 * 1024;
constexpr uint64_t kBoundedTableBytes = 512 * 1024;
// Below this many stored vectors, spreading one query over several threads
// costs more than it saves.
constexpr uint64_t kMinVectorsToSplit = 16 * 1024;
// Vectors per task when one 2- or 3-bit query is spread over the threads.
constexpr uint64_t kSplitGranule = 1024;


}  // namespace


std::optional<uint64_t> first_unusable_query(std::span<const float> queries, uint64_t dim) {
  const double largest_square = static_cast<double>(std::numeric_limits<float>::max()) *
                                std::numeric_limits<float>::max();
  for (std::size_t row = 0; row * dim < queries.size(); ++row) {
    double squares = 0.0;
    for (const float value : queries.subspan(row * dim, dim)) {
      squares += static_cast<double>(value) * value;
    }
    if (!(squares <= largest_square)) return row;
  }
  return std::nullopt;
}

std::vector<float> prepare_queries(std::span<const float> queries, uint64_t nq, uint64_t dim,
                                   std::span<const float> signs, std::span<const float> matrices,
                                   uint64_t block, uint64_t padded_dim) {
  std::vector<float> rows(nq * padded_dim, 0.0f);
  for (uint64_t q = 0; q < nq; ++q) {
    std::span<float> row(rows.data() + q * padded_dim, padded_dim);
    std::copy_n(queries.data() + q * dim, dim, row.data());
    forward_rotate(row, dim, signs, matrices, block);
  }
  return rows;
}

namespace {

SearchResults empty_rows(uint64_t nq, uint64_t k) {
  check_fits_in_memory(nq, k, sizeof(float) + sizeof(int64_t), "the results (queries x k)");
  SearchResults results;
  results.nq = nq;
  results.k = k;
  results.scores.resize(nq * k);
  results.indices.resize(nq * k);
  return results;
}

// Scores the stored vectors of one query over the pool, `granule` of the
// `span` lanes (n and, for the 4-bit layout, the empty lanes after it) at a
// time; each task selects from its own ranges in position order, and the
// tasks' lists are merged by offer_kept, so the result is the same as when
// one task does everything.
template <class ScoreRange>
void search_one_query_split(uint64_t n, uint64_t span, uint64_t granule, uint64_t k,
                            float* scores_out, int64_t* indices_out,
                            const ScoreRange& score_range) {
  const uint64_t pieces = (span + granule - 1) / granule;
  SplitTopK kept;
  parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scores(granule);
    TopK part(k);
    for (std::size_t piece = begin; piece < end; ++piece) {
      const uint64_t first = piece * granule;
      score_range(first, std::min(span, first + granule), scores.data());
      if (first < n) offer_scores(part, scores.data(), first, std::min(n - first, granule));
    }
    kept.add(part);
  });
  TopK top(k);
  kept.merge_into(top);
  top.finish(scores_out, indices_out);
}

bool split_single_queries(uint64_t nq, uint64_t n) {
  return nq < num_threads() && n >= kMinVectorsToSplit;
}

// ---- 2 and 3 bits ------------------------------------------------------

std::vector<float> code_tables(const float* rq, std::span<const float> centroids, uint64_t dim) {
  std::vector<float> table(dim * 8, 0.0f);
  for (uint64_t j = 0; j < dim; ++j) {
    for (std::size_t c = 0; c < centroids.size(); ++c) table[j * 8 + c] = rq[j] * centroids[c];
  }
  return table;
}

struct CodeScan {
  const float* prepared;
  uint64_t padded_dim, dim, bits, n;
  std::span<const uint8_t> codes;
  std::span<const float> centroids, norms;
  CodeScanner scanner = make_code_scanner(dim, bits);

  // Scores of positions [first, end) for one query table, norms applied.
  void score_range(const float* table, uint64_t first, uint64_t end, float* out,
                   std::vector<uint8_t>& block, std::vector<float>& sums) const {
    for (uint64_t start = first; start < end; start += kCodeBlock) {
      poll_interrupt();
      uint64_t count = std::min(kCodeBlock, end - start);
      scanner.decode(codes.data(), start, count, block.data());
      scanner.sum(table, block.data(), (count + 31) / 32 * 32, sums.data());
      scale_by_norms(sums.data(), start, count, out + (start - first));
    }
  }

  // Scores of positions [start, start + count) from their sums.
  void scale_by_norms(const float* block_sums, uint64_t start, uint64_t count, float* out) const {
    for (uint64_t i = 0; i < count; ++i) out[i] = block_sums[i] * norms[start + i];
  }

  // Norm-scaled sums of one block offered to a query's selector.
  void offer_block(TopK& top, const float* block_sums, uint64_t start, uint64_t count,
                   std::vector<float>& scores) const {
    scale_by_norms(block_sums, start, count, scores.data());
    offer_scores(top, scores.data(), start, count);
  }

  // Queries [q0, q1), batched so that each decoded block serves many queries;
  // the kernel takes them two at a time.
  void run_queries(uint64_t q0, uint64_t q1, uint64_t k, SearchResults& results) const {
    std::vector<uint8_t> block(scanner.block_bytes());
    std::vector<float> sums(2 * kCodeBlock), scores(kCodeBlock);
    for (uint64_t b0 = q0; b0 < q1; b0 += kQueryBatch) {
      uint64_t b1 = std::min(q1, b0 + kQueryBatch);
      std::vector<std::vector<float>> tables;
      std::vector<TopK> tops;
      for (uint64_t q = b0; q < b1; ++q) {
        tables.push_back(code_tables(prepared + q * padded_dim, centroids, dim));
        tops.emplace_back(k);
      }
      for (uint64_t start = 0; start < n; start += kCodeBlock) {
        poll_interrupt();
        uint64_t count = std::min(kCodeBlock, n - start);
        scanner.decode(codes.data(), start, count, block.data());
        uint64_t lanes = (count + 31) / 32 * 32;
        uint64_t q = b0;
        for (; q + 1 < b1; q += 2) {
          scanner.sum_pair(tables[q - b0].data(), tables[q + 1 - b0].data(), block.data(), lanes,
                           sums.data(), sums.data() + kCodeBlock);
          offer_block(tops[q - b0], sums.data(), start, count, scores);
          offer_block(tops[q + 1 - b0], sums.data() + kCodeBlock, start, count, scores);
        }
        if (q < b1) {
          scanner.sum(tables[q - b0].data(), block.data(), lanes, sums.data());
          offer_block(tops[q - b0], sums.data(), start, count, scores);
        }
      }
      for (uint64_t q = b0; q < b1; ++q) {
        tops[q - b0].finish(results.scores.data() + q * k, results.indices.data() + q * k);
      }
    }
  }
};

// ---- 2 and 3 bits, bounded ---------------------------------------------

struct BoundedSearch {
  const float* prepared;
  uint64_t padded_dim, dim, bits;
  std::span<const float> centroids;
  BoundedScanner scanner;
  uint64_t block_bytes;

  // Blocks per stretch: codes of about kBoundedStretchBytes, which stay in
  // the core's second-level cache while a batch of queries passes over them.
  uint64_t blocks_per_stretch() const {
    return std::max<uint64_t>(2, kBoundedStretchBytes / std::max<uint64_t>(1, block_bytes));
  }

  // Queries per batch: their tables (re-read for every stretch) should stay
  // near the cache too; a multiple of the kernels' group size.
  uint64_t queries_per_batch() const {
    const uint64_t table_bytes = dim / 2 * (bits == 2 ? 16 : 64);
    const uint64_t group = kernel_group();
    const uint64_t fitting = kBoundedTableBytes / std::max<uint64_t>(1, table_bytes) / group * group;
    return std::clamp<uint64_t>(fitting, group, kQueryBatch);
  }

  // The 3-bit kernel decodes each code group once for up to eight queries.
  uint64_t kernel_group() const { return bits == 3 ? 8 : 4; }

  BoundedQuery query(uint64_t q) const {
    return build_bounded_query(prepared + q * padded_dim, centroids, dim, bits);
  }

  void run_queries(uint64_t q0, uint64_t q1, uint64_t k, SearchResults& results) const {
    const uint64_t stretch = blocks_per_stretch();
    const uint64_t stride = stretch * 32;
    const uint64_t batch = queries_per_batch();
    const uint64_t n_blocks = scanner.n_blocks();
    // Approximate scores of one kernel group at a time: the buffer stays
    // small, so a search leaves little freed memory behind in the allocator.
    const uint64_t kGroup = kernel_group();
    std::vector<float> approx(kGroup * stride);
    for (uint64_t b0 = q0; b0 < q1; b0 += batch) {
      const uint64_t b1 = std::min(q1, b0 + batch);
      std::vector<BoundedQuery> queries;
      std::vector<const BoundedQuery*> query_ptrs;
      std::vector<TopK> tops;
      queries.reserve(b1 - b0);
      tops.reserve(b1 - b0);
      for (uint64_t q = b0; q < b1; ++q) {
        queries.push_back(query(q));
        tops.emplace_back(k);
      }
      for (const auto& query : queries) query_ptrs.push_back(&query);
      // A stretch leaves a query a few positions to verify; its queue fills
      // whole batches across stretches.
      std::vector<OfferQueue> pending;
      pending.reserve(b1 - b0);
      for (uint64_t t = 0; t < b1 - b0; ++t) pending.emplace_back(scanner, queries[t], tops[t]);
      for (uint64_t s0 = 0; s0 < n_blocks; s0 += stretch) {
        poll_interrupt();
        const uint64_t s1 = std::min(n_blocks, s0 + stretch);
        for (uint64_t g0 = 0; g0 < queries.size(); g0 += kGroup) {
          const uint64_t group = std::min<uint64_t>(kGroup, queries.size() - g0);
          scanner.approximate(query_ptrs.data() + g0, group, s0, s1, approx.data(), stride);
          for (uint64_t t = 0; t < group; ++t) {
            scanner.offer_blocks(approx.data() + t * stride, s0, s1, nullptr, pending[g0 + t]);
          }
        }
      }
      for (OfferQueue& queue : pending) queue.flush();
      for (uint64_t q = b0; q < b1; ++q) {
        tops[q - b0].finish(results.scores.data() + q * k, results.indices.data() + q * k);
      }
    }
  }

  // One query over all threads: the approximate scores of all blocks in
  // parallel, then the verification, split over the threads too.
  void run_single(uint64_t q, uint64_t k, SearchResults& results) const {
    const BoundedQuery bounded = query(q);
    const BoundedQuery* one[1] = {&bounded};
    const uint64_t n_blocks = scanner.n_blocks();
    const uint64_t granule = blocks_per_stretch();
    std::vector<float> approx(n_blocks * 32);
    parallel_for((n_blocks + granule - 1) / granule, [&](std::size_t begin, std::size_t end) {
      for (std::size_t piece = begin; piece < end; ++piece) {
        poll_interrupt();
        const uint64_t first = piece * granule, last = std::min(n_blocks, first + granule);
        scanner.approximate(one, 1, first, last, approx.data() + first * 32, (last - first) * 32);
      }
    });
    TopK top(k);
    scanner.offer_lanes_split(bounded, approx.data(), n_blocks, OfferedLanes{}, top);
    top.finish(results.scores.data() + q * k, results.indices.data() + q * k);
  }
};

// ---- 4 bits ------------------------------------------------------------

// Offers a filtered scan's products of one table: every one while the list
// has no plain threshold (it was then handed no usable one), else only the
// blocks marked as holding a product above it, in position order.
void offer_marked(TopK& top, const float* products, uint64_t above, uint64_t first,
                  uint64_t count) {
  if (!top.has_plain_threshold()) {
    for (uint64_t i = 0; i < count; ++i) {
      if (top.admits(products[i])) top.offer(products[i], first + i);
    }
    return;
  }
  for (; above != 0; above &= above - 1) {
    const uint64_t lane0 = static_cast<uint64_t>(std::countr_zero(above)) * 32;
    const uint64_t lane1 = std::min(count, lane0 + 32);
    for (uint64_t i = lane0; i < lane1; ++i) {
      if (top.admits(products[i])) top.offer(products[i], first + i);
    }
  }
}

float offer_threshold(const TopK& top) {
  return top.has_plain_threshold() ? top.threshold() : -std::numeric_limits<float>::infinity();
}

struct LutScan {
  const float* prepared;
  uint64_t padded_dim, dim, n;
  std::span<const float> centroids, norms;
  const BlockedCache& cache;

  // Blocks per task when one query is spread over the threads.
  uint64_t blocks_per_split_piece() const {
    uint64_t block_bytes = dim / 2 * 32;
    return std::clamp<uint64_t>(kStretchBytes / std::max<uint64_t>(1, block_bytes), 1,
                                kMaxFilteredBlocks);
  }

  // Blocks per stretch of a batch: the stretch's codes and one kernel
  // group's scores of it stay close to the core, so the few scores that are
  // offered are read back from cache.
  uint64_t blocks_per_group_stretch(uint64_t group) const {
    const uint64_t bytes_per_block = dim / 2 * 32 + group * 32 * sizeof(float);
    return std::clamp<uint64_t>(kGroupStretchBytes / bytes_per_block, 1, kMaxFilteredBlocks);
  }

  // The norms of blocks [b0, b1) as factors of a filtered scan: the stored
  // ones, or for a last block past n a copy padded with zeros (those lanes
  // are never offered).
  const float* factors_of(uint64_t b0, uint64_t b1, std::vector<float>& padded) const {
    const uint64_t first = b0 * 32;
    if (b1 * 32 <= n) return norms.data() + first;
    padded.assign((b1 - b0) * 32, 0.0f);
    std::copy(norms.begin() + first, norms.begin() + n, padded.begin());
    return padded.data();
  }

  // One table's norm-scaled scores of blocks [b0, b1) offered to top.
  void offer_blocks(const QueryTable& table, uint64_t b0, uint64_t b1, TopK& top,
                    std::vector<float>& out, std::vector<float>& padded) const {
    poll_interrupt();
    const QueryTable* tables[1] = {&table};
    const float threshold = offer_threshold(top);
    uint64_t above = 0;
    out.resize((b1 - b0) * 32);
    scan_blocks_filtered(tables, 1, cache.bytes.data(), dim, b0, b1, factors_of(b0, b1, padded),
                         &threshold, &above, out.data(), out.size());
    offer_marked(top, out.data(), above, b0 * 32, std::min(n, b1 * 32) - b0 * 32);
  }

  // Each kernel group of tables is scanned over a stretch; the kernel
  // scales the scores by the norms and marks the blocks that hold a
  // candidate, so only those are read back. The stretch's codes stay in
  // cache for the next group.
  void run_queries(uint64_t q0, uint64_t q1, uint64_t k, SearchResults& results) const {
    const std::size_t group = scan_group_size();
    const uint64_t stretch = blocks_per_group_stretch(group);
    const uint64_t stride = stretch * 32;
    std::vector<float> out(group * stride), padded;
    std::vector<float> thresholds(group);
    std::vector<uint64_t> above(group);
    for (uint64_t b0 = q0; b0 < q1; b0 += kQueryBatch) {
      uint64_t b1 = std::min(q1, b0 + kQueryBatch);
      std::vector<QueryTable> tables;
      std::vector<const QueryTable*> table_ptrs;
      std::vector<TopK> tops;
      tables.reserve(b1 - b0);
      for (uint64_t q = b0; q < b1; ++q) {
        tables.push_back(build_query_table(prepared + q * padded_dim, centroids.data(), dim));
        tops.emplace_back(k);
      }
      for (const auto& table : tables) table_ptrs.push_back(&table);
      for (uint64_t s0 = 0; s0 < cache.n_blocks; s0 += stretch) {
        uint64_t s1 = std::min(cache.n_blocks, s0 + stretch);
        poll_interrupt();
        const uint64_t first = s0 * 32, count = std::min(n, s1 * 32) - first;
        const float* factors = factors_of(s0, s1, padded);
        for (uint64_t g0 = 0; g0 < tables.size(); g0 += group) {
          const uint64_t g = std::min<uint64_t>(group, tables.size() - g0);
          for (uint64_t t = 0; t < g; ++t) thresholds[t] = offer_threshold(tops[g0 + t]);
          scan_blocks_filtered(table_ptrs.data() + g0, g, cache.bytes.data(), dim, s0, s1,
                               factors, thresholds.data(), above.data(), out.data(), stride);
          for (uint64_t t = 0; t < g; ++t) {
            offer_marked(tops[g0 + t], out.data() + t * stride, above[t], first, count);
          }
        }
      }
      for (uint64_t q = b0; q < b1; ++q) {
        tops[q - b0].finish(results.scores.data() + q * k, results.indices.data() + q * k);
      }
    }
  }

  // One query over all threads: each task offers its pieces to its own
  // list, and the lists are merged as if one task had seen every position.
  void run_single(uint64_t q, uint64_t k, SearchResults& results) const {
    const QueryTable table = build_query_table(prepared + q * padded_dim, centroids.data(), dim);
    const uint64_t granule = blocks_per_split_piece();
    SplitTopK kept;
    parallel_for((cache.n_blocks + granule - 1) / granule, [&](std::size_t begin, std::size_t end) {
      std::vector<float> out, padded;
      TopK part(k);
      for (std::size_t piece = begin; piece < end; ++piece) {
        const uint64_t b0 = piece * granule;
        offer_blocks(table, b0, std::min(cache.n_blocks, b0 + granule), part, out, padded);
      }
      kept.add(part);
    });
    TopK top(k);
    kept.merge_into(top);
    top.finish(results.scores.data() + q * k, results.indices.data() + q * k);
  }
};

// The pool gets groups of four queries, so that every task but the last
// fills the kernels' groups of four (4-bit) and pairs (2 and 3 bits).
template <class Scan>
void run_parallel_over_queries(const Scan& scan, uint64_t nq, uint64_t k, SearchResults& results) {
  constexpr uint64_t kGroup = 4;
  parallel_for((nq + kGroup - 1) / kGroup, [&](std::size_t begin, std::size_t end) {
    scan.run_queries(begin * kGroup, std::min<uint64_t>(nq, end * kGroup), k, results);
  });
}

}  // namespace

SearchResults search(std::span<const float> queries, uint64_t nq, uint64_t dim,
                     std::span<const float> signs, std::span<const float> matrices, uint64_t block,
                     uint64_t padded_dim, std::span<const uint8_t> codes,
                     std::span<const float> centroids, std::span<const float> norms, uint64_t bits,
                     uint64_t n, uint64_t k) {
  if (bits < 1 || bits > 3 || centroids.size() != (uint64_t{1} << bits)) {
    throw Error("the general scorer handles 2- and 3-bit codes only");
  }
  if (queries.size() < nq * dim || codes.size() < n * (dim / 8) * bits || norms.size() < n) {
    throw Error("search buffers are shorter than their counts");
  }
  std::vector<float> prepared = prepare_queries(queries, nq, dim, signs, matrices, block, padded_dim);
  SearchResults results = empty_rows(nq, k);
  CodeScan scan{prepared.data(), padded_dim, dim, bits, n, codes, centroids, norms};
  if (split_single_queries(nq, n)) {
    for (uint64_t q = 0; q < nq; ++q) {
      std::vector<float> table = code_tables(prepared.data() + q * padded_dim, centroids, dim);
      search_one_query_split(n, n, kSplitGranule, k, results.scores.data() + q * k,
                             results.indices.data() + q * k,
                             [&](uint64_t first, uint64_t end, float* out) {
                               std::vector<uint8_t> decoded(scan.scanner.block_bytes());
                               std::vector<float> sums(kCodeBlock);
                               scan.score_range(table.data(), first, end, out, decoded, sums);
                             });
    }
    return results;
  }
  run_parallel_over_queries(scan, nq, k, results);
  return results;
}

SearchResults search_bounded(std::span<const float> prepared, uint64_t nq, uint64_t dim,
                             uint64_t padded_dim, std::span<const float> centroids,
                             const CodeStore& store, std::span<const float> norms, uint64_t k) {
  const uint64_t n = store.size();
  if (store.dim() != dim || prepared.size() < nq * padded_dim || norms.size() < n ||
      centroids.size() != (uint64_t{1} << store.bits())) {
    throw Error("bounded search buffers are inconsistent with their counts");
  }
  SearchResults results = empty_rows(nq, k);
  BoundedSearch scan{prepared.data(), padded_dim, dim, store.bits(), centroids,
                     BoundedScanner(store, norms), store.block_bytes()};
  if (split_single_queries(nq, n)) {
    for (uint64_t q = 0; q < nq; ++q) scan.run_single(q, k, results);
    return results;
  }
  run_parallel_over_queries(scan, nq, k, results);
  return results;
}

SearchResults search_4bit(std::span<const float> prepared, uint64_t nq, uint64_t dim,
                          uint64_t padded_dim, std::span<const float> centroids,
                          const BlockedCache& cache, std::span<const float> norms, uint64_t n,
                          uint64_t k) {
  if (centroids.size() != 16 || cache.n_blocks != (n + 31) / 32 ||
      cache.bytes.size() < cache.n_blocks * (dim / 2) * 32 || norms.size() < n ||
      prepared.size() < nq * padded_dim) {
    throw Error("4-bit search buffers are inconsistent with their counts");
  }
  SearchResults results = empty_rows(nq, k);
  LutScan scan{prepared.data(), padded_dim, dim, n, centroids, norms, cache};
  if (split_single_queries(nq, n)) {
    for (uint64_t q = 0; q < nq; ++q) scan.run_single(q, k, results);
    return results;
  }
  run_parallel_over_queries(scan, nq, k, results);
  return results;
}

}  // namespace varnel

#include "index/query.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "quantize/rotation.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/memory.h"
#include "runtime/pool.h"
#include "search/bounded_scan.h"
#include "search/code_scan.h"
#include "search/lut_scan.h"

namespace varnel {

// ---- Metric, allowed set ------------------------------------------------

Metric parse_metric(std::string_view name) {
  if (name == "ip") return Metric::InnerProduct;
  if (name == "cosine") return Metric::Cosine;
  if (name == "l2") return Metric::L2;
  throw ArgumentError("unknown metric '" + std::string(name) + "': expected 'ip', 'cosine' or 'l2'");
}

AllowedSet AllowedSet::none(uint64_t n) { return AllowedSet(n); }

void AllowedSet::allow(uint64_t position) {
  uint32_t& mask = masks_[position / 32];
  const uint32_t bit = uint32_t{1} << (position % 32);
  if (!(mask & bit)) ++count_;
  mask |= bit;
}

namespace {

template <class T>
AllowedSet allowed_positions(std::span<const T> positions, uint64_t n) {
  AllowedSet set = AllowedSet::none(n);
  for (const T position : positions) {
    if (position < 0 || static_cast<uint64_t>(position) >= n) {
      throw ArgumentError("allowed position " + std::to_string(position) +
                          " is out of range for an index of " + std::to_string(n) + " vectors");
    }
    set.allow(static_cast<uint64_t>(position));
  }
  return set;
}

}  // namespace

AllowedSet AllowedSet::from_positions(std::span<const int64_t> positions, uint64_t n) {
  return allowed_positions(positions, n);
}

AllowedSet AllowedSet::from_positions(std::span<const uint64_t> positions, uint64_t n) {
  return allowed_positions(positions, n);
}

AllowedSet AllowedSet::from_mask(std::span<const uint8_t> mask, uint64_t n) {
  if (mask.size() != n) {
    throw ArgumentError("allowed mask has " + std::to_string(mask.size()) +
                        " entries, the index holds " + std::to_string(n) + " vectors");
  }
  AllowedSet set(n);
  for (uint64_t i = 0; i < n; ++i) {
    if (mask[i]) set.allow(i);
  }
  return set;
}

uint64_t AllowedSet::last() const {
  for (uint64_t b = masks_.size(); b-- > 0;) {
    if (masks_[b]) return b * 32 + 31 - static_cast<uint64_t>(std::countl_zero(masks_[b]));
  }
  return 0;
}

// ---- Exact scores -------------------------------------------------------

// Squares summed in float32, as stored norms are. Only a vector whose squares
// overflow float32 (norm above about 1.8e19) takes the slower double sum, so
// its norm is finite too and every other norm keeps its bits.
float vector_norm(const float* v, uint64_t dim) {
  float sum = -0.0f;
  for (uint64_t j = 0; j < dim; ++j) {
    const float square = v[j] * v[j];
    sum += square;
  }
  if (sum != std::numeric_limits<float>::infinity()) return std::sqrt(sum);
  double wide = 0.0;
  for (uint64_t j = 0; j < dim; ++j) wide += static_cast<double>(v[j]) * v[j];
  return static_cast<float>(std::sqrt(wide));
}

float exact_score(Metric metric, const float* q, const float* x, uint64_t dim) {
  float sum = 0.0f;
  if (metric == Metric::L2) {
    for (uint64_t j = 0; j < dim; ++j) {
      const float difference = q[j] - x[j];
      const float square = difference * difference;
      sum += square;
    }
    return sum;
  }
  for (uint64_t j = 0; j < dim; ++j) {
    const float product = q[j] * x[j];
    sum += product;
  }
  if (metric == Metric::InnerProduct) return sum;
  return cosine_of(sum, vector_norm(q, dim), vector_norm(x, dim));
}

namespace {

constexpr uint64_t kLanes = 32;
constexpr uint32_t kAllLanes = 0xFFFFFFFFu;
// Queries scored together against one cached stretch of codes, as in search.
constexpr uint64_t kQueryBatch = 64;
// Bytes of 4-bit blocked codes scanned per stretch (fits the L2 cache).
constexpr uint64_t kStretchBytes = 64 * 1024;
// Below this many stored vectors, one query is not spread over threads.
constexpr uint64_t kMinVectorsToSplit = 16 * 1024;
// Vectors per task when one 2- or 3-bit query is spread over the threads.
constexpr uint64_t kSplitGranule = 1024;

// Only the rows a query re-scores are read, so only they are checked: a NaN
// would make every comparison false and the order arbitrary.
void check_refine_row(const float* row, uint64_t dim, uint64_t index) {
  for (uint64_t j = 0; j < dim; ++j) {
    if (!std::isfinite(row[j])) {
      throw ArgumentError("refine row " + std::to_string(index) + " has a NaN or infinite value");
    }
  }
}

float negative_infinity() { return -std::numeric_limits<float>::infinity(); }

// Selector keys are "higher is better": for L2 the key is the negated
// squared distance, so one selector serves every metric.
using KeyOfScore = MetricKey;

float score_of_key(Metric metric, float key) { return metric == Metric::L2 ? -key : key; }

// The stored vectors a scan walks, as lanes of blocks of 32: either the
// index itself or a compacted copy of the allowed vectors.
struct Lanes {
  uint64_t n = 0;                      // lanes holding a vector
  const float* norms = nullptr;        // per lane
  const uint64_t* positions = nullptr; // per lane; nullptr: the lane is the position
  const uint32_t* masks = nullptr;     // per block; nullptr: every lane below n

  uint32_t mask(uint64_t block) const {
    uint32_t mask = masks ? masks[block] : kAllLanes;
    const uint64_t first = block * kLanes;
    if (n - first < kLanes) mask &= (uint32_t{1} << (n - first)) - 1u;
    return mask;
  }
  bool any_in(uint64_t first, uint64_t end) const {
    if (!masks) return first < end;
    for (uint64_t b = first / kLanes; b * kLanes < end; ++b) {
      if (masks[b]) return true;
    }
    return false;
  }
  uint64_t position(uint64_t lane) const { return positions ? positions[lane] : lane; }
};

// Offers lanes [first, first + count) of one query (first a multiple of 32)
// to its selector in lane order, excluded lanes never. `sums` holds their
// code sums; `keys` is scratch of count values.
void offer_lanes(TopK& top, const KeyOfScore& key_of, const Lanes& lanes, const float* sums,
                 uint64_t first, uint64_t count, float* keys) {
  if (!lanes.masks && !lanes.positions) {
    const float* norms = lanes.norms + first;
    if (key_of.metric == Metric::InnerProduct) {
      for (uint64_t i = 0; i < count; ++i) keys[i] = sums[i] * norms[i];  // vectorises
    } else {
      metric_keys(key_of, sums, norms, count, keys);
    }
    offer_scores(top, keys, first, count);
    return;
  }
  for (uint64_t b = first / kLanes; b * kLanes < first + count; ++b) {
    for (uint32_t mask = lanes.mask(b); mask != 0; mask &= mask - 1) {
      const uint64_t lane = b * kLanes + static_cast<uint64_t>(std::countr_zero(mask));
      const float key = key_of(sums[lane - first], lanes.norms[lane]);
      if (top.admits(key)) top.offer(key, lanes.position(lane));
    }
  }
}

// ---- Kernels: code sums of a range of lanes for several queries ----------

// 4 bits: the table-lookup scan over the blocked layout. Runs of blocks
// with no allowed lane are not scanned.
struct LutKernel {
  const uint8_t* blocked;
  uint64_t dim;
  const float* centroids;

  using Table = QueryTable;
  struct Scratch {};

  Table make_table(const float* rq) const { return build_query_table(rq, centroids, dim); }
  Scratch make_scratch() const { return {}; }
  uint64_t stretch_lanes() const {
    const uint64_t block_bytes = std::max<uint64_t>(1, blocked_block_bytes(dim));
    return std::max<uint64_t>(1, kStretchBytes / block_bytes) * kLanes;
  }
  uint64_t split_granule() const { return stretch_lanes(); }

  // out[t * stride + lane - first] for lanes [first, end) rounded up to whole
  // blocks; the lanes of skipped blocks are left unwritten.
  void sums(const Table* const* tables, std::size_t nt, const Lanes& lanes, uint64_t first,
            uint64_t end, float* out, std::size_t stride, Scratch&) const {
    const uint64_t b_first = first / kLanes, b_end = blocks_for(end);
    if (!lanes.masks) {
      scan_blocks(tables, nt, blocked, dim, b_first, b_end, out, stride);
      return;
    }
    for (uint64_t b0 = b_first; b0 < b_end;) {
      if (lanes.masks[b0] == 0) {
        ++b0;
        continue;
      }
      uint64_t b1 = b0 + 1;
      while (b1 < b_end && lanes.masks[b1] != 0) ++b1;
      scan_blocks(tables, nt, blocked, dim, b0, b1, out + (b0 - b_first) * kLanes, stride);
      b0 = b1;
    }
  }
};

// 2 and 3 bits: decode a block of rows, then sum the query tables over it,
// two queries per pass as search does.
struct CodeKernel {
  const uint8_t* codes;  // storage rows
  uint64_t dim;
  std::span<const float> centroids;
  CodeScanner scanner;

  using Table = std::vector<float>;
  struct Scratch {
    std::vector<uint8_t> block;
    std::vector<float> sums;
  };

  Table make_table(const float* rq) const {
    std::vector<float> table(dim * 8, 0.0f);
    for (uint64_t j = 0; j < dim; ++j) {
      for (std::size_t c = 0; c < centroids.size(); ++c) table[j * 8 + c] = rq[j] * centroids[c];
    }
    return table;
  }
  Scratch make_scratch() const {
    return {std::vector<uint8_t>(scanner.block_bytes()), std::vector<float>(2 * kCodeBlock)};
  }
  uint64_t stretch_lanes() const { return kCodeBlock; }
  uint64_t split_granule() const { return kSplitGranule; }

  void sums(const Table* const* tables, std::size_t nt, const Lanes& lanes, uint64_t first,
            uint64_t end, float* out, std::size_t stride, Scratch& scratch) const {
    for (uint64_t start = first; start < end; start += kCodeBlock) {
      const uint64_t count = std::min(kCodeBlock, end - start);
      if (!lanes.any_in(start, start + count)) continue;
      scanner.decode(codes, start, count, scratch.block.data());
      const uint64_t width = blocks_for(count) * kLanes;
      float* sums_a = scratch.sums.data();
      float* sums_b = sums_a + kCodeBlock;
      std::size_t t = 0;
      for (; t + 1 < nt; t += 2) {
        scanner.sum_pair(tables[t]->data(), tables[t + 1]->data(), scratch.block.data(), width,
                         sums_a, sums_b);
        std::copy_n(sums_a, count, out + t * stride + (start - first));
        std::copy_n(sums_b, count, out + (t + 1) * stride + (start - first));
      }
      if (t < nt) {
        scanner.sum(tables[t]->data(), scratch.block.data(), width, sums_a);
        std::copy_n(sums_a, count, out + t * stride + (start - first));
      }
    }
  }
};

// ---- The search loop ----------------------------------------------------

struct Job {
  const float* prepared;   // rotated query rows
  uint64_t padded_dim;
  std::span<const float> raw_queries;
  uint64_t dim;
  Metric metric;
  std::vector<float> q_norms;
  uint64_t k;              // results per query
  uint64_t candidates;     // kept by the code scan (k unless refining)
  const RefineRows* refine;
  std::span<const uint64_t> refine_row_of_position;
  SearchResults* results;

  KeyOfScore key_of(uint64_t q) const {
    const float norm = q_norms.empty() ? 0.0f : q_norms[q];
    return KeyOfScore{metric, norm, norm * norm};
  }

  // Writes query q's row from its code-scan selector: directly, or after
  // exact re-scoring of the candidates in position order.
  void finish(uint64_t q, TopK& top) const {
    float* scores = results->scores.data() + q * k;
    int64_t* indices = results->indices.data() + q * k;
    if (!refine) {
      top.finish(scores, indices);
    } else {
      std::vector<float> candidate_keys(candidates);
      std::vector<int64_t> candidate_positions(candidates);
      top.finish(candidate_keys.data(), candidate_positions.data());
      std::sort(candidate_positions.begin(), candidate_positions.end());
      TopK exact(k);
      const float* query = raw_queries.data() + q * dim;
      for (const int64_t position : candidate_positions) {
        if (position < 0) continue;
        const uint64_t p = static_cast<uint64_t>(position);
        const uint64_t row = refine_row_of_position.empty() ? p : refine_row_of_position[p];
        const float* vector = refine->data + row * refine->cols;
        check_refine_row(vector, dim, row);
        const float score = exact_score(metric, query, vector, dim);
        exact.offer(metric == Metric::L2 ? -score : score, p);
      }
      exact.finish(scores, indices);
    }
    if (metric == Metric::L2) {
      for (uint64_t r = 0; r < k; ++r) scores[r] = score_of_key(metric, scores[r]);
    }
  }
};

// A scan of a batch: a few queries over a large store each split over the
// threads; otherwise groups of four queries (filling the kernels' groups of
// four and pairs) over the pool.
template <class Scan>
void run_scan(const Scan& scan, uint64_t nq) {
  if (nq < num_threads() && scan.lanes.n >= kMinVectorsToSplit) {
    for (uint64_t q = 0; q < nq; ++q) scan.run_one_query_split(q);
    return;
  }
  constexpr uint64_t kGroup = 4;
  parallel_for((nq + kGroup - 1) / kGroup, [&](std::size_t begin, std::size_t end) {
    scan.run_queries(begin * kGroup, std::min<uint64_t>(nq, end * kGroup));
  });
}

template <class Kernel>
struct Loop {
  const Kernel& kernel;
  const Lanes& lanes;
  const Job& job;

  // Queries [q0, q1) in batches: each stretch of codes is scored for the
  // whole batch while it is in the cache.
  void run_queries(uint64_t q0, uint64_t q1) const {
    const uint64_t stretch = kernel.stretch_lanes();
    std::vector<float> out(kQueryBatch * stretch), keys(stretch);
    typename Kernel::Scratch scratch = kernel.make_scratch();
    for (uint64_t b0 = q0; b0 < q1; b0 += kQueryBatch) {
      const uint64_t b1 = std::min(q1, b0 + kQueryBatch);
      std::vector<typename Kernel::Table> tables;
      std::vector<const typename Kernel::Table*> table_ptrs;
      std::vector<TopK> tops;
      tables.reserve(b1 - b0);
      for (uint64_t q = b0; q < b1; ++q) {
        tables.push_back(kernel.make_table(job.prepared + q * job.padded_dim));
        tops.emplace_back(job.candidates);
      }
      for (const auto& table : tables) table_ptrs.push_back(&table);
      for (uint64_t first = 0; first < lanes.n; first += stretch) {
        const uint64_t end = std::min(lanes.n, first + stretch);
        if (!lanes.any_in(first, end)) continue;
        poll_interrupt();
        kernel.sums(table_ptrs.data(), table_ptrs.size(), lanes, first, end, out.data(), stretch,
                    scratch);
        for (uint64_t t = 0; t < tables.size(); ++t) {
          offer_lanes(tops[t], job.key_of(b0 + t), lanes, out.data() + t * stretch, first,
                      end - first, keys.data());
        }
      }
      for (uint64_t q = b0; q < b1; ++q) job.finish(q, tops[q - b0]);
    }
  }

  // One query spread over the pool: each task scores and selects from its
  // own ranges of lanes in lane order, and offer_kept merges the tasks'
  // lists, so the result is the same as on one thread.
  void run_one_query_split(uint64_t q) const {
    const typename Kernel::Table table = kernel.make_table(job.prepared + q * job.padded_dim);
    const typename Kernel::Table* table_ptr = &table;
    const KeyOfScore key_of = job.key_of(q);
    const uint64_t granule = kernel.split_granule();
    std::vector<float> sums(blocks_for(lanes.n) * kLanes);
    const uint64_t pieces = (lanes.n + granule - 1) / granule;
    SplitTopK kept;
    parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
      typename Kernel::Scratch scratch = kernel.make_scratch();
      TopK part(job.candidates);
      std::vector<float> keys(granule);
      for (std::size_t piece = begin; piece < end; ++piece) {
        const uint64_t first = piece * granule;
        const uint64_t last = std::min(lanes.n, first + granule);
        if (!lanes.any_in(first, last)) continue;
        poll_interrupt();
        kernel.sums(&table_ptr, 1, lanes, first, last, sums.data() + first, 0, scratch);
        offer_lanes(part, key_of, lanes, sums.data() + first, first, last - first, keys.data());
      }
      kept.add(part);
    });
    TopK top(job.candidates);
    kept.merge_into(top);
    job.finish(q, top);
  }

  void run(uint64_t nq) const { run_scan(*this, nq); }
};

// ---- 2 and 3 bits: the bounded scan --------------------------------------

// KeyOfScore for a block of lanes, for the bounded scan. The scan needs the
// key monotone in the code sum for each fixed norm, and rising for a norm
// >= 0 (LaneKeys); it is, as a
// chain of rounded operations each monotone in the value passed along (and
// round-to-nearest is monotone):
// - ip = fl(sum * norm): rising in sum for norm >= 0, falling for norm < 0,
//   NaN throughout for a NaN norm;
// - "ip": the key is ip;
// - "cosine": with D = fl(q_norm * norm) fixed per lane, fl(ip / D) rises
//   with ip when D > 0, and the key is the constant 0 otherwise;
// - "l2": -(fl(A - fl(2 ip))) with A = fl(q_square + fl(norm * norm)) fixed
//   per lane: fl(2 ip) rises with ip, the difference falls with it, the
//   negation (exact) rises again.
// Where an intermediate is infinite a step may give NaN (inf - inf, inf /
// inf); that happens at an end of the range of sums, so a bound there gives
// NaN too and the scan scores the lane exactly.
struct MetricKeys final : LaneKeys {
  KeyOfScore key_of;

  explicit MetricKeys(KeyOfScore key) : key_of(key) {}
  void keys(const float* sums, const float* norms, std::size_t count, float* out) const override {
    metric_keys(key_of, sums, norms, count, out);
  }
  bool offset_keys(const float* sums, float offset, const float* norms, std::size_t count,
                   float* out) const override {
    return metric_keys_of_bounds(key_of, sums, offset, norms, count, out);
  }
};

// Codes of about this many bytes stay in the core's second-level cache while
// a batch of queries passes over them; the batch's tables should fit near it.
constexpr uint64_t kBoundedStretchBytes = 128 * 1024;
constexpr uint64_t kBoundedTableBytes = 512 * 1024;

// The 2- and 3-bit query: the approximate scan of search, with the filter's
// block masks, the metric's keys and the candidates refinement takes. Its
// selectors end exactly as scoring every allowed vector (Loop<CodeKernel>).
struct BoundedLoop {
  const BoundedScanner& scanner;
  const Lanes& lanes;
  const Job& job;
  std::span<const float> centroids;
  uint64_t bits;

  BoundedQuery bounded_query(uint64_t q) const {
    return build_bounded_query(job.prepared + q * job.padded_dim, centroids, job.dim, bits);
  }
  // The inner product needs no keys: the scan's own score is its key.
  std::optional<MetricKeys> keys_of(uint64_t q) const {
    if (job.metric == Metric::InnerProduct) return std::nullopt;
    return MetricKeys(job.key_of(q));
  }
  OfferedLanes offered(const std::optional<MetricKeys>& keys) const {
    return OfferedLanes{lanes.masks, lanes.positions, keys ? &*keys : nullptr};
  }
  uint64_t blocks_per_stretch() const {
    return std::max<uint64_t>(2, kBoundedStretchBytes / std::max<uint64_t>(1, scanner.block_bytes()));
  }
  // The 3-bit kernel decodes each code group once for up to eight queries.
  uint64_t kernel_group() const { return bits == 3 ? 8 : 4; }
  uint64_t queries_per_batch() const {
    const uint64_t table_bytes = job.dim / 2 * (bits == 2 ? 16 : 64);
    const uint64_t group = kernel_group();
    const uint64_t fitting = kBoundedTableBytes / std::max<uint64_t>(1, table_bytes) / group * group;
    return std::clamp<uint64_t>(fitting, group, kQueryBatch);
  }

  // Approximate scores of blocks [b0, b1) into out (32 per block), runs of
  // blocks without an allowed lane left out.
  void approximate(const BoundedQuery* const* queries, std::size_t nt, uint64_t b0, uint64_t b1,
                   float* out, std::size_t stride) const {
    if (!lanes.masks) {
      scanner.approximate(queries, nt, b0, b1, out, stride);
      return;
    }
    for (uint64_t r0 = b0; r0 < b1;) {
      if (lanes.masks[r0] == 0) {
        ++r0;
        continue;
      }
      uint64_t r1 = r0 + 1;
      while (r1 < b1 && lanes.masks[r1] != 0) ++r1;
      scanner.approximate(queries, nt, r0, r1, out + (r0 - b0) * kLanes, stride);
      r0 = r1;
    }
  }

  void run_queries(uint64_t q0, uint64_t q1) const {
    const uint64_t stretch = blocks_per_stretch(), stride = stretch * kLanes;
    const uint64_t n_blocks = scanner.n_blocks();
    const uint64_t kGroup = kernel_group();
    std::vector<float> approx(kGroup * stride);
    for (uint64_t b0 = q0; b0 < q1; b0 += queries_per_batch()) {
      const uint64_t b1 = std::min(q1, b0 + queries_per_batch());
      // Reserved up front: the queues keep references to these.
      std::vector<BoundedQuery> queries;
      std::vector<const BoundedQuery*> query_ptrs;
      std::vector<std::optional<MetricKeys>> keys;
      std::vector<OfferedLanes> offers;
      std::vector<TopK> tops;
      std::vector<OfferQueue> pending;
      queries.reserve(b1 - b0);
      keys.reserve(b1 - b0);
      offers.reserve(b1 - b0);
      tops.reserve(b1 - b0);
      pending.reserve(b1 - b0);
      for (uint64_t q = b0; q < b1; ++q) {
        queries.push_back(bounded_query(q));
        keys.push_back(keys_of(q));
        offers.push_back(offered(keys.back()));
        tops.emplace_back(job.candidates);
        pending.emplace_back(scanner, queries.back(), tops.back(), &offers.back());
      }
      for (const auto& query : queries) query_ptrs.push_back(&query);
      // A stretch leaves a query a few positions to verify; its queue fills
      // whole batches across stretches.
      for (uint64_t s0 = 0; s0 < n_blocks; s0 += stretch) {
        const uint64_t s1 = std::min(n_blocks, s0 + stretch);
        if (!lanes.any_in(s0 * kLanes, std::min(lanes.n, s1 * kLanes))) continue;
        poll_interrupt();
        for (uint64_t g0 = 0; g0 < queries.size(); g0 += kGroup) {
          const uint64_t group = std::min<uint64_t>(kGroup, queries.size() - g0);
          approximate(query_ptrs.data() + g0, group, s0, s1, approx.data(), stride);
          for (uint64_t t = 0; t < group; ++t) {
            scanner.offer_lanes(approx.data() + t * stride, s0, s1, offers[g0 + t], pending[g0 + t]);
          }
        }
      }
      for (OfferQueue& queue : pending) queue.flush();
      for (uint64_t q = b0; q < b1; ++q) job.finish(q, tops[q - b0]);
    }
  }

  // One query over all threads: the approximate scores, then the
  // verification, each split over the pool.
  void run_one_query_split(uint64_t q) const {
    const BoundedQuery query = bounded_query(q);
    const BoundedQuery* one[1] = {&query};
    const std::optional<MetricKeys> keys = keys_of(q);
    const uint64_t n_blocks = scanner.n_blocks(), granule = blocks_per_stretch();
    std::vector<float> approx(n_blocks * kLanes);
    parallel_for((n_blocks + granule - 1) / granule, [&](std::size_t begin, std::size_t end) {
      for (std::size_t piece = begin; piece < end; ++piece) {
        const uint64_t first = piece * granule, last = std::min(n_blocks, first + granule);
        if (!lanes.any_in(first * kLanes, std::min(lanes.n, last * kLanes))) continue;
        poll_interrupt();
        approximate(one, 1, first, last, approx.data() + first * kLanes, (last - first) * kLanes);
      }
    });
    TopK top(job.candidates);
    scanner.offer_lanes_split(query, approx.data(), n_blocks, offered(keys), top);
    job.finish(q, top);
  }

  void run(uint64_t nq) const { run_scan(*this, nq); }
};

bool exact_code_scan = false;  // tests: the 2- and 3-bit query scores every vector

// ---- Compaction of sparse filters ----------------------------------------

// The allowed vectors copied out in position order, so that the scan walks
// only ceil(count / 32) blocks. Lanes are scored independently of their
// neighbours, so every score is the one the vector gets in place.
struct Compacted {
  std::vector<uint64_t> positions;
  std::vector<float> norms;
  RawVector<uint8_t> rows;  // storage rows (2 and 3 bits, exact scan)
  CodeStore store;          // 2 and 3 bits, bounded scan
  BlockedCache blocked;     // 4 bits
};

int forced_compaction = -1;  // -1: by the cost estimate

uint64_t nonempty_blocks(const AllowedSet& allowed) {
  uint64_t count = 0;
  for (const uint32_t mask : allowed.masks()) count += mask != 0;
  return count;
}

// Compaction pays once per call (gathering the allowed rows) and saves on
// every query: worth it when the blocks to scan fall by half or more and the
// queries repay the copy (counted as about eight scans of a lane).
bool should_compact(const AllowedSet& allowed, uint64_t nq) {
  if (forced_compaction >= 0) return forced_compaction == 1;
  const uint64_t scanned = nonempty_blocks(allowed);
  const uint64_t compact = blocks_for(allowed.count());
  if (2 * compact > scanned) return false;
  const uint64_t saved_lanes = (scanned - compact) * kLanes;
  return nq * saved_lanes > 8 * allowed.count();
}

Compacted compact(const SkerryIndex& index, const AllowedSet& allowed) {
  Compacted out;
  const uint64_t m = allowed.count(), row = index.row_bytes();
  out.positions.reserve(m);
  for (uint64_t b = 0; b < allowed.masks().size(); ++b) {
    for (uint32_t mask = allowed.block_mask(b); mask != 0; mask &= mask - 1) {
      out.positions.push_back(b * kLanes + static_cast<uint64_t>(std::countr_zero(mask)));
    }
  }
  out.norms.resize(m);
  out.rows.resize(m * row);
  // The rows of the allowed positions only, produced from the blocked store.
  for (uint64_t i = 0; i < m; ++i) {
    const uint64_t p = out.positions[i];
    out.norms[i] = index.norms()[p];
    index.code_store().read_rows(p, 1, std::span(out.rows).subspan(i * row, row));
  }
  if (index.bits() == 4) {
    out.blocked = repack_4bit(out.rows, m, index.dim());
    out.rows = {};
  } else if (!exact_code_scan) {
    out.store = CodeStore::from_rows(index.dim(), index.bits(), m, out.rows);
    out.rows = {};
  }
  return out;
}

// ---- Checks before any work --------------------------------------------

void check_refine(const SkerryIndex& index, const QueryOptions& options) {
  if (options.refine_factor == 0) throw ArgumentError("refine_factor must be at least 1");
  const RefineRows* refine = options.refine;
  if (!refine) return;
  if (refine->cols != index.dim()) {
    throw ArgumentError("refine has " + std::to_string(refine->cols) +
                        " columns but the index has dim " + std::to_string(index.dim()));
  }
  // The largest row any result may need, over the positions the filter lets through.
  const auto& row_of = options.refine_row_of_position;
  const bool by_id = !row_of.empty();
  uint64_t largest = 0;
  bool any = false;
  for (uint64_t p = 0; p < index.len(); ++p) {
    if (options.allowed && !options.allowed->contains(p)) continue;
    const uint64_t row = by_id ? row_of[p] : p;
    largest = !any || row > largest ? row : largest;
    any = true;
  }
  if (any && largest >= refine->rows) {
    throw ArgumentError("refine has " + std::to_string(refine->rows) + " rows but " +
                        (by_id ? "id " : "position ") + std::to_string(largest) +
                        " may be returned (rows are indexed by " + (by_id ? "id)" : "position)"));
  }
}

// A squared L2 distance to a query whose own square overflows float32 is
// infinite for every vector: the ranking would be arbitrary.
void check_squares_fit(const std::vector<float>& q_norms) {
  for (std::size_t q = 0; q < q_norms.size(); ++q) {
    if (q_norms[q] * q_norms[q] == std::numeric_limits<float>::infinity()) {
      throw ArgumentError("query " + std::to_string(q) +
                          " has a norm above 1.8e19: its squared L2 distances overflow float32 "
                          "(scale the queries, or use metric \"ip\" or \"cosine\")");
    }
  }
}

SearchResults empty_rows(uint64_t nq, uint64_t k, Metric metric) {
  check_fits_in_memory(nq, k, sizeof(float) + sizeof(int64_t), "the results (queries x k)");
  SearchResults results;
  results.nq = nq;
  results.k = k;
  const float empty = metric == Metric::L2 ? std::numeric_limits<float>::infinity() : negative_infinity();
  results.scores.assign(nq * k, empty);
  results.indices.assign(nq * k, -1);
  return results;
}

uint64_t saturating_product(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? ~uint64_t{0} : product;
}

}  // namespace

void force_filter_compaction(int mode) { forced_compaction = mode; }

void force_exact_code_scan(bool exact) { exact_code_scan = exact; }

SearchResults query(const SkerryIndex& index, std::span<const float> queries, uint64_t k,
                    const QueryOptions& options) {
  const uint64_t dim = index.dim(), n = index.len();
  if (dim == 0) throw Error("attempt to divide by zero");
  const uint64_t nq = queries.size() / dim;
  if (nq * dim != queries.size()) {
    throw Error("assertion `left == right` failed\n  left: " + std::to_string(queries.size()) +
                "\n right: " + std::to_string(nq * dim));
  }
  const AllowedSet* allowed = options.allowed;
  if (allowed && allowed->n() != n) throw Error("the allowed set was made for another index size");
  if (!options.refine_row_of_position.empty() && options.refine_row_of_position.size() != n) {
    throw Error("refine rows are mapped for another index size");
  }
  if (const auto row = first_unusable_query(queries, dim)) {
    throw ArgumentError("query " + std::to_string(*row) +
                        " has a NaN or infinite value, or a norm too large for float32");
  }
  check_refine(index, options);

  const BlockRotations& rotations = index.block_rotations();
  const std::vector<float>& centroids = index.centroids();
  std::span<const float> signs = index.sign_vector();
  const uint64_t eligible = allowed ? allowed->count() : n;
  const uint64_t k_eff = std::max<uint64_t>(1, std::min(k, eligible));
  if (eligible == 0) return empty_rows(nq, k_eff, options.metric);
  if (allowed && allowed->count() == n) allowed = nullptr;  // a filter that lets all through

  const uint64_t block = block_size(index.rotation());
  const std::vector<float> prepared = prepare_queries(queries, nq, dim, signs, rotations.matrices,
                                                      block, rotations.padded_dim);
  SearchResults results = empty_rows(nq, k_eff, options.metric);
  Job job{prepared.data(), rotations.padded_dim, queries, dim, options.metric, {}, k_eff,
          k_eff, options.refine, options.refine_row_of_position, &results};
  if (options.refine) {
    job.candidates = std::min(eligible, std::max(k_eff, saturating_product(k_eff, options.refine_factor)));
  }
  if (options.metric != Metric::InnerProduct) {
    job.q_norms.resize(nq);
    for (uint64_t q = 0; q < nq; ++q) job.q_norms[q] = vector_norm(queries.data() + q * dim, dim);
  }
  if (options.metric == Metric::L2) check_squares_fit(job.q_norms);

  Compacted compacted;
  Lanes lanes{n, index.norms().data(), nullptr, allowed ? allowed->masks().data() : nullptr};
  const bool compact_filter = allowed && should_compact(*allowed, nq);
  if (compact_filter) {
    compacted = compact(index, *allowed);
    lanes = Lanes{allowed->count(), compacted.norms.data(), compacted.positions.data(), nullptr};
  }
  if (index.bits() == 4) {
    const uint8_t* blocked =
        compact_filter ? compacted.blocked.bytes.data() : index.blocked_codes().bytes.data();
    LutKernel kernel{blocked, dim, centroids.data()};
    Loop<LutKernel>{kernel, lanes, job}.run(nq);
  } else if (!exact_code_scan) {
    const CodeStore& store = compact_filter ? compacted.store : index.code_store();
    const BoundedScanner scanner(store, std::span<const float>(lanes.norms, lanes.n));
    BoundedLoop{scanner, lanes, job, centroids, index.bits()}.run(nq);
  } else {
    // Storage rows produced from the blocked store, alive until the scan ends.
    const auto& stored_rows = index.codes();
    const uint8_t* rows = compact_filter ? compacted.rows.data() : stored_rows.data();
    CodeKernel kernel{rows, dim, centroids, make_code_scanner(dim, index.bits())};
    Loop<CodeKernel>{kernel, lanes, job}.run(nq);
  }
  return results;
}

// ---- Decoding -----------------------------------------------------------

std::vector<float> reconstruct(const SkerryIndex& index, std::span<const uint64_t> positions) {
  const uint64_t n = index.len(), dim = index.dim();
  for (const uint64_t position : positions) {
    if (position >= n) {
      throw ArgumentError("position " + std::to_string(position) +
                          " is out of range for an index of " + std::to_string(n) + " vectors");
    }
  }
  std::vector<float> out(positions.size() * dim);
  if (positions.empty()) return out;
  const BlockRotations& rotations = index.block_rotations();
  const std::vector<float>& centroids = index.centroids();
  std::span<const float> signs = index.sign_vector();
  const uint64_t block = block_size(index.rotation());
  std::vector<uint8_t> codes(dim);
  std::vector<float> row(rotations.padded_dim);
  for (uint64_t i = 0; i < positions.size(); ++i) {
    const uint64_t p = positions[i];
    index.code_store().decode(p, codes.data());
    std::fill(row.begin(), row.end(), 0.0f);
    for (uint64_t j = 0; j < dim; ++j) row[j] = centroids[codes[j]];
    inverse_rotate(row, dim, signs, rotations.matrices, block);
    const float norm = index.norms()[p];
    for (uint64_t j = 0; j < dim; ++j) out[i * dim + j] = row[j] * norm;
  }
  return out;
}

// ---- IdMapIndex ---------------------------------------------------------

AllowedSet allowed_ids(const IdMapIndex& index, std::span<const uint64_t> ids) {
  AllowedSet set = AllowedSet::none(index.len());
  uint64_t position = 0;
  for (const uint64_t id : ids) {
    if (index.position_of(id, &position)) set.allow(position);
  }
  return set;
}

namespace {

// The refine row of every stored position, from the id of each row; a
// repeated id, or a returnable id without a row, is refused before any work.
std::vector<uint64_t> refine_rows_of_positions(const IdMapIndex& index, const QueryOptions& options) {
  const std::span<const uint64_t> ids = *options.refine_ids;
  if (!options.refine) throw ArgumentError("refine_ids needs refine, the vectors to re-score against");
  if (options.refine->rows != ids.size()) {
    throw ArgumentError("refine_ids has " + std::to_string(ids.size()) + " ids but refine has " +
                        std::to_string(options.refine->rows) + " rows");
  }
  IdMap<uint64_t> row_of_id;
  row_of_id.reserve(ids.size());
  for (uint64_t row = 0; row < ids.size(); ++row) {
    if (!row_of_id.emplace(ids[row], row).second) {
      throw ArgumentError("id " + std::to_string(ids[row]) + " appears more than once in refine_ids");
    }
  }
  std::vector<uint64_t> rows(index.len());
  for (uint64_t p = 0; p < index.len(); ++p) {
    const auto found = row_of_id.find(index.ids()[p]);
    if (found != row_of_id.end()) {
      rows[p] = found->second;
    } else if (!options.allowed || options.allowed->contains(p)) {
      throw ArgumentError("id " + std::to_string(index.ids()[p]) +
                          " may be returned but is not in refine_ids");
    } else {
      rows[p] = 0;  // never re-scored: the filter keeps it out
    }
  }
  return rows;
}

}  // namespace

IdSearchResults query(const IdMapIndex& index, std::span<const float> queries, uint64_t k,
                      QueryOptions options) {
  std::vector<uint64_t> rows_by_id;
  if (options.refine_ids) {
    rows_by_id = refine_rows_of_positions(index, options);
    options.refine_row_of_position = rows_by_id;
  } else {
    options.refine_row_of_position = index.ids();
  }
  SearchResults found = query(index.core(), queries, k, options);
  IdSearchResults results;
  results.ids.reserve(found.indices.size());
  for (const int64_t position : found.indices) {
    results.ids.push_back(position < 0 ? IdMapIndex::kEmptyId : index.ids()[uint64_t(position)]);
  }
  results.scores = std::move(found.scores);
  results.nq = found.nq;
  results.k = found.k;
  return results;
}

std::vector<float> reconstruct(const IdMapIndex& index, std::span<const uint64_t> ids) {
  std::vector<uint64_t> positions(ids.size());
  for (uint64_t i = 0; i < ids.size(); ++i) {
    if (!index.position_of(ids[i], &positions[i])) {
      throw ArgumentError("id " + std::to_string(ids[i]) + " is not in the index");
    }
  }
  return reconstruct(index.core(), positions);
}

namespace {

template <class Results, class Slot>
void empty_beyond(Results& results, Metric metric, float radius, Slot empty_slot) {
  if (std::isnan(radius)) throw ArgumentError("radius must be a number, not NaN");
  const bool ascending = metric == Metric::L2;
  const float empty_score = ascending ? std::numeric_limits<float>::infinity()
                                      : -std::numeric_limits<float>::infinity();
  for (uint64_t i = 0; i < results.scores.size(); ++i) {
    const float score = results.scores[i];
    if (ascending ? score <= radius : score >= radius) continue;
    results.scores[i] = empty_score;
    empty_slot(i);
  }
}

}  // namespace

void keep_within_radius(SearchResults& results, Metric metric, float radius) {
  empty_beyond(results, metric, radius, [&](uint64_t i) { results.indices[i] = -1; });
}

void keep_within_radius(IdSearchResults& results, Metric metric, float radius) {
  empty_beyond(results, metric, radius, [&](uint64_t i) { results.ids[i] = IdMapIndex::kEmptyId; });
}

}  // namespace varnel

#pragma once
// The 2- and 3-bit search: an approximate integer table scan over the blocked
// codes, with a proven bound on its error, and exact verification of every
// vector the bound cannot rule out. The result is identical to scoring every
// vector exactly (the general scorer of search.h): a skipped vector is one
// whose exact score could not have entered the top-k list at its turn.
//
// Block-level API (stable: other search methods build on it). A caller
// prepares one BoundedQuery per rotated query, runs `approximate` over a range
// of blocks for a group of queries (the expensive, vectorised part), then
// calls `offer_blocks` per query on the same range, ranges in increasing
// order, so that each query's selector sees positions in order.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quantize/code_store.h"
#include "search/bounded_query.h"
#include "search/lut_scan.h"
#include "search/top_k.h"

namespace varnel {

// A transform of the score applied before selection (a metric other than the
// inner product). key(sum, norm) must be monotone in sum for each fixed norm,
// rising or falling, as every composition of rounded float operations that
// are each monotone in their argument is, and rising (non-decreasing) for a
// norm >= 0: then the keys of a sum's two bounds bracket the key of the sum
// itself, and a lane whose two bound keys are both at or below the selector's
// threshold cannot be admitted (for a norm >= 0 the upper bound's key alone
// decides).
class LaneKeys {
 public:
  virtual ~LaneKeys() = default;
  // out[i] = key(sums[i], norms[i]) for i < count.
  virtual void keys(const float* sums, const float* norms, std::size_t count, float* out) const = 0;
  // out[i] = key(fl(sums[i] + offset), norms[i]) for i < count (out is not
  // sums); returns whether every norm is >= 0 (none negative or NaN). One
  // pass over each bound of a stretch of approximate sums.
  virtual bool offset_keys(const float* sums, float offset, const float* norms, std::size_t count,
                           float* out) const {
    int negative = 0;
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = sums[i] + offset;
      negative |= !(norms[i] >= 0.0f);
    }
    keys(out, norms, count, out);
    return negative == 0;
  }
};

// What offer_lanes offers: which lanes, under which positions, keyed how.
struct OfferedLanes {
  // One mask per block of 32 lanes, bit i for lane i: the lanes that may be
  // offered; nullptr for every stored lane.
  const uint32_t* block_masks = nullptr;
  // The position offered for each lane (rising with the lane); nullptr: the lane.
  const uint64_t* positions = nullptr;
  // nullptr: the key is the score, sum * norm.
  const LaneKeys* keys = nullptr;
};

class OfferQueue;

class BoundedScanner {
 public:
  // store: 2- or 3-bit codes; norms: one per stored vector.
  BoundedScanner(const CodeStore& store, std::span<const float> norms);

  // Approximate scores of the 32 lanes of every block in [b0, b1) for nt
  // queries: out[t * out_stride + (b - b0) * 32 + lane] (lanes past the last
  // vector included, meaningless). b1 <= store.n_blocks().
  void approximate(const BoundedQuery* const* queries, std::size_t nt, uint64_t b0, uint64_t b1,
                   float* out, std::size_t out_stride) const;

  // Offers, in increasing position order, the positions of blocks [b0, b1)
  // that are stored and allowed to `top`: those whose bound shows they cannot
  // enter are skipped, the others get their exact score. approx holds the
  // approximate scores of these blocks (from `approximate`, stride 32 per
  // block). allowed: null for every position, else bit p % 64 of word p / 64
  // says whether position p may be offered (a block without one allowed
  // position costs nothing). Returns the number of exactly scored positions.
  uint64_t offer_blocks(const BoundedQuery& query, const float* approx, uint64_t b0, uint64_t b1,
                        const uint64_t* allowed, TopK& top) const;

  // As offer_blocks, the positions to verify added to `queue` (of this
  // scanner), which verifies them once it holds a full batch: a caller that
  // scans one query in many short ranges keeps one queue across its calls
  // and calls queue.flush() after the last. Returns the positions offered.
  uint64_t offer_blocks(const float* approx, uint64_t b0, uint64_t b1, const uint64_t* allowed,
                        OfferQueue& queue) const;

  // As offer_blocks, with block masks, positions other than the lanes and
  // keys other than the score (see OfferedLanes).
  uint64_t offer_lanes(const BoundedQuery& query, const float* approx, uint64_t b0, uint64_t b1,
                       const OfferedLanes& lanes, TopK& top) const;

  // As offer_lanes, the positions to verify added to `queue` (made with the
  // same `lanes`), as the queue form of offer_blocks. Returns the positions
  // offered.
  uint64_t offer_lanes(const float* approx, uint64_t b0, uint64_t b1, const OfferedLanes& lanes,
                       OfferQueue& queue) const;

  // offer_lanes over blocks [0, b_end) for one query, split over the pool:
  // each piece selects its own best top.k(), then the pieces' lists are
  // offered to `top` in position order. The k best of a union are among the
  // k best of its parts, and the selector keeps the k best in a total order
  // (score, then the earlier position), so `top` ends as one pass leaves it.
  // approx: the approximate scores of all these blocks (stride 32 per block).
  void offer_lanes_split(const BoundedQuery& query, const float* approx, uint64_t b_end,
                         const OfferedLanes& lanes, TopK& top) const;

  // The exact unnormalised sum of one stored vector (the sequential float sum
  // of its table entries in coordinate order) and its score (times its norm).
  float exact_sum(const BoundedQuery& query, uint64_t position) const;
  float exact_score(const BoundedQuery& query, uint64_t position) const {
    return exact_sum(query, position) * norms_[position];
  }

  // exact_sum of `count` (1 to kVerifyBatch) positions at once, in
  // increasing position order. A sum is a chain of dim dependent additions,
  // so a batch takes about the same time however few positions it holds.
  static constexpr std::size_t kVerifyBatch = 16;
  void exact_sums(const BoundedQuery& query, const uint64_t* positions, std::size_t count,
                  float* sums) const;

  uint64_t n_blocks() const { return store_.n_blocks(); }
  std::span<const float> norms() const { return norms_; }
  uint64_t block_bytes() const { return store_.block_bytes(); }

 private:
  uint32_t candidate_lanes(const BoundedQuery& query, const float* approx, uint64_t base,
                           uint64_t lanes, float threshold) const;
  // The keys of the two bounds of every lane of blocks [b0, b1), computed
  // once per call of offer_lanes (they do not depend on the threshold).
  struct BoundKeys {
    std::vector<float> high, low;
    bool rising = true;  // every norm >= 0: the upper bound's key is the larger
  };
  void bound_keys(const BoundedQuery& query, const float* approx, uint64_t b0, uint64_t b1,
                  const LaneKeys& keys, BoundKeys& out) const;

  const CodeStore& store_;
  std::span<const float> norms_;
  bool simd_;
  bool wide_;  // 16 lanes of AVX-512 per batch
};

// Positions of one query offered in increasing order, exactly scored a batch
// at a time and then offered to its selector in that order. Positions wait
// in the queue while the selector's threshold is the one before them: a
// position ruled out by that lower threshold is ruled out at its own turn
// too, so the selector ends as offering each at once would leave it.
class OfferQueue {
 public:
  OfferQueue(const BoundedScanner& scanner, const BoundedQuery& query, TopK& top,
             const OfferedLanes* lanes = nullptr)
      : scanner_(scanner), query_(query), top_(top), positions_of_(lanes ? lanes->positions : nullptr),
        keys_(lanes ? lanes->keys : nullptr) {}

  void push(uint64_t position) {
    positions_[count_++] = position;
    if (count_ == BoundedScanner::kVerifyBatch) flush();
  }
  // Scores and offers every waiting position.
  void flush();

  const BoundedQuery& query() const { return query_; }
  TopK& top() const { return top_; }
  uint64_t verified() const { return verified_; }

 private:
  void offer(float key, uint64_t lane) {
    if (top_.admits(key)) top_.offer(key, positions_of_ ? positions_of_[lane] : lane);
  }

  const BoundedScanner& scanner_;
  const BoundedQuery& query_;
  TopK& top_;
  const uint64_t* positions_of_;
  const LaneKeys* keys_;
  uint64_t positions_[BoundedScanner::kVerifyBatch];
  std::size_t count_ = 0;
  uint64_t verified_ = 0;
};

// Totals of positions offered and exactly scored by offer_blocks since the
// process started (for benchmarks: the share of vectors the bound could not
// rule out).
struct VerificationCounts {
  uint64_t offered = 0;
  uint64_t verified = 0;
};
VerificationCounts verification_counts();

}  // namespace varnel

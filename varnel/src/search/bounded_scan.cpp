#include "search/bounded_scan.h"

#include <algorithm>
#include <atomic>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "runtime/cpu.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/pool.h"
#include "search/pair_scan.h"

namespace varnel {

namespace {

constexpr uint64_t kLanes = CodeStore::kLanes;
constexpr uint64_t kBlocksPerPoll = 256;
// Blocks of one piece when a single query's verification is split.
constexpr uint64_t kMinBlocksPerPiece = 128;

std::atomic<uint64_t> offered_total{0};
std::atomic<uint64_t> verified_total{0};

#if defined(__x86_64__)
#define VARNEL_AVX2 __attribute__((target("avx2")))
#define VARNEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// The byte of column c of each of eight vectors, one per 32-bit lane.
VARNEL_AVX2_INLINE __m256i gather_column(const uint8_t* base, __m256i offsets, __m256i shift, uint64_t c) {
  const __m256i at = _mm256_add_epi32(offsets, _mm256_set1_epi32(static_cast<int32_t>(c * 32)));
  const __m256i words = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), at, 1);
  return _mm256_and_si256(_mm256_srlv_epi32(words, shift), _mm256_set1_epi32(0xFF));
}

VARNEL_AVX2_INLINE __m256 add_entry(__m256 sum, const float* table, uint64_t j, __m256i code) {
  return _mm256_add_ps(sum, _mm256_permutevar8x32_ps(_mm256_loadu_ps(table + j * 8), code));
}

// Exact sums of 8 * C stored vectors, one per 32-bit lane, each summed in
// coordinate order as the portable loop does (lanes never mix, so the sums
// are bit-identical). A vector's lane bytes lie 32 bytes apart; each column
// step gathers the aligned words that hold them and shifts each lane's byte
// down. Codes index the coordinate's eight table entries by a float permute.
// The C registers of sums are independent chains of dependent additions,
// which the core overlaps.
template <int C>
VARNEL_AVX2 void exact_sums_avx2(const uint8_t* base, const int32_t* word_offsets,
                                 const int32_t* shifts, uint64_t dim, uint64_t bits,
                                 const float* table, float* out) {
  __m256i offsets[C], shift[C];
  __m256 sum[C];
  for (int h = 0; h < C; ++h) {
    offsets[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(word_offsets + 8 * h));
    shift[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shifts + 8 * h));
    sum[h] = _mm256_setzero_ps();
  }
  if (bits == 2) {
    const __m256i three = _mm256_set1_epi32(3);
    for (uint64_t c = 0; c < dim / 4; ++c) {
      for (int h = 0; h < C; ++h) {
        const __m256i byte = gather_column(base, offsets[h], shift[h], c);
        sum[h] = add_entry(sum[h], table, 4 * c, _mm256_srli_epi32(byte, 6));
        sum[h] = add_entry(sum[h], table, 4 * c + 1, _mm256_and_si256(_mm256_srli_epi32(byte, 4), three));
        sum[h] = add_entry(sum[h], table, 4 * c + 2, _mm256_and_si256(_mm256_srli_epi32(byte, 2), three));
        sum[h] = add_entry(sum[h], table, 4 * c + 3, _mm256_and_si256(byte, three));
      }
    }
  } else {
    const __m256i six = _mm256_set1_epi32(0x3F), seven = _mm256_set1_epi32(7);
    for (uint64_t g = 0; g < dim / 8; ++g) {
      for (int h = 0; h < C; ++h) {
        const __m256i b0 = gather_column(base, offsets[h], shift[h], 3 * g),
                      b1 = gather_column(base, offsets[h], shift[h], 3 * g + 1),
                      b2 = gather_column(base, offsets[h], shift[h], 3 * g + 2);
        const __m256i pairs[4] = {
            _mm256_and_si256(b0, six), _mm256_and_si256(b1, six), _mm256_and_si256(b2, six),
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(b0, 6), _mm256_slli_epi32(_mm256_srli_epi32(b1, 6), 2)),
                            _mm256_slli_epi32(_mm256_srli_epi32(b2, 6), 4))};
        for (uint64_t m = 0; m < 4; ++m) {
          sum[h] = add_entry(sum[h], table, 8 * g + 2 * m, _mm256_srli_epi32(pairs[m], 3));
          sum[h] = add_entry(sum[h], table, 8 * g + 2 * m + 1, _mm256_and_si256(pairs[m], seven));
        }
      }
    }
  }
  for (int h = 0; h < C; ++h) _mm256_storeu_ps(out + 8 * h, sum[h]);
}

// GCC 12's AVX-512 headers start registers from undefined values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define VARNEL_AVX512 __attribute__((target("avx512f,avx2")))
#define VARNEL_AVX512_INLINE __attribute__((target("avx512f,avx2"), always_inline)) inline

VARNEL_AVX512_INLINE __m512i gather_column16(const uint8_t* base, __m512i offsets, __m512i shift, uint64_t c) {
  const __m512i at = _mm512_add_epi32(offsets, _mm512_set1_epi32(static_cast<int32_t>(c * 32)));
  const __m512i words = _mm512_i32gather_epi32(at, base, 1);
  return _mm512_and_si512(_mm512_srlv_epi32(words, shift), _mm512_set1_epi32(0xFF));
}

// The permute reads only the low four bits of each code (all below 8): the
// upper half of the row register is never selected.
VARNEL_AVX512_INLINE __m512 add_entry16(__m512 sum, const float* table, uint64_t j, __m512i code) {
  const __m512 row = _mm512_castps256_ps512(_mm256_loadu_ps(table + j * 8));
  return _mm512_add_ps(sum, _mm512_permutexvar_ps(code, row));
}

// exact_sums_avx2 with sixteen lanes per register: one chain of additions
// sums twice the vectors.
VARNEL_AVX512 void exact_sums_avx512(const uint8_t* base, const int32_t* word_offsets,
                                     const int32_t* shifts, uint64_t dim, uint64_t bits,
                                     const float* table, float* out) {
  const __m512i offsets = _mm512_loadu_si512(word_offsets);
  const __m512i shift = _mm512_loadu_si512(shifts);
  __m512 sum = _mm512_setzero_ps();
  if (bits == 2) {
    const __m512i three = _mm512_set1_epi32(3);
    for (uint64_t c = 0; c < dim / 4; ++c) {
      const __m512i byte = gather_column16(base, offsets, shift, c);
      sum = add_entry16(sum, table, 4 * c, _mm512_srli_epi32(byte, 6));
      sum = add_entry16(sum, table, 4 * c + 1, _mm512_and_si512(_mm512_srli_epi32(byte, 4), three));
      sum = add_entry16(sum, table, 4 * c + 2, _mm512_and_si512(_mm512_srli_epi32(byte, 2), three));
      sum = add_entry16(sum, table, 4 * c + 3, _mm512_and_si512(byte, three));
    }
  } else {
    const __m512i six = _mm512_set1_epi32(0x3F), seven = _mm512_set1_epi32(7);
    for (uint64_t g = 0; g < dim / 8; ++g) {
      const __m512i b0 = gather_column16(base, offsets, shift, 3 * g),
                    b1 = gather_column16(base, offsets, shift, 3 * g + 1),
                    b2 = gather_column16(base, offsets, shift, 3 * g + 2);
      const __m512i pairs[4] = {
          _mm512_and_si512(b0, six), _mm512_and_si512(b1, six), _mm512_and_si512(b2, six),
          _mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(b0, 6), _mm512_slli_epi32(_mm512_srli_epi32(b1, 6), 2)),
                          _mm512_slli_epi32(_mm512_srli_epi32(b2, 6), 4))};
      for (uint64_t m = 0; m < 4; ++m) {
        sum = add_entry16(sum, table, 8 * g + 2 * m, _mm512_srli_epi32(pairs[m], 3));
        sum = add_entry16(sum, table, 8 * g + 2 * m + 1, _mm512_and_si512(pairs[m], seven));
      }
    }
  }
  _mm512_storeu_ps(out, sum);
}
#pragma GCC diagnostic pop

// candidate_lanes for a whole block of 32 lanes, eight at a time. The
// comparisons are ordered (a NaN product compares false, so its lane stays a
// candidate) and each product is rounded on its own, as in the scalar loop.
VARNEL_AVX2 uint32_t candidate_lanes_avx2(const float* approx, const float* norms, float up,
                                          float down, float threshold) {
  const __m256 upper = _mm256_set1_ps(up), lower = _mm256_set1_ps(down);
  const __m256 limit = _mm256_set1_ps(threshold);
  uint32_t ruled_out = 0;
  for (int r = 0; r < 4; ++r) {
    const __m256 a = _mm256_loadu_ps(approx + 8 * r), norm = _mm256_loadu_ps(norms + 8 * r);
    const __m256 high = _mm256_mul_ps(_mm256_add_ps(a, upper), norm);
    const __m256 low = _mm256_mul_ps(_mm256_add_ps(a, lower), norm);
    const __m256 out = _mm256_and_ps(_mm256_cmp_ps(high, limit, _CMP_LE_OQ), _mm256_cmp_ps(low, limit, _CMP_LE_OQ));
    ruled_out |= static_cast<uint32_t>(_mm256_movemask_ps(out)) << (8 * r);
  }
  return ~ruled_out;
}

bool verify_with_simd() {
  return cpu_features().avx2 && active_scan_path() != ScanPath::Portable;
}

// The AVX-512 paths verify with AVX-512 too.
bool verify_wide() {
  const ScanPath path = active_scan_path();
  return cpu_features().avx512f && (path == ScanPath::Avx512 || path == ScanPath::Avx512Vbmi);
}
#else
bool verify_with_simd() { return false; }
bool verify_wide() { return false; }
#endif

}  // namespace

void OfferQueue::flush() {
  if (count_ == 0) return;
  float sums[BoundedScanner::kVerifyBatch];
  scanner_.exact_sums(query_, positions_, count_, sums);
  const std::span<const float> norms = scanner_.norms();
  if (keys_ != nullptr) {
    float lane_norms[BoundedScanner::kVerifyBatch], keys[BoundedScanner::kVerifyBatch];
    for (std::size_t i = 0; i < count_; ++i) lane_norms[i] = norms[positions_[i]];
    keys_->keys(sums, lane_norms, count_, keys);
    for (std::size_t i = 0; i < count_; ++i) offer(keys[i], positions_[i]);
  } else {
    for (std::size_t i = 0; i < count_; ++i) offer(sums[i] * norms[positions_[i]], positions_[i]);
  }
  verified_ += count_;
  verified_total.fetch_add(count_, std::memory_order_relaxed);
  count_ = 0;
}

BoundedScanner::BoundedScanner(const CodeStore& store, std::span<const float> norms)
    : store_(store), norms_(norms), simd_(verify_with_simd()), wide_(simd_ && verify_wide()) {
  if ((store.bits() != 2 && store.bits() != 3) || norms.size() < store.size()) {
    throw Error("bounded scan: 2- or 3-bit codes with one norm per vector");
  }
}

void BoundedScanner::approximate(const BoundedQuery* const* queries, std::size_t nt, uint64_t b0,
                                 uint64_t b1, float* out, std::size_t out_stride) const {
  if (b1 > store_.n_blocks()) throw Error("bounded scan: block range beyond the stored blocks");
  std::vector<const QueryTable*> tables(nt);
  for (std::size_t t = 0; t < nt; ++t) tables[t] = &queries[t]->approx;
  if (store_.bits() == 2) {
    // Each byte holds two 4-bit pair indices, as a 4-bit layout holds two
    // codes: the 4-bit kernels scan it with dim / 2 "coordinates".
    scan_blocks(tables.data(), nt, store_.blocked().bytes.data(), store_.dim() / 2, b0, b1, out,
                out_stride);
  } else {
    const bool split = nt > 0 && queries[0]->split;
    for (std::size_t t = 1; t < nt; ++t) {
      if (queries[t]->split != split) throw Error("bounded scan: queries of one call need tables of one form");
    }
    auto scan = split ? scan_split_pair_blocks : scan_pair_blocks;
    scan(tables.data(), nt, store_.blocked().bytes.data(), store_.dim(), b0, b1, out, out_stride);
  }
}

float BoundedScanner::exact_sum(const BoundedQuery& query, uint64_t position) const {
  const uint64_t dim = store_.dim();
  uint8_t small[4096];
  std::vector<uint8_t> large;
  uint8_t* codes = small;
  if (dim > sizeof small) {
    large.resize(dim);
    codes = large.data();
  }
  store_.decode(position, codes);
  const float* table = query.exact.data();
  float sum = 0.0f;
  for (uint64_t j = 0; j < dim; ++j) sum = sum + table[j * 8 + codes[j]];
  return sum;
}

void BoundedScanner::exact_sums(const BoundedQuery& query, const uint64_t* positions,
                                std::size_t count, float* sums) const {
#if defined(__x86_64__)
  // Gather offsets are 32-bit: positions far apart go in separate passes.
  constexpr uint64_t kReach = uint64_t{1} << 30;
  const uint64_t block_bytes = store_.block_bytes();
  auto address = [&](uint64_t p) { return p / kLanes * block_bytes + p % kLanes; };
  if (simd_ && count > 0 && address(positions[count - 1]) - (address(positions[0]) & ~uint64_t{3}) +
                                    block_bytes < kReach) {
    const uint64_t origin = address(positions[0]) & ~uint64_t{3};
    alignas(64) int32_t offsets[kVerifyBatch], shifts[kVerifyBatch];
    for (std::size_t i = 0; i < kVerifyBatch; ++i) {
      const uint64_t at = address(positions[i < count ? i : count - 1]);
      offsets[i] = static_cast<int32_t>((at & ~uint64_t{3}) - origin);
      shifts[i] = static_cast<int32_t>(8 * (at & 3));
    }
    float lanes[kVerifyBatch];
    const uint8_t* base = store_.blocked().bytes.data() + origin;
    const uint64_t dim = store_.dim(), bits = store_.bits();
    if (wide_) {
      exact_sums_avx512(base, offsets, shifts, dim, bits, query.exact.data(), lanes);
    } else if (count > 8) {
      exact_sums_avx2<2>(base, offsets, shifts, dim, bits, query.exact.data(), lanes);
    } else {
      exact_sums_avx2<1>(base, offsets, shifts, dim, bits, query.exact.data(), lanes);
    }
    std::copy_n(lanes, count, sums);
    return;
  }
#endif
  for (std::size_t i = 0; i < count; ++i) sums[i] = exact_sum(query, positions[i]);
}

// Lanes [0, lanes) of the block at `base` whose upper bound exceeds
// `threshold` (or is NaN), as bits.
uint32_t BoundedScanner::candidate_lanes(const BoundedQuery& query, const float* approx,
                                         uint64_t base, uint64_t lanes, float threshold) const {
  const float* norms = norms_.data() + base;
  const float up = query.upper_offset, down = query.lower_offset;
#if defined(__x86_64__)
  if (simd_ && lanes == kLanes) return candidate_lanes_avx2(approx, norms, up, down, threshold);
#endif
  uint32_t mask = 0;
  for (uint64_t v = 0; v < lanes; ++v) {
    const float high = (approx[v] + up) * norms[v];
    const float low = (approx[v] + down) * norms[v];
    const bool ruled_out = high <= threshold && low <= threshold;
    mask |= static_cast<uint32_t>(!ruled_out) << v;
  }
  return mask;
}

uint64_t BoundedScanner::offer_blocks(const BoundedQuery& query, const float* approx, uint64_t b0,
                                      uint64_t b1, const uint64_t* allowed, TopK& top) const {
  OfferQueue queue(*this, query, top);
  offer_blocks(approx, b0, b1, allowed, queue);
  queue.flush();
  return queue.verified();
}

uint64_t BoundedScanner::offer_blocks(const float* approx, uint64_t b0, uint64_t b1,
                                      const uint64_t* allowed, OfferQueue& queue) const {
  const uint64_t n = store_.size();
  const BoundedQuery& query = queue.query();
  TopK& top = queue.top();
  uint64_t offered = 0;
  for (uint64_t b = b0; b < b1; ++b) {
    // A whole index in one call (one query over all threads) may verify for
    // long when many scores tie.
    if ((b - b0) % kBlocksPerPoll == kBlocksPerPoll - 1) poll_interrupt();
    const uint64_t base = b * kLanes;
    if (base >= n) break;
    const uint64_t lanes = std::min<uint64_t>(kLanes, n - base);
    uint32_t wanted = lanes == kLanes ? ~uint32_t{0} : (uint32_t{1} << lanes) - 1;
    if (allowed != nullptr) wanted &= static_cast<uint32_t>(allowed[base / 64] >> (base % 64));
    if (wanted == 0) continue;
    offered += static_cast<uint64_t>(__builtin_popcount(wanted));
    // The threshold of the last offers: it only rises, so a position ruled
    // out by it is ruled out at its own turn too.
    if (top.has_plain_threshold()) {
      wanted &= candidate_lanes(query, approx + (b - b0) * kLanes, base, lanes, top.threshold());
    }
    while (wanted != 0) {
      queue.push(base + static_cast<unsigned>(__builtin_ctz(wanted)));
      wanted &= wanted - 1;
    }
  }
  offered_total.fetch_add(offered, std::memory_order_relaxed);
  return offered;
}

// The keyed form of candidate_lanes. The exact sum s lies in [fl(a + C-),
// fl(a + C+)] (point 4 above); the key is monotone in s for the lane's norm
// (LaneKeys), so key(s) lies between the keys of the two bounds, and a lane
// whose two bound keys are both <= threshold cannot be admitted. For a norm
// >= 0 the key rises with s, so the upper bound's key is the larger and
// decides alone. A NaN bound key fails the comparison and keeps the lane; a
// NaN exact key is never admitted to a full list, so skipping a lane whose
// exact key would be NaN changes nothing either.
void BoundedScanner::bound_keys(const BoundedQuery& query, const float* approx, uint64_t b0,
                                uint64_t b1, const LaneKeys& keys, BoundKeys& out) const {
  const uint64_t first = b0 * kLanes, count = std::min(b1 * kLanes, store_.size()) - first;
  const float* norms = norms_.data() + first;
  out.high.resize(count);
  out.rising = keys.offset_keys(approx, query.upper_offset, norms, count, out.high.data());
  if (out.rising) return;
  out.low.resize(count);
  keys.offset_keys(approx, query.lower_offset, norms, count, out.low.data());
}

namespace {

#if defined(__x86_64__)
// The lanes of a whole block whose key is not <= threshold (above it, or
// NaN), as bits; SSE2, which every x86-64 has.
uint32_t keys_not_at_most(const float* keys, float threshold) {
  const __m128 limit = _mm_set1_ps(threshold);
  uint32_t mask = 0;
  for (int r = 0; r < 8; ++r) {
    const __m128 above = _mm_cmpnle_ps(_mm_loadu_ps(keys + 4 * r), limit);
    mask |= static_cast<uint32_t>(_mm_movemask_ps(above)) << (4 * r);
  }
  return mask;
}
#endif

uint32_t keyed_candidates(const float* high, const float* low, bool rising, uint64_t lanes,
                          float threshold) {
#if defined(__x86_64__)
  if (lanes == kLanes) {
    const uint32_t mask = keys_not_at_most(high, threshold);
    return rising ? mask : mask | keys_not_at_most(low, threshold);
  }
#endif
  uint32_t mask = 0;
  for (uint64_t v = 0; v < lanes; ++v) {
    const bool ruled_out = high[v] <= threshold && (rising || low[v] <= threshold);
    mask |= static_cast<uint32_t>(!ruled_out) << v;
  }
  return mask;
}

}  // namespace

uint64_t BoundedScanner::offer_lanes(const BoundedQuery& query, const float* approx, uint64_t b0,
                                     uint64_t b1, const OfferedLanes& lanes, TopK& top) const {
  OfferQueue pending(*this, query, top, &lanes);
  offer_lanes(approx, b0, b1, lanes, pending);
  pending.flush();
  return pending.verified();
}

uint64_t BoundedScanner::offer_lanes(const float* approx, uint64_t b0, uint64_t b1,
                                     const OfferedLanes& lanes, OfferQueue& pending) const {
  const uint64_t n = store_.size();
  const BoundedQuery& query = pending.query();
  TopK& top = pending.top();
  uint64_t offered = 0;
  thread_local BoundKeys bounds;
  if (lanes.keys && b0 * kLanes < n) bound_keys(query, approx, b0, b1, *lanes.keys, bounds);
  for (uint64_t b = b0; b < b1; ++b) {
    if ((b - b0) % kBlocksPerPoll == kBlocksPerPoll - 1) poll_interrupt();
    const uint64_t base = b * kLanes;
    if (base >= n) break;
    const uint64_t count = std::min<uint64_t>(kLanes, n - base);
    uint32_t wanted = count == kLanes ? ~uint32_t{0} : (uint32_t{1} << count) - 1;
    if (lanes.block_masks != nullptr) wanted &= lanes.block_masks[b];
    if (wanted == 0) continue;
    offered += static_cast<uint64_t>(__builtin_popcount(wanted));
    // The threshold only rises, as in offer_blocks.
    if (top.has_plain_threshold()) {
      const float* block_approx = approx + (b - b0) * kLanes;
      const uint64_t at = (b - b0) * kLanes;
      wanted &= lanes.keys ? keyed_candidates(bounds.high.data() + at, bounds.rising ? nullptr : bounds.low.data() + at,
                                              bounds.rising, count, top.threshold())
                           : candidate_lanes(query, block_approx, base, count, top.threshold());
    }
    while (wanted != 0) {
      pending.push(base + static_cast<unsigned>(__builtin_ctz(wanted)));
      wanted &= wanted - 1;
    }
  }
  offered_total.fetch_add(offered, std::memory_order_relaxed);
  return offered;
}

void BoundedScanner::offer_lanes_split(const BoundedQuery& query, const float* approx, uint64_t b_end,
                                       const OfferedLanes& lanes, TopK& top) const {
  const uint64_t k = top.k();
  // A few pieces per thread even out the verification; each piece should
  // span many times k lanes, so that its own warm-up verifies little.
  const uint64_t most = std::min<uint64_t>(4 * num_threads(), b_end * kLanes / (16 * k));
  const uint64_t pieces = std::clamp<uint64_t>(b_end / kMinBlocksPerPiece, 1, std::max<uint64_t>(1, most));
  if (pieces == 1) {
    offer_lanes(query, approx, 0, b_end, lanes, top);
    return;
  }
  std::vector<float> keys(pieces * k);
  std::vector<int64_t> positions(pieces * k);
  parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
    for (std::size_t piece = begin; piece < end; ++piece) {
      const uint64_t b0 = b_end * piece / pieces, b1 = b_end * (piece + 1) / pieces;
      TopK part(k);
      offer_lanes(query, approx + b0 * kLanes, b0, b1, lanes, part);
      part.finish(keys.data() + piece * k, positions.data() + piece * k);
    }
  });
  std::vector<Candidate> kept;
  append_kept(keys.data(), positions.data(), pieces * k, kept);
  offer_kept(top, kept);
}

VerificationCounts verification_counts() {
  return {offered_total.load(std::memory_order_relaxed), verified_total.load(std::memory_order_relaxed)};
}

}  // namespace varnel

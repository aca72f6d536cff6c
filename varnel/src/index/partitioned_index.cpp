#include "index/partitioned_index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <optional>
#include <utility>

#include "index/batch_checks.h"
#include "index/kmeans.h"
#include "index/query.h"
#include "index/rows_by_id.h"
#include "index/skerry_index.h"
#include "quantize/encode.h"
#include "quantize/pack.h"
#include "quantize/wht.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/page_memory.h"
#include "runtime/pool.h"
#include "search/bounded_scan.h"
#include "search/lut_scan.h"
#include "search/search.h"
#include "search/top_k.h"

namespace varnel {
namespace {

// The k-means stream is kept apart from the rotation's stream of the same seed.
constexpr uint64_t kTrainSeedOffset = 0x6b6d65616e73;  // "kmeans"
// The shortlist's integer sums stay exact in 32 bits up to this dim
// (127 * 127 * 2^17 < 2^31); a larger dim scores every centroid in float.
constexpr uint64_t kMaxShortlistDim = uint64_t{1} << 17;
// An index of at most this many lists keeps its centroids' tiled copy as
// well as the rows: its queries often probe so large a share of the lists
// that the shortlist is skipped and every list's product is needed, and the
// copy is small. A larger index holds the rows only (at 1M vectors and 4000
// lists the tiles were 2 of 108 resident bytes per vector).
constexpr uint64_t kMaxListsWithTiles = 64;
// An add of at most this many vectors finds their lists from the centroid
// rows when the index keeps no tiles: laying the tiles out (half a
// millisecond at 4000 lists of dim 128) costs more than a few vectors'
// products.
constexpr uint64_t kMaxRowsForRowNearest = 2;
// Vectors encoded per task of `add_with_ids`.
constexpr uint64_t kEncodeChunk = 512;
// After an add that moved at least this many bytes of lists into larger
// arrays, the allocator's free pages go back to the system
// (release_free_pages): the old arrays are holes in the heap that only lists
// growing as much again would fill. A release costs well under a millisecond
// per hundred megabytes of heap.
constexpr uint64_t kReleaseMovedBytes = uint64_t{1} << 20;
// Positions in a list are 32-bit in the keys that order results.
constexpr uint64_t kMaxListSize = std::numeric_limits<uint32_t>::max();
// Queries one task of a batch takes: their probes are grouped by list, so a
// list's codes are read once for all of them.
constexpr uint64_t kMaxQueriesPerGroup = 256;
// A batch groups its queries by list only when a group's probes visit each
// list about this many times on average: otherwise grouping saves no reads
// and the candidates' codes have left the cache by the time they are scored.
constexpr uint64_t kMinSharedVisits = 2;
// A single query spreads its probes over the pool only when they hold at
// least this many vectors: below, handing work over costs more than it saves.
constexpr uint64_t kMinVectorsToSplit = 8192;

// <query, row_of(i)> for i < count, each the plain sequential float sum the
// coarse kernels compute, written by store(i, dot); kSideBySide rows at once
// so that their chains of adds overlap.
template <class RowOf, class Store>
void sequential_dots(const float* query, uint64_t dim, uint64_t count, const RowOf& row_of, const Store& store) {
  constexpr uint64_t kSideBySide = 8;
  for (uint64_t first = 0; first < count; first += kSideBySide) {
    const uint64_t lanes = std::min(kSideBySide, count - first);
    const float* rows[kSideBySide];
    float sums[kSideBySide] = {};
    for (uint64_t c = 0; c < kSideBySide; ++c) rows[c] = row_of(first + std::min(c, lanes - 1));
    for (uint64_t j = 0; j < dim; ++j) {
      for (uint64_t c = 0; c < kSideBySide; ++c) sums[c] = sums[c] + query[j] * rows[c][j];
    }
    for (uint64_t c = 0; c < lanes; ++c) store(first + c, sums[c]);
  }
}

// "{what} {row}{where} has a NaN ...", as the other indexes word it.
void check_rows_are_usable(std::span<const float> rows, uint64_t dim, const char* what,
                           const char* where = "") {
  if (const auto row = first_unusable_query(rows, dim)) {
    throw Error(std::string(what) + " " + std::to_string(*row) + where +
                " has a NaN or infinite value, or a norm too large for float32");
  }
}

uint64_t key_of(uint64_t list, uint64_t position) { return list << 32 | position; }

// At 4 bits the byte-table scan keeps this many candidates for `width`
// results, which are then scored exactly (see rescore_candidates).
uint64_t table_candidates(uint64_t width) { return width + std::max<uint64_t>(width, 16); }

// One query's selector and what it needs while lists pass by.
struct QueryTables {
  QueryTable table;      // 4 bits
  BoundedQuery bounded;  // 2 and 3 bits
  // 4 bits, for vectors scored one by one: the rotated query's coordinate j
  // times each codebook value v at [16 j + v], so that a vector's float sum
  // is a chain of additions of exactly the products the rescoring multiplies.
  std::vector<float> products;
};

// Selector keys are "higher is better" (the negated distance for L2), so one
// selector serves every metric; a vector's key comes from its estimated
// inner product and its length.
struct KeyOfScore : MetricKey {
  float operator()(float ip, float length) const { return of_inner_product(ip, length); }
};

// A query's probed lists, in increasing order, with <q, centroid> of each.
struct ProbedLists {
  std::vector<uint32_t> lists;
  std::vector<float> dots;
  bool direct = false;    // a filter's every admitted vector is scored one by one
  bool products = false;  // 4 bits: some vectors are scored one by one

  // `lists` as choose_lists returns them, `all_dots` as it leaves them.
  ProbedLists(std::vector<uint32_t> chosen, const float* all_dots) : lists(std::move(chosen)), dots(lists.size()) {
    for (std::size_t i = 0; i < lists.size(); ++i) dots[i] = all_dots[lists[i]];
  }
  // <q, centroid> of probed list `l`.
  float dot(uint32_t l) const {
    return dots[std::size_t(std::lower_bound(lists.begin(), lists.end(), l) - lists.begin())];
  }
};

struct QueryState {
  const ProbedLists* probed = nullptr;
  const QueryTables* tables = nullptr;
  KeyOfScore key_of;
  TopK top;
  // 4 bits: keys of vectors to score one by one, offered in key order before
  // anything later is (ListScanner::offer_waiting).
  std::vector<uint64_t> waiting;
  explicit QueryState(uint64_t k) : top(k) {}
};

// Positions awaiting exact scores, verified in batches in increasing order.
class Verifier {
 public:
  Verifier(const BoundedScanner& scanner, const BoundedQuery& query, const PartitionedIndex::List& list,
           float offset, const KeyOfScore& key_of, uint64_t key_base, TopK& top)
      : scanner_(scanner), query_(query), list_(list), offset_(offset), key_of_(key_of), key_base_(key_base),
        top_(top) {}
  void push(uint64_t position) {
    positions_[count_++] = position;
    if (count_ == BoundedScanner::kVerifyBatch) flush();
  }
  void flush() {
    if (count_ == 0) return;
    float sums[BoundedScanner::kVerifyBatch];
    scanner_.exact_sums(query_, positions_, count_, sums);
    for (std::size_t i = 0; i < count_; ++i) {
      const uint64_t p = positions_[i];
      const float score = key_of_((offset_ + list_.shifts[p]) + sums[i] * list_.norms[p], list_.lengths[p]);
      if (top_.admits(score)) top_.offer(score, key_base_ + p);
    }
    count_ = 0;
  }

 private:
  const BoundedScanner& scanner_;
  const BoundedQuery& query_;
  const PartitionedIndex::List& list_;
  float offset_;
  const KeyOfScore& key_of_;
  uint64_t key_base_;
  TopK& top_;
  uint64_t positions_[BoundedScanner::kVerifyBatch];
  std::size_t count_ = 0;
};

}  // namespace

// ---- Construction and training ----

PartitionedIndex PartitionedIndex::create(uint64_t dim, uint64_t bits, uint64_t lists,
                                          Rotation rotation, uint64_t seed) {
  if (dim == 0) throw Error("dim must be at least 1");
  const uint64_t coded = coded_dim_for(dim);
  SkerryIndex::with_options(coded, bits, rotation, seed);  // the same checks, the same messages
  if (lists == 0) throw Error("lists must be at least 1");
  if (lists > kMaxLists) throw Error("lists must be at most " + std::to_string(kMaxLists));
  PartitionedIndex index;
  index.dim_ = coded;
  index.input_dim_ = dim;
  index.bits_ = bits;
  index.lists_ = lists;
  index.rotation_ = rotation;
  index.seed_ = seed;
  index.lists_data_.resize(lists);
  for (List& list : index.lists_data_) list.codes = index.empty_codes();
  index.where_ = IdTable(lists);
  return index;
}

const BlockRotations& PartitionedIndex::block_rotations() const {
  return rotations_.get_or_init([&] { return precompute_block_matrices(dim_, rotation_, seed_); });
}

const Codebook& PartitionedIndex::codebook() const {
  return codebook_.get_or_init([&] { return varnel::codebook(bits_, dim_); });
}

std::span<const float> PartitionedIndex::sign_vector() const {
  return signs_.get_or_init([&] {
    return uses_sign_vector(rotation_) ? make_sign_vector(dim_, seed_ + kSignSeedOffset) : std::vector<float>{};
  });
}

// On the calling thread, before any worker needs them.
void PartitionedIndex::prepare_tables() const {
  block_rotations();
  codebook();
  sign_vector();
}

// 4-bit lists keep compact tails: the list scan hands the tail to the scan
// kernel as a whole block. The 2- and 3-bit scans read the blocks in place.
CodeStore PartitionedIndex::empty_codes() const {
  return bits_ == 4 ? CodeStore::with_compact_tail(dim_, bits_) : CodeStore(dim_, bits_);
}

// Codes in the form an owned list keeps (a mapped store stays as it is).
CodeStore PartitionedIndex::owned_codes(const CodeStore& codes) const {
  if (codes.is_mapped() || codes.has_compact_tail() || !empty_codes().has_compact_tail()) return codes;
  return codes.compacted();
}

bool PartitionedIndex::is_mapped() const {
  for (const List& list : lists_data_) {
    if (list.codes.is_mapped() || list.norms.is_mapped() || list.shifts.is_mapped() || list.lengths.is_mapped()) {
      return true;
    }
  }
  return false;
}

void PartitionedIndex::refuse_if_mapped() const {
  if (is_mapped()) throw ArgumentError(kMappedReadOnly);
}

PartitionedIndex PartitionedIndex::owned_copy() const {
  PartitionedIndex copy = *this;
  for (List& list : copy.lists_data_) {
    list.codes = owned_codes(list.codes.owned_copy());
    list.norms = list.norms.owned_copy();
    list.shifts = list.shifts.owned_copy();
    list.lengths = list.lengths.owned_copy();
  }
  return copy;
}

void PartitionedIndex::train(std::span<const float> sample) {
  refuse_if_mapped();
  const uint64_t n = vector_count(sample.size(), dim_);
  if (len() > 0) throw Error("train needs an empty index: this one holds " + std::to_string(len()) + " vectors");
  check_rows_are_usable(sample, dim_, "vector", " of the sample");
  KMeansOptions options;
  options.max_per_list = kTrainPerList;
  options.iterations = kTrainIterations;
  options.warmup_iterations = kTrainWarmup;
  options.seed = seed_ + kTrainSeedOffset;
  std::vector<float> centroids = train_kmeans(sample, n, dim_, lists_, options);
  if (const auto row = first_unstorable_vector(centroids, dim_)) {
    throw ArgumentError("centroid " + std::to_string(*row) +
                        " has a norm too large for float32 squares (above 1.8e19): no vector could be "
                        "added near it; scale the sample down");
  }
  set_centroids(centroids);
}

void PartitionedIndex::set_centroids(std::span<const float> centroids) {
  refuse_if_mapped();
  stamp_.renew();
  if (len() > 0) throw Error("centroids can change only while the index is empty");
  check_centroid_values(centroids);
  // A vector joins its list with its residual to the centroid, whose norm
  // must be one add can store: against a centroid this long, every vector
  // near the origin (np.ones, say) would fail to add.
  if (const auto row = first_unstorable_vector(centroids, dim_)) {
    throw ArgumentError("centroid " + std::to_string(*row) +
                        " has a norm too large for float32 squares (above 1.8e19): no vector could be "
                        "added near it; scale the centroids down");
  }
  install_centroids(centroids);
}

void PartitionedIndex::check_centroid_values(std::span<const float> centroids) const {
  if (centroids.size() != lists_ * dim_) throw Error("centroids must hold lists * dim values");
  for (const float value : centroids) {
    if (!std::isfinite(value)) throw Error("centroids must be finite");
  }
}

void PartitionedIndex::install_centroids(std::span<const float> centroids) {
  CoarseTable table(centroids, lists_, dim_);
  std::vector<float> half_norms(table.half_norms().begin(), table.half_norms().end());
  CoarseShortlist shortlist =
      dim_ <= kMaxShortlistDim ? CoarseShortlist(centroids, half_norms, lists_, dim_) : CoarseShortlist();
  const bool keep_tiles = shortlist.empty() || lists_ <= kMaxListsWithTiles;
  if (!keep_tiles) table = CoarseTable();
  half_norms_ = std::move(half_norms);
  filter_tiles_.reset();
  centroids_.assign(centroids.begin(), centroids.end());
  coarse_ = std::move(table);
  shortlist_ = std::move(shortlist);
}

// ---- Ids ----

// Reports the first id, in batch order, that is stored already or repeats
// an earlier one of the batch.
void PartitionedIndex::check_ids_are_new(std::span<const uint64_t> ids) const {
  const std::optional<uint64_t> repeat = first_repeat(ids);
  const uint64_t end = repeat ? *repeat : ids.size();
  for (uint64_t i = 0; i < end; ++i) {
    if (contains(ids[i])) fail_duplicate(ids[i]);
  }
  if (repeat) fail_duplicate(ids[*repeat]);
}

bool PartitionedIndex::locate(uint64_t id, uint64_t* list, uint64_t* position) const {
  IdTable::Place place;
  if (!where_.find(id, ids_of(), &place)) return false;
  *list = place.list;
  *position = place.position;
  return true;
}

bool PartitionedIndex::nearer_list_among(const float* x, uint32_t own, std::span<const uint32_t> lists) const {
  // Row 0 is the own list's centroid, row i the centroid of lists[i - 1].
  std::vector<float> nearness(lists.size() + 1);
  sequential_dots(
      x, dim_, nearness.size(),
      [&](uint64_t i) { return centroids_.data() + uint64_t{i == 0 ? own : lists[i - 1]} * dim_; },
      [&](uint64_t i, float dot) { nearness[i] = dot - half_norms_[i == 0 ? own : lists[i - 1]]; });
  return std::any_of(nearness.begin() + 1, nearness.end(), [&](float value) { return value > nearness[0]; });
}

std::vector<uint64_t> PartitionedIndex::list_sizes() const {
  std::vector<uint64_t> sizes(lists_);
  for (uint64_t l = 0; l < lists_; ++l) sizes[l] = lists_data_[l].ids.size();
  return sizes;
}

// ---- Adding ----

namespace {

// The scale and shift of one residual (see the header), from its rotation
// `rotated_residual`, its list's rotated centroid, its codes and its norm.
struct ResidualTerms {
  float scale;
  float shift;
};

ResidualTerms residual_terms(const float* residual, const float* centroid, const float* rotated_residual,
                             const float* rotated_centroid, const uint8_t* codes, const float* values,
                             uint64_t dim, float norm) {
  double along = 0.0, centroid_along = 0.0, centroid_dot = 0.0;
  for (uint64_t j = 0; j < dim; ++j) {
    const double value = values[codes[j]];
    along += double(rotated_residual[j]) * value;
    centroid_along += double(rotated_centroid[j]) * value;
    centroid_dot += double(centroid[j]) * double(residual[j]);
  }
  // along = |r| <u, d>. A direction coded so badly that <u, d> falls to one
  // half (or a residual of length zero) keeps the plain norm, so that a
  // scale is never more than twice the residual's length.
  const double length = norm;
  const double scale = along > 0.5 * length ? length * length / along : length;
  return {float(scale), float(centroid_dot - scale * centroid_along)};
}

}  // namespace

PartitionedIndex::RotatedCentroids PartitionedIndex::rotate_centroids(std::span<const uint32_t> assignment) const {
  RotatedCentroids rotated;
  rotated.padded_dim = block_rotations().padded_dim;
  rotated.row_of.assign(lists_, 0);
  std::vector<uint8_t> used(lists_, 0);
  for (const uint32_t l : assignment) used[l] = 1;
  std::vector<float> chosen;
  uint64_t count = 0;
  for (uint64_t l = 0; l < lists_; ++l) {
    if (!used[l]) continue;
    rotated.row_of[l] = uint32_t(count++);
    chosen.insert(chosen.end(), centroids_.begin() + l * dim_, centroids_.begin() + (l + 1) * dim_);
  }
  rotated.rows = prepare_queries(chosen, count, dim_, sign_vector(), block_rotations().matrices,
                                 block_size(rotation_), rotated.padded_dim);
  return rotated;
}

void PartitionedIndex::encode_batch(std::span<const float> vectors, std::span<const uint32_t> assignment,
                                    std::span<const uint64_t> positions) {
  prepare_tables();
  const uint64_t m = assignment.size();
  const uint64_t row = dim_ / 8 * bits_;
  const uint64_t padded = block_rotations().padded_dim;
  const RotatedCentroids rotated_centroids = rotate_centroids(assignment);
  const std::vector<float>& values = codebook().centroids;
  const uint64_t chunks = (m + kEncodeChunk - 1) / kEncodeChunk;
  // Sized by the batch as well: a few vectors of a large dim need no room
  // for a whole chunk of them.
  const uint64_t held = std::min(kEncodeChunk, m);
  parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
    std::vector<float> residuals(held * dim_), norms(held);
    std::vector<uint8_t> rows(held * row), codes(dim_);
    for (std::size_t chunk = begin; chunk < end; ++chunk) {
      poll_interrupt();
      const uint64_t first = chunk * kEncodeChunk;
      const uint64_t count = std::min(kEncodeChunk, m - first);
      for (uint64_t i = 0; i < count; ++i) {
        const float* x = vectors.data() + (first + i) * dim_;
        const float* c = centroids_.data() + uint64_t{assignment[first + i]} * dim_;
        float* r = residuals.data() + i * dim_;
        for (uint64_t j = 0; j < dim_; ++j) r[j] = x[j] - c[j];
      }
      const std::span<const float> batch(residuals.data(), count * dim_);
      encode_into(batch, count, dim_, sign_vector(), block_rotations().matrices, block_size(rotation_), padded,
                  codebook().boundaries, bits_, std::span<uint8_t>(rows.data(), count * row),
                  std::span<float>(norms.data(), count));
      const std::vector<float> rotated =
          prepare_queries(batch, count, dim_, sign_vector(), block_rotations().matrices, block_size(rotation_), padded);
      for (uint64_t i = 0; i < count; ++i) {
        const uint32_t l = assignment[first + i];
        unpack_row(std::span<const uint8_t>(rows.data() + i * row, row), dim_, bits_, codes);
        const ResidualTerms terms =
            residual_terms(residuals.data() + i * dim_, centroids_.data() + uint64_t{l} * dim_,
                           rotated.data() + i * padded, rotated_centroids.row(l),
                           codes.data(), values.data(), dim_, norms[i]);
        List& list = lists_data_[l];
        const uint64_t position = positions[first + i];
        list.codes.write_rows(position, std::span<const uint8_t>(rows.data() + i * row, row));
        list.norms[position] = terms.scale;
        list.shifts[position] = terms.shift;
        list.lengths[position] = vector_norm(vectors.data() + (first + i) * dim_, dim_);
      }
    }
  });
}

namespace {

// A list that must grow gets room for an eighth more than it holds (not
// twice as much, as a plain vector would): lists grow by many small batches,
// and memory is what a partitioned index is chosen to save.
template <class Store>
void grow_capacity(Store& store, uint64_t needed) {
  const uint64_t capacity = store.capacity();
  if (needed > capacity) store.reserve(std::max<uint64_t>(needed, capacity + capacity / 8));
}

void reserve_for(PartitionedIndex::List& list, uint64_t needed) {
  grow_capacity(list.codes, needed);
  grow_capacity(list.norms, needed);
  grow_capacity(list.shifts, needed);
  grow_capacity(list.lengths, needed);
  grow_capacity(list.ids, needed);
}

}  // namespace

void PartitionedIndex::add_with_ids(std::span<const float> vectors, std::span<const uint64_t> ids) {
  add_vectors(vectors, ids, nullptr);
}

// add_with_ids, finding the nearest lists with `table` when the caller has
// one for the current centroids (rebalancing shares it between its steps).
void PartitionedIndex::add_vectors(std::span<const float> vectors, std::span<const uint64_t> ids,
                                   const CoarseTable* table) {
  refuse_if_mapped();
  stamp_.renew();
  const uint64_t count = vector_count(vectors.size(), dim_);
  check_id_count(ids.size(), count);
  check_ids_are_new(ids);
  if (count == 0) return;
  if (!is_trained()) throw Error("the index is not trained: call train before adding vectors");
  // What IdMapIndex::add refuses: a vector whose length could not be stored
  // (nor written to a file that loads again).
  if (const auto row = first_unstorable_vector(vectors, dim_)) {
    throw Error("vector " + std::to_string(*row) +
                " of the batch has a NaN or infinite value, or a norm too large for float32");
  }

  PageVector<uint32_t> assignment(count);
  if (table) {
    // Rebalancing moves a few lists' worth of vectors per step: fewer than
    // repay laying out the pruning tiles afresh for each step.
    table->nearest(vectors.data(), count, assignment.data(), CoarseTable::NearestSearch::kEvery);
  } else if (keeps_coarse_table()) {
    coarse_.nearest(vectors.data(), count, assignment.data());
  } else if (count > kMaxRowsForRowNearest) {
    coarse().nearest(vectors.data(), count, assignment.data());
  } else {
    nearest_from_rows(vectors.data(), count, assignment.data());
  }
  std::vector<uint64_t> old_sizes(lists_);
  PageVector<uint64_t> positions(count);
  for (uint64_t l = 0; l < lists_; ++l) old_sizes[l] = lists_data_[l].ids.size();
  std::vector<uint64_t> grown = old_sizes;
  for (uint64_t i = 0; i < count; ++i) positions[i] = grown[assignment[i]]++;
  for (uint64_t l = 0; l < lists_; ++l) {
    if (grown[l] > kMaxListSize) throw Error("list " + std::to_string(l) + " would exceed 2^32 - 1 vectors");
  }
  uint64_t moved = 0;  // vectors whose list moves to a larger array
  for (uint64_t l = 0; l < lists_; ++l) {
    if (grown[l] > lists_data_[l].ids.capacity()) moved += old_sizes[l];
  }
  uint64_t inserted = 0;
  // The table reads ids from the lists: it lets go of the batch first.
  auto restore = [&] {
    for (uint64_t i = 0; i < inserted; ++i) where_.erase(ids[i], ids_of());
    for (uint64_t l = 0; l < lists_; ++l) {
      if (grown[l] == old_sizes[l]) continue;
      List& list = lists_data_[l];
      list.codes.resize(old_sizes[l]);
      list.norms.resize(old_sizes[l]);
      list.shifts.resize(old_sizes[l]);
      list.lengths.resize(old_sizes[l]);
      list.ids.resize(old_sizes[l]);
    }
  };
  try {
    for (uint64_t l = 0; l < lists_; ++l) {
      if (grown[l] == old_sizes[l]) continue;
      List& list = lists_data_[l];
      reserve_for(list, grown[l]);
      list.codes.resize(grown[l]);
      list.norms.resize(grown[l]);
      list.shifts.resize(grown[l]);
      list.lengths.resize(grown[l]);
      list.ids.resize(grown[l]);
    }
    encode_batch(vectors, assignment, positions);
    for (uint64_t i = 0; i < count; ++i) {
      const List& list = lists_data_[assignment[i]];
      // The vector itself passed the check above: what overflows is its
      // residual to a centroid far from it.
      if (!std::isfinite(list.norms[positions[i]]) || !std::isfinite(list.shifts[positions[i]])) {
        throw Error("vector " + std::to_string(i) + " of the batch lies too far from the centroid of list " +
                    std::to_string(assignment[i]) + ": its residual overflows float32");
      }
    }
    where_.reserve(where_.size() + count, *std::max_element(grown.begin(), grown.end()) - 1, ids_of());
    for (uint64_t i = 0; i < count; ++i) {
      lists_data_[assignment[i]].ids[positions[i]] = ids[i];
      where_.insert(ids[i], {assignment[i], positions[i]}, ids_of());
      ++inserted;
    }
  } catch (...) {
    restore();
    throw;
  }
  if (moved * (dim_ / 8 * bits_ + 16) >= kReleaseMovedBytes) release_free_pages();
}

// ---- Removing ----

bool PartitionedIndex::remove(uint64_t id) {
  refuse_if_mapped();
  return remove_stored(id);
}

// remove() of an index known to be writable (the check walks every list).
bool PartitionedIndex::remove_stored(uint64_t id) {
  const uint64_t slot = where_.find_slot(id, ids_of());
  if (slot == IdTable::kNotFound) return false;
  stamp_.renew();
  // Let go of the id while its list still holds it (the table reads it there).
  const IdTable::Place place = where_.place_at(slot);
  where_.erase_slot(slot, ids_of());
  const uint64_t l = place.list, position = place.position;
  List& list = lists_data_[l];
  const uint64_t last = list.ids.size() - 1;
  if (position != last) {
    list.codes.copy_vector(last, position);
    list.norms[position] = list.norms[last];
    list.shifts[position] = list.shifts[last];
    list.lengths[position] = list.lengths[last];
    const uint64_t moved = list.ids[last];
    where_.move(where_.find_slot(moved, ids_of()), {l, position});
    list.ids[position] = moved;
  }
  list.codes.resize(last);
  list.norms.resize(last);
  list.shifts.resize(last);
  list.lengths.resize(last);
  list.ids.pop_back();
  return true;
}

void PartitionedIndex::remove_many(std::span<const uint64_t> ids) {
  refuse_if_mapped();
  // The first failure in order: an id not stored, or one seen before.
  const std::optional<uint64_t> repeat = first_repeat(ids);
  const uint64_t end = repeat ? *repeat : ids.size();
  for (uint64_t i = 0; i < end; ++i) {
    if (!contains(ids[i])) throw ArgumentError("id " + std::to_string(ids[i]) + " is not in the index");
  }
  if (repeat) throw ArgumentError("id " + std::to_string(ids[*repeat]) + " appears more than once in ids");
  for (const uint64_t id : ids) remove_stored(id);
}

// ---- Search ----

std::vector<uint32_t> PartitionedIndex::probe_lists(std::span<const float> queries, uint64_t nq,
                                                    uint64_t probes) const {
  std::vector<uint32_t> out(nq * probes);
  std::vector<float> dots(lists_);
  for (uint64_t q = 0; q < nq; ++q) {
    const std::vector<uint32_t> chosen = choose_lists(queries.data() + q * dim_, probes, dots.data());
    std::copy(chosen.begin(), chosen.end(), out.begin() + q * probes);
  }
  return out;
}

// Among many lists, the shortlist of approximations picks the candidates and
// their float products pick the probed lists, nearest first by the add's
// rule; the float product <q, centroid> of every candidate (so of every
// probed list) is left in `dots`.
std::vector<uint32_t> PartitionedIndex::choose_lists(const float* query, uint64_t probes, float* dots) const {
  const uint64_t shortlisted = shortlist_size(probes, lists_);
  if (shortlist_.empty() || shortlisted >= lists_) {
    all_dots(query, dots);
    return nearest_lists(dots, probes);
  }
  const std::vector<uint32_t> candidates = shortlist_.best(query, shortlisted);
  sequential_dots(query, dim_, candidates.size(),
                  [&](uint64_t i) { return centroids_.data() + uint64_t{candidates[i]} * dim_; },
                  [&](uint64_t i, float dot) { dots[candidates[i]] = dot; });
  TopK top(probes);
  for (const uint32_t l : candidates) top.offer(dots[l] - half_norms_[l], l);
  return chosen_lists(top);
}

const CoarseTable& PartitionedIndex::tiled_centroids() const {
  if (keeps_coarse_table()) return coarse_;
  return filter_tiles_.get_or_init([&] { return CoarseTable(centroids_, lists_, dim_); });
}

PartitionedIndex::PlannedLists PartitionedIndex::plan_lists(const float* query, uint64_t probes,
                                                            const ScanRequest& request, float* dots) const {
  const ListFilter& filter = *request.allowed;
  const uint64_t admitted = filter.total();
  const std::vector<uint32_t>& holding = filter.nonempty();
  // <q, centroid> of the lists holding admitted vectors: row by row for a
  // few lists, else every list's from the tiles (the same sums either way).
  const auto holding_dots = [&] {
    if (holding.size() * filter_plan::kFewListsShare <= lists_) {
      sequential_dots(query, dim_, holding.size(),
                      [&](uint64_t i) { return centroids_.data() + uint64_t{holding[i]} * dim_; },
                      [&](uint64_t i, float dot) { dots[holding[i]] = dot; });
    } else {
      tiled_centroids().dots(query, 1, dots);
    }
  };
  PlannedLists planned;
  if (admitted <= filter_plan::exact_below(request.plan, probes, len(), lists_)) {
    planned.lists = holding;
    planned.direct = true;
    holding_dots();
    return planned;
  }
  planned.lists = choose_lists(query, probes, dots);
  uint64_t probed = 0, found = 0;
  for (const uint32_t l : planned.lists) {
    probed += lists_data_[l].ids.size();
    found += filter.count(l);
  }
  const uint64_t target = filter_plan::target(admitted, request.width, probed);
  if (found >= target) return planned;

  // The lists holding admitted vectors, nearest first (of equal nearness the
  // lower list), until the target is in reach and at least twice `probes`
  // (or all of them) are taken; past `most` only while fewer than `reach` are.
  const uint64_t reach = std::min(admitted, request.width);
  const uint64_t most = std::max(probes, std::min(request.plan.max_probes, lists_));
  const uint64_t least = std::min<uint64_t>(filter_plan::kLeastProbesFactor * probes, holding.size());
  holding_dots();
  std::vector<std::pair<float, uint32_t>> heap;
  heap.reserve(holding.size());
  for (const uint32_t l : holding) heap.emplace_back(dots[l] - half_norms_[l], l);
  const auto farther = [](const std::pair<float, uint32_t>& a, const std::pair<float, uint32_t>& b) {
    return a.first < b.first || (a.first == b.first && a.second > b.second);
  };
  std::make_heap(heap.begin(), heap.end(), farther);
  std::vector<uint32_t> taken;
  uint64_t in_reach = 0;
  while (!heap.empty()) {
    const bool enough = in_reach >= target && taken.size() >= least;
    const bool bounded = taken.size() >= most && in_reach >= reach;
    if (enough || bounded) break;
    std::pop_heap(heap.begin(), heap.end(), farther);
    const uint32_t l = heap.back().second;
    heap.pop_back();
    taken.push_back(l);
    in_reach += filter.count(l);
  }
  std::sort(taken.begin(), taken.end());
  planned.lists = std::move(taken);
  return planned;
}

CoarseTable PartitionedIndex::coarse() const {
  return keeps_coarse_table() ? coarse_ : CoarseTable(centroids_, lists_, dim_);
}

// <query, centroid> of every list: the coarse kernels when the index keeps
// their table, else the same sequential sums from the rows.
void PartitionedIndex::all_dots(const float* query, float* dots) const {
  if (keeps_coarse_table()) {
    coarse_.dots(query, 1, dots);
    return;
  }
  sequential_dots(query, dim_, lists_, [&](uint64_t l) { return centroids_.data() + l * dim_; },
                  [&](uint64_t l, float dot) { dots[l] = dot; });
}

// The choice of CoarseTable::nearest (the largest <x, c> - |c|^2 / 2, of
// equal values the lowest list) from the same sequential sums of the rows.
void PartitionedIndex::nearest_from_rows(const float* rows, uint64_t count, uint32_t* out) const {
  std::vector<float> dots(lists_);
  for (uint64_t i = 0; i < count; ++i) {
    all_dots(rows + i * dim_, dots.data());
    float best = 0.0f;
    uint32_t chosen = coarse_kernels::kNoCentroid;
    for (uint64_t l = 0; l < lists_; ++l) {
      const float value = dots[l] - half_norms_[l];
      if (value > best || (chosen == coarse_kernels::kNoCentroid && value == value)) {
        best = value;
        chosen = uint32_t(l);
      }
    }
    out[i] = chosen == coarse_kernels::kNoCentroid ? 0 : chosen;
  }
}

// The `probes` lists of largest <q, centroid> - |centroid|^2 / 2 (of equal
// values the lower list number), in increasing list order.
std::vector<uint32_t> PartitionedIndex::nearest_lists(const float* dots, uint64_t probes) const {
  TopK top(probes);
  std::vector<float> nearness(lists_);
  for (uint64_t l = 0; l < lists_; ++l) nearness[l] = dots[l] - half_norms_[l];
  offer_scores(top, nearness.data(), 0, lists_);
  return chosen_lists(top);
}

namespace {

// What a scan of lists needs from the index, for one call.
struct ListScanner {
  const std::vector<PartitionedIndex::List>& lists;
  uint64_t dim, bits;
  const ListFilter* allowed;  // nullptr: every vector

  // Whether the admitted vectors of list `l` are scored one by one rather
  // than by scanning the list's codes (filter_plan.h).
  bool one_by_one(uint64_t l, bool direct) const {
    return allowed && (direct || filter_plan::one_by_one(allowed->count(l), lists[l].ids.size()));
  }

  // Asks for list `l`'s codes and per-vector floats ahead of its scan: the
  // probed lists are scattered over the index, and a list's scan is too
  // short for the hardware prefetcher to get ahead of it.
  void prefetch(uint64_t l) const {
    if (allowed && (allowed->count(l) == 0 || one_by_one(l, false))) return;
    const PartitionedIndex::List& list = lists[l];
    const std::size_t bytes = list.codes.blocked().bytes.size();
    const uint8_t* codes = list.codes.blocked().bytes.data();
    for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(codes + at, 0, 2);
    const uint64_t n = list.ids.size();
    for (uint64_t at = 0; at < n; at += 16) {
      __builtin_prefetch(list.norms.data() + at, 0, 2);
      __builtin_prefetch(list.shifts.data() + at, 0, 2);
    }
  }

  // Offers the vectors of list `l` to the selectors of `states` (all probe it).
  void scan(uint64_t l, QueryState* const* states, std::size_t count, std::vector<float>& buffer) const {
    const PartitionedIndex::List& list = lists[l];
    const uint64_t n = list.ids.size();
    if (n == 0 || count == 0) return;
    if (allowed && allowed->count(l) == 0) return;
    poll_interrupt();
    if (allowed) {
      // Queries for which the list's admitted vectors are few score them
      // alone; the others scan the list.
      std::vector<QueryState*> scanning;
      for (std::size_t t = 0; t < count; ++t) {
        if (one_by_one(l, states[t]->probed->direct)) {
          score_one_by_one(l, *states[t]);
        } else {
          scanning.push_back(states[t]);
        }
      }
      for (QueryState* state : scanning) offer_waiting(*state);
      if (!scanning.empty()) scan_states(l, scanning.data(), scanning.size(), buffer);
      return;
    }
    scan_states(l, states, count, buffer);
  }

  // Offers every admitted vector of list `l` to the query's selector, each
  // scored with the float sum the 4-bit candidates are ranked by (with the
  // verification's exact sum at 2 and 3 bits), in increasing position order.
  void score_one_by_one(uint64_t l, QueryState& state) const {
    const PartitionedIndex::List& list = lists[l];
    const float offset = state.probed->dot(uint32_t(l));
    if (bits != 4) {
      const BoundedScanner scanner(list.codes, list.norms);
      Verifier verifier(scanner, state.tables->bounded, list, offset, state.key_of, key_of(l, 0), state.top);
      allowed->for_each(l, [&](uint64_t p) { verifier.push(p); });
      verifier.flush();
      return;
    }
    allowed->for_each(l, [&](uint64_t p) {
      state.waiting.push_back(key_of(l, p));
      if (state.waiting.size() == kSideBySide) offer_waiting(state);
    });
  }

  // Sums scored side by side, so that their chains of additions overlap:
  // a list often holds a single admitted vector, so they are gathered over
  // lists.
  static constexpr std::size_t kSideBySide = 8;

  // 4 bits: scores and offers the waiting vectors (at most kSideBySide), in
  // the order they came. Called before a scan of a list offers anything, and
  // when the query's lists are done, so that offers stay in key order.
  void offer_waiting(QueryState& state) const {
    const std::size_t count = state.waiting.size();
    if (count == 0) return;
    const float* products = state.tables->products.data();
    // Always kSideBySide chains (the last vector repeated), so that the sums
    // stay in registers; the repeats are not offered.
    const uint8_t* first[kSideBySide];
    uint64_t stride[kSideBySide];
    for (std::size_t c = 0; c < kSideBySide; ++c) {
      const uint64_t key = state.waiting[std::min(c, count - 1)];
      const CodeStore::VectorBytes bytes = lists[key >> 32].codes.vector_bytes(key & 0xffffffffu);
      first[c] = bytes.first;
      stride[c] = bytes.stride;
    }
    float sums[kSideBySide] = {};
    for (uint64_t column = 0; column < dim / 2; ++column) {
      const float* high = products + 32 * column;
      const float* low = high + 16;
      for (std::size_t c = 0; c < kSideBySide; ++c) {
        const uint8_t byte = first[c][column * stride[c]];
        sums[c] = (sums[c] + high[byte >> 4]) + low[byte & 15];
      }
    }
    for (std::size_t c = 0; c < count; ++c) {
      const uint64_t key = state.waiting[c], l = key >> 32, p = key & 0xffffffffu;
      const PartitionedIndex::List& list = lists[l];
      const float offset = state.probed->dot(uint32_t(l));
      const float score = state.key_of((offset + list.shifts[p]) + sums[c] * list.norms[p], list.lengths[p]);
      if (state.top.admits(score)) state.top.offer(score, key);
    }
    state.waiting.clear();
  }

  void scan_states(uint64_t l, QueryState* const* states, std::size_t count, std::vector<float>& buffer) const {
    const PartitionedIndex::List& list = lists[l];
    const uint64_t n = list.ids.size();
    const uint64_t blocks = blocks_for(n);
    const uint64_t stride = blocks * 32;
    if (buffer.size() < count * stride) buffer.resize(count * stride);
    if (bits == 4) {
      std::vector<const QueryTable*> tables(count);
      for (std::size_t t = 0; t < count; ++t) tables[t] = &states[t]->tables->table;
      scan_codes(list.codes, tables.data(), count, buffer.data(), stride);
      for (std::size_t t = 0; t < count; ++t) offer_scanned(l, *states[t], buffer.data() + t * stride);
      return;
    }
    const BoundedScanner scanner(list.codes, list.norms);
    std::vector<const BoundedQuery*> queries(count);
    for (std::size_t t = 0; t < count; ++t) queries[t] = &states[t]->tables->bounded;
    for (std::size_t g = 0; g < count; g += 4) {
      const std::size_t group = std::min<std::size_t>(4, count - g);
      scanner.approximate(queries.data() + g, group, 0, blocks, buffer.data() + g * stride, stride);
    }
    for (std::size_t t = 0; t < count; ++t) {
      verify(l, *states[t], scanner, buffer.data() + t * stride);
    }
  }

  // 4 bits: the sums of every block of `codes`, its compact tail (if any)
  // expanded to the whole block a padded store would hold.
  void scan_codes(const CodeStore& codes, const QueryTable* const* tables, std::size_t count, float* out,
                  uint64_t stride) const {
    const uint64_t whole = codes.n_blocks();
    scan_blocks(tables, count, codes.blocked().bytes.data(), dim, 0, whole, out, stride);
    if (codes.tail_size() == 0) return;
    alignas(64) uint8_t local[4096];
    std::vector<uint8_t> large;
    uint8_t* tail = local;
    if (codes.block_bytes() > sizeof local) {
      large.resize(codes.block_bytes());
      tail = large.data();
    }
    codes.tail_block(tail);
    scan_blocks(tables, count, tail, dim, 0, 1, out + whole * 32, stride);
  }

  // 4 bits: `row` holds the code sums of the list's vectors.
  void offer_scanned(uint64_t l, QueryState& state, float* row) const {
    const PartitionedIndex::List& list = lists[l];
    const uint64_t n = list.ids.size();
    const float offset = state.probed->dot(uint32_t(l));
    for (uint64_t i = 0; i < n; ++i) row[i] = (offset + list.shifts[i]) + row[i] * list.norms[i];  // vectorises
    if (state.key_of.metric != Metric::InnerProduct) {
      for (uint64_t i = 0; i < n; ++i) row[i] = state.key_of(row[i], list.lengths[i]);
    }
    if (!allowed) {
      // The first list a query scans fills its empty selector: the bounded
      // selection skips most of that list instead of inserting and evicting.
      if (state.top.empty()) {
        offer_best_scores(state.top, row, key_of(l, 0), n);
      } else {
        offer_scores(state.top, row, key_of(l, 0), n);
      }
      return;
    }
    for (uint64_t i = 0; i < n; ++i) {
      if (allowed->contains(l, i) && state.top.admits(row[i])) state.top.offer(row[i], key_of(l, i));
    }
  }

  // 2 and 3 bits: exact scores for every vector whose bound does not rule it out.
  void verify(uint64_t l, QueryState& state, const BoundedScanner& scanner, const float* approx) const {
    const PartitionedIndex::List& list = lists[l];
    const uint64_t n = list.ids.size();
    const float offset = state.probed->dot(uint32_t(l));
    const BoundedQuery& bounded = state.tables->bounded;
    const float up = bounded.upper_offset, down = bounded.lower_offset;
    Verifier verifier(scanner, bounded, list, offset, state.key_of, key_of(l, 0), state.top);
    for (uint64_t p = 0; p < n; ++p) {
      if (allowed && !allowed->contains(l, p)) continue;
      if (state.top.has_plain_threshold()) {
        const float threshold = state.top.threshold();
        // base + s * norm rises with s (norm >= 0), so the exact key lies
        // between these two.
        const float norm = list.norms[p], length = list.lengths[p], base = offset + list.shifts[p];
        const float high = state.key_of(base + (approx[p] + up) * norm, length);
        const float low = state.key_of(base + (approx[p] + down) * norm, length);
        if (high <= threshold && low <= threshold) continue;
      }
      verifier.push(p);
    }
    verifier.flush();
  }
};

}  // namespace

namespace {

// 4 bits: the byte table rounds every coordinate's share of a score to a
// step of the whole query's length, which for the short residuals of a
// partitioned index is a large error. The scan's best candidates are
// therefore scored again with the float sum of the rotated query times their
// codes' values (in coordinate order, as 2 and 3 bits score), and ranked by
// that.
struct Rescorer {
  const std::vector<PartitionedIndex::List>& lists;
  const float* values;  // the codebook's 16 values
  uint64_t dim;

  // Candidates are scored side by side, one sequential sum per candidate
  // (the same order of rounded multiplies and adds as one at a time), so the
  // sums' latencies overlap.
  void rank(std::span<const int64_t> candidates, const float* rq, const ProbedLists& probed, const KeyOfScore& key,
            uint64_t width, float* scores, int64_t* keys) const {
    std::vector<int64_t> kept;
    kept.reserve(candidates.size());
    for (const int64_t candidate : candidates) {
      if (candidate >= 0) kept.push_back(candidate);
    }
    // Offered in key order, so that of equal scores the selector keeps the
    // lowest keys whatever order the byte-table selector left them in.
    std::sort(kept.begin(), kept.end());
    const uint64_t count = kept.size();
    // Each candidate's 4-bit codes read in place: byte c of its lane holds
    // the codes of coordinates 2c (high half) and 2c + 1.
    std::vector<CodeStore::VectorBytes> bytes(count);
    for (uint64_t c = 0; c < count; ++c) {
      const uint64_t l = uint64_t(kept[c]) >> 32, p = uint64_t(kept[c]) & 0xffffffffu;
      bytes[c] = lists[l].codes.vector_bytes(p);
    }
    std::vector<float> sums(count, 0.0f);
    for (uint64_t column = 0; column < dim / 2; ++column) {
      const float high = rq[2 * column], low = rq[2 * column + 1];
      for (uint64_t c = 0; c < count; ++c) {
        const uint8_t byte = bytes[c].first[column * bytes[c].stride];
        sums[c] = (sums[c] + high * values[byte >> 4]) + low * values[byte & 15];
      }
    }
    TopK top(width);
    for (uint64_t c = 0; c < count; ++c) {
      const uint64_t l = uint64_t(kept[c]) >> 32, p = uint64_t(kept[c]) & 0xffffffffu;
      const PartitionedIndex::List& list = lists[l];
      top.offer(key((probed.dot(uint32_t(l)) + list.shifts[p]) + sums[c] * list.norms[p], list.lengths[p]), uint64_t(kept[c]));
    }
    top.finish(scores, keys);
  }
};

}  // namespace

namespace {

// A finished row (best first) with each run of equal scores put in key
// order, empty slots (key -1) last: the selector keeps the right candidates
// but orders equal ones by the history of its offers, which differs between
// bit widths and the paths a query takes.
void order_equal_scores_by_key(float* scores, int64_t* keys, uint64_t width) {
  const auto same = [](float a, float b) { return a == b || (a != a && b != b); };
  const auto before = [](int64_t a, int64_t b) { return uint64_t(a) < uint64_t(b); };  // -1 last
  for (uint64_t begin = 0; begin < width;) {
    uint64_t end = begin + 1;
    while (end < width && same(scores[end], scores[begin])) ++end;
    std::sort(keys + begin, keys + end, before);
    begin = end;
  }
}

}  // namespace

void PartitionedIndex::check_search(std::span<const float> queries, uint64_t k, uint64_t probes) const {
  vector_count(queries.size(), dim_);
  if (k == 0) throw ArgumentError("k must be at least 1");
  if (probes == 0 || probes > lists_) {
    throw ArgumentError("probes must be between 1 and lists (" + std::to_string(lists_) + "), got " +
                        std::to_string(probes));
  }
  if (!is_trained()) throw Error("the index is not trained: call train before searching");
  check_rows_are_usable(queries, dim_, "query");
}

IdSearchResults PartitionedIndex::search(std::span<const float> queries, uint64_t k,
                                         uint64_t probes) const {
  check_search(queries, k, probes);
  const uint64_t width = std::max<uint64_t>(1, std::min(k, len()));
  ScanRequest request;
  request.width = width;
  return to_ids(scan(queries, probes, request));
}

IdSearchResults PartitionedIndex::to_ids(KeyResults found) const {
  IdSearchResults results;
  results.nq = found.nq;
  results.k = found.width;
  results.scores = std::move(found.scores);
  results.ids.assign(found.keys.size(), kEmptyId);
  for (uint64_t i = 0; i < found.keys.size(); ++i) {
    if (found.keys[i] >= 0) results.ids[i] = id_at(static_cast<uint64_t>(found.keys[i]));
  }
  return results;
}

uint64_t PartitionedIndex::id_at(uint64_t key) const {
  return lists_data_[key >> 32].ids[key & 0xffffffffu];
}

PartitionedIndex::KeyResults PartitionedIndex::scan(std::span<const float> queries, uint64_t probes,
                                                    const ScanRequest& request) const {
  const uint64_t nq = queries.size() / dim_;
  const uint64_t width = request.width;
  // The selectors' width: at 4 bits the candidates the exact scores rank.
  const uint64_t scanned = bits_ == 4 ? std::min(table_candidates(width), std::max<uint64_t>(len(), 1)) : width;
  KeyResults results;
  results.nq = nq;
  results.width = width;
  results.scores.assign(nq * width, -std::numeric_limits<float>::infinity());
  results.keys.assign(nq * width, -1);
  // An empty index answers before its tables are built: they grow with dim.
  if (nq == 0 || len() == 0) return results;

  prepare_tables();
  const uint64_t block = block_size(rotation_);
  const ListScanner scanner{lists_data_, dim_, bits_, request.allowed};
  const Rescorer rescorer{lists_data_, codebook().centroids.data(), dim_};
  // One query's selector, finished into its row of the results (at 4 bits
  // after its candidates are scored exactly).
  auto finish = [&](uint64_t q, TopK& top, const float* rq, const ProbedLists& probed, const KeyOfScore& key) {
    float* scores = results.scores.data() + q * width;
    int64_t* keys = results.keys.data() + q * width;
    if (bits_ != 4) {
      top.finish(scores, keys);
    } else {
      std::vector<float> candidate_scores(scanned);
      std::vector<int64_t> candidates(scanned);
      top.finish(candidate_scores.data(), candidates.data());
      rescorer.rank(candidates, rq, probed, key, width, scores, keys);
    }
    order_equal_scores_by_key(scores, keys, width);
  };

  auto tables_for = [&](const float* rq, const ProbedLists& probed) {
    QueryTables tables;
    if (bits_ == 4) {
      tables.table = build_query_table(rq, codebook().centroids.data(), dim_);
      if (probed.products) {
        const float* values = codebook().centroids.data();
        tables.products.resize(dim_ * 16);
        for (uint64_t j = 0; j < dim_; ++j) {
          for (uint64_t v = 0; v < 16; ++v) tables.products[j * 16 + v] = rq[j] * values[v];
        }
      }
    } else {
      tables.bounded = build_bounded_query(rq, codebook().centroids, dim_, bits_);
    }
    return tables;
  };
  auto key_of_query = [&](uint64_t q) {
    KeyOfScore key;
    key.metric = request.metric;
    if (request.metric != Metric::InnerProduct) {
      key.q_norm = vector_norm(queries.data() + q * dim_, dim_);
      key.q_square = key.q_norm * key.q_norm;
    }
    return key;
  };

  // Queries [q0, q1) on one thread: their probes grouped by list, lists in
  // increasing order, so each list's codes are read once for the group.
  // `known`: the one query's probed lists when the caller has them.
  auto run_group = [&](uint64_t q0, uint64_t q1, const ProbedLists* known) {
    const uint64_t count = q1 - q0;
    // A single query's lists are known before its rotation and table: fetch
    // them meanwhile.
    if (known) {
      for (const uint32_t l : known->lists) scanner.prefetch(l);
    }
    std::vector<float> prepared = prepare_queries(queries.subspan(q0 * dim_, count * dim_), count, dim_,
                                                  sign_vector(), block_rotations().matrices, block, block_rotations().padded_dim);
    std::vector<ProbedLists> chosen;
    if (known == nullptr) {
      std::vector<float> dots(lists_);
      chosen.reserve(count);
      for (uint64_t q = 0; q < count; ++q) {
        poll_interrupt();
        chosen.emplace_back(choose_lists(queries.data() + (q0 + q) * dim_, probes, dots.data()), dots.data());
      }
    }
    std::vector<QueryState> states;
    std::vector<QueryTables> tables;
    states.reserve(count);
    tables.reserve(count);
    std::vector<std::pair<uint32_t, uint32_t>> probed;  // (list, query in group)
    probed.reserve(count * probes);
    for (uint64_t q = 0; q < count; ++q) {
      poll_interrupt();
      states.emplace_back(scanned);
      states.back().probed = known ? known : &chosen[q];
      states.back().key_of = key_of_query(q0 + q);
      tables.push_back(tables_for(prepared.data() + q * block_rotations().padded_dim, *states.back().probed));
      states.back().tables = &tables.back();
      for (const uint32_t l : states.back().probed->lists) probed.emplace_back(l, static_cast<uint32_t>(q));
    }
    std::sort(probed.begin(), probed.end());
    std::vector<float> buffer;
    std::vector<QueryState*> group;
    for (std::size_t i = 0; i < probed.size();) {
      const uint32_t l = probed[i].first;
      group.clear();
      for (; i < probed.size() && probed[i].first == l; ++i) group.push_back(&states[probed[i].second]);
      if (i < probed.size() && !known) scanner.prefetch(probed[i].first);
      scanner.scan(l, group.data(), group.size(), buffer);
    }
    for (QueryState& state : states) scanner.offer_waiting(state);
    for (uint64_t q = 0; q < count; ++q) {
      finish(q0 + q, states[q].top, prepared.data() + q * block_rotations().padded_dim, *states[q].probed,
             states[q].key_of);
    }
  };

  // One query over the pool: each task scans a contiguous share of its lists
  // into its own selector. Each share's selector holds the share's best by
  // (score, key); offered again in key order, their union gives exactly the
  // selector of one pass over all lists.
  auto run_single = [&](uint64_t q, const ProbedLists& chosen, const float* rq) {
    SplitTopK kept;
    const QueryTables tables = tables_for(rq, chosen);
    const KeyOfScore key = key_of_query(q);
    parallel_for(chosen.lists.size(), [&](std::size_t begin, std::size_t end) {
      QueryState state(scanned);
      state.probed = &chosen;
      state.tables = &tables;
      state.key_of = key;
      QueryState* one[1] = {&state};
      std::vector<float> buffer;
      for (std::size_t p = begin; p < end; ++p) scanner.scan(chosen.lists[p], one, 1, buffer);
      scanner.offer_waiting(state);
      kept.add(state.top);
    });
    TopK top(scanned);
    kept.merge_into(top);
    finish(q, top, rq, chosen, key);
  };

  if (request.allowed) {
    // Each query on its own, with the lists its plan gives.
    const ListFilter& filter = *request.allowed;
    auto run_planned = [&](uint64_t q, std::vector<float>& dots) {
      PlannedLists planned = plan_lists(queries.data() + q * dim_, probes, request, dots.data());
      ProbedLists chosen(std::move(planned.lists), dots.data());
      chosen.direct = planned.direct;
      uint64_t work = 0;  // about the vectors a scan of the lists reads
      for (const uint32_t l : chosen.lists) {
        if (filter.count(l) == 0) continue;
        if (scanner.one_by_one(l, chosen.direct)) {
          chosen.products = bits_ == 4;
          work += filter.count(l) * filter_plan::kOneByOneShare;
        } else {
          work += lists_data_[l].ids.size();
        }
      }
      if (nq < num_threads() && work >= kMinVectorsToSplit && chosen.lists.size() >= 2) {
        const std::vector<float> prepared = prepare_queries(queries.subspan(q * dim_, dim_), 1, dim_, sign_vector(),
                                                            block_rotations().matrices, block,
                                                            block_rotations().padded_dim);
        run_single(q, chosen, prepared.data());
      } else {
        run_group(q, q + 1, &chosen);
      }
    };
    if (nq < num_threads()) {
      std::vector<float> dots(lists_);
      for (uint64_t q = 0; q < nq; ++q) run_planned(q, dots);
    } else {
      parallel_for(nq, [&](std::size_t begin, std::size_t end) {
        std::vector<float> dots(lists_);
        for (std::size_t q = begin; q < end; ++q) {
          poll_interrupt();
          run_planned(q, dots);
        }
      });
    }
    return results;
  }

  if (nq < num_threads()) {
    std::vector<float> dots(lists_);
    for (uint64_t q = 0; q < nq; ++q) {
      const ProbedLists chosen(choose_lists(queries.data() + q * dim_, probes, dots.data()), dots.data());
      uint64_t vectors = 0;
      for (const uint32_t l : chosen.lists) vectors += lists_data_[l].ids.size();
      if (vectors < kMinVectorsToSplit || chosen.lists.size() < 2) {
        run_group(q, q + 1, &chosen);
      } else {
        const std::vector<float> prepared = prepare_queries(queries.subspan(q * dim_, dim_), 1, dim_, sign_vector(),
                                                            block_rotations().matrices, block,
                                                            block_rotations().padded_dim);
        run_single(q, chosen, prepared.data());
      }
    }
  } else {
    const uint64_t threads = num_threads();
    const uint64_t per_group = std::clamp<uint64_t>((nq + threads - 1) / threads, 1, kMaxQueriesPerGroup);
    if (per_group * probes < kMinSharedVisits * lists_) {
      // Few lists would be read for more than one query of a group: each
      // query on its own, its lists still cached when its candidates are
      // scored again.
      parallel_for(nq, [&](std::size_t begin, std::size_t end) {
        std::vector<float> dots(lists_);
        for (std::size_t q = begin; q < end; ++q) {
          poll_interrupt();
          const ProbedLists chosen(choose_lists(queries.data() + q * dim_, probes, dots.data()), dots.data());
          run_group(q, q + 1, &chosen);
        }
      });
      return results;
    }
    const uint64_t groups = (nq + per_group - 1) / per_group;
    parallel_for(groups, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) run_group(g * per_group, std::min(nq, (g + 1) * per_group), nullptr);
    });
  }
  return results;
}

// ---- Search with options ----

namespace {

constexpr RowsById::Names kRefineNames{"refine", "refine_ids", "may be returned"};

}  // namespace

IdSearchResults query(const PartitionedIndex& index, std::span<const float> queries, uint64_t k,
                      uint64_t probes, const PartitionedQueryOptions& options) {
  index.check_search(queries, k, probes);
  if (options.refine_factor == 0) throw ArgumentError("refine_factor must be at least 1");
  if (options.refine && options.refine->cols != index.input_dim()) {
    throw ArgumentError("refine has " + std::to_string(options.refine->cols) +
                        " columns but the index has dim " + std::to_string(index.input_dim()));
  }
  // Allowed ids as positions of each list; ids not stored are ignored.
  std::optional<ListFilter> built;
  const ListFilter* filter = options.filter;
  if (options.allowed_ids) {
    built.emplace(ListFilter::from_ids(index, *options.allowed_ids));
    filter = &*built;
  }
  if (filter && filter->stamp() != index.stamp()) {
    throw Error("the filter was made for another index, or before this one changed");
  }
  const uint64_t eligible = filter ? filter->total() : index.len();
  // Refine rows by id: the row of an id is the id itself, or its place in
  // refine_ids. Checked per candidate, so a query costs the same whatever
  // the size of the refine array.
  if (options.refine_ids && !options.refine) {
    throw ArgumentError("refine_ids needs refine, the vectors to re-score against");
  }
  std::optional<RowsById> refine_rows;
  if (options.refine) refine_rows.emplace(*options.refine, options.refine_ids, kRefineNames);
  const uint64_t k_eff = std::max<uint64_t>(1, std::min(k, eligible));
  PartitionedIndex::ScanRequest request;
  request.metric = options.metric;
  request.allowed = filter;
  request.plan = options.plan;
  request.width = k_eff;
  if (options.refine) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(k_eff, options.refine_factor, &product)) product = ~uint64_t{0};
    request.width = std::max<uint64_t>(1, std::min(eligible, std::max(k_eff, product)));
  }
  PartitionedIndex::KeyResults found = index.scan(queries, probes, request);
  const uint64_t nq = found.nq;
  if (options.refine) {
    // Exact scores of the candidates, offered in key order.
    PartitionedIndex::KeyResults exact;
    exact.nq = nq;
    exact.width = k_eff;
    exact.scores.resize(nq * k_eff);
    exact.keys.resize(nq * k_eff);
    std::vector<int64_t> candidates;
    for (uint64_t q = 0; q < nq; ++q) {
      poll_interrupt();
      const float* query_row = queries.data() + q * index.dim();
      candidates.assign(found.keys.begin() + q * found.width, found.keys.begin() + (q + 1) * found.width);
      std::sort(candidates.begin(), candidates.end());
      TopK top(k_eff);
      for (const int64_t key : candidates) {
        if (key < 0) continue;
        const uint64_t id = refine_rows->row_of(index.id_at(static_cast<uint64_t>(key)));
        // The coded tail of a query is zeros: summing the caller's columns
        // gives the sums of vectors padded by hand.
        const float score = exact_score(options.metric, query_row,
                                        options.refine->data + id * options.refine->cols, index.input_dim());
        top.offer(options.metric == Metric::L2 ? -score : score, static_cast<uint64_t>(key));
      }
      top.finish(exact.scores.data() + q * k_eff, exact.keys.data() + q * k_eff);
    }
    found = std::move(exact);
  }
  if (options.metric == Metric::L2) {
    for (float& score : found.scores) score = -score;
  }
  return index.to_ids(std::move(found));
}

// ---- Loading ----

PartitionedIndex PartitionedIndex::from_parts(uint64_t dim, uint64_t bits, uint64_t lists,
                                              Rotation rotation, uint64_t seed,
                                              std::vector<float> centroids, std::vector<List> data) {
  PartitionedIndex index = create(dim, bits, lists, rotation, seed);
  if (data.size() != lists) throw Error("stored lists do not match the list count");
  const bool trained = !centroids.empty();
  // Stored centroids are taken as they were set: finite, but of any norm, so
  // that every file written keeps loading.
  if (trained) {
    index.check_centroid_values(centroids);
    index.install_centroids(centroids);
  }
  const float largest_length = largest_stored_norm();
  const float largest_scale = 2.0f * largest_length;
  uint64_t total = 0;
  for (uint64_t l = 0; l < lists; ++l) {
    const List& list = data[l];
    const uint64_t n = list.ids.size();
    if (list.codes.size() != n || list.norms.size() != n || list.shifts.size() != n || list.lengths.size() != n ||
        list.codes.dim() != index.dim_ || list.codes.bits() != bits) {
      throw Error("stored codes, norms and ids of a list do not match");
    }
    if (n > kMaxListSize) throw Error("a stored list holds more than 2^32 - 1 vectors");
    if (n > 0 && !trained) throw Error("an untrained index cannot hold vectors");
    for (uint64_t p = 0; p < n; ++p) {
      if (!(list.norms[p] >= 0.0f) || !std::isfinite(list.norms[p]) || !(list.lengths[p] >= 0.0f) ||
          !std::isfinite(list.lengths[p])) {
        throw Error("stored norms must be finite and non-negative");
      }
      // What add stores: lengths of vectors it accepts, and scales of at
      // most twice a residual's length (residual_terms).
      if (list.lengths[p] > largest_length || list.norms[p] > largest_scale) {
        throw Error("vector " + std::to_string(p) + " of list " + std::to_string(l) +
                    " has a norm above what add stores (1.8e19 for its length, 3.7e19 for its residual scale)");
      }
      if (!std::isfinite(list.shifts[p])) throw Error("stored shifts must be finite");
    }
    total += n;
  }
  uint64_t longest = 0;
  for (const List& list : data) longest = std::max<uint64_t>(longest, list.ids.size());
  const IdsOf stored{&data};
  index.where_.reserve(total, longest > 0 ? longest - 1 : 0, stored);
  for (uint64_t l = 0; l < lists; ++l) {
    const std::vector<uint64_t>& ids = data[l].ids;
    for (uint64_t p = 0; p < ids.size(); ++p) {
      if (!index.where_.insert(ids[p], {l, p}, stored)) {
        throw Error("duplicate ids in partitioned index file");
      }
    }
  }
  index.lists_data_ = std::move(data);
  for (List& list : index.lists_data_) list.codes = index.owned_codes(list.codes);
  return index;
}

}  // namespace varnel

// Keeping a partitioned index's lists balanced while its data changes.
//
// Lists are placed once, by training on the data of the day. When later
// data drifts away from it, some lists grow far beyond the mean (every query
// that probes them scans more) and others empty out (their centroids waste
// probes). A split divides an oversized list into parts of about the mean
// size by k-means over its vectors; a merge dissolves undersized lists into
// their neighbours.
// Only the vectors whose list changes, or whose list's centroid changes, are
// coded again; every other list keeps its codes untouched.
//
// Without the original vectors a moved vector is re-coded from what its
// codes reconstruct, which adds a second quantisation error to it; given the
// originals (by id), the result is what adding them afresh would give.
#include <algorithm>
#include <bit>
#include <functional>
#include <cmath>
#include <numeric>
#include <string>
#include <utility>

#include "index/kmeans.h"
#include "index/partitioned_index.h"
#include "index/rows_by_id.h"
#include "quantize/rotation.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/page_memory.h"

namespace varnel {
namespace {

// The lists around a split whose vectors may now be nearer to a new centroid.
constexpr uint64_t kNeighbourLists = 32;
constexpr uint64_t kSplitSeedOffset = 0x73706c6974;  // "split"
constexpr uint64_t kSplitIterations = 8;
// A merge step dissolves lists holding up to this many mean lists' vectors
// together: one table of centroids and one add for all of them.
constexpr double kMergeBudgetLists = 8.0;

constexpr RowsById::Names kVectorNames{"vectors", "vector_ids", "is stored"};

}  // namespace

PartitionedIndex::Balance PartitionedIndex::balance() const {
  Balance b;
  b.lists = lists_;
  b.vectors = len();
  if (lists_ == 0) return b;
  b.smallest = ~uint64_t{0};
  double squares = 0.0;
  for (const List& list : lists_data_) {
    const uint64_t size = list.ids.size();
    b.empty += size == 0;
    b.smallest = std::min(b.smallest, size);
    b.largest = std::max(b.largest, size);
    squares += double(size) * double(size);
  }
  b.mean = double(b.vectors) / double(lists_);
  b.imbalance = b.vectors == 0 ? 1.0 : squares * double(lists_) / (double(b.vectors) * double(b.vectors));
  return b;
}

namespace {

template <class Array>
uint64_t spare_bytes(const Array& array) {
  return (array.capacity() - array.size()) * sizeof(array[0]);
}

template <class T>
StoredArray<T> exactly_sized(const StoredArray<T>& array) {
  return StoredArray<T>(RawVector<T>(array.begin(), array.end()));
}

}  // namespace

uint64_t PartitionedIndex::compact() {
  refuse_if_mapped();
  const uint64_t row = dim_ / 8 * bits_;
  uint64_t freed = 0;
  for (List& list : lists_data_) {
    const uint64_t spare = spare_bytes(list.norms) + spare_bytes(list.shifts) + spare_bytes(list.lengths) +
                           spare_bytes(list.ids) + (list.codes.capacity() - list.codes.size()) * row;
    if (spare == 0) continue;
    list.codes = owned_codes(list.codes.owned_copy());
    list.norms = exactly_sized(list.norms);
    list.shifts = exactly_sized(list.shifts);
    list.lengths = exactly_sized(list.lengths);
    list.ids.shrink_to_fit();
    freed += spare;
  }
  if (freed > 0) release_free_pages();
  return freed;
}

std::vector<float> PartitionedIndex::reconstruct(std::span<const uint64_t> ids) const {
  std::vector<uint64_t> lists(ids.size()), positions(ids.size());
  for (uint64_t i = 0; i < ids.size(); ++i) {
    if (!locate(ids[i], &lists[i], &positions[i])) {
      throw ArgumentError("id " + std::to_string(ids[i]) + " is not in the index");
    }
  }
  std::vector<float> out(ids.size() * dim_);
  if (ids.empty()) return out;
  prepare_tables();
  const BlockRotations& rotations = block_rotations();
  const std::vector<float>& values = codebook().centroids;
  const uint64_t block = block_size(rotation_);
  std::vector<uint8_t> codes(dim_);
  std::vector<float> row(rotations.padded_dim);
  for (uint64_t i = 0; i < ids.size(); ++i) {
    const List& list = lists_data_[lists[i]];
    list.codes.decode(positions[i], codes.data());
    std::fill(row.begin(), row.end(), 0.0f);
    for (uint64_t j = 0; j < dim_; ++j) row[j] = values[codes[j]];
    inverse_rotate(row, dim_, sign_vector(), rotations.matrices, block);
    const float scale = list.norms[positions[i]];
    const float* centroid = centroids_.data() + lists[i] * dim_;
    // The shift is <c, r - r'>: the coding error's share along the centroid,
    // known exactly when the vector was added. Putting it back leaves only
    // the error orthogonal to c, which queries near c barely see.
    double centroid_norm2 = 0.0;
    for (uint64_t j = 0; j < dim_; ++j) centroid_norm2 += double(centroid[j]) * double(centroid[j]);
    const double along = centroid_norm2 > 0.0 ? double(list.shifts[positions[i]]) / centroid_norm2 : 0.0;
    for (uint64_t j = 0; j < dim_; ++j) {
      out[i * dim_ + j] = float(double(centroid[j]) * (1.0 + along) + double(row[j]) * double(scale));
    }
  }
  return out;
}

std::vector<float> PartitionedIndex::vectors_of(std::span<const uint64_t> ids,
                                                const RebalanceOptions& options) const {
  if (!options.vectors) return reconstruct(ids);
  const RowsById rows(*options.vectors, options.vector_ids, kVectorNames);
  std::vector<float> out(ids.size() * dim_, 0.0f);
  const uint64_t cols = input_dim_;  // the coded tail stays zero
  for (uint64_t i = 0; i < ids.size(); ++i) std::copy_n(rows.row(ids[i]), cols, out.data() + i * dim_);
  return out;
}

// The centroids of a changed list count, with every table set_centroids
// builds (and the checks a stored index's centroids get: the lists it keeps
// may have centroids of any finite norm, as a loaded file may). The lists
// are set aside while the tables are built, and put back after; a refusal
// changes nothing.
void PartitionedIndex::replace_centroids(std::vector<float> centroids, uint64_t lists) {
  std::vector<List> kept = std::move(lists_data_);
  IdTable kept_where = std::move(where_);
  const uint64_t kept_lists = lists_;
  lists_data_.clear();
  where_ = IdTable(lists);
  lists_ = lists;
  try {
    check_centroid_values(centroids);
    install_centroids(centroids);
  } catch (...) {
    lists_ = kept_lists;
    lists_data_ = std::move(kept);
    where_ = std::move(kept_where);
    throw;
  }
  lists_data_ = std::move(kept);
  where_ = std::move(kept_where);
  while (lists_data_.size() < lists) {
    lists_data_.emplace_back();
    lists_data_.back().codes = empty_codes();
  }
}

void PartitionedIndex::rebuild_id_table() {
  uint64_t total = 0, longest = 0;
  for (const List& list : lists_data_) {
    total += list.ids.size();
    longest = std::max<uint64_t>(longest, list.ids.size());
  }
  IdTable table(lists_);
  const IdsOf stored = ids_of();
  table.reserve(total, longest > 0 ? longest - 1 : 0, stored);
  for (uint64_t l = 0; l < lists_; ++l) {
    const std::vector<uint64_t>& ids = lists_data_[l].ids;
    for (uint64_t p = 0; p < ids.size(); ++p) table.insert(ids[p], {l, p}, stored);
  }
  where_ = std::move(table);
}

// Removes `ids` and adds them again with `vectors`: each joins the list of
// its nearest centroid, coded against it.
void PartitionedIndex::move_vectors(std::span<const uint64_t> ids, std::span<const float> vectors,
                                    const CoarseTable& table) {
  if (ids.empty()) return;
  for (const uint64_t id : ids) remove_stored(id);
  add_vectors(vectors, ids, &table);
}

void PartitionedIndex::split_list(uint64_t list, const RebalanceOptions& options, RebalanceReport* report) {
  const std::vector<uint64_t> own(lists_data_[list].ids.begin(), lists_data_[list].ids.end());
  const std::vector<float> own_vectors = vectors_of(own, options);
  // Into as many parts as bring it to the mean size at once: each of its
  // vectors is then coded again once, not once per halving.
  const double mean = double(len()) / double(lists_);
  const uint64_t parts = std::clamp<uint64_t>(uint64_t(std::ceil(double(own.size()) / mean)), 2,
                                              std::min<uint64_t>(own.size(), kMaxLists - lists_ + 1));
  KMeansOptions options_for_parts;
  options_for_parts.max_per_list = own.size();
  options_for_parts.iterations = kSplitIterations;
  options_for_parts.seed = seed_ + kSplitSeedOffset + lists_;
  const std::vector<float> centres = train_kmeans(own_vectors, own.size(), dim_, parts, options_for_parts);

  // The neighbours, by the add's rule applied to the old centroid.
  std::vector<float> dots(lists_);
  const std::vector<uint32_t> near = choose_lists(centroids_.data() + list * dim_,
                                                  std::min<uint64_t>(lists_, kNeighbourLists + 1), dots.data());
  std::vector<uint64_t> neighbour_ids;
  std::vector<uint32_t> neighbour_lists;
  for (const uint32_t l : near) {
    if (l == list) continue;
    neighbour_ids.insert(neighbour_ids.end(), lists_data_[l].ids.begin(), lists_data_[l].ids.end());
    neighbour_lists.insert(neighbour_lists.end(), lists_data_[l].ids.size(), l);
  }
  const std::vector<float> neighbour_vectors = vectors_of(neighbour_ids, options);

  // The list keeps the first part's centre; the others become new lists.
  std::vector<float> centroids = centroids_;
  std::copy_n(centres.data(), dim_, centroids.data() + list * dim_);
  centroids.insert(centroids.end(), centres.begin() + dim_, centres.end());
  const uint64_t first_new = lists_;
  replace_centroids(std::move(centroids), lists_ + parts - 1);
  // The table packs list numbers in as few bits as the list count needs.
  if (std::bit_width(lists_ - 1) > std::bit_width(first_new - 1)) rebuild_id_table();

  // A neighbour's vector was in its nearest list, and only the centres of
  // this split have changed: it moves if one of them is now nearer than its
  // own centroid (the add then places it by the usual rule).
  std::vector<uint32_t> changed{uint32_t(list)};
  for (uint64_t l = first_new; l < lists_; ++l) changed.push_back(uint32_t(l));
  std::vector<uint64_t> ids = own;
  std::vector<float> vectors = own_vectors;
  for (uint64_t i = 0; i < neighbour_ids.size(); ++i) {
    const float* x = neighbour_vectors.data() + i * dim_;
    if (!nearer_list_among(x, neighbour_lists[i], changed)) continue;
    ids.push_back(neighbour_ids[i]);
    vectors.insert(vectors.end(), x, x + dim_);
  }
  move_vectors(ids, vectors, coarse());
  ++report->splits;
  report->recoded += ids.size();
}

// Dissolves `lists` at once: their vectors are removed, their centroids
// dropped (the last lists take the freed numbers) and the vectors added
// again to their nearest remaining lists.
void PartitionedIndex::dissolve_lists(std::vector<uint64_t> lists, const RebalanceOptions& options,
                                      RebalanceReport* report) {
  std::sort(lists.begin(), lists.end(), std::greater<>());
  std::vector<uint64_t> own;
  for (const uint64_t l : lists) own.insert(own.end(), lists_data_[l].ids.begin(), lists_data_[l].ids.end());
  const std::vector<float> own_vectors = vectors_of(own, options);
  for (const uint64_t id : own) remove_stored(id);
  std::vector<float> centroids = centroids_;
  uint64_t count = lists_;
  for (const uint64_t list : lists) {  // highest first: a list moved into a hole is never dissolved later
    const uint64_t last = count - 1;
    if (list != last) {
      // Slots are found while the table still matches the lists (a lookup
      // reads ids back from them), then re-pointed once the list has moved.
      const std::vector<uint64_t>& moved = lists_data_[last].ids;
      std::vector<uint64_t> slots(moved.size());
      for (uint64_t p = 0; p < moved.size(); ++p) slots[p] = where_.find_slot(moved[p], ids_of());
      std::copy_n(centroids.data() + last * dim_, dim_, centroids.data() + list * dim_);
      lists_data_[list] = std::move(lists_data_[last]);
      for (uint64_t p = 0; p < slots.size(); ++p) where_.move(slots[p], {list, p});
    }
    lists_data_.pop_back();
    --count;
  }
  centroids.resize(count * dim_);
  replace_centroids(std::move(centroids), count);
  add_vectors(own_vectors, own, nullptr);
  report->merges += lists.size();
  report->recoded += own.size();
}

namespace {

// The lists to dissolve in one step: those below `below` vectors, then (to
// come back to `target` lists) the smallest others; smallest first, ties by
// list number, until they hold about `budget` vectors (at least one list).
std::vector<uint64_t> lists_to_dissolve(const std::vector<PartitionedIndex::List>& data, double below,
                                        uint64_t target, double budget) {
  std::vector<uint64_t> order(data.size());
  std::iota(order.begin(), order.end(), uint64_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](uint64_t a, uint64_t b) { return data[a].ids.size() < data[b].ids.size(); });
  std::vector<uint64_t> chosen;
  double vectors = 0.0;
  const uint64_t surplus = data.size() > target ? data.size() - target : 0;
  for (const uint64_t l : order) {
    const bool small = double(data[l].ids.size()) < below;
    if (!small && chosen.size() >= surplus) break;
    if (!chosen.empty() && vectors + double(data[l].ids.size()) > budget) break;
    if (chosen.size() + 1 >= data.size()) break;  // one list stays
    chosen.push_back(l);
    vectors += double(data[l].ids.size());
  }
  return chosen;
}

}  // namespace

PartitionedIndex::RebalanceReport PartitionedIndex::rebalance(const RebalanceOptions& options) {
  refuse_if_mapped();
  if (!(options.split_above > 1.0) || !std::isfinite(options.split_above)) {
    throw ArgumentError("split_above must be a finite number above 1");
  }
  if (!(options.merge_below >= 0.0) || !(options.merge_below < 1.0)) {
    throw ArgumentError("merge_below must be at least 0 and below 1");
  }
  if (options.vectors && options.vectors->cols != input_dim_) {
    throw ArgumentError("vectors have " + std::to_string(options.vectors->cols) + " columns but the index has dim " +
                        std::to_string(input_dim_));
  }
  if (options.vector_ids && !options.vectors) throw ArgumentError("vector_ids needs vectors, the rows they name");
  if (options.vectors) {
    const RowsById check(*options.vectors, options.vector_ids, kVectorNames);  // refuses bad ids before any change
  }
  const uint64_t target_lists = options.lists ? options.lists : lists_;
  if (target_lists > kMaxLists) throw ArgumentError("lists must be at most " + std::to_string(kMaxLists));
  RebalanceReport report;
  if (!is_trained() || len() == 0) {
    report.balanced = true;
    return report;
  }
  for (uint64_t step = 0;; ++step) {
    poll_interrupt();
    const double mean = double(len()) / double(lists_);
    uint64_t largest = 0, smallest = 0;
    for (uint64_t l = 1; l < lists_; ++l) {
      if (lists_data_[l].ids.size() > lists_data_[largest].ids.size()) largest = l;
      if (lists_data_[l].ids.size() < lists_data_[smallest].ids.size()) smallest = l;
    }
    // Merges first: a split then measures the mean of lists that are in use.
    // Once no list is beyond the bounds, the smallest lists are merged until
    // the list count is back where it was (or at options.lists): splits
    // alone would leave more, shorter lists, and so lower recall at the
    // same probes.
    const double below = options.merge_below * mean;
    const bool too_small = lists_ > 1 && double(lists_data_[smallest].ids.size()) < below;
    const bool split = !too_small && double(lists_data_[largest].ids.size()) > options.split_above * mean &&
                       lists_data_[largest].ids.size() >= 2 && lists_ < kMaxLists;
    const bool merge = too_small || (!split && lists_ > target_lists);
    if (!split && !merge) {
      report.balanced = true;
      return report;
    }
    if (step >= options.max_steps) return report;
    // A step changes several lists: it runs to its end once begun.
    const InterruptScope uninterrupted([] { return false; });
    if (split) {
      split_list(largest, options, &report);
    } else {
      dissolve_lists(lists_to_dissolve(lists_data_, below, target_lists, kMergeBudgetLists * mean), options,
                     &report);
    }
  }
}

}  // namespace varnel

#pragma once
// PartitionedIndex: vectors partitioned into lists by a coarse quantiser
// (trained centroids), each list holding the codes of its vectors' residuals
// to the list's centroid, with stable caller-chosen uint64 ids.
//
// A vector joins the list of the centroid nearest to it by Euclidean
// distance (the shortest residual, so the smallest quantisation error); its
// residual r = x - c is coded like a SkerryIndex vector: 2-, 3- or 4-bit
// codes of the rotated, normalised residual, in the blocked layout of the
// scans, plus two floats. All lists share one rotation and codebook, so a
// query's tables are built once and only the list's constant <q, c> changes:
//
//   score(x) = (<q, c> + shift(x)) + estimate(q, codes of x) * scale(x)
//
// where estimate() is what SkerryIndex::search multiplies by a stored norm
// (<R q, d> for the codebook values d of the codes, R the rotation). Two
// corrections, both fixed when the vector is added, make the residual term
// far more exact than |r| * estimate():
// - scale = |r| / <u, d> (u = R r / |r|) rather than |r|: along r itself the
//   estimate then returns exactly |r|, so the error of <q, r> comes only from
//   the part of q orthogonal to r (the quantised direction is unbiased);
// - shift = <c, r> - scale * <R c, d>: the error of <q, r> is <q, r - r'> for
//   the reconstruction r' = scale * R^T d, and its share <c, r - r'> is known
//   at add time, so only <q - c, r - r'> remains. Queries near the list's
//   centroid, the ones that probe it, see a small error.
// A residual too short or too badly coded for the first correction keeps
// scale = |r| (shift still applies). The terms are computed in double from
// the float rotations and rounded once.
// A query probes the `probes` lists whose centroids are nearest to it by
// Euclidean distance, the rule that placed the vectors: the largest
// <q, centroid> - |centroid|^2 / 2 (float sums), among a shortlist of the
// probes + max(probes, 16) lists of largest 8-bit approximation of that
// value (search/coarse_shortlist.h); with that many candidates a probed list
// is lost only when its approximation is off by more than the gap to the
// probes + 16th list. (Probing by the largest <q, centroid> instead would
// favour long centroids over the lists that hold the query's neighbours.)
//
// Results are those of scoring every vector of the probed lists with the
// estimator, ranked by score, equal scores by (list, position in list):
// the same on every instruction-set path and thread count. estimate() is
// the float sum of the rotated query times the codes' values, in coordinate
// order; at 4 bits the byte-table scan (whose rounding is a step of the
// whole query's length, large against a short residual) picks the best
// width + max(width, 16) vectors, and those are ranked by the float sum.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/content_stamp.h"
#include "index/filter_plan.h"
#include "index/id_map.h"
#include "index/id_table.h"
#include "index/list_filter.h"
#include "index/query.h"
#include "quantize/code_store.h"
#include "quantize/codebook.h"
#include "quantize/rotor.h"
#include "runtime/memory.h"
#include "runtime/once_cell.h"
#include "search/coarse.h"
#include "search/coarse_shortlist.h"

namespace varnel {

class PartitionedIndex {
 public:
  static constexpr uint64_t kEmptyId = ~uint64_t{0};
  // Training uses at most this many sample vectors per list (a seeded subset
  // of a larger sample) and this many k-means iterations.
  // The first kTrainWarmup iterations use a quarter of those vectors.
  static constexpr uint64_t kTrainPerList = 256;
  static constexpr uint64_t kTrainIterations = 10;
  static constexpr uint64_t kTrainWarmup = 5;
  // Each list costs about 130 bytes even when empty, and a file spends 4 on
  // it: the bound keeps what a file can make the reader allocate near its
  // size (4 * sqrt(n) lists reach it only at n = 2^36).
  static constexpr uint64_t kMaxLists = uint64_t{1} << 20;

  struct List {
    CodeStore codes;           // residual codes, blocked (4 bits: a compact tail)
    StoredArray<float> norms;    // residual scales (see above)
    StoredArray<float> shifts;   // residual shifts (see above)
    StoredArray<float> lengths;  // norms of the vectors themselves (cosine, l2)
    std::vector<uint64_t> ids;   // owned even when the rest is mapped
  };

  // Checks bits, dim and rotation as SkerryIndex does (on the coded dim),
  // then lists >= 1. Any dim >= 1 is taken: vectors are coded with zeros
  // appended up to coded_dim_for(dim), a multiple of 8, which changes no
  // inner product, norm or distance. Every span this class takes or returns
  // (vectors, queries, samples, centroids) is in the coded dim; input_dim()
  // is the caller's, the one files record.
  static PartitionedIndex create(uint64_t dim, uint64_t bits, uint64_t lists, Rotation rotation,
                                 uint64_t seed = kDefaultSeed);
  static constexpr uint64_t kDefaultSeed = 117900524;

  // Learns the centroids from n = sample.size() / dim vectors (k-means, see
  // kmeans.h). Refuses an index that holds vectors, fewer vectors than
  // lists and non-finite values; nothing changes on failure or interrupt.
  void train(std::span<const float> sample);
  bool is_trained() const { return !centroids_.empty(); }
  // Sets centroids directly (lists * dim finite values); the index must be empty.
  // Centroids whose float32 squares overflow (norm above about 1.8e19) are
  // refused with ArgumentError naming the first: no vector near the origin
  // could be added against them. train refuses the same of its result.
  void set_centroids(std::span<const float> centroids);

  // The checks and messages of IdMapIndex::add_with_ids; a refused or
  // interrupted batch changes nothing.
  void add_with_ids(std::span<const float> vectors, std::span<const uint64_t> ids);
  bool remove(uint64_t id);
  void remove_many(std::span<const uint64_t> ids);
  bool contains(uint64_t id) const { return where_.contains(id, ids_of()); }
  uint64_t len() const { return where_.size(); }

  // Scores and ids, nq rows of max(1, min(k, len())) columns, best first;
  // empty slots (fewer vectors in the probed lists) hold -inf and kEmptyId.
  // ArgumentError for k = 0, probes = 0 or probes > lists; Error when untrained.
  IdSearchResults search(std::span<const float> queries, uint64_t k, uint64_t probes) const;

  // The probed lists of each query: nq * probes list numbers, each row in
  // increasing list order (queries already checked).
  std::vector<uint32_t> probe_lists(std::span<const float> queries, uint64_t nq, uint64_t probes) const;

  // The checks of search: k, probes, trained, usable queries.
  void check_search(std::span<const float> queries, uint64_t k, uint64_t probes) const;

  // The scan under search and query: selector keys ("higher is better";
  // the negated distance for L2) and result keys (list << 32 | position,
  // -1 for an empty slot), nq rows of `width`.
  // With a filter, each query's lists are planned (filter_plan.h): probes
  // is where the plan starts.
  struct ScanRequest {
    uint64_t width = 1;
    Metric metric = Metric::InnerProduct;
    const ListFilter* allowed = nullptr;  // nullptr: all
    FilterPlanOptions plan;
  };
  struct KeyResults {
    uint64_t nq = 0;
    uint64_t width = 0;
    std::vector<float> scores;
    std::vector<int64_t> keys;
  };
  KeyResults scan(std::span<const float> queries, uint64_t probes, const ScanRequest& request) const;
  IdSearchResults to_ids(KeyResults found) const;
  uint64_t id_at(uint64_t key) const;

  uint64_t dim() const { return dim_; }  // the coded dim
  uint64_t input_dim() const { return input_dim_; }
  static uint64_t coded_dim_for(uint64_t input_dim) { return (input_dim + 7) / 8 * 8; }
  uint64_t bits() const { return bits_; }
  uint64_t lists() const { return lists_; }
  Rotation rotation() const { return rotation_; }
  uint64_t seed() const { return seed_; }
  const std::vector<float>& centroids() const { return centroids_; }
  const std::vector<List>& list_data() const { return lists_data_; }
  std::vector<uint64_t> list_sizes() const;
  // Where an id lives: (list << 32) | position.
  bool locate(uint64_t id, uint64_t* list, uint64_t* position) const;

  // Shared by every list: rotation, codebook, sign vector.
  // Built on first use, so that an index (or a file) of a large dim costs
  // nothing until it codes or searches.
  const BlockRotations& block_rotations() const;
  const Codebook& codebook() const;
  std::span<const float> sign_vector() const;
  void prepare_tables() const;
  // The centroids in the coarse kernels' layout: the resident table when the
  // index keeps one (keeps_coarse_table), else one built for the caller.
  CoarseTable coarse() const;
  // Whether the tiled copy of the centroids stays in memory. Only an index
  // whose queries often score every list (few lists, or no shortlist) keeps
  // it; otherwise queries read the centroid rows and an add builds the tiles
  // for its own call, so the centroids are held once.
  bool keeps_coarse_table() const { return coarse_.lists() > 0; }
  // Names the current contents (which id is where); see content_stamp.h.
  uint64_t stamp() const { return stamp_.value(); }

  // ---- Keeping the lists balanced as the data changes (partitioned_rebalance.cpp) ----

  // How the list sizes are spread. `imbalance` is sum(size^2) * lists / n^2:
  // the rows a query scans, on average over queries that probe lists in
  // proportion to their sizes, relative to equal lists (1 for equal lists).
  struct Balance {
    uint64_t lists = 0;
    uint64_t vectors = 0;
    uint64_t empty = 0;
    uint64_t smallest = 0;
    uint64_t largest = 0;
    double mean = 0.0;
    double imbalance = 1.0;
  };
  Balance balance() const;

  struct RebalanceOptions {
    // A list holding more than split_above times the mean list size is split
    // in two (2-means over its vectors); one holding fewer than merge_below
    // times the mean is dissolved into the nearest other lists.
    double split_above = 2.0;
    double merge_below = 0.25;
    // Splits and merges made at most in this call (the index stays valid
    // and searchable between them).
    uint64_t max_steps = ~uint64_t{0};
    // The list count to come back to once no list is beyond the bounds, by
    // merging the smallest lists; 0: the count when the call starts.
    uint64_t lists = 0;
    // The original vectors, for exact re-coding: row i holds id i, or the id
    // of row i is vector_ids[i]. Without them vectors are re-coded from what
    // their codes reconstruct (centroid + scale * decoded direction).
    const RefineRows* vectors = nullptr;
    std::optional<std::span<const uint64_t>> vector_ids;
  };
  struct RebalanceReport {
    uint64_t splits = 0;
    uint64_t merges = 0;
    uint64_t recoded = 0;   // vectors coded again against a new centroid
    bool balanced = false;  // no list left beyond the bounds
  };
  // Merges undersized lists and splits oversized ones, one step at a time:
  // the smallest list while one is below the bound, then the largest (ties:
  // the lower list number). A split divides the list by k-means into as
  // many parts as bring it to the mean size (the list keeps the first part,
  // the others become new lists), re-codes its vectors against their new
  // centroids and moves the vectors of the 32 lists nearest to it that are
  // now nearer to a new centroid; a merge re-codes the dissolved list's
  // vectors into their nearest remaining lists, and the last list takes its
  // number. Every vector joins the list of its nearest
  // centroid, as add does. The same calls in the same order give
  // bit-identical indexes on every path and thread count. Ctrl-C stops it
  // between steps (Interrupted); a step itself is not interrupted.
  RebalanceReport rebalance(const RebalanceOptions& options);

  // Gives back the room lists keep beyond their vectors (left by removals
  // and by the slack of growth) and returns the bytes freed. Results and
  // files are unchanged.
  uint64_t compact();

  // The vectors of `ids` as their codes reconstruct them: the list's
  // centroid plus the scale times the decoded residual direction, plus the
  // coding error's component along the centroid (from the shift).
  // ArgumentError for an id that is not stored.
  std::vector<float> reconstruct(std::span<const uint64_t> ids) const;

  // Rebuilds an index from stored state (file loading; `dim` is the input
  // dim, the parts are in the coded dim); checks everything
  // that must hold between the parts and throws varnel::Error otherwise.
  static PartitionedIndex from_parts(uint64_t dim, uint64_t bits, uint64_t lists, Rotation rotation,
                                     uint64_t seed, std::vector<float> centroids,
                                     std::vector<List> data);

  // Whether the lists' codes and norms are read in place from a file
  // mapping (from_parts with mapped stores). Such an index is read-only:
  // train, set_centroids, add_with_ids and the removals throw
  // ArgumentError(kMappedReadOnly).
  bool is_mapped() const;
  // The same index in memory of its own (a copy of the mapped arrays).
  PartitionedIndex owned_copy() const;

 private:
  PartitionedIndex() = default;
  void refuse_if_mapped() const;
  bool remove_stored(uint64_t id);
  // Count and finite values of stored or given centroids (Error otherwise).
  void check_centroid_values(std::span<const float> centroids) const;
  // Takes checked centroids and builds the coarse tables from them.
  void install_centroids(std::span<const float> centroids);
  CodeStore empty_codes() const;
  CodeStore owned_codes(const CodeStore& codes) const;
  std::vector<uint32_t> nearest_lists(const float* dots, uint64_t probes) const;
  std::vector<uint32_t> choose_lists(const float* query, uint64_t probes, float* dots) const;
  void all_dots(const float* query, float* dots) const;
  void nearest_from_rows(const float* rows, uint64_t count, uint32_t* out) const;
  void check_ids_are_new(std::span<const uint64_t> ids) const;
  // The rotated centroids of the lists a batch adds to.
  struct RotatedCentroids {
    std::vector<uint32_t> row_of;  // per list; meaningful for the lists used
    std::vector<float> rows;
    uint64_t padded_dim = 0;
    const float* row(uint32_t list) const { return rows.data() + uint64_t{row_of[list]} * padded_dim; }
  };
  RotatedCentroids rotate_centroids(std::span<const uint32_t> assignment) const;
  void encode_batch(std::span<const float> vectors, std::span<const uint32_t> assignment,
                    std::span<const uint64_t> positions);
  // Rebalancing: new centroids for a changed list count, and the id table
  // rebuilt for the lists' numbers.
  void replace_centroids(std::vector<float> centroids, uint64_t lists);
  void rebuild_id_table();
  std::vector<float> vectors_of(std::span<const uint64_t> ids, const RebalanceOptions& options) const;
  void split_list(uint64_t list, const RebalanceOptions& options, RebalanceReport* report);
  void move_vectors(std::span<const uint64_t> ids, std::span<const float> vectors, const CoarseTable& table);
  void add_vectors(std::span<const float> vectors, std::span<const uint64_t> ids, const CoarseTable* table);
  void dissolve_lists(std::vector<uint64_t> lists, const RebalanceOptions& options, RebalanceReport* report);
  // Whether one of `lists` is nearer to x than list `own`, by the add's
  // measure <x, c> - |c|^2 / 2 (larger is nearer).
  bool nearer_list_among(const float* x, uint32_t own, std::span<const uint32_t> lists) const;
  // A filtered query's lists (filter_plan.h), in increasing order, their
  // <q, centroid> left in `dots`.
  struct PlannedLists {
    std::vector<uint32_t> lists;
    bool direct = false;  // every admitted vector, scored one by one
  };
  PlannedLists plan_lists(const float* query, uint64_t probes, const ScanRequest& request, float* dots) const;
  // The centroids' tiles for filtered queries that rank many lists: the
  // resident table, or one built on first use (see filter_tiles_).
  const CoarseTable& tiled_centroids() const;

  std::vector<float> centroids_;  // lists * dim, empty until trained
  CoarseTable coarse_;  // empty unless keeps_coarse_table()
  std::vector<float> half_norms_;  // per list: half the centroid's squared norm, as the coarse table has it
  CoarseShortlist shortlist_;  // empty for a dim too large for its sums
  // A filtered query that ranks hundreds of lists needs their <q, centroid>:
  // the tiled kernels give them many times faster than sums row by row, so
  // an index without a resident table builds one the first time (as much
  // memory again as the centroids) and keeps it until the centroids change.
  OnceCell<CoarseTable> filter_tiles_;
  std::vector<List> lists_data_;
  // The id table keeps no ids of its own: it reads them back from the lists.
  struct IdsOf {
    const std::vector<List>* lists;
    uint64_t operator()(uint64_t list, uint64_t position) const { return (*lists)[list].ids[position]; }
  };
  IdsOf ids_of() const { return {&lists_data_}; }
  IdTable where_;  // id -> (list, position)
  OnceCell<BlockRotations> rotations_;
  OnceCell<Codebook> codebook_;
  OnceCell<std::vector<float>> signs_;
  uint64_t dim_ = 0;        // coded
  uint64_t input_dim_ = 0;  // as created; dim_ rounded up to a multiple of 8
  uint64_t bits_ = 0;
  uint64_t lists_ = 0;
  uint64_t seed_ = 0;
  Rotation rotation_ = Rotation::Rotor3;
  ContentStamp stamp_;
};

struct PartitionedQueryOptions {
  Metric metric = Metric::InnerProduct;
  const RefineRows* refine = nullptr;         // rows indexed by id; nullptr: scores from the codes
  uint64_t refine_factor = 1;                 // candidates re-scored: refine_factor * k
  const std::vector<uint64_t>* allowed_ids = nullptr;  // nullptr: every id; unknown ids are ignored
  // The id of each refine row, in any order; without it row i holds id i.
  std::optional<std::span<const uint64_t>> refine_ids;
  const ListFilter* filter = nullptr;  // the same, already by list (IdFilter); used when allowed_ids is nullptr
  FilterPlanOptions plan;              // how a filtered query widens its probes (filter_plan.h)
};

// search() with the options of IdMapIndex's query: only allowed ids, cosine
// or squared L2 (from the stored vector lengths; L2 ascending), and exact
// re-scoring of the best refine_factor * k candidates against refine rows.
// A filtered query plans its lists (filter_plan.h): probes is where the
// plan starts, and while k ids are admitted it returns k results.
// The effective k is min(k, allowed stored ids), at least 1. Empty slots:
// kEmptyId with -inf (+inf for L2).
IdSearchResults query(const PartitionedIndex& index, std::span<const float> queries, uint64_t k,
                      uint64_t probes, const PartitionedQueryOptions& options);

}  // namespace varnel

// Partitioned index files (write/load, bytes, the hardened reader) and
// search with options (allowed ids, metrics, exact re-scoring).
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "../fuzz/mapped_reseal.h"
#include "index/partitioned_index.h"
#include "index/query.h"
#include "runtime/cpu.h"
#include "runtime/error.h"
#include "runtime/pool.h"
#include "storage/io.h"
#include "storage/mapped_file.h"
#include "test_support.h"

namespace varnel {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::random_vectors;

constexpr uint64_t kDim = 16;

std::vector<uint64_t> spaced_ids(uint64_t n) {
  std::vector<uint64_t> ids(n);
  for (uint64_t i = 0; i < n; ++i) ids[i] = 3 * i + 2;
  return ids;
}

PartitionedIndex filled(uint64_t bits, uint64_t lists, uint64_t n, Rotation rotation = Rotation::Rotor3) {
  PartitionedIndex index = PartitionedIndex::create(kDim, bits, lists, rotation);
  const std::vector<float> data = random_vectors(n, kDim, 7);
  index.train(data);
  index.add_with_ids(data, spaced_ids(n));
  return index;
}

void expect_same(const IdSearchResults& a, const IdSearchResults& b) {
  ASSERT_EQ(a.k, b.k);
  EXPECT_EQ(a.ids, b.ids);
  ASSERT_EQ(a.scores.size(), b.scores.size());
  for (std::size_t i = 0; i < a.scores.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(a.scores[i]), std::bit_cast<uint32_t>(b.scores[i])) << i;
  }
}

void expect_same_index(const PartitionedIndex& a, const PartitionedIndex& b) {
  EXPECT_EQ(a.dim(), b.dim());
  EXPECT_EQ(a.bits(), b.bits());
  EXPECT_EQ(a.lists(), b.lists());
  EXPECT_EQ(a.rotation(), b.rotation());
  EXPECT_EQ(a.seed(), b.seed());
  EXPECT_EQ(a.centroids(), b.centroids());
  EXPECT_EQ(a.list_sizes(), b.list_sizes());
  ASSERT_EQ(a.len(), b.len());
  if (!a.is_trained() || a.len() == 0) return;
  const std::vector<float> queries = random_vectors(5, a.dim(), 9);
  const uint64_t probes = std::min<uint64_t>(3, a.lists());
  expect_same(a.search(queries, 7, probes), b.search(queries, 7, probes));
}

TEST(PartitionedFile, BytesAndFilesGiveBackTheSameIndex) {
  std::vector<PartitionedIndex> cases;
  cases.push_back(filled(4, 6, 300));
  cases.push_back(filled(2, 3, 70, Rotation::WalshRotor3));
  cases.push_back(filled(3, 1, 40, Rotation::Iso4));
  cases.push_back(PartitionedIndex::create(kDim, 4, 5, Rotation::Planar2));  // untrained
  PartitionedIndex emptied = filled(4, 4, 20);
  for (uint64_t id : spaced_ids(20)) emptied.remove(id);
  cases.push_back(std::move(emptied));
  const std::string path = ::testing::TempDir() + "varnel_partitioned_" + std::to_string(::getpid());
  for (const PartitionedIndex& index : cases) {
    const Bytes bytes = partitioned_to_bytes(index);
    EXPECT_EQ(bytes.size(), file_size(index));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VNIP");
    expect_same_index(index, partitioned_from_bytes(bytes));
    write_partitioned(index, path);
    EXPECT_EQ(std::filesystem::file_size(path), bytes.size());
    expect_same_index(index, load_partitioned(path));
  }
  std::filesystem::remove(path);
}

TEST(PartitionedFile, OtherKindsOfFileAreRefusedByMagic) {
  IdMapIndex other = IdMapIndex::create(kDim, 4, Rotation::Rotor3);
  EXPECT_THROW(partitioned_from_bytes(id_map_to_bytes(other)), IoError);
  EXPECT_THROW(id_map_from_bytes(partitioned_to_bytes(filled(4, 2, 10))), IoError);
}

// Every cut into the data and every flipped bit of a small file is refused
// with IoError (the trailer's checksum covers the rest), never a crash.
TEST(PartitionedFile, TruncatedOrDamagedFilesAreRefused) {
  const Bytes bytes = partitioned_to_bytes(filled(2, 3, 12));
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    SCOPED_TRACE("cut at " + std::to_string(size));
    const Bytes cut(bytes.begin(), bytes.begin() + std::ptrdiff_t(size));
    // Without its trailer (or cut inside it) the data is whole and loads
    // unverified, as files written before the trailer existed do.
    if (size >= bytes.size() - kTrailerSize) {
      EXPECT_NO_THROW(partitioned_from_bytes(cut));
    } else {
      EXPECT_THROW(partitioned_from_bytes(cut), IoError);
    }
  }
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (int bit = 0; bit < 8; bit += 3) {
      Bytes damaged = bytes;
      damaged[at] ^= uint8_t(1u << bit);
      SCOPED_TRACE("byte " + std::to_string(at) + " bit " + std::to_string(bit));
      EXPECT_THROW(partitioned_from_bytes(damaged), IoError);
    }
  }
}

void put_u32(Bytes& bytes, std::size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
}

// Counts a file could not hold are refused before memory is taken for them
// (without a trailer, so that only the size checks stand in the way).
TEST(PartitionedFile, CountsBeyondTheFileAreRefusedBeforeAllocating) {
  Bytes bytes = partitioned_to_bytes(filled(4, 2, 10));
  bytes.resize(bytes.size() - kTrailerSize);
  constexpr std::size_t kDimAt = 7, kListsAt = 11;
  const std::size_t first_list_at = 4 + 1 + 1 + 1 + 4 + 4 + 8 + 1 + 2 * kDim * 4;
  struct Lie {
    std::size_t at;
    uint32_t value;
  };
  for (const Lie lie : {Lie{kListsAt, 0}, Lie{kListsAt, 1u << 24}, Lie{kListsAt, (1u << 24) + 1},
                        Lie{kListsAt, 0xFFFFFFFFu}, Lie{kDimAt, 0}, Lie{kDimAt, 0xFFFFFFF8u},
                        Lie{kDimAt, 1u << 28}, Lie{first_list_at, 0xFFFFFFFFu}, Lie{first_list_at, 1000}}) {
    Bytes lying = bytes;
    put_u32(lying, lie.at, lie.value);
    SCOPED_TRACE("offset " + std::to_string(lie.at) + " value " + std::to_string(lie.value));
    EXPECT_THROW(partitioned_from_bytes(lying), IoError);
  }
  // Ids repeated across lists, norms that no vector has.
  PartitionedIndex index = filled(4, 2, 10);
  Bytes clean = partitioned_to_bytes(index);
  clean.resize(clean.size() - kTrailerSize);
  const uint64_t first = index.list_sizes()[0];
  ASSERT_GE(first, 2u);
  const std::size_t ids_at = first_list_at + 4 + first * (kDim / 8 * 4 + 12);
  Bytes duplicated = clean;
  std::copy_n(duplicated.begin() + std::ptrdiff_t(ids_at), 8, duplicated.begin() + std::ptrdiff_t(ids_at + 8));
  EXPECT_THROW(partitioned_from_bytes(duplicated), IoError);
  Bytes negative = clean;
  const std::size_t norms_at = first_list_at + 4 + first * (kDim / 8 * 4);
  negative[norms_at + 3] |= 0x80;
  EXPECT_THROW(partitioned_from_bytes(negative), IoError);
  Bytes infinite_shift = clean;
  const float infinity = std::numeric_limits<float>::infinity();
  std::memcpy(&infinite_shift[norms_at + first * 4], &infinity, 4);
  EXPECT_THROW(partitioned_from_bytes(infinite_shift), IoError);
}

// A residual's scale reaches twice its length, and the length may be as long
// as add takes: vectors that long, far from their centroid, give scales above
// any vector's norm, and their files load again from either layout.
TEST(PartitionedFile, LongVectorsFarFromTheirCentroidLoadAgain) {
  const float longest = std::sqrt(std::numeric_limits<float>::max());
  for (const uint64_t bits : {2, 3, 4}) {
    SCOPED_TRACE(bits);
    PartitionedIndex index = PartitionedIndex::create(kDim, bits, 1, Rotation::Rotor3);
    index.set_centroids(std::vector<float>(kDim, 0.0f));
    std::vector<float> data = random_vectors(60, kDim, 3);
    for (uint64_t row = 0; row < 60; ++row) {
      float* x = data.data() + row * kDim;
      const float scale = 1.7e19f / vector_norm(x, kDim);
      for (uint64_t j = 0; j < kDim; ++j) x[j] *= scale;
    }
    index.add_with_ids(data, spaced_ids(60));
    const StoredArray<float>& scales = index.list_data()[0].norms;
    ASSERT_GT(*std::max_element(scales.begin(), scales.end()), longest);
    expect_same_index(partitioned_from_bytes(partitioned_to_bytes(index)), index);
    fuzzing::AlignedCopy mapped(mapped_partitioned_bytes(index));
    expect_same_index(read_mapped_partitioned(mapped.span(), std::make_shared<int>(0), false), index);
  }
}

// Values no add stores are refused however the index is rebuilt: a length
// above the longest vector, a scale above twice that.
TEST(PartitionedFile, StoredValuesBeyondWhatAddStoresAreRefused) {
  const PartitionedIndex index = filled(4, 2, 10);
  for (const bool length : {true, false}) {
    std::vector<PartitionedIndex::List> lists = index.list_data();
    (length ? lists[0].lengths : lists[0].norms)[0] = length ? 1.9e19f : 3.8e19f;
    EXPECT_THROW(PartitionedIndex::from_parts(index.dim(), index.bits(), index.lists(), index.rotation(),
                                              index.seed(), index.centroids(), std::move(lists)),
                 Error);
  }
}

// Version 2 files hold no shifts: read with zero shifts, their vectors score
// as they did when written.
TEST(PartitionedFile, VersionTwoFilesScoreWithZeroShifts) {
  const PartitionedIndex index = filled(3, 3, 50);
  Bytes old = partitioned_to_bytes(index);
  old.resize(old.size() - kTrailerSize);
  old[4] = 2;
  std::size_t at = 4 + 1 + 1 + 1 + 4 + 4 + 8 + 1 + 3 * kDim * 4;
  for (const PartitionedIndex::List& list : index.list_data()) {
    const std::size_t n = list.ids.size(), shifts_at = at + 4 + n * (kDim / 8 * 3 + 4);
    old.erase(old.begin() + std::ptrdiff_t(shifts_at), old.begin() + std::ptrdiff_t(shifts_at + 4 * n));
    at += 4 + n * (kDim / 8 * 3 + 4 + 4 + 8);
  }
  ASSERT_EQ(at, old.size());
  const PartitionedIndex loaded = partitioned_from_bytes(old);
  std::vector<PartitionedIndex::List> lists = index.list_data();
  for (PartitionedIndex::List& list : lists) list.shifts = StoredArray<float>(RawVector<float>(list.ids.size(), 0.0f));
  expect_same_index(loaded, PartitionedIndex::from_parts(index.dim(), index.bits(), index.lists(), index.rotation(),
                                                         index.seed(), index.centroids(), std::move(lists)));
  old[4] = 4;
  EXPECT_THROW(partitioned_from_bytes(old), IoError);
}

// ---- Search with options ----

struct Ranked {
  float key;
  uint64_t id;
};

// Every stored vector with its search score (all lists probed), turned into
// the metric's key and ranked: the reference for query without refinement.
std::vector<Ranked> ranked_by_metric(const PartitionedIndex& index, const float* query, Metric metric,
                                     const std::vector<float>& data, const std::vector<uint64_t>& ids) {
  const IdSearchResults all =
      index.search(std::span<const float>(query, index.dim()), index.len(), index.lists());
  const float q_norm = vector_norm(query, index.dim());
  std::vector<Ranked> out;
  for (uint64_t i = 0; i < all.ids.size(); ++i) {
    const uint64_t row = uint64_t(std::find(ids.begin(), ids.end(), all.ids[i]) - ids.begin());
    const float length = vector_norm(data.data() + row * index.dim(), index.dim());
    const float ip = all.scores[i];
    float key = ip;
    if (metric == Metric::Cosine) key = q_norm * length > 0.0f ? ip / (q_norm * length) : 0.0f;
    if (metric == Metric::L2) key = -((q_norm * q_norm + length * length) - 2.0f * ip);
    out.push_back({key, all.ids[i]});
  }
  std::stable_sort(out.begin(), out.end(), [](const Ranked& a, const Ranked& b) { return a.key > b.key; });
  return out;
}

TEST(PartitionedQuery, AllowedIdsAndMetricsRankLikeTheEstimatorOverEveryVector) {
  for (const uint64_t bits : {4u, 2u, 3u}) {
    const uint64_t n = 400, lists = 5, k = 6;
    PartitionedIndex index = PartitionedIndex::create(kDim, bits, lists, Rotation::Rotor3);
    std::vector<float> data = random_vectors(n, kDim, 21);
    for (uint64_t i = 0; i < n; ++i) {
      for (uint64_t j = 0; j < kDim; ++j) data[i * kDim + j] *= 1.0f + float(i % 5);  // lengths differ
    }
    const std::vector<uint64_t> ids = spaced_ids(n);
    index.train(data);
    index.add_with_ids(data, ids);
    std::vector<uint64_t> allowed = {ids[3], ids[50], ids[51], ids[399], 1, ids[200], ids[7], ids[8]};
    const std::vector<float> queries = random_vectors(3, kDim, 22);
    for (const Metric metric : {Metric::InnerProduct, Metric::Cosine, Metric::L2}) {
      for (const bool filtered : {false, true}) {
        SCOPED_TRACE("bits " + std::to_string(bits) + " metric " + std::to_string(int(metric)) +
                     (filtered ? " filtered" : ""));
        PartitionedQueryOptions options;
        options.metric = metric;
        if (filtered) options.allowed_ids = &allowed;
        const IdSearchResults found = query(index, queries, k, lists, options);
        ASSERT_EQ(found.k, k);
        for (uint64_t q = 0; q < 3; ++q) {
          std::vector<Ranked> expected = ranked_by_metric(index, queries.data() + q * kDim, metric, data, ids);
          if (filtered) {
            std::erase_if(expected, [&](const Ranked& r) {
              return std::find(allowed.begin(), allowed.end(), r.id) == allowed.end();
            });
          }
          for (uint64_t i = 0; i < k; ++i) {
            EXPECT_EQ(found.ids[q * k + i], expected[i].id) << q << " " << i;
            const float score = metric == Metric::L2 ? -expected[i].key : expected[i].key;
            EXPECT_EQ(found.scores[q * k + i], score) << q << " " << i;
          }
        }
      }
    }
  }
}

TEST(PartitionedQuery, RefineRescoresTheBestCandidatesExactly) {
  const uint64_t n = 300, k = 5, factor = 3;
  PartitionedIndex index = PartitionedIndex::create(kDim, 2, 4, Rotation::Rotor3);
  const std::vector<float> data = random_vectors(n, kDim, 31);
  std::vector<uint64_t> ids(n);
  for (uint64_t i = 0; i < n; ++i) ids[i] = n - 1 - i;  // refine rows are indexed by id
  index.train(data);
  index.add_with_ids(data, ids);
  std::vector<float> rows(n * kDim);
  for (uint64_t i = 0; i < n; ++i) std::copy_n(data.data() + i * kDim, kDim, rows.data() + ids[i] * kDim);
  const RefineRows refine{rows.data(), n, kDim};
  const std::vector<float> queries = random_vectors(2, kDim, 32);
  for (const Metric metric : {Metric::InnerProduct, Metric::L2}) {
    PartitionedQueryOptions plain;
    plain.metric = metric;
    const IdSearchResults candidates = query(index, queries, k * factor, 2, plain);
    PartitionedQueryOptions options = plain;
    options.refine = &refine;
    options.refine_factor = factor;
    const IdSearchResults found = query(index, queries, k, 2, options);
    ASSERT_EQ(found.k, k);
    for (uint64_t q = 0; q < 2; ++q) {
      std::vector<Ranked> exact;
      for (uint64_t i = 0; i < k * factor; ++i) {
        const uint64_t id = candidates.ids[q * k * factor + i];
        exact.push_back({exact_score(metric, queries.data() + q * kDim, rows.data() + id * kDim, kDim), id});
      }
      std::stable_sort(exact.begin(), exact.end(), [&](const Ranked& a, const Ranked& b) {
        return metric == Metric::L2 ? a.key < b.key : a.key > b.key;
      });
      std::vector<uint64_t> expected_ids, found_ids(found.ids.begin() + q * k, found.ids.begin() + (q + 1) * k);
      for (uint64_t i = 0; i < k; ++i) {
        expected_ids.push_back(exact[i].id);
        EXPECT_EQ(found.scores[q * k + i], exact[i].key);
      }
      EXPECT_EQ(found_ids, expected_ids);
    }
  }
  // A candidate without a row is refused; rows are checked per candidate,
  // so the query for the vector of the last id (the first added) finds it.
  PartitionedQueryOptions short_rows;
  const RefineRows too_few{rows.data(), n - 1, kDim};
  short_rows.refine = &too_few;
  const std::span<const float> last_vector(data.data(), kDim);
  EXPECT_THROW(query(index, last_vector, k, 4, short_rows), ArgumentError);
  const RefineRows wrong_width{rows.data(), n / 2, kDim * 2};
  short_rows.refine = &wrong_width;
  EXPECT_THROW(query(index, queries, k, 2, short_rows), ArgumentError);
  PartitionedQueryOptions zero_factor;
  zero_factor.refine = &refine;
  zero_factor.refine_factor = 0;
  EXPECT_THROW(query(index, queries, k, 2, zero_factor), ArgumentError);
}

// Options go through the same scan as search: filtered, cosine and L2
// results, single queries spread over the pool (probed lists above 8,192
// vectors) and batches alike are the same on every path and thread count.
TEST(PartitionedQuery, ResultsAreTheSameOnEveryPathAndThreadCount) {
  const uint64_t n = 12000, lists = 3;
  std::vector<float> data = random_vectors(n, kDim, 41);
  for (uint64_t i = 0; i < n; ++i) data[i * kDim] += float(i % 7);
  std::vector<uint64_t> allowed;
  for (uint64_t i = 0; i < n; i += 3) allowed.push_back(spaced_ids(n)[i]);
  const std::vector<float> queries = random_vectors(4, kDim, 42);
  for (const uint64_t bits : {2u, 3u, 4u}) {
    PartitionedIndex index = PartitionedIndex::create(kDim, bits, lists, Rotation::Rotor3);
    index.train(data);
    index.add_with_ids(data, spaced_ids(n));
    std::vector<IdSearchResults> first;
    for (const ScanPath path : supported_scan_paths()) {
      ASSERT_TRUE(force_scan_path(path));
      for (const std::size_t threads : {1, 2, 3}) {
        set_num_threads(threads);
        std::vector<IdSearchResults> found;
        for (const Metric metric : {Metric::InnerProduct, Metric::Cosine, Metric::L2}) {
          PartitionedQueryOptions options;
          options.metric = metric;
          for (const uint64_t nq : {1u, 4u}) {
            const std::span<const float> some(queries.data(), nq * kDim);
            found.push_back(query(index, some, 9, lists, options));
            options.allowed_ids = &allowed;
            found.push_back(query(index, some, 9, 2, options));
            options.allowed_ids = nullptr;
          }
        }
        if (first.empty()) {
          first = found;
          continue;
        }
        SCOPED_TRACE(std::string(scan_path_name(path)) + " x" + std::to_string(threads) + " bits " +
                     std::to_string(bits));
        ASSERT_EQ(found.size(), first.size());
        for (std::size_t i = 0; i < found.size(); ++i) expect_same(found[i], first[i]);
      }
    }
    reset_scan_path();
    set_num_threads(0);
  }
}

TEST(PartitionedQuery, NothingAllowedGivesOneEmptyColumn) {
  const PartitionedIndex index = filled(4, 3, 50);
  const std::vector<uint64_t> unknown = {1, 4, 7};  // no stored id is 1 mod 3
  PartitionedQueryOptions options;
  options.allowed_ids = &unknown;
  for (const Metric metric : {Metric::InnerProduct, Metric::L2}) {
    options.metric = metric;
    const IdSearchResults found = query(index, random_vectors(2, kDim, 3), 4, 3, options);
    ASSERT_EQ(found.k, 1u);
    EXPECT_EQ(found.ids, (std::vector<uint64_t>{PartitionedIndex::kEmptyId, PartitionedIndex::kEmptyId}));
    const float empty = metric == Metric::L2 ? std::numeric_limits<float>::infinity()
                                             : -std::numeric_limits<float>::infinity();
    EXPECT_EQ(found.scores, (std::vector<float>{empty, empty}));
  }
}

}  // namespace
}  // namespace varnel

// Search with options: filter, metrics, refinement, decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "index/id_map.h"
#include "index/query.h"
#include "index/skerry_index.h"
#include "quantize/pack.h"
#include "runtime/cpu.h"
#include "runtime/error.h"
#include "runtime/pool.h"
#include "test_support.h"

using varnel::AllowedSet;
using varnel::Metric;
using varnel::QueryOptions;
using varnel::SearchResults;
using varnel::SkerryIndex;

namespace {

SkerryIndex make_index(uint64_t bits, const std::vector<float>& data, uint64_t dim) {
  SkerryIndex index = SkerryIndex::create(dim, bits, varnel::Rotation::Rotor3);
  index.add(data);
  return index;
}

void expect_same(const SearchResults& got, const SearchResults& expected) {
  EXPECT_EQ(got.k, expected.k);
  EXPECT_EQ(got.indices, expected.indices);
  ASSERT_EQ(got.scores.size(), expected.scores.size());
  for (size_t i = 0; i < got.scores.size(); ++i) {
    EXPECT_EQ(got.scores[i], expected.scores[i]) << "slot " << i;  // bit for bit, no NaN here
  }
}

struct ForcedCompaction {
  explicit ForcedCompaction(int mode) { varnel::force_filter_compaction(mode); }
  ~ForcedCompaction() { varnel::force_filter_compaction(-1); }
};

}  // namespace

class QueryBits : public ::testing::TestWithParam<uint64_t> {};
INSTANTIATE_TEST_SUITE_P(Bits, QueryBits, ::testing::Values(2, 3, 4));

// Batches, a single query spread over the threads (n >= 16384) and k above
// the heap limit all go through the same kernels and selector as search.
TEST_P(QueryBits, WithoutOptionsEqualsSearch) {
  const uint64_t dim = 16;
  const auto data = varnel::testing::random_vectors(17000, dim, 1);
  const auto queries = varnel::testing::random_vectors(9, dim, 2);
  const SkerryIndex index = make_index(GetParam(), data, dim);
  for (const uint64_t nq : {1u, 9u}) {
    for (const uint64_t k : {1u, 10u, 40u}) {
      std::span<const float> q(queries.data(), nq * dim);
      expect_same(varnel::query(index, q, k, QueryOptions{}), index.search(q, k));
    }
  }
}

// A filtered query equals the plain search over an index of the allowed
// vectors alone, positions mapped back; with and without compaction.
TEST_P(QueryBits, FilterEqualsSearchOverTheAllowedVectors) {
  const uint64_t dim = 24, n = 700;
  const auto data = varnel::testing::random_vectors(n, dim, 3);
  const auto queries = varnel::testing::random_vectors(6, dim, 4);
  const SkerryIndex index = make_index(GetParam(), data, dim);
  // Sparse and scattered, whole blocks missing, and fewer than k.
  const std::vector<std::vector<int64_t>> filters = {
      {3, 40, 41, 90, 250, 251, 252, 699}, {5, 1}, [] {
        std::vector<int64_t> p;
        for (int64_t i = 0; i < 700; i += 3) p.push_back(i);
        return p;
      }()};
  for (const auto& positions : filters) {
    std::vector<int64_t> sorted = positions;
    std::sort(sorted.begin(), sorted.end());
    std::vector<float> subset;
    for (const int64_t p : sorted) subset.insert(subset.end(), &data[p * dim], &data[(p + 1) * dim]);
    const SkerryIndex small = make_index(GetParam(), subset, dim);
    SearchResults expected = small.search(queries, 5);
    for (int64_t& i : expected.indices) i = i < 0 ? -1 : sorted[i];
    const AllowedSet allowed = AllowedSet::from_positions(std::span<const int64_t>(positions), n);
    for (const int mode : {0, 1}) {
      ForcedCompaction forced(mode);
      QueryOptions options;
      options.allowed = &allowed;
      expect_same(varnel::query(index, queries, 5, options), expected);
    }
  }
}

// At 2 and 3 bits query takes its candidates from the bounded scan; they
// must be exactly those of scoring every allowed vector (4 bits: the same
// checks of the table scan alone), for every metric
// (whose keys the bound has to carry), filter, compaction and refinement, on
// every scan path, for batches and for one query spread over the threads.
// The data has ties (repeated vectors), a zero vector and widely spread norms.
TEST(Query, BoundedScanEqualsScoringEveryVector) {
  const uint64_t n = 17000;
  const std::vector<std::vector<int64_t>> filters = {
      {}, {3, 40, 41, 90, 250, 251, 252, 16999}, [] {
        std::vector<int64_t> p;
        for (int64_t i = 0; i < 17000; i += 3) p.push_back(i);
        return p;
      }()};
  struct ExactScan {
    explicit ExactScan(bool on) { varnel::force_exact_code_scan(on); }
    ~ExactScan() { varnel::force_exact_code_scan(false); }
  };
  for (const uint64_t bits : {2u, 3u, 4u}) {
    for (const uint64_t dim : {16u, 64u}) {
      auto data = varnel::testing::random_vectors(n, dim, 11 + dim);
      for (uint64_t i = 0; i < n; ++i) {
        const float scale = i % 7 == 0 ? 1e3f : i % 5 == 0 ? 1e-3f : 1.0f;
        for (uint64_t j = 0; j < dim; ++j) data[i * dim + j] *= scale;
      }
      std::copy_n(data.begin(), 40 * dim, data.begin() + 9000 * dim);  // repeated vectors
      std::fill_n(data.begin() + 5 * dim, dim, 0.0f);
      // Eleven queries: more than one kernel group of eight (3 bits) and of four.
      const auto queries = varnel::testing::random_vectors(11, dim, 12);
      const SkerryIndex index = make_index(bits, data, dim);
      const varnel::RefineRows rows{data.data(), n, dim};
      for (const auto& positions : filters) {
        const AllowedSet allowed = AllowedSet::from_positions(std::span<const int64_t>(positions), n);
        for (const Metric metric : {Metric::InnerProduct, Metric::Cosine, Metric::L2}) {
          for (const uint64_t factor : {0u, 3u}) {
            for (const int compaction : {0, 1}) {
              ForcedCompaction forced(compaction);
              QueryOptions options;
              options.allowed = positions.empty() ? nullptr : &allowed;
              options.metric = metric;
              options.refine = factor ? &rows : nullptr;
              options.refine_factor = std::max<uint64_t>(1, factor);
              SearchResults batched;  // several queries: never spread over the threads
              for (const uint64_t nq : {11u, 1u}) {
                std::span<const float> q(queries.data(), nq * dim);
                SearchResults expected;
                {
                  ExactScan exact(true);
                  expected = varnel::query(index, q, 10, options);
                }
                if (nq > 1) {
                  batched = expected;
                } else {  // one query over the threads selects as one thread does
                  const std::vector<int64_t> first_row(batched.indices.begin(), batched.indices.begin() + expected.k);
                  EXPECT_EQ(expected.indices, first_row);
                }
                for (const varnel::ScanPath path : varnel::supported_scan_paths()) {
                  ASSERT_TRUE(varnel::force_scan_path(path));
                  SCOPED_TRACE(testing::Message() << "bits " << bits << " dim " << dim << " filter "
                                                  << positions.size() << " metric " << int(metric)
                                                  << " refine " << factor << " compaction "
                                                  << compaction << " nq " << nq << " path "
                                                  << varnel::scan_path_name(path));
                  expect_same(varnel::query(index, q, 10, options), expected);
                }
                varnel::reset_scan_path();
              }
            }
          }
        }
      }
    }
  }
}

// The bounded scan's cosine and L2 keys of its bounds, on every path, where
// stored lengths are anything a file may hold (negative ones make the keys
// fall with the sum, NaN and infinite ones give NaN keys) and where the
// product of the lengths overflows: the same results as scoring every
// vector. Whole blocks and a partial last block.
TEST(Query, BoundedKeysWithStrangeLengthsEqualScoringEveryVector) {
  const uint64_t dim = 32, n = 2000;
  for (const uint64_t bits : {2u, 3u}) {
    std::vector<uint8_t> codes(n * dim);
    for (uint64_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>((i * 2654435761u >> 7) & ((1u << bits) - 1));
    const std::vector<float> values = varnel::testing::random_vectors(1, n, 21);
    varnel::RawVector<float> norms(values.begin(), values.end());
    for (uint64_t v = 0; v < n; ++v) norms[v] = std::fabs(norms[v]);
    for (uint64_t v = 0; v < n; v += 3) norms[v] = -norms[v];
    norms[3] = std::numeric_limits<float>::quiet_NaN();
    norms[4] = std::numeric_limits<float>::infinity();
    norms[6] = 0.0f;
    norms[40] = 1e38f;
    norms[41] = 3e38f;
    norms[100] = 1e-40f;
    const std::vector<uint8_t> rows = varnel::pack_codes(codes, n, dim, bits);
    const SkerryIndex index = SkerryIndex::from_parts(
        dim, bits, varnel::Rotation::Iso4, SkerryIndex::kDefaultSeed, n,
        varnel::RawVector<uint8_t>(rows.begin(), rows.end()), norms);
    auto queries = varnel::testing::random_vectors(8, dim, 22);
    for (uint64_t j = 0; j < dim; ++j) queries[dim + j] *= 1e6f;  // |q| |x| overflows for 1e38
    for (const Metric metric : {Metric::Cosine, Metric::L2}) {
      for (const uint64_t k : {1u, 10u, 100u}) {
        QueryOptions options;
        options.metric = metric;
        varnel::force_exact_code_scan(true);
        const SearchResults expected = varnel::query(index, queries, k, options);
        varnel::force_exact_code_scan(false);
        for (const varnel::ScanPath path : varnel::supported_scan_paths()) {
          ASSERT_TRUE(varnel::force_scan_path(path));
          SCOPED_TRACE(testing::Message() << "bits " << bits << " metric " << int(metric) << " k " << k
                                          << " path " << varnel::scan_path_name(path));
          const SearchResults got = varnel::query(index, queries, k, options);
          EXPECT_EQ(got.indices, expected.indices);
          ASSERT_EQ(got.scores.size(), expected.scores.size());
          EXPECT_EQ(0, std::memcmp(got.scores.data(), expected.scores.data(), got.scores.size() * sizeof(float)));
        }
        varnel::reset_scan_path();
      }
    }
  }
}

TEST(Query, MetricsFollowFromInnerProductsAndNorms) {
  const uint64_t dim = 16, n = 300;
  auto data = varnel::testing::random_vectors(n, dim, 5);
  std::fill(data.begin() + 7 * dim, data.begin() + 8 * dim, 0.0f);  // a zero vector
  const auto queries = varnel::testing::random_vectors(2, dim, 6);
  const SkerryIndex index = make_index(4, data, dim);
  const SearchResults all = index.search(queries, n);
  for (const Metric metric : {Metric::Cosine, Metric::L2}) {
    QueryOptions options;
    options.metric = metric;
    const SearchResults got = varnel::query(index, queries, 10, options);
    for (uint64_t q = 0; q < 2; ++q) {
      const float qn = varnel::vector_norm(&queries[q * dim], dim);
      std::vector<std::pair<float, int64_t>> expected;  // (key, position)
      for (uint64_t r = 0; r < n; ++r) {
        const int64_t p = all.indices[q * n + r];
        const float ip = all.scores[q * n + r], xn = index.norms()[p];
        const float key = metric == Metric::Cosine
                              ? (qn * xn > 0.0f ? ip / (qn * xn) : 0.0f)
                              : -((qn * qn + xn * xn) - 2.0f * ip);
        ASSERT_FALSE(std::isnan(key));
        expected.push_back({key, p});
      }
      std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
      });
      for (uint64_t r = 0; r < 10; ++r) {
        const float score = metric == Metric::L2 ? -expected[r].first : expected[r].first;
        EXPECT_EQ(got.scores[q * 10 + r], score);
        EXPECT_EQ(got.indices[q * 10 + r], expected[r].second);
      }
    }
  }
}

TEST(Query, RefinementRescoresTheCodeCandidatesExactly) {
  const uint64_t dim = 32, n = 500, k = 5, factor = 3;
  const auto data = varnel::testing::random_vectors(n, dim, 7);
  const auto queries = varnel::testing::random_vectors(3, dim, 8);
  const SkerryIndex index = make_index(2, data, dim);
  const varnel::RefineRows rows{data.data(), n, dim};
  for (const Metric metric : {Metric::InnerProduct, Metric::Cosine, Metric::L2}) {
    QueryOptions plain;
    plain.metric = metric;
    const SearchResults candidates = varnel::query(index, queries, k * factor, plain);
    QueryOptions options = plain;
    options.refine = &rows;
    options.refine_factor = factor;
    const SearchResults got = varnel::query(index, queries, k, options);
    for (uint64_t q = 0; q < 3; ++q) {
      std::vector<std::pair<float, int64_t>> rescored;
      for (uint64_t r = 0; r < k * factor; ++r) {
        const int64_t p = candidates.indices[q * k * factor + r];
        const float s = varnel::exact_score(metric, &queries[q * dim], &data[p * dim], dim);
        rescored.push_back({metric == Metric::L2 ? -s : s, p});
      }
      std::sort(rescored.begin(), rescored.end(), [](auto& a, auto& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
      });
      for (uint64_t r = 0; r < k; ++r) {
        EXPECT_EQ(got.indices[q * k + r], rescored[r].second);
        EXPECT_EQ(got.scores[q * k + r], metric == Metric::L2 ? -rescored[r].first : rescored[r].first);
      }
    }
  }
}

TEST(Query, RefineRowsMustCoverEveryReturnablePosition) {
  const uint64_t dim = 8;
  const auto data = varnel::testing::random_vectors(10, dim, 9);
  const SkerryIndex index = make_index(3, data, dim);
  const varnel::RefineRows short_rows{data.data(), 9, dim};
  QueryOptions options;
  options.refine = &short_rows;
  EXPECT_THROW(varnel::query(index, std::span(data).first(dim), 3, options), varnel::ArgumentError);
  const AllowedSet allowed = AllowedSet::from_positions(std::span<const int64_t>({0, 8}), 10);
  options.allowed = &allowed;
  EXPECT_EQ(varnel::query(index, std::span(data).first(dim), 3, options).k, 2u);
}

TEST(Query, ZeroNormsScoreWithoutNaN) {
  const uint64_t dim = 8;
  std::vector<float> data(3 * dim, 0.0f);
  data[dim] = 1.0f;
  const SkerryIndex index = make_index(4, data, dim);
  const std::vector<float> zero_query(dim, 0.0f);
  for (const Metric metric : {Metric::Cosine, Metric::L2}) {
    QueryOptions options;
    options.metric = metric;
    const SearchResults got = varnel::query(index, zero_query, 3, options);
    for (const float s : got.scores) EXPECT_FALSE(std::isnan(s));
  }
}

// 4-bit Lloyd-Max codes keep about 99 % of a vector's energy (the mean
// squared error of the codebook is under 1 %); a wrong inverse rotation
// would leave errors near 200 %.
TEST(Query, ReconstructIsCloseToTheInput) {
  const uint64_t dim = 64, n = 200;
  const auto data = varnel::testing::random_vectors(n, dim, 10);
  for (const varnel::Rotation rotation : varnel::testing::kAllRotations) {
    SkerryIndex index = SkerryIndex::create(dim, 4, rotation);
    index.add(data);
    std::vector<uint64_t> positions(n);
    std::iota(positions.rbegin(), positions.rend(), 0);  // any order
    const std::vector<float> decoded = varnel::reconstruct(index, positions);
    double error = 0, energy = 0;
    for (uint64_t i = 0; i < n; ++i) {
      double vector_error = 0, vector_energy = 0;
      for (uint64_t j = 0; j < dim; ++j) {
        const double x = data[positions[i] * dim + j], d = decoded[i * dim + j] - x;
        vector_error += d * d;
        vector_energy += x * x;
      }
      EXPECT_LT(vector_error, 0.1 * vector_energy) << varnel::rotation_name(rotation);
      error += vector_error;
      energy += vector_energy;
    }
    EXPECT_LT(error, 0.012 * energy) << varnel::rotation_name(rotation);
  }
  const SkerryIndex index = make_index(4, data, dim);
  EXPECT_THROW(varnel::reconstruct(index, std::vector<uint64_t>{n}), varnel::ArgumentError);
}

TEST(IdMapQuery, RemoveManyRemovesAllOrNothing) {
  auto index = varnel::IdMapIndex::create(8, 2, varnel::Rotation::Rotor3);
  const auto data = varnel::testing::random_vectors(4, 8, 11);
  index.add_with_ids(data, std::vector<uint64_t>{10, 20, 30, 40});
  EXPECT_THROW(index.remove_many(std::vector<uint64_t>{20, 99}), varnel::ArgumentError);
  EXPECT_THROW(index.remove_many(std::vector<uint64_t>{20, 30, 20}), varnel::ArgumentError);
  EXPECT_EQ(index.len(), 4u);
  index.remove_many(std::vector<uint64_t>{40, 10});
  EXPECT_EQ(index.ids(), (std::vector<uint64_t>{30, 20}));
}

// Sparse ids (here near 2^63) cannot index refine rows; rows given with
// their ids, in any order, give what rows indexed by position give.
TEST(IdMapQuery, RefineRowsMatchedByTheirIds) {
  const uint64_t dim = 16, n = 300, k = 4;
  const auto data = varnel::testing::random_vectors(n, dim, 12);
  const auto queries = varnel::testing::random_vectors(5, dim, 13);
  std::vector<uint64_t> ids(n);
  for (uint64_t i = 0; i < n; ++i) ids[i] = (uint64_t{1} << 63) + i * 1'000'003;
  auto index = varnel::IdMapIndex::create(dim, 3, varnel::Rotation::Rotor3);
  index.add_with_ids(data, ids);

  // Rows in reverse order, plus one row for an id that is not stored.
  std::vector<float> rows;
  std::vector<uint64_t> row_ids;
  for (uint64_t i = n; i-- > 0;) {
    rows.insert(rows.end(), data.begin() + i * dim, data.begin() + (i + 1) * dim);
    row_ids.push_back(ids[i]);
  }
  rows.insert(rows.end(), dim, 1e30f);
  row_ids.push_back(7);
  const varnel::RefineRows by_id{rows.data(), n + 1, dim};
  const varnel::RefineRows by_position{data.data(), n, dim};
  for (const Metric metric : {Metric::InnerProduct, Metric::Cosine, Metric::L2}) {
    QueryOptions options;
    options.metric = metric;
    options.refine = &by_position;
    const SearchResults expected = varnel::query(index.core(), queries, k, options);
    options.refine = &by_id;
    options.refine_ids = row_ids;
    const varnel::IdSearchResults got = varnel::query(index, queries, k, options);
    ASSERT_EQ(got.ids.size(), expected.indices.size());
    for (size_t i = 0; i < got.ids.size(); ++i) {
      EXPECT_EQ(got.ids[i], ids[expected.indices[i]]);
      EXPECT_EQ(got.scores[i], expected.scores[i]);
    }
  }
}

TEST(IdMapQuery, RefineIdsMustNameARowForEveryReturnableId) {
  const uint64_t dim = 8;
  const auto data = varnel::testing::random_vectors(3, dim, 14);
  auto index = varnel::IdMapIndex::create(dim, 2, varnel::Rotation::Rotor3);
  index.add_with_ids(data, std::vector<uint64_t>{100, 200, 300});
  const varnel::RefineRows rows{data.data(), 3, dim};
  const std::span<const float> query = std::span(data).first(dim);
  const auto refused = [&](std::vector<uint64_t> row_ids, const AllowedSet* allowed, const char* text) {
    QueryOptions options;
    options.refine = &rows;
    options.refine_ids = row_ids;
    options.allowed = allowed;
    try {
      varnel::query(index, query, 2, options);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const varnel::ArgumentError& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  };
  refused({100, 200, 5}, nullptr, "id 300 may be returned but is not in refine_ids");
  refused({100, 300, 100}, nullptr, "id 100 appears more than once in refine_ids");
  refused({100, 200}, nullptr, "refine_ids has 2 ids but refine has 3 rows");

  // An id the filter excludes needs no row.
  const AllowedSet allowed = varnel::allowed_ids(index, std::vector<uint64_t>{100, 200});
  QueryOptions options;
  options.refine = &rows;
  const std::vector<uint64_t> row_ids{200, 100, 5};
  options.refine_ids = row_ids;
  options.allowed = &allowed;
  const varnel::IdSearchResults got = varnel::query(index, query, 2, options);
  // The query is id 100's vector, which row 0 holds and refine_ids gives to
  // id 200: rows are matched by id, not by position.
  EXPECT_EQ(got.ids[0], 200u);
}

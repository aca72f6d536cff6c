// The 2- and 3-bit search: blocked storage, the pair-table kernels, the error
// bound of the approximate scan, and results identical to exact scoring.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "index/skerry_index.h"
#include "quantize/code_store.h"
#include "quantize/pack.h"
#include "runtime/pool.h"
#include "search/bounded_scan.h"
#include "search/code_scan.h"
#include "search/lut_scan.h"
#include "search/pair_scan.h"
#include "test_support.h"

using varnel::BoundedQuery;
using varnel::PairTables;
using varnel::CodeStore;
using varnel::Rotation;
using varnel::SkerryIndex;
using varnel::testing::random_vectors;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

std::vector<uint8_t> random_bytes(std::size_t count, uint32_t seed) {
  std::mt19937 engine(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(engine());
  return bytes;
}

// Runs body once per scan path the CPU has, the path forced.
template <class Body>
void for_each_scan_path(Body body) {
  for (varnel::ScanPath path : varnel::supported_scan_paths()) {
    ASSERT_TRUE(varnel::force_scan_path(path));
    SCOPED_TRACE(varnel::scan_path_name(path));
    body(path);
  }
  varnel::reset_scan_path();
}

// The reference: every stored vector scored by the general scorer (portable
// decode and sum) from the storage rows.
varnel::SearchResults exact_search(const SkerryIndex& index, const std::vector<float>& queries,
                                   uint64_t k) {
  varnel::force_code_scan_portable(true);
  const auto& rotations = index.block_rotations();
  const uint64_t nq = queries.size() / index.dim();
  const uint64_t effective_k = std::max<uint64_t>(1, std::min<uint64_t>(k, index.len()));
  varnel::SearchResults results = varnel::search(
      queries, nq, index.dim(), index.sign_vector(), rotations.matrices,
      varnel::block_size(index.rotation()), rotations.padded_dim, index.codes(), index.centroids(),
      index.norms(), index.bits(), index.len(), effective_k);
  varnel::force_code_scan_portable(false);
  return results;
}

void expect_identical(const varnel::SearchResults& got, const varnel::SearchResults& want) {
  ASSERT_EQ(got.k, want.k);
  ASSERT_EQ(got.nq, want.nq);
  ASSERT_EQ(got.indices, want.indices);
  ASSERT_EQ(0, std::memcmp(got.scores.data(), want.scores.data(), want.scores.size() * sizeof(float)));
}

}  // namespace

TEST(LaneBytes, RoundTripAndStoreMatchesRows) {
  for (uint64_t bits : {2u, 3u, 4u}) {
    for (uint64_t dim : {8u, 24u, 136u}) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " dim " + std::to_string(dim));
      const uint64_t n = 70, row = dim / 8 * bits;
      std::vector<uint8_t> codes = random_bytes(n * dim, 3);
      for (uint8_t& c : codes) c &= static_cast<uint8_t>((1u << bits) - 1);
      std::vector<uint8_t> lane(row), back(dim);
      varnel::codes_to_lane_bytes(codes.data(), dim, bits, lane.data());
      varnel::lane_bytes_to_codes(lane.data(), dim, bits, back.data());
      EXPECT_TRUE(std::equal(back.begin(), back.end(), codes.begin()));

      const std::vector<uint8_t> rows = varnel::pack_codes(codes, n, dim, bits);
      CodeStore store = CodeStore::from_rows(dim, bits, n, rows);
      EXPECT_EQ(store.n_blocks(), 3u);
      EXPECT_TRUE(std::equal(rows.begin(), rows.end(), store.rows().begin()));
      if (bits == 4) {
        EXPECT_EQ(store.blocked().bytes, varnel::repack_4bit(rows, n, dim).bytes);
      }
      store.decode(41, back.data());
      EXPECT_TRUE(std::equal(back.begin(), back.end(), codes.begin() + 41 * dim));

      // Remove vector 5 the way the index does; the freed lane reads zero.
      store.copy_vector(n - 1, 5);
      store.resize(n - 1);
      std::vector<uint8_t> expected(rows.begin(), rows.end() - row);
      std::copy(rows.end() - row, rows.end(), expected.begin() + 5 * row);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), store.rows().begin()));
      const uint8_t* last_block = store.block(2);
      for (uint64_t c = 0; c < row; ++c) EXPECT_EQ(last_block[c * 32 + (n - 1) % 32], 0);
    }
  }
}

using PairScanFunction = void (*)(const varnel::QueryTable* const*, std::size_t, const uint8_t*, uint64_t,
                                   uint64_t, uint64_t, float*, std::size_t);

// Random pair tables of either form: 64-entry rows, or split rows (eight
// entries per coordinate, each stored twice) with bytes at most `most`.
std::vector<varnel::QueryTable> random_pair_tables(uint64_t dim, bool split, uint8_t most, std::size_t count) {
  std::vector<varnel::QueryTable> tables(count);
  for (std::size_t t = 0; t < count; ++t) {
    tables[t].bytes = random_bytes(dim / 2 * (split ? 32 : 64), 20 + t);
    for (uint8_t& b : tables[t].bytes) b %= most + 1;
    if (split) {
      for (uint64_t at = 0; at < tables[t].bytes.size(); at += 16) {
        std::copy_n(tables[t].bytes.begin() + at, 8, tables[t].bytes.begin() + at + 8);
      }
    }
    tables[t].bias = 0.25f * float(t);
    tables[t].delta = 0.001f + 0.01f * float(t);
  }
  return tables;
}

// Every path scores both forms of tables as the portable kernels do.
TEST(PairScan, EveryPathMatchesPortable) {
  for (const bool split : {false, true}) {
    const PairScanFunction scan = split ? varnel::scan_split_pair_blocks : varnel::scan_pair_blocks;
    for (uint64_t dim : {8u, 136u, 2056u}) {  // 2056: more than one chunk of groups
      const uint64_t n_blocks = 5;
      const std::vector<uint8_t> blocked = random_bytes(n_blocks * 3 * dim / 8 * 32, 11);
      const std::vector<varnel::QueryTable> tables = random_pair_tables(dim, split, 127, 10);
      std::vector<const varnel::QueryTable*> pointers;
      for (const varnel::QueryTable& table : tables) pointers.push_back(&table);
      const std::size_t stride = n_blocks * 32;
      std::vector<float> want(tables.size() * stride);
      ASSERT_TRUE(varnel::force_scan_path(varnel::ScanPath::Portable));
      scan(pointers.data(), pointers.size(), blocked.data(), dim, 0, n_blocks, want.data(), stride);
      for_each_scan_path([&](varnel::ScanPath) {
        for (std::size_t nt : {1u, 3u, 6u, 8u, 10u}) {  // groups of up to eight, AVX2 in fours
          std::vector<float> got(tables.size() * stride, kNan);
          scan(pointers.data(), nt, blocked.data(), dim, 0, n_blocks, got.data(), stride);
          for (std::size_t t = 0; t < nt; ++t) {
            ASSERT_EQ(0, std::memcmp(got.data() + t * stride, want.data() + t * stride, stride * 4))
                << "split " << split << " dim " << dim << " nt " << nt << " table " << t;
          }
        }
      });
    }
  }
}

// A split table scores as the 64-entry table of its sums, entry (a << 3 | b)
// = A[a] + B[b] (within one chunk of either form, so the same rounding).
TEST(PairScan, SplitTablesScoreAsTheirJointSums) {
  const uint64_t dim = 136, n_blocks = 3;
  const std::vector<uint8_t> blocked = random_bytes(n_blocks * 3 * dim / 8 * 32, 12);
  const std::vector<varnel::QueryTable> split = random_pair_tables(dim, true, 63, 2);
  std::vector<varnel::QueryTable> joint(split.size());
  for (std::size_t t = 0; t < split.size(); ++t) {
    joint[t] = split[t];
    joint[t].bytes.assign(dim / 2 * 64, 0);
    for (uint64_t r = 0; r < dim / 2; ++r) {
      for (unsigned i = 0; i < 64; ++i) {
        joint[t].bytes[r * 64 + i] =
            static_cast<uint8_t>(split[t].bytes[r * 32 + (i >> 3)] + split[t].bytes[r * 32 + 16 + (i & 7)]);
      }
    }
  }
  const std::size_t stride = n_blocks * 32;
  for_each_scan_path([&](varnel::ScanPath) {
    for (std::size_t t = 0; t < split.size(); ++t) {
      const varnel::QueryTable* one_split[1] = {&split[t]};
      const varnel::QueryTable* one_joint[1] = {&joint[t]};
      std::vector<float> got(stride), want(stride);
      varnel::scan_split_pair_blocks(one_split, 1, blocked.data(), dim, 0, n_blocks, got.data(), stride);
      varnel::scan_pair_blocks(one_joint, 1, blocked.data(), dim, 0, n_blocks, want.data(), stride);
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), stride * 4)) << "table " << t;
    }
  });
}

// The bound holds for every stored vector: fl(a + lower) <= s <= fl(a +
// upper), a the approximate score on any path, s the exact sum. Queries of
// very different scales, spiky ones and dims up to 4096.
TEST(BoundedScan, BoundHoldsForEveryVector) {
  for (uint64_t bits : {2u, 3u}) {
    for (uint64_t dim : {8u, 64u, 768u, 4096u}) {
      const uint64_t n = dim >= 4096 ? 96 : 320;
      std::vector<uint8_t> codes = random_bytes(n * dim, 5);
      for (uint8_t& c : codes) c &= static_cast<uint8_t>((1u << bits) - 1);
      // Some vectors repeat one code everywhere: the extreme sums.
      for (uint64_t v = 0; v < 8; ++v) std::fill_n(codes.begin() + v * dim, dim, uint8_t(v % (1u << bits)));
      const CodeStore store = CodeStore::from_rows(dim, bits, n, varnel::pack_codes(codes, n, dim, bits));
      const std::vector<float> norms(n, 1.0f);
      const varnel::BoundedScanner scanner(store, norms);
      const std::vector<float> centroids = SkerryIndex::create(dim, bits, Rotation::Rotor3).centroids();
      for (float scale : {1.0f, 1e-30f, 1e30f, 3e-39f}) {
        for (int shape = 0; shape < 3; ++shape) {
          std::vector<float> rq = random_vectors(1, dim, 9 + shape);
          for (float& x : rq) x *= scale;
          if (shape == 1) rq[dim / 3] *= 1000.0f;  // one coordinate dominates
          if (shape == 2) {
            for (uint64_t j = 0; j < dim; ++j) rq[j] = (j % 2 ? 1.0f : -1.0f) * scale;  // cancelling sums
          }
          for (const PairTables form : {PairTables::Joint, PairTables::Split}) {
            std::optional<BoundedQuery> portable;  // the first path is the portable one
            for_each_scan_path([&](varnel::ScanPath) {
              const BoundedQuery query = varnel::build_bounded_query(rq.data(), centroids, dim, bits, form);
              ASSERT_TRUE(std::isfinite(query.upper_offset)) << bits << " " << dim << " " << scale << " " << shape;
              if (!portable) portable = query;
              // Every path builds the same tables and bound.
              EXPECT_EQ(query.approx.bytes, portable->approx.bytes);
              EXPECT_EQ(std::bit_cast<uint32_t>(query.approx.delta), std::bit_cast<uint32_t>(portable->approx.delta));
              EXPECT_EQ(std::bit_cast<uint32_t>(query.upper_offset), std::bit_cast<uint32_t>(portable->upper_offset));
              EXPECT_EQ(std::bit_cast<uint32_t>(query.lower_offset), std::bit_cast<uint32_t>(portable->lower_offset));
              std::vector<float> approx(store.n_blocks() * 32);
              const BoundedQuery* one[1] = {&query};
              scanner.approximate(one, 1, 0, store.n_blocks(), approx.data(), approx.size());
              for (uint64_t v = 0; v < n; ++v) {
                const float s = scanner.exact_sum(query, v);
                ASSERT_LE(approx[v] + query.lower_offset, s) << "bits " << bits << " dim " << dim << " v " << v << " split " << query.split;
                ASSERT_GE(approx[v] + query.upper_offset, s) << "bits " << bits << " dim " << dim << " v " << v << " split " << query.split;
              }
            });
          }
        }
      }
      std::vector<float> broken(dim, 1.0f);
      broken[1] = kInf;
      EXPECT_EQ(varnel::build_bounded_query(broken.data(), centroids, dim, bits).upper_offset, kInf);
    }
  }
}

// Batches of every size verify bit for bit as one position at a time on the
// portable path does: positions of every byte alignment, within one block
// and far apart, up to a part-filled last block.
TEST(BoundedScan, ExactSumsOfEveryBatchSizeMatchPortable) {
  for (uint64_t bits : {2u, 3u}) {
    for (uint64_t dim : {8u, 64u, 768u}) {
      const uint64_t n = 317;
      std::vector<uint8_t> codes = random_bytes(n * dim, 6);
      for (uint8_t& c : codes) c &= static_cast<uint8_t>((1u << bits) - 1);
      const CodeStore store = CodeStore::from_rows(dim, bits, n, varnel::pack_codes(codes, n, dim, bits));
      const std::vector<float> norms(n, 1.0f);
      const std::vector<float> centroids = SkerryIndex::create(dim, bits, Rotation::Rotor3).centroids();
      std::vector<float> rq = random_vectors(1, dim, 7);
      rq[dim / 2] *= 1e6f;  // sums that round differently in another order
      const BoundedQuery query = varnel::build_bounded_query(rq.data(), centroids, dim, bits);
      ASSERT_TRUE(varnel::force_scan_path(varnel::ScanPath::Portable));
      std::vector<float> want(n);
      {
        const varnel::BoundedScanner portable(store, norms);
        for (uint64_t v = 0; v < n; ++v) want[v] = portable.exact_sum(query, v);
      }
      for_each_scan_path([&](varnel::ScanPath) {
        const varnel::BoundedScanner scanner(store, norms);  // takes the forced path
        for (std::size_t count = 1; count <= varnel::BoundedScanner::kVerifyBatch; ++count) {
          for (uint64_t step : {1u, 3u, 19u}) {
            uint64_t positions[varnel::BoundedScanner::kVerifyBatch];
            const uint64_t first = n - 1 - (count - 1) * step < n ? n - 1 - (count - 1) * step : 0;
            for (std::size_t i = 0; i < count; ++i) positions[i] = std::min<uint64_t>(n - 1, first + i * step);
            float got[varnel::BoundedScanner::kVerifyBatch];
            scanner.exact_sums(query, positions, count, got);
            for (std::size_t i = 0; i < count; ++i) {
              ASSERT_EQ(0, std::memcmp(&got[i], &want[positions[i]], sizeof(float)))
                  << "bits " << bits << " dim " << dim << " count " << count << " step " << step << " position "
                  << positions[i];
            }
          }
        }
      });
    }
  }
}

namespace {

struct DataSet {
  std::string name;
  std::vector<float> vectors;
  uint64_t count;
};

// Data that makes scores tie or nearly tie, or stretches the bound.
std::vector<DataSet> adversarial_sets(uint64_t dim) {
  std::vector<DataSet> sets;
  sets.push_back({"gaussian", random_vectors(300, dim, 1), 300});
  std::vector<float> copies = random_vectors(30, dim, 2);
  for (int r = 0; r < 3; ++r) copies.insert(copies.end(), copies.begin(), copies.begin() + 30 * dim);
  sets.push_back({"duplicates", copies, 120});
  std::vector<float> near = random_vectors(200, dim, 3);
  const std::vector<float> center = random_vectors(1, dim, 4);
  for (uint64_t i = 0; i < near.size(); ++i) near[i] = center[i % dim] + 1e-3f * near[i];
  sets.push_back({"near-equal", near, 200});
  std::vector<float> scaled = random_vectors(200, dim, 5);
  for (uint64_t v = 0; v < 200; ++v) {
    const float factor = v % 4 == 0 ? 1e17f : v % 4 == 1 ? 1e-17f : v % 4 == 2 ? 0.0f : 1.0f;
    for (uint64_t j = 0; j < dim; ++j) scaled[v * dim + j] *= factor;
  }
  sets.push_back({"norms", scaled, 200});
  return sets;
}

}  // namespace

TEST(BoundedSearch, IdenticalToExactScoring) {
  for (uint64_t bits : {2u, 3u}) {
    for (Rotation rotation : varnel::testing::kAllRotations) {
      for (uint64_t dim : {8u, 64u, 256u}) {
        for (const DataSet& set : adversarial_sets(dim)) {
          SCOPED_TRACE(set.name + " bits " + std::to_string(bits) + " dim " + std::to_string(dim) +
                       " rotation " + std::to_string(int(rotation)));
          SkerryIndex index = SkerryIndex::create(dim, bits, rotation);
          index.add(set.vectors);
          std::vector<float> queries = random_vectors(9, dim, 7);
          // A stored vector as query, a zero query, and a huge one.
          std::copy_n(set.vectors.begin() + 3 * dim, dim, queries.begin());
          std::fill_n(queries.begin() + dim, dim, 0.0f);
          for (uint64_t j = 0; j < dim; ++j) queries[2 * dim + j] *= 1e15f;
          for (uint64_t k : {uint64_t{1}, uint64_t{20}, uint64_t{21}, set.count + 5}) {
            const varnel::SearchResults want = exact_search(index, queries, k);
            for_each_scan_path([&](varnel::ScanPath) {
              for (std::size_t threads : {1u, 3u}) {
                varnel::set_num_threads(threads);
                expect_identical(index.search(queries, k), want);
              }
            });
          }
        }
      }
    }
  }
  varnel::set_num_threads(0);
}

// Embedding-sized vectors: the bound is widest here.
TEST(BoundedSearch, IdenticalToExactScoringAtDim768) {
  for (uint64_t bits : {2u, 3u}) {
    for (const DataSet& set : adversarial_sets(768)) {
      if (set.name == "duplicates") continue;
      SCOPED_TRACE(set.name + " bits " + std::to_string(bits));
      SkerryIndex index = SkerryIndex::create(768, bits, Rotation::Rotor3);
      index.add(set.vectors);
      const std::vector<float> queries = random_vectors(5, 768, 17);
      for (uint64_t k : {uint64_t{1}, uint64_t{10}, set.count}) {
        const varnel::SearchResults want = exact_search(index, queries, k);
        for_each_scan_path([&](varnel::ScanPath) { expect_identical(index.search(queries, k), want); });
      }
    }
  }
}

// Stored norms may be anything a file holds: negative, zero, infinite, NaN.
// And removal keeps the blocked store and its rows in step.
// Enough vectors for several stretches of the batch search (a query's
// positions to verify wait across them) and queries for a kernel group of
// eight and one of four.
TEST(BoundedSearch, IdenticalAcrossStretchesAndQueryGroups) {
  for (uint64_t bits : {2u, 3u}) {
    SCOPED_TRACE("bits " + std::to_string(bits));
    SkerryIndex index = SkerryIndex::create(768, bits, Rotation::Rotor3);
    index.add(random_vectors(2000, 768, 21));
    const std::vector<float> queries = random_vectors(12, 768, 22);
    for (uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{100}}) {
      const varnel::SearchResults want = exact_search(index, queries, k);
      for_each_scan_path([&](varnel::ScanPath) { expect_identical(index.search(queries, k), want); });
    }
  }
}

TEST(BoundedSearch, IdenticalWithStrangeNormsAndAfterRemoval) {
  for (uint64_t bits : {2u, 3u}) {
    const uint64_t dim = 32, n = 150;
    std::vector<uint8_t> codes = random_bytes(n * dim, 8);
    for (uint8_t& c : codes) c &= static_cast<uint8_t>((1u << bits) - 1);
    std::vector<float> values = random_vectors(1, n, 12);
    varnel::RawVector<float> norms(values.begin(), values.end());
    for (uint64_t v = 0; v < n; v += 7) norms[v] = -norms[v];
    norms[3] = kNan;
    norms[4] = kInf;
    norms[5] = -kInf;
    norms[6] = 0.0f;
    norms[40] = 1e38f;
    const std::vector<uint8_t> rows = varnel::pack_codes(codes, n, dim, bits);
    SkerryIndex index = SkerryIndex::from_parts(dim, bits, Rotation::Iso4, SkerryIndex::kDefaultSeed, n,
                                                varnel::RawVector<uint8_t>(rows.begin(), rows.end()),
                                                norms);
    const std::vector<float> queries = random_vectors(6, dim, 13);
    for (int round = 0; round < 3; ++round) {
      for (uint64_t k : {1u, 4u, 30u}) {
        const varnel::SearchResults want = exact_search(index, queries, k);
        for_each_scan_path([&](varnel::ScanPath) { expect_identical(index.search(queries, k), want); });
      }
      index.swap_remove(round * 11);
      index.swap_remove(index.len() - 1);
    }
  }
}

// One query over several threads (the approximate scan split, verification
// in one pass) gives the same result as one thread.
TEST(BoundedSearch, SingleQuerySplitOverThreadsIsIdentical) {
  for (uint64_t bits : {2u, 3u}) {
    SkerryIndex index = SkerryIndex::create(16, bits, Rotation::Planar2);
    index.add(random_vectors(20000, 16, 14));
    const std::vector<float> query = random_vectors(1, 16, 15);
    const varnel::SearchResults want = exact_search(index, query, 10);
    for (std::size_t threads : {1u, 2u, 4u}) {
      varnel::set_num_threads(threads);
      const varnel::VerificationCounts before = varnel::verification_counts();
      expect_identical(index.search(query, 10), want);
      // The bound is tight enough to rule out most vectors.
      const varnel::VerificationCounts after = varnel::verification_counts();
      EXPECT_EQ(after.offered - before.offered, 20000u);
      EXPECT_LT(after.verified - before.verified, 2000u);
    }
  }
  varnel::set_num_threads(0);
}

#include "index/id_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "runtime/error.h"

#include "test_support.h"

namespace varnel {
namespace {

using testing::random_vectors;

std::span<const float> row(const std::vector<float>& vectors, uint64_t i, uint64_t dim) {
  return std::span<const float>(vectors).subspan(i * dim, dim);
}

std::vector<uint8_t> code_row(const SkerryIndex& core, uint64_t position) {
  const RawVector<uint8_t> codes = core.codes();
  const auto begin = codes.begin() + position * core.row_bytes();
  return {begin, begin + core.row_bytes()};
}

std::string error_message(auto&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "<no error>";
}

// Everything observable about an index, to prove a refused call changed nothing.
struct Snapshot {
  std::vector<uint64_t> ids;
  RawVector<uint8_t> codes;
  RawVector<float> norms;
  uint64_t core_len;

  explicit Snapshot(const IdMapIndex& index)
      : ids(index.ids()),
        codes(index.core().codes()),
        norms(index.core().norms()),
        core_len(index.core().len()) {}
  bool operator==(const Snapshot&) const = default;
};

constexpr uint64_t kDim = 32;

TEST(IdMapIndex, RemoveMovesTheLastVectorIntoTheHoleWithItsId) {
  IdMapIndex index = IdMapIndex::create(kDim, 4, Rotation::Rotor3);
  const std::vector<float> vectors = random_vectors(3, kDim, 1);
  const std::vector<uint64_t> ids = {10, 20, 30};
  index.add_with_ids(vectors, ids);
  const std::vector<uint8_t> row_of_30 = code_row(index.core(), 2);
  const float norm_of_30 = index.core().norms()[2];

  EXPECT_TRUE(index.remove(10));

  EXPECT_EQ(index.ids(), (std::vector<uint64_t>{30, 20}));
  EXPECT_EQ(index.len(), 2u);
  EXPECT_FALSE(index.contains(10));
  EXPECT_TRUE(index.contains(20));
  EXPECT_TRUE(index.contains(30));
  EXPECT_EQ(code_row(index.core(), 0), row_of_30);
  EXPECT_EQ(index.core().norms()[0], norm_of_30);
  for (const auto& [vector_index, id] : {std::pair{2, 30u}, std::pair{1, 20u}}) {
    const IdSearchResults found = index.search(row(vectors, vector_index, kDim), 1);
    ASSERT_EQ(found.ids.size(), 1u);
    EXPECT_EQ(found.ids[0], id);
  }
}

TEST(IdMapIndex, RemoveOfLastUnknownAndRepeatedIds) {
  IdMapIndex index = IdMapIndex::create(kDim, 2, Rotation::Planar2);
  index.add_with_ids(random_vectors(3, kDim, 2), std::vector<uint64_t>{1, 2, 3});
  const RawVector<uint8_t> all_rows = index.core().codes();
  const RawVector<uint8_t> first_rows(all_rows.begin(), all_rows.begin() + 2 * index.core().row_bytes());

  EXPECT_FALSE(index.remove(99));
  EXPECT_EQ(index.len(), 3u);

  EXPECT_TRUE(index.remove(3));  // the last position: nothing moves
  EXPECT_EQ(index.ids(), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(index.core().codes(), first_rows);

  EXPECT_FALSE(index.remove(3));
  EXPECT_EQ(index.len(), 2u);
  EXPECT_EQ(index.core().len(), 2u);
}

TEST(IdMapIndex, BatchWithAnyKnownOrRepeatedIdIsRejectedWhole) {
  struct Case {
    std::vector<uint64_t> stored;
    std::vector<uint64_t> batch;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, {5, 5}, "id 5 already present in index"},
      {{1, 7}, {8, 7}, "id 7 already present in index"},
      // The first offender in batch order is reported.
      {{3}, {9, 4, 9, 3}, "id 9 already present in index"},
      {{3}, {4, 3, 4}, "id 3 already present in index"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    IdMapIndex index = IdMapIndex::create(kDim, 3, Rotation::Iso4);
    index.add_with_ids(random_vectors(c.stored.size(), kDim, 3), c.stored);
    const Snapshot before(index);

    const std::vector<float> batch = random_vectors(c.batch.size(), kDim, 4);
    EXPECT_EQ(error_message([&] { index.add_with_ids(batch, c.batch); }), c.message);

    EXPECT_EQ(Snapshot(index), before);
    for (const uint64_t id : c.batch) {
      EXPECT_EQ(index.contains(id), std::count(c.stored.begin(), c.stored.end(), id) == 1);
    }
    // The map still agrees with the positions: a fresh batch lands after the stored ones.
    index.add_with_ids(row(batch, 0, kDim), std::vector<uint64_t>{1000});
    EXPECT_EQ(index.ids().back(), 1000u);
    EXPECT_TRUE(index.remove(1000));
    EXPECT_EQ(Snapshot(index), before);
  }
}

TEST(IdMapIndex, ChecksRunInOrderWithTheirMessages) {
  struct Case {
    uint64_t dim;
    uint64_t floats;
    uint64_t ids;
    std::string message;
  };
  const std::vector<Case> cases = {
      {0, 3, 5, "attempt to divide by zero"},
      {8, 3, 5,
       "assertion `left == right` failed: vector buffer not a multiple of dim\n  left: 3\n right: 0"},
      {8, 20, 1,
       "assertion `left == right` failed: vector buffer not a multiple of dim\n  left: 20\n right: 16"},
      {8, 32, 3,
       "assertion `left == right` failed: expected 4 ids, got 3\n  left: 3\n right: 4"},
      {8, 24, 2,
       "assertion `left == right` failed: expected 3 ids, got 2\n  left: 2\n right: 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    IdMapIndex index = IdMapIndex::with_options(c.dim, 2, Rotation::Planar2, 1);
    const std::vector<float> vectors(c.floats, 0.5f);
    std::vector<uint64_t> ids(c.ids);
    for (uint64_t i = 0; i < c.ids; ++i) ids[i] = i;
    EXPECT_EQ(error_message([&] { index.add_with_ids(vectors, ids); }), c.message);
    EXPECT_EQ(index.len(), 0u);
    EXPECT_FALSE(index.contains(0));
  }
}

// Ids that are all multiples of a table's bucket count share one bucket
// under an identity hash: 50,000 of them made every check quadratic (seconds
// here). The keyed hash spreads them; the test proves the operations stay
// correct, and runs in milliseconds only because they no longer collide.
TEST(IdMapIndex, IdsCraftedToShareABucketStayFast) {
  constexpr uint64_t kCount = 50'000;
  std::unordered_set<uint64_t> probe;
  probe.reserve(kCount);
  const uint64_t bucket_count = probe.bucket_count();
  std::vector<uint64_t> ids(kCount);
  for (uint64_t i = 0; i < kCount; ++i) ids[i] = (i + 1) * bucket_count;

  IdMapIndex index = IdMapIndex::create(8, 2, Rotation::Rotor3);
  index.add_with_ids(random_vectors(kCount, 8, 5), ids);
  EXPECT_EQ(index.len(), kCount);
  EXPECT_TRUE(index.contains(ids[kCount / 2]));
  EXPECT_FALSE(index.contains(bucket_count * (kCount + 1)));
  IdMapIndex again = IdMapIndex::from_parts(index.core(), index.ids());
  again.remove_many(std::span<const uint64_t>(ids).first(kCount / 2));
  EXPECT_EQ(again.len(), kCount / 2);
  EXPECT_TRUE(again.contains(ids.back()));
}

TEST(IdMapIndex, EmptyBatchChangesNothing) {
  IdMapIndex index = IdMapIndex::create(kDim, 2, Rotation::Rotor3);
  index.add_with_ids(random_vectors(2, kDim, 5), std::vector<uint64_t>{4, 8});
  const Snapshot before(index);
  index.add_with_ids({}, {});
  EXPECT_EQ(Snapshot(index), before);
}

TEST(IdMapIndex, RemovedIdCanBeUsedAgain) {
  IdMapIndex index = IdMapIndex::create(kDim, 4, Rotation::WalshRotor3);
  const std::vector<float> vectors = random_vectors(3, kDim, 6);
  index.add_with_ids(row(vectors, 0, kDim), std::vector<uint64_t>{7});
  index.add_with_ids(row(vectors, 1, kDim), std::vector<uint64_t>{8});
  ASSERT_TRUE(index.remove(7));

  index.add_with_ids(row(vectors, 2, kDim), std::vector<uint64_t>{7});

  EXPECT_EQ(index.ids(), (std::vector<uint64_t>{8, 7}));
  EXPECT_EQ(index.search(row(vectors, 2, kDim), 1).ids[0], 7u);
}

TEST(IdMapIndex, ExtremeIdsAreOrdinaryAndEmptySlotsGetAllOnes) {
  IdMapIndex index = IdMapIndex::create(kDim, 3, Rotation::Rotor3);
  const std::vector<float> query = random_vectors(1, kDim, 7);

  const IdSearchResults empty = index.search(query, 3);
  ASSERT_EQ(empty.ids.size(), 1u);
  EXPECT_EQ(empty.k, 1u);
  EXPECT_EQ(empty.ids[0], IdMapIndex::kEmptyId);
  EXPECT_EQ(empty.scores[0], -std::numeric_limits<float>::infinity());
  EXPECT_FALSE(index.contains(0));

  const uint64_t all_ones = std::numeric_limits<uint64_t>::max();
  index.add_with_ids(random_vectors(2, kDim, 8), std::vector<uint64_t>{0, all_ones});
  EXPECT_TRUE(index.contains(0));
  EXPECT_TRUE(index.contains(all_ones));
  const IdSearchResults found = index.search(query, 2);
  EXPECT_TRUE(std::is_permutation(found.ids.begin(), found.ids.end(),
                                  std::vector<uint64_t>{0, all_ones}.begin()));
  EXPECT_TRUE(std::isfinite(found.scores[0]) && std::isfinite(found.scores[1]));
  EXPECT_TRUE(index.remove(all_ones));
  EXPECT_EQ(index.ids(), (std::vector<uint64_t>{0}));
}

// Random adds and removes against a plain model: every id must stay with the
// code row and norm it was stored with.
TEST(IdMapIndex, RandomOperationsKeepEveryIdWithItsVector) {
  IdMapIndex index = IdMapIndex::create(8, 2, Rotation::Planar2);
  std::map<uint64_t, std::pair<std::vector<uint8_t>, float>> model;
  std::mt19937 engine(9);
  for (int step = 0; step < 300; ++step) {
    const uint64_t id = engine() % 40;
    if (engine() % 3 != 0) {
      const bool known = model.count(id) == 1;
      const std::vector<float> vector = random_vectors(1, 8, uint32_t(step));
      if (known) {
        EXPECT_THROW(index.add_with_ids(vector, std::vector<uint64_t>{id}), Error);
      } else {
        index.add_with_ids(vector, std::vector<uint64_t>{id});
        const uint64_t last = index.len() - 1;
        model[id] = {code_row(index.core(), last), index.core().norms()[last]};
      }
    } else {
      EXPECT_EQ(index.remove(id), model.erase(id) == 1);
    }
    ASSERT_EQ(index.len(), model.size());
    ASSERT_EQ(index.core().len(), model.size());
    for (uint64_t position = 0; position < index.len(); ++position) {
      const auto stored = model.find(index.ids()[position]);
      ASSERT_NE(stored, model.end());
      EXPECT_EQ(code_row(index.core(), position), stored->second.first);
      EXPECT_EQ(index.core().norms()[position], stored->second.second);
      EXPECT_TRUE(index.contains(stored->first));
    }
  }
}

TEST(IdMapIndex, FromPartsRefusesRepeatedIds) {
  SkerryIndex core = SkerryIndex::create(8, 2, Rotation::Rotor3);
  core.add(random_vectors(3, 8, 10));
  EXPECT_EQ(error_message([&] {
              IdMapIndex::from_parts(core, std::vector<uint64_t>{4, 9, 4});
            }),
            "duplicate ids in .vnim file");
  const IdMapIndex index = IdMapIndex::from_parts(core, std::vector<uint64_t>{4, 9, 5});
  EXPECT_TRUE(index.contains(5));
  EXPECT_EQ(index.len(), 3u);
}

}  // namespace
}  // namespace varnel

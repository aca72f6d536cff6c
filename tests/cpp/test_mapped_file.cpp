// Index files of the mapped layout: opened in place, they search exactly like
// the index that wrote them, refuse every change, and refuse damaged files
// with IoError before touching anything beyond the file's end.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../fuzz/mapped_reseal.h"
#include "runtime/error.h"
#include "runtime/pool.h"
#include "storage/io.h"
#include "storage/mapped_file.h"
#include "test_support.h"

namespace varnel {
namespace {

using Bytes = std::vector<uint8_t>;
using fuzzing::AlignedCopy;
using testing::random_vectors;

struct Shape {
  uint64_t dim, bits, n;
  Rotation rotation;
};

const Shape kShapes[] = {{16, 2, 37, Rotation::Rotor3},  {24, 3, 64, Rotation::Iso4},
                         {32, 4, 70, Rotation::WalshRotor3}, {8, 4, 0, Rotation::Planar2},
                         {64, 4, 5, Rotation::Rotor3}};

SkerryIndex make_index(const Shape& shape) {
  SkerryIndex index = SkerryIndex::create(shape.dim, shape.bits, shape.rotation);
  index.add(random_vectors(shape.n, shape.dim, uint32_t(shape.n + shape.bits)));
  return index;
}

IdMapIndex make_id_map(const Shape& shape) {
  IdMapIndex index = IdMapIndex::create(shape.dim, shape.bits, shape.rotation);
  std::vector<uint64_t> ids(shape.n);
  for (uint64_t i = 0; i < shape.n; ++i) ids[i] = (shape.n - i) * 7919 + (i % 3 == 0 ? ~uint64_t{0} / 2 : 0);
  index.add_with_ids(random_vectors(shape.n, shape.dim, uint32_t(shape.n)), ids);
  return index;
}

void expect_same_search(const SkerryIndex& a, const SkerryIndex& b) {
  const std::vector<float> queries = random_vectors(4, a.dim(), 99);
  const SearchResults x = a.search(queries, 10), y = b.search(queries, 10);
  EXPECT_EQ(x.indices, y.indices);
  ASSERT_EQ(x.scores.size(), y.scores.size());
  EXPECT_EQ(0, std::memcmp(x.scores.data(), y.scores.data(), x.scores.size() * sizeof(float)));
}

class MappedFile : public ::testing::TestWithParam<Shape> {};

TEST_P(MappedFile, SearchesBitForBitLikeTheIndexThatWroteIt) {
  const SkerryIndex index = make_index(GetParam());
  AlignedCopy bytes(mapped_index_bytes(index));
  for (const bool verify : {false, true}) {
    const SkerryIndex mapped = read_mapped_index(bytes.span(), std::make_shared<int>(0), verify);
    EXPECT_TRUE(mapped.is_mapped());
    EXPECT_EQ(mapped.len(), index.len());
    EXPECT_EQ(mapped.codes(), index.codes());
    expect_same_search(mapped, index);
    // The blocked bytes are read in place, not copied.
    if (index.len() > 0) {
      EXPECT_GE(mapped.code_store().blocked().bytes.data(), bytes.data());
      EXPECT_LT(mapped.code_store().blocked().bytes.data(), bytes.data() + bytes.size);
    }
  }
}

TEST_P(MappedFile, IdMapFindsEveryIdAndNoOther) {
  const IdMapIndex index = make_id_map(GetParam());
  AlignedCopy bytes(mapped_id_map_bytes(index));
  const IdMapIndex mapped = read_mapped_id_map(bytes.span(), std::make_shared<int>(0), false);
  EXPECT_EQ(mapped.ids(), index.ids());
  for (uint64_t position = 0; position < index.len(); ++position) {
    uint64_t found = ~uint64_t{0};
    ASSERT_TRUE(mapped.position_of(index.ids()[position], &found));
    EXPECT_EQ(found, position);
  }
  for (const uint64_t absent : {uint64_t{0}, uint64_t{1}, uint64_t{7918}, ~uint64_t{0}}) {
    EXPECT_EQ(mapped.contains(absent), index.contains(absent));
  }
  const std::vector<float> queries = random_vectors(3, index.dim(), 5);
  EXPECT_EQ(mapped.search(queries, 7).ids, index.search(queries, 7).ids);
}

TEST_P(MappedFile, ChangesAreRefusedAndACopyIsWritable) {
  const Shape shape = GetParam();
  AlignedCopy bytes(mapped_id_map_bytes(make_id_map(shape)));
  IdMapIndex mapped = read_mapped_id_map(bytes.span(), std::make_shared<int>(0), false);
  const std::vector<float> one = random_vectors(1, shape.dim, 1);
  const Bytes before(bytes.span().begin(), bytes.span().end());
  EXPECT_THROW(mapped.add_with_ids(one, std::vector<uint64_t>{12345}), ArgumentError);
  EXPECT_THROW(mapped.remove(12345), ArgumentError);
  EXPECT_THROW(mapped.remove_many(std::vector<uint64_t>{}), ArgumentError);
  SkerryIndex core = mapped.core();
  EXPECT_THROW(core.add(one), ArgumentError);
  if (core.len() > 0) {
    EXPECT_THROW(core.swap_remove(0), ArgumentError);
  }
  EXPECT_EQ(Bytes(bytes.span().begin(), bytes.span().end()), before);
  EXPECT_EQ(mapped.len(), shape.n);

  IdMapIndex copy = mapped.owned_copy();
  EXPECT_FALSE(copy.is_mapped());
  copy.add_with_ids(one, std::vector<uint64_t>{12345});
  EXPECT_TRUE(copy.contains(12345));
  EXPECT_EQ(copy.len(), shape.n + 1);
}

INSTANTIATE_TEST_SUITE_P(Shapes, MappedFile, ::testing::ValuesIn(kShapes));

class MappedFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "varnel_mapped_XXXXXX";
    ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(MappedFileOnDisk, OpenSearchesFromTheFileAndLoadReadsItIntoMemory) {
  const IdMapIndex index = make_id_map({32, 4, 100, Rotation::Rotor3});
  write_mapped_id_map(index, path("a.vnim"));
  const IdMapIndex mapped = open_mapped_id_map(path("a.vnim"), true);
  EXPECT_TRUE(mapped.is_mapped());
  expect_same_search(mapped.core(), index.core());
  IdMapIndex loaded = load_id_map(path("a.vnim"));
  EXPECT_FALSE(loaded.is_mapped());
  EXPECT_EQ(loaded.ids(), index.ids());
  EXPECT_TRUE(loaded.remove(loaded.ids()[0]));
  EXPECT_THROW(open_mapped_index(path("a.vnim"), false), IoError);  // holds an IdMapIndex
  write_id_map(index, path("rows.vnim"));
  EXPECT_THROW(open_mapped_id_map(path("rows.vnim"), false), IoError);
  EXPECT_THROW(open_mapped_id_map(path("missing.vnim"), false), IoError);
  EXPECT_THROW(open_mapped_id_map(dir_, false), IoError);
}

// Writers replace a file by renaming a new one into place, so an index
// mapped from the old file keeps searching it.
TEST_F(MappedFileOnDisk, ReplacingTheFileLeavesAnOpenIndexIntact) {
  const SkerryIndex index = make_index({32, 4, 70, Rotation::Rotor3});
  write_mapped_index(index, path("a.vnix"));
  const SkerryIndex mapped = open_mapped_index(path("a.vnix"), false);
  write_mapped_index(make_index({32, 4, 3, Rotation::Rotor3}), path("a.vnix"));
  expect_same_search(mapped, index);
  EXPECT_EQ(open_mapped_index(path("a.vnix"), false).len(), 3u);
}

TEST_F(MappedFileOnDisk, AForkedChildSearchesTheSameMapping) {
  const SkerryIndex index = make_index({64, 4, 200, Rotation::Rotor3});
  write_mapped_index(index, path("a.vnix"));
  const SkerryIndex mapped = open_mapped_index(path("a.vnix"), false);
  const std::vector<float> queries = random_vectors(2, 64, 3);
  const SearchResults expected = index.search(queries, 5);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // One thread: a child of a threaded process must not start threads
    // under ThreadSanitizer, and the mapping is what is tested here.
    set_num_threads(1);
    const SearchResults found = mapped.search(queries, 5);
    ::_exit(found.indices == expected.indices && found.scores == expected.scores ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

Bytes with_byte(Bytes bytes, std::size_t at, uint8_t value) {
  bytes.at(at) = value;
  return bytes;
}

uint64_t section_offset(const Bytes& bytes, std::size_t index) {
  uint64_t offset = 0;
  std::memcpy(&offset, &bytes[kMappedHeaderSize + kMappedSectionEntrySize * index + 8], 8);
  return offset;
}

TEST(MappedFileDamage, EveryDamageIsRefusedWithIoError) {
  const Bytes good = mapped_index_bytes(make_index({16, 2, 37, Rotation::Rotor3}));
  const uint64_t codes = section_offset(good, 0), norms = section_offset(good, 1);
  Bytes last_lane = good;
  last_lane[codes + 4 * 32 + 31] = 1;  // lane 31 of block 1 is past vector 36
  Bytes nan_norm = good;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::memcpy(&nan_norm[norms + 4 * 5], &nan, 4);
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"header byte", with_byte(good, 20, good[20] ^ 1)},
      {"cut short", Bytes(good.begin(), good.end() - 1)},
      {"cut in the header", Bytes(good.begin(), good.begin() + 40)},
      {"appended byte", [&] { Bytes b = good; b.push_back(0); return b; }()},
      {"lane past the last vector", fuzzing::resealed(last_lane)},
      {"NaN norm", fuzzing::resealed(nan_norm)},
      {"section beyond the end", fuzzing::resealed(with_byte(good, kMappedHeaderSize + 8 + 5, 1))},
      {"unknown kind", fuzzing::resealed(with_byte(good, 5, 9))},
      {"bits 5", fuzzing::resealed(with_byte(good, 6, 5))},
      {"dim 0", fuzzing::resealed(with_byte(with_byte(good, 8, 0), 9, 0))},
      {"many sections", fuzzing::resealed(with_byte(good, 14, 1))},
      {"wrong magic", with_byte(good, 0, 'X')},
  };
  for (const auto& damaged : cases) {
    SCOPED_TRACE(damaged.what);
    AlignedCopy copy(damaged.bytes);
    EXPECT_THROW(read_mapped_index(copy.span(), std::make_shared<int>(0), false), IoError);
  }
  // Damage inside the codes is found only by the full checksum.
  AlignedCopy flipped(with_byte(good, codes + 3, good[codes + 3] ^ 0x10));
  EXPECT_NO_THROW(read_mapped_index(flipped.span(), std::make_shared<int>(0), false));
  EXPECT_THROW(read_mapped_index(flipped.span(), std::make_shared<int>(0), true), IoError);
}

// Files whose checksums were recomputed after the lie (a careless or hostile
// writer): every reader refuses them with IoError, whether it maps the file
// (with or without the full checksum) or loads it into memory.
TEST(MappedFileDamage, FilesThatLieAreRefusedByEveryReader) {
  const IdMapIndex index = make_id_map({16, 4, 40, Rotation::Rotor3});
  const Bytes good = mapped_id_map_bytes(index);
  const uint64_t codes = section_offset(good, 0), norms = section_offset(good, 1);
  const uint64_t ids = section_offset(good, 2), lookup = section_offset(good, 3);
  const auto with_u64 = [](Bytes bytes, std::size_t at, uint64_t value) {
    std::memcpy(&bytes.at(at), &value, 8);
    return bytes;
  };
  const auto id_at = [&](uint64_t position) {
    uint64_t id = 0;
    std::memcpy(&id, &good[ids + 8 * position], 8);
    return id;
  };
  // The id of position 0 stored at position 1 too, with the lookup left as
  // it was, or rebuilt to list both (sorted, as a writer would).
  const Bytes repeated = with_u64(good, ids + 8, id_at(0));
  Bytes repeated_listed = repeated;
  {
    std::vector<std::pair<uint64_t, uint64_t>> pairs;
    for (uint64_t p = 0; p < index.len(); ++p) pairs.emplace_back(p == 1 ? id_at(0) : id_at(p), p);
    std::sort(pairs.begin(), pairs.end());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      std::memcpy(&repeated_listed[lookup + 16 * i], &pairs[i].first, 8);
      std::memcpy(&repeated_listed[lookup + 16 * i + 8], &pairs[i].second, 8);
    }
  }
  Bytes unsorted = good;  // the first two lookup entries swapped
  std::swap_ranges(unsorted.begin() + std::ptrdiff_t(lookup), unsorted.begin() + std::ptrdiff_t(lookup + 16),
                   unsorted.begin() + std::ptrdiff_t(lookup + 16));
  Bytes huge_norm = good;
  const float huge = 3.4e38f;
  std::memcpy(&huge_norm[norms + 4 * 3], &huge, 4);
  const std::size_t ids_entry = kMappedHeaderSize + kMappedSectionEntrySize * 2;
  const std::size_t norms_entry = kMappedHeaderSize + kMappedSectionEntrySize * 1;
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"repeated id", fuzzing::resealed(repeated)},
      {"repeated id, listed twice", fuzzing::resealed(repeated_listed)},
      {"lookup out of order", fuzzing::resealed(unsorted)},
      {"norm above what add stores", fuzzing::resealed(huge_norm)},
      {"ids pointed at the codes", fuzzing::resealed(with_u64(good, ids_entry + 8, codes))},
      {"norms inside the codes", fuzzing::resealed(with_u64(good, norms_entry + 8, codes + 64))},
  };
  for (const auto& lying : cases) {
    SCOPED_TRACE(lying.what);
    AlignedCopy copy(lying.bytes);
    for (const bool verify : {false, true}) {
      EXPECT_THROW(read_mapped_id_map(copy.span(), std::make_shared<int>(0), verify), IoError);
    }
    EXPECT_THROW(id_map_from_bytes(lying.bytes), IoError);  // what load does with a mapped file
  }
  // The same norm and overlap lies in a SkerryIndex file.
  const Bytes plain = mapped_index_bytes(index.core());
  Bytes plain_huge = plain;
  std::memcpy(&plain_huge[section_offset(plain, 1) + 4 * 3], &huge, 4);
  for (const Bytes& lying : {fuzzing::resealed(plain_huge),
                             fuzzing::resealed(with_u64(plain, norms_entry + 8, section_offset(plain, 0)))}) {
    AlignedCopy copy(lying);
    EXPECT_THROW(read_mapped_index(copy.span(), std::make_shared<int>(0), false), IoError);
    EXPECT_THROW(index_from_bytes(lying), IoError);
  }
  // The largest norm add stores is accepted.
  Bytes largest = plain;
  const float limit = std::sqrt(std::numeric_limits<float>::max());
  std::memcpy(&largest[section_offset(plain, 1)], &limit, 4);
  EXPECT_NO_THROW(index_from_bytes(fuzzing::resealed(largest)));
}

// Resealed mutants reach every check behind the checksums; each must open
// as an index that searches, or fail with IoError.
TEST(MappedFileDamage, MutatedFilesOpenOrFailWithIoError) {
  const std::vector<Bytes> seeds = {mapped_index_bytes(make_index({16, 3, 33, Rotation::Iso4})),
                                    mapped_id_map_bytes(make_id_map({8, 4, 9, Rotation::Planar2}))};
  std::mt19937_64 engine(77);
  int opened = 0;
  for (int iteration = 0; iteration < 2000; ++iteration) {
    Bytes mutant = seeds[iteration % 2];
    const int at = int(engine() % (iteration % 3 == 0 ? mutant.size() : 160));
    mutant[std::size_t(at)] = uint8_t(engine());
    if (iteration % 7 == 0) mutant.resize(engine() % mutant.size());
    AlignedCopy copy(fuzzing::resealed(mutant));
    try {
      if (iteration % 2 == 0) {
        const SkerryIndex index = read_mapped_index(copy.span(), std::make_shared<int>(0), true);
        (void)index.search(random_vectors(1, index.dim(), 1), 4);
      } else {
        const IdMapIndex index = read_mapped_id_map(copy.span(), std::make_shared<int>(0), true);
        // Damaged ids or lookup entries make lookups answer "not stored";
        // searches still name only stored ids.
        const std::set<uint64_t> stored(index.ids().begin(), index.ids().end());
        for (const uint64_t id : index.search(random_vectors(1, index.dim(), 1), 4).ids) {
          EXPECT_TRUE(id == IdMapIndex::kEmptyId || stored.count(id) == 1);
        }
        for (const uint64_t id : stored) {
          uint64_t position = 0;
          if (index.position_of(id, &position)) {
            EXPECT_EQ(index.ids()[position], id);
          }
        }
      }
      ++opened;
    } catch (const IoError&) {
    }
  }
  EXPECT_GT(opened, 100);
}

// The mapped-layout inputs that tools/fuzz_load.sh keeps: each opens, as it
// is, and searches.
TEST(MappedFileDamage, KeptCorpusFilesOpen) {
  const std::filesystem::path dir =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus";
  int opened = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!is_mapped_layout(bytes)) continue;
    SCOPED_TRACE(entry.path().string());
    AlignedCopy copy(bytes);
    // The header's kind byte names the reader.
    if (bytes.at(5) == uint8_t(MappedKind::Skerry)) {
      const SkerryIndex index = read_mapped_index(copy.span(), std::make_shared<int>(0), true);
      (void)index.search(random_vectors(1, index.dim(), 1), 3);
    } else if (bytes.at(5) == uint8_t(MappedKind::IdMap)) {
      const IdMapIndex index = read_mapped_id_map(copy.span(), std::make_shared<int>(0), true);
      (void)index.search(random_vectors(1, index.dim(), 1), 3);
    } else {
      const PartitionedIndex index = read_mapped_partitioned(copy.span(), std::make_shared<int>(0), true);
      (void)index.search(random_vectors(1, index.dim(), 1), 3, 1);
    }
    ++opened;
  }
  EXPECT_GE(opened, 5);
}

// ---- Partitioned indexes ----

struct ListedShape {
  uint64_t dim, bits, lists, n;
  Rotation rotation;
};

// Lists of uneven sizes (some empty when n is small), every bit width.
const ListedShape kListedShapes[] = {{16, 2, 5, 90, Rotation::Rotor3},
                                     {24, 3, 4, 70, Rotation::Iso4},
                                     {32, 4, 6, 130, Rotation::WalshRotor3},
                                     {16, 4, 8, 9, Rotation::Planar2}};

PartitionedIndex make_partitioned(const ListedShape& shape) {
  PartitionedIndex index = PartitionedIndex::create(shape.dim, shape.bits, shape.lists, shape.rotation);
  const std::vector<float> data = random_vectors(shape.n, shape.dim, uint32_t(shape.n + shape.bits));
  index.train(data);
  std::vector<uint64_t> ids(shape.n);
  for (uint64_t i = 0; i < shape.n; ++i) ids[i] = 5 * i + (i % 4 == 0 ? ~uint64_t{0} / 3 : 1);
  index.add_with_ids(data, ids);
  return index;
}

void expect_same_results(const IdSearchResults& a, const IdSearchResults& b) {
  ASSERT_EQ(a.k, b.k);
  EXPECT_EQ(a.ids, b.ids);
  ASSERT_EQ(a.scores.size(), b.scores.size());
  for (std::size_t i = 0; i < a.scores.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(a.scores[i]), std::bit_cast<uint32_t>(b.scores[i])) << i;
  }
}

void expect_same_partitioned(const PartitionedIndex& a, const PartitionedIndex& b) {
  EXPECT_EQ(a.len(), b.len());
  EXPECT_EQ(a.list_sizes(), b.list_sizes());
  EXPECT_EQ(a.centroids(), b.centroids());
  const std::vector<float> queries = random_vectors(5, a.dim(), 99);
  for (const uint64_t probes : {uint64_t{1}, uint64_t{2}, a.lists()}) {
    expect_same_results(a.search(queries, 10, probes), b.search(queries, 10, probes));
  }
  for (const Metric metric : {Metric::Cosine, Metric::L2}) {
    PartitionedQueryOptions options;
    options.metric = metric;
    expect_same_results(query(a, queries, 7, 2, options), query(b, queries, 7, 2, options));
  }
}

class MappedPartitioned : public ::testing::TestWithParam<ListedShape> {};

TEST_P(MappedPartitioned, SearchesBitForBitLikeTheIndexThatWroteIt) {
  const PartitionedIndex index = make_partitioned(GetParam());
  AlignedCopy bytes(mapped_partitioned_bytes(index));
  for (const bool verify : {false, true}) {
    const PartitionedIndex mapped = read_mapped_partitioned(bytes.span(), std::make_shared<int>(0), verify);
    EXPECT_TRUE(mapped.is_mapped());
    expect_same_partitioned(mapped, index);
    for (uint64_t l = 0; l < index.lists(); ++l) {
      const PartitionedIndex::List& list = mapped.list_data()[l];
      EXPECT_EQ(list.ids, index.list_data()[l].ids);
      // Codes and norms are read in place, not copied.
      if (!list.ids.empty()) {
        EXPECT_GE(list.codes.blocked().bytes.data(), bytes.data());
        EXPECT_LT(list.norms.data(), reinterpret_cast<const float*>(bytes.data() + bytes.size));
      }
    }
    for (const uint64_t id : index.list_data()[0].ids) EXPECT_TRUE(mapped.contains(id));
    EXPECT_FALSE(mapped.contains(3));
  }
}

TEST_P(MappedPartitioned, ChangesAreRefusedAndACopyIsWritable) {
  const ListedShape shape = GetParam();
  AlignedCopy bytes(mapped_partitioned_bytes(make_partitioned(shape)));
  PartitionedIndex mapped = read_mapped_partitioned(bytes.span(), std::make_shared<int>(0), false);
  const Bytes before(bytes.span().begin(), bytes.span().end());
  const std::vector<float> one = random_vectors(1, shape.dim, 1);
  const uint64_t stored = mapped.list_data()[0].ids.empty() ? 1 : mapped.list_data()[0].ids[0];
  const auto refused = [](auto&& change) {
    try {
      change();
      ADD_FAILURE() << "a change of a mapped index went through";
    } catch (const ArgumentError& error) {
      EXPECT_STREQ(error.what(), kMappedReadOnly);
    }
  };
  refused([&] { mapped.add_with_ids(one, std::vector<uint64_t>{12}); });
  refused([&] { mapped.remove(stored); });
  refused([&] { mapped.remove_many(std::vector<uint64_t>{}); });
  refused([&] { mapped.train(random_vectors(shape.lists, shape.dim, 2)); });
  refused([&] { mapped.set_centroids(mapped.centroids()); });
  EXPECT_EQ(Bytes(bytes.span().begin(), bytes.span().end()), before);
  EXPECT_EQ(mapped.len(), shape.n);

  PartitionedIndex copy = mapped.owned_copy();
  EXPECT_FALSE(copy.is_mapped());
  expect_same_partitioned(copy, mapped);
  // A copy keeps the tails of 4-bit lists compact, and writes them whole again.
  for (const PartitionedIndex::List& list : copy.list_data()) {
    EXPECT_EQ(list.codes.has_compact_tail(), shape.bits == 4);
  }
  EXPECT_TRUE(mapped_partitioned_bytes(copy) == mapped_partitioned_bytes(mapped));
  copy.add_with_ids(one, std::vector<uint64_t>{12});
  EXPECT_TRUE(copy.contains(12));
  EXPECT_FALSE(mapped.contains(12));
}

INSTANTIATE_TEST_SUITE_P(Shapes, MappedPartitioned, ::testing::ValuesIn(kListedShapes));

TEST(MappedPartitionedEmpty, AnUntrainedIndexRoundTrips) {
  const PartitionedIndex index = PartitionedIndex::create(16, 4, 3, Rotation::Rotor3);
  AlignedCopy bytes(mapped_partitioned_bytes(index));
  const PartitionedIndex mapped = read_mapped_partitioned(bytes.span(), std::make_shared<int>(0), true);
  EXPECT_FALSE(mapped.is_trained());
  EXPECT_EQ(mapped.lists(), 3u);
  EXPECT_EQ(mapped.len(), 0u);
}

TEST_F(MappedFileOnDisk, PartitionedOpensInPlaceAndLoadsIntoMemory) {
  const PartitionedIndex index = make_partitioned({32, 4, 6, 130, Rotation::Rotor3});
  write_mapped_partitioned(index, path("a.vnip"));
  const PartitionedIndex mapped = open_mapped_partitioned(path("a.vnip"), true);
  EXPECT_TRUE(mapped.is_mapped());
  expect_same_partitioned(mapped, index);
  PartitionedIndex loaded = load_partitioned(path("a.vnip"));
  EXPECT_FALSE(loaded.is_mapped());
  expect_same_partitioned(loaded, index);
  EXPECT_TRUE(loaded.remove(index.list_data()[0].ids.at(0)));
  const PartitionedIndex from_memory = partitioned_from_bytes(mapped_partitioned_bytes(index));
  EXPECT_FALSE(from_memory.is_mapped());
  expect_same_partitioned(from_memory, index);
  // Row-layout writes of a mapped index give the same rows as the original.
  EXPECT_EQ(partitioned_to_bytes(mapped), partitioned_to_bytes(index));

  write_mapped_index(make_index({32, 4, 10, Rotation::Rotor3}), path("skerry.vnix"));
  EXPECT_THROW(open_mapped_partitioned(path("skerry.vnix"), false), IoError);
  EXPECT_THROW(open_mapped_index(path("a.vnip"), false), IoError);
  write_partitioned(index, path("rows.vnip"));
  EXPECT_THROW(open_mapped_partitioned(path("rows.vnip"), false), IoError);
}

TEST_F(MappedFileOnDisk, AForkedChildSearchesTheSameMappedLists) {
  const PartitionedIndex index = make_partitioned({64, 4, 4, 300, Rotation::Rotor3});
  write_mapped_partitioned(index, path("a.vnip"));
  const PartitionedIndex mapped = open_mapped_partitioned(path("a.vnip"), false);
  const std::vector<float> queries = random_vectors(2, 64, 3);
  const IdSearchResults expected = index.search(queries, 5, 2);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    set_num_threads(1);
    const IdSearchResults found = mapped.search(queries, 5, 2);
    ::_exit(found.ids == expected.ids && found.scores == expected.scores ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

struct SectionEntry {
  std::size_t at;  // of the table entry
  uint32_t tag, group;
  uint64_t offset, size, count;
};

std::vector<SectionEntry> section_table(const Bytes& bytes) {
  uint32_t count = 0;
  std::memcpy(&count, &bytes[12], 4);
  std::vector<SectionEntry> table;
  for (uint32_t i = 0; i < count; ++i) {
    SectionEntry entry{kMappedHeaderSize + kMappedSectionEntrySize * i, 0, 0, 0, 0, 0};
    std::memcpy(&entry.tag, &bytes[entry.at], 4);
    std::memcpy(&entry.group, &bytes[entry.at + 4], 4);
    std::memcpy(&entry.offset, &bytes[entry.at + 8], 8);
    std::memcpy(&entry.size, &bytes[entry.at + 16], 8);
    std::memcpy(&entry.count, &bytes[entry.at + 24], 8);
    table.push_back(entry);
  }
  return table;
}

const SectionEntry& find_entry(const std::vector<SectionEntry>& table, const char* tag, uint32_t group) {
  for (const SectionEntry& entry : table) {
    if (std::memcmp(&entry.tag, tag, 4) == 0 && entry.group == group) return entry;
  }
  throw std::runtime_error("no such section");
}

TEST(MappedPartitionedDamage, EveryDamageIsRefusedWithIoError) {
  // Lists 0 and 1 hold vectors (asserted below), so their sections are not empty.
  const Bytes good = mapped_partitioned_bytes(make_partitioned({16, 2, 3, 40, Rotation::Rotor3}));
  const std::vector<SectionEntry> table = section_table(good);
  const SectionEntry& ids1 = find_entry(table, "IDS_", 1);
  const SectionEntry& norms1 = find_entry(table, "NORM", 1);
  const SectionEntry& lengths0 = find_entry(table, "LENS", 0);
  const SectionEntry& codes0 = find_entry(table, "CODE", 0);
  const SectionEntry& cent = find_entry(table, "CENT", 0);
  const SectionEntry& shifts1 = find_entry(table, "SHFT", 1);
  ASSERT_GT(ids1.count, 0u);
  ASSERT_GT(find_entry(table, "IDS_", 0).count, 0u);
  const auto with_u32 = [](Bytes bytes, std::size_t at, uint32_t value) {
    std::memcpy(&bytes.at(at), &value, 4);
    return bytes;
  };
  const auto with_float = [](Bytes bytes, std::size_t at, float value) {
    std::memcpy(&bytes.at(at), &value, 4);
    return bytes;
  };
  const auto with_u64 = [](Bytes bytes, std::size_t at, uint64_t value) {
    std::memcpy(&bytes.at(at), &value, 8);
    return bytes;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  uint64_t first_id = 0;
  std::memcpy(&first_id, &good[find_entry(table, "IDS_", 0).offset], 8);
  Bytes duplicate_id = good;
  std::memcpy(&duplicate_id[ids1.offset], &first_id, 8);
  Bytes past_last = good;
  past_last[codes0.offset + 31] = 1;  // lane 31 of block 0: list 0 holds fewer than 32
  ASSERT_LT(find_entry(table, "IDS_", 0).count, 32u);
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"cut short", Bytes(good.begin(), good.end() - 1)},
      {"header byte", with_byte(good, 20, good[20] ^ 1)},
      {"no lists", fuzzing::resealed(with_u32(good, 44, 0))},
      {"too many lists", fuzzing::resealed(with_u32(good, 44, uint32_t(PartitionedIndex::kMaxLists + 1)))},
      {"fewer lists than sections name", fuzzing::resealed(with_u32(good, 44, 2))},
      {"vector count of the header", fuzzing::resealed(with_byte(good, 16, good[16] ^ 1))},
      {"ids count", fuzzing::resealed(with_u32(good, ids1.at + 24, uint32_t(ids1.count + 1)))},
      {"section group twice", fuzzing::resealed(with_u32(good, norms1.at + 4, 0))},
      {"group past the lists", fuzzing::resealed(with_u32(good, lengths0.at + 4, 7))},
      {"centroid count", fuzzing::resealed(with_u32(good, cent.at + 24, 5))},
      {"NaN centroid", fuzzing::resealed(with_float(good, cent.offset + 8, nan))},
      {"NaN norm", fuzzing::resealed(with_float(good, norms1.offset, nan))},
      {"negative length", fuzzing::resealed(with_float(good, lengths0.offset, -1.0f))},
      {"duplicate id", fuzzing::resealed(duplicate_id)},
      {"lane past the last vector", fuzzing::resealed(past_last)},
      {"unknown tag of the ids", fuzzing::resealed(with_byte(good, ids1.at, 'X'))},
      {"NaN shift", fuzzing::resealed(with_float(good, shifts1.offset, nan))},
      {"no shifts in a file that has them", fuzzing::resealed(with_byte(good, shifts1.at, 'X'))},
      {"shifts in a file of the first version", fuzzing::resealed(with_byte(good, 4, 1))},
      {"length above what add stores", fuzzing::resealed(with_float(good, lengths0.offset, 3.4e38f))},
      {"scale above twice that", fuzzing::resealed(with_float(good, norms1.offset, 4e19f))},
      {"lengths of list 1 pointed at those of list 0",
       fuzzing::resealed(with_u64(good, find_entry(table, "LENS", 1).at + 8, lengths0.offset))},
  };
  for (const auto& damaged : cases) {
    SCOPED_TRACE(damaged.what);
    AlignedCopy copy(damaged.bytes);
    EXPECT_THROW(read_mapped_partitioned(copy.span(), std::make_shared<int>(0), false), IoError);
    EXPECT_THROW(partitioned_from_bytes(damaged.bytes), IoError);
  }
  AlignedCopy flipped(with_byte(good, codes0.offset + 3, good[codes0.offset + 3] ^ 0x10));
  EXPECT_NO_THROW(read_mapped_partitioned(flipped.span(), std::make_shared<int>(0), false));
  EXPECT_THROW(read_mapped_partitioned(flipped.span(), std::make_shared<int>(0), true), IoError);
}

// Files of the first version hold no SHFT sections: their vectors are scored
// with zero shifts, as they were when written.
TEST(MappedPartitioned, FirstVersionFilesScoreWithZeroShifts) {
  const PartitionedIndex index = make_partitioned({16, 3, 3, 60, Rotation::Rotor3});
  Bytes old = mapped_partitioned_bytes(index);
  old[4] = 1;
  for (const SectionEntry& entry : section_table(old)) {
    if (std::memcmp(&entry.tag, "SHFT", 4) == 0) old[entry.at] = 'X';  // an unknown tag is skipped
  }
  AlignedCopy copy(fuzzing::resealed(old));
  const PartitionedIndex mapped = read_mapped_partitioned(copy.span(), std::make_shared<int>(0), true);
  std::vector<PartitionedIndex::List> lists = index.owned_copy().list_data();
  for (PartitionedIndex::List& list : lists) list.shifts = StoredArray<float>(RawVector<float>(list.ids.size(), 0.0f));
  const PartitionedIndex unshifted = PartitionedIndex::from_parts(
      index.dim(), index.bits(), index.lists(), index.rotation(), index.seed(), index.centroids(), std::move(lists));
  expect_same_partitioned(mapped, unshifted);
}

TEST(MappedPartitionedDamage, MutatedFilesOpenOrFailWithIoError) {
  const Bytes seed = mapped_partitioned_bytes(make_partitioned({16, 3, 3, 33, Rotation::Iso4}));
  std::mt19937_64 engine(78);
  int opened = 0;
  for (int iteration = 0; iteration < 2000; ++iteration) {
    Bytes mutant = seed;
    const int at = int(engine() % (iteration % 3 == 0 ? mutant.size() : 64 + 13 * 32));
    mutant[std::size_t(at)] = uint8_t(engine());
    if (iteration % 7 == 0) mutant.resize(engine() % mutant.size());
    AlignedCopy copy(fuzzing::resealed(mutant));
    try {
      const PartitionedIndex index = read_mapped_partitioned(copy.span(), std::make_shared<int>(0), true);
      if (index.is_trained()) (void)index.search(random_vectors(1, index.dim(), 1), 4, 1);
      ++opened;
    } catch (const IoError&) {
    }
  }
  EXPECT_GT(opened, 100);
}

}  // namespace
}  // namespace varnel

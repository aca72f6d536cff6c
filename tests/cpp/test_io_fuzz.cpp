// Seeded random mutations of small valid index files. Every mutant must load
// or fail with IoError, and a mutant that loads must behave like any index.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "runtime/error.h"
#include "storage/io.h"
#include "storage/mapped_file.h"
#include "test_support.h"

namespace varnel {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kIterations = 3000;
constexpr int kExerciseEvery = 16;
// Loaded indexes wider than this are only checked for consistency: their
// rotation tables alone would take more memory than a test should.
constexpr uint64_t kMaxExercisedDim = 4096;

using testing::random_vectors;

Bytes index_bytes(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t n) {
  SkerryIndex index = SkerryIndex::create(dim, bits, rotation);
  index.add(random_vectors(n, dim, uint32_t(n)));
  VectorSink sink;
  BufferedWriter writer(sink);
  write_index_to(writer, index);
  writer.flush();
  return sink.bytes;
}

Bytes id_map_bytes(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t n) {
  IdMapIndex index = IdMapIndex::create(dim, bits, rotation);
  std::vector<uint64_t> ids(n);
  for (uint64_t i = 0; i < n; ++i) ids[i] = 5 * i + 1;
  index.add_with_ids(random_vectors(n, dim, uint32_t(n)), ids);
  VectorSink sink;
  BufferedWriter writer(sink);
  write_id_map_to(writer, index);
  writer.flush();
  return sink.bytes;
}

Bytes partitioned_bytes(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t lists, uint64_t n) {
  PartitionedIndex index = PartitionedIndex::create(dim, bits, lists, rotation);
  if (n > 0) {
    const std::vector<float> data = random_vectors(n, dim, uint32_t(n + 1));
    index.train(data);
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = 7 * i + 3;
    index.add_with_ids(data, ids);
  }
  VectorSink sink;
  BufferedWriter writer(sink);
  write_partitioned_to(writer, index);
  writer.flush();
  return sink.bytes;
}

// Files as written now, and the same without their trailer, as older
// versions wrote them (those still load, so mutants of them reach further).
std::vector<Bytes> seed_files() {
  std::vector<Bytes> seeds = {
      index_bytes(16, 2, Rotation::Rotor3, 3),  index_bytes(8, 4, Rotation::WalshRotor3, 5),
      index_bytes(8, 3, Rotation::Planar2, 0),  id_map_bytes(16, 3, Rotation::Iso4, 4),
      id_map_bytes(8, 4, Rotation::Rotor3, 2),  id_map_bytes(8, 2, Rotation::Planar2, 0),
      partitioned_bytes(8, 4, Rotation::Rotor3, 2, 5), partitioned_bytes(16, 2, Rotation::Iso4, 3, 4),
      partitioned_bytes(8, 3, Rotation::Planar2, 2, 0)};
  const std::size_t written = seeds.size();
  for (std::size_t i = 0; i < written; ++i) {
    seeds.emplace_back(seeds[i].begin(), seeds[i].end() - std::ptrdiff_t(kTrailerSize));
  }
  return seeds;
}

// The inputs tools/fuzz_load.sh keeps in the repository: the small set that
// covers every branch the fuzzer has reached.
std::vector<Bytes> kept_corpus() {
  const std::filesystem::path dir =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<Bytes> inputs;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

class Mutator {
 public:
  explicit Mutator(uint64_t seed) : engine_(seed) {}

  Bytes mutate(Bytes bytes) {
    const int rounds = 1 + int(below(3));
    for (int i = 0; i < rounds; ++i) mutate_once(bytes);
    return bytes;
  }

 private:
  uint64_t below(uint64_t bound) { return bound == 0 ? 0 : engine_() % bound; }

  void mutate_once(Bytes& bytes) {
    switch (below(6)) {
      case 0:
        if (!bytes.empty()) bytes[below(bytes.size())] ^= uint8_t(1u << below(8));
        break;
      case 1:
        if (!bytes.empty()) bytes[below(bytes.size())] = uint8_t(engine_());
        break;
      case 2: {
        const auto at = bytes.begin() + std::ptrdiff_t(below(bytes.size() + 1));
        const Bytes inserted(1 + below(8), uint8_t(engine_()));
        bytes.insert(at, inserted.begin(), inserted.end());
        break;
      }
      case 3: {
        const uint64_t start = below(bytes.size() + 1);
        const uint64_t count = std::min<uint64_t>(1 + below(8), bytes.size() - start);
        bytes.erase(bytes.begin() + std::ptrdiff_t(start),
                    bytes.begin() + std::ptrdiff_t(start + count));
        break;
      }
      case 4:
        bytes.resize(below(bytes.size() + 1));
        break;
      default:
        overwrite_header_field(bytes);
    }
  }

  // The fields that decide sizes and meaning, set to values near their limits.
  void overwrite_header_field(Bytes& bytes) {
    static const uint32_t kInteresting[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 24, 255,
                                            1u << 24, (1u << 24) + 8, 1u << 31, 0xFFFFFFF8,
                                            0xFFFFFFFF};
    const uint32_t value = kInteresting[below(std::size(kInteresting))];
    struct Field {
      std::size_t offset, width;
    };
    // magic, version, bits, rotation, dim, n (lists in a partitioned file)
    static const Field kFields[] = {{3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 4}, {11, 4}};
    const Field field = kFields[below(std::size(kFields))];
    for (std::size_t i = 0; i < field.width && field.offset + i < bytes.size(); ++i) {
      bytes[field.offset + i] = uint8_t(value >> (8 * i));
    }
    if (field.offset == 3 && bytes.size() > 3) bytes[3] = "XMP"[below(3)];
  }

  std::mt19937_64 engine_;
};

void check_search(const SkerryIndex& index) {
  const std::vector<float> queries = random_vectors(2, index.dim(), 3);
  const SearchResults found = index.search(queries, 3);
  ASSERT_EQ(found.nq, 2u);
  ASSERT_EQ(found.scores.size(), 2 * found.k);
  ASSERT_EQ(found.indices.size(), 2 * found.k);
  for (const int64_t position : found.indices) {
    EXPECT_TRUE(position >= -1 && position < int64_t(index.len()));
  }
}

void exercise(SkerryIndex& index) {
  ASSERT_EQ(index.codes().size(), index.len() * index.row_bytes());
  ASSERT_EQ(index.norms().size(), index.len());
  if (index.dim() > kMaxExercisedDim) return;
  index.prepare();
  check_search(index);
  if (index.len() > 0) index.swap_remove(0);
  index.add(random_vectors(1, index.dim(), 4));
  check_search(index);
}

void exercise(IdMapIndex& index) {
  ASSERT_EQ(index.ids().size(), index.len());
  ASSERT_EQ(index.core().len(), index.len());
  const std::unordered_set<uint64_t> stored(index.ids().begin(), index.ids().end());
  ASSERT_EQ(stored.size(), index.len());
  for (const uint64_t id : index.ids()) ASSERT_TRUE(index.contains(id));
  if (index.dim() > kMaxExercisedDim) return;
  index.prepare();
  const std::vector<float> queries = random_vectors(2, index.dim(), 5);
  for (const uint64_t id : index.search(queries, 3).ids) {
    EXPECT_TRUE(id == IdMapIndex::kEmptyId || stored.count(id) == 1);
  }
  if (index.len() > 0) {
    const uint64_t first = index.ids().front();
    ASSERT_TRUE(index.remove(first));
    EXPECT_FALSE(index.contains(first));
  }
  uint64_t fresh = 0;
  while (index.contains(fresh)) ++fresh;
  index.add_with_ids(random_vectors(1, index.dim(), 6), std::vector<uint64_t>{fresh});
  EXPECT_EQ(index.search(queries, index.len()).ids.size(), 2 * index.len());
}

void exercise(PartitionedIndex& index) {
  uint64_t stored = 0;
  std::unordered_set<uint64_t> ids;
  for (const PartitionedIndex::List& list : index.list_data()) {
    ASSERT_EQ(list.codes.size(), list.ids.size());
    ASSERT_EQ(list.norms.size(), list.ids.size());
    ASSERT_EQ(list.lengths.size(), list.ids.size());
    stored += list.ids.size();
    for (const uint64_t id : list.ids) {
      ASSERT_TRUE(ids.insert(id).second);
      ASSERT_TRUE(index.contains(id));
    }
  }
  ASSERT_EQ(stored, index.len());
  if (index.dim() > kMaxExercisedDim || !index.is_trained()) return;
  const std::vector<float> queries = random_vectors(2, index.dim(), 5);
  const uint64_t probes = std::min<uint64_t>(2, index.lists());
  for (const uint64_t id : index.search(queries, 3, probes).ids) {
    EXPECT_TRUE(id == PartitionedIndex::kEmptyId || ids.count(id) == 1);
  }
  if (index.len() > 0) {
    ASSERT_TRUE(index.remove(*ids.begin()));
  }
  uint64_t fresh = 0;
  while (index.contains(fresh)) ++fresh;
  index.add_with_ids(random_vectors(1, index.dim(), 6), std::vector<uint64_t>{fresh});
  EXPECT_TRUE(index.contains(fresh));
}

// Loads one input as a partitioned index file and reports what happened.
template <class Load>
std::string load_partitioned_kind(Load&& load, bool exercise_loaded) {
  try {
    PartitionedIndex index = load();
    if (exercise_loaded) exercise(index);
    return ";partitioned loaded";
  } catch (const IoError& error) {
    return std::string(";") + error.what();
  }
}

// Loads one input as both file kinds and reports what happened, so that the
// file path can be compared with the in-memory reader.
template <class LoadIndex, class LoadIdMap>
std::string load_both(LoadIndex&& load_index_kind, LoadIdMap&& load_id_map_kind, bool exercise_loaded) {
  std::string outcome;
  try {
    SkerryIndex index = load_index_kind();
    if (exercise_loaded) exercise(index);
    outcome += "index loaded;";
  } catch (const IoError& error) {
    outcome += std::string(error.what()) + ";";
  }
  try {
    IdMapIndex index = load_id_map_kind();
    if (exercise_loaded) exercise(index);
    outcome += "id map loaded";
  } catch (const IoError& error) {
    outcome += error.what();
  }
  return outcome;
}

std::string load_from_memory(const Bytes& bytes, bool exercise_loaded) {
  const auto read = [&](auto read_kind) {
    MemorySource source(bytes);
    BufferedReader reader(source);
    return read_kind(reader);
  };
  if (is_mapped_layout(bytes)) {  // load reads these with the mapped reader
    return load_both([&] { return index_from_bytes(bytes); }, [&] { return id_map_from_bytes(bytes); },
                     exercise_loaded) +
           load_partitioned_kind([&] { return partitioned_from_bytes(bytes); }, exercise_loaded);
  }
  return load_both([&] { return read(read_index_from); }, [&] { return read(read_id_map_from); },
                   exercise_loaded) +
         load_partitioned_kind([&] { return read(read_partitioned_from); }, exercise_loaded);
}

std::string load_from_file(const std::string& path) {
  return load_both([&] { return load_index(path); }, [&] { return load_id_map(path); }, false) +
         load_partitioned_kind([&] { return load_partitioned(path); }, false);
}

std::string hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

TEST(IndexFileFuzz, KeptCorpusLoadsOrFailsWithIoError) {
  const std::vector<Bytes> corpus = kept_corpus();
  ASSERT_GT(corpus.size(), 10u);
  int loaded = 0;
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    SCOPED_TRACE("input " + hex(corpus[i]));
    try {
      loaded += int(load_from_memory(corpus[i], /*exercise_loaded=*/true).find("loaded") !=
                    std::string::npos);
    } catch (const std::exception& error) {
      FAIL() << "unexpected exception: " << error.what();
    }
  }
  EXPECT_GT(loaded, 0);
}

TEST(IndexFileFuzz, MutatedFilesLoadOrFailWithIoError) {
  std::string dir_pattern = ::testing::TempDir() + "varnel_fuzz_XXXXXX";
  ASSERT_NE(::mkdtemp(dir_pattern.data()), nullptr);
  const std::string file = dir_pattern + "/mutant";

  std::vector<Bytes> seeds = seed_files();
  for (Bytes& input : kept_corpus()) seeds.push_back(std::move(input));
  Mutator mutator(20240611);
  int loaded = 0;
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    const Bytes mutant = mutator.mutate(seeds[std::size_t(iteration) % seeds.size()]);
    SCOPED_TRACE("iteration " + std::to_string(iteration) + ", input " + hex(mutant));
    std::string outcome;
    try {
      // Building an index's tables costs far more than loading it, so
      // only a spread sample of the loadable mutants is searched and edited.
      outcome = load_from_memory(mutant, /*exercise_loaded=*/loaded % kExerciseEvery == 0);
    } catch (const std::exception& error) {
      FAIL() << "unexpected exception: " << error.what();
    }
    loaded += int(outcome.find("loaded") != std::string::npos);
    if (iteration % 50 == 0) {
      std::ofstream(file, std::ios::binary)
          .write(reinterpret_cast<const char*>(mutant.data()), std::streamsize(mutant.size()));
      EXPECT_EQ(load_from_file(file), outcome);
    }
  }
  std::filesystem::remove_all(dir_pattern);
  // A fuzzer that never produces a loadable file tests only the first check.
  EXPECT_GT(loaded, kIterations / 10);
}

}  // namespace
}  // namespace varnel

#include "storage/io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/error.h"

// The largest single allocation made while a test watches, to prove that a
// header's announced sizes are never allocated before the data is there.
namespace {
std::atomic<std::size_t> largest_allocation{0};
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
  std::size_t seen = largest_allocation.load(std::memory_order_relaxed);
  while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

#include "test_support.h"

namespace varnel {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr auto& kRotations = testing::kAllRotations;

using testing::random_vectors;

SkerryIndex filled_index(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t n,
                         uint64_t seed = SkerryIndex::kDefaultSeed) {
  SkerryIndex index = SkerryIndex::with_options(dim, bits, rotation, seed);
  index.add(random_vectors(n, dim, uint32_t(n + bits)));
  return index;
}

IdMapIndex filled_id_map(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t n,
                         uint64_t seed = SkerryIndex::kDefaultSeed) {
  IdMapIndex index = IdMapIndex::with_options(dim, bits, rotation, seed);
  std::vector<uint64_t> ids(n);
  for (uint64_t i = 0; i < n; ++i) ids[i] = 1000 + 7 * i;
  index.add_with_ids(random_vectors(n, dim, uint32_t(n + bits)), ids);
  return index;
}

void put_u32(Bytes& bytes, std::size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = uint8_t(value >> (8 * i));
}

void put_u64(Bytes& bytes, std::size_t offset, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[offset + i] = uint8_t(value >> (8 * i));
}

std::string io_error(auto&& call) {
  try {
    call();
  } catch (const IoError& error) {
    return error.what();
  }
  return "<no IoError>";
}

std::string bytes_error(const std::vector<uint8_t>& bytes, bool id_map);

void expect_same_search(const SearchResults& a, const SearchResults& b) {
  ASSERT_EQ(a.scores.size(), b.scores.size());
  EXPECT_EQ(0, std::memcmp(a.scores.data(), b.scores.data(), a.scores.size() * sizeof(float)));
  EXPECT_EQ(a.indices, b.indices);
}

class IndexFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "varnel_io_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static Bytes read_bytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  static void write_bytes(const std::string& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }

  Bytes index_file_bytes(const SkerryIndex& index) {
    write_index(index, path("scratch"));
    return read_bytes(path("scratch"));
  }
  Bytes id_map_file_bytes(const IdMapIndex& index) {
    write_id_map(index, path("scratch"));
    return read_bytes(path("scratch"));
  }
  std::string load_index_error(const Bytes& bytes) {
    write_bytes(path("input"), bytes);
    return io_error([&] { load_index(path("input")); });
  }
  std::string load_id_map_error(const Bytes& bytes) {
    write_bytes(path("input"), bytes);
    return io_error([&] { load_id_map(path("input")); });
  }

  std::filesystem::path dir_;
};

// The data, then "VNCK", the count of bytes covered and their CRC-32C.
Bytes with_trailer(Bytes data) {
  const uint64_t covered = data.size();
  const uint32_t checksum = crc32c(data);
  data.insert(data.end(), {'V', 'N', 'C', 'K'});
  data.resize(data.size() + 12);
  put_u64(data, covered + 4, covered);
  put_u32(data, covered + 12, checksum);
  return data;
}

TEST_F(IndexFiles, EmptyIndexIsTheDocumented23BytesAndTheTrailer) {
  const Bytes data = {'V',  'N',  'I',  'X',  0x02, 0x02, 0x03, 0x08,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEC,
                      0x04, 0x07, 0x07, 0x00, 0x00, 0x00, 0x00};
  const Bytes expected = with_trailer(data);
  ASSERT_EQ(expected.size(), 39u);
  EXPECT_EQ(index_file_bytes(SkerryIndex::create(8, 2, Rotation::Rotor3)), expected);
  Bytes id_map_data = data;
  id_map_data[3] = 'M';
  EXPECT_EQ(id_map_file_bytes(IdMapIndex::create(8, 2, Rotation::Rotor3)), with_trailer(id_map_data));
}

TEST(Checksum, KnownValueAndEveryPathAgrees) {
  const std::string check = "123456789";
  const std::span<const uint8_t> check_bytes(reinterpret_cast<const uint8_t*>(check.data()),
                                             check.size());
  Bytes bytes(3000);
  std::mt19937 engine(5);
  for (uint8_t& byte : bytes) byte = uint8_t(engine());
  for (const bool portable : {true, false}) {
    force_crc32c_portable(portable);
    EXPECT_EQ(crc32c(check_bytes), 0xE3069283u);
  }
  // Every path, any alignment, any split of the stream: one value.
  for (std::size_t start : {0u, 1u, 3u, 7u}) {
    for (std::size_t size : {0u, 1u, 7u, 8u, 9u, 100u, 2990u}) {
      const std::span<const uint8_t> piece(bytes.data() + start, size);
      force_crc32c_portable(true);
      const uint32_t expected = crc32c(piece);
      force_crc32c_portable(false);
      EXPECT_EQ(crc32c(piece), expected) << start << " " << size;
      Crc32c split;
      split.update(piece.first(size / 3));
      split.update(piece.subspan(size / 3));
      EXPECT_EQ(split.value(), expected);
    }
  }
}

TEST_F(IndexFiles, SizeIsHeaderPlusRowsNormsAndIds) {
  struct Case {
    uint64_t dim, bits, n;
    Rotation rotation;
  };
  for (const Case& c : {Case{8, 2, 5, Rotation::Rotor3}, Case{24, 3, 33, Rotation::Iso4},
                        Case{64, 4, 40, Rotation::WalshRotor3}, Case{16, 2, 1, Rotation::Planar2}}) {
    const uint64_t per_vector = c.dim * c.bits / 8 + 4;
    const SkerryIndex index = filled_index(c.dim, c.bits, c.rotation, c.n);
    const IdMapIndex id_map = filled_id_map(c.dim, c.bits, c.rotation, c.n);
    EXPECT_EQ(index_file_bytes(index).size(), 23 + c.n * per_vector + kTrailerSize);
    EXPECT_EQ(id_map_file_bytes(id_map).size(), 23 + c.n * (per_vector + 8) + kTrailerSize);
    EXPECT_EQ(file_size(index), 23 + c.n * per_vector + kTrailerSize);
    EXPECT_EQ(file_size(id_map), 23 + c.n * (per_vector + 8) + kTrailerSize);
  }
}

// Delivers a few bytes per read and hides its size, like a slow pipe.
class TricklingSource final : public ByteSource {
 public:
  explicit TricklingSource(const Bytes& bytes) : inner_(bytes) {}
  std::size_t read_some(uint8_t* out, std::size_t size) override {
    return inner_.read_some(out, std::min<std::size_t>(size, 7));
  }
  std::optional<uint64_t> remaining() const override { return std::nullopt; }

 private:
  MemorySource inner_;
};

std::string bytes_error(const Bytes& bytes, bool id_map) {
  return io_error([&] {
    if (id_map) {
      id_map_from_bytes(bytes);
    } else {
      index_from_bytes(bytes);
    }
  });
}

// The same bytes through a source that cannot tell its size (a pipe).
std::string streamed_error(const Bytes& bytes, bool id_map) {
  return io_error([&] {
    TricklingSource source(bytes);
    BufferedReader reader(source);
    if (id_map) {
      read_id_map_from(reader);
    } else {
      read_index_from(reader);
    }
  });
}

TEST(IndexTrailer, EverySingleBitFlipIsRefused) {
  for (const bool id_map : {false, true}) {
    Bytes valid;
    if (id_map) {
      valid = id_map_to_bytes(filled_id_map(16, 2, Rotation::Rotor3, 3));
    } else {
      valid = index_to_bytes(filled_index(16, 4, Rotation::Iso4, 3));
    }
    ASSERT_EQ(bytes_error(valid, id_map), "<no IoError>");
    for (std::size_t bit = 0; bit < valid.size() * 8; ++bit) {
      Bytes damaged = valid;
      damaged[bit / 8] ^= uint8_t(1u << (bit % 8));
      const std::string message = bytes_error(damaged, id_map);
      EXPECT_NE(message, "<no IoError>") << "bit " << bit << (id_map ? " VNIM" : " VNIX");
      EXPECT_EQ(streamed_error(damaged, id_map), message) << "bit " << bit;
    }
  }
}

TEST(IndexTrailer, MessagesNameWhatIsDamaged) {
  // dim 16, 4 bits, 3 vectors: codes at 15, norms at 39, seed at 51,
  // trailer at 59 (tag), 63 (length) and 71 (checksum).
  const Bytes valid = index_to_bytes(filled_index(16, 4, Rotation::Iso4, 3));
  ASSERT_EQ(valid.size(), 75u);
  const std::string mismatch = "damaged index file: checksum mismatch";
  const std::string corrupt = "damaged index file: corrupt checksum trailer";
  struct Case {
    std::size_t offset;
    uint8_t mask;
    std::string message;
  };
  const std::vector<Case> cases = {
      {15, 0x01, mismatch},  // a code
      {51, 0x01, mismatch},  // the seed
      {71, 0x10, mismatch},  // the stored checksum
      {59, 0x02, corrupt},   // the tag
      {63, 0x01, corrupt},   // the covered length
      // n 3 -> 1: the first norm is read from code bytes, a float no vector can have
      {11, 0x02, "invalid index file: vector 0 has a norm above 1.8e19, which no added vector can have"},
      {11, 0x04, "failed to fill whole buffer"},                                       // n 3 -> 7
      {42, 0x80, "invalid index file: vector 0 has a negative or non-finite norm"},
  };
  for (const Case& c : cases) {
    Bytes damaged = valid;
    damaged[c.offset] ^= c.mask;
    EXPECT_EQ(bytes_error(damaged, false), c.message) << c.offset;
  }
}

TEST(IndexTrailer, FilesWithoutTrailerLoadAndBadNormsAreRefused) {
  const SkerryIndex index = filled_index(16, 4, Rotation::Iso4, 3);
  const Bytes valid = index_to_bytes(index);
  const Bytes old_format(valid.begin(), valid.end() - kTrailerSize);
  EXPECT_EQ(index_from_bytes(old_format).codes(), index.codes());
  Bytes appended = valid;
  appended.insert(appended.end(), 40, 0x5A);
  EXPECT_EQ(index_from_bytes(appended).codes(), index.codes());
  Bytes appended_old = old_format;
  appended_old.insert(appended_old.end(), 40, 0x5A);
  EXPECT_EQ(index_from_bytes(appended_old).codes(), index.codes());

  for (const float norm : {-1.0f, -std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN()}) {
    Bytes bad = old_format;
    uint32_t raw;
    std::memcpy(&raw, &norm, sizeof raw);
    put_u32(bad, 39 + 4 * 2, raw);
    const std::string message = "invalid index file: vector 2 has a negative or non-finite norm";
    EXPECT_EQ(bytes_error(bad, false), message) << norm;
    EXPECT_EQ(bytes_error(with_trailer(bad), false), message) << norm;
  }
}

TEST(IndexStreams, LargeIndexSurvivesShortReadsAndAnUnknownSize) {
  // More code bytes than one growth step of the reader, and far more than a buffer.
  const IdMapIndex index = filled_id_map(1024, 4, Rotation::Planar2, 2100, 99);
  ASSERT_GT(index.core().codes().size(), std::size_t{1} << 20);
  VectorSink sink;
  BufferedWriter writer(sink);
  write_id_map_to(writer, index);
  writer.flush();

  TricklingSource source(sink.bytes);
  BufferedReader reader(source);
  const IdMapIndex loaded = read_id_map_from(reader);
  EXPECT_EQ(loaded.core().codes(), index.core().codes());
  EXPECT_EQ(0, std::memcmp(loaded.core().norms().data(), index.core().norms().data(),
                           index.len() * sizeof(float)));
  EXPECT_EQ(loaded.ids(), index.ids());
  EXPECT_EQ(loaded.core().seed(), 99u);
}

TEST_F(IndexFiles, RoundTripKeepsEverythingAndSearchesIdentically) {
  constexpr uint64_t kDim = 16, kCount = 37, kSeed = 0xDEADBEEF12345ull;
  const std::vector<float> queries = random_vectors(5, kDim, 77);
  for (const Rotation rotation : kRotations) {
    for (const uint64_t bits : {2u, 3u, 4u}) {
      SCOPED_TRACE(std::string(rotation_name(rotation)) + " bits " + std::to_string(bits));
      const SkerryIndex index = filled_index(kDim, bits, rotation, kCount, kSeed);
      write_index(index, path("index.vnix"));
      const SkerryIndex loaded = load_index(path("index.vnix"));
      EXPECT_EQ(loaded.dim(), kDim);
      EXPECT_EQ(loaded.bits(), bits);
      EXPECT_EQ(loaded.rotation(), rotation);
      EXPECT_EQ(loaded.seed(), kSeed);
      EXPECT_EQ(loaded.len(), kCount);
      EXPECT_EQ(loaded.codes(), index.codes());
      EXPECT_EQ(0, std::memcmp(loaded.norms().data(), index.norms().data(), kCount * 4));
      EXPECT_EQ(loaded.code_store().blocked().bytes, index.code_store().blocked().bytes);
      expect_same_search(loaded.search(queries, 10), index.search(queries, 10));

      const IdMapIndex id_map = filled_id_map(kDim, bits, rotation, kCount, kSeed);
      write_id_map(id_map, path("index.vnim"));
      const IdMapIndex loaded_map = load_id_map(path("index.vnim"));
      EXPECT_EQ(loaded_map.ids(), id_map.ids());
      EXPECT_EQ(loaded_map.core().codes(), id_map.core().codes());
      EXPECT_EQ(loaded_map.core().seed(), kSeed);
      EXPECT_TRUE(loaded_map.contains(id_map.ids().back()));
      const IdSearchResults a = loaded_map.search(queries, 4), b = id_map.search(queries, 4);
      EXPECT_EQ(a.ids, b.ids);
      EXPECT_EQ(0, std::memcmp(a.scores.data(), b.scores.data(), a.scores.size() * 4));
    }
  }
}

TEST_F(IndexFiles, MalformedHeadersAreRefusedWithTheirMessages) {
  const Bytes empty_index = index_file_bytes(SkerryIndex::create(8, 2, Rotation::Rotor3));
  const Bytes empty_id_map = id_map_file_bytes(IdMapIndex::create(8, 2, Rotation::Rotor3));
  struct Case {
    bool id_map_file;
    bool load_as_id_map;
    std::size_t offset;
    std::vector<uint8_t> patch;
    std::string message;
  };
  const std::vector<Case> cases = {
      {true, false, 0, {}, "not a VNIX file: wrong magic"},
      {false, true, 0, {}, "not a VNIM file: wrong magic"},
      {false, false, 0, {'v'}, "not a VNIX file: wrong magic"},
      {false, false, 4, {1}, "unsupported VNIX version: 1"},
      {true, true, 4, {3}, "unsupported VNIM version: 3"},
      {false, false, 6, {0}, "unknown rotation kind tag: 0"},
      {true, true, 6, {6}, "unknown rotation kind tag: 6"},
      {false, false, 6, {255}, "unknown rotation kind tag: 255"},
      {false, false, 5, {7}, "invalid index file: bits must be 2, 3, or 4"},
      {true, true, 5, {0}, "invalid index file: bits must be 2, 3, or 4"},
      {false, false, 7, {12}, "invalid index file: dim must be a multiple of 8"},
      {false, false, 6, {5, 24},
       "invalid index file: Rotation::WalshRotor3 requires dim to be a power of 2 (got 24)"},
      {true, true, 7, {0}, "invalid index file: dim must not be 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Bytes bytes = c.id_map_file ? empty_id_map : empty_index;
    std::copy(c.patch.begin(), c.patch.end(), bytes.begin() + c.offset);
    EXPECT_EQ(c.load_as_id_map ? load_id_map_error(bytes) : load_index_error(bytes), c.message);
  }
}

// A cut inside the trailer leaves all the data: such a file loads as one
// written without a trailer.
TEST_F(IndexFiles, EveryTruncationOfTheDataFailsAndAppendedBytesAreIgnored) {
  const SkerryIndex index = filled_index(8, 3, Rotation::Iso4, 3);
  const IdMapIndex id_map = filled_id_map(8, 3, Rotation::Iso4, 3);
  const Bytes index_bytes = index_file_bytes(index);
  const Bytes id_map_bytes = id_map_file_bytes(id_map);
  for (std::size_t size = 0; size < index_bytes.size(); ++size) {
    const bool all_data = size >= index_bytes.size() - kTrailerSize;
    EXPECT_EQ(load_index_error(Bytes(index_bytes.begin(), index_bytes.begin() + size)),
              all_data ? "<no IoError>" : "failed to fill whole buffer")
        << size;
  }
  for (std::size_t size = 0; size < id_map_bytes.size(); ++size) {
    const bool all_data = size >= id_map_bytes.size() - kTrailerSize;
    EXPECT_EQ(load_id_map_error(Bytes(id_map_bytes.begin(), id_map_bytes.begin() + size)),
              all_data ? "<no IoError>" : "failed to fill whole buffer")
        << size;
  }

  Bytes longer = index_bytes;
  longer.insert(longer.end(), {'V', 'N', 'I', 'X', 2, 0xFF, 0xFF});
  write_bytes(path("longer"), longer);
  EXPECT_EQ(load_index(path("longer")).codes(), index.codes());
  longer = id_map_bytes;
  longer.insert(longer.end(), 100, 0xAB);
  write_bytes(path("longer"), longer);
  EXPECT_EQ(load_id_map(path("longer")).ids(), id_map.ids());
}

TEST_F(IndexFiles, RepeatedIdIsRefused) {
  Bytes bytes = id_map_file_bytes(filled_id_map(8, 2, Rotation::Rotor3, 3));
  const std::size_t ids_offset = bytes.size() - kTrailerSize - 3 * 8;
  put_u64(bytes, ids_offset + 16, 1000);  // the id of position 0
  EXPECT_EQ(load_id_map_error(bytes), "duplicate ids in .vnim file");
}

TEST_F(IndexFiles, OperatingSystemErrorsAndNulBytesInPaths) {
  const SkerryIndex index = SkerryIndex::create(8, 2, Rotation::Rotor3);
  EXPECT_EQ(io_error([&] { load_index(path("missing")); }),
            "No such file or directory (os error 2)");
  EXPECT_EQ(io_error([&] { load_id_map(dir_.string()); }), "Is a directory (os error 21)");
  EXPECT_EQ(io_error([&] { write_index(index, path("no/such/dir")); }),
            "No such file or directory (os error 2)");

  const std::string with_nul = path("name") + std::string(1, '\0') + "tail";
  EXPECT_EQ(io_error([&] { write_index(index, with_nul); }),
            "file name contained an unexpected NUL byte");
  EXPECT_EQ(io_error([&] { write_id_map(IdMapIndex::create(8, 2, Rotation::Rotor3), with_nul); }),
            "file name contained an unexpected NUL byte");
  EXPECT_EQ(io_error([&] { load_index(with_nul); }), "file name contained an unexpected NUL byte");
  EXPECT_FALSE(std::filesystem::exists(path("name")));
}

TEST_F(IndexFiles, HugeAnnouncementsFailBeforeAnyLargeAllocation) {
  const std::string short_file = "failed to fill whole buffer";
  struct Case {
    uint8_t bits, tag;
    uint32_t dim, n;
    std::string message;
  };
  const std::vector<Case> cases = {
      {2, 3, 1u << 31, 0xFFFFFFFF, "invalid index file: dim must be at most 16777216 (got 2147483648)"},
      {2, 3, 1u << 24, 0xFFFFFFFF, short_file},
      {4, 5, 1u << 24, 0xFFFFFFFF, short_file},
      {2, 2, 8, 0xFFFFFFFF, short_file},
      {4, 4, 1u << 24, 1, short_file},
  };
  for (const Case& c : cases) {
    for (const bool id_map : {false, true}) {
      Bytes bytes = {'V', 'N', 'I', uint8_t(id_map ? 'M' : 'X'), 2, c.bits, c.tag};
      bytes.resize(64 * 1024, 0x11);
      put_u32(bytes, 7, c.dim);
      put_u32(bytes, 11, c.n);
      write_bytes(path("huge"), bytes);
      largest_allocation = 0;
      const std::string message = io_error([&] {
        if (id_map) {
          load_id_map(path("huge"));
        } else {
          load_index(path("huge"));
        }
      });
      EXPECT_EQ(message, c.message);
      EXPECT_LT(largest_allocation.load(), std::size_t{1} << 20);
      // The same bytes in memory (from_bytes): the same check, the same bound.
      largest_allocation = 0;
      EXPECT_EQ(bytes_error(bytes, id_map), c.message);
      EXPECT_LT(largest_allocation.load(), std::size_t{1} << 20);
    }
  }
}

TEST_F(IndexFiles, WriteRefusesAFileItCouldNotLoadBeforeCreatingIt) {
  const IdMapIndex no_dim = IdMapIndex::with_options(0, 2, Rotation::Rotor3, 1);
  EXPECT_EQ(io_error([&] { write_id_map(no_dim, path("zero")); }),
            "cannot write an index of dim 0");
  EXPECT_EQ(io_error([&] { write_index(no_dim.core(), path("zero")); }),
            "cannot write an index of dim 0");
  EXPECT_FALSE(std::filesystem::exists(path("zero")));
}

TEST_F(IndexFiles, WriteTruncatesOldFilesAndGivesNewOnesTheUmaskMode) {
  write_index(filled_index(64, 4, Rotation::Rotor3, 100), path("index"));
  const SkerryIndex small = filled_index(8, 2, Rotation::Rotor3, 1);
  write_index(small, path("index"));
  EXPECT_EQ(std::filesystem::file_size(path("index")), 23u + 6u + kTrailerSize);
  EXPECT_EQ(load_index(path("index")).codes(), small.codes());

  const mode_t previous = ::umask(027);
  write_index(small, path("fresh"));
  ::umask(previous);
  struct stat info {};
  ASSERT_EQ(::stat(path("fresh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The file is replaced only once the new one is complete: a write that fails
// half-way leaves the earlier file as it was and no temporary file behind.
TEST_F(IndexFiles, WriteReplacesTheFileWholeKeepingItsModeAndLinks) {
  const SkerryIndex first = filled_index(8, 2, Rotation::Rotor3, 2);
  const SkerryIndex second = filled_index(16, 3, Rotation::Iso4, 5);
  write_index(first, path("index"));
  ASSERT_EQ(::chmod(path("index").c_str(), 0604), 0);
  write_index(second, path("index"));
  struct stat info {};
  ASSERT_EQ(::stat(path("index").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0604u);
  EXPECT_EQ(load_index(path("index")).codes(), second.codes());

  // Through a chain of links, one of them relative: the links stay links.
  std::filesystem::create_directory(dir_ / "sub");
  std::filesystem::create_symlink("../index", dir_ / "sub" / "relative");
  std::filesystem::create_symlink(dir_ / "sub" / "relative", dir_ / "absolute");
  write_index(first, path("absolute"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "absolute"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "sub" / "relative"));
  EXPECT_EQ(load_index(path("index")).codes(), first.codes());
  EXPECT_EQ(names_in(dir_), (std::vector<std::string>{"absolute", "index", "sub"}));

  // A file-size limit makes the write fail part-way, as a full disk would.
  const Bytes before = read_bytes(path("index"));
  const SkerryIndex large = filled_index(64, 4, Rotation::Rotor3, 200);
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* previous_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::string message = io_error([&] { write_index(large, path("index")); });
  const std::string id_map_message =
      io_error([&] { write_id_map(filled_id_map(64, 4, Rotation::Rotor3, 200), path("new")); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous_handler);
  EXPECT_EQ(message, "File too large (os error 27)");
  EXPECT_EQ(id_map_message, "File too large (os error 27)");
  EXPECT_EQ(read_bytes(path("index")), before);
  EXPECT_EQ(names_in(dir_), (std::vector<std::string>{"absolute", "index", "sub"}));
}

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST_F(IndexFiles, NoDescriptorOutlivesACall) {
  const IdMapIndex index = filled_id_map(8, 2, Rotation::Rotor3, 4);
  const std::size_t before = open_descriptors();
  write_id_map(index, path("good"));
  load_id_map(path("good"));
  Bytes bytes = read_bytes(path("good"));
  bytes.resize(bytes.size() - kTrailerSize - 1);
  write_bytes(path("short"), bytes);
  EXPECT_THROW(load_id_map(path("short")), IoError);
  EXPECT_THROW(load_index(path("good")), IoError);
  EXPECT_THROW(write_id_map(index, path("missing/dir")), IoError);
  EXPECT_EQ(open_descriptors(), before);
}

// A pipe cannot tell its size: memory must then grow only with the bytes
// that actually arrive.
TEST_F(IndexFiles, PipesAreReadWithoutTrustingTheHeader) {
  const SkerryIndex index = filled_index(16, 3, Rotation::Planar2, 9);
  const Bytes valid = index_file_bytes(index);
  Bytes lying = valid;
  put_u32(lying, 11, 0xFFFFFFFF);
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  for (const Bytes* bytes : std::vector<const Bytes*>{&valid, &lying}) {
    std::thread feeder([&] { write_bytes(path("pipe"), *bytes); });
    largest_allocation = 0;
    std::string message;
    try {
      EXPECT_EQ(load_index(path("pipe")).codes(), index.codes());
      message = "loaded";
    } catch (const IoError& error) {
      message = error.what();
    }
    feeder.join();
    EXPECT_EQ(message, bytes == &valid ? "loaded" : "failed to fill whole buffer");
    EXPECT_LT(largest_allocation.load(), std::size_t{4} << 20);
  }
}

}  // namespace
}  // namespace varnel

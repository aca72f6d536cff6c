#pragma once
// Index files: "VNIX" (SkerryIndex) and "VNIM" (IdMapIndex), version 2,
// little-endian, sharing one core section. All failures throw varnel::IoError.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/id_map.h"
#include "index/partitioned_index.h"
#include "index/skerry_index.h"
#include "quantize/code_store.h"
#include "storage/checksum.h"

namespace varnel {

// How a file is written: `sync` makes the new file and its folder entry
// durable (fsync) before the call returns, so that a power loss cannot leave
// an empty file in place of the old one. Bulk writers may turn it off.
struct WriteOptions {
  bool sync = true;
};

// How a file or a block of bytes is read: `require_checksum` refuses data
// without the integrity trailer (written before trailers existed, or cut
// short at the end) instead of loading it unverified.
struct ReadOptions {
  bool require_checksum = false;
};

void write_index(const SkerryIndex& index, const std::string& path, WriteOptions options = {});
SkerryIndex load_index(const std::string& path, ReadOptions options = {});
void write_id_map(const IdMapIndex& index, const std::string& path, WriteOptions options = {});
IdMapIndex load_id_map(const std::string& path, ReadOptions options = {});

// Where a reader takes its bytes from: a file or a block of memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes into `out`; returns 0 only at the end.
  virtual std::size_t read_some(uint8_t* out, std::size_t size) = 0;
  // How many bytes are left, when the source can tell (a regular file or
  // memory); a pipe cannot.
  virtual std::optional<uint64_t> remaining() const = 0;
  // Passes over up to `count` bytes; returns how many it passed.
  virtual uint64_t skip(uint64_t count);
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  std::size_t read_some(uint8_t* out, std::size_t size) override;
  std::optional<uint64_t> remaining() const override { return bytes_.size() - offset_; }
  uint64_t skip(uint64_t count) override;

 private:
  std::span<const uint8_t> bytes_;
  std::size_t offset_ = 0;
};

// The integrity trailer that ends every file written since it was added:
//
//   offset  size  field
//   0       4     tag, the four bytes "VNCK"
//   4       8     covered: how many bytes precede the trailer, unsigned 64-bit
//   12      4     CRC-32C (checksum.h) of those bytes, unsigned 32-bit
//
// little-endian like every field. Readers that predate it stop after the
// data and never look at it. A reader verifies it when it follows the data;
// a file that ends with a trailer covering more or fewer bytes than its
// header announces has a damaged header and is refused. Files without one
// (written before it existed, or cut inside it) load unverified.
inline constexpr std::size_t kTrailerSize = 16;
inline constexpr std::string_view kTrailerTag = "VNCK";

// Reads through an 8192-byte buffer. Every announced length is checked
// against what the source can still deliver before memory is taken for it,
// so a file can never make the reader allocate more than the file holds.
// Everything it delivers is checksummed on the way.
class BufferedReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  explicit BufferedReader(ByteSource& source) : source_(source) {}
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  // All of these throw IoError("failed to fill whole buffer") at a short read.
  void read_exact(uint8_t* out, std::size_t size);
  uint8_t read_u8();
  uint32_t read_u32();
  uint64_t read_u64();
  RawVector<uint8_t> read_bytes(uint64_t count);
  RawVector<float> read_f32s(uint64_t count);
  std::vector<uint64_t> read_u64s(uint64_t count);

  // Fails at once when the source is known to hold fewer than `size` bytes.
  void require(uint64_t size) const;

  // Called once every field has been read: verifies the trailer that follows
  // the data, or refuses a file whose last bytes are a trailer for another
  // length. Throws IoError for a damaged file.
  void check_trailer();
  // Makes check_trailer refuse data that has no trailer.
  void require_trailer() { trailer_required_ = true; }

 private:
  std::optional<uint64_t> remaining() const;
  // Reads up to `size` bytes (fewer only at the end); checksums them if
  // `checksummed`, and always remembers the last kTrailerSize bytes seen.
  std::size_t read_up_to(uint8_t* out, std::size_t size, bool checksummed);
  void account(const uint8_t* bytes, std::size_t size, bool checksummed);
  void skip_to_end();
  // Reads `size` bytes into a vector that grows only as data arrives.
  std::vector<uint8_t> read_growing(uint64_t size);
  template <class T>
  RawVector<T> read_array(uint64_t count);
  bool refill();

  ByteSource& source_;
  std::array<uint8_t, kBufferSize> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  uint64_t delivered_ = 0;  // bytes of the stream read so far
  bool trailer_required_ = false;
  Crc32c checksum_;
  std::array<uint8_t, kTrailerSize> last_bytes_{};
};

// Where a writer puts its bytes.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write_all(const uint8_t* data, std::size_t size) = 0;
};

class VectorSink final : public ByteSink {
 public:
  void write_all(const uint8_t* data, std::size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
  }
  std::vector<uint8_t> bytes;
};

// Fills memory of a size known in advance (file_size() below).
class SpanSink final : public ByteSink {
 public:
  explicit SpanSink(std::span<uint8_t> memory) : memory_(memory) {}
  void write_all(const uint8_t* data, std::size_t size) override;
  std::size_t used() const { return used_; }

 private:
  std::span<uint8_t> memory_;
  std::size_t used_ = 0;
};

// Writes through an 8192-byte buffer; large blocks go straight to the sink.
// Everything written is checksummed for the trailer. Call flush() at the
// end: the destructor drops what is still buffered.
class BufferedWriter {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  explicit BufferedWriter(ByteSink& sink) : sink_(sink) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  void write(const uint8_t* data, std::size_t size);
  void write_u8(uint8_t value);
  void write_u32(uint32_t value);
  void write_u64(uint64_t value);
  void write_f32s(std::span<const float> values);
  void write_u64s(std::span<const uint64_t> values);
  // The trailer for everything written so far.
  void write_trailer();
  void flush();

 private:
  void write_unchecked(const uint8_t* data, std::size_t size);

  ByteSink& sink_;
  std::array<uint8_t, kBufferSize> buffer_{};
  std::size_t used_ = 0;
  uint64_t written_ = 0;
  Crc32c checksum_;
};

// What a core section holds, as read.
struct CoreRecord {
  uint64_t bits = 0;
  Rotation rotation = Rotation::Rotor3;
  uint64_t dim = 0;
  uint64_t n = 0;
  RawVector<uint8_t> codes;
  RawVector<float> norms;
};

inline constexpr uint8_t kFormatVersion = 2;

void write_core(BufferedWriter& writer, uint64_t bits, Rotation rotation, uint64_t dim, uint64_t n,
                const CodeStore& codes, std::span<const float> norms);
// The four letters of `magic` (e.g. "VNIX"), then the format version.
void expect_magic(BufferedReader& reader, std::string_view magic);
// The same for a format read in several versions: returns the one found.
uint8_t expect_magic_version(BufferedReader& reader, std::string_view magic, uint8_t oldest, uint8_t newest);
// Refuses parameters an index could not have been built with (bits, dim,
// the Walsh power-of-two rule, dim 0) before reading codes or norms, and
// norms that no vector can have (negative, infinite, NaN).
CoreRecord read_core(BufferedReader& reader);
// Refuses stored norms (or vector lengths) that no index could hold, with
// IoError: negative, NaN, infinite, or above what add stores (about 1.8e19).
// Every reader of either layout applies it.
void check_stored_norms(std::span<const float> norms);

// The whole file contents, from or to any byte stream. The writers end with
// the trailer; the readers verify it.
void write_index_to(BufferedWriter& writer, const SkerryIndex& index);
SkerryIndex read_index_from(BufferedReader& reader);
void write_id_map_to(BufferedWriter& writer, const IdMapIndex& index);
IdMapIndex read_id_map_from(BufferedReader& reader);

// The exact size of what write_index / write_id_map produce.
uint64_t file_size(const SkerryIndex& index);
uint64_t file_size(const IdMapIndex& index);
// The file contents in memory, and an index read from them with every check
// of a file load (bytes of the mapped layout too, as load reads such a file).
// `out` must hold exactly file_size(index) bytes.
void write_index_bytes(const SkerryIndex& index, std::span<uint8_t> out);
void write_id_map_bytes(const IdMapIndex& index, std::span<uint8_t> out);
std::vector<uint8_t> index_to_bytes(const SkerryIndex& index);
SkerryIndex index_from_bytes(std::span<const uint8_t> bytes, ReadOptions options = {});
std::vector<uint8_t> id_map_to_bytes(const IdMapIndex& index);
IdMapIndex id_map_from_bytes(std::span<const uint8_t> bytes, ReadOptions options = {});

// Writes a file the way every index file is written: into a temporary file
// beside `path`, flushed and renamed into place, so a failure leaves nothing
// behind and a process that maps the old file keeps reading it.
void write_file_replacing(const std::string& path, const std::function<void(BufferedWriter&)>& write,
                          WriteOptions options = {});

// Partitioned index files ("VNIP", version 3, little-endian; docs/formats.md):
// the parameters, the centroids, then each list's codes, scales, shifts,
// vector lengths and ids, and the trailer (version 2 files, without shifts,
// are read too). The reader checks every count against
// what the source still holds before it allocates.
void write_partitioned(const PartitionedIndex& index, const std::string& path, WriteOptions options = {});
PartitionedIndex load_partitioned(const std::string& path, ReadOptions options = {});
void write_partitioned_to(BufferedWriter& writer, const PartitionedIndex& index);
PartitionedIndex read_partitioned_from(BufferedReader& reader);
uint64_t file_size(const PartitionedIndex& index);
void write_partitioned_bytes(const PartitionedIndex& index, std::span<uint8_t> out);
std::vector<uint8_t> partitioned_to_bytes(const PartitionedIndex& index);
PartitionedIndex partitioned_from_bytes(std::span<const uint8_t> bytes, ReadOptions options = {});

}  // namespace varnel

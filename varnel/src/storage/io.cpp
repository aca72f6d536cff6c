#include "storage/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "index/batch_checks.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "storage/mapped_file.h"

namespace varnel {
namespace {

constexpr std::string_view kIndexMagic = "VNIX";
constexpr std::string_view kIdMapMagic = "VNIM";
constexpr uint64_t kMaxStoredCount = std::numeric_limits<uint32_t>::max();
// Data of unknown length (a pipe) is read in steps of this size, so memory
// grows with what actually arrives rather than with what a header claims.
constexpr uint64_t kGrowthStep = uint64_t{1} << 20;

[[noreturn]] void fail_short_read() { throw IoError("failed to fill whole buffer"); }

[[noreturn]] void fail_os_error(int error_number) {
  throw IoError(std::generic_category().message(error_number) + " (os error " +
                std::to_string(error_number) + ")");
}

uint64_t multiply_or_fail(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  // No file can hold a length that does not fit 63 bits.
  if (__builtin_mul_overflow(a, b, &product) ||
      product > uint64_t(std::numeric_limits<int64_t>::max())) {
    fail_short_read();
  }
  return product;
}

uint64_t add_or_fail(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) fail_short_read();
  return sum;
}

template <class T>
T from_little_endian(T value) {
  if constexpr (std::endian::native == std::endian::little) {
    return value;
  } else {
    auto bytes = std::bit_cast<std::array<uint8_t, sizeof(T)>>(value);
    std::reverse(bytes.begin(), bytes.end());
    return std::bit_cast<T>(bytes);
  }
}

template <class T>
T to_little_endian(T value) {
  return from_little_endian(value);  // the swap is its own inverse
}

void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw IoError("file name contained an unexpected NUL byte");
  }
}

// A system call that failed with EINTR was interrupted by a signal: the
// caller may want to stop (Ctrl-C), otherwise the call is simply repeated.
void fail_unless_interrupted(int error_number) {
  if (error_number != EINTR) fail_os_error(error_number);
  check_interrupt_now();
}

// Owns one open descriptor for the length of a single call.
class File {
 public:
  static File open_for_reading(const std::string& path) {
    return File(open_retrying(path, O_RDONLY | O_CLOEXEC));
  }
  static File create_for_writing(const std::string& path) {
    return File(open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC));
  }
  // Opens without truncating: only to learn whether writing is allowed.
  static File open_existing_for_writing(const std::string& path) {
    return File(open_retrying(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  }

  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File& operator=(File&&) = delete;
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }

  int fd() const { return fd_; }

  // A failing close can be the first report of a lost write. After EINTR
  // the descriptor is gone already (Linux), so it is not closed again.
  void close() {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) fail_os_error(errno);
  }

 private:
  explicit File(int fd) : fd_(fd) {}

  static int open_retrying(const std::string& path, int flags) {
    check_path(path);
    for (;;) {
      // 0666: the process's umask takes away what the user wants kept.
      const int fd = ::open(path.c_str(), flags, 0666);
      if (fd >= 0) return fd;
      fail_unless_interrupted(errno);
    }
  }

  int fd_;
};

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string read_link(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
    if (size < 0) return "";
    if (std::size_t(size) < target.size()) {
      target.resize(std::size_t(size));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// The file a path finally names when it is a symbolic link (or a chain of
// them): writing replaces that file and leaves the links as they are.
std::string follow_links(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string target = read_link(current);
    if (target.empty()) return current;
    if (target.front() != '/') target = folder_of(current) + target;
    current = std::move(target);
  }
  return current;  // a loop of links: opening it reports the error
}

void sync_descriptor(int fd) {
  while (::fsync(fd) != 0) fail_unless_interrupted(errno);
}

// Some file systems cannot sync a folder (EINVAL); the file itself is synced.
void sync_folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd;
  while ((fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
    if (errno != EINTR) return;  // the rename is done; nothing more to make durable here
    check_interrupt_now();
  }
  int result;
  while ((result = ::fsync(fd)) != 0 && errno == EINTR) {
  }
  const int error = result != 0 ? errno : 0;
  ::close(fd);
  if (error != 0 && error != EINVAL && error != EROFS) fail_os_error(error);
}

// A new file beside `target` that is removed again unless it is renamed
// into place: a failed or interrupted write leaves nothing behind.
class TemporaryFile {
 public:
  // Check error() before use: it holds the errno of a failed creation.
  explicit TemporaryFile(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // Hidden, short enough for any file-name limit, and unpredictable: a
    // name others could guess would let them plant a link or file there
    // first. O_EXCL and O_NOFOLLOW refuse whatever is in the way anyway.
    const std::string prefix = folder + "." + target.substr(folder.size()).substr(0, 180) + ".tmp-";
    for (;;) {
      path_ = prefix + random_suffix();
      const int fd =
          ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fd_ = fd;
        return;
      }
      if (errno == EINTR) {
        check_interrupt_now();
      } else if (errno != EEXIST) {
        error_ = errno;
        path_.clear();
        return;
      }
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  int error() const { return error_; }
  int fd() const { return fd_; }

  // With `sync`, the contents reach the disk before the rename and the
  // folder's new entry after it: otherwise a power loss soon after can leave
  // an empty or missing file where the old one was.
  void rename_to(const std::string& target, bool sync) {
    if (sync) sync_descriptor(fd_);
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) fail_os_error(errno);
    if (::rename(path_.c_str(), target.c_str()) != 0) fail_os_error(errno);
    path_.clear();
    if (sync) sync_folder_of(target);
  }

 private:
  static std::string random_suffix() {
    // Straight from the operating system each time: a seeded generator
    // would repeat its names in forked children.
    std::random_device source;
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix(12, '0');
    for (char& c : suffix) c = kDigits[source() % 36];
    return suffix;
  }

  std::string path_;
  int fd_ = -1;
  int error_ = 0;
};

class FileSource final : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) fail_os_error(errno);
    if (S_ISREG(info.st_mode)) size_ = uint64_t(info.st_size);
  }

  std::size_t read_some(uint8_t* out, std::size_t size) override {
    for (;;) {
      const ssize_t got = ::read(fd_, out, size);
      if (got >= 0) {
        offset_ += uint64_t(got);
        return std::size_t(got);
      }
      fail_unless_interrupted(errno);
    }
  }

  std::optional<uint64_t> remaining() const override {
    if (!size_) return std::nullopt;
    return *size_ > offset_ ? *size_ - offset_ : 0;
  }

  uint64_t skip(uint64_t count) override {
    const std::optional<uint64_t> left = remaining();
    if (!left) return ByteSource::skip(count);
    const uint64_t step = std::min(count, *left);
    if (step > uint64_t(std::numeric_limits<off_t>::max()) ||
        ::lseek(fd_, off_t(step), SEEK_CUR) < 0) {
      return ByteSource::skip(count);
    }
    offset_ += step;
    return step;
  }

 private:
  int fd_;
  std::optional<uint64_t> size_;
  uint64_t offset_ = 0;
};

class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}

  void write_all(const uint8_t* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0) {
        fail_unless_interrupted(errno);
        continue;
      }
      if (written == 0) throw IoError("failed to write whole buffer");
      data += written;
      size -= std::size_t(written);
    }
  }

 private:
  int fd_;
};

uint8_t rotation_tag(Rotation rotation) { return uint8_t(static_cast<uint8_t>(rotation) + 2); }

Rotation rotation_from_tag(uint8_t tag) {
  if (uint8_t(tag - 2) >= 4) throw IoError("unknown rotation kind tag: " + std::to_string(tag));
  return static_cast<Rotation>(tag - 2);
}

// A stored index must satisfy everything construction demands, or later
// operations would meet parameters they were never meant to handle.
void check_buildable(uint64_t dim, uint64_t bits, Rotation rotation) {
  try {
    (void)SkerryIndex::with_options(dim, bits, rotation, 0);
  } catch (const Error& refused) {
    throw IoError(std::string("invalid index file: ") + refused.what());
  }
  if (dim == 0) throw IoError("invalid index file: dim must not be 0");
}

// Refuses, before any file exists, an index the format cannot hold exactly
// or that would be refused when loaded.
void check_writable(const SkerryIndex& index) {
  if (index.dim() == 0) throw IoError("cannot write an index of dim 0");
  if (index.dim() > kMaxStoredCount) {
    throw IoError("cannot write index: dim " + std::to_string(index.dim()) +
                  " exceeds the file format's limit of 4294967295");
  }
  if (index.len() > kMaxStoredCount) {
    throw IoError("cannot write index: " + std::to_string(index.len()) +
                  " vectors exceed the file format's limit of 4294967295");
  }
  if (index.code_store().size() != index.len() ||
      index.norms().size() != index.len()) {
    throw IoError("cannot write index: codes or norms do not match its length");
  }
}

void check_writable(const IdMapIndex& index) {
  check_writable(index.core());
  if (index.ids().size() != index.len() || index.len() != index.core().len()) {
    throw IoError("cannot write index: ids do not match its length");
  }
}

void check_finite(std::span<const float> values, const char* what) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      throw IoError("invalid index file: vector " + std::to_string(i) + " has non-finite " + what);
    }
  }
}

// A residual's scale is at most twice its length (partitioned_index.cpp),
// and the length is a norm add stores.
void check_scales(std::span<const float> scales) {
  const float largest = 2.0f * largest_stored_norm();
  for (std::size_t i = 0; i < scales.size(); ++i) {
    if (!(scales[i] >= 0.0f) || scales[i] == std::numeric_limits<float>::infinity()) {
      throw IoError("invalid index file: vector " + std::to_string(i) +
                    " has a negative or non-finite norm");
    }
    if (scales[i] > largest) {
      throw IoError("invalid index file: vector " + std::to_string(i) +
                    " has a residual scale above 3.7e19, which no added vector can have");
    }
  }
}

struct Trailer {
  bool tagged = false;  // the tag is intact
  uint64_t covered = 0;
  uint32_t checksum = 0;
};

template <class T>
T load_little_endian(const uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return from_little_endian(value);
}

Trailer parse_trailer(const std::array<uint8_t, kTrailerSize>& bytes) {
  Trailer trailer;
  trailer.tagged = std::memcmp(bytes.data(), kTrailerTag.data(), kTrailerTag.size()) == 0;
  trailer.covered = load_little_endian<uint64_t>(bytes.data() + 4);
  trailer.checksum = load_little_endian<uint32_t>(bytes.data() + 12);
  return trailer;
}

SkerryIndex build_core(CoreRecord record, uint64_t seed) {
  try {
    return SkerryIndex::from_parts(record.dim, record.bits, record.rotation, seed, record.n,
                                   std::move(record.codes), std::move(record.norms));
  } catch (const Error& refused) {
    throw IoError(std::string("invalid index file: ") + refused.what());
  }
}

template <class Write>
void write_through(File file, Write&& write_contents, bool sync) {
  FileSink sink(file.fd());
  BufferedWriter writer(sink);
  write_contents(writer);
  writer.flush();
  struct stat info {};
  if (sync && ::fstat(file.fd(), &info) == 0 && S_ISREG(info.st_mode)) sync_descriptor(file.fd());
  file.close();
}

// Writes a new file beside the target and renames it into place once it is
// complete, so the file at `path` is always either the old or the new one.
// A new file gets 0666 less the umask; an existing one keeps its mode and,
// where the process may set it, its owner. Targets that are not regular
// files (a device, a pipe) are written in place, as is an existing file in a
// folder where no new file may be created.
template <class Write>
void write_file(const std::string& path, Write&& write_contents, WriteOptions options) {
  check_path(path);
  const std::string target = follow_links(path);
  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    write_through(File::create_for_writing(target), write_contents, options.sync);
    return;
  }
  // Writing must be allowed where truncating would have been refused.
  if (exists) File::open_existing_for_writing(target).close();
  const bool names_a_file = !target.empty() && target.back() != '/';
  std::optional<TemporaryFile> temporary;
  if (names_a_file) temporary.emplace(target);
  if (!temporary || temporary->error() != 0) {
    const int error = temporary ? temporary->error() : 0;
    if (names_a_file && !(exists && (error == EACCES || error == EPERM))) fail_os_error(error);
    write_through(File::create_for_writing(target), write_contents, options.sync);
    return;
  }
  const int fd = temporary->fd();
  if (exists) {
    if ((existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
        ::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
      // Not allowed to give the file away: it stays the writer's, as a new file would.
    }
    if (::fchmod(fd, existing.st_mode & 07777) != 0) fail_os_error(errno);
  }
  FileSink sink(fd);
  BufferedWriter writer(sink);
  write_contents(writer);
  writer.flush();
  temporary->rename_to(target, options.sync);
}

template <class Read>
auto read_file(const std::string& path, Read&& read_contents, ReadOptions options) {
  File file = File::open_for_reading(path);
  FileSource source(file.fd());
  BufferedReader reader(source);
  if (options.require_checksum) reader.require_trailer();
  return read_contents(reader);
}

}  // namespace

// ---- Byte streams ----

uint64_t ByteSource::skip(uint64_t count) {
  std::array<uint8_t, 4096> scratch;
  uint64_t skipped = 0;
  while (skipped < count) {
    const std::size_t got =
        read_some(scratch.data(), std::size_t(std::min<uint64_t>(scratch.size(), count - skipped)));
    if (got == 0) break;
    skipped += got;
  }
  return skipped;
}

uint64_t MemorySource::skip(uint64_t count) {
  const uint64_t step = std::min<uint64_t>(count, bytes_.size() - offset_);
  offset_ += std::size_t(step);
  return step;
}

void SpanSink::write_all(const uint8_t* data, std::size_t size) {
  if (size > memory_.size() - used_) throw IoError("failed to write whole buffer");
  if (size > 0) std::memcpy(memory_.data() + used_, data, size);
  used_ += size;
}

std::size_t MemorySource::read_some(uint8_t* out, std::size_t size) {
  const std::size_t count = std::min(size, bytes_.size() - offset_);
  if (count > 0) std::memcpy(out, bytes_.data() + offset_, count);
  offset_ += count;
  return count;
}

bool BufferedReader::refill() {
  begin_ = 0;
  end_ = source_.read_some(buffer_.data(), kBufferSize);
  return end_ > 0;
}

void BufferedReader::account(const uint8_t* bytes, std::size_t size, bool checksummed) {
  if (size == 0) return;
  if (checksummed) checksum_.update({bytes, size});
  delivered_ += size;
  if (size >= kTrailerSize) {
    std::memcpy(last_bytes_.data(), bytes + size - kTrailerSize, kTrailerSize);
  } else {
    std::memmove(last_bytes_.data(), last_bytes_.data() + size, kTrailerSize - size);
    std::memcpy(last_bytes_.data() + kTrailerSize - size, bytes, size);
  }
}

std::size_t BufferedReader::read_up_to(uint8_t* out, std::size_t size, bool checksummed) {
  std::size_t done = 0;
  while (done < size) {
    std::size_t count = 0;
    if (begin_ == end_ && size - done >= kBufferSize) {  // large blocks bypass the buffer
      count = source_.read_some(out + done, size - done);
      if (count == 0) break;
    } else {
      if (begin_ == end_ && !refill()) break;
      count = std::min(size - done, end_ - begin_);
      std::memcpy(out + done, buffer_.data() + begin_, count);
      begin_ += count;
    }
    account(out + done, count, checksummed);
    done += count;
  }
  return done;
}

void BufferedReader::read_exact(uint8_t* out, std::size_t size) {
  if (read_up_to(out, size, /*checksummed=*/true) != size) fail_short_read();
}

uint8_t BufferedReader::read_u8() {
  uint8_t value = 0;
  read_exact(&value, 1);
  return value;
}

uint32_t BufferedReader::read_u32() {
  uint32_t value = 0;
  read_exact(reinterpret_cast<uint8_t*>(&value), sizeof value);
  return from_little_endian(value);
}

uint64_t BufferedReader::read_u64() {
  uint64_t value = 0;
  read_exact(reinterpret_cast<uint8_t*>(&value), sizeof value);
  return from_little_endian(value);
}

std::optional<uint64_t> BufferedReader::remaining() const {
  const std::optional<uint64_t> unread = source_.remaining();
  if (!unread) return std::nullopt;
  return *unread + (end_ - begin_);
}

void BufferedReader::require(uint64_t size) const {
  const std::optional<uint64_t> available = remaining();
  if (available && size > *available) fail_short_read();
}

void BufferedReader::skip_to_end() {
  // Where the size is known, only the last bytes need reading.
  const std::optional<uint64_t> left = remaining();
  if (left && *left > kTrailerSize) {
    uint64_t skip = *left - kTrailerSize;
    const std::size_t buffered = std::size_t(std::min<uint64_t>(skip, end_ - begin_));
    begin_ += buffered;
    delivered_ += buffered;
    skip -= buffered;
    if (skip > 0) delivered_ += source_.skip(skip);
  }
  std::array<uint8_t, 4096> scratch;
  while (read_up_to(scratch.data(), scratch.size(), /*checksummed=*/false) == scratch.size()) {
  }
}

void BufferedReader::check_trailer() {
  const uint64_t data_size = delivered_;
  const uint32_t data_checksum = checksum_.value();
  std::array<uint8_t, kTrailerSize> next{};
  if (read_up_to(next.data(), next.size(), /*checksummed=*/false) == next.size()) {
    const Trailer trailer = parse_trailer(next);
    // One damaged field must not make a trailer look like appended bytes,
    // so either intact field marks the bytes as a trailer.
    if (trailer.tagged || trailer.covered == data_size) {
      if (!trailer.tagged || trailer.covered != data_size) {
        throw IoError("damaged index file: corrupt checksum trailer");
      }
      if (trailer.checksum != data_checksum) throw IoError("damaged index file: checksum mismatch");
      return;  // what follows a valid trailer is ignored like any appended bytes
    }
  }
  // No trailer after the data: either a file without one, or a header that
  // announces less (or more, reaching into the trailer) than was written.
  skip_to_end();
  if (delivered_ >= kTrailerSize) {
    const Trailer last = parse_trailer(last_bytes_);
    if (last.tagged && last.covered == delivered_ - kTrailerSize && last.covered != data_size) {
      throw IoError("damaged index file: the header does not match the file's length");
    }
  }
  if (trailer_required_) {
    throw IoError(
        "unverifiable index file: it has no checksum trailer (written before checksums existed, "
        "or cut short) and a checksum is required");
  }
}

std::vector<uint8_t> BufferedReader::read_growing(uint64_t size) {
  std::vector<uint8_t> bytes;
  while (bytes.size() < size) {
    const std::size_t start = bytes.size();
    const std::size_t step = std::size_t(std::min(kGrowthStep, size - start));
    bytes.resize(start + step);
    read_exact(bytes.data() + start, step);
  }
  return bytes;
}

RawVector<uint8_t> BufferedReader::read_bytes(uint64_t count) { return read_array<uint8_t>(count); }

template <class T>
RawVector<T> BufferedReader::read_array(uint64_t count) {
  const uint64_t size = multiply_or_fail(count, sizeof(T));
  require(size);
  RawVector<T> values;
  if (remaining()) {
    values.resize(count);  // bounded by what the source holds
    read_exact(reinterpret_cast<uint8_t*>(values.data()), size);
  } else {
    const std::vector<uint8_t> raw = read_growing(size);
    values.resize(count);
    if (size > 0) std::memcpy(values.data(), raw.data(), size);
  }
  if constexpr (sizeof(T) > 1) {
    for (T& value : values) value = from_little_endian(value);
  }
  return values;
}

RawVector<float> BufferedReader::read_f32s(uint64_t count) { return read_array<float>(count); }

std::vector<uint64_t> BufferedReader::read_u64s(uint64_t count) {
  const RawVector<uint64_t> values = read_array<uint64_t>(count);
  return std::vector<uint64_t>(values.begin(), values.end());
}

namespace {

template <class T>
void write_array(BufferedWriter& writer, std::span<const T> values) {
  if constexpr (std::endian::native == std::endian::little) {
    writer.write(reinterpret_cast<const uint8_t*>(values.data()), values.size_bytes());
  } else {
    for (T value : values) {
      const T stored = to_little_endian(value);
      writer.write(reinterpret_cast<const uint8_t*>(&stored), sizeof stored);
    }
  }
}

}  // namespace

void BufferedWriter::write(const uint8_t* data, std::size_t size) {
  if (size > 0) checksum_.update({data, size});
  written_ += size;
  write_unchecked(data, size);
}

void BufferedWriter::write_trailer() {
  std::array<uint8_t, kTrailerSize> trailer{};
  std::memcpy(trailer.data(), kTrailerTag.data(), kTrailerTag.size());
  const uint64_t covered = to_little_endian(written_);
  const uint32_t checksum = to_little_endian(checksum_.value());
  std::memcpy(trailer.data() + 4, &covered, sizeof covered);
  std::memcpy(trailer.data() + 12, &checksum, sizeof checksum);
  write_unchecked(trailer.data(), trailer.size());
}

void BufferedWriter::write_unchecked(const uint8_t* data, std::size_t size) {
  if (size > kBufferSize - used_) {
    flush();
    if (size >= kBufferSize) {
      sink_.write_all(data, size);
      return;
    }
  }
  if (size > 0) std::memcpy(buffer_.data() + used_, data, size);
  used_ += size;
}

void BufferedWriter::write_u8(uint8_t value) { write(&value, 1); }

void BufferedWriter::write_u32(uint32_t value) {
  const uint32_t stored = to_little_endian(value);
  write(reinterpret_cast<const uint8_t*>(&stored), sizeof stored);
}

void BufferedWriter::write_u64(uint64_t value) {
  const uint64_t stored = to_little_endian(value);
  write(reinterpret_cast<const uint8_t*>(&stored), sizeof stored);
}

void BufferedWriter::write_f32s(std::span<const float> values) { write_array(*this, values); }

void BufferedWriter::write_u64s(std::span<const uint64_t> values) { write_array(*this, values); }

void BufferedWriter::flush() {
  const std::size_t size = std::exchange(used_, 0);
  if (size > 0) sink_.write_all(buffer_.data(), size);
}

// ---- Sections ----

namespace {

// The storage rows of the first n vectors, produced from the blocked store a
// slice at a time, so writing never holds a second copy of the codes. A
// slice is sized by the vectors there are and by bytes, not by a fixed row
// count: an empty index of a large dim (a row of megabytes) would otherwise
// take a gigabyte to write nothing.
void write_code_rows(BufferedWriter& writer, const CodeStore& codes, uint64_t n) {
  constexpr uint64_t kMaxRowsPerSlice = 1024;
  constexpr uint64_t kSliceBytes = uint64_t{1} << 20;
  const uint64_t row = codes.row_bytes();
  if (n == 0 || row == 0) return;
  const uint64_t rows_per_slice = std::clamp<uint64_t>(kSliceBytes / row, 1, std::min(kMaxRowsPerSlice, n));
  std::vector<uint8_t> slice(rows_per_slice * row);
  for (uint64_t first = 0; first < n; first += rows_per_slice) {
    const uint64_t count = std::min(rows_per_slice, n - first);
    codes.read_rows(first, count, std::span<uint8_t>(slice.data(), count * row));
    writer.write(slice.data(), count * row);
  }
}

}  // namespace

void write_core(BufferedWriter& writer, uint64_t bits, Rotation rotation, uint64_t dim, uint64_t n,
                const CodeStore& codes, std::span<const float> norms) {
  writer.write_u8(uint8_t(bits));
  writer.write_u8(rotation_tag(rotation));
  writer.write_u32(uint32_t(dim));
  writer.write_u32(uint32_t(n));
  write_code_rows(writer, codes, n);
  writer.write_f32s(norms);
}

// The version that follows the magic, which must lie in [oldest, newest].
uint8_t expect_magic_version(BufferedReader& reader, std::string_view magic, uint8_t oldest, uint8_t newest) {
  std::array<uint8_t, 4> found{};
  reader.read_exact(found.data(), found.size());
  if (magic.size() != found.size() || std::memcmp(found.data(), magic.data(), found.size()) != 0) {
    throw IoError("not a " + std::string(magic) + " file: wrong magic");
  }
  const uint8_t version = reader.read_u8();
  if (version < oldest || version > newest) {
    throw IoError("unsupported " + std::string(magic) + " version: " + std::to_string(version));
  }
  return version;
}

void expect_magic(BufferedReader& reader, std::string_view magic) {
  expect_magic_version(reader, magic, kFormatVersion, kFormatVersion);
}

// Encoding never produces these, and a search would rank such a vector first
// (infinite) or report NaN scores. `add` refuses vectors whose squared norm
// overflows float32, so no norm it stores exceeds the square root of the
// largest float; a file may not either.
void check_stored_norms(std::span<const float> norms) {
  const float largest = largest_stored_norm();
  // One pass of integer compares, which vectorises (opening a mapped file
  // runs it over every norm); the loop below only names the first bad one.
  // Non-negative floats order as their bits do, and every negative value,
  // NaN and infinity has bits above the limit's, except -0, a zero.
  const uint32_t limit = std::bit_cast<uint32_t>(largest);
  uint32_t bad = 0;
  for (const float norm : norms) {
    const uint32_t bits = std::bit_cast<uint32_t>(norm);
    bad |= uint32_t(bits > limit) & uint32_t(bits != 0x80000000u);
  }
  if (bad == 0) return;
  for (std::size_t i = 0; i < norms.size(); ++i) {
    if (!(norms[i] >= 0.0f) || norms[i] == std::numeric_limits<float>::infinity()) {
      throw IoError("invalid index file: vector " + std::to_string(i) +
                    " has a negative or non-finite norm");
    }
    if (norms[i] > largest) {
      throw IoError("invalid index file: vector " + std::to_string(i) +
                    " has a norm above 1.8e19, which no added vector can have");
    }
  }
}

CoreRecord read_core(BufferedReader& reader) {
  CoreRecord record;
  record.bits = reader.read_u8();
  const uint8_t tag = reader.read_u8();
  record.dim = reader.read_u32();
  record.n = reader.read_u32();
  record.rotation = rotation_from_tag(tag);
  check_buildable(record.dim, record.bits, record.rotation);
  const uint64_t code_bytes = multiply_or_fail(record.dim / 8 * record.bits, record.n);
  const uint64_t norm_bytes = multiply_or_fail(record.n, sizeof(float));
  reader.require(add_or_fail(code_bytes, norm_bytes));
  record.codes = reader.read_bytes(code_bytes);
  record.norms = reader.read_f32s(record.n);
  check_stored_norms(record.norms);
  return record;
}

// ---- Whole files ----

void write_index_to(BufferedWriter& writer, const SkerryIndex& index) {
  check_writable(index);
  writer.write(reinterpret_cast<const uint8_t*>(kIndexMagic.data()), kIndexMagic.size());
  writer.write_u8(kFormatVersion);
  write_core(writer, index.bits(), index.rotation(), index.dim(), index.len(), index.code_store(),
             index.norms());
  writer.write_u64(index.seed());
  writer.write_trailer();
}

SkerryIndex read_index_from(BufferedReader& reader) {
  expect_magic(reader, kIndexMagic);
  CoreRecord record = read_core(reader);
  const uint64_t seed = reader.read_u64();
  SkerryIndex index = build_core(std::move(record), seed);
  reader.check_trailer();
  return index;
}

void write_id_map_to(BufferedWriter& writer, const IdMapIndex& index) {
  check_writable(index);
  const SkerryIndex& core = index.core();
  writer.write(reinterpret_cast<const uint8_t*>(kIdMapMagic.data()), kIdMapMagic.size());
  writer.write_u8(kFormatVersion);
  write_core(writer, core.bits(), core.rotation(), core.dim(), core.len(), core.code_store(),
             core.norms());
  writer.write_u64(core.seed());
  writer.write_u64s(index.ids());
  writer.write_trailer();
}

IdMapIndex read_id_map_from(BufferedReader& reader) {
  expect_magic(reader, kIdMapMagic);
  CoreRecord record = read_core(reader);
  const uint64_t seed = reader.read_u64();
  std::vector<uint64_t> ids = reader.read_u64s(record.n);
  SkerryIndex core = build_core(std::move(record), seed);
  std::optional<IdMapIndex> index;
  try {
    index.emplace(IdMapIndex::from_parts(std::move(core), std::move(ids)));
  } catch (const Error& refused) {
    throw IoError(refused.what());  // "duplicate ids in .vnim file"
  }
  reader.check_trailer();
  return std::move(*index);
}

uint64_t file_size(const SkerryIndex& index) {
  // magic, version, bits, tag, dim, n, codes, norms, seed, trailer
  return 4 + 1 + 1 + 1 + 4 + 4 + index.len() * index.row_bytes() + 4 * index.norms().size() + 8 +
         kTrailerSize;
}

uint64_t file_size(const IdMapIndex& index) { return file_size(index.core()) + 8 * index.ids().size(); }

namespace {

template <class Index, class Write>
void write_bytes(const Index& index, std::span<uint8_t> out, Write&& write_to) {
  check_writable(index);
  if (out.size() != file_size(index)) throw IoError("cannot write index: wrong buffer size");
  SpanSink sink(out);
  BufferedWriter writer(sink);
  write_to(writer, index);
  writer.flush();
}

template <class Index, class Write>
std::vector<uint8_t> to_bytes(const Index& index, Write&& write_to) {
  check_writable(index);
  std::vector<uint8_t> bytes(file_size(index));
  write_bytes(index, bytes, write_to);
  return bytes;
}

template <class Read>
auto from_bytes(std::span<const uint8_t> bytes, Read&& read_from, ReadOptions options) {
  MemorySource source(bytes);
  BufferedReader reader(source);
  if (options.require_checksum) reader.require_trailer();
  return read_from(reader);
}

}  // namespace

void write_index_bytes(const SkerryIndex& index, std::span<uint8_t> out) {
  write_bytes(index, out, write_index_to);
}
void write_id_map_bytes(const IdMapIndex& index, std::span<uint8_t> out) {
  write_bytes(index, out, write_id_map_to);
}
std::vector<uint8_t> index_to_bytes(const SkerryIndex& index) { return to_bytes(index, write_index_to); }
namespace {

// Bytes of the mapped layout, read like load reads such a file: verified,
// into memory of the index's own. The mapped reader works in place and needs
// 64-byte aligned memory, so the bytes are copied there first.
template <class Read>
auto from_mapped_bytes(std::span<const uint8_t> bytes, Read&& read) {
  const std::align_val_t alignment{kMappedAlignment};
  std::shared_ptr<uint8_t> memory(static_cast<uint8_t*>(::operator new(bytes.size(), alignment)),
                                  [alignment](uint8_t* p) { ::operator delete(p, alignment); });
  std::memcpy(memory.get(), bytes.data(), bytes.size());
  return read(std::span<const uint8_t>(memory.get(), bytes.size()), memory, /*verify=*/true).owned_copy();
}

}  // namespace

SkerryIndex index_from_bytes(std::span<const uint8_t> bytes, ReadOptions options) {
  if (is_mapped_layout(bytes)) return from_mapped_bytes(bytes, read_mapped_index);
  return from_bytes(bytes, read_index_from, options);
}
std::vector<uint8_t> id_map_to_bytes(const IdMapIndex& index) { return to_bytes(index, write_id_map_to); }
IdMapIndex id_map_from_bytes(std::span<const uint8_t> bytes, ReadOptions options) {
  if (is_mapped_layout(bytes)) return from_mapped_bytes(bytes, read_mapped_id_map);
  return from_bytes(bytes, read_id_map_from, options);
}

void write_index(const SkerryIndex& index, const std::string& path, WriteOptions options) {
  check_path(path);
  check_writable(index);
  write_file(path, [&](BufferedWriter& writer) { write_index_to(writer, index); }, options);
}

SkerryIndex load_index(const std::string& path, ReadOptions options) {
  // A file of the mapped layout loads too, verified, into memory of its own.
  if (file_is_mapped_layout(path)) return open_mapped_index(path, /*verify=*/true).owned_copy();
  return read_file(path, [](BufferedReader& reader) { return read_index_from(reader); }, options);
}

void write_id_map(const IdMapIndex& index, const std::string& path, WriteOptions options) {
  check_path(path);
  check_writable(index);
  write_file(path, [&](BufferedWriter& writer) { write_id_map_to(writer, index); }, options);
}

IdMapIndex load_id_map(const std::string& path, ReadOptions options) {
  if (file_is_mapped_layout(path)) return open_mapped_id_map(path, /*verify=*/true).owned_copy();
  return read_file(path, [](BufferedReader& reader) { return read_id_map_from(reader); }, options);
}

void write_file_replacing(const std::string& path, const std::function<void(BufferedWriter&)>& write,
                          WriteOptions options) {
  check_path(path);
  write_file(path, write, options);
}

// ---- Partitioned index files ----

namespace {

constexpr std::string_view kPartitionedMagic = "VNIP";
// Version 3 added the residual shifts; version 2 files hold none (all zero),
// which scores their vectors exactly as they were scored when written.
constexpr uint8_t kPartitionedVersion = 3;
constexpr uint8_t kPartitionedVersionWithoutShifts = 2;

void check_writable(const PartitionedIndex& index) {
  if (index.dim() > kMaxStoredCount || index.lists() > kMaxStoredCount) {
    throw IoError("cannot write index: dim or lists exceed the file format's limit of 4294967295");
  }
  for (const PartitionedIndex::List& list : index.list_data()) {
    if (list.ids.size() > kMaxStoredCount) {
      throw IoError("cannot write index: a list exceeds the file format's limit of 4294967295 vectors");
    }
  }
}

}  // namespace

void write_partitioned_to(BufferedWriter& writer, const PartitionedIndex& index) {
  check_writable(index);
  writer.write(reinterpret_cast<const uint8_t*>(kPartitionedMagic.data()), kPartitionedMagic.size());
  writer.write_u8(kPartitionedVersion);
  writer.write_u8(uint8_t(index.bits()));
  writer.write_u8(rotation_tag(index.rotation()));
  writer.write_u32(uint32_t(index.input_dim()));
  writer.write_u32(uint32_t(index.lists()));
  writer.write_u64(index.seed());
  writer.write_u8(index.is_trained() ? 1 : 0);
  if (index.is_trained()) writer.write_f32s(index.centroids());
  for (const PartitionedIndex::List& list : index.list_data()) {
    const uint64_t n = list.ids.size();
    writer.write_u32(uint32_t(n));
    write_code_rows(writer, list.codes, n);
    writer.write_f32s(list.norms);
    writer.write_f32s(list.shifts);
    writer.write_f32s(list.lengths);
    writer.write_u64s(list.ids);
  }
  writer.write_trailer();
}

PartitionedIndex read_partitioned_from(BufferedReader& reader) {
  const uint8_t version =
      expect_magic_version(reader, kPartitionedMagic, kPartitionedVersionWithoutShifts, kPartitionedVersion);
  const bool has_shifts = version >= kPartitionedVersion;
  const uint64_t bits = reader.read_u8();
  const Rotation rotation = rotation_from_tag(reader.read_u8());
  const uint64_t dim = reader.read_u32();
  const uint64_t lists = reader.read_u32();
  const uint64_t seed = reader.read_u64();
  const uint8_t trained = reader.read_u8();
  // The header holds the caller's dim; centroids and codes are in the coded one.
  const uint64_t coded_dim = PartitionedIndex::coded_dim_for(dim);
  check_buildable(coded_dim, bits, rotation);
  if (lists == 0 || lists > PartitionedIndex::kMaxLists) {
    throw IoError("invalid index file: lists must be between 1 and " +
                  std::to_string(PartitionedIndex::kMaxLists) + ", got " + std::to_string(lists));
  }
  if (trained > 1) throw IoError("invalid index file: bad trained flag " + std::to_string(trained));
  // Every list takes at least its count field: a list count larger than the
  // file could hold is refused before anything is allocated for it.
  reader.require(multiply_or_fail(lists, 4));
  std::vector<float> centroids;
  if (trained) {
    const uint64_t values = multiply_or_fail(lists, coded_dim);
    reader.require(multiply_or_fail(values, sizeof(float)));
    const RawVector<float> stored = reader.read_f32s(values);
    centroids.assign(stored.begin(), stored.end());
  }
  const uint64_t row_bytes = coded_dim / 8 * bits;
  const uint64_t per_vector = row_bytes + 4 + (has_shifts ? 4 : 0) + 4 + 8;
  std::vector<PartitionedIndex::List> data;
  for (uint64_t l = 0; l < lists; ++l) {
    poll_interrupt();
    const uint64_t n = reader.read_u32();
    reader.require(multiply_or_fail(n, per_vector));
    PartitionedIndex::List list;
    const RawVector<uint8_t> rows = reader.read_bytes(multiply_or_fail(n, row_bytes));
    list.codes = CodeStore::from_rows(coded_dim, bits, n, rows);
    list.norms = reader.read_f32s(n);
    list.shifts = has_shifts ? StoredArray<float>(reader.read_f32s(n)) : StoredArray<float>(RawVector<float>(n, 0.0f));
    list.lengths = reader.read_f32s(n);
    list.ids = reader.read_u64s(n);
    check_scales(list.norms);
    check_stored_norms(list.lengths);
    check_finite(list.shifts, "shifts");
    data.push_back(std::move(list));
  }
  std::optional<PartitionedIndex> index;
  try {
    index.emplace(PartitionedIndex::from_parts(dim, bits, lists, rotation, seed, std::move(centroids),
                                               std::move(data)));
  } catch (const Error& refused) {
    throw IoError(std::string("invalid index file: ") + refused.what());
  }
  reader.check_trailer();
  return std::move(*index);
}

uint64_t file_size(const PartitionedIndex& index) {
  // magic, version, bits, tag, dim, lists, seed, trained, centroids, lists, trailer
  uint64_t size = 4 + 1 + 1 + 1 + 4 + 4 + 8 + 1 + 4 * index.centroids().size() + kTrailerSize;
  const uint64_t row_bytes = index.dim() / 8 * index.bits();
  for (const PartitionedIndex::List& list : index.list_data()) {
    size += 4 + list.ids.size() * (row_bytes + 4 + 4 + 4 + 8);
  }
  return size;
}

void write_partitioned_bytes(const PartitionedIndex& index, std::span<uint8_t> out) {
  check_writable(index);
  if (out.size() != file_size(index)) throw IoError("cannot write index: wrong buffer size");
  SpanSink sink(out);
  BufferedWriter writer(sink);
  write_partitioned_to(writer, index);
  writer.flush();
}
std::vector<uint8_t> partitioned_to_bytes(const PartitionedIndex& index) {
  check_writable(index);
  std::vector<uint8_t> bytes(file_size(index));
  write_partitioned_bytes(index, bytes);
  return bytes;
}
PartitionedIndex partitioned_from_bytes(std::span<const uint8_t> bytes, ReadOptions options) {
  if (is_mapped_layout(bytes)) return from_mapped_bytes(bytes, read_mapped_partitioned);
  return from_bytes(bytes, read_partitioned_from, options);
}

void write_partitioned(const PartitionedIndex& index, const std::string& path, WriteOptions options) {
  check_path(path);
  check_writable(index);
  write_file(path, [&](BufferedWriter& writer) { write_partitioned_to(writer, index); }, options);
}

PartitionedIndex load_partitioned(const std::string& path, ReadOptions options) {
  if (file_is_mapped_layout(path)) return open_mapped_partitioned(path, /*verify=*/true).owned_copy();
  return read_file(path, [](BufferedReader& reader) { return read_partitioned_from(reader); }, options);
}

}  // namespace varnel

#include "runtime/file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "runtime/error.h"
#include "runtime/interrupt.h"

namespace varnel {
namespace {

[[noreturn]] void fail_os_error(int error_number) {
  throw IoError(std::generic_category().message(error_number) + " (os error " +
                std::to_string(error_number) + ")");
}

// Closes the descriptor on every path: the mapping does not need it.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { ::close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

int open_read_only(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw IoError("file name contained an unexpected NUL byte");
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) fail_os_error(errno);
    check_interrupt_now();
  }
}

}  // namespace

std::shared_ptr<const FileMapping> FileMapping::open(const std::string& path) {
  const Descriptor file(open_read_only(path));
  struct stat info {};
  if (::fstat(file.fd(), &info) != 0) fail_os_error(errno);
  if (!S_ISREG(info.st_mode)) throw IoError("cannot map " + path + ": not a regular file");
  if (info.st_size <= 0) throw IoError("failed to fill whole buffer");
  const auto size = static_cast<std::size_t>(info.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd(), 0);
  if (data == MAP_FAILED) fail_os_error(errno);
  return std::shared_ptr<const FileMapping>(new FileMapping(static_cast<const uint8_t*>(data), size));
}

FileMapping::~FileMapping() { ::munmap(const_cast<uint8_t*>(data_), size_); }

}  // namespace varnel

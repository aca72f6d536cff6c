#pragma once
// A whole file mapped read-only and shared: every process that maps the same
// file reads the same page-cache pages, so N workers hold one copy.
//
// The mapping covers exactly the size the file had when it was opened. If
// another process later truncates the file in place, reading a page past
// its new end raises SIGBUS, as it does for every program that maps files;
// replacing the file by rename (as varnel's writers do) is safe, since the
// mapping keeps the old file alive until it is unmapped.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace varnel {

class FileMapping {
 public:
  // Throws IoError if the file cannot be opened or mapped, is not a regular
  // file, or is empty.
  static std::shared_ptr<const FileMapping> open(const std::string& path);

  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping();

  std::span<const uint8_t> bytes() const { return {data_, size_}; }

 private:
  FileMapping(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  const uint8_t* data_;
  std::size_t size_;
};

}  // namespace varnel

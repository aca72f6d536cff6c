#pragma once
// Makes a mutated mapped-layout file pass its checksums again (header
// checksum, announced size, trailer), so that mutations reach the checks
// behind them instead of stopping at the first checksum.
#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/checksum.h"
#include "storage/io.h"
#include "storage/mapped_file.h"

namespace varnel::fuzzing {

inline std::vector<uint8_t> resealed(std::vector<uint8_t> bytes) {
  if (bytes.size() < kMappedHeaderSize + kTrailerSize || !is_mapped_layout(bytes)) return bytes;
  const uint64_t size = bytes.size();
  std::memcpy(&bytes[32], &size, 8);
  uint32_t sections = 0;
  std::memcpy(&sections, &bytes[12], 4);
  const uint64_t table_end = kMappedHeaderSize + kMappedSectionEntrySize * uint64_t(sections);
  if (sections <= kMaxSections && table_end <= size - kTrailerSize) {
    Crc32c header;
    header.update({bytes.data(), 40});
    header.update({bytes.data() + kMappedHeaderSize, table_end - kMappedHeaderSize});
    const uint32_t value = header.value();
    std::memcpy(&bytes[40], &value, 4);
  }
  uint8_t* trailer = bytes.data() + size - kTrailerSize;
  const uint64_t covered = size - kTrailerSize;
  const uint32_t checksum = crc32c({bytes.data(), covered});
  std::memcpy(trailer, kTrailerTag.data(), 4);
  std::memcpy(trailer + 4, &covered, 8);
  std::memcpy(trailer + 12, &checksum, 4);
  return bytes;
}

// Mapped files are used in place and must start on a 64-byte boundary; a
// fuzzer's buffer need not.
struct AlignedCopy {
  explicit AlignedCopy(const std::vector<uint8_t>& bytes)
      : storage((bytes.size() + 64 + 7) / 8), size(bytes.size()) {
    if (!bytes.empty()) std::memcpy(data(), bytes.data(), bytes.size());
  }
  uint8_t* data() {
    const auto address = reinterpret_cast<uintptr_t>(storage.data());
    return reinterpret_cast<uint8_t*>(storage.data()) + (64 - address % 64) % 64;
  }
  std::span<const uint8_t> span() { return {data(), size}; }

  std::vector<uint64_t> storage;
  std::size_t size;
};

}  // namespace varnel::fuzzing

#pragma once
// The mapped layout of index files: the arrays exactly as a search reads
// them (codes blocked in scan order, norms, ids), each at an offset that is a
// multiple of 64, so that a read-only mapping of the file is used in place.
// Opening one costs a few checks, not a read: the pages come in as searches
// touch them, and processes that map the same file share them.
//
//   offset  size  field (little-endian)
//   0       4     magic "VMAP" (several bits from "VNIX" and "VNIM": no single
//                 flipped bit turns a row-layout file into this layout)
//   4       1     version, 1
//   5       1     kind: 1 SkerryIndex, 2 IdMapIndex, 3 PartitionedIndex
//   6       1     bits
//   7       1     rotation tag (as in the row layout)
//   8       4     dim
//   12      4     section count S (at most kMaxSections; 4 per list + 1 for kind 3)
//   16      8     n, the vector count
//   24      8     seed
//   32      8     file size, the trailer included
//   40      4     CRC-32C of bytes 0..40 followed by the section table
//   44      8     list count of a partitioned index, else zero
//   52      12    zero
//   64      32*S  section table, one entry per section:
//                   0 tag (4 bytes), 4 group (u32), 8 offset, 16 size, 24 count
//   ...           the sections, each at its offset, zero bytes between them
//   end-16  16    the trailer of every index file (io.h): CRC-32C of all before
//
// Sections: "CODE" the blocked codes (code_store.h: blocks_for(n) blocks,
// lanes past n zero), "NORM" n float32 norms, and for an IdMapIndex "IDS_"
// the n ids by position and "LOOK" n (id, position) pairs of uint64 sorted
// by id, so that lookups need no table built per process. `group` is 0; a
// partitioned index stores one CODE/NORM/IDS_ triple per list, its group
// being the list number, plus "LENS" the lengths of its vectors (cosine and
// L2 scores) and, in group 0, "CENT" its lists * dim float32 centroids
// (count 0 while untrained). A partitioned index maps its codes, norms and
// lengths; its ids are copied at open and its id table is built there.
//
// Opening checks the header, its checksum, every section's bounds and size,
// the lanes past n and every norm, all without reading codes or ids. The
// checksum of the whole file is compared only with verify = true (it reads
// every page). A file whose size differs from its header's is refused, so
// nothing past the end is ever touched.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "index/id_map.h"
#include "index/partitioned_index.h"
#include "index/skerry_index.h"
#include "storage/io.h"

namespace varnel {

inline constexpr uint64_t kMappedHeaderSize = 64;
inline constexpr uint64_t kMappedSectionEntrySize = 32;
inline constexpr uint64_t kMappedAlignment = 64;
inline constexpr uint64_t kMaxSections = 1024;
inline constexpr uint8_t kMappedVersion = 1;
// Partitioned indexes with residual shifts (SHFT sections) are written as
// version 2, which readers that know no shifts refuse; their version 1
// files (no shifts) are still read.
inline constexpr uint8_t kMappedPartitionedVersion = 2;

enum class MappedKind : uint8_t { Skerry = 1, IdMap = 2, Partitioned = 3 };

// Whether bytes (at least the first four of a file) start a mapped-layout file.
bool is_mapped_layout(std::span<const uint8_t> first_bytes);
bool file_is_mapped_layout(const std::string& path);

// Written like the row-layout files: to a temporary file renamed into place,
// so an index mapped from the old file keeps working.
void write_mapped_index(const SkerryIndex& index, const std::string& path, WriteOptions options = {});
void write_mapped_id_map(const IdMapIndex& index, const std::string& path, WriteOptions options = {});
std::vector<uint8_t> mapped_index_bytes(const SkerryIndex& index);
std::vector<uint8_t> mapped_id_map_bytes(const IdMapIndex& index);
void write_mapped_partitioned(const PartitionedIndex& index, const std::string& path, WriteOptions options = {});
std::vector<uint8_t> mapped_partitioned_bytes(const PartitionedIndex& index);

// Maps `path` read-only and returns an index that searches from the mapping
// (is_mapped(), read-only). Throws IoError for any file that is not a valid
// mapped-layout file of that kind.
SkerryIndex open_mapped_index(const std::string& path, bool verify);
IdMapIndex open_mapped_id_map(const std::string& path, bool verify);
PartitionedIndex open_mapped_partitioned(const std::string& path, bool verify);

// The same from memory that `keep_alive` keeps valid; `bytes` must start at
// an address that is a multiple of kMappedAlignment.
SkerryIndex read_mapped_index(std::span<const uint8_t> bytes, std::shared_ptr<const void> keep_alive,
                              bool verify);
IdMapIndex read_mapped_id_map(std::span<const uint8_t> bytes, std::shared_ptr<const void> keep_alive,
                              bool verify);
PartitionedIndex read_mapped_partitioned(std::span<const uint8_t> bytes, std::shared_ptr<const void> keep_alive,
                                         bool verify);

}  // namespace varnel

#pragma once
// The index's codes, held once, in the blocked layout that the scans read:
// blocks of 32 vectors, each block row_bytes byte-columns of 32 bytes, byte v
// of every column belonging to the vector in lane v (pack.h describes the
// lane bytes of each bit width). The bit-plane storage rows that files hold
// are produced on demand; nothing keeps a second copy.
//
// Lanes past the last vector of the last block are kept zero, so every
// block is a whole, deterministic input for a kernel.
#include <cstdint>
#include <span>

#include "quantize/pack.h"
#include "runtime/memory.h"

namespace varnel {

class CodeStore {
 public:
  static constexpr uint64_t kLanes = 32;

  CodeStore() = default;
  CodeStore(uint64_t dim, uint64_t bits) : dim_(dim), bits_(bits) {}
  // A store of n vectors from n storage rows back to back.
  static CodeStore from_rows(uint64_t dim, uint64_t bits, uint64_t n, std::span<const uint8_t> rows);

  uint64_t size() const { return n_; }
  uint64_t dim() const { return dim_; }
  uint64_t bits() const { return bits_; }
  // Bytes per vector: one storage row, and the byte-columns of a block.
  uint64_t row_bytes() const { return dim_ / 8 * bits_; }
  uint64_t block_bytes() const { return row_bytes() * kLanes; }
  uint64_t n_blocks() const { return blocked_.n_blocks; }
  // The blocked bytes with their block count (for 4 bits, the layout the
  // 4-bit scan reads).
  const BlockedCache& blocked() const { return blocked_; }
  const uint8_t* block(uint64_t b) const { return blocked_.bytes.data() + b * block_bytes(); }

  // Grows or shrinks to n vectors. Lanes that become vectors are not yet
  // written (write_rows fills them); lanes past n are zero.
  void resize(uint64_t n);
  // Room for n vectors without reallocating; the vectors held so far.
  void reserve(uint64_t n) { blocked_.bytes.reserve(blocks_for(n) * block_bytes()); }
  uint64_t capacity() const { return blocked_.bytes.capacity() / block_bytes() * kLanes; }
  // Writes rows.size() / row_bytes storage rows as vectors first, first+1, ...
  // (all below size()). Calls on disjoint vectors may run at once.
  void write_rows(uint64_t first, std::span<const uint8_t> rows);
  // The storage rows of vectors [first, first + count) into out.
  void read_rows(uint64_t first, uint64_t count, std::span<uint8_t> out) const;
  // All storage rows, produced.
  RawVector<uint8_t> rows() const;
  // The dim codes of one vector.
  void decode(uint64_t position, uint8_t* codes) const;
  // Copies vector `from` over vector `to`.
  void copy_vector(uint64_t from, uint64_t to);

 private:
  void clear_lanes_from(uint64_t position);
  uint8_t* lane(uint64_t position) {
    return blocked_.bytes.data() + position / kLanes * block_bytes() + position % kLanes;
  }
  const uint8_t* lane(uint64_t position) const {
    return blocked_.bytes.data() + position / kLanes * block_bytes() + position % kLanes;
  }

  BlockedCache blocked_;
  uint64_t n_ = 0;
  uint64_t dim_ = 0;
  uint64_t bits_ = 0;
};

}  // namespace varnel

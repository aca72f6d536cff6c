#pragma once
// The index's codes, held once, in the blocked layout that the scans read:
// blocks of 32 vectors, each block row_bytes byte-columns of 32 bytes, byte v
// of every column belonging to the vector in lane v (pack.h describes the
// lane bytes of each bit width). The bit-plane storage rows that files hold
// are produced on demand; nothing keeps a second copy.
//
// Lanes past the last vector of the last block are kept zero, so every
// block is a whole, deterministic input for a kernel.
//
// A store with a compact tail (with_compact_tail) keeps the vectors past its
// whole blocks without those zero lanes: byte-column c of the tail is its m
// vectors' bytes back to back (m = n % 32), so the store holds exactly
// n * row_bytes bytes. Lists of a few hundred vectors spend a sixteenth of
// their codes on the padding otherwise. Its n_blocks() and blocked() cover
// the whole blocks only; tail_block() gives the rest as a whole block.
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
  static CodeStore with_compact_tail(uint64_t dim, uint64_t bits);
  // The same vectors with a compact tail (owned).
  CodeStore compacted() const;
  bool has_compact_tail() const { return compact_tail_; }
  // Vectors past the whole blocks that a compact tail holds (0 without one).
  uint64_t tail_size() const { return compact_tail_ ? n_ % kLanes : 0; }
  // The compact tail as a whole block: block_bytes() bytes to `out`, lanes
  // past the last vector zero, as a padded store holds its last block.
  void tail_block(uint8_t* out) const;
  // A store of n vectors from n storage rows back to back.
  static CodeStore from_rows(uint64_t dim, uint64_t bits, uint64_t n, std::span<const uint8_t> rows);
  // A store of n vectors read in place from blocked bytes (a file mapping):
  // exactly blocks_for(n) * block_bytes() of them, the lanes past n zero.
  // Throws Error if they are not. The store is then read-only.
  static CodeStore mapped(uint64_t dim, uint64_t bits, uint64_t n, StoredArray<uint8_t> blocked);
  bool is_mapped() const { return blocked_.bytes.is_mapped(); }
  // The same store with its bytes owned (copied out of a mapping).
  CodeStore owned_copy() const;

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
  // Where one vector's bytes lie, in whole blocks and a compact tail alike:
  // its byte-column c at first + c * stride.
  struct VectorBytes {
    const uint8_t* first;
    uint64_t stride;
  };
  VectorBytes vector_bytes(uint64_t position) const { return {lane(position), column_stride(position)}; }

  // Grows or shrinks to n vectors. Lanes that become vectors are not yet
  // written (write_rows fills them); lanes past n are zero.
  void resize(uint64_t n);
  // Room for n vectors without reallocating; the vectors held so far.
  void reserve(uint64_t n) { blocked_.bytes.reserve(bytes_for(n)); }
  uint64_t capacity() const {
    if (row_bytes() == 0) return 0;
    return compact_tail_ ? blocked_.bytes.capacity() / row_bytes() : blocked_.bytes.capacity() / block_bytes() * kLanes;
  }
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
  void resize_compact(uint64_t n);
  uint64_t bytes_for(uint64_t n) const {
    return compact_tail_ ? n * row_bytes() : blocks_for(n) * block_bytes();
  }
  // Bytes between a vector's consecutive byte-columns.
  uint64_t column_stride(uint64_t position) const {
    return position < n_ / kLanes * kLanes ? kLanes : (compact_tail_ ? n_ % kLanes : kLanes);
  }
  // A compact tail starts where its block would, so a vector's first byte
  // lies where it would in a padded store.
  uint8_t* lane(uint64_t position) {
    return blocked_.bytes.data() + position / kLanes * block_bytes() + position % kLanes;
  }
  const uint8_t* lane(uint64_t position) const {
    return blocked_.bytes.data() + position / kLanes * block_bytes() + position % kLanes;
  }
  // The lane bytes of vectors [first, last) into out, vector after vector.
  void gather_lanes(uint64_t first, uint64_t last, uint8_t* out) const;
  void scatter_lanes(uint64_t first, uint64_t last, const uint8_t* in);

  BlockedCache blocked_;
  uint64_t n_ = 0;
  uint64_t dim_ = 0;
  uint64_t bits_ = 0;
  bool compact_tail_ = false;
};

}  // namespace varnel

#pragma once
// SkerryIndex: the position-addressed quantized index and its lazy caches.
#include <cstdint>
#include <span>
#include <vector>

#include "quantize/code_store.h"
#include "quantize/codebook.h"
#include "quantize/pack.h"
#include "quantize/rotor.h"
#include "runtime/error.h"
#include "runtime/once_cell.h"
#include "search/search.h"

namespace varnel {

class SkerryIndex {
 public:
  static constexpr uint64_t kDefaultSeed = 117900524;  // 0x070704EC

  // Checks bits, then dim, then the WalshRotor3 power-of-two rule; throws
  // varnel::Error with the message of the first failing check.
  static SkerryIndex with_options(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed);
  static SkerryIndex create(uint64_t dim, uint64_t bits, Rotation rotation) {
    return with_options(dim, bits, rotation, kDefaultSeed);
  }
  // Rebuilds an index from stored state (used by file loading). The caller
  // guarantees codes.size() == n * row_bytes and norms.size() == n.
  static SkerryIndex from_parts(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed,
                                uint64_t n, RawVector<uint8_t> codes, RawVector<float> norms);
  // An index that reads its codes (blocked, code_store.h) and norms in place,
  // typically from a file mapping. It searches like any other but is
  // read-only: add and swap_remove throw ArgumentError(kMappedReadOnly).
  // Throws Error if the parts do not fit together.
  static SkerryIndex from_mapped(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed,
                                 uint64_t n, StoredArray<uint8_t> blocked, StoredArray<float> norms);
  bool is_mapped() const { return store_.is_mapped() || norms_.is_mapped(); }
  // The same index with everything in owned memory (writable).
  SkerryIndex owned_copy() const;

  void add(std::span<const float> vectors);
  // Moves the last vector into `idx`; returns its previous position.
  uint64_t swap_remove(uint64_t idx);
  uint64_t len() const { return n_; }
  void prepare() const;
  SearchResults search(std::span<const float> queries, uint64_t k) const;

  uint64_t dim() const { return dim_; }
  uint64_t bits() const { return bits_; }
  Rotation rotation() const { return rotation_; }
  uint64_t seed() const { return seed_; }
  uint64_t row_bytes() const { return dim_ / 8 * bits_; }
  // The storage rows of all vectors (bits planes of dim/8 bytes each, back to
  // back), produced from the blocked store: a copy, n * row_bytes bytes.
  RawVector<uint8_t> codes() const { return store_.rows(); }
  // The codes as held: blocked, 32 vectors per block (code_store.h).
  const CodeStore& code_store() const { return store_; }
  const StoredArray<float>& norms() const { return norms_; }

  // Cache accessors: each builds its cache on first use.
  const BlockRotations& block_rotations() const;
  const std::vector<float>& centroids() const;
  std::span<const float> sign_vector() const;  // empty unless WalshRotor3
  // The 4-bit blocked layout: for 4 bits the store itself, always current.
  const BlockedCache& blocked_codes() const;
  // Whether a 4-bit blocked layout holds vectors (for tests).
  bool has_blocked_codes() const { return bits_ == 4 && n_ > 0; }

 private:
  SkerryIndex(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed)
      : store_(dim, bits), dim_(dim), bits_(bits), seed_(seed), rotation_(rotation) {}
  const Codebook& full_codebook() const;

  CodeStore store_;
  StoredArray<float> norms_;
  uint64_t dim_ = 0;
  uint64_t bits_ = 0;
  uint64_t n_ = 0;
  uint64_t seed_ = 0;
  OnceCell<BlockRotations> rotations_;
  OnceCell<Codebook> codebook_;  // depends only on (bits, dim): computed once per index
  OnceCell<std::vector<float>> signs_;
  Rotation rotation_ = Rotation::Rotor3;
};

}  // namespace varnel

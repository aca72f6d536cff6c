#pragma once
// SkerryIndex: the position-addressed quantized index and its lazy caches.
#include <cstdint>
#include <span>
#include <vector>

#include "codebook.h"
#include "error.h"
#include "once_cell.h"
#include "pack.h"
#include "rotor.h"
#include "search.h"

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
  const RawVector<uint8_t>& codes() const { return codes_; }
  const RawVector<float>& norms() const { return norms_; }

  // Cache accessors: each builds its cache on first use.
  const BlockRotations& block_rotations() const;
  const std::vector<float>& centroids() const;
  std::span<const float> sign_vector() const;  // empty unless WalshRotor3
  const BlockedCache& blocked_codes() const;
  // Whether the blocked-code cache is currently built (for tests).
  bool has_blocked_codes() const { return blocked_.get() != nullptr; }

 private:
  SkerryIndex(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed)
      : dim_(dim), bits_(bits), seed_(seed), rotation_(rotation) {}
  const Codebook& full_codebook() const;

  RawVector<uint8_t> codes_;
  RawVector<float> norms_;
  uint64_t dim_ = 0;
  uint64_t bits_ = 0;
  uint64_t n_ = 0;
  uint64_t seed_ = 0;
  OnceCell<BlockRotations> rotations_;
  OnceCell<Codebook> codebook_;  // depends only on (bits, dim): computed once per index
  OnceCell<std::vector<float>> signs_;
  OnceCell<BlockedCache> blocked_;
  Rotation rotation_ = Rotation::Rotor3;
};

}  // namespace varnel

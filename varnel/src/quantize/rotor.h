#pragma once
// Seeded random source (ChaCha8 keyed by PCG32), the ziggurat Gaussian draw
// and the per-block rotation matrices built from them.
#include <array>
#include <cstdint>
#include <vector>

namespace varnel {

// Rotation kinds, numbered as stored in index files (tag = number + 2).
enum class Rotation : uint8_t { Planar2 = 0, Rotor3 = 1, Iso4 = 2, WalshRotor3 = 3 };

constexpr uint64_t block_size(Rotation rotation) {
  switch (rotation) {
    case Rotation::Planar2: return 2;
    case Rotation::Rotor3: return 3;
    case Rotation::Iso4: return 4;
    case Rotation::WalshRotor3: return 3;
  }
  return 3;
}

constexpr bool uses_sign_vector(Rotation rotation) { return rotation == Rotation::WalshRotor3; }

// Canonical lower-case name: "planar2", "rotor3", "iso4", "walshrotor3".
const char* rotation_name(Rotation rotation);

class SeededStream {
 public:
  explicit SeededStream(uint64_t seed);

  uint32_t next32();
  uint64_t next64();
  float uniform_f32();   // (w >> 8) * 2^-24, in [0, 1)
  float sign();          // +1 when bit 31 of the word is set, else -1
  double uniform_f64();  // (w >> 11) * 2^-53, in [0, 1)
  double open_f64();     // in (0, 1), never 0

  uint64_t counter() const { return counter_; }
  unsigned cursor() const { return cursor_; }
  const std::array<uint32_t, 8>& key() const { return key_; }

 private:
  void refill();

  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;
  uint64_t stream_ = 0;
  std::array<uint32_t, 64> buffer_{};
  unsigned cursor_ = 64;
};

// The double in [-1, 1) built from the upper 52 bits of a word.
double symmetric_f64(uint64_t word);

// The conversions behind SeededStream's draws, as functions of the word.
float uniform_f32_from(uint32_t word);   // (w >> 8) * 2^-24, in [0, 1)
float sign_from(uint32_t word);          // +1 when bit 31 is set, else -1
double uniform_f64_from(uint64_t word);  // (w >> 11) * 2^-53, in [0, 1)
double open_f64_from(uint64_t word);     // in [2^-53, 1 - 2^-53]

// Standard normal draw (256-layer ziggurat), rounded once to float32.
float gauss(SeededStream& stream);

// Ziggurat layer tables, correctly rounded (see tools/gen_ziggurat.py).
extern const double kZigguratX[257];
extern const double kZigguratF[257];

struct BlockRotations {
  std::vector<float> matrices;  // n_blocks row-major b*b matrices, block 0 first
  uint64_t n_blocks = 0;
  uint64_t padded_dim = 0;      // n_blocks * b: length of a working row
};

BlockRotations precompute_block_matrices(uint64_t dim, Rotation rotation, uint64_t seed);

}  // namespace varnel

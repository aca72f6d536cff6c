#include "quantize/rotor.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "runtime/error.h"

namespace varnel {

const char* rotation_name(Rotation rotation) {
  switch (rotation) {
    case Rotation::Planar2: return "planar2";
    case Rotation::Rotor3: return "rotor3";
    case Rotation::Iso4: return "iso4";
    case Rotation::WalshRotor3: return "walshrotor3";
  }
  return "unknown";
}

// ---------------------------------------------------------------------------
// Key expansion: eight outputs of PCG32 (XSH RR), state advanced before each.

namespace {

constexpr uint64_t kPcgMultiplier = 0x5851F42D4C957F2DULL;
constexpr uint64_t kPcgIncrement = 0xA17654E46FBE17F3ULL;

uint32_t pcg32_output(uint64_t state) {
  const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
  const auto rot = static_cast<int>(state >> 59);
  return std::rotr(xorshifted, rot);
}

std::array<uint32_t, 8> expand_key(uint64_t seed) {
  std::array<uint32_t, 8> key{};
  uint64_t state = seed;
  for (auto& word : key) {
    state = state * kPcgMultiplier + kPcgIncrement;
    word = pcg32_output(state);
  }
  return key;
}

// ---------------------------------------------------------------------------
// ChaCha with 8 rounds, original layout (64-bit block number in words 12-13,
// 64-bit stream in words 14-15). Four consecutive blocks run side by side:
// each state word is a four-lane vector holding that word of every block
// (GCC/Clang vector extension; plain scalar code where there is no SIMD).

constexpr int kLanes = 4;
constexpr int kDoubleRounds = 4;
using Lanes = uint32_t __attribute__((vector_size(16)));

template <int kShift>
inline Lanes rotl_lanes(Lanes v) {
  return (v << kShift) | (v >> (32 - kShift));
}

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  a += b;
  d = rotl_lanes<16>(d ^ a);
  c += d;
  b = rotl_lanes<12>(b ^ c);
  a += b;
  d = rotl_lanes<8>(d ^ a);
  c += d;
  b = rotl_lanes<7>(b ^ c);
}

// Writes blocks first_block .. first_block+3 into out[0..64).
void chacha8_four_blocks(const std::array<uint32_t, 8>& key, uint64_t first_block,
                         uint64_t stream, std::array<uint32_t, 64>& out) {
  Lanes input[16];
  const uint32_t constants[4] = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};
  for (int w = 0; w < 4; ++w) input[w] = Lanes{} + constants[w];
  for (int w = 0; w < 8; ++w) input[4 + w] = Lanes{} + key[w];
  for (int l = 0; l < kLanes; ++l) {
    const uint64_t block = first_block + static_cast<uint64_t>(l);
    input[12][l] = static_cast<uint32_t>(block);
    input[13][l] = static_cast<uint32_t>(block >> 32);
  }
  input[14] = Lanes{} + static_cast<uint32_t>(stream);
  input[15] = Lanes{} + static_cast<uint32_t>(stream >> 32);

  Lanes x[16];
  for (int w = 0; w < 16; ++w) x[w] = input[w];
  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }

  for (int w = 0; w < 16; ++w) {
    const Lanes word = x[w] + input[w];
    for (int l = 0; l < kLanes; ++l) out[16 * l + w] = word[l];
  }
}

double double_from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }

}  // namespace

// ---------------------------------------------------------------------------
// SeededStream

SeededStream::SeededStream(uint64_t seed) : key_(expand_key(seed)) {}

void SeededStream::refill() {
  chacha8_four_blocks(key_, counter_, stream_, buffer_);
  counter_ += kLanes;
}

uint32_t SeededStream::next32() {
  if (cursor_ >= 64) {
    refill();
    cursor_ = 0;
  }
  return buffer_[cursor_++];
}

uint64_t SeededStream::next64() {
  if (cursor_ < 63) {
    const uint64_t low = buffer_[cursor_];
    const uint64_t high = buffer_[cursor_ + 1];
    cursor_ += 2;
    return low | (high << 32);
  }
  if (cursor_ == 63) {
    // The word straddles two refills: low half from the old buffer.
    const uint64_t low = buffer_[63];
    refill();
    const uint64_t high = buffer_[0];
    cursor_ = 1;
    return low | (high << 32);
  }
  refill();
  cursor_ = 2;
  return static_cast<uint64_t>(buffer_[0]) | (static_cast<uint64_t>(buffer_[1]) << 32);
}

float uniform_f32_from(uint32_t word) {
  // 24 bits fit a float exactly, and so does their product with 2^-24.
  return static_cast<float>(word >> 8) * 0x1p-24f;
}

float sign_from(uint32_t word) { return (word & 0x80000000u) != 0 ? 1.0f : -1.0f; }

double uniform_f64_from(uint64_t word) { return static_cast<double>(word >> 11) * 0x1p-53; }

double open_f64_from(uint64_t word) {
  const double one_to_two = double_from_bits(0x3FF0000000000000ULL | (word >> 12));
  return one_to_two - double_from_bits(0x3FEFFFFFFFFFFFFFULL);  // minus (1 - 2^-53)
}

double symmetric_f64(uint64_t word) {
  return double_from_bits(0x4000000000000000ULL | (word >> 12)) - 3.0;
}

float SeededStream::uniform_f32() { return uniform_f32_from(next32()); }
float SeededStream::sign() { return sign_from(next32()); }
double SeededStream::uniform_f64() { return uniform_f64_from(next64()); }
double SeededStream::open_f64() { return open_f64_from(next64()); }

// ---------------------------------------------------------------------------
// Ziggurat normal draw

namespace {

constexpr double kZigguratR = 0x1.d3bb48209ad33p+1;  // 3.6541528853610088

// A draw from beyond the base layer's edge r, with the sign of `u`.
double gauss_tail(SeededStream& stream, double u) {
  for (;;) {
    const double a = stream.open_f64();
    const double b = stream.open_f64();
    const double t = std::log(a) / kZigguratR;
    const double y = std::log(b);
    if (!(-2.0 * y < t * t)) return u < 0.0 ? t - kZigguratR : kZigguratR - t;
  }
}

}  // namespace

float gauss(SeededStream& stream) {
  for (;;) {
    const uint64_t word = stream.next64();
    const auto layer = static_cast<size_t>(word & 0xFF);
    const double u = symmetric_f64(word);
    const double x = u * kZigguratX[layer];
    if (std::fabs(x) < kZigguratX[layer + 1]) return static_cast<float>(x);
    if (layer == 0) return static_cast<float>(gauss_tail(stream, u));

    const double f_inner = kZigguratF[layer + 1];
    const double f_outer = kZigguratF[layer];
    const double height = f_inner + (f_outer - f_inner) * stream.uniform_f64();
    if (height < std::exp((x * x) * -0.5)) return static_cast<float>(x);
  }
}

// ---------------------------------------------------------------------------
// Block matrices

namespace {

constexpr float kTwoPi = 6.2831855f;  // 0x40C90FDB
constexpr float kMinQuaternionNorm = 1e-30f;

struct Quaternion {
  float q0, q1, q2, q3;
};

Quaternion random_unit_quaternion(SeededStream& stream) {
  const float g0 = gauss(stream);
  const float g1 = gauss(stream);
  const float g2 = gauss(stream);
  const float g3 = gauss(stream);
  float m = std::sqrt(((g0 * g0 + g1 * g1) + g2 * g2) + g3 * g3);
  if (m < kMinQuaternionNorm) m = kMinQuaternionNorm;
  return {g0 / m, g1 / m, g2 / m, g3 / m};
}

void fill_planar2(SeededStream& stream, float* m) {
  const float theta = stream.uniform_f32() * kTwoPi;
  // Double precision then one rounding gives the correctly rounded float
  // sine and cosine, which sinf/cosf do not guarantee.
  const auto s = static_cast<float>(std::sin(static_cast<double>(theta)));
  const auto c = static_cast<float>(std::cos(static_cast<double>(theta)));
  m[0] = c;
  m[1] = -s;
  m[2] = s;
  m[3] = c;
}

void fill_rotor3(SeededStream& stream, float* m) {
  const auto [q0, q1, q2, q3] = random_unit_quaternion(stream);
  const float s0 = q0 * q0, s1 = q1 * q1, s2 = q2 * q2, s3 = q3 * q3;
  const float p01 = q0 * q1, p02 = q0 * q2, p03 = q0 * q3;
  const float p12 = q1 * q2, p13 = q1 * q3, p23 = q2 * q3;
  m[0] = ((s0 + s3) - s1) - s2;
  m[1] = 2.0f * (p01 - p23);
  m[2] = 2.0f * (p02 + p13);
  m[3] = -2.0f * (p01 + p23);
  m[4] = ((s0 + s2) - s1) - s3;
  m[5] = 2.0f * (p03 - p12);
  m[6] = 2.0f * (p13 - p02);
  m[7] = -2.0f * (p12 + p03);
  m[8] = ((s0 + s1) - s2) - s3;
}

void fill_iso4(SeededStream& stream, float* m) {
  const auto [q0, q1, q2, q3] = random_unit_quaternion(stream);
  const float rows[16] = {q0, -q1, -q2, -q3,  //
                          q1, q0,  -q3, q2,   //
                          q2, q3,  q0,  -q1,  //
                          q3, -q2, q1,  q0};
  std::memcpy(m, rows, sizeof rows);
}

void fill_identity(uint64_t b, float* m) {
  for (uint64_t i = 0; i < b; ++i) m[i * b + i] = 1.0f;
}

}  // namespace

BlockRotations precompute_block_matrices(uint64_t dim, Rotation rotation, uint64_t seed) {
  if (static_cast<uint8_t>(rotation) > static_cast<uint8_t>(Rotation::WalshRotor3)) {
    throw Error("unknown rotation kind");
  }
  const uint64_t b = block_size(rotation);
  BlockRotations result;
  result.n_blocks = dim / b + (dim % b != 0 ? 1 : 0);
  result.padded_dim = result.n_blocks * b;
  result.matrices.assign(result.n_blocks * b * b, 0.0f);

  SeededStream stream(seed);
  const bool last_is_identity = dim % b != 0;
  for (uint64_t k = 0; k < result.n_blocks; ++k) {
    float* m = result.matrices.data() + k * b * b;
    if (last_is_identity && k + 1 == result.n_blocks) {
      // Holds the last dim % b coordinates and the padding: passes them through.
      fill_identity(b, m);
      continue;
    }
    switch (rotation) {
      case Rotation::Planar2: fill_planar2(stream, m); break;
      case Rotation::Rotor3:
      case Rotation::WalshRotor3: fill_rotor3(stream, m); break;
      case Rotation::Iso4: fill_iso4(stream, m); break;
    }
  }
  return result;
}

}  // namespace varnel

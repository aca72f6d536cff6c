#include "index/id_hash.h"

#include <random>

namespace varnel {
namespace {

struct HashKey {
  uint64_t first;
  uint64_t second;
};

// From the operating system's random source. There is no fixed fallback:
// callers could predict it.
HashKey draw_key() {
  std::random_device source;
  auto draw64 = [&] { return (uint64_t{source()} << 32) ^ source(); };
  return HashKey{draw64(), draw64()};
}

const HashKey& process_key() {
  static const HashKey key = draw_key();
  return key;
}

// A bijective 64-bit finaliser: every input bit reaches every output bit.
uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

}  // namespace

std::size_t IdHash::operator()(uint64_t id) const noexcept {
  const HashKey& key = process_key();
  return static_cast<std::size_t>(mix(mix(id ^ key.first) + key.second));
}

}  // namespace varnel

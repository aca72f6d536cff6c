#include "storage/checksum.h"

#include "runtime/cpu.h"
#include <array>
#include <atomic>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace varnel {
namespace {

constexpr uint32_t kReflectedPolynomial = 0x82F63B78;

// tables[k][b]: the CRC of byte b followed by k zero bytes (slicing by 8).
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables tables{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? kReflectedPolynomial : 0);
    tables[0][byte] = crc;
  }
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (uint32_t byte = 0; byte < 256; ++byte) {
      const uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr Tables kTables = make_tables();

uint32_t update_portable(uint32_t crc, const uint8_t* data, std::size_t size) {
  for (; size >= 8; data += 8, size -= 8) {
    // Bytes in stream order, whatever the machine's byte order.
    const uint32_t low = crc ^ (uint32_t(data[0]) | uint32_t(data[1]) << 8 |
                                uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24);
    crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
          kTables[4][low >> 24] ^ kTables[3][data[4]] ^ kTables[2][data[5]] ^ kTables[1][data[6]] ^
          kTables[0][data[7]];
  }
  for (; size > 0; ++data, --size) crc = (crc >> 8) ^ kTables[0][(crc ^ *data) & 0xFF];
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2,crc32"))) uint32_t update_sse42(uint32_t crc, const uint8_t* data,
                                                         std::size_t size) {
  uint64_t wide = crc;
  for (; size >= 8; data += 8, size -= 8) {
    uint64_t word;
    std::memcpy(&word, data, sizeof word);
    wide = _mm_crc32_u64(wide, word);
  }
  uint32_t narrow = uint32_t(wide);
  for (; size > 0; ++data, --size) narrow = _mm_crc32_u8(narrow, *data);
  return narrow;
}

bool cpu_has_sse42() { return cpu_features().sse42; }
#else
bool cpu_has_sse42() { return false; }
#endif

std::atomic<bool> forced_portable{false};

}  // namespace

bool crc32c_uses_hardware() {
  static const bool has_sse42 = cpu_has_sse42();
  return has_sse42 && !forced_portable.load(std::memory_order_relaxed);
}

void force_crc32c_portable(bool portable) {
  forced_portable.store(portable, std::memory_order_relaxed);
}

void Crc32c::update(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
#if defined(__x86_64__)
  if (crc32c_uses_hardware()) {
    state_ = update_sse42(state_, bytes.data(), bytes.size());
    return;
  }
#endif
  state_ = update_portable(state_, bytes.data(), bytes.size());
}

}  // namespace varnel

#pragma once
// CRC-32C (Castagnoli polynomial 0x1EDC6F41, reflected, initial value and
// final xor 0xFFFFFFFF): the checksum of index files. "123456789" gives
// 0xE3069283. x86-64 CPUs with SSE4.2 compute it with their crc32
// instruction; elsewhere a table-driven loop gives the same values.
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnel {

class Crc32c {
 public:
  void update(std::span<const uint8_t> bytes);
  uint32_t value() const { return ~state_; }

 private:
  uint32_t state_ = ~uint32_t{0};
};

inline uint32_t crc32c(std::span<const uint8_t> bytes) {
  Crc32c crc;
  crc.update(bytes);
  return crc.value();
}

// Whether update() uses the crc32 instruction; tests can turn it off to
// compare the table-driven loop with it.
bool crc32c_uses_hardware();
void force_crc32c_portable(bool portable);

}  // namespace varnel

#include "runtime/cpu.h"

#include "runtime/once_cell.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace varnel {

namespace {

#if defined(__x86_64__)
struct CpuidRegisters {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidRegisters cpuid(uint32_t leaf, uint32_t subleaf) {
  CpuidRegisters r;
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}

// The register state the operating system saves on a context switch: a CPU
// flag alone is not enough, a kernel that does not save the ZMM registers
// makes AVX-512 unusable.
uint64_t enabled_register_state() {
  uint32_t low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (uint64_t{high} << 32) | low;
}

bool bit(uint32_t word, int index) { return (word >> index) & 1u; }

void read_x86(CpuFeatures& f) {
  const CpuidRegisters leaf0 = cpuid(0, 0);
  char vendor[13] = {};
  std::memcpy(vendor, &leaf0.ebx, 4);
  std::memcpy(vendor + 4, &leaf0.edx, 4);
  std::memcpy(vendor + 8, &leaf0.ecx, 4);
  f.vendor = vendor;
  if (leaf0.eax < 1) return;

  const CpuidRegisters leaf1 = cpuid(1, 0);
  const uint32_t base_family = (leaf1.eax >> 8) & 0xf, base_model = (leaf1.eax >> 4) & 0xf;
  f.family = base_family == 0xf ? base_family + ((leaf1.eax >> 20) & 0xff) : base_family;
  f.model = base_family == 0x6 || base_family == 0xf ? base_model | (((leaf1.eax >> 16) & 0xf) << 4)
                                                     : base_model;
  f.sse42 = bit(leaf1.ecx, 20);
  const bool fma = bit(leaf1.ecx, 12), osxsave = bit(leaf1.ecx, 27), avx = bit(leaf1.ecx, 28);
  if (!osxsave || !avx || leaf0.eax < 7) return;

  const uint64_t state = enabled_register_state();
  const bool ymm_saved = (state & 0x6) == 0x6;
  const bool zmm_saved = (state & 0xe6) == 0xe6;
  const CpuidRegisters leaf7 = cpuid(7, 0);
  f.avx2 = ymm_saved && fma && bit(leaf7.ebx, 5);
  if (!zmm_saved || !f.avx2) return;
  f.avx512f = bit(leaf7.ebx, 16);
  if (!f.avx512f) return;
  f.avx512dq = bit(leaf7.ebx, 17);
  f.avx512bw = bit(leaf7.ebx, 30);
  f.avx512vl = bit(leaf7.ebx, 31);
  f.avx512vbmi = f.avx512bw && bit(leaf7.ecx, 1);
  f.avx512vnni = f.avx512bw && bit(leaf7.ecx, 11);
}
#endif

CpuFeatures read_features() {
  CpuFeatures f;
#if defined(__x86_64__)
  read_x86(f);
#endif
#if defined(__aarch64__)
#if defined(__linux__) && defined(AT_HWCAP)
  constexpr unsigned long kHwcapAsimd = 1ul << 1;
  f.neon = (getauxval(AT_HWCAP) & kHwcapAsimd) != 0;
#else
  f.neon = true;  // Advanced SIMD is part of every AArch64 core
#endif
#endif
  return f;
}

bool is_supported(ScanPath path) {
  const CpuFeatures& f = cpu_features();
  switch (path) {
    case ScanPath::Portable:
      return true;
#if defined(__x86_64__)
    case ScanPath::Avx2:
      return f.avx2;
    case ScanPath::Avx512:
      return f.avx2 && f.avx512f && f.avx512bw;
    case ScanPath::Avx512Vbmi:
      return f.avx2 && f.avx512bw && f.avx512vbmi;
#endif
#if defined(__aarch64__)
    case ScanPath::Neon:
      return f.neon;
#endif
    default:
      return false;
  }
}

constexpr ScanPath kAllPaths[] = {ScanPath::Portable, ScanPath::Avx2, ScanPath::Avx512,
                                  ScanPath::Avx512Vbmi, ScanPath::Neon};
constexpr int kNoForcedPath = -1;

std::atomic<int> forced_path{kNoForcedPath};
std::atomic<ScanPathCalibration> calibration{nullptr};

// Once-cells rather than function-local statics: the first choice times the
// kernels for a few milliseconds, and a child forked meanwhile would wait for
// ever on a static's guard held by a thread it does not have.
constinit OnceCell<CpuFeatures> features_cell;
constinit OnceCell<ScanPath> fastest_cell;
constinit OnceCell<ScanPath> default_cell;

ScanPath default_scan_path() {
  return default_cell.get_or_init([] { return preferred_scan_path(std::getenv("VARNEL_SCAN_PATH")); });
}

}  // namespace

const CpuFeatures& cpu_features() {
  return features_cell.get_or_init([] { return read_features(); });
}

std::vector<ScanPath> supported_scan_paths() {
  std::vector<ScanPath> paths;
  for (ScanPath path : kAllPaths) {
    if (is_supported(path)) paths.push_back(path);
  }
  return paths;
}

const char* scan_path_name(ScanPath path) {
  switch (path) {
    case ScanPath::Portable:
      return "portable";
    case ScanPath::Avx2:
      return "avx2";
    case ScanPath::Avx512:
      return "avx512";
    case ScanPath::Avx512Vbmi:
      return "avx512vbmi";
    case ScanPath::Neon:
      return "neon";
  }
  return "unknown";
}

bool is_scan_path_name(const char* name) {
  for (ScanPath path : kAllPaths) {
    if (name != nullptr && std::strcmp(name, scan_path_name(path)) == 0) return true;
  }
  return false;
}

ScanPath preferred_scan_path(const char* requested) {
  if (requested != nullptr) {
    for (ScanPath path : kAllPaths) {
      if (std::strcmp(requested, scan_path_name(path)) == 0 && is_supported(path)) return path;
    }
  }
  return fastest_scan_path();
}

void register_scan_path_calibration(ScanPathCalibration timing) { calibration.store(timing); }

ScanPath fastest_scan_path() {
  return fastest_cell.get_or_init([] {
    const std::vector<ScanPath> supported = supported_scan_paths();
    const ScanPathCalibration timing = calibration.load();
    if (timing == nullptr || supported.size() == 1) return supported.back();
    const ScanPath timed = timing(supported);
    return is_supported(timed) ? timed : supported.back();
  });
}

ScanPath active_scan_path() {
  const int forced = forced_path.load(std::memory_order_relaxed);
  return forced == kNoForcedPath ? default_scan_path() : static_cast<ScanPath>(forced);
}

bool force_scan_path(ScanPath path) {
  if (!is_supported(path)) return false;
  forced_path.store(static_cast<int>(path), std::memory_order_relaxed);
  return true;
}

void reset_scan_path() { forced_path.store(kNoForcedPath, std::memory_order_relaxed); }

}  // namespace varnel

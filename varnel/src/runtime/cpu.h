#pragma once
// What the CPU can run, and the one choice of instruction-set path every
// kernel follows. The features are read from the CPU itself (cpuid and the
// operating system's register-state mask on x86, the auxiliary vector on Arm)
// rather than through a compiler runtime, so every build, whatever compiler
// and runtime library it links, sees the same machine.
#include <cstdint>
#include <string>
#include <vector>

namespace varnel {

struct CpuFeatures {
  bool sse42 = false;
  bool avx2 = false;  // with FMA, and the OS saving the AVX registers
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512dq = false;
  bool avx512vbmi = false;  // all AVX-512 flags also require the OS to save the opmask/ZMM state
  bool neon = false;
  std::string vendor;  // "GenuineIntel", "AuthenticAMD", ... (empty off x86)
  uint32_t family = 0;  // x86 display family and model, 0 elsewhere
  uint32_t model = 0;
};

// Read once; later calls return the same object.
const CpuFeatures& cpu_features();

// The instruction-set path of the scans and the encoder. The best path the CPU
// supports is chosen on first use; VARNEL_SCAN_PATH=portable|avx2|avx512|
// avx512vbmi|neon forces one (if supported).
enum class ScanPath { Portable, Avx2, Avx512, Avx512Vbmi, Neon };
// In increasing order of preference; Portable is always first.
std::vector<ScanPath> supported_scan_paths();
ScanPath active_scan_path();
// Forces a path for later calls (tests); returns false if it is unsupported.
bool force_scan_path(ScanPath path);
// Returns to the path chosen on first use.
void reset_scan_path();
const char* scan_path_name(ScanPath path);
// Whether `name` names a path at all (supported here or not).
bool is_scan_path_name(const char* name);
// The path chosen on first use when VARNEL_SCAN_PATH holds `requested`
// (nullptr when unset): that path if it is a supported name, else the best.
ScanPath preferred_scan_path(const char* requested);

}  // namespace varnel

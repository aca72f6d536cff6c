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
  bool avx512vnni = false;
  bool avx512vbmi = false;  // all AVX-512 flags also require the OS to save the opmask/ZMM state
  bool neon = false;
  std::string vendor;  // "GenuineIntel", "AuthenticAMD", ... (empty off x86)
  uint32_t family = 0;  // x86 display family and model, 0 elsewhere
  uint32_t model = 0;
};

// Read once; later calls return the same object.
const CpuFeatures& cpu_features();

// The instruction-set path of the scans and the encoder. The fastest path the
// CPU supports is chosen on first use (see fastest_scan_path);
// VARNEL_SCAN_PATH=portable|avx2|avx512|avx512vbmi|neon forces one (if
// supported).
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
// (nullptr when unset): that path if it is a supported name, else the
// fastest.
ScanPath preferred_scan_path(const char* requested);

// The newest flag is not always the fastest kernel (on one CPU the AVX-512
// BW kernel outruns the VBMI one, on another the reverse), and every path
// gives the same results, so the search layer, which owns the kernels,
// registers a timing of them. It receives the supported paths and returns
// the fastest; it must not call active_scan_path (it runs inside the first
// choice). Unregistered, or for a path it cannot run, the newest is used.
using ScanPathCalibration = ScanPath (*)(const std::vector<ScanPath>& supported);
void register_scan_path_calibration(ScanPathCalibration calibration);
// The path preferred without VARNEL_SCAN_PATH: the calibration's choice,
// timed once per process, else the last supported path.
ScanPath fastest_scan_path();

}  // namespace varnel

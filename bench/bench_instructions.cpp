// Throughput of the AVX2 instructions the kernels are built from, on this
// CPU: eight independent chains of one instruction, timed in a loop. The
// kernels' choices (byte shuffles instead of float permutes, no widening
// loads, counters kept in registers) follow from these figures; cores differ
// a lot here (AMD Zen 1 runs a 256-bit float permute once per four cycles,
// a 256-bit byte shuffle once per cycle).
//
//   ./build/<dir>/bench_instructions [GHz]
//
// Prints cycles per instruction at the given clock (default: measured with a
// chain of dependent integer adds, one per cycle on every x86-64 core).
#include <ctime>
#include <cstdio>
#include <cstdlib>

#if defined(__x86_64__)

namespace {

constexpr long kIterations = 20'000'000;

// CPU time of this thread: time the thread spends waiting for the core on
// a shared machine does not count.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

template <class Loop>
double seconds_of(Loop loop) {
  const double start = thread_seconds();
  loop();
  return thread_seconds() - start;
}

double measured_ghz() {
  const double seconds = seconds_of([] {
    long x = 0;
    for (long i = 0; i < kIterations * 4; ++i) {
      asm volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
    }
  });
  return 16.0 * kIterations / seconds / 1e9;
}

#define CHAINS(op)                                                                        \
  op(0) "\n" op(1) "\n" op(2) "\n" op(3) "\n" op(4) "\n" op(5) "\n" op(6) "\n" op(7) "\n"
#define CLOBBERS "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8"
#define MEASURE(name, op)                                                                 \
  report(name, seconds_of([] {                                                            \
           for (long n = 0; n < kIterations; ++n) asm volatile(CHAINS(op)::: CLOBBERS); \
         }))

// Four chains of one instruction and four of another: whether they share
// an execution port.
#define MIXED(a, b) a(0) "\n" a(1) "\n" a(2) "\n" a(3) "\n" b(4) "\n" b(5) "\n" b(6) "\n" b(7) "\n"
#define MEASURE_MIXED(name, a, b)                                                                \
  report(name, seconds_of([] {                                                                   \
           for (long n = 0; n < kIterations; ++n) asm volatile(MIXED(a, b)::: CLOBBERS);         \
         }))

#define VPSHUFB(i) "vpshufb %%ymm8, %%ymm" #i ", %%ymm" #i
#define VPSHUFB_X(i) "vpshufb %%xmm8, %%xmm" #i ", %%xmm" #i
#define VPERMILPS(i) "vpermilps %%ymm8, %%ymm" #i ", %%ymm" #i
#define VPERMPS(i) "vpermps %%ymm" #i ", %%ymm8, %%ymm" #i
#define VPMOVZXBD(i) "vpmovzxbd %%xmm8, %%ymm" #i
#define VPSRLW(i) "vpsrlw $4, %%ymm" #i ", %%ymm" #i
#define VPADDW(i) "vpaddw %%ymm8, %%ymm" #i ", %%ymm" #i
#define VPAND(i) "vpand %%ymm8, %%ymm" #i ", %%ymm" #i
#define VADDPS(i) "vaddps %%ymm8, %%ymm" #i ", %%ymm" #i
#define VCMPPS(i) "vcmpps $14, %%ymm8, %%ymm" #i ", %%ymm" #i
#define VBLENDVPS(i) "vblendvps %%ymm8, %%ymm8, %%ymm" #i ", %%ymm" #i
#define VPERM2F128(i) "vperm2f128 $0x21, %%ymm8, %%ymm" #i ", %%ymm" #i
#define VPMADDUBSW(i) "vpmaddubsw %%ymm8, %%ymm" #i ", %%ymm" #i

// 512-bit forms (AVX-512BW, VBMI, VNNI): Zen 4 runs each as two 256-bit halves.
#define ZPSHUFB(i) "vpshufb %%zmm8, %%zmm" #i ", %%zmm" #i
#define ZPERMB(i) "vpermb %%zmm" #i ", %%zmm8, %%zmm" #i
#define ZPERMT2B(i) "vpermt2b %%zmm8, %%zmm8, %%zmm" #i
#define ZPSRLW(i) "vpsrlw $4, %%zmm" #i ", %%zmm" #i
#define ZPADDW(i) "vpaddw %%zmm8, %%zmm" #i ", %%zmm" #i
#define ZPADDB(i) "vpaddb %%zmm8, %%zmm" #i ", %%zmm" #i
#define ZPTERNLOG(i) "vpternlogd $0xEA, %%zmm8, %%zmm8, %%zmm" #i
#define ZPMADDUBSW(i) "vpmaddubsw %%zmm8, %%zmm" #i ", %%zmm" #i
#define ZPDPBUSD(i) "vpdpbusd %%zmm8, %%zmm8, %%zmm" #i
#define ZINSERT(i) "vinserti64x4 $1, %%ymm8, %%zmm" #i ", %%zmm" #i
#define YPERMB(i) "vpermb %%ymm" #i ", %%ymm8, %%ymm" #i

double ghz = 0;

void report(const char* name, double seconds) {
  std::printf("  %-24s %5.2f cycles\n", name, seconds * ghz * 1e9 / (8.0 * kIterations));
}

}  // namespace

int main(int argc, char** argv) {
  ghz = argc > 1 ? std::atof(argv[1]) : measured_ghz();
  std::printf("AVX2 instruction throughput, cycles per instruction at %.2f GHz\n", ghz);
  MEASURE("vpshufb ymm", VPSHUFB);
  MEASURE("vpshufb xmm", VPSHUFB_X);
  MEASURE("vpermilps ymm (variable)", VPERMILPS);
  MEASURE("vpermps ymm", VPERMPS);
  MEASURE("vpmovzxbd ymm", VPMOVZXBD);
  MEASURE("vpsrlw ymm", VPSRLW);
  MEASURE("vpmaddubsw ymm", VPMADDUBSW);
  MEASURE("vpaddw ymm", VPADDW);
  MEASURE("vpand ymm", VPAND);
  MEASURE("vaddps ymm", VADDPS);
  MEASURE("vcmpps ymm", VCMPPS);
  MEASURE("vblendvps ymm", VBLENDVPS);
  MEASURE("vperm2f128", VPERM2F128);
  std::printf("mixed, cycles per instruction of the eight\n");
  MEASURE_MIXED("vpshufb + vpsrlw", VPSHUFB, VPSRLW);
  MEASURE_MIXED("vpshufb + vpmaddubsw", VPSHUFB, VPMADDUBSW);
  MEASURE_MIXED("vpshufb + vpaddw", VPSHUFB, VPADDW);
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
      __builtin_cpu_supports("avx512vnni")) {
    std::printf("AVX-512 (512-bit unless marked), cycles per instruction\n");
    MEASURE("vpshufb zmm", ZPSHUFB);
    MEASURE("vpermb zmm", ZPERMB);
    MEASURE("vpermb ymm", YPERMB);
    MEASURE("vpermt2b zmm", ZPERMT2B);
    MEASURE("vpsrlw zmm", ZPSRLW);
    MEASURE("vpaddw zmm", ZPADDW);
    MEASURE("vpaddb zmm", ZPADDB);
    MEASURE("vpternlogd zmm", ZPTERNLOG);
    MEASURE("vpmaddubsw zmm", ZPMADDUBSW);
    MEASURE("vpdpbusd zmm", ZPDPBUSD);
    MEASURE("vinserti64x4", ZINSERT);
    std::printf("mixed, cycles per instruction of the eight\n");
    MEASURE_MIXED("vpshufb + vpsrlw zmm", ZPSHUFB, ZPSRLW);
    MEASURE_MIXED("vpshufb + vpaddw zmm", ZPSHUFB, ZPADDW);
    MEASURE_MIXED("vpshufb + vpmaddubsw zmm", ZPSHUFB, ZPMADDUBSW);
    MEASURE_MIXED("vpermb + vpsrlw zmm", ZPERMB, ZPSRLW);
    MEASURE_MIXED("vpermb + vpaddw zmm", ZPERMB, ZPADDW);
    MEASURE_MIXED("vpsrlw + vpaddw zmm", ZPSRLW, ZPADDW);
    MEASURE_MIXED("vpmaddubsw + vpaddw zmm", ZPMADDUBSW, ZPADDW);
  }
  return 0;
}

#else

int main() {
  std::printf("bench_instructions measures x86-64 AVX2 instructions only\n");
  return 0;
}

#endif

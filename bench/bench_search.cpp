// Search throughput of one index configuration, printed as one Markdown row.
//
//   bench_search N DIM BITS [NQ] [K] [ROTATION]
//
// Prints build time, queries per second, scored (query, vector) pairs per
// second per core, the scan path and the process's peak memory. Run one
// configuration per process so that the peak belongs to it alone
// (bench/search_matrix.sh runs the whole table).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "index/skerry_index.h"
#include "runtime/pool.h"
#include "search/bounded_scan.h"
#include "search/code_scan.h"
#include "search/lut_scan.h"
#include "search/pair_scan.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double resident_mib() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  unsigned long size = 0, resident = 0;
  if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2) resident = 0;
  std::fclose(statm);
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) / 1024.0;
}

std::vector<float> gaussian(uint64_t count, uint64_t dim, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(count * dim);
  for (float& x : v) x = normal(rng);
  return v;
}

varnel::Rotation parse_rotation(const std::string& name) {
  if (name == "planar2") return varnel::Rotation::Planar2;
  if (name == "iso4") return varnel::Rotation::Iso4;
  if (name == "walshrotor3") return varnel::Rotation::WalshRotor3;
  return varnel::Rotation::Rotor3;
}

}  // namespace

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s N DIM BITS [NQ=1000] [K=10] [ROTATION=rotor3]\n", argv[0]);
    return 2;
  }
  const uint64_t n = std::strtoull(argv[1], nullptr, 10);
  const uint64_t dim = std::strtoull(argv[2], nullptr, 10);
  const uint64_t bits = std::strtoull(argv[3], nullptr, 10);
  const uint64_t nq = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1000;
  const uint64_t k = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 10;
  const std::string rotation = argc > 6 ? argv[6] : "rotor3";

  varnel::SkerryIndex index = varnel::SkerryIndex::create(dim, bits, parse_rotation(rotation));
  {
    // Add in slices so the float input never has to exist whole.
    const uint64_t slice = 100000;
    double add_seconds = 0;
    for (uint64_t first = 0; first < n; first += slice) {
      std::vector<float> batch = gaussian(std::min(slice, n - first), dim, unsigned(first + 1));
      auto start = std::chrono::steady_clock::now();
      index.add(batch);
      add_seconds += seconds_since(start);
    }
    std::printf("add: %.2f s (%.0f vectors/s)\n", add_seconds, double(n) / add_seconds);
  }
  std::vector<float> queries = gaussian(nq, dim, 777);
  auto start = std::chrono::steady_clock::now();
  index.prepare();
  const double prepare_seconds = seconds_since(start);
  const double resident_before = resident_mib();
  index.search(std::span(queries).first(std::min<uint64_t>(nq, 10) * dim), k);  // warm up

  const varnel::VerificationCounts before = varnel::verification_counts();
  start = std::chrono::steady_clock::now();
  const double cpu_start = cpu_seconds();
  index.search(queries, k);
  const double search_seconds = seconds_since(start);
  std::printf("resident growth over the searches: %.2f MiB (codes and norms %.2f MiB)\n",
              resident_mib() - resident_before, double(n) * double(dim * bits / 8 + 4) / (1024.0 * 1024.0));
  // CPU time stays meaningful on a shared machine, where wall time does not.
  std::printf("search CPU time: %.3f ms per query\n", (cpu_seconds() - cpu_start) * 1e3 / double(nq));
  const varnel::VerificationCounts after = varnel::verification_counts();
  if (bits < 4) {
    std::printf("exactly scored: %.4f%% of %llu vectors offered\n",
                100.0 * double(after.verified - before.verified) / double(after.offered - before.offered),
                (unsigned long long)(after.offered - before.offered));
  }

  start = std::chrono::steady_clock::now();
  const int single_runs = 20;
  for (int i = 0; i < single_runs; ++i) index.search(std::span(queries).subspan(i % nq * dim, dim), k);
  const double single_ms = seconds_since(start) / single_runs * 1e3;

  const double threads = double(varnel::num_threads());
  const double qps = double(nq) / search_seconds;
  const char* path = bits == 3 ? varnel::pair_scan_path_name()
                               : varnel::scan_path_name(varnel::active_scan_path());
  std::printf("| n | dim | bits | rotation | threads | path | prepare s | QPS | pairs/s/core | 1-query ms | peak MiB |\n");
  std::printf("| %llu | %llu | %llu | %s | %.0f | %s | %.3f | %.1f | %.3g | %.2f | %.0f |\n",
              (unsigned long long)n, (unsigned long long)dim, (unsigned long long)bits,
              rotation.c_str(), threads, path, prepare_seconds, qps, qps * double(n) / threads,
              single_ms, peak_rss_mib());
  return 0;
}

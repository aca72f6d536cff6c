// Search throughput of one index configuration, printed as one Markdown row.
//
//   bench_search N DIM BITS [NQ] [K] [ROTATION] [options]
//
// With "options" last it also prints the CPU time per query of query()
// without options, with a filter admitting all or 10 %, cosine, L2 and
// refinement x2, beside search; at 2 and 3 bits both through the bounded
// scan and with every allowed vector scored exactly (the earlier path).
//
// Prints build time, queries per second, scored (query, vector) pairs per
// second per core, the scan path and the process's peak memory. Run one
// configuration per process so that the peak belongs to it alone
// (bench/search_matrix.sh runs the whole table).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "index/query.h"
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

// Best process CPU time per query of run() over `runs` runs.
template <class Run>
double cpu_ms_per_query(uint64_t nq, Run run, int runs = 3) {
  double best = 1e300;
  for (int rep = 0; rep < runs; ++rep) {
    const double start = cpu_seconds();
    run();
    best = std::min(best, cpu_seconds() - start);
  }
  return best * 1e3 / double(nq);
}

void bench_query_options(const varnel::SkerryIndex& index, const std::vector<float>& data,
                         const std::vector<float>& queries, uint64_t nq, uint64_t k) {
  const uint64_t n = index.len(), dim = index.dim();
  std::vector<int64_t> tenth;
  for (uint64_t p = 0; p < n; p += 10) tenth.push_back(int64_t(p));
  std::vector<int64_t> every(n);
  for (uint64_t p = 0; p < n; ++p) every[p] = int64_t(p);
  const varnel::AllowedSet all = varnel::AllowedSet::from_positions(std::span<const int64_t>(every), n);
  const varnel::AllowedSet ten = varnel::AllowedSet::from_positions(std::span<const int64_t>(tenth), n);
  const varnel::RefineRows rows{data.data(), n, dim};
  struct Case {
    const char* name;
    varnel::QueryOptions options;
  };
  std::vector<Case> cases(7);
  cases[0].name = "query";
  cases[1].name = "filter all";
  cases[1].options.allowed = &all;
  cases[2].name = "filter 10%";
  cases[2].options.allowed = &ten;
  cases[3].name = "cosine";
  cases[3].options.metric = varnel::Metric::Cosine;
  cases[4].name = "l2";
  cases[4].options.metric = varnel::Metric::L2;
  cases[5].name = "refine x2";
  cases[5].options.refine = &rows;
  cases[5].options.refine_factor = 2;
  cases[6].name = "cosine, filter 10%";
  cases[6].options.metric = varnel::Metric::Cosine;
  cases[6].options.allowed = &ten;
  const double search_ms = cpu_ms_per_query(nq, [&] { index.search(queries, k); });
  std::printf("\n| call | CPU ms/query | / search | exactly scored | exact scan ms/query | / search |\n|---|---|---|---|---|---|\n");
  std::printf("| search | %.4f | 1.00 | | | |\n", search_ms);
  for (const Case& c : cases) {
    const varnel::VerificationCounts before = varnel::verification_counts();
    const double ms = cpu_ms_per_query(nq, [&] { varnel::query(index, queries, k, c.options); });
    const varnel::VerificationCounts after = varnel::verification_counts();
    const double verified = 100.0 * double(after.verified - before.verified) /
                            double(std::max<uint64_t>(1, after.offered - before.offered));
    double exact_ms = 0;
    if (index.bits() < 4) {
      varnel::force_exact_code_scan(true);
      exact_ms = cpu_ms_per_query(nq, [&] { varnel::query(index, queries, k, c.options); });
      varnel::force_exact_code_scan(false);
    }
    std::printf("| %s | %.4f | %.2f | %.3f %% | %.4f | %.2f |\n", c.name, ms, ms / search_ms,
                verified, exact_ms, exact_ms / search_ms);
  }
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

  const bool with_options = argc > 7 && std::string(argv[7]) == "options";
  std::vector<float> kept;  // the float vectors, for refinement
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
      if (with_options) kept.insert(kept.end(), batch.begin(), batch.end());
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
  // The fastest of a few more runs: what the search costs when other
  // processes disturb it least.
  std::printf("search CPU time, best of 5 runs: %.4f ms per query\n",
              cpu_ms_per_query(nq, [&] { index.search(queries, k); }, 5));
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
  if (with_options) bench_query_options(index, kept, queries, nq, k);
  return 0;
}

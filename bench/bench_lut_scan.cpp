// Speed of the 4-bit scan kernel alone (no table building, no top-k): scored
// (query, vector) pairs per second of one core's CPU time, for every path
// this CPU runs: over all the work, and for the fastest group of queries
// (on a shared machine the other processes' cache traffic slows the rest).
// With --bits 3, the 3-bit pair-table kernels instead, for both forms of
// tables (64-entry rows and split rows) on every path.
//
// The work is cut the way a search driver would: `group` queries at a time
// over ranges of `range` blocks, so the scores of one call stay in cache.
//
//   bench_lut_scan [--n N] [--queries Q] [--group G] [--range R] [--seconds S]
//                  [--path portable|avx2|avx512|avx512vbmi|neon] [--bits 4|3]
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "search/lut_scan.h"
#include "search/pair_scan.h"

namespace {

volatile float checksum_sink;  // keeps the scans from being optimised away

struct Options {
  uint64_t n = 100000;
  std::size_t queries = 256;
  std::size_t group = 16;
  uint64_t range = 128;
  double seconds = 0.5;
  std::string path;  // empty: every supported path
  uint64_t bits = 4;
};

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--n") options.n = std::strtoull(value, nullptr, 10);
    else if (flag == "--queries") options.queries = std::strtoull(value, nullptr, 10);
    else if (flag == "--group") options.group = std::strtoull(value, nullptr, 10);
    else if (flag == "--range") options.range = std::strtoull(value, nullptr, 10);
    else if (flag == "--seconds") options.seconds = std::strtod(value, nullptr);
    else if (flag == "--path") options.path = value;
    else if (flag == "--bits") options.bits = std::strtoull(value, nullptr, 10);
    else std::fprintf(stderr, "unknown option %s\n", flag.c_str());
  }
  if (options.group == 0) options.group = 1;
  if (options.range == 0) options.range = 1;
  return options;
}

std::vector<varnel::QueryTable> random_tables(uint64_t dim, std::size_t count, std::mt19937& rng) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centroids(16);
  for (float& c : centroids) c = 0.1f * normal(rng);
  std::vector<varnel::QueryTable> tables;
  std::vector<float> rq(dim);
  for (std::size_t q = 0; q < count; ++q) {
    for (float& x : rq) x = normal(rng);
    tables.push_back(varnel::build_query_table(rq.data(), centroids.data(), dim));
  }
  return tables;
}

// Random 3-bit pair tables: 64-entry rows, or split rows (eight entries per
// coordinate, stored twice), every byte at most 127.
std::vector<varnel::QueryTable> random_pair_tables(uint64_t dim, bool split, std::size_t count,
                                                   std::mt19937& rng) {
  std::vector<varnel::QueryTable> tables(count);
  for (varnel::QueryTable& table : tables) {
    table.bytes.resize(dim / 2 * (split ? 32 : 64));
    for (uint8_t& byte : table.bytes) byte = static_cast<uint8_t>(rng() & 0x7F);
    for (uint64_t at = 0; split && at < table.bytes.size(); at += 16) {
      std::copy_n(table.bytes.begin() + at, 8, table.bytes.begin() + at + 8);
    }
    table.delta = 0.001f;
  }
  return tables;
}

using ScanFunction = void (*)(const varnel::QueryTable* const*, std::size_t, const uint8_t*, uint64_t,
                              uint64_t, uint64_t, float*, std::size_t);

// CPU time of this thread: other processes sharing the core do not count.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Scans one group of queries over every block; returns a checksum so the work
// cannot be dropped.
float scan_group(ScanFunction scan, const varnel::QueryTable* const* tables, std::size_t nt,
                 const std::vector<uint8_t>& blocked, uint64_t dim, uint64_t n_blocks,
                 const Options& options, std::vector<float>& scores) {
  float checksum = 0.0f;
  for (uint64_t b0 = 0; b0 < n_blocks; b0 += options.range) {
    const uint64_t b1 = std::min(n_blocks, b0 + options.range);
    scan(tables, nt, blocked.data(), dim, b0, b1, scores.data(), options.range * 32);
    checksum += scores[0];
  }
  return checksum;
}

// Rates of every timed group, in pairs per second of this thread's CPU time.
struct Rates {
  double mean = 0.0;  // all work over all time
  double best = 0.0;  // the fastest group: what a quiet core sustains
};

// form: "" for 4 bits, "joint" or "split" for the 3-bit tables.
void bench_path(varnel::ScanPath path, uint64_t dim, const Options& options, const std::string& form) {
  std::mt19937 rng(static_cast<uint32_t>(dim));
  const uint64_t n_blocks = (options.n + 31) / 32;
  const uint64_t block_bytes = form.empty() ? dim / 2 * 32 : 3 * dim / 8 * 32;
  std::vector<uint8_t> blocked(n_blocks * block_bytes);
  for (uint8_t& byte : blocked) byte = static_cast<uint8_t>(rng());
  const std::vector<varnel::QueryTable> tables =
      form.empty() ? random_tables(dim, options.queries, rng)
                   : random_pair_tables(dim, form == "split", options.queries, rng);
  const ScanFunction scan = form.empty()           ? varnel::scan_blocks
                            : form == "split"      ? varnel::scan_split_pair_blocks
                                                   : varnel::scan_pair_blocks;
  std::vector<const varnel::QueryTable*> pointers;
  for (const varnel::QueryTable& table : tables) pointers.push_back(&table);
  std::vector<float> scores(options.group * options.range * 32);

  varnel::force_scan_path(path);
  float checksum = scan_group(scan, pointers.data(), std::min(options.group, pointers.size()),
                              blocked, dim, n_blocks, options, scores);  // warm-up
  Rates rates;
  double total_seconds = 0.0, total_pairs = 0.0;
  do {
    for (std::size_t q0 = 0; q0 < pointers.size(); q0 += options.group) {
      const std::size_t nt = std::min(options.group, pointers.size() - q0);
      const double start = thread_seconds();
      checksum += scan_group(scan, pointers.data() + q0, nt, blocked, dim, n_blocks, options, scores);
      const double seconds = thread_seconds() - start;
      const double pairs = static_cast<double>(nt) * static_cast<double>(n_blocks) * 32;
      total_seconds += seconds;
      total_pairs += pairs;
      if (seconds > 0.0) rates.best = std::max(rates.best, pairs / seconds);
    }
  } while (total_seconds < options.seconds);
  rates.mean = total_pairs / total_seconds;
  checksum_sink = checksum;
  const std::string name = std::string(varnel::scan_path_name(path)) + (form.empty() ? "" : " " + form);
  std::printf("| %-16s | %4llu | %8.3f | %8.3f | %8.3f |\n", name.c_str(),
              static_cast<unsigned long long>(dim), rates.mean / 1e9, rates.best / 1e9,
              static_cast<double>(n_blocks) * 32 / rates.mean * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  std::printf("%llu-bit scan kernel, one thread: n = %llu, %zu queries, %zu per call, %llu blocks "
              "per call\n\n",
              static_cast<unsigned long long>(options.bits), static_cast<unsigned long long>(options.n),
              options.queries, options.group, static_cast<unsigned long long>(options.range));
  std::printf("| path (tables)    |  dim | Gpairs/s | best group | ms/query |\n|---|---|---|---|---|\n");
  const std::vector<std::string> forms =
      options.bits == 3 ? std::vector<std::string>{"joint", "split"} : std::vector<std::string>{""};
  for (varnel::ScanPath path : varnel::supported_scan_paths()) {
    if (!options.path.empty() && options.path != varnel::scan_path_name(path)) continue;
    for (const std::string& form : forms) {
      for (uint64_t dim : {128u, 768u}) bench_path(path, dim, options, form);
    }
  }
  if (options.bits == 3) {
    std::printf("\n3-bit kernel of a search now: %s\n", varnel::pair_scan_path_name());
    return 0;
  }
  // What the first search of a process picks, and the timing it picked by.
  std::printf("\npath chosen without VARNEL_SCAN_PATH: %s",
              varnel::scan_path_name(varnel::fastest_scan_path()));
  const std::vector<varnel::ScanPathRate> rates = varnel::scan_path_rates();
  for (std::size_t i = 0; i < rates.size(); ++i) {
    std::printf("%s %s %.3f G", i == 0 ? " (timed:" : ",", varnel::scan_path_name(rates[i].path),
                rates[i].pairs_per_second * 1e-9);
  }
  std::printf("%s\n", rates.empty() ? "" : " pairs/s)");
  return 0;
}

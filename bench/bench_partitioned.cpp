// Single-query and batch latency of a partitioned index file, for profiling
// the search path without the Python call in the way.
//
//   bench_partitioned INDEX.vnip QUERIES.npy PROBES [REPEATS] [BATCH] [THREADS] [TRUTH.npy]
//
// QUERIES.npy: float32 (nq, dim), C order (as bench/compare.py writes q.npy).
// BATCH 1 (the default) times one query per call and prints p50 / p99 and
// CPU ms per query; a larger BATCH times calls of that many queries and
// prints queries per second and CPU ms per query. TRUTH.npy: int64 (nq, >= 10),
// the ids of each query's true nearest neighbours; recall@10 is printed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/partitioned_index.h"
#include "runtime/cpu.h"
#include "runtime/pool.h"
#include "storage/io.h"

namespace {

// The rows of a little-endian .npy file in C order with elements of type T
// (descr "'<f4'" or "'<i8'").
template <class T>
std::vector<T> load_npy(const std::string& path, uint64_t& rows, uint64_t& cols, const char* descr) {
  std::ifstream in(path, std::ios::binary);
  char head[10];
  if (!in.read(head, 10) || std::string(head, 6) != "\x93NUMPY") throw std::runtime_error("not a .npy file");
  const uint16_t header_size = uint16_t(uint8_t(head[8])) | uint16_t(uint8_t(head[9])) << 8;
  std::string header(header_size, '\0');
  in.read(header.data(), header_size);
  if (header.find(descr) == std::string::npos || header.find("'fortran_order': False") == std::string::npos) {
    throw std::runtime_error(std::string("expected ") + descr + " rows in C order");
  }
  const std::size_t open = header.find('(');
  if (std::sscanf(header.c_str() + open, "(%lu, %lu)", &rows, &cols) != 2) throw std::runtime_error("bad shape");
  std::vector<T> values(rows * cols);
  in.read(reinterpret_cast<char*>(values.data()), std::streamsize(values.size() * sizeof(T)));
  if (!in) throw std::runtime_error("truncated .npy file");
  return values;
}

double cpu_seconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s INDEX QUERIES.npy PROBES [REPEATS] [BATCH] [THREADS]\n", argv[0]);
    return 2;
  }
  const uint64_t probes = std::strtoull(argv[3], nullptr, 10);
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 3;
  const uint64_t batch = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 1;
  if (argc > 6) varnel::set_num_threads(std::strtoull(argv[6], nullptr, 10));
  const varnel::PartitionedIndex index = varnel::load_partitioned(argv[1]);
  uint64_t nq = 0, dim = 0;
  const std::vector<float> queries = load_npy<float>(argv[2], nq, dim, "'<f4'");
  uint64_t truth_rows = 0, truth_cols = 0;
  const std::vector<int64_t> truth =
      argc > 7 ? load_npy<int64_t>(argv[7], truth_rows, truth_cols, "'<i8'") : std::vector<int64_t>();
  if (argc > 7 && (truth_rows != nq || truth_cols < 10)) throw std::runtime_error("truth does not match the queries");
  std::printf("scan path %s, threads %zu, lists %lu, vectors %lu, queries %lu, probes %lu, batch %lu\n",
              varnel::scan_path_name(varnel::active_scan_path()), varnel::num_threads(),
              (unsigned long)index.lists(), (unsigned long)index.len(), (unsigned long)nq,
              (unsigned long)probes, (unsigned long)batch);
  for (int r = 0; r < repeats; ++r) {
    std::vector<double> wall;
    const double cpu0 = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    uint64_t found = 0;
    for (uint64_t q = 0; q < nq; q += batch) {
      const uint64_t count = std::min(batch, nq - q);
      const auto t0 = std::chrono::steady_clock::now();
      const varnel::IdSearchResults results =
          index.search(std::span<const float>(queries.data() + q * dim, count * dim), 10, probes);
      wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      for (uint64_t r = 0; !truth.empty() && r < count; ++r) {
        const int64_t* best = truth.data() + (q + r) * truth_cols;
        for (uint64_t i = 0; i < results.k; ++i) found += std::count(best, best + 10, int64_t(results.ids[r * results.k + i]));
      }
    }
    if (!truth.empty()) std::printf("recall@10 %.4f  ", double(found) / double(nq * 10));
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu_ms = (cpu_seconds() - cpu0) * 1e3 / double(nq);
    std::sort(wall.begin(), wall.end());
    if (batch == 1) {
      std::printf("p50 %.4f ms  p99 %.4f ms  cpu %.4f ms/query\n", wall[wall.size() / 2] * 1e3,
                  wall[wall.size() * 99 / 100] * 1e3, cpu_ms);
    } else {
      std::printf("%.0f queries/s  cpu %.4f ms/query\n", double(nq) / total, cpu_ms);
    }
  }
  return 0;
}

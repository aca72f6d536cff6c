// Speed of the quantization kernels on one core: the time of one `codebook`
// call (which `add` pays once per batch) and `encode` throughput for every
// rotation kind. Times are the calling thread's CPU time, so other work on a
// shared machine inflates them less than wall-clock time would.
//
//   bench_kernels [--reps R] [--batch N] [--bits B] [--seconds S]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "quantize/codebook.h"
#include "quantize/encode.h"
#include "quantize/rotor.h"
#include "quantize/wht.h"

namespace {

constexpr uint64_t kSeed = 117900524;  // the seed indexes created from Python use
constexpr uint64_t kDims[] = {128, 768};
constexpr varnel::Rotation kRotations[] = {varnel::Rotation::Planar2, varnel::Rotation::Rotor3,
                                           varnel::Rotation::Iso4, varnel::Rotation::WalshRotor3};

volatile uint64_t checksum_sink;  // keeps results from being optimised away

struct Options {
  int reps = 5;             // codebook calls per (bits, dim)
  uint64_t batch = 2048;    // vectors per encode call
  uint64_t bits = 4;        // code width for the encode runs
  double seconds = 0.5;     // minimum CPU time per encode figure
};

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--reps") options.reps = std::max(1, std::atoi(value));
    else if (flag == "--batch") options.batch = std::max<uint64_t>(1, std::strtoull(value, nullptr, 10));
    else if (flag == "--bits") options.bits = std::strtoull(value, nullptr, 10);
    else if (flag == "--seconds") options.seconds = std::atof(value);
    else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      std::exit(2);
    }
  }
  return options;
}

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void bench_codebook(const Options& options) {
  std::printf("codebook (computed, not the embedded table): CPU time of one call, min / median of %d\n",
              options.reps);
  for (uint64_t dim : kDims) {
    for (uint64_t bits : {2, 3, 4}) {
      std::vector<double> times;
      for (int rep = 0; rep < options.reps; ++rep) {
        const double start = thread_seconds();
        const varnel::Codebook book = varnel::compute_codebook(bits, dim);
        times.push_back(thread_seconds() - start);
        checksum_sink = checksum_sink + book.centroids.size();
      }
      std::printf("  bits %llu  dim %4llu  %8.2f ms  %8.2f ms\n", static_cast<unsigned long long>(bits),
                  static_cast<unsigned long long>(dim), 1e3 * *std::min_element(times.begin(), times.end()),
                  1e3 * median(times));
    }
  }
}

std::vector<float> gaussian_vectors(uint64_t count, uint64_t dim) {
  std::mt19937_64 engine(kSeed);
  std::normal_distribution<float> normal;
  std::vector<float> values(count * dim);
  for (float& value : values) value = normal(engine);
  return values;
}

// Vectors per second of CPU time, repeating whole batches for at least the
// requested time.
double encode_rate(const Options& options, uint64_t dim, varnel::Rotation rotation) {
  const varnel::BlockRotations rotations = varnel::precompute_block_matrices(dim, rotation, kSeed);
  const std::vector<float> signs = varnel::uses_sign_vector(rotation)
                                       ? varnel::make_sign_vector(dim, kSeed + varnel::kSignSeedOffset)
                                       : std::vector<float>{};
  const std::vector<float> boundaries = varnel::codebook(options.bits, dim).boundaries;
  const std::vector<float> vectors = gaussian_vectors(options.batch, dim);
  uint64_t encoded = 0;
  const double start = thread_seconds();
  double elapsed = 0.0;
  do {
    const varnel::Encoded result =
        varnel::encode(vectors, options.batch, dim, signs, rotations.matrices, varnel::block_size(rotation),
                       rotations.padded_dim, boundaries, options.bits);
    checksum_sink = checksum_sink + result.codes.size();
    encoded += options.batch;
    elapsed = thread_seconds() - start;
  } while (elapsed < options.seconds);
  return static_cast<double>(encoded) / elapsed;
}

bool is_power_of_two(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

void bench_encode(const Options& options) {
  std::printf("encode: %llu-bit codes, batches of %llu vectors, vectors per second of CPU time\n",
              static_cast<unsigned long long>(options.bits), static_cast<unsigned long long>(options.batch));
  for (uint64_t dim : kDims) {
    for (varnel::Rotation rotation : kRotations) {
      std::printf("  dim %4llu  %-12s", static_cast<unsigned long long>(dim), varnel::rotation_name(rotation));
      if (varnel::uses_sign_vector(rotation) && !is_power_of_two(dim)) {
        std::printf("  n/a (needs a power-of-two dim)\n");
        continue;
      }
      std::printf("  %12.0f\n", encode_rate(options, dim, rotation));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  bench_codebook(options);
  bench_encode(options);
  return 0;
}

// The cosine and L2 selector keys on every instruction-set path: each lane
// must give the scalar formula's key bit for bit, for any sum, stored length
// and query length (zero, subnormal, overflowing, infinite, NaN) and any
// count of lanes (the kernels' tails), with or without an offset added to
// the sums (the keys of the bounded scan's bounds).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "runtime/cpu.h"
#include "search/metric_keys.h"

using varnel::Metric;
using varnel::MetricKey;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

const std::vector<float> kValues = {0.0f,   -0.0f,  1.0f,  -1.0f, 0.37f, -2.5f,  1e-40f, -1e-40f,
                                    1e-20f, 1e20f,  1e38f, -1e38f, 3e38f, kInf,  -kInf,  kNan};

uint32_t bits_of(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

}  // namespace

TEST(MetricKeys, EveryPathEqualsTheScalarFormulaBitForBit) {
  // Every pair of values, as sums and stored lengths.
  std::vector<float> sums, norms;
  for (const float s : kValues) {
    for (const float n : kValues) {
      sums.push_back(s);
      norms.push_back(n);
    }
  }
  for (const Metric metric : {Metric::InnerProduct, Metric::Cosine, Metric::L2}) {
    for (const float q_norm : {0.0f, 1e-30f, 1.0f, 3.75f, 1e20f, 2e19f, kInf, kNan}) {
      const MetricKey key{metric, q_norm, q_norm * q_norm};
      for (const varnel::ScanPath path : varnel::supported_scan_paths()) {
        ASSERT_TRUE(varnel::force_scan_path(path));
        // Every count up to a few vector widths past each start, so that
        // each lane meets each tail position.
        for (std::size_t start : {std::size_t{0}, std::size_t{5}, std::size_t{17}}) {
          std::vector<std::size_t> counts(41);
          for (std::size_t c = 0; c < counts.size(); ++c) counts[c] = c;
          counts.push_back(sums.size() - start);
          for (const std::size_t count : counts) {
            std::vector<float> out(count + 1, 12345.0f);
            varnel::metric_keys(key, sums.data() + start, norms.data() + start, count, out.data());
            for (std::size_t i = 0; i < count; ++i) {
              const float want = key(sums[start + i], norms[start + i]);
              ASSERT_EQ(bits_of(out[i]), bits_of(want))
                  << varnel::scan_path_name(path) << " metric " << int(metric) << " q_norm " << q_norm
                  << " sum " << sums[start + i] << " norm " << norms[start + i];
            }
            ASSERT_EQ(out[count], 12345.0f) << "wrote past the last lane";

            // The keys of a bound: each sum plus an offset first; and
            // whether every length is >= 0.
            const float offset = -0.75f;
            const bool rising = varnel::metric_keys_of_bounds(key, sums.data() + start, offset,
                                                              norms.data() + start, count, out.data());
            bool want_rising = true;
            for (std::size_t i = 0; i < count; ++i) {
              const float want = key(sums[start + i] + offset, norms[start + i]);
              ASSERT_EQ(bits_of(out[i]), bits_of(want))
                  << varnel::scan_path_name(path) << " bound key, metric " << int(metric) << " q_norm "
                  << q_norm << " sum " << sums[start + i] << " norm " << norms[start + i];
              want_rising = want_rising && norms[start + i] >= 0.0f;
            }
            ASSERT_EQ(rising, want_rising) << varnel::scan_path_name(path) << " count " << count;
            ASSERT_EQ(out[count], 12345.0f) << "wrote past the last lane";
          }
        }
      }
      varnel::reset_scan_path();
    }
  }
}

// In place, as the bounded scan calls it.
TEST(MetricKeys, OutputMayBeTheSums) {
  std::vector<float> sums(kValues), norms(kValues.rbegin(), kValues.rend());
  for (const Metric metric : {Metric::Cosine, Metric::L2}) {
    const MetricKey key{metric, 2.0f, 4.0f};
    for (const varnel::ScanPath path : varnel::supported_scan_paths()) {
      ASSERT_TRUE(varnel::force_scan_path(path));
      std::vector<float> keys(sums);
      varnel::metric_keys(key, keys.data(), norms.data(), keys.size(), keys.data());
      for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(bits_of(keys[i]), bits_of(key(sums[i], norms[i]))) << varnel::scan_path_name(path);
      }
    }
    varnel::reset_scan_path();
  }
}

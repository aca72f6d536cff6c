#include "search/metric_keys.h"

#include "runtime/cpu.h"

namespace varnel {

namespace {

// One loop per metric and offset, so that the compiler can vectorise the
// simple ones.
template <Metric metric, bool kOffset>
bool portable_keys(const MetricKey& key, const float* sums, float offset, const float* norms,
                   std::size_t count, float* out) {
  const MetricKey fixed{metric, key.q_norm, key.q_square};
  int negative = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const float sum = kOffset ? sums[i] + offset : sums[i];
    negative |= !(norms[i] >= 0.0f);
    out[i] = fixed(sum, norms[i]);
  }
  return negative == 0;
}

template <bool kOffset>
bool keys_on_path(const MetricKey& key, const float* sums, float offset, const float* norms,
                  std::size_t count, float* out) {
  [[maybe_unused]] const float* added = kOffset ? &offset : nullptr;
  switch (key.metric) {
    case Metric::InnerProduct:
      return portable_keys<Metric::InnerProduct, kOffset>(key, sums, offset, norms, count, out);
    case Metric::Cosine:
      switch (active_scan_path()) {
#if defined(__x86_64__)
        case ScanPath::Avx2:
          return key_kernels::cosine_keys_avx2(key.q_norm, sums, added, norms, count, out);
        case ScanPath::Avx512:
        case ScanPath::Avx512Vbmi:
          return key_kernels::cosine_keys_avx512(key.q_norm, sums, added, norms, count, out);
#endif
        default:
          return portable_keys<Metric::Cosine, kOffset>(key, sums, offset, norms, count, out);
      }
    case Metric::L2:
      switch (active_scan_path()) {
#if defined(__x86_64__)
        case ScanPath::Avx2:
          return key_kernels::l2_keys_avx2(key.q_square, sums, added, norms, count, out);
        case ScanPath::Avx512:
        case ScanPath::Avx512Vbmi:
          return key_kernels::l2_keys_avx512(key.q_square, sums, added, norms, count, out);
#endif
        default:
          return portable_keys<Metric::L2, kOffset>(key, sums, offset, norms, count, out);
      }
  }
  return false;
}

}  // namespace

void metric_keys(const MetricKey& key, const float* sums, const float* norms, std::size_t count,
                 float* out) {
  keys_on_path<false>(key, sums, 0.0f, norms, count, out);
}

bool metric_keys_of_bounds(const MetricKey& key, const float* sums, float offset, const float* norms,
                           std::size_t count, float* out) {
  return keys_on_path<true>(key, sums, offset, norms, count, out);
}

}  // namespace varnel

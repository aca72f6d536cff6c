#include "search/metric_keys.h"

#include "runtime/cpu.h"

namespace varnel {

namespace {

// One loop per metric, so that the compiler can vectorise the simple ones.
template <Metric metric>
void portable_keys(const MetricKey& key, const float* sums, const float* norms, std::size_t count,
                   float* out) {
  const MetricKey fixed{metric, key.q_norm, key.q_square};
  for (std::size_t i = 0; i < count; ++i) out[i] = fixed(sums[i], norms[i]);
}

}  // namespace

void metric_keys(const MetricKey& key, const float* sums, const float* norms, std::size_t count,
                 float* out) {
  switch (key.metric) {
    case Metric::InnerProduct:
      return portable_keys<Metric::InnerProduct>(key, sums, norms, count, out);
    case Metric::Cosine:
      switch (active_scan_path()) {
#if defined(__x86_64__)
        case ScanPath::Avx2:
          return key_kernels::cosine_keys_avx2(key.q_norm, sums, norms, count, out);
        case ScanPath::Avx512:
        case ScanPath::Avx512Vbmi:
          return key_kernels::cosine_keys_avx512(key.q_norm, sums, norms, count, out);
#endif
        default:
          return portable_keys<Metric::Cosine>(key, sums, norms, count, out);
      }
    case Metric::L2:
      switch (active_scan_path()) {
#if defined(__x86_64__)
        case ScanPath::Avx2:
          return key_kernels::l2_keys_avx2(key.q_square, sums, norms, count, out);
        case ScanPath::Avx512:
        case ScanPath::Avx512Vbmi:
          return key_kernels::l2_keys_avx512(key.q_square, sums, norms, count, out);
#endif
        default:
          return portable_keys<Metric::L2>(key, sums, norms, count, out);
      }
  }
}

}  // namespace varnel

#pragma once
// Selector keys of the metrics a query may ask for, from the code sum of a
// stored vector (its inner product with the query, per unit of its stored
// length) and that length. Keys are "higher is better": the inner product,
// the cosine, or the negated squared L2 distance, so one selector serves
// every metric.
//
// One scalar formula defines every key; the batch form runs it on the
// instruction-set path chosen at run time, each lane performing the same
// rounded operations in the same order, so every path gives bit-identical
// keys.
#include <cstddef>
#include <cstdint>
#include <limits>

namespace varnel {

enum class Metric { InnerProduct, Cosine, L2 };

// Cosine from an inner product and two norms; a zero norm (a zero vector or
// query) gives 0 rather than NaN. When the product of the norms overflows,
// dividing by one after the other still gives the cosine.
inline float cosine_of(float ip, float q_norm, float x_norm) {
  const float denominator = q_norm * x_norm;
  if (denominator == std::numeric_limits<float>::infinity()) return ip / q_norm / x_norm;
  return denominator > 0.0f ? ip / denominator : 0.0f;
}

struct MetricKey {
  Metric metric = Metric::InnerProduct;
  float q_norm = 0.0f;
  float q_square = 0.0f;  // q_norm * q_norm, rounded

  // sum: the code sum of a stored vector; norm: its stored length. The inner
  // product sum * norm is exactly the score search gives.
  float operator()(float sum, float norm) const { return of_inner_product(sum * norm, norm); }

  // The key of an estimated inner product `ip` with a vector of length `length`.
  float of_inner_product(float ip, float length) const {
    switch (metric) {
      case Metric::InnerProduct:
        return ip;
      case Metric::Cosine:
        return cosine_of(ip, q_norm, length);
      case Metric::L2: {
        const float squares = q_square + length * length;
        const float twice = 2.0f * ip;
        return -(squares - twice);
      }
    }
    return ip;
  }
};

// out[i] = key(sums[i], norms[i]) for i < count, on the active path. out may
// be sums.
void metric_keys(const MetricKey& key, const float* sums, const float* norms, std::size_t count,
                 float* out);

// out[i] = key(fl(sums[i] + offset), norms[i]) for i < count: the keys of
// one bound of approximate sums, in one pass. Returns whether every norm is
// >= 0 (none negative or NaN), when every key rises with the sum.
bool metric_keys_of_bounds(const MetricKey& key, const float* sums, float offset, const float* norms,
                           std::size_t count, float* out);

namespace key_kernels {
// The instruction-set forms of the cosine and L2 keys. offset: nullptr, or a
// value added to each sum first. They return whether every norm is >= 0.
bool cosine_keys_avx2(float q_norm, const float* sums, const float* offset, const float* norms,
                      std::size_t count, float* out);
bool cosine_keys_avx512(float q_norm, const float* sums, const float* offset, const float* norms,
                        std::size_t count, float* out);
bool l2_keys_avx2(float q_square, const float* sums, const float* offset, const float* norms,
                  std::size_t count, float* out);
bool l2_keys_avx512(float q_square, const float* sums, const float* offset, const float* norms,
                    std::size_t count, float* out);
}  // namespace key_kernels

}  // namespace varnel

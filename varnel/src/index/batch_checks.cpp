#include "index/batch_checks.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "index/id_hash.h"
#include "runtime/error.h"
#include "runtime/page_memory.h"

namespace varnel {

uint64_t vector_count(uint64_t values, uint64_t dim) {
  if (dim == 0) throw Error("attempt to divide by zero");
  const uint64_t count = values / dim;
  if (count * dim != values) {
    throw Error("assertion `left == right` failed: vector buffer not a multiple of dim\n  left: " +
                std::to_string(values) + "\n right: " + std::to_string(count * dim));
  }
  return count;
}

void check_id_count(uint64_t id_count, uint64_t vector_count) {
  if (id_count != vector_count) {
    const std::string got = std::to_string(id_count);
    const std::string expected = std::to_string(vector_count);
    throw Error("assertion `left == right` failed: expected " + expected + " ids, got " + got +
                "\n  left: " + got + "\n right: " + expected);
  }
}

void fail_duplicate(uint64_t id) { throw Error("id " + std::to_string(id) + " already present in index"); }

std::optional<uint64_t> first_repeat(std::span<const uint64_t> ids) {
  {
    PageVector<uint64_t> sorted(ids.begin(), ids.end());
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) return std::nullopt;
  }
  // Some id repeats: which one first, in batch order (keyed hash: no crafted
  // batch makes this quadratic).
  IdSet seen;
  seen.reserve(ids.size());
  for (uint64_t i = 0; i < ids.size(); ++i) {
    if (!seen.insert(ids[i]).second) return i;
  }
  return std::nullopt;
}

float largest_stored_norm() { return std::sqrt(std::numeric_limits<float>::max()); }

std::optional<uint64_t> first_unstorable_vector(std::span<const float> vectors, uint64_t dim) {
  for (uint64_t row = 0; dim > 0 && row < vectors.size() / dim; ++row) {
    float sum = -0.0f;
    for (const float value : vectors.subspan(row * dim, dim)) {
      const float square = value * value;
      sum += square;
    }
    if (!std::isfinite(sum)) return row;
  }
  return std::nullopt;
}

}  // namespace varnel

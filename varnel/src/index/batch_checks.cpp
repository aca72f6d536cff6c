#include "index/batch_checks.h"

#include <string>

#include "runtime/error.h"

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

}  // namespace varnel

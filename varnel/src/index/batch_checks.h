#pragma once
// The checks every index with ids makes of a batch before it changes
// anything, worded the same by each.
#include <cstdint>

namespace varnel {

// Number of whole vectors in a buffer of `values` floats; refuses a ragged
// buffer (and dim 0).
uint64_t vector_count(uint64_t values, uint64_t dim);
// Refuses a batch whose id count differs from its vector count.
void check_id_count(uint64_t id_count, uint64_t vector_count);
// "id {id} already present in index".
[[noreturn]] void fail_duplicate(uint64_t id);

}  // namespace varnel

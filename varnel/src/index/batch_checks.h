#pragma once
// The checks every index with ids makes of a batch before it changes
// anything, worded the same by each.
#include <cstdint>
#include <optional>
#include <span>

namespace varnel {

// Number of whole vectors in a buffer of `values` floats; refuses a ragged
// buffer (and dim 0).
uint64_t vector_count(uint64_t values, uint64_t dim);
// Refuses a batch whose id count differs from its vector count.
void check_id_count(uint64_t id_count, uint64_t vector_count);
// "id {id} already present in index".
[[noreturn]] void fail_duplicate(uint64_t id);
// The position of the first id that repeats an earlier one of `ids`, if any.
// Costs a sorted copy of the ids, not a node per id: a batch of millions
// would leave tens of megabytes of freed nodes in the allocator.
std::optional<uint64_t> first_repeat(std::span<const uint64_t> ids);

// The largest norm an index stores, about 1.8e19: add refuses a vector whose
// float32 squared norm overflows, so no stored norm or vector length exceeds
// the square root of the largest float. Files are held to it too.
float largest_stored_norm();
// The row of the first vector that add cannot store, if any: one with a NaN
// or an infinity, or whose squares, summed in float32 in coordinate order as
// the encoder sums them, overflow.
std::optional<uint64_t> first_unstorable_vector(std::span<const float> vectors, uint64_t dim);

}  // namespace varnel

#pragma once
// The process-wide worker pool that runs searches and the encoding of large
// batches. One thread per hardware thread (the caller included) unless
// VARNEL_NUM_THREADS or set_num_threads says otherwise.
#include <cstddef>
#include <functional>

namespace varnel {

// Number of threads a parallel loop uses (workers plus the calling thread).
std::size_t num_threads();
// Sets the thread count for later loops; 0 restores the default. Must not be
// called while a search runs.
void set_num_threads(std::size_t count);

// Calls body(begin, end) over disjoint subranges covering [0, count), split by
// recursive halving; returns when all are done. Results must not depend on
// how the range is split. Exceptions from body are rethrown on the caller.
void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace varnel

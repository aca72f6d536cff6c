#include "runtime/once_cell.h"

#include <pthread.h>

namespace varnel {
namespace {

std::atomic<uint64_t> generation{0};

void count_fork_in_child() { generation.fetch_add(1, std::memory_order_relaxed); }
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, count_fork_in_child);

}  // namespace

uint64_t fork_generation() { return generation.load(std::memory_order_relaxed); }

}  // namespace varnel

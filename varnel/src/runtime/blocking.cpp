#include "runtime/blocking.h"

#include <utility>

namespace varnel {
namespace {

thread_local const BlockingWrapper* installed_wrapper = nullptr;

}  // namespace

BlockingScope::BlockingScope(BlockingWrapper wrapper)
    : wrapper_(std::move(wrapper)), previous_(installed_wrapper) {
  installed_wrapper = &wrapper_;
}

BlockingScope::~BlockingScope() { installed_wrapper = previous_; }

void wait_blocking(const std::function<void()>& wait) {
  if (installed_wrapper && *installed_wrapper) {
    (*installed_wrapper)(wait);
  } else {
    wait();
  }
}

}  // namespace varnel

#include "runtime/blocking.h"

#include <utility>

#include "runtime/error.h"
#include "runtime/interrupt.h"

namespace varnel {
namespace {

thread_local const BlockingWrapper* installed_wrapper = nullptr;

}  // namespace

BlockingScope::BlockingScope(BlockingWrapper wrapper)
    : wrapper_(std::move(wrapper)), previous_(installed_wrapper) {
  installed_wrapper = &wrapper_;
}

BlockingScope::~BlockingScope() { installed_wrapper = previous_; }

void refuse_wait_inside_interrupt_check() {
  if (interrupt_detail::inside_check()) {
    throw ReentrantCall(
        "varnel was called from a signal handler while another varnel call was running on the "
        "same thread; make the call after that one returns");
  }
}

void wait_blocking(const std::function<void()>& wait) {
  if (installed_wrapper && *installed_wrapper) {
    (*installed_wrapper)(wait);
  } else {
    wait();
  }
}

}  // namespace varnel

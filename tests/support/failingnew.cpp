#include "support/failingnew.h"

#include <cstdlib>
#include <new>

namespace {
// Allocations the calling thread may still make before operator new fails;
// negative: no limit.
thread_local long t_allocationsLeft = -1;
}  // namespace

// Every unaligned form is replaced, so that memory from any of them goes
// back to the allocator it came from.
void *operator new(std::size_t bytes) {
  if (t_allocationsLeft >= 0 && t_allocationsLeft-- == 0) throw std::bad_alloc();
  if (void *p = std::malloc(bytes ? bytes : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](std::size_t bytes) { return operator new(bytes); }
void *operator new(std::size_t bytes, const std::nothrow_t &) noexcept {
  try {
    return operator new(bytes);
  } catch (...) {
    return nullptr;
  }
}
void *operator new[](std::size_t bytes, const std::nothrow_t &) noexcept {
  return operator new(bytes, std::nothrow);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace vorn::test {

void FailAllocationAfter(long allowed) { t_allocationsLeft = allowed; }

bool StopFailingAllocations() {
  const bool failed = t_allocationsLeft < 0;
  t_allocationsLeft = -1;
  return failed;
}

}  // namespace vorn::test

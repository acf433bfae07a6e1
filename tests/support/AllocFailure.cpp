// The failing allocations of AllocFailure.h: malloc and calloc of the test
// program, which pass everything else on to the C library's.
#include "AllocFailure.h"

#include <cerrno>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUIREL_ALLOC_FAILURE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)  // clang's way of saying it
#define QUIREL_ALLOC_FAILURE 0
#endif
#endif
#ifndef QUIREL_ALLOC_FAILURE
#define QUIREL_ALLOC_FAILURE 1
#endif

namespace {

// Initial-exec: reading them allocates nothing, also on a new thread.
#define QUIREL_TLS thread_local __attribute__((tls_model("initial-exec")))
QUIREL_TLS size_t tMinBytes = 0;
QUIREL_TLS long tCountdown = 0;  // allocations of tMinBytes or more until the failing one; 0: none armed
QUIREL_TLS bool tHit = false;

}  // namespace

#if QUIREL_ALLOC_FAILURE
namespace {

// True when this allocation is the one to fail.
bool FailNow(size_t bytes) {
  if (tCountdown <= 0 || bytes < tMinBytes || --tCountdown > 0) return false;
  tHit = true;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" void* __libc_malloc(size_t) noexcept;
extern "C" void* __libc_calloc(size_t, size_t) noexcept;

extern "C" void* malloc(size_t bytes) noexcept { return FailNow(bytes) ? nullptr : __libc_malloc(bytes); }

extern "C" void* calloc(size_t count, size_t size) noexcept {
  return count && size <= size_t(-1) / count && FailNow(count * size) ? nullptr : __libc_calloc(count, size);
}
#endif

namespace quirel::testing {

FailAllocation::FailAllocation(size_t minBytes, long nth) {
  tMinBytes = minBytes;
  tHit = false;
  tCountdown = QUIREL_ALLOC_FAILURE ? nth : 0;
}

FailAllocation::~FailAllocation() { tCountdown = 0; }

bool FailAllocation::Hit() const { return tHit; }

bool FailAllocation::Available() { return QUIREL_ALLOC_FAILURE; }

}  // namespace quirel::testing

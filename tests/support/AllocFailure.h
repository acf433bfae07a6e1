// Allocations that fail on purpose, for tests of what the code does without memory.
#pragma once

#include <cstddef>

namespace quirel::testing {

// While it lives, the `nth` malloc or calloc (counted from 1) of at least
// `minBytes` bytes made by this thread returns null, so that operator new
// throws std::bad_alloc there; every other allocation works. Sanitizer
// builds keep their own allocator: there nothing fails (Available() false).
class FailAllocation {
 public:
  FailAllocation(size_t minBytes, long nth);
  ~FailAllocation();
  FailAllocation(const FailAllocation&) = delete;
  FailAllocation& operator=(const FailAllocation&) = delete;

  // Whether the allocation failed (the code under test reached it).
  bool Hit() const;
  static bool Available();
};

}  // namespace quirel::testing

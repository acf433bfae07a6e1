// MallocBuffer: sole owner of a block from malloc, given back with free.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace ZuzuvovOvav {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// For blocks whose size is only known at run time or that are handed on to
// code that frees them with free() (release() passes the block on).
using MallocBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

}  // namespace ZuzuvovOvav

// FirstFailure: keeping the first failure's text (see FirstFailure.h).
#include "FirstFailure.h"

#include <cstdarg>
#include <cstdio>

namespace ZuzuvovOvav {

bool FirstFailure::Set(const char* format, ...) {
  if (mFailed) return false;
  va_list args;
  va_start(args, format);
  std::vsnprintf(mText, sizeof mText, format, args);
  va_end(args);
  mFailed = true;
  return false;
}

}  // namespace ZuzuvovOvav

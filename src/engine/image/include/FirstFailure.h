// FirstFailure: the image layer's one internal error form.
#pragma once

#include "FujiScanEnums.h"

namespace ZuzuvovOvav {

// A side, its implementation and its JPEG decoder each keep their first
// failure as a text of at most kMaxErrorText bytes; later causes are
// dropped, so the text names what went wrong first. Nothing in the layer
// throws or returns codes for these failures: the owner asks Failed() and
// passes Text() on (ScanImage::GetErrorText), and the scan layer reports it.
class FirstFailure {
 public:
  // Keeps the printf-style text unless a failure is already kept. Returns
  // false, so that a failing step can end with `return mFailure.Set(...)`.
  bool Set(const char* format, ...) __attribute__((format(printf, 2, 3)));

  bool Failed() const { return mFailed; }
  const char* Text() const { return mText; }

 private:
  bool mFailed = false;
  char mText[kMaxErrorText] = {};
};

}  // namespace ZuzuvovOvav

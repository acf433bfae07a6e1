// One page preview on its way to the scan window.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace quirel::frontend {

// `data` holds height x rowBytes bytes, top row first, allocated with
// malloc; whoever receives the record owns the buffer and frees it with
// free. Depth 1: one gray byte per pixel, 0 white and 255 black; any other
// depth: four bytes per pixel in the order ignored byte, red, green, blue.
struct PreviewBitmap {
  uint8_t* data = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 0;
  int32_t rowBytes = 0;
};

// Owns a PreviewBitmap's buffer until it is released to a receiver, so a
// preview whose delivery is dropped (its receiver gone) is still freed.
class PreviewBitmapOwner {
 public:
  explicit PreviewBitmapOwner(PreviewBitmap page) : mPage(page) {}
  ~PreviewBitmapOwner() { std::free(mPage.data); }
  PreviewBitmapOwner(const PreviewBitmapOwner&) = delete;
  PreviewBitmapOwner& operator=(const PreviewBitmapOwner&) = delete;
  PreviewBitmap release() {
    PreviewBitmap page = mPage;
    mPage.data = nullptr;
    return page;
  }

 private:
  PreviewBitmap mPage;
};

}  // namespace quirel::frontend

// A page's packed row length and readiness for writing.
#include "PageData.h"

namespace ZuzuvovOvav {

int64_t PackedRowBytes(const ImageInfo& image) {
  switch (image.mImageType) {
    case kImageTypeLineArt: return (int64_t(image.mWidth) + 7) / 8;
    case kImageTypeGray: return image.mWidth;
    case kImageTypeColor: return int64_t(image.mWidth) * 3;
    default: return 0;
  }
}

const char* PageDataProblem(const ImageInfo& image) {
  if (image.AllocFailed()) return "Page image could not be stored (out of memory).";
  if (PackedRowBytes(image) == 0 && image.mWidth != 0) return "Page image type is not supported.";
  const uint32_t rows = image.ValidLineCount();
  if (rows == 0 || image.mWidth == 0) return "Page image is empty.";
  if (!image.mBitMap || image.mRowBytes < PackedRowBytes(image))
    return "Page image data is missing or incomplete.";
  return nullptr;
}

}  // namespace ZuzuvovOvav

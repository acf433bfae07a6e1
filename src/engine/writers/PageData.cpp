#include "PageData.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "ZLibTask.h"

namespace ZuzuvovOvav {

uint32_t PageRows(const ImageInfo& image) {
  const uint32_t rows = (image.mRotation == 0 && image.mLineCount >= 0)
                            ? uint32_t(image.mLineCount)
                            : image.mHeight;
  return std::min(rows, image.mHeight);
}

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
  const uint32_t rows = PageRows(image);
  if (rows == 0 || image.mWidth == 0) return "Page image is empty.";
  if (!image.mBitMap || image.mRowBytes < PackedRowBytes(image))
    return "Page image data is missing or incomplete.";
  return nullptr;
}

bool DeflatePage(const uint8_t* bits, int64_t stride, int64_t rows, int64_t packedRow,
                 const DeflateSink& sink, MallocBuffer* buffer) {
  const int64_t total = rows * stride;
  if (stride > std::numeric_limits<int>::max() / 2 || packedRow > stride || packedRow < 0)
    return false;
  const int slice = ZLibSliceSize(int(stride));
  const int slot = ZLibSlotSize(slice);
  const int64_t count = (total + slice - 1) / slice;
  // Header, slots from byte 64, checksum after the last slot.
  buffer->reset(static_cast<uint8_t*>(std::malloc(size_t(count * slot + 128))));
  if (!*buffer) return false;
  uint8_t* out = buffer->get();
  out[0] = 0x78;
  out[1] = 0x5E;
  if (!sink(out, 2)) return false;

  std::vector<ZLibTask*> tasks;
  tasks.reserve(size_t(count));
  for (int64_t i = 0; i < count; ++i) {
    const int64_t len = i + 1 < count ? slice : total - i * slice;
    tasks.push_back(new ZLibTask(const_cast<uint8_t*>(bits) + i * slice, int(len), i + 1 == count,
                                 out + 64 + i * slot, slot, int(packedRow),
                                 int(stride - packedRow)));
    tasks.back()->Activate();
  }
  bool ok = true;
  unsigned adler = 1;
  for (ZLibTask* t : tasks) {
    t->Join();
    if (t->mDstLen < 0) ok = false;
    if (ok) ok = sink(t->mDst, size_t(t->mDstLen));
    adler = ZLibTask::adler32_comb(adler, t->mAdler, unsigned(t->mTotalIn));
    delete t;
  }
  if (!ok) return false;
  uint8_t* trailer = out + 64 + count * slot;
  if (count == 0) {
    // No rows: a final empty block keeps the stream well formed.
    trailer[0] = 0x03;
    trailer[1] = 0x00;
    if (!sink(trailer, 2)) return false;
    trailer += 2;
  }
  ZLibTask::put4m(trailer, adler);
  return sink(trailer, 4);
}

}  // namespace ZuzuvovOvav

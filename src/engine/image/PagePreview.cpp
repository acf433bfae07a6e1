// Making the preview of a finished page (see PagePreview.h).
#include "PagePreview.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "HostCpu.h"
#include "ImageInfo.h"
#include "Scaler.h"

namespace ZuzuvovOvav {

namespace {

// Each x86-64 processor has SSE2.
int32_t ReadVectorUnit() {
#if defined(__x86_64__) || defined(__aarch64__)
  return 1;
#else
  return 0;
#endif
}

// Byte b expanded to 8 bytes, 255 for a set bit, bit 7 first.
struct ExpandTable {
  uint8_t entry[256][8];
  ExpandTable() {
    for (int b = 0; b < 256; ++b)
      for (int i = 0; i < 8; ++i) entry[b][i] = (b & (0x80 >> i)) ? 255 : 0;
  }
};
const ExpandTable kExpand;

// Expands `bytes` bytes of each row into dst rows of dstRowBytes, clearing
// the rest of each dst row. bytes must not exceed dstRowBytes / 8.
void ExpandRows(const uint8_t* src, size_t srcPitch, int rows, int bytes, uint8_t* dst, size_t dstRowBytes) {
  for (int r = 0; r < rows; ++r) {
    const uint8_t* s = src + size_t(r) * srcPitch;
    uint8_t* d = dst + size_t(r) * dstRowBytes;
    for (int i = 0; i < bytes; ++i) std::memcpy(d + size_t(i) * 8, kExpand.entry[s[i]], 8);
    std::memset(d + size_t(bytes) * 8, 0, dstRowBytes - size_t(bytes) * 8);
  }
}

enum class PageKind { kOneBit, kGray, kColor };

// How many page rows to skip between sampled rows: fewer on machines that
// can afford more work per preview.
int RowStepFactor(PageKind kind) {
  if (!sHasVectorUnit) return 1;
  const bool color = kind == PageKind::kColor;
  if (sNumCpus <= 1) return color ? 1 : 2;
  if (sNumCpus == 2) return color ? 2 : 3;
  return color ? 3 : 4;
}

struct PreviewGeometry {
  int width;        // h
  int height;       // v
  int rowBytes;
  int step;         // page rows per sampled row
  int sourceRows;   // sampled rows
};

void Send(const ImageInfo* info, int32_t type, void* bitMap, int width, int height, int rowBytes) {
  PagePreview preview{type, bitMap, uint16_t(width), uint16_t(height), uint16_t(rowBytes)};
  info->mParams.mPageScannedFunc(&preview);
}

void SendNone(const ImageInfo* info) { Send(info, kPreviewNone, nullptr, 0, 0, 0); }

// False when no picture can be made (preview size below 1, an empty page or
// a preview row too long for the record); the caller then sends type 0.
bool ComputeGeometry(const ImageInfo* info, PageKind kind, PreviewGeometry* g) {
  const int pw = info->mParams.mPreviewWidth;
  const int ph = info->mParams.mPreviewHeight;
  if (pw < 1 || ph < 1) return false;
  const uint32_t W = info->mWidth;
  const uint32_t L = info->ValidLineCount();
  if (W == 0 || L == 0) return false;

  const float s = std::min(float(pw) / float(W), float(ph) / float(L));
  const float wf = float(W) * s;
  const float hf = float(L) * s;
  g->width = int(double(wf) + 0.5);
  g->height = int(double(hf) + 0.5);
  if (g->width < 1 || g->height < 1) return false;

  int step = int(roundf(1.0f / (s * float(RowStepFactor(kind)))));
  if (step < 1) step = 1;
  // Always sample at least one row.
  if (uint32_t(step) > L) step = int(L);
  g->step = step;
  g->sourceRows = int(L / uint32_t(step));
  // The scaler addresses sampled rows with int offsets.
  if (uint64_t(step) * info->mRowBytes > 0x7FFFFFFF) return false;

  switch (kind) {
    case PageKind::kOneBit:
      g->rowBytes = RoundUpTo16(g->width);
      break;
    case PageKind::kGray:
      g->rowBytes = int(RowStrideAvoidingPowerOf2(uint32_t(g->width)));
      break;
    case PageKind::kColor:
      g->rowBytes = int(RowStrideAvoidingPowerOf2(uint32_t(g->width) * 4));
      break;
  }
  return g->rowBytes <= 0xFFFF;
}

// Sends a gray or colour preview scaled from the sampled rows of the page.
void SendScaled(const ImageInfo* info, PageKind kind) {
  if (!info->mParams.mPageScannedFunc) return;
  PreviewGeometry g;
  if (!info->mBitMap || !ComputeGeometry(info, kind, &g)) return SendNone(info);
  const size_t bytes = size_t(g.height) * size_t(g.rowBytes);
  // Cleared so that the row padding carries no stale heap contents.
  auto* buf = static_cast<uint8_t*>(std::calloc(bytes, 1));
  if (!buf) throw std::bad_alloc();
  quirel::scaler::ImageBuffer src{info->mBitMap, size_t(g.sourceRows), info->mWidth,
                                  size_t(g.step) * info->mRowBytes};
  quirel::scaler::ImageBuffer dst{buf, size_t(g.height), size_t(g.width), size_t(g.rowBytes)};
  const uint32_t flags = quirel::scaler::kScaleLeaveAlphaUnchanged | quirel::scaler::kScaleBackgroundFill;
  if (kind == PageKind::kColor)
    quirel::scaler::ScaleARGB8888(src, dst, flags);
  else
    quirel::scaler::ScalePlanar8(src, dst, flags);
  Send(info, kind == PageKind::kColor ? kPreviewARGB : kPreviewGray, buf, g.width, g.height, g.rowBytes);
}

}  // namespace

const uint8_t sBitCounts[256] = {
    0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    4, 5, 5, 6, 5, 6, 6, 7, 5, 6, 6, 7, 6, 7, 7, 8,
};

int32_t sHasVectorUnit = ReadVectorUnit();
int32_t sNumCpus = quirel::host::LogicalCpuCount();

int32_t RoundUpTo16(int32_t n) { return n - ((n - 1) % 16) + 15; }

uint32_t RowStrideAvoidingPowerOf2(uint32_t n) {
  uint32_t s = (n + 15) & ~uint32_t(15);
  if (s == 0) s = 16;
  while ((s & (s - 1)) == 0) s += 16;
  return s;
}

uint8_t* ExpandBwToGray(const uint8_t* src, int /*unused*/, int rows, int srcRowBytes, int dstRowBytes) {
  const size_t dstRow = dstRowBytes > 0 ? size_t(dstRowBytes) : 0;
  const size_t total = (rows > 0 ? size_t(rows) : 0) * dstRow;
  auto* dst = static_cast<uint8_t*>(std::malloc(total ? total : 1));
  if (!dst || rows <= 0 || dstRow == 0) return dst;
  // Never write past an output row, whatever the source row claims.
  int bytes = std::clamp(srcRowBytes, 0, int(dstRow / 8));
  ExpandRows(src, srcRowBytes > 0 ? size_t(srcRowBytes) : 0, rows, bytes, dst, dstRow);
  return dst;
}

uint8_t* Scale1To8(const uint8_t* src, int srcWidth, int srcRows, int srcRowBytes, int previewWidth,
                   int previewHeight, int previewRowBytes) {
  const size_t outBytes = size_t(std::max(previewHeight, 0)) * size_t(std::max(previewRowBytes, 0));
  auto* out = static_cast<uint8_t*>(std::calloc(outBytes ? outBytes : 1, 1));
  if (!out || srcWidth <= 0 || srcRows <= 0 || srcRowBytes <= 0) return out;
  // Only the bytes that hold the row's pixels are expanded: with a row
  // pitch that skips page rows, expanding the whole pitch would cost several
  // times the page for bytes the scaler never reads.
  const int bytes = std::min(srcRowBytes, (srcWidth + 7) / 8);
  const size_t rowBytes = size_t(bytes) * 8;
  auto* gray = static_cast<uint8_t*>(std::malloc(size_t(srcRows) * rowBytes));
  if (!gray) {
    std::free(out);
    return nullptr;
  }
  ExpandRows(src, size_t(srcRowBytes), srcRows, bytes, gray, rowBytes);
  quirel::scaler::ImageBuffer from{gray, size_t(srcRows), size_t(std::min(srcWidth, bytes * 8)), rowBytes};
  quirel::scaler::ImageBuffer to{out, size_t(std::max(previewHeight, 0)), size_t(std::max(previewWidth, 0)),
                                 size_t(std::max(previewRowBytes, 0))};
  quirel::scaler::ScalePlanar8(from, to, quirel::scaler::kScaleEdgeExtend);
  std::free(gray);
  return out;
}

void CallPagePreviewFor1Bit(const uint8_t* bitMap, const ImageInfo* info) {
  if (!info->mParams.mPageScannedFunc) return;
  PreviewGeometry g;
  if (!bitMap || !ComputeGeometry(info, PageKind::kOneBit, &g)) return SendNone(info);
  uint8_t* buf = Scale1To8(bitMap, int(info->mWidth), g.sourceRows, g.step * int(info->mRowBytes), g.width,
                           g.height, g.rowBytes);
  if (!buf) throw std::bad_alloc();
  Send(info, kPreviewGray, buf, g.width, g.height, g.rowBytes);
}

void CallPagePreviewFor8Bit(const ImageInfo* info) { SendScaled(info, PageKind::kGray); }

void CallPagePreviewFor32Bit(const ImageInfo* info) { SendScaled(info, PageKind::kColor); }

}  // namespace ZuzuvovOvav

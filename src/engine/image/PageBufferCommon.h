// Steps shared by the gray and colour page stores (Buf_Input8 and the
// Buf_Input24Base variants): the scanner geometry of a turned page, the
// paper length with its trim and the 180-degree move, feeding whole lines
// one by one, the 90-degree block turns and the halving of an oversampled
// page. Where the per-pixel work differs it comes in as a template argument,
// so the hot loops stay free of indirect calls.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ImageInfo.h"
#include "PageMemory.h"
#include "Scaler.h"

namespace ZuzuvovOvav {

// A turned page's ImageInfo already holds the turned size, so its scanner
// lines carry mHeight pixels and it has room for mWidth of them.
inline bool TurnedBy90(const ImageInfo& info) { return info.mRotation == 1 || info.mRotation == 2; }

// Pixels in one scanner line.
inline int ScannerLineLength(const ImageInfo& info) {
  return int(TurnedBy90(info) ? info.mHeight : info.mWidth);
}

// Scanner lines the page has room for.
inline int ScannerLineCapacity(const ImageInfo& info) {
  return int(TurnedBy90(info) ? info.mWidth : info.mHeight);
}

// Whole scanner lines placed so far, as published: 0 for the turned pages,
// whose lines are columns.
inline int ScanLenSoFar(const ImageInfo& info, int linesPlaced) {
  return info.mRotation == 0 || info.mRotation == 3 ? linesPlaced : 0;
}

// Sets mLineCount for a paper length of `len` scanner lines. A bottom trim
// longer than the paper leaves an empty page, and a length beyond the
// allocation is cut to it, so that readers of mLineCount never reach outside
// the bitmap. A 180-degree page fills from the bottom, but readers take the
// valid lines from the top: the kept lines move up once, so the page starts
// with the scan's last kept line, and whiten(fromByte, toByte) clears what
// is left below. rowBytes is the page's row stride while scanning.
template <class Whiten>
void SetPageScanLen(ImageInfo* info, uint8_t* pels, size_t rowBytes, int len, Whiten whiten) {
  if (len < 0) return;
  const int count = std::clamp(len - int(info->mParams.mBottomTrim), 0, ScannerLineCapacity(*info));
  const int previous = info->mLineCount;
  info->mLineCount = count;
  if (info->mRotation == 3 && previous < 0 && pels) {
    const size_t H = info->mHeight;
    if (size_t(count) < H) {
      std::memmove(pels, pels + (H - count) * rowBytes, size_t(count) * rowBytes);
      whiten(size_t(count) * rowBytes, H * rowBytes);
    }
  }
}

// Feeds `lines` scanner lines of lineLen bytes (line k at k * lineLen)
// through buf.AppendPels, each as far as the page takes it.
template <class Buf>
void AppendLinesOneByOne(Buf& buf, const unsigned char* data, int lineLen, int lines) {
  for (int k = 0; k < lines; ++k) {
    const unsigned char* line = data + size_t(k) * lineLen;
    int done = 0, took;
    while (done < lineLen && (took = buf.AppendPels(line + done, lineLen - done)) > 0) done += took;
  }
}

// Block turns of kLines whole scanner lines (lineLen bytes apart, pixel j of
// a line at j * pixelBytes) into a page of H rows of `stride` pixels. They
// write one page row at a time: pixel j of the block's lines lands in kLines
// neighbouring page pixels instead of kLines scattered rows. map(src) makes
// one page pixel from the scanner bytes at src.
//
// 90 degrees left: line i goes to column i, pixel j to row H - 1 - j; col
// points at the page pixel of row 0 in the block's first column.
template <int kLines, class Pel, class Map>
inline void TurnBlockLeft(Pel* col, ptrdiff_t stride, int H, const unsigned char* data, size_t pixelBytes,
                          int lineLen, Map map) {
  for (int j = 0; j < H; ++j) {
    Pel* dst = col + ptrdiff_t(H - 1 - j) * stride;
    if (j + 1 < H) __builtin_prefetch(dst - stride, 1);
    const unsigned char* src = data + pixelBytes * size_t(j);
    for (int k = 0; k < kLines; ++k, src += lineLen) dst[k] = map(src);
  }
}

// 90 degrees right: line i goes to column W - 1 - i, pixel j to row j; col
// points at the page pixel of row 0 in the block's first (rightmost) column.
template <int kLines, class Pel, class Map>
inline void TurnBlockRight(Pel* col, ptrdiff_t stride, int H, const unsigned char* data, size_t pixelBytes,
                           int lineLen, Map map) {
  for (int j = 0; j < H; ++j) {
    Pel* dst = col + ptrdiff_t(j) * stride;
    if (j + 1 < H) __builtin_prefetch(dst + stride - (kLines - 1), 1);
    const unsigned char* src = data + pixelBytes * size_t(j);
    for (int k = 0; k < kLines; ++k, src += lineLen) dst[-k] = map(src);
  }
}

// Halves an oversampled page in both directions: its valid lines are scaled
// by `scale` (a scaler of the page's pixel format) into a new bitmap of half
// the width with rows of strideFor(half width) bytes, which replaces pels and
// the ImageInfo's geometry. False, and the page left as it was, when there
// is nothing to halve or no memory for the half page.
template <class StrideFor>
bool HalvePageBitmap(ImageInfo* info, uint8_t*& pels, StrideFor strideFor,
                     int (*scale)(const quirel::scaler::ImageBuffer&, const quirel::scaler::ImageBuffer&, uint32_t)) {
  const uint32_t L = info->ValidLineCount();
  const uint32_t h = L / 2;
  const uint32_t w = info->mWidth / 2;
  if (h == 0 || w == 0 || !pels) return false;
  const uint32_t stride = strideFor(w);
  uint8_t* half = info->AllocPageBitmap(size_t(stride) * h);
  if (!half) return false;
  AdvisePageMemory(half, size_t(stride) * h);
  quirel::scaler::ImageBuffer src{pels, L, info->mWidth, info->mRowBytes};
  quirel::scaler::ImageBuffer dst{half, h, w, stride};
  scale(src, dst, quirel::scaler::kScaleLeaveAlphaUnchanged | quirel::scaler::kScaleBackgroundFill);
  std::free(pels);
  pels = half;
  info->mBitMap = half;
  info->mHeight = h;
  info->mWidth = w;
  info->mRowBytes = stride;
  if (info->mLineCount >= 0) info->mLineCount = int32_t(h);
  return true;
}

}  // namespace ZuzuvovOvav

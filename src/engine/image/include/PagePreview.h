// Page previews: the small picture of each finished side that the page
// buffers send to the job's mPageScannedFunc, and the pixel-map routines
// that build the line-art preview.
//
// Ownership: the PagePreview record lives only for the duration of the
// callback; its mBitMap is allocated with malloc and belongs to the receiver,
// which frees it with free(). The engine keeps no reference.
//
// A preview that cannot be made for lack of memory throws std::bad_alloc:
// the side then fails (ScanImage) instead of going without its preview.
//
// Threads: previews are sent from whichever worker thread finishes a side.
// The machine facts below are set once while the program loads and only read
// afterwards.
#pragma once

#include <cstdint>

namespace ZuzuvovOvav {

class ImageInfo;

struct PagePreview {
  int32_t mType;      // 0 none, 1 8-bit gray (0 white, 255 black), 2 four bytes 0,R,G,B
  void* mBitMap;      // mHeight rows of mRowBytes bytes; null for type 0
  uint16_t mWidth;
  uint16_t mHeight;
  uint16_t mRowBytes;
};

enum PagePreviewTypeE : int32_t {
  kPreviewNone = 0,
  kPreviewGray = 1,
  kPreviewARGB = 2,
};

// Bit count of each byte value (coverage traces).
extern const uint8_t sBitCounts[256];
// Whether the processor has a vector unit (1 on x86-64) and the number of
// processors; they choose how many page rows the previews sample.
extern int32_t sHasVectorUnit;
extern int32_t sNumCpus;

// n rounded up to a multiple of 16 (16 for n = 0).
int32_t RoundUpTo16(int32_t n);
// Row stride for a row of n bytes that avoids powers of two: n rounded up to
// a multiple of 16, then 16 added as long as the result is a power of two.
// Used for gray and colour previews and for 4-byte-pixel pages.
uint32_t RowStrideAvoidingPowerOf2(uint32_t n);

// Builds and sends the preview of a 1-bit page (set bit = black) described by
// info (mWidth, mHeight, mRowBytes, mLineCount, mRotation, mParams).
void CallPagePreviewFor1Bit(const uint8_t* bitMap, const ImageInfo* info);
// Builds and sends the preview of an 8-bit gray page (0 white): info's
// mBitMap, mWidth, mRowBytes and valid line count.
void CallPagePreviewFor8Bit(const ImageInfo* info);
// Builds and sends the preview of a page of 4-byte pixels (0, R, G, B): info's
// mBitMap, mWidth, mRowBytes and valid line count.
void CallPagePreviewFor32Bit(const ImageInfo* info);

// A new malloc'd block of rows x dstRowBytes; each source byte becomes 8
// bytes, 255 for a set bit and 0 for a clear one, bit 7 first; the rest of
// each output row is cleared. rows <= 0 returns the block unfilled; srcRowBytes
// <= 0 gives cleared rows. The second argument is not used.
uint8_t* ExpandBwToGray(const uint8_t* src, int unused, int rows, int srcRowBytes, int dstRowBytes);

// Scales a 1-bit bitmap (srcWidth pixels, srcRows rows, srcRowBytes apart) to
// a new malloc'd 8-bit block of previewHeight rows of previewRowBytes bytes,
// previewWidth pixels of each filled, edges extended; null without memory.
uint8_t* Scale1To8(const uint8_t* src, int srcWidth, int srcRows, int srcRowBytes, int previewWidth,
                   int previewHeight, int previewRowBytes);

}  // namespace ZuzuvovOvav

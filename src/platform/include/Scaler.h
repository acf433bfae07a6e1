// Image scaling for the page pipeline: halving oversampled pages, scaling
// turbo pages and making previews.
//
// Two operations: 8-bit planar images (one byte a pixel) and images of 4-byte
// pixels (each of the four bytes scaled as its own channel, no alpha
// weighting). Source and destination are described by data, height, width
// and row bytes; rows may be padded and the source may skip rows through a
// larger row pitch. Only width pixels of each destination row are written.
//
// Resampling is high quality (Mitchell filter when shrinking, Catmull-Rom
// when enlarging). The flags choose what lies beyond the source edges:
// kScaleEdgeExtend repeats the edge pixels; otherwise (kScaleBackgroundFill)
// they count as the background value 0.
//
// Thread-safe: no shared state; each call allocates its own work memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quirel::scaler {

struct ImageBuffer {
  void* data;
  size_t height;
  size_t width;
  size_t rowBytes;
};

enum ScaleFlags : uint32_t {
  kScaleNoFlags = 0,
  kScaleLeaveAlphaUnchanged = 1,  // accepted; the pad byte is scaled like the others
  kScaleBackgroundFill = 4,       // pixels beyond the edges are 0
  kScaleEdgeExtend = 8,           // pixels beyond the edges repeat the edge
  kScaleHighQuality = 32,         // accepted; resampling is always high quality
};

enum ScaleResult : int {
  kScaleOK = 0,
  kScaleBadGeometry = -21,   // a null buffer, an empty size or row bytes too small
  kScaleSizeTooLarge = -22,  // a size beyond what the resampler handles
  kScaleNoMemory = -23,      // work memory could not be allocated
};

// Planar 8-bit: one byte a pixel.
int ScalePlanar8(const ImageBuffer& src, const ImageBuffer& dst, uint32_t flags);
// Four bytes a pixel.
int ScaleARGB8888(const ImageBuffer& src, const ImageBuffer& dst, uint32_t flags);

}  // namespace quirel::scaler

// Planar 8-bit and 4-byte pixel scaling.
#include "Scaler.h"

#include <climits>

// The one translation unit that carries the resampler's implementation.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include <stb/stb_image_resize.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace quirel::scaler {

namespace {

int Check(const ImageBuffer& src, const ImageBuffer& dst, size_t channels) {
  if (!src.data || !dst.data || src.width == 0 || src.height == 0 || dst.width == 0 || dst.height == 0)
    return kScaleBadGeometry;
  // The resampler works with int sizes and int offsets into the destination.
  if (src.width > INT_MAX / channels || dst.width > INT_MAX / channels || src.height > INT_MAX ||
      dst.height > INT_MAX || src.rowBytes > INT_MAX || dst.rowBytes > INT_MAX)
    return kScaleSizeTooLarge;
  if (src.rowBytes < src.width * channels || dst.rowBytes < dst.width * channels) return kScaleBadGeometry;
  if ((dst.height - 1) * dst.rowBytes + dst.width * channels > size_t(INT_MAX)) return kScaleSizeTooLarge;
  return kScaleOK;
}

int Scale(const ImageBuffer& src, const ImageBuffer& dst, uint32_t flags, int channels) {
  int rc = Check(src, dst, size_t(channels));
  if (rc != kScaleOK) return rc;
  const stbir_edge edge = (flags & kScaleEdgeExtend) ? STBIR_EDGE_CLAMP : STBIR_EDGE_ZERO;
  // Every byte is its own linear channel: the 4-byte pixels carry a pad byte,
  // not an alpha to weight the colours by.
  int ok = stbir_resize_uint8_generic(static_cast<const unsigned char*>(src.data), int(src.width), int(src.height),
                                      int(src.rowBytes), static_cast<unsigned char*>(dst.data), int(dst.width),
                                      int(dst.height), int(dst.rowBytes), channels, STBIR_ALPHA_CHANNEL_NONE, 0, edge,
                                      STBIR_FILTER_DEFAULT, STBIR_COLORSPACE_LINEAR, nullptr);
  return ok ? kScaleOK : kScaleNoMemory;
}

}  // namespace

int ScalePlanar8(const ImageBuffer& src, const ImageBuffer& dst, uint32_t flags) { return Scale(src, dst, flags, 1); }

int ScaleARGB8888(const ImageBuffer& src, const ImageBuffer& dst, uint32_t flags) {
  return Scale(src, dst, flags, 4);
}

}  // namespace quirel::scaler

// What lies on the virtual scanner's glass: sheet sides from image files,
// generated test sides, and blank sides; each can render rows of any window.
//
// Rendered rows hold ordinary RGB samples (0 black, 255 white); the data
// forms of the scanner are made from them (VirtualRender.h). Positions are in
// 1/1200 inch from the top-left corner of the sheet; beyond the sheet the
// scanner sees its white backing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VirtualPageFile.h"

namespace quirel::virt {

// The area of a window: origin, resolution and size in pixels.
struct RenderArea {
  uint32_t left = 0;  // 1/1200 inch
  uint32_t top = 0;
  uint32_t xres = 300;
  uint32_t yres = 300;
  uint32_t width = 0;  // pixels per line
  uint32_t lines = 0;
};

class RowRenderer {
 public:
  virtual ~RowRenderer() = default;
  // Writes line y of the area (3 * width bytes of RGB).
  virtual void Row(uint32_t y, uint8_t* rgb) = 0;
};

// One side of a sheet.
class PageSide {
 public:
  virtual ~PageSide() = default;
  // Size of the sheet in 1/1200 inch.
  virtual uint32_t Width1200() const = 0;
  virtual uint32_t Length1200() const = 0;
  // Identifies the content for the render cache.
  virtual std::string Key() const = 0;
  // Null when the content cannot be had (a page file that no longer
  // decodes), with *error naming the file and the cause.
  virtual std::unique_ptr<RowRenderer> Renderer(const RenderArea& area, std::string* error) const = 0;
  // A side equal to this one outside the band [*top, *bottom) (1/1200 inch),
  // so that a render of it can be copied and only the band redrawn; null
  // when there is none.
  virtual std::shared_ptr<const PageSide> Base(uint32_t* top, uint32_t* bottom) const {
    (void)top;
    (void)bottom;
    return nullptr;
  }
};

// A side taken from a page file at `dpi` pixels per inch; the file is
// decoded for each render of the side and dropped after it.
std::shared_ptr<const PageSide> MakeImageSide(std::shared_ptr<const PageFile> file, int dpi, int index);
// A generated test side of US Letter size: an asymmetric marker, text-like
// lines, a gray ramp, colour patches and the sheet and side number as
// blocks; the back (side 2) is laid out visibly differently.
std::shared_ptr<const PageSide> MakeGeneratedSide(int sheet, int side);
// A white US Letter side.
std::shared_ptr<const PageSide> MakeBlankSide();

}  // namespace quirel::virt

// The sheet sides the virtual scanner feeds: sides from page files and generated test pages.
#include "VirtualPages.h"

#include <algorithm>
#include <cstring>

namespace quirel::virt {

namespace {

constexpr uint32_t kLetterWidth = 10200;   // 8.5 in
constexpr uint32_t kLetterLength = 13200;  // 11 in

// Centre of pixel i in 1/1200 inch, for an origin and a resolution.
inline uint64_t PixelCentre(uint32_t origin, uint32_t i, uint32_t res) {
  return origin + (uint64_t(2 * i + 1) * 600) / res;
}

// ------------------------------------------------------------- image sides

// Renders from the decoded file it owns, so that the samples live only as
// long as one render of the side.
class ImageRenderer : public RowRenderer {
 public:
  ImageRenderer(PageImage image, int dpi, const RenderArea& area) : mImage(std::move(image)), mDpi(dpi), mArea(area) {
    mColumn.resize(area.width);
    for (uint32_t x = 0; x < area.width; ++x) {
      uint64_t sx = PixelCentre(area.left, x, area.xres) * uint64_t(dpi) / 1200;
      mColumn[x] = sx < uint64_t(mImage.width) ? int32_t(sx) : -1;
    }
  }
  void Row(uint32_t y, uint8_t* rgb) override {
    uint64_t sy = PixelCentre(mArea.top, y, mArea.yres) * uint64_t(mDpi) / 1200;
    if (sy >= uint64_t(mImage.height)) {
      std::memset(rgb, 255, size_t(mArea.width) * 3);
      return;
    }
    const uint8_t* src = mImage.rgb.data() + sy * uint64_t(mImage.width) * 3;
    for (uint32_t x = 0; x < mArea.width; ++x) {
      int32_t sx = mColumn[x];
      if (sx < 0) {
        rgb[0] = rgb[1] = rgb[2] = 255;
      } else {
        std::memcpy(rgb, src + size_t(sx) * 3, 3);
      }
      rgb += 3;
    }
  }

 private:
  PageImage mImage;
  int mDpi;
  RenderArea mArea;
  std::vector<int32_t> mColumn;  // source column of each pixel, -1 beyond the image
};

class ImageSide : public PageSide {
 public:
  ImageSide(std::shared_ptr<const PageFile> file, int dpi, int index)
      : mFile(std::move(file)), mDpi(dpi), mIndex(index) {}
  uint32_t Width1200() const override { return uint32_t(uint64_t(mFile->width) * 1200 / mDpi); }
  uint32_t Length1200() const override { return uint32_t(uint64_t(mFile->height) * 1200 / mDpi); }
  std::string Key() const override { return "file" + std::to_string(mIndex) + ":" + mFile->path; }
  std::unique_ptr<RowRenderer> Renderer(const RenderArea& area, std::string* error) const override {
    PageImage image;
    if (!DecodePageFile(*mFile, &image, error)) return nullptr;
    return std::make_unique<ImageRenderer>(std::move(image), mDpi, area);
  }

 private:
  std::shared_ptr<const PageFile> mFile;
  int mDpi;
  int mIndex;
};

// --------------------------------------------------------- generated sides

// A filled rectangle of the page; a ramp runs from `from` at the left edge
// to `to` at the right edge in gray.
struct Shape {
  uint32_t x0, y0, x1, y1;
  uint8_t r, g, b;
  bool ramp = false;
  uint8_t from = 0, to = 0;
};

Shape Solid(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint8_t r, uint8_t g, uint8_t b) {
  return Shape{x0, y0, x1, y1, r, g, b};
}
// The band of the sheet number blocks, the only part that differs between
// the generated sheets of one side.
constexpr uint32_t kNumberTop = 11400, kNumberBottom = 12000;

Shape Black(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) { return Solid(x0, y0, x1, y1, 0, 0, 0); }

std::vector<Shape> LayoutSide(int sheet, int side) {
  std::vector<Shape> s;
  const bool front = side == 1;
  // The marker: a big "F" near the top-left corner; turned or mirrored it
  // no longer reads as an F. The back adds a bar under it.
  s.push_back(Black(600, 600, 960, 3000));
  s.push_back(Black(600, 600, 2400, 960));
  s.push_back(Black(600, 1560, 1800, 1920));
  if (!front) s.push_back(Black(600, 3120, 3000, 3300));

  // Text-like lines of "words" of varying width.
  uint32_t seed = front ? 12345u : 777u;
  int lines = front ? 10 : 6;
  for (int i = 0; i < lines; ++i) {
    uint32_t y = 3600 + uint32_t(i) * 360;
    uint32_t x = front ? 600 : 3000;
    while (true) {
      seed = seed * 1103515245u + 12345u;
      uint32_t w = 300 + (seed >> 16) % 900;
      if (x + w > 9600) break;
      s.push_back(Black(x, y, x + w, y + 144));
      x += w + 200;
    }
  }

  // Gray ramp: black to white on the front, white to black on the back.
  Shape ramp = Solid(600, 7800, 9600, 9000, 0, 0, 0);
  ramp.ramp = true;
  ramp.from = front ? 0 : 255;
  ramp.to = front ? 255 : 0;
  s.push_back(ramp);

  // Colour patches with distinct R, G and B, in reverse order on the back.
  static const uint8_t kPatches[6][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 255, 255}, {255, 0, 255}, {255, 255, 0}};
  for (int i = 0; i < 6; ++i) {
    const uint8_t* c = kPatches[front ? i : 5 - i];
    uint32_t x = 600 + uint32_t(i) * 1440;
    s.push_back(Solid(x, 9600, x + 1200, 10800, c[0], c[1], c[2]));
  }

  // The side as one or two big squares, then the sheet number in 12 binary
  // blocks (most significant first) over a base line.
  for (int i = 0; i < side; ++i) {
    uint32_t x = 600 + uint32_t(i) * 840;
    s.push_back(Black(x, kNumberTop, x + 600, kNumberBottom));
  }
  for (int bit = 0; bit < 12; ++bit) {
    if ((sheet >> (11 - bit)) & 1) {
      uint32_t x = 2400 + uint32_t(bit) * 600;
      s.push_back(Black(x, kNumberTop, x + 360, kNumberBottom));
    }
  }
  s.push_back(Black(2400, 12120, 2400 + 12 * 600, 12180));
  return s;
}

class ShapeRenderer : public RowRenderer {
 public:
  ShapeRenderer(const std::vector<Shape>& shapes, const RenderArea& area) : mArea(area) {
    std::vector<uint64_t> centre(area.width);
    for (uint32_t x = 0; x < area.width; ++x) centre[x] = PixelCentre(area.left, x, area.xres);
    for (const Shape& shape : shapes) {
      Span span;
      span.shape = shape;
      span.first = uint32_t(std::lower_bound(centre.begin(), centre.end(), uint64_t(shape.x0)) - centre.begin());
      span.end = uint32_t(std::lower_bound(centre.begin(), centre.end(), uint64_t(shape.x1)) - centre.begin());
      if (span.first >= span.end) continue;
      if (shape.ramp) {
        for (uint32_t x = span.first; x < span.end; ++x) {
          double t = double(centre[x] - shape.x0) / double(shape.x1 - shape.x0);
          span.ramp.push_back(uint8_t(shape.from + (int(shape.to) - int(shape.from)) * t + 0.5));
        }
      }
      mSpans.push_back(std::move(span));
    }
  }
  void Row(uint32_t y, uint8_t* rgb) override {
    std::memset(rgb, 255, size_t(mArea.width) * 3);
    uint64_t pos = PixelCentre(mArea.top, y, mArea.yres);
    for (const Span& span : mSpans) {
      const Shape& s = span.shape;
      if (pos < s.y0 || pos >= s.y1) continue;
      uint8_t* p = rgb + size_t(span.first) * 3;
      if (s.ramp) {
        for (uint8_t v : span.ramp) {
          p[0] = p[1] = p[2] = v;
          p += 3;
        }
      } else if (s.r == s.g && s.g == s.b) {
        std::memset(p, s.r, size_t(span.end - span.first) * 3);
      } else {
        for (uint32_t x = span.first; x < span.end; ++x) {
          p[0] = s.r;
          p[1] = s.g;
          p[2] = s.b;
          p += 3;
        }
      }
    }
  }

 private:
  struct Span {
    Shape shape;
    uint32_t first = 0, end = 0;  // pixel columns covered
    std::vector<uint8_t> ramp;    // gray of each covered column for a ramp
  };
  RenderArea mArea;
  std::vector<Span> mSpans;
};

class ShapeSide : public PageSide {
 public:
  ShapeSide(std::string key, std::vector<Shape> shapes, int side = 0)
      : mKey(std::move(key)), mShapes(std::move(shapes)), mSide(side) {}
  uint32_t Width1200() const override { return kLetterWidth; }
  uint32_t Length1200() const override { return kLetterLength; }
  std::string Key() const override { return mKey; }
  std::unique_ptr<RowRenderer> Renderer(const RenderArea& area, std::string*) const override {
    return std::make_unique<ShapeRenderer>(mShapes, area);
  }
  std::shared_ptr<const PageSide> Base(uint32_t* top, uint32_t* bottom) const override {
    if (mSide == 0) return nullptr;
    *top = kNumberTop;
    *bottom = kNumberBottom;
    // Sheet 0 has no number blocks; real sheets count from 1.
    return std::make_shared<ShapeSide>("gen0/" + std::to_string(mSide), LayoutSide(0, mSide));
  }

 private:
  std::string mKey;
  std::vector<Shape> mShapes;
  int mSide;  // generated sides with a sheet number: 1 or 2
};

}  // namespace

std::shared_ptr<const PageSide> MakeImageSide(std::shared_ptr<const PageFile> file, int dpi, int index) {
  return std::make_shared<ImageSide>(std::move(file), dpi, index);
}

std::shared_ptr<const PageSide> MakeGeneratedSide(int sheet, int side) {
  return std::make_shared<ShapeSide>("gen" + std::to_string(sheet) + "/" + std::to_string(side), LayoutSide(sheet, side),
                                     side);
}

std::shared_ptr<const PageSide> MakeBlankSide() { return std::make_shared<ShapeSide>("blank", std::vector<Shape>{}); }

}  // namespace quirel::virt

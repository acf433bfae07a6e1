// Window descriptor parsing, the rendering of a side in the data form the window asks for, and the render cache.
#include "VirtualRender.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace quirel::virt {

namespace {

uint32_t Be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

// Longest window the model takes, in 1/1200 inch, for the image type at the
// X resolution (the feeder's long scans depend on both), or the flatbed's.
uint32_t MaxLength1200(const ZuzuvovOvav::ProductSettings& m, uint8_t imageType, uint32_t xres) {
  const double feeder = ZuzuvovOvav::Device::MaxLengthInches(m, ZuzuvovOvav::ImageTypeE(imageType), xres);
  return uint32_t(std::max(feeder, m.mFlatbedHeight) * 1200);
}

uint32_t MaxWidth1200(const ZuzuvovOvav::ProductSettings& m) {
  return uint32_t(std::max(m.mAdfWidth, m.mFlatbedWidth) * 1200);
}

inline uint8_t Luma(const uint8_t* p) { return uint8_t((77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8); }

// Turns one rendered RGB row into one raw scan line of the window's form.
class RawEncoder {
 public:
  RawEncoder(const WindowDesc& w, const uint8_t* lut) : mW(w), mLut(lut), mWidth(w.PixelWidth()) {
    mLuma.resize(mWidth);
    mSum.resize(size_t(mWidth) + 1);
  }

  void Encode(const uint8_t* rgb, uint8_t* out) {
    switch (mW.imageType) {
      case 0: LineArt(rgb, out); break;
      case 2: Gray(rgb, out); break;
      default: Color(rgb, out); break;
    }
  }

 private:
  uint8_t Tone(uint8_t v) const { return mLut ? mLut[v] : v; }

  void LineArt(const uint8_t* rgb, uint8_t* out) {
    for (uint32_t x = 0; x < mWidth; ++x) mLuma[x] = Luma(rgb + 3 * x);
    std::memset(out, 0, mW.LineBytes());
    const bool dynamic = mW.dtc != 0;
    if (dynamic) {
      mSum[0] = 0;
      for (uint32_t x = 0; x < mWidth; ++x) mSum[x + 1] = mSum[x] + mLuma[x];
    }
    const int fixed = mW.threshold ? mW.threshold : 128;
    for (uint32_t x = 0; x < mWidth; ++x) {
      int threshold = fixed;
      if (dynamic) {
        // Halfway between the neighbourhood's mean and mid-gray: dark marks
        // stay black on any background, white paper stays white.
        uint32_t a = x >= 16 ? x - 16 : 0, b = std::min(mWidth, x + 17);
        int mean = int((mSum[b] - mSum[a]) / (b - a));
        threshold = (mean + 128) / 2;
      }
      bool black = mLuma[x] < threshold;
      if (black != mW.reverse) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
  }

  void Gray(const uint8_t* rgb, uint8_t* out) {
    for (uint32_t x = 0; x < mWidth; ++x) {
      uint8_t v = Tone(Luma(rgb + 3 * x));
      out[x] = mW.reverse ? v : uint8_t(255 - v);
    }
  }

  // Raw colour carries high values for dark, in the window's layout.
  void Color(const uint8_t* rgb, uint8_t* out) {
    const bool bgr = mW.colorOrder == 5;
    if (mW.colorInterleave == 1) {
      for (uint32_t x = 0; x < mWidth; ++x, rgb += 3, out += 3) {
        out[bgr ? 2 : 0] = uint8_t(255 - Tone(rgb[0]));
        out[1] = uint8_t(255 - Tone(rgb[1]));
        out[bgr ? 0 : 2] = uint8_t(255 - Tone(rgb[2]));
      }
    } else {
      uint8_t* planes[3] = {out, out + mWidth, out + 2 * size_t(mWidth)};
      if (bgr) std::swap(planes[0], planes[2]);
      for (uint32_t x = 0; x < mWidth; ++x, rgb += 3) {
        planes[0][x] = uint8_t(255 - Tone(rgb[0]));
        planes[1][x] = uint8_t(255 - Tone(rgb[1]));
        planes[2][x] = uint8_t(255 - Tone(rgb[2]));
      }
    }
  }

  const WindowDesc& mW;
  const uint8_t* mLut;
  uint32_t mWidth;
  std::vector<uint8_t> mLuma;
  std::vector<uint64_t> mSum;
};

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
  JpegError* err = reinterpret_cast<JpegError*>(cinfo->err);
  longjmp(err->jump, 1);
}

// Window level 1 (smallest) to 7 (best) as an encoder quality.
int JpegQuality(uint8_t level) {
  if (level == 0) return 80;
  return std::clamp(40 + 8 * int(level), 30, 95);
}

// Encodes the side as a baseline JPEG with a restart marker after every MCU
// row (what lets the interleaved stream alternate sides by rows). JPEG
// carries ordinary samples: 0 is black.
// `first` is the side's line that becomes the image's first line.
bool EncodeJpeg(RowRenderer& renderer, const WindowDesc& w, const uint8_t* lut, uint32_t width, uint32_t first,
                uint32_t lines, std::vector<uint8_t>* out) {
  const bool color = w.imageType == 5;
  std::vector<uint8_t> rgb(size_t(width) * 3);
  std::vector<uint8_t> row(size_t(width) * (color ? 3 : 1));
  jpeg_compress_struct cinfo;
  JpegError err;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = width;
  cinfo.image_height = lines;
  cinfo.input_components = color ? 3 : 1;
  cinfo.in_color_space = color ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, JpegQuality(w.jpegLevel), TRUE);
  if (color) {
    int h = 1, v = 1;
    if (w.jpegSubsample == 0x81) h = 2;
    else if (w.jpegSubsample >= 0x82) h = v = 2;
    cinfo.comp_info[0].h_samp_factor = h;
    cinfo.comp_info[0].v_samp_factor = v;
  }
  cinfo.restart_in_rows = 1;
  // Fixed tables: streams of the same window can then be spliced by rows.
  cinfo.optimize_coding = FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    renderer.Row(first + cinfo.next_scanline, rgb.data());
    if (color) {
      for (size_t i = 0; i < rgb.size(); ++i) row[i] = lut ? lut[rgb[i]] : rgb[i];
    } else {
      for (uint32_t x = 0; x < width; ++x) {
        uint8_t v = Luma(&rgb[3 * size_t(x)]);
        row[x] = lut ? lut[v] : v;
      }
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  out->assign(buffer, buffer + size);
  std::free(buffer);
  return true;
}

// A JPEG stream cut into its header (through the start-of-scan segment) and
// the entropy-coded segments between restart markers.
struct JpegParts {
  size_t headerEnd = 0;
  size_t frame = 0;  // position of the start-of-frame marker
  std::vector<std::pair<size_t, size_t>> segments;
};

bool SplitJpeg(const std::vector<uint8_t>& j, JpegParts* parts) {
  if (j.size() < 4 || j[0] != 0xFF || j[1] != 0xD8) return false;
  size_t pos = 2;
  bool frame = false;
  while (true) {
    if (pos + 4 > j.size() || j[pos] != 0xFF) return false;
    uint8_t marker = j[pos + 1];
    size_t len = Be16(&j[pos + 2]);
    if (marker == 0xC0 || marker == 0xC1) {
      parts->frame = pos;
      frame = true;
    }
    if (marker == 0xDA) {
      parts->headerEnd = pos + 2 + len;
      break;
    }
    pos += 2 + len;
  }
  if (!frame || parts->headerEnd > j.size()) return false;
  size_t start = parts->headerEnd;
  for (size_t i = start; i + 1 < j.size(); ++i) {
    if (j[i] != 0xFF) continue;
    uint8_t m = j[i + 1];
    if (m >= 0xD0 && m <= 0xD7) {
      parts->segments.emplace_back(start, i - start);
      start = i + 2;
      ++i;
    } else if (m == 0xD9) {
      parts->segments.emplace_back(start, i - start);
      return true;
    } else if (m == 0x00) {
      ++i;
    }
  }
  return false;
}

// Index of the first line whose centre lies at or past the end of the sheet.
uint32_t SheetRows(const PageSide& side, const WindowDesc& w, uint32_t lines) {
  uint64_t end = side.Length1200();
  if (end <= w.top) return 0;
  uint64_t rows = (end - w.top) * w.yres / 1200 + 1;
  while (rows > 0 && w.top + ((2 * (rows - 1) + 1) * 600) / w.yres >= end) --rows;
  return uint32_t(std::min<uint64_t>(rows, lines));
}

}  // namespace

uint32_t WindowDesc::McuWidth() const { return imageType == 5 && jpegSubsample >= 0x81 ? 16 : 8; }

uint32_t WindowDesc::LineBytes() const {
  uint32_t px = PixelWidth();
  switch (imageType) {
    case 0: return (px + 7) / 8;
    case 2: return px;
    default: return 3 * px;
  }
}

bool ParseWindow(const uint8_t* d, const ZuzuvovOvav::ProductSettings& model, WindowDesc* w, std::string* why) {
  WindowDesc r;
  std::memcpy(r.bytes, d, kWindowDescLen);
  r.id = d[0];
  r.xres = Be16(d + 2);
  r.yres = Be16(d + 4);
  r.left = Be32(d + 6);
  r.top = Be32(d + 10);
  r.width1200 = Be32(d + 14);
  r.length1200 = Be32(d + 18);
  r.threshold = d[23];
  r.imageType = d[25];
  r.reverse = (d[29] & 0x80) != 0;
  r.jpeg = d[33] != 0 || (d[32] >= 0x80 && d[32] <= 0x83);
  r.jpegSubsample = r.jpeg ? d[32] : 0;
  r.jpegLevel = r.jpeg ? d[33] : 0;
  r.colorInterleave = d[42];
  r.colorOrder = d[43];
  r.dtc = r.imageType == 0 ? d[62] : 0;

  if (r.id != 0x00 && r.id != 0x80) return *why = "window id is neither 0x00 nor 0x80", false;
  if (r.xres < 50 || r.xres > 1200 || r.yres < 50 || r.yres > 1200)
    return *why = "resolution outside 50 to 1200 dpi", false;
  if (r.imageType != 0 && r.imageType != 2 && r.imageType != 5) return *why = "unknown image type", false;
  if (r.PixelWidth() == 0 || r.Lines() == 0) return *why = "empty window", false;
  if (uint64_t(r.left) + r.width1200 > uint64_t(MaxWidth1200(model)) + 2) return *why = "window wider than the scanner", false;
  if (uint64_t(r.top) + r.length1200 > uint64_t(MaxLength1200(model, r.imageType, r.xres)) + 2)
    return *why = "window longer than the scanner takes", false;
  if (r.jpeg) {
    if (!model.mSupportsJpeg) return *why = "JPEG asked of a model without JPEG", false;
    if (r.imageType == 0) return *why = "JPEG asked for line art", false;
    if (d[32] != 0 && (d[32] < 0x80 || d[32] > 0x83)) return *why = "unknown JPEG subsampling", false;
    if (r.PixelWidth() > 16000 || r.Lines() > 65500) return *why = "window too large for JPEG", false;
  } else if (d[32] != 0) {
    return *why = "unsupported compression", false;
  }
  if (r.imageType == 5 && !r.jpeg) {
    if (r.colorInterleave > 1 || (r.colorOrder != 0 && r.colorOrder != 5))
      return *why = "unknown colour interleave or order", false;
  }
  *w = r;
  return true;
}

uint64_t SideData::Size() const {
  uint64_t size = body ? body->size() : 0;
  if (fillRow) size += uint64_t(fillRow->size()) * fillRows;
  return size;
}

void SideData::Read(uint64_t offset, uint32_t n, uint8_t* dst) const {
  if (overlay && !overlay->empty()) {
    const uint64_t end = overlayAt + overlay->size();
    if (offset < end && offset + n > overlayAt) {
      // The parts before, inside and after the overlay.
      if (offset < overlayAt) {
        uint32_t k = uint32_t(overlayAt - offset);
        ReadBase(offset, k, dst);
        offset += k, dst += k, n -= k;
      }
      uint32_t k = uint32_t(std::min<uint64_t>(n, end - offset));
      std::memcpy(dst, overlay->data() + (offset - overlayAt), k);
      offset += k, dst += k, n -= k;
    }
  }
  ReadBase(offset, n, dst);
}

void SideData::ReadBase(uint64_t offset, uint32_t n, uint8_t* dst) const {
  if (n == 0) return;
  uint64_t bodySize = body ? body->size() : 0;
  if (offset < bodySize) {
    uint32_t k = uint32_t(std::min<uint64_t>(n, bodySize - offset));
    std::memcpy(dst, body->data() + offset, k);
    dst += k;
    offset += k;
    n -= k;
  }
  if (n == 0 || !fillRow || fillRow->empty()) return;
  const uint64_t rowLen = fillRow->size();
  uint64_t inRow = (offset - bodySize) % rowLen;
  while (n > 0) {
    uint32_t k = uint32_t(std::min<uint64_t>(n, rowLen - inRow));
    std::memcpy(dst, fillRow->data() + inRow, k);
    dst += k;
    n -= k;
    inRow = 0;
  }
}

uint32_t SideLines(const PageSide& side, const WindowDesc& w, bool autoLength, uint32_t overscanLines) {
  uint32_t lines = w.Lines();
  if (!autoLength) return lines;
  // A scanner that detects the paper's end goes on over the white backing
  // for a little while; the host trims that much off again.
  return std::min<uint32_t>(lines, std::max<uint32_t>(1, SheetRows(side, w, lines)) + overscanLines);
}

SideData RenderSide(const PageSide& side, const WindowDesc& w, const RenderOptions& options, std::string* error) {
  SideData out;
  const uint32_t width = w.PixelWidth();
  const uint32_t lines =
      options.forcedLines ? options.forcedLines : SideLines(side, w, options.autoLength, options.overscanLines);
  RenderArea area{w.left, w.top, w.xres, w.yres, width, lines};
  std::string why;
  std::unique_ptr<RowRenderer> renderer = side.Renderer(area, &why);
  if (!renderer) {
    if (error) *error = why;
    return out;
  }
  out.pixelWidth = width;
  out.lines = lines;
  if (w.jpeg) {
    auto body = std::make_shared<std::vector<uint8_t>>();
    if (EncodeJpeg(*renderer, w, options.lut, width, 0, lines, body.get())) out.body = std::move(body);
    return out;
  }
  const uint32_t lineBytes = w.LineBytes();
  const uint32_t rows = SheetRows(side, w, lines);
  RawEncoder encoder(w, options.lut);
  std::vector<uint8_t> rgb(size_t(width) * 3);
  auto body = std::make_shared<std::vector<uint8_t>>(size_t(rows) * lineBytes);
  for (uint32_t y = 0; y < rows; ++y) {
    renderer->Row(y, rgb.data());
    encoder.Encode(rgb.data(), body->data() + size_t(y) * lineBytes);
  }
  // Past the end of the sheet every line sees the same white backing.
  auto fill = std::make_shared<std::vector<uint8_t>>(lineBytes);
  std::fill(rgb.begin(), rgb.end(), uint8_t(255));
  encoder.Encode(rgb.data(), fill->data());
  out.body = std::move(body);
  out.fillRow = std::move(fill);
  out.fillRows = lines - rows;
  out.lineBytes = lineBytes;
  return out;
}

SideData PatchSide(const SideData& base, const PageSide& side, const WindowDesc& w, const RenderOptions& options,
                   uint32_t top1200, uint32_t bottom1200, std::string* error) {
  SideData out = base;
  if (!base.body || bottom1200 <= w.top) return out;
  // Lines whose centres may fall in the band, one more on each side.
  const uint32_t lines = base.lines;
  uint64_t y0 = top1200 > w.top ? uint64_t(top1200 - w.top) * w.yres / 1200 : 0;
  y0 = y0 > 0 ? y0 - 1 : 0;
  uint64_t y1 = std::min<uint64_t>(lines, uint64_t(bottom1200 - w.top) * w.yres / 1200 + 2);
  if (y0 >= y1) return out;
  RenderArea area{w.left, w.top, w.xres, w.yres, base.pixelWidth, lines};
  std::string why;
  std::unique_ptr<RowRenderer> renderer = side.Renderer(area, &why);
  if (!renderer) {
    if (error) *error = why;
    return SideData();
  }

  if (!w.jpeg) {
    const uint64_t rows = base.body->size() / base.lineBytes;
    y1 = std::min<uint64_t>(y1, rows);
    if (y0 >= y1) return out;
    auto overlay = std::make_shared<std::vector<uint8_t>>((y1 - y0) * base.lineBytes);
    RawEncoder encoder(w, options.lut);
    std::vector<uint8_t> rgb(size_t(base.pixelWidth) * 3);
    for (uint64_t y = y0; y < y1; ++y) {
      renderer->Row(uint32_t(y), rgb.data());
      encoder.Encode(rgb.data(), overlay->data() + (y - y0) * base.lineBytes);
    }
    out.overlay = std::move(overlay);
    out.overlayAt = y0 * base.lineBytes;
    return out;
  }

  // JPEG: every MCU row is a restart interval of its own, so the rows of the
  // band are encoded alone and their segments replace the base's.
  const uint32_t mcu = (w.imageType == 5 && w.jpegSubsample >= 0x82) ? 16 : 8;
  const uint32_t first = uint32_t(y0) / mcu * mcu;
  const uint32_t end = std::min<uint32_t>(lines, (uint32_t(y1) + mcu - 1) / mcu * mcu);
  std::vector<uint8_t> band;
  JpegParts bp, bandParts;
  if (!SplitJpeg(*base.body, &bp) || bp.segments.size() != (lines + mcu - 1) / mcu ||
      !EncodeJpeg(*renderer, w, options.lut, base.pixelWidth, first, end - first, &band) ||
      !SplitJpeg(band, &bandParts) || bandParts.segments.size() != (end - first + mcu - 1) / mcu) {
    return RenderSide(side, w, options, error);
  }
  const std::vector<uint8_t>& b = *base.body;
  auto body = std::make_shared<std::vector<uint8_t>>(b.begin(), b.begin() + bp.headerEnd);
  body->reserve(b.size() + band.size());
  const size_t firstRow = first / mcu;
  for (size_t k = 0; k < bp.segments.size(); ++k) {
    const bool patched = k >= firstRow && k - firstRow < bandParts.segments.size();
    const std::vector<uint8_t>& src = patched ? band : b;
    const auto& seg = patched ? bandParts.segments[k - firstRow] : bp.segments[k];
    if (k > 0) {
      body->push_back(0xFF);
      body->push_back(uint8_t(0xD0 + (k - 1) % 8));
    }
    body->insert(body->end(), src.begin() + seg.first, src.begin() + seg.first + seg.second);
  }
  body->push_back(0xFF);
  body->push_back(0xD9);
  out.body = std::move(body);
  return out;
}

SideData InterleaveJpeg(const SideData& front, const SideData& back) {
  SideData out;
  if (!front.body || !back.body) return out;
  const std::vector<uint8_t>& f = *front.body;
  const std::vector<uint8_t>& b = *back.body;
  JpegParts fp, bp;
  if (!SplitJpeg(f, &fp) || !SplitJpeg(b, &bp) || fp.segments.size() != bp.segments.size() ||
      front.pixelWidth != back.pixelWidth || front.lines != back.lines || 2 * front.pixelWidth > 0xFFFF)
    return out;
  auto body = std::make_shared<std::vector<uint8_t>>(f.begin(), f.begin() + fp.headerEnd);
  // The frame header describes the double-width image.
  uint32_t doubled = 2 * front.pixelWidth;
  (*body)[fp.frame + 7] = uint8_t(doubled >> 8);
  (*body)[fp.frame + 8] = uint8_t(doubled);
  body->reserve(f.size() + b.size());
  int restart = 0;
  auto marker = [&](uint8_t code) {
    body->push_back(0xFF);
    body->push_back(code);
  };
  for (size_t k = 0; k < fp.segments.size(); ++k) {
    body->insert(body->end(), f.begin() + fp.segments[k].first, f.begin() + fp.segments[k].first + fp.segments[k].second);
    marker(uint8_t(0xD0 + restart++ % 8));
    body->insert(body->end(), b.begin() + bp.segments[k].first, b.begin() + bp.segments[k].first + bp.segments[k].second);
    if (k + 1 < fp.segments.size()) marker(uint8_t(0xD0 + restart++ % 8));
  }
  marker(0xD9);
  out.body = std::move(body);
  out.pixelWidth = front.pixelWidth;
  out.lines = front.lines;
  return out;
}

SideData CutJpeg(const SideData& side, uint32_t lines, uint32_t mcuLines) {
  SideData out;
  if (!side.body || mcuLines == 0) return out;
  const std::vector<uint8_t>& j = *side.body;
  JpegParts parts;
  if (!SplitJpeg(j, &parts)) return out;
  const size_t rows = (size_t(lines) + mcuLines - 1) / mcuLines;
  if (rows >= parts.segments.size()) return side;
  auto body = std::make_shared<std::vector<uint8_t>>(j.begin(), j.begin() + parts.headerEnd);
  for (size_t k = 0; k < rows; ++k) {
    const auto& seg = parts.segments[k];
    body->insert(body->end(), j.begin() + seg.first, j.begin() + seg.first + seg.second);
    body->push_back(0xFF);
    body->push_back(uint8_t(0xD0 + k % 8));
  }
  out = side;
  out.body = std::move(body);
  return out;
}

bool RenderCache::Get(const std::string& key, SideData* out) {
  for (auto it = mEntries.begin(); it != mEntries.end(); ++it) {
    if (it->first != key) continue;
    mEntries.splice(mEntries.begin(), mEntries, it);
    *out = mEntries.front().second;
    return true;
  }
  return false;
}

void RenderCache::Put(const std::string& key, const SideData& data) {
  mEntries.emplace_front(key, data);
  uint64_t total = 0;
  size_t count = 0;
  for (auto it = mEntries.begin(); it != mEntries.end(); ++it, ++count) {
    total += it->second.body ? it->second.body->size() : 0;
    if (it != mEntries.begin() && (total > mBudget || count >= mEntryLimit)) {
      mEntries.erase(it, mEntries.end());
      break;
    }
  }
}

}  // namespace quirel::virt

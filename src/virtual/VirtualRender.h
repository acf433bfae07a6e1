// Window descriptors as the virtual scanner reads them, and the rendering of
// one sheet side into the data form a scanner of the model sends for a
// window: packed line art, gray, colour in the model's interleave and order,
// or JPEG; and the interleaved duplex JPEG stream of models that send both
// sides in one stream.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "FujiDevice.h"
#include "VirtualPages.h"

namespace quirel::virt {

constexpr int kWindowDescLen = 64;

// One 64-byte window descriptor, decoded.
struct WindowDesc {
  uint8_t id = 0;
  uint32_t xres = 0, yres = 0;
  uint32_t left = 0, top = 0, width1200 = 0, length1200 = 0;
  uint8_t threshold = 0;
  uint8_t imageType = 0;  // 0 line art, 2 gray, 5 colour
  bool reverse = false;
  bool jpeg = false;
  uint8_t jpegSubsample = 0;  // window byte 32 when JPEG
  uint8_t jpegLevel = 0;
  uint8_t colorInterleave = 0;  // 1 pixel-interleaved, 0 line-interleaved
  uint8_t colorOrder = 0;       // 0 RGB, 5 BGR
  uint8_t dtc = 0;              // byte 62: non-zero asks for a dynamic threshold
  uint8_t bytes[kWindowDescLen] = {};

  uint32_t PixelWidth() const { return uint32_t(uint64_t(width1200) * xres / 1200); }
  uint32_t Lines() const { return uint32_t(uint64_t(length1200) * yres / 1200); }
  // Bytes of one raw scan line.
  uint32_t LineBytes() const;
  // Pixels across one JPEG block row's unit (MCU) of the window's data.
  uint32_t McuWidth() const;
};

// Decodes one descriptor and checks it against the model; false with the
// reason when the scanner would refuse it.
bool ParseWindow(const uint8_t* desc, const ZuzuvovOvav::ProductSettings& model, WindowDesc* w, std::string* why);

// The bytes of one rendered side: a body, then `fillRows` copies of
// `fillRow` (the white backing past the end of the sheet, kept as one row so
// that long windows cost no memory). An overlay replaces the bytes from
// `overlayAt` on, so that sides sharing most of their body share its memory.
struct SideData {
  std::shared_ptr<const std::vector<uint8_t>> body;
  std::shared_ptr<const std::vector<uint8_t>> overlay;
  uint64_t overlayAt = 0;
  std::shared_ptr<const std::vector<uint8_t>> fillRow;
  uint64_t fillRows = 0;
  uint32_t lineBytes = 0;   // raw data: bytes per line; JPEG: 0
  uint32_t pixelWidth = 0;  // pixels per line
  uint32_t lines = 0;       // lines of the side as sent

  uint64_t Size() const;
  // Copies n bytes from offset `offset`; the caller stays within Size().
  void Read(uint64_t offset, uint32_t n, uint8_t* dst) const;

 private:
  void ReadBase(uint64_t offset, uint32_t n, uint8_t* dst) const;
};

struct RenderOptions {
  const uint8_t* lut = nullptr;  // tone table sent by the host, or null
  bool autoLength = false;       // end the side at the end of the sheet
  uint32_t overscanLines = 0;    // with autoLength: lines scanned past the sheet's end
  uint32_t forcedLines = 0;      // when non-zero: exactly this many lines
};

// The lines a side has for a window (automatic length ends it at the sheet).
uint32_t SideLines(const PageSide& side, const WindowDesc& w, bool autoLength, uint32_t overscanLines = 0);

// Renders one side; an empty body on an encoder failure, or when the side's
// content cannot be had (with *error naming the cause, when given).
SideData RenderSide(const PageSide& side, const WindowDesc& w, const RenderOptions& options,
                    std::string* error = nullptr);

// Renders a side that equals the side `base` was rendered from, with the
// same window and options, everywhere outside the band [top, bottom) in
// 1/1200 inch: a copy of the base with only the band's lines redrawn.
SideData PatchSide(const SideData& base, const PageSide& side, const WindowDesc& w, const RenderOptions& options,
                   uint32_t top1200, uint32_t bottom1200, std::string* error = nullptr);

// One stream carrying two JPEG sides of equal size: the header of a
// double-width image whose restart interval is half an MCU row, then the
// rows' entropy-coded segments alternating front, back, each ended by a
// restart marker, the last by the end-of-image marker. Empty when the inputs
// are not two such JPEG images.
SideData InterleaveJpeg(const SideData& front, const SideData& back);

// The first rows of blocks of a JPEG side that hold at least `lines` lines,
// each followed by its restart marker, and no end-of-image marker: a stream
// that ends where the paper ended while its header keeps the side's length.
// The side as it is when it has no more rows; empty when it is no such JPEG.
SideData CutJpeg(const SideData& side, uint32_t lines, uint32_t mcuLines);

// A small cache of rendered sides, so that rescanning the same content with
// the same window costs a copy, not a render. It holds the renderings in
// flight, not a stack's worth: the sides of about two sheets, which is also
// room for the two shared base renderings of generated sheets.
class RenderCache {
 public:
  // Keeps the `entries` most recently used renderings within `budget` bytes
  // (and always the newest one).
  explicit RenderCache(size_t entries = 4, uint64_t budget = 256ull << 20) : mEntryLimit(entries), mBudget(budget) {}
  bool Get(const std::string& key, SideData* out);
  void Put(const std::string& key, const SideData& data);

 private:
  size_t mEntryLimit;
  uint64_t mBudget;
  std::list<std::pair<std::string, SideData>> mEntries;  // most recent first
};

}  // namespace quirel::virt

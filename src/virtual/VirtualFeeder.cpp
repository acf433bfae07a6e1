// The virtual scanner's paper path: sheets picked, their faults planned and sides rendered; SCAN, OBJECT POSITION.
#include "VirtualScannerCore.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "VirtualWire.h"

namespace quirel::virt {

using namespace wire;

bool ScannerCore::LoadNextSheet() {
  const int number = mFedSheets + 1;
  mSheet = Sheet();
  mSide[0].active = mSide[1].active = false;
  if (mConfig.faults.coverOpenSheet && number >= mConfig.faults.coverOpenSheet) mCoverOpen = true;
  if (mCoverOpen) {
    Check(0x03, 0x80, 0x02);
    return false;
  }
  bool empty = mConfig.pages.empty() ? number > mConfig.sheets : mPageCursor >= mConfig.pages.size();
  if (mLastPickedSheet != 0 && number > mLastPickedSheet) empty = true;
  if (empty) {
    Check(0x03, 0x80, 0x03);
    return false;
  }
  mFedSheets = number;
  mSheet.present = true;
  mSheet.number = number;
  return true;
}

void ScannerCore::DoObjectPosition() {
  switch (mCdb[1] & 0x07) {
    case 1:
      if (LoadNextSheet()) Good();
      return;
    case 0:
      mSheet = Sheet();
      mSide[0].active = mSide[1].active = false;
      return Good();
    default:
      return Refuse(0x24, "unknown object position");
  }
}

void ScannerCore::PlanFaults(Sheet* sheet) {
  const FaultSet& f = mConfig.faults;
  if (f.unplugSheet == sheet->number) {
    sheet->fault = SheetFault::kUnplug;
  } else if (f.jamSheet == sheet->number) {
    sheet->fault = SheetFault::kJam;
  } else if (f.doubleFeedSheet == sheet->number && mDoubleFeedDetect) {
    // A scanner told to keep scanning only notes the double feed.
    if (mDoubleFeedKeepScanning) sheet->doubleFeedFlag = true;
    else sheet->fault = SheetFault::kDoubleFeed;
  }
}

uint32_t ScannerCore::OverscanLines(const WindowDesc& w) const {
  // What the host trims off a side whose length the scanner detected: the
  // model's trim, and the last rows of a JPEG side.
  uint32_t lines = uint32_t(mModel.mAutoLenTrim * w.yres + 0.5);
  if (w.jpeg) lines += w.jpegSubsample ? 8 : 4;
  return lines;
}

SideData ScannerCore::Render(const PageSide& side, const WindowDesc& w, uint32_t forcedLines, bool autoLength,
                             std::string* error) {
  RenderOptions options;
  options.lut = mHaveLut ? mLut : nullptr;
  options.autoLength = autoLength;
  options.forcedLines = forcedLines;
  options.overscanLines = OverscanLines(w);
  // Generated sheets differ only in a band: the base is rendered once per
  // window and each sheet redraws the band of a copy.
  uint32_t top = 0, bottom = 0;
  if (std::shared_ptr<const PageSide> base = side.Base(&top, &bottom)) {
    SideData data = Render(*base, w, forcedLines, autoLength, error);
    return data.body ? PatchSide(data, side, w, options, top, bottom, error) : data;
  }
  std::string key = side.Key();
  char buf[4];
  for (int i = 1; i < kWindowDescLen; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", w.bytes[i]);
    key += buf;
  }
  key += autoLength ? "/a" : "/f";
  key += '/';
  key += std::to_string(forcedLines);
  if (mHaveLut) key.append(reinterpret_cast<const char*>(mLut), 256);
  SideData data;
  if (mCache.Get(key, &data)) return data;
  data = RenderSide(side, w, options, error);
  if (data.body) mCache.Put(key, data);
  return data;
}

void ScannerCore::RenderFailed(const std::string& error) {
  // A real scanner has no such fault; the nearest is a failure of its image
  // processing. The host cannot learn the cause, so it is told here.
  if (!error.empty()) std::fprintf(stderr, "virtual scanner: %s\n", error.c_str());
  Check(0x04, 0x00, 0x05);
}

bool ScannerCore::RenderSides(bool front, bool back, bool flatbed) {
  const bool autoLength = mAutoLength && !flatbed;
  mInterleaved = false;
  if (front && back && mModel.mJpegInterleave && mWindow[0].jpeg && mWindow[1].jpeg) {
    // Both sides travel in one stream through the front window.
    const WindowDesc& w0 = mWindow[0];
    const WindowDesc& w1 = mWindow[1];
    if (w0.PixelWidth() != w1.PixelWidth() || w0.yres != w1.yres || w0.imageType != w1.imageType ||
        w0.jpegSubsample != w1.jpegSubsample || w0.jpegLevel != w1.jpegLevel) {
      Check(0x05, 0x2C, 0x02);
      return false;
    }
    uint32_t lines = std::max(SideLines(*mSheet.front, w0, autoLength, OverscanLines(w0)),
                              SideLines(*mSheet.back, w1, autoLength, OverscanLines(w1)));
    std::string error;
    SideData f = Render(*mSheet.front, w0, lines, false, &error);
    SideData b = f.body ? Render(*mSheet.back, w1, lines, false, &error) : SideData();
    SideData both = InterleaveJpeg(f, b);
    if (!both.body) {
      RenderFailed(error);
      return false;
    }
    mInterleaved = true;
    mSide[0] = SideState();
    mSide[0].data = std::move(both);
    mSide[0].paperLines = autoLength ? lines : w0.Lines();
  } else {
    for (int slot = 0; slot < 2; ++slot) {
      if (!(slot == 0 ? front : back)) continue;
      const PageSide& content = (slot == 0 || flatbed) ? *mSheet.front : *mSheet.back;
      std::string error;
      const WindowDesc& w = mWindow[slot];
      const bool windowLength = autoLength && w.jpeg && mConfig.jpegWindowLength;
      SideData data = windowLength ? Render(content, w, w.Lines(), false, &error)
                                   : Render(content, w, 0, autoLength, &error);
      uint32_t paperLines = autoLength ? data.lines : w.Lines();
      if (windowLength && data.body) {
        // The header keeps the window's length; the stream ends one row of
        // blocks past the paper, so that a decoder can finish the paper's
        // last row.
        paperLines = std::min(SideLines(content, w, true, OverscanLines(w)), w.Lines());
        const uint32_t mcu = (w.imageType == 5 && w.jpegSubsample >= 0x82) ? 16 : 8;
        data = CutJpeg(data, paperLines + mcu, mcu);
      }
      if (!data.body) {
        RenderFailed(error);
        return false;
      }
      mSide[slot] = SideState();
      mSide[slot].data = std::move(data);
      mSide[slot].paperLines = paperLines;
    }
  }
  for (int slot = 0; slot < 2; ++slot) {
    const bool used = mInterleaved ? slot == 0 : (slot == 0 ? front : back);
    if (!used) continue;
    mSide[slot].active = true;
    mSide[slot].busyLeft = mConfig.faults.busyAnswers;
    mSide[slot].bogusPending = mConfig.faults.bogusTimeout;
  }
  return true;
}

void ScannerCore::DoScan() {
  const uint32_t count = mCdb[4];
  if (count == 0 || count > 2 || mOut.size() != count) return Refuse(0x24, "SCAN names neither one nor two windows");
  bool front = false, back = false;
  for (uint32_t i = 0; i < count; ++i) {
    bool& which = mOut[i] == 0x00 ? front : back;
    if ((mOut[i] != 0x00 && mOut[i] != 0x80) || which) return Refuse(0x26, "SCAN window list");
    which = true;
  }
  if ((front && !mHaveWindow[0]) || (back && !mHaveWindow[1])) return Check(0x05, 0x2C, 0x00);
  mSide[0] = SideState();
  mSide[1] = SideState();
  if (mFlatbed) {
    if (front && back) return Check(0x05, 0x2C, 0x02);
    mSheet = Sheet();
    mSheet.present = true;
    mSheet.front = mConfig.pages.empty() ? MakeGeneratedSide(1, 1) : MakeImageSide(mConfig.pages[0], mConfig.dpi, 0);
  } else {
    if (!mSheet.present || mSheet.scanned) {
      if (!LoadNextSheet()) return;
    }
    if (!mSheet.front) {
      if (mConfig.pages.empty()) {
        mSheet.front = MakeGeneratedSide(mSheet.number, 1);
        mSheet.back = MakeGeneratedSide(mSheet.number, 2);
      } else {
        // In a duplex scan two images make one sheet; in a simplex scan each
        // image is a sheet with a blank back.
        size_t i = mPageCursor++;
        mSheet.front = MakeImageSide(mConfig.pages[i], mConfig.dpi, int(i));
        if (front && back && mPageCursor < mConfig.pages.size()) {
          i = mPageCursor++;
          mSheet.back = MakeImageSide(mConfig.pages[i], mConfig.dpi, int(i));
        } else {
          mSheet.back = MakeBlankSide();
        }
      }
      PlanFaults(&mSheet);
    }
    mSheet.scanned = true;
  }
  if (!RenderSides(front, back, mFlatbed)) return;
  if (mSheet.fault != SheetFault::kNone) {
    // The fault strikes partway through the front side.
    uint64_t size = mSide[0].data.Size();
    mSheet.faultAt = mSheet.fault == SheetFault::kUnplug ? size / 2 : size / 3;
  }
  Good();
}

}  // namespace quirel::virt

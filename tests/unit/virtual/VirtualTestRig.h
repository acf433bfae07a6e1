// Helpers for the virtual scanner tests: a Device opened on a virtual bus
// under a fake clock, windows built from plain parameters, a reader that
// runs READs until each side ends, page files, and decoders for the data
// forms the scanner sends.
#pragma once

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <unistd.h>

#include "FujiCmds.h"
#include "ScriptedUsb.h"
#include "TempDir.h"
#include "VirtualScanner.h"

namespace quirel::vtest {

using namespace ZuzuvovOvav;

struct Rgb {
  uint8_t r, g, b;
};
using PixelFn = std::function<Rgb(int x, int y)>;

// A temporary folder for page files, removed with them at the end of the test.
class PageDir : public testing::TempDir {
 public:
  PageDir() : TempDir("virtual") {}
  // Writes a binary PPM of w x h pixels and returns its path.
  std::string Ppm(const std::string& name, int w, int h, const PixelFn& fn) const {
    std::string file = File(name);
    FILE* f = std::fopen(file.c_str(), "wb");
    std::fprintf(f, "P6\n%d %d\n255\n", w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        Rgb c = fn(x, y);
        uint8_t px[3] = {c.r, c.g, c.b};
        std::fwrite(px, 1, 3, f);
      }
    std::fclose(f);
    return file;
  }
  // Writes a file of the given bytes and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::string file = File(name);
    FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return file;
  }
};

struct VirtualRig {
  explicit VirtualRig(const std::string& description) {
    bus = virt::MakeVirtualBus(description, &error);
    if (bus) usb::SetBusForTesting(bus.get());
  }
  ~VirtualRig() {
    device.reset();
    usb::SetBusForTesting(nullptr);
  }
  bool Open(uint32_t location = 0x14100000) {
    device = std::make_unique<Device>();
    return device->FindScanner(location);
  }
  Device& Dev() { return *device; }

  quirel::testing::FakeClock clock;
  std::string error;
  std::unique_ptr<usb::UsbBus> bus;
  std::unique_ptr<Device> device;
};

// A window of `width` x `lines` pixels at the top-left of the sheet.
inline ScanParams Window(ImageTypeE type, uint32_t width, uint32_t lines, uint16_t res = 300) {
  ScanParams p;
  p.mXRes = p.mYRes = res;
  p.mUpperLeftX = p.mUpperLeftY = 0;
  p.mInWidth1200 = width * 1200 / res;
  p.mInHeight1200 = lines * 1200 / res;
  p.mPaperWidth = p.mInWidth1200;
  p.mPaperHeight = p.mInHeight1200;
  p.mImageType = type;
  p.mBitsPerComponent = type == kImageTypeLineArt ? 1 : 8;
  p.mDtcVariation = 'n';
  p.mThreshold = 0;
  return p;
}

inline ScanParams JpegWindow(ImageTypeE type, uint32_t width, uint32_t lines, int level, int subsample) {
  ScanParams p = Window(type, width, lines);
  p.mWillUseJpeg = true;
  p.mJpegLevel = level;
  p.mJpegSubsample = subsample;
  return p;
}

// Sends a command and expects the exchange and the scanner to succeed.
#define EXPECT_GOOD(cmd)                                               \
  do {                                                                 \
    int rc_ = (cmd).SendToScanner();                                   \
    EXPECT_EQ(rc_, 0) << (cmd).mErrMsg;                                \
    EXPECT_EQ((cmd).mResult.mStatus, 0) << (cmd).mSenseMsg;            \
  } while (0)

struct SetUpOptions {
  bool autoLength = false;
  bool doubleFeedDetect = false;
  bool keepScanning = false;
};

// The set-up the scan job sends before its page loop, up to SET WINDOW.
inline void SetUpScan(Device& dev, const ScanParams* front, const ScanParams* back, SetUpOptions options = {}) {
  Cmd_Reserve reserve(dev);
  EXPECT_GOOD(reserve);
  Cmd_ModeSelect_ResetAll reset(dev);
  EXPECT_GOOD(reset);
  Cmd_InquiryStd inq(dev);
  EXPECT_GOOD(inq);
  Cmd_InquiryEvpd evpd(dev);
  EXPECT_GOOD(evpd);
  Cmd_TestUnitReady tur(dev);
  EXPECT_GOOD(tur);
  Cmd_ScannerControl feeder(dev, Cmd_ScannerControl::kSelectFeeder);
  EXPECT_GOOD(feeder);
  Cmd_ScannerControl lamp(dev, Cmd_ScannerControl::kLampReadyCheck);
  EXPECT_GOOD(lamp);
  if (dev.NeedToSpecifyPrepick()) {
    Cmd_ModeSelect_Prepick prepick(dev, kPrepickDefault);
    EXPECT_GOOD(prepick);
  }
  if (dev.NeedToSpecifyBuffering()) {
    Cmd_ModeSelect_BufferedScan buffered(dev, kBufferedScanOn);
    EXPECT_GOOD(buffered);
  }
  Cmd_ModeSelect_AutoLength length(dev, options.autoLength);
  EXPECT_GOOD(length);
  if (dev.RequiresLut()) {
    Cmd_SendLut lut(dev, Cmd_SendLut::kLutNormal);
    EXPECT_GOOD(lut);
  }
  Cmd_ModeSelect_DoubleFeedOptions doubleFeed(dev, options.doubleFeedDetect, false, options.keepScanning);
  EXPECT_GOOD(doubleFeed);
  Cmd_WdwRec f(*front);
  Cmd_WdwRec b(back ? *back : *front);
  Cmd_SetWindow window(dev, &f, back ? &b : nullptr);
  EXPECT_GOOD(window);
}

// Loads a sheet and starts scanning it; returns the failed command's
// sense text, or "" when both succeeded.
inline std::string LoadAndScan(Device& dev, bool duplex) {
  Cmd_ObjectPosition load(dev, Cmd_ObjectPosition::kLoad);
  if (load.SendToScanner() != 0) return load.mErrMsg;
  if (load.mResult.mStatus != 0) return load.mSenseMsg;
  Cmd_Scan scan(dev, duplex ? (kSideFront | kSideBack) : kSideFront);
  if (scan.SendToScanner() != 0) return scan.mErrMsg;
  if (scan.mResult.mStatus != 0) return scan.mSenseMsg;
  return "";
}

struct SideRead {
  std::vector<uint8_t> data;
  int reads = 0;
  int notReady = 0;
  bool ended = false;
  int transport = 0;     // a transport failure ends the reading
  std::string failure;   // sense text of a check condition other than the end
};

// READs the windows in turn, one READ each, until each reported its end
// (or failed); not-ready answers are counted and asked again.
inline std::map<int, SideRead> ReadSides(Device& dev, std::vector<WhichWindowE> windows, int chunk) {
  std::map<int, SideRead> out;
  for (int guard = 0; guard < 100000; ++guard) {
    bool pending = false;
    for (WhichWindowE w : windows) {
      SideRead& side = out[w];
      if (side.ended || side.transport || !side.failure.empty()) continue;
      pending = true;
      Cmd_ReadImage read(dev, w, chunk);
      int rc = read.SendToScanner();
      ++side.reads;
      if (rc != 0) {
        side.transport = rc;
        continue;
      }
      const Result& r = read.mResult;
      bool end = r.mStatus == 1 && r.mIli;
      if (r.mStatus == 0 || end) {
        uint8_t* bytes = read.AdoptRcvBytes();
        side.data.insert(side.data.end(), bytes, bytes + r.mXferCount);
        std::free(bytes);
      }
      if (end) side.ended = true;
      else if (r.mStatus == 4 || (r.mStatus == 1 && r.mSenseKey == 3 && r.mAsc == 0x80 && r.mAscq == 0x13)) ++side.notReady;
      else if (r.mStatus != 0) side.failure = read.mSenseMsg;
    }
    if (!pending) break;
  }
  return out;
}

// Decoded pages: width x height pixels of ordinary RGB (0 black).
struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  Rgb At(int x, int y) const {
    const uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
    return Rgb{p[0], p[1], p[2]};
  }
};

struct JpegFail {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

// Decodes a JPEG to RGB; an empty image when libjpeg refuses it.
inline Image DecodeJpeg(const std::vector<uint8_t>& bytes) {
  Image img;
  jpeg_decompress_struct cinfo;
  JpegFail err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<JpegFail*>(c->err)->jump, 1); };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return Image();
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  img.width = int(cinfo.output_width);
  img.height = int(cinfo.output_height);
  img.rgb.resize(size_t(img.width) * img.height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &img.rgb[size_t(cinfo.output_scanline) * img.width * 3];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return img;
}

// Mean absolute difference of every sample against the page, and the
// largest difference of any 8x8 block's mean (which catches a misplaced or
// miscoloured area that a page-wide mean would hide).
struct Diff {
  double mean = 0;
  double worstBlock = 0;
};

inline Diff Compare(const Image& img, const PixelFn& page) {
  Diff d;
  double total = 0;
  for (int by = 0; by + 8 <= img.height; by += 8)
    for (int bx = 0; bx + 8 <= img.width; bx += 8)
      for (int c = 0; c < 3; ++c) {
        double got = 0, want = 0;
        for (int y = by; y < by + 8; ++y)
          for (int x = bx; x < bx + 8; ++x) {
            Rgb a = img.At(x, y), b = page(x, y);
            uint8_t av = c == 0 ? a.r : c == 1 ? a.g : a.b;
            uint8_t bv = c == 0 ? b.r : c == 1 ? b.g : b.b;
            got += av;
            want += bv;
            total += std::abs(int(av) - int(bv));
          }
        d.worstBlock = std::max(d.worstBlock, std::abs(got - want) / 64);
      }
  d.mean = total / (double(img.width) * img.height * 3);
  return d;
}

}  // namespace quirel::vtest

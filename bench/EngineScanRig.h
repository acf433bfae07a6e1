// What the end-to-end engine benchmarks share: a scan job run in this
// process against a virtual scanner, with the job's parameters filled the way
// the command-line tool fills them, and a USB bus wrapper that measures how
// much of the job's time the scanner itself takes (so a slow simulation is
// not mistaken for a slow engine).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ForwardingUsb.h"
#include "FujiScanParams.h"
#include "ImageWriter.h"
#include "PagePreview.h"
#include "ScanJob.h"
#include "TempDir.h"
#include "UsbLayer.h"
#include "VirtualScanner.h"

namespace quirel::bench {

using namespace ZuzuvovOvav;

// The fastest model of the table (about 270 images a minute at 300 dpi
// colour duplex); QUIREL_BENCH_MODEL picks another.
inline std::string BenchModel() {
  const char* m = std::getenv("QUIREL_BENCH_MODEL");
  return (m && *m) ? m : "fi-5950";
}

// One kind of job: image type, whether the scanner may send JPEG, format.
struct ScanCase {
  const char* name;
  ImageTypeE type;
  bool allowJpeg;
  bool pdf;
};

// The cases whose speed is reported, all duplex at 300 dpi.
inline const std::vector<ScanCase>& ScanCases() {
  static const std::vector<ScanCase> cases = {
      {"color_raw_pdf", kImageTypeColor, false, true},
      {"color_jpeg_pdf", kImageTypeColor, true, true},
      {"gray_pdf", kImageTypeGray, true, true},
      {"lineart_pdf", kImageTypeLineArt, true, true},
      {"lineart_tiff", kImageTypeLineArt, true, false},
  };
  return cases;
}

// ScanParams as `quirel --duplex [--rgb|--gray|--mono] [--pdf] [--no-jpeg]
// PATH` makes them: US Letter, whole page, 300 dpi, double feeds by thickness.
inline ScanParams ToolLikeParams(const ScanCase& c, const std::string& path) {
  ScanParams p(c.type);
  p.SetBitsOut(c.type == kImageTypeLineArt ? 1 : 8);
  p.mXRes = p.mYRes = 300;
  p.mFileType = c.pdf ? kFileTypePDF : kFileTypeTIFF;
  p.mCompressOption = 0;
  p.mDuplex = true;
  p.mSkipFirstPage = p.mSkipLastPage = false;
  p.mUseFlatbed = false;
  p.mDetectLength = false;
  p.mPaperWidth = 10200;
  p.mPaperHeight = 13200;
  p.mUpperLeftX = p.mUpperLeftY = 0;
  p.mScanWidth = 10200;
  p.mScanHeight = 13200;
  p.mDtcVariation = 'n';
  p.mDensityFactor = 1.0;
  p.mRotation = 0;
  p.mDoubleByThickness = true;
  p.mDoubleByLength = false;
  p.mAppend = false;
  p.mAllowJpeg = c.allowJpeg;
  p.mPreviewWidth = p.mPreviewHeight = 0;
  p.mLocation = 0;
  p.mImagesPerFile = 0;
  p.mProgramDescription = "quirel";
  p.mBaseFilePath = path;
  return p;
}

// Time the scanner spends answering transfers, and the bytes it delivers.
struct ScannerTime {
  std::atomic<uint64_t> nanos{0};
  std::atomic<uint64_t> bytesIn{0};
  void Reset() {
    nanos = 0;
    bytesIn = 0;
  }
};

inline ScannerTime& TheScannerTime() {
  static ScannerTime t;
  return t;
}

inline uint64_t MonoNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// Pipe transfers of the wrapped interface, timed.
class TimedInterface : public quirel::testing::ForwardingInterface {
 public:
  explicit TimedInterface(std::unique_ptr<usb::UsbInterface> inner) : ForwardingInterface(std::move(inner)) {}
  usb::IOReturn WritePipe(int pipe, const void* buf, uint32_t size, uint32_t a, uint32_t b) override {
    const uint64_t t0 = MonoNanos();
    usb::IOReturn r = ForwardingInterface::WritePipe(pipe, buf, size, a, b);
    TheScannerTime().nanos += MonoNanos() - t0;
    return r;
  }
  usb::IOReturn ReadPipe(int pipe, void* buf, uint32_t* size, uint32_t a, uint32_t b) override {
    const uint64_t t0 = MonoNanos();
    usb::IOReturn r = ForwardingInterface::ReadPipe(pipe, buf, size, a, b);
    TheScannerTime().nanos += MonoNanos() - t0;
    TheScannerTime().bytesIn += *size;
    return r;
  }
};

class TimedDevice : public quirel::testing::ForwardingDevice {
 public:
  explicit TimedDevice(std::unique_ptr<usb::UsbDevice> inner) : ForwardingDevice(std::move(inner)) {}

 protected:
  std::unique_ptr<usb::UsbInterface> WrapInterface(std::unique_ptr<usb::UsbInterface> inner) override {
    return std::make_unique<TimedInterface>(std::move(inner));
  }
};

class TimedBus : public usb::UsbBus {
 public:
  explicit TimedBus(std::unique_ptr<usb::UsbBus> inner) : mInner(std::move(inner)) {}
  std::vector<usb::UsbDeviceDesc> Enumerate() override { return mInner->Enumerate(); }
  std::unique_ptr<usb::UsbDevice> FindByLocation(uint32_t location) override {
    std::unique_ptr<usb::UsbDevice> d = mInner->FindByLocation(location);
    if (!d) return d;
    return std::make_unique<TimedDevice>(std::move(d));
  }

 private:
  std::unique_ptr<usb::UsbBus> mInner;
};

// A virtual scanner with `sheets` generated sheets on a bus of its own,
// which Install() makes the engine's bus. Every job opens the device afresh
// and so finds the whole stack in the hopper again; the scanner's render
// cache lives as long as this object.
class VirtualScannerOnBus {
 public:
  VirtualScannerOnBus(int sheets, std::string* error) {
    const std::string desc = "model=" + BenchModel() + ";sheets=" + std::to_string(sheets);
    std::unique_ptr<usb::UsbBus> bus = virt::MakeVirtualBus(desc, error);
    if (bus) mBus = std::make_unique<TimedBus>(std::move(bus));
  }
  ~VirtualScannerOnBus() {
    if (mInstalled) usb::SetBusForTesting(nullptr);
  }
  VirtualScannerOnBus(const VirtualScannerOnBus&) = delete;
  VirtualScannerOnBus& operator=(const VirtualScannerOnBus&) = delete;

  bool ok() const { return mBus != nullptr; }
  void Install() {
    usb::SetBusForTesting(mBus.get());
    mInstalled = true;
  }

 private:
  std::unique_ptr<TimedBus> mBus;
  bool mInstalled = false;
};

struct JobOutcome {
  int status = -1;
  int pages = 0;
  std::string error;  // empty when the job did what was asked
  std::vector<std::string> files;

  // Removes the job's output files (outside the timed part).
  void RemoveFiles() {
    for (const std::string& f : files) unlink(f.c_str());
    files.clear();
  }
};

// Runs one job to its end on the engine's scan thread. `expectedPages` 0
// skips the page count check.
inline JobOutcome RunScanJob(const ScanCase& c, const std::string& folder, int expectedPages) {
  JobOutcome out;
  ScanParams params = ToolLikeParams(c, folder + "/scan");
  ScanResults results;
  bool completed = false;
  params.mPageScannedFunc = [](const PagePreview* preview) {
    if (preview) std::free(preview->mBitMap);
  };
  params.mScanCompleteFunc = [&](const ScanResults* r) {
    results = *r;
    completed = true;
  };
  std::ostringstream jobOut, jobErr;
  gStopNow.store(false);
  try {
    ScanJob job(&params, false, &jobOut, &jobErr);
    out.status = job.WaitForScan();
  } catch (const char* msg) {
    out.error = msg;
    return out;
  }
  out.files = results.mFilePaths;
  out.pages = results.mTotalPages;
  if (!completed) {
    out.error = "the job ended without results";
  } else if (results.mStatus != kScanOK || out.status != kScanOK) {
    out.error = results.mErrorMsg.empty() ? jobErr.str() : results.mErrorMsg;
    out.error += " (job status " + std::to_string(out.status) + ")";
  } else if (expectedPages > 0 && results.mTotalPages != expectedPages) {
    out.error = std::to_string(results.mTotalPages) + " pages written, " + std::to_string(expectedPages) + " expected";
  }
  return out;
}

inline const ScanCase* FindCase(const std::string& name) {
  for (const ScanCase& c : ScanCases())
    if (name == c.name) return &c;
  return nullptr;
}

}  // namespace quirel::bench

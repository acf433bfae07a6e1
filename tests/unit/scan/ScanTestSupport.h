// Helpers for the scan engine tests: scratch folders, TIFF pages, a spying bus.
//
// The TIFF pages are read back from what the engine wrote; the bus of
// virtual scanners lets the test see the command traffic (and answer it).
#pragma once

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ForwardingUsb.h"
#include "ImageWriter.h"
#include "ScanJob.h"
#include "ScriptedUsb.h"
#include "TempDir.h"
#include "VirtualScanner.h"

namespace scantest {

using namespace ZuzuvovOvav;
namespace usb = quirel::usb;

using quirel::testing::TempDir;

// One 8-bit page of a TIFF file.
struct TiffPage {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rows;
  uint8_t At(uint32_t x, uint32_t y) const { return rows[size_t(y) * width + x]; }
  bool operator==(const TiffPage& o) const { return width == o.width && height == o.height && rows == o.rows; }
};

inline std::vector<TiffPage> ReadTiff(const std::string& path) {
  std::vector<TiffPage> pages;
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) return pages;
  do {
    TiffPage page;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height);
    page.rows.resize(size_t(page.width) * page.height);
    std::vector<uint8_t> line(size_t(TIFFScanlineSize(tif)));
    for (uint32_t y = 0; y < page.height && TIFFReadScanline(tif, line.data(), y, 0) >= 0; ++y)
      std::memcpy(&page.rows[size_t(y) * page.width], line.data(), std::min<size_t>(page.width, line.size()));
    pages.push_back(std::move(page));
  } while (TIFFReadDirectory(tif));
  TIFFClose(tif);
  return pages;
}

// The command blocks sent, and a hook that may answer a command in the
// scanner's place (queueing the reads it returns: data, then status).
// A hook that answers with no reads at all makes the command fail in the
// transport; the data of a command it answers goes nowhere. `data` holds
// the bytes each command sent after its block, and `sleeps` the engine's
// sleeps with the number of commands sent before them.
struct SpyLog {
  std::vector<std::vector<uint8_t>> cdbs;
  std::vector<std::vector<uint8_t>> data;
  std::vector<std::pair<size_t, uint64_t>> sleeps;
  std::function<bool(const uint8_t* cdb, std::deque<std::vector<uint8_t>>* reads)> hook;
  usb::IOReturn transportError = usb::kIOReturnError;  // of a command answered with no reads

  int Find(uint8_t op, int byte1 = -1, size_t from = 0) const {
    for (size_t i = from; i < cdbs.size(); ++i)
      if (cdbs[i][0] == op && (byte1 < 0 || cdbs[i][1] == byte1)) return int(i);
    return -1;
  }
  int Count(uint8_t op, int byte1 = -1) const {
    int n = 0;
    for (int i = Find(op, byte1); i >= 0; i = Find(op, byte1, size_t(i) + 1)) ++n;
    return n;
  }
};

class SpyInterface : public quirel::testing::ForwardingInterface {
 public:
  SpyInterface(std::unique_ptr<usb::UsbInterface> inner, SpyLog* log)
      : ForwardingInterface(std::move(inner)), mLog(log) {}
  usb::IOReturn WritePipe(int pipe, const void* buf, uint32_t size, uint32_t a, uint32_t b) override {
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    if (size == 31 && p[0] == 0x43) {
      mLog->cdbs.emplace_back(p + 19, p + 31);
      mLog->data.emplace_back();
      mAnswered = mLog->hook && mLog->hook(p + 19, &mReads);
      if (mAnswered) return mReads.empty() ? mLog->transportError : 0;
    } else if (!mLog->data.empty() && mLog->data.back().empty()) {
      mLog->data.back().assign(p, p + size);
      if (mAnswered) return 0;  // the data of a command answered here
    }
    return ForwardingInterface::WritePipe(pipe, buf, size, a, b);
  }
  usb::IOReturn ReadPipe(int pipe, void* buf, uint32_t* size, uint32_t a, uint32_t b) override {
    if (mReads.empty()) return ForwardingInterface::ReadPipe(pipe, buf, size, a, b);
    *size = std::min<uint32_t>(*size, uint32_t(mReads.front().size()));
    if (*size > 0) std::memcpy(buf, mReads.front().data(), *size);
    mReads.pop_front();
    return 0;
  }

 private:
  SpyLog* mLog;
  std::deque<std::vector<uint8_t>> mReads;
  bool mAnswered = false;
};

class SpyDevice : public quirel::testing::ForwardingDevice {
 public:
  SpyDevice(std::unique_ptr<usb::UsbDevice> inner, SpyLog* log) : ForwardingDevice(std::move(inner)), mLog(log) {}

 protected:
  std::unique_ptr<usb::UsbInterface> WrapInterface(std::unique_ptr<usb::UsbInterface> inner) override {
    return std::make_unique<SpyInterface>(std::move(inner), mLog);
  }

 private:
  SpyLog* mLog;
};

// Virtual scanners from a description ("" for none), installed as the
// engine's bus for the life of the object.
class SpyBus : public usb::UsbBus {
 public:
  explicit SpyBus(const std::string& description) {
    std::string error;
    if (!description.empty()) mInner = quirel::virt::MakeVirtualBus(description, &error);
    EXPECT_TRUE(description.empty() || mInner) << error;
    usb::SetBusForTesting(this);
  }
  ~SpyBus() override { usb::SetBusForTesting(nullptr); }
  std::vector<usb::UsbDeviceDesc> Enumerate() override {
    ++enumerations;
    return mInner ? mInner->Enumerate() : std::vector<usb::UsbDeviceDesc>{};
  }
  std::unique_ptr<usb::UsbDevice> FindByLocation(uint32_t location) override {
    auto dev = mInner ? mInner->FindByLocation(location) : nullptr;
    return dev ? std::make_unique<SpyDevice>(std::move(dev), &log) : nullptr;
  }
  SpyLog log;
  int enumerations = 0;

 private:
  std::unique_ptr<usb::UsbBus> mInner;
};

// Every test starts without a stop request.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { gStopNow.store(false); }
  void TearDown() override { gStopNow.store(false); }
};

}  // namespace scantest

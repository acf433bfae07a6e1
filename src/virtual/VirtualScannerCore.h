// The virtual scanner itself, behind the USB layer; its sources are VirtualScannerCore.cpp (pipe
// traffic), VirtualCommands.cpp (command handlers) and VirtualFeeder.cpp (sheets and faults).
//
// ScannerCore is the scanner itself: it takes 31-byte command blocks and
// data on the OUT pipe and answers data and 13-byte status blocks on the IN
// pipe, keeping sense data for REQUEST SENSE, the windows, the mode pages,
// the paper in the feeder and the faults to inject. Its state survives
// between opens of the device, except the job state (paper, windows, modes),
// which every open starts afresh: opening the device stands for a user who
// put the whole stack back into the hopper.
//
// Thread safety: every entry point locks the scanner's mutex; Present() is
// lock-free so that the bus can be enumerated while a scan runs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "UsbLayer.h"
#include "VirtualConfig.h"
#include "VirtualRender.h"

namespace quirel::virt {

class ScannerCore {
 public:
  explicit ScannerCore(ScannerConfig config);

  const ScannerConfig& Config() const { return mConfig; }
  usb::UsbDeviceDesc Desc() const;
  bool Present() const { return !mUnplugged.load(); }
  // Called once (without the scanner's lock held) when the scanner is unplugged.
  void SetUnplugCallback(std::function<void(const usb::UsbDeviceDesc&)> callback);
  // Takes the scanner off its bus from outside (its line left the hot-plug
  // file): from now on every transfer answers kIOReturnNoDevice, as after
  // the unplug fault, also to a program that holds the device. The bus
  // reports the departure itself, so the unplug callback is not called.
  void Detach();

  usb::IOReturn OpenDevice();
  usb::IOReturn CloseDevice();
  usb::IOReturn ResetDevice();
  usb::IOReturn CheckPresent() const { return Present() ? usb::kIOReturnSuccess : usb::kIOReturnNoDevice; }

  usb::IOReturn Write(int pipe, const void* data, uint32_t size);
  usb::IOReturn Read(int pipe, void* data, uint32_t* size);

 private:
  enum class Phase { kIdle, kDataOut, kDataIn, kStatus };

  struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
    uint8_t flags = 0;  // high bits of sense byte 2 (0x40 end of medium, 0x20 incorrect length)
    uint32_t info = 0;
  };

  struct SideState {
    bool active = false;
    SideData data;
    uint64_t pos = 0;
    uint32_t paperLines = 0;  // paper length reported by READ pixel size
    int busyLeft = 0;
    int busyGiven = 0;
    bool bogusPending = false;
  };

  enum class SheetFault { kNone, kJam, kDoubleFeed, kUnplug };

  // What is on the feed path: a sheet picked from the hopper, or the flatbed.
  struct Sheet {
    bool present = false;
    bool scanned = false;
    int number = 0;  // counted from 1 since the device was opened
    std::shared_ptr<const PageSide> front, back;
    SheetFault fault = SheetFault::kNone;
    uint64_t faultAt = 0;  // front-side byte where the fault strikes
    bool faultStruck = false;
    bool doubleFeedFlag = false;  // for GET HARDWARE STATUS
  };

  void ResetJob();
  void ResetCommand();
  // Answer helpers for the command being run.
  void Good() { mStatus = 0x00; }
  void Busy() { mStatus = 0x08; }
  void Check(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t flags = 0, uint32_t info = 0);
  void Refuse(uint8_t asc, const char* why);  // sense key 5 (illegal request)
  void Reply(std::vector<uint8_t> bytes);

  void BeginCommand(const uint8_t* block);
  void Execute();
  void DoInquiry();
  void DoModeSelect();
  void DoScan();
  void DoSetWindow();
  void DoSend();
  void DoRead();
  void DoReadImage(uint32_t length);
  void DoObjectPosition();
  void DoScannerControl();
  void DoDiagnostic();
  void DoHardwareStatus();
  bool LoadNextSheet();  // false with the check condition set
  void PlanFaults(Sheet* sheet);
  bool RenderSides(bool front, bool back, bool flatbed);
  // An empty body when the side cannot be rendered, with *error naming the
  // cause when it is the side's content.
  SideData Render(const PageSide& side, const WindowDesc& w, uint32_t forcedLines, bool autoLength,
                  std::string* error);
  // A side that cannot be rendered: a hardware error, and the cause on
  // standard error when it is a page file.
  void RenderFailed(const std::string& error);
  uint32_t OverscanLines(const WindowDesc& w) const;
  void FinishImageRead();
  usb::IOReturn DeliverData(uint8_t* dst, uint32_t* size);
  void BuildStatus(uint8_t* out) const;
  void Unplug();

  ScannerConfig mConfig;
  const ZuzuvovOvav::ProductSettings& mModel;
  std::atomic<bool> mUnplugged{false};
  bool mUnplugNotified = false;
  std::function<void(const usb::UsbDeviceDesc&)> mOnUnplug;
  std::mutex mMutex;
  bool mOpened = false;
  RenderCache mCache;

  // Protocol state of the command in progress.
  Phase mPhase = Phase::kIdle;
  uint8_t mCdb[12] = {};
  std::vector<uint8_t> mOut;   // data-out bytes received
  uint32_t mOutExpected = 0;
  std::vector<uint8_t> mIn;    // reply of a command other than READ image data
  uint32_t mInLen = 0;         // data-in length the host asked for
  uint32_t mAvail = 0;         // bytes this command will deliver
  uint32_t mDelivered = 0;
  bool mFirstRead = true;
  bool mImageRead = false;     // the data comes from a side
  int mReadSide = 0;
  bool mUnplugOnRead = false;
  uint8_t mStatus = 0;
  Sense mSense;

  // Job state, reset by every open.
  bool mHaveWindow[2] = {};
  WindowDesc mWindow[2];
  bool mHaveLut = false;
  uint8_t mLut[256] = {};
  bool mAutoLength = false;
  bool mDoubleFeedDetect = false;
  bool mDoubleFeedKeepScanning = false;
  bool mFlatbed = false;
  bool mInterleaved = false;
  int mFedSheets = 0;
  int mLastPickedSheet = 0;  // after SCANNER CONTROL 13: the last sheet still fed; 0 while feeding normally
  size_t mPageCursor = 0;
  int mLampLeft = 0;
  bool mCoverOpen = false;
  Sheet mSheet;
  SideState mSide[2];
};

}  // namespace quirel::virt

// The virtual scanner's life cycle, answer helpers and pipe traffic (blocks in, data and status out).
#include "VirtualScannerCore.h"

#include <algorithm>
#include <cstring>

#include "VirtualWire.h"

namespace quirel::virt {

using namespace wire;

ScannerCore::ScannerCore(ScannerConfig config) : mConfig(std::move(config)), mModel(*mConfig.model) { ResetJob(); }

usb::UsbDeviceDesc ScannerCore::Desc() const { return usb::UsbDeviceDesc{wire::kFujitsuVendorId, mModel.mProductId, mConfig.location}; }

void ScannerCore::SetUnplugCallback(std::function<void(const usb::UsbDeviceDesc&)> callback) {
  std::lock_guard<std::mutex> lock(mMutex);
  mOnUnplug = std::move(callback);
}

usb::IOReturn ScannerCore::OpenDevice() {
  std::lock_guard<std::mutex> lock(mMutex);
  if (!Present()) return usb::kIOReturnNoDevice;
  if (mOpened) return usb::kIOReturnExclusiveAccess;
  mOpened = true;
  ResetJob();
  return usb::kIOReturnSuccess;
}

usb::IOReturn ScannerCore::CloseDevice() {
  std::lock_guard<std::mutex> lock(mMutex);
  mOpened = false;
  ResetJob();
  return Present() ? usb::kIOReturnSuccess : usb::kIOReturnNoDevice;
}

usb::IOReturn ScannerCore::ResetDevice() {
  std::lock_guard<std::mutex> lock(mMutex);
  if (!Present()) return usb::kIOReturnNoDevice;
  ResetCommand();
  mPhase = Phase::kIdle;
  mSense = Sense();
  return usb::kIOReturnSuccess;
}

void ScannerCore::ResetJob() {
  ResetCommand();
  mPhase = Phase::kIdle;
  mSense = Sense();
  mHaveWindow[0] = mHaveWindow[1] = false;
  mHaveLut = false;
  mAutoLength = false;
  mDoubleFeedDetect = false;
  mDoubleFeedKeepScanning = false;
  mFlatbed = false;
  mInterleaved = false;
  mFedSheets = 0;
  mLastPickedSheet = 0;
  mPageCursor = 0;
  mLampLeft = mConfig.faults.lampWarmup;
  mCoverOpen = false;
  mSheet = Sheet();
  mSide[0] = SideState();
  mSide[1] = SideState();
}

void ScannerCore::ResetCommand() {
  mOut.clear();
  mOutExpected = 0;
  mIn.clear();
  mInLen = 0;
  mAvail = 0;
  mDelivered = 0;
  mFirstRead = true;
  mImageRead = false;
  mReadSide = 0;
  mUnplugOnRead = false;
  mStatus = 0;
}

void ScannerCore::Check(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t flags, uint32_t info) {
  mStatus = 0x02;
  mSense.key = key;
  mSense.asc = asc;
  mSense.ascq = ascq;
  mSense.flags = flags;
  mSense.info = info;
}

void ScannerCore::Refuse(uint8_t asc, const char* why) {
  TraceRefusal(mCdb[0], why);
  Check(0x05, asc, 0x00);
}

void ScannerCore::Reply(std::vector<uint8_t> bytes) {
  if (bytes.size() > mInLen) bytes.resize(mInLen);
  mIn = std::move(bytes);
  mAvail = uint32_t(mIn.size());
  Good();
}

void ScannerCore::Unplug() {
  mUnplugged = true;
  mOpened = false;
}

void ScannerCore::Detach() {
  std::lock_guard<std::mutex> lock(mMutex);
  Unplug();
  mUnplugNotified = true;
}

// ------------------------------------------------------------- pipe traffic

usb::IOReturn ScannerCore::Write(int pipe, const void* data, uint32_t size) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (!Present()) return usb::kIOReturnNoDevice;
  if (pipe != usb::kPipeOut) return usb::kIOReturnBadArgument;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (mPhase == Phase::kDataOut) {
    mOut.insert(mOut.end(), bytes, bytes + size);
    if (mOut.size() >= mOutExpected) Execute();
    return usb::kIOReturnSuccess;
  }
  // Anything but a command block here is out of step with the protocol:
  // the scanner stalls its pipe, as a real one would.
  if (size != 31 || bytes[0] != 0x43) return usb::kIOUSBPipeStalled;
  BeginCommand(bytes);
  return usb::kIOReturnSuccess;
}

usb::IOReturn ScannerCore::Read(int pipe, void* data, uint32_t* size) {
  usb::IOReturn rc;
  bool notify = false;
  std::function<void(const usb::UsbDeviceDesc&)> callback;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    uint32_t asked = *size;
    *size = 0;
    if (!Present()) return usb::kIOReturnNoDevice;
    if (pipe != usb::kPipeIn) return usb::kIOReturnBadArgument;
    uint8_t* dst = static_cast<uint8_t*>(data);
    rc = usb::kIOReturnSuccess;
    switch (mPhase) {
      case Phase::kIdle:
      case Phase::kDataOut:
        // Nothing to send: the host would wait out its time-out.
        rc = usb::kIOUSBTransactionTimeout;
        break;
      case Phase::kDataIn:
        // After the first transfer of the data phase, a 13-byte read is the
        // status read (continuations of a short data phase ask for multiples
        // of 512 bytes, or for nothing).
        if (mFirstRead || asked != kStatusLen) {
          *size = asked;
          rc = DeliverData(dst, size);
          break;
        }
        [[fallthrough]];
      case Phase::kStatus:
        if (asked != kStatusLen) break;  // a zero-length packet: no more data
        if (mImageRead) FinishImageRead();
        BuildStatus(dst);
        *size = kStatusLen;
        mPhase = Phase::kIdle;
        break;
    }
    if (!Present() && !mUnplugNotified) {
      mUnplugNotified = true;
      notify = true;
      callback = mOnUnplug;
    }
  }
  if (notify && callback) callback(Desc());
  return rc;
}

usb::IOReturn ScannerCore::DeliverData(uint8_t* dst, uint32_t* size) {
  uint32_t asked = *size;
  *size = 0;
  if (mImageRead && mFirstRead) {
    SideState& side = mSide[mReadSide];
    if (mUnplugOnRead) {
      Unplug();
      return usb::kIOReturnNoDevice;
    }
    if (side.bogusPending) {
      // A time-out reported at once, as some scanners do; the host retries.
      side.bogusPending = false;
      return usb::kIOUSBTransactionTimeout;
    }
  }
  mFirstRead = false;
  uint32_t n = std::min(asked, mAvail - mDelivered);
  if (mImageRead && mConfig.faults.shortReads && n > 512) {
    // Short transfers: about half of what was asked, in whole lines.
    uint32_t lineBytes = mSide[mReadSide].data.lineBytes;
    uint32_t half = n / 2;
    if (lineBytes && half >= lineBytes) {
      uint64_t pos = mSide[mReadSide].pos;
      uint64_t end = (pos + half) / lineBytes * lineBytes;
      if (end > pos) half = uint32_t(end - pos);
    }
    n = std::max<uint32_t>(half, 512);
  }
  if (n > 0) {
    if (mImageRead) {
      SideState& side = mSide[mReadSide];
      side.data.Read(side.pos, n, dst);
      side.pos += n;
    } else {
      std::memcpy(dst, mIn.data() + mDelivered, n);
    }
    mDelivered += n;
  }
  *size = n;
  if (mDelivered == mInLen) mPhase = Phase::kStatus;
  return usb::kIOReturnSuccess;
}

void ScannerCore::FinishImageRead() {
  if (mStatus != 0x00) return;  // decided when the command arrived
  const SideState& side = mSide[mReadSide];
  if (mDelivered < mInLen && side.pos >= side.data.Size()) {
    // End of the side: end of medium and incorrect length, the residue in
    // the information field.
    Check(0x00, 0x00, 0x00, 0x60, mInLen - mDelivered);
  }
}

void ScannerCore::BuildStatus(uint8_t* out) const {
  std::memset(out, 0, kStatusLen);
  out[0] = 0x53;  // 'S'
  out[9] = mStatus;
}

}  // namespace quirel::virt

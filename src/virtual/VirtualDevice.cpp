#include "VirtualDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quirel::virt {

namespace {

constexpr uint32_t kVendorId = 0x04C5;
constexpr uint32_t kStatusLen = 13;
constexpr uint32_t kSenseLen = 18;

uint32_t Be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Why the scanner refused a command, for whoever debugs a host against it.
void TraceRefusal(uint8_t opcode, const char* why) {
  static const bool trace = [] {
    const char* v = std::getenv("QUIREL_VIRTUAL_TRACE");
    return v && *v && std::strcmp(v, "0") != 0;
  }();
  if (trace) std::fprintf(stderr, "virtual scanner: command 0x%02x refused: %s\n", opcode, why);
}

// Commands with a data-in phase, whatever their answer.
bool HasDataIn(uint8_t opcode) {
  return opcode == 0x03 || opcode == 0x12 || opcode == 0x1C || opcode == 0x28 || opcode == 0xC2;
}

}  // namespace

// ------------------------------------------------------------------ scanner

ScannerCore::ScannerCore(ScannerConfig config) : mConfig(std::move(config)), mModel(*mConfig.model) { ResetJob(); }

usb::UsbDeviceDesc ScannerCore::Desc() const { return usb::UsbDeviceDesc{kVendorId, mModel.mProductId, mConfig.location}; }

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

// ---------------------------------------------------------------- commands

void ScannerCore::BeginCommand(const uint8_t* block) {
  ResetCommand();
  std::memcpy(mCdb, block + 19, sizeof mCdb);
  switch (mCdb[0]) {
    case 0x15:  // MODE SELECT
    case 0x1B:  // SCAN
      mOutExpected = mCdb[4];
      break;
    case 0x24:  // SET WINDOW
    case 0x2A:  // SEND
      mOutExpected = Be24(mCdb + 6);
      break;
    default:
      break;
  }
  if (mOutExpected > 0) {
    mPhase = Phase::kDataOut;
    return;
  }
  Execute();
}

void ScannerCore::Execute() {
  const uint8_t op = mCdb[0];
  switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x16:  // RESERVE UNIT
    case 0x17:  // RELEASE UNIT
      Good();
      break;
    case 0x03: {  // REQUEST SENSE
      mInLen = mCdb[4];
      std::vector<uint8_t> s(kSenseLen, 0);
      s[0] = 0xF0;  // valid, current error
      s[2] = uint8_t(mSense.flags | (mSense.key & 0x0F));
      PutBe32(&s[3], mSense.info);
      s[7] = 10;
      s[12] = mSense.asc;
      s[13] = mSense.ascq;
      mSense = Sense();
      Reply(std::move(s));
      break;
    }
    case 0x12:
      DoInquiry();
      break;
    case 0x15:
      DoModeSelect();
      break;
    case 0x1B:
      DoScan();
      break;
    case 0x1C:
      DoDiagnostic();
      break;
    case 0x24:
      DoSetWindow();
      break;
    case 0x28:
      DoRead();
      break;
    case 0x2A:
      DoSend();
      break;
    case 0x31:
      DoObjectPosition();
      break;
    case 0xC2:
      DoHardwareStatus();
      break;
    case 0xF1:
      DoScannerControl();
      break;
    default:
      Refuse(0x20, "unknown operation code");
      break;
  }
  mPhase = HasDataIn(op) ? Phase::kDataIn : Phase::kStatus;
}

void ScannerCore::DoInquiry() {
  mInLen = Be16(mCdb + 3);
  if (mCdb[1] & 0x01) {
    if (mCdb[2] != 0xF0) return Refuse(0x24, "unknown vital product data page");
    std::vector<uint8_t> p(100, 0);
    p[0] = 0x06;  // scanner
    p[1] = 0xF0;
    p[3] = 0x02;
    p[4] = 95;
    PutBe16(&p[5], 600);  // basic resolutions
    PutBe16(&p[7], 600);
    p[9] = 0x01;
    PutBe16(&p[10], 600);  // maximum and minimum resolutions
    PutBe16(&p[12], 600);
    PutBe16(&p[14], 50);
    PutBe16(&p[16], 50);
    p[18] = 0xFE;  // resolution steps
    p[19] = 0x00;
    PutBe32(&p[20], uint32_t(mModel.mAdfWidth * 1200));
    PutBe32(&p[24], uint32_t(mModel.mAdfLength * 1200));
    p[28] = 0x7F;
    p[32] = mModel.mSupportsJpeg ? 0x02 : 0x00;
    p[33] = 0x02;
    PutBe32(&p[34], mModel.mMaxReadSize);
    p[38] = mModel.mHasFlatbed ? 0x01 : 0x00;
    Reply(std::move(p));
    return;
  }
  if (mCdb[2] != 0) return Refuse(0x24, "page code without the vital product data bit");
  std::vector<uint8_t> s(96, ' ');
  s[0] = 0x06;
  s[1] = 0x00;
  s[2] = 0x02;
  s[3] = 0x02;
  s[4] = 91;
  s[5] = s[6] = s[7] = 0;
  std::memcpy(&s[8], "FUJITSU ", 8);
  size_t nameLen = std::min<size_t>(16, std::strlen(mModel.mModelName));
  std::memcpy(&s[16], mModel.mModelName, nameLen);  // blank-padded to 16
  std::memcpy(&s[32], "0A00", 4);
  std::fill(s.begin() + 36, s.end(), 0);
  Reply(std::move(s));
}

void ScannerCore::DoModeSelect() {
  if (mCdb[4] != 12 || mOut.size() != 12) return Refuse(0x24, "mode parameter list is not 12 bytes");
  const uint8_t* d = mOut.data();
  if (d[5] != 6) return Refuse(0x26, "mode page length is not 6");
  switch (d[4] & 0x3F) {
    case 0x29:  // reset all modes to the defaults
      mAutoLength = false;
      mDoubleFeedDetect = false;
      mDoubleFeedKeepScanning = false;
      break;
    case 0x3C:
      mAutoLength = (d[7] & 0x80) != 0;
      break;
    case 0x38:
      mDoubleFeedDetect = (d[6] & 0x80) && (d[6] & 0x19);
      mDoubleFeedKeepScanning = mDoubleFeedDetect && (d[6] & 0x40);
      break;
    case 0x33:  // prepick
    case 0x3A:  // buffered scan
    case 0x2F:  // counter reset, automatic colour
      break;
    default:
      return Refuse(0x26, "unknown mode page");
  }
  Good();
}

void ScannerCore::DoSetWindow() {
  const uint32_t len = Be24(mCdb + 6);
  if ((len != 72 && len != 136) || mOut.size() != len) return Refuse(0x24, "window data is neither 72 nor 136 bytes");
  const uint8_t* d = mOut.data();
  if (Be16(d + 6) != kWindowDescLen) return Refuse(0x26, "window descriptor length is not 64");
  WindowDesc parsed[2];
  int count = int((len - 8) / kWindowDescLen);
  for (int i = 0; i < count; ++i) {
    std::string why;
    if (!ParseWindow(d + 8 + i * kWindowDescLen, mModel, &parsed[i], &why)) return Refuse(0x26, why.c_str());
  }
  if (count == 2 && parsed[0].id == parsed[1].id) return Refuse(0x26, "the same window id twice");
  for (int i = 0; i < count; ++i) {
    int slot = parsed[i].id == 0x80 ? 1 : 0;
    mWindow[slot] = parsed[i];
    mHaveWindow[slot] = true;
  }
  Good();
}

void ScannerCore::DoSend() {
  if (mCdb[2] != 0x83) return Refuse(0x24, "unknown data type for SEND");
  if (Be24(mCdb + 6) != 266 || mOut.size() != 266) return Refuse(0x24, "tone table data is not 266 bytes");
  if (mOut[2] != 0x10) return Refuse(0x26, "tone table header");
  std::memcpy(mLut, mOut.data() + 10, 256);
  bool identity = true;
  for (int i = 0; i < 256; ++i) identity = identity && mLut[i] == i;
  mHaveLut = !identity;
  Good();
}

void ScannerCore::DoDiagnostic() {
  mInLen = Be16(mCdb + 3);
  if (mInLen == 16) {
    std::vector<uint8_t> v(16, 0xFF);
    std::memcpy(&v[0], "0A00", 4);
    std::memcpy(&v[4], "0B00", 4);
    return Reply(std::move(v));
  }
  if (mInLen == 12) {
    std::vector<uint8_t> c(12, 0);
    c[0] = uint8_t(mFedSheets % 50);  // a page count that moves with use
    c[3] = 2;
    return Reply(std::move(c));
  }
  Refuse(0x24, "unknown diagnostic length");
}

void ScannerCore::DoHardwareStatus() {
  mInLen = Be16(mCdb + 7);
  std::vector<uint8_t> s(11, 0);
  if (mSheet.doubleFeedFlag) s[6] |= 0x01;
  Reply(std::move(s));
}

void ScannerCore::DoScannerControl() {
  switch (mCdb[1]) {
    case 0:
      mFlatbed = false;
      return Good();
    case 1:
      if (!mModel.mHasFlatbed) return Refuse(0x24, "no flatbed on this model");
      mFlatbed = true;
      return Good();
    case 4:  // ends an interrupted job: stop scanning the current sheet
      mSide[0].active = mSide[1].active = false;
      return Good();
    case 5:
      if (mLampLeft > 0) {
        --mLampLeft;
        return Check(0x02, 0x04, 0x01);  // not ready: the lamp warms up
      }
      return Good();
    case 9:
      return Good();
    case 13:
      // Stop feeding: the sheet already picked up behind the current one is
      // still delivered, after it the hopper counts as empty.
      if (mLastPickedSheet == 0) mLastPickedSheet = mFedSheets + 1;
      return Good();
    case 0x10: {  // READ IMAGE CHECK
      if (!mModel.mImplementsReadCheck) return Refuse(0x24, "no read check on this model");
      int slot = mCdb[2] == 0x80 ? 1 : mCdb[2] == 0x00 ? 0 : -1;
      if (slot < 0) return Refuse(0x24, "unknown window id");
      SideState& side = mSide[slot];
      if (!side.active) return Check(0x05, 0x2C, 0x00);
      if (side.busyLeft > 0) {
        --side.busyLeft;
        if (side.busyGiven++ % 2 == 0) return Check(0x03, 0x80, 0x13);  // image data not ready yet
        return Busy();
      }
      return Good();
    }
    default:
      return Refuse(0x24, "unknown scanner control function");
  }
}

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

void ScannerCore::DoRead() {
  const uint32_t length = Be24(mCdb + 6);
  mInLen = length;
  if (mCdb[2] == 0x80) {  // pixel size
    int slot = mCdb[5] == 0x80 ? 1 : 0;
    if (!mHaveWindow[slot]) return Check(0x05, 0x2C, 0x00);
    const WindowDesc& w = mWindow[slot];
    const SideState& side = mSide[mInterleaved ? 0 : slot];
    const bool scanned = side.data.body != nullptr;
    std::vector<uint8_t> r(24, 0);
    PutBe32(&r[0], w.PixelWidth());
    PutBe32(&r[4], w.Lines());
    PutBe32(&r[12], scanned ? side.paperLines : w.Lines());
    return Reply(std::move(r));
  }
  if (mCdb[2] != 0x00) return Refuse(0x24, "unknown READ data type");
  DoReadImage(length);
}

void ScannerCore::DoReadImage(uint32_t length) {
  int slot = mCdb[5] == 0x80 ? 1 : mCdb[5] == 0x00 ? 0 : -1;
  if (slot < 0) return Refuse(0x24, "unknown window id");
  if (length > mModel.mMaxReadSize) return Refuse(0x24, "READ longer than the model's largest transfer");
  SideState& side = mSide[slot];
  if (!side.active) return Check(0x05, 0x2C, 0x00);
  if (mSheet.faultStruck) {
    if (mSheet.fault == SheetFault::kJam) return Check(0x03, 0x80, 0x01);
    if (mSheet.fault == SheetFault::kDoubleFeed) return Check(0x03, 0x80, 0x07);
  }
  const bool faultAhead = slot == 0 && mSheet.fault != SheetFault::kNone && !mSheet.faultStruck;
  if (faultAhead && side.pos >= mSheet.faultAt) {
    mSheet.faultStruck = true;
    switch (mSheet.fault) {
      case SheetFault::kJam: return Check(0x03, 0x80, 0x01);
      case SheetFault::kDoubleFeed: return Check(0x03, 0x80, 0x07);
      case SheetFault::kUnplug:
        mUnplugOnRead = true;
        mImageRead = true;
        mReadSide = slot;
        return Good();
      case SheetFault::kNone: break;
    }
  }
  if (side.busyLeft > 0) {
    --side.busyLeft;
    if (side.busyGiven++ % 2 == 0) return Check(0x03, 0x80, 0x13);
    return Busy();
  }
  uint64_t cap = length;
  if (faultAhead) cap = std::min<uint64_t>(cap, mSheet.faultAt - side.pos);
  // Raw data comes in whole lines whenever at least one line was asked for.
  const uint32_t lineBytes = side.data.lineBytes;
  if (lineBytes && cap >= lineBytes) {
    uint64_t end = (side.pos + cap) / lineBytes * lineBytes;
    if (end > side.pos) cap = end - side.pos;
  }
  mAvail = uint32_t(std::min<uint64_t>(cap, side.data.Size() - side.pos));
  mImageRead = true;
  mReadSide = slot;
  Good();
}

// ------------------------------------------------------------ USB objects

VirtualDevice::~VirtualDevice() {
  if (mOpen) mCore->CloseDevice();
}

usb::IOReturn VirtualDevice::Open() {
  usb::IOReturn rc = mCore->OpenDevice();
  if (rc == usb::kIOReturnSuccess) mOpen = true;
  return rc;
}

usb::IOReturn VirtualDevice::Close() {
  if (!mOpen) return mCore->CheckPresent();
  mOpen = false;
  return mCore->CloseDevice();
}

usb::IOReturn VirtualDevice::GetLocationId(uint32_t* location) {
  *location = mCore->Config().location;
  return mCore->CheckPresent();
}

usb::IOReturn VirtualDevice::GetConfigurationValue(uint8_t index, uint8_t* value) {
  if (index != 0) return usb::kIOReturnBadArgument;
  *value = 1;
  return mCore->CheckPresent();
}

usb::IOReturn VirtualDevice::SetConfiguration(uint8_t value) {
  if (value != 1) return usb::kIOReturnBadArgument;
  return mCore->CheckPresent();
}

usb::IOReturn VirtualDevice::GetFirstInterface(std::unique_ptr<usb::UsbInterface>* iface) {
  usb::IOReturn rc = mCore->CheckPresent();
  if (rc != usb::kIOReturnSuccess) return rc;
  *iface = std::make_unique<VirtualInterface>(mCore);
  return rc;
}

usb::IOReturn VirtualDevice::GetDeviceSpeed(int* speed) {
  *speed = mCore->Config().speed;
  return mCore->CheckPresent();
}

VirtualBus::VirtualBus(std::vector<ScannerConfig> configs) {
  std::weak_ptr<Watchers> watchers = mWatchers;
  for (ScannerConfig& config : configs) {
    auto core = std::make_shared<ScannerCore>(std::move(config));
    core->SetUnplugCallback([watchers](const usb::UsbDeviceDesc& desc) {
      std::shared_ptr<Watchers> w = watchers.lock();
      if (!w) return;
      std::vector<usb::HotPlugCallback> callbacks;
      {
        std::lock_guard<std::mutex> lock(w->mutex);
        callbacks = w->callbacks;
      }
      for (auto& cb : callbacks) cb(usb::HotPlugEvent::kLeft, desc);
    });
    mScanners.push_back(std::move(core));
  }
}

VirtualBus::~VirtualBus() = default;

std::vector<usb::UsbDeviceDesc> VirtualBus::Enumerate() {
  std::vector<usb::UsbDeviceDesc> out;
  for (auto& s : mScanners)
    if (s->Present()) out.push_back(s->Desc());
  return out;
}

std::unique_ptr<usb::UsbDevice> VirtualBus::FindByLocation(uint32_t location) {
  for (auto& s : mScanners)
    if (s->Present() && s->Config().location == location) return std::make_unique<VirtualDevice>(s);
  return nullptr;
}

bool VirtualBus::WatchHotPlug(uint32_t vendorId, usb::HotPlugCallback callback) {
  if (vendorId != kVendorId) return true;  // no virtual device of another vendor ever comes or goes
  std::lock_guard<std::mutex> lock(mWatchers->mutex);
  mWatchers->callbacks.push_back(std::move(callback));
  return true;
}

}  // namespace quirel::virt

// The virtual scanner's command handlers, from command block decoding to image data reads.
#include "VirtualScannerCore.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "VirtualWire.h"

namespace quirel::virt {

using namespace wire;

namespace {

// Commands with a data-in phase, whatever their answer.
bool HasDataIn(uint8_t opcode) {
  return opcode == 0x03 || opcode == 0x12 || opcode == 0x1C || opcode == 0x28 || opcode == 0xC2;
}

}  // namespace

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
  // Both sides in one stream, each taking half of every row of blocks: each
  // side must be whole blocks wide.
  if (count == 2 && mModel.mJpegInterleave && parsed[0].jpeg && parsed[1].jpeg) {
    for (const WindowDesc& w : parsed)
      if (w.PixelWidth() % w.McuWidth() != 0)
        return Refuse(0x26, "an interleaved JPEG window is not a whole number of blocks wide");
  }
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

}  // namespace quirel::virt

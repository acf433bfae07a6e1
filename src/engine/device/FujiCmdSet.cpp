// The scanner's commands: their command blocks and the parsers of their replies.
//
// SET WINDOW and SEND are in FujiWindow.cpp.
#include <ios>

#include "ByteOrder.h"
#include "FujiCmds.h"

namespace ZuzuvovOvav {

namespace {

const char* TF(bool b) { return b ? "t" : "f"; }

// Copies `len` characters and drops the blanks at the end.
void CopyTrimmed(char* out, const uint8_t* in, int len) {
  std::memcpy(out, in, size_t(len));
  out[len] = 0;
  for (int i = len - 1; i >= 0 && out[i] == ' '; --i) out[i] = 0;
}

// The flag bits each reply decodes, by byte; the other bits are dropped.
struct FlagMask {
  int byte;
  uint8_t mask;
};

constexpr FlagMask kEvpdFlags[] = {
    {18, 0xFF}, {19, 0xFF}, {28, 0xF7}, {32, 0xFE}, {38, 0x03}, {39, 0xFF}, {40, 0xFF},
    {41, 0xFF}, {43, 0x06}, {49, 0x02}, {88, 0xFF}, {89, 0xC0}, {90, 0xFE},
};

constexpr FlagMask kHardwareStatusFlags[] = {
    {2, 0x0F}, {3, 0xBE}, {4, 0xC7}, {5, 0xF0}, {6, 0xFF},
};

}  // namespace

Cmd_RequestSense::Cmd_RequestSense(Device& device) : Cmd_ReceivesData<kSenseLen>(device, 0x03) {
  mCdb[4] = kSenseLen;
}

void Cmd_RequestSense::ProcessReturnSelf() {
  const uint8_t* b = mRcvBytes;
  mResult.mValid = (b[0] & 0x80) != 0;
  mResult.mErrorCode = b[0] & 0x7F;
  // Byte 2 of fixed-format sense data: bit 7 filemark, bit 6 end of
  // medium, bit 5 incorrect length. The scanner marks the end of a side
  // with 0x60: end of medium with the length left over in the information
  // field.
  mResult.mFilemark = (b[2] & 0x80) != 0;
  mResult.mEom = (b[2] & 0x40) != 0;
  mResult.mIli = (b[2] & 0x20) != 0;
  mResult.mSenseKey = b[2] & 0x0F;
  Bytes2Long(&mResult.mInfo, b + 3);
  mResult.mAsc = b[12];
  mResult.mAscq = b[13];
  BuildSenseMsg();

  const Result& r = mResult;
  mReplyDesc << "(0x" << std::hex << unsigned(r.mStatus) << ", " << TF(r.mValid) << ", 0x" << unsigned(r.mErrorCode)
             << ", " << TF(r.mFilemark) << ", " << TF(r.mEom) << ", " << TF(r.mIli) << ", 0x" << unsigned(r.mSenseKey)
             << ", 0x" << uint32_t(r.mInfo) << ", 0x" << unsigned(r.mAsc) << ", 0x" << unsigned(r.mAscq) << ", "
             << std::dec << r.mXferCount << ") " << mSenseMsg;
}

Cmd_InquiryStd::Cmd_InquiryStd(Device& device) : Cmd_ReceivesData<96>(device, 0x12) { mCdb[4] = 96; }

void Cmd_InquiryStd::ProcessReturnSelf() {
  CopyTrimmed(mVendor, mRcvBytes + 8, 8);
  CopyTrimmed(mProductText, mRcvBytes + 16, 16);
  std::memcpy(mRevision, mRcvBytes + 33, 3);
  mRevision[3] = 0;
}

Cmd_InquiryEvpd::Cmd_InquiryEvpd(Device& device) : Cmd_ReceivesData<kEvpdLen>(device, 0x12) {
  mCdb[1] = 1;
  mCdb[2] = 0xF0;
  mCdb[4] = kEvpdLen;
}

void Cmd_InquiryEvpd::ProcessReturnSelf() {
  const uint8_t* b = mRcvBytes;
  static constexpr int kShortAt[6] = {5, 7, 10, 12, 14, 16};
  for (int i = 0; i < 6; ++i) mShorts[i] = uint16_t((b[kShortAt[i]] << 8) | b[kShortAt[i] + 1]);
  mByte9 = b[9];
  static constexpr int kLongAt[3] = {20, 24, 34};
  for (int i = 0; i < 3; ++i) Bytes2ULong(&mLongs[i], b + kLongAt[i]);
  mNibble33 = b[33] & 0x0F;
  for (const FlagMask& f : kEvpdFlags) mFlagBits[f.byte] = b[f.byte] & f.mask;
}

Cmd_ModeSelect::Cmd_ModeSelect(Device& device, uint8_t pageCode) : Cmd_SendsData<12>(device, 0x15) {
  mCdb[1] = 0x10;
  mCdb[4] = 12;
  mSendBytes[4] = pageCode;
  mSendBytes[5] = 6;
}

Cmd_ModeSelect_ResetAll::Cmd_ModeSelect_ResetAll(Device& device) : Cmd_ModeSelect(device, 0x29) {
  mSendBytes[6] = 0x01;
}

Cmd_ModeSelect_Prepick::Cmd_ModeSelect_Prepick(Device& device, PrepickModeE mode) : Cmd_ModeSelect(device, 0x33) {
  mSendBytes[6] = mode;
}

Cmd_ModeSelect_BufferedScan::Cmd_ModeSelect_BufferedScan(Device& device, BufferedScanModeE mode)
    : Cmd_ModeSelect(device, 0x3A) {
  mSendBytes[6] = mode;
}

Cmd_ModeSelect_AutoLength::Cmd_ModeSelect_AutoLength(Device& device, bool on) : Cmd_ModeSelect(device, 0x3C) {
  mSendBytes[7] = uint8_t(on ? 0x80 : 0);
}

// Keep scanning only means something when a detection is on.
Cmd_ModeSelect_DoubleFeedOptions::Cmd_ModeSelect_DoubleFeedOptions(Device& device, bool byThickness, bool byLength,
                                                                   bool keepScanning)
    : Cmd_ModeSelect(device, 0x38) {
  uint8_t v = uint8_t((byLength ? 0x09 : 0) | (byThickness ? 0x10 : 0));
  if (v != 0) {
    v |= 0x80;
    if (keepScanning) v |= 0x40;
  }
  mSendBytes[6] = v;
}

Cmd_ModeSelect_ResetCounter::Cmd_ModeSelect_ResetCounter(Device& device) : Cmd_ModeSelect(device, 0x2F) {}

Cmd_ModeSelect_AutoColor::Cmd_ModeSelect_AutoColor(Device& device, bool on) : Cmd_ModeSelect(device, 0x2F) {
  mSendBytes[6] = on ? 0xF0 : 0xA0;
}

Cmd_Scan::Cmd_Scan(Device& device, const ScanParams& params)
    : Cmd_Scan(device, params.mDuplex ? (kSideFront | kSideBack) : kSideFront) {}

Cmd_Scan::Cmd_Scan(Device& device, int sides) : Cmd_SendsData<2>(device, 0x1B) {
  mBack = (sides & kSideBack) != 0;
  // Without the back, the front is scanned whatever else the mask says.
  mFront = (sides & kSideFront) != 0 || !mBack;
}

void Cmd_Scan::PrepareToSendSelf() {
  if (mFront && mBack) {
    mSendBytes[0] = kWindowFront;
    mSendBytes[1] = kWindowBack;
  } else {
    mSendBytes[0] = mBack ? kWindowBack : kWindowFront;
    mSendBytes[1] = 0;
  }
  mCdb[4] = uint8_t(GetSendBytesLen());
}

void Cmd_ReceiveDiagnosticResults__FirmwareVersion::ProcessReturnSelf() {
  for (int i = 0; i < 4; ++i) {
    const uint8_t* p = mRcvBytes + 4 * i;
    if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF && p[3] == 0xFF) {
      mVersion[i][0] = 0;
    } else {
      std::memcpy(mVersion[i], p, 4);
      mVersion[i][4] = 0;
    }
  }
}

void Cmd_ReceiveDiagnosticResults__Counts::ProcessReturnSelf() {
  const uint8_t* b = mRcvBytes;
  mCount[0] = b[0] * 10 + b[3] * 500 + b[4] * 128000;
  mCount[1] = b[5] * 10 + b[6] * 500 + b[7] * 128000;
  mCount[2] = b[1] * 500 + b[2] * 128000;
  mCount[3] = b[8] * 500 + b[9] * 128000;
  mCount[4] = b[10] * 500 + b[11] * 128000;
}

namespace {
// The CDB carries the length in 24 bits; the buffer never exceeds what it can ask for.
int ReadImageLen(int length) {
  if (length <= 0) return kDefaultReadLen;
  return length > 0xFFFFFF ? 0xFFFFFF : length;
}
}  // namespace

Cmd_ReadImage::Cmd_ReadImage(Device& device, WhichWindowE window, int length)
    : Cmd_ReceivesDataShared(device, 0x28, ReadImageLen(length)) {
  mCdb[5] = window;
  ULong2Bytes3Only(mCdb + 6, uint32_t(mRcvLen));
  mReqDesc << "wdw: " << unsigned(window) << ", len: " << length;
}

Cmd_ReadPixelSize::Cmd_ReadPixelSize(Device& device) : Cmd_ReceivesData<24>(device, 0x28) {
  mCdb[2] = 0x80;
  ULong2Bytes3Only(mCdb + 6, 24);
}

void Cmd_ReadPixelSize::ProcessReturnSelf() {
  Bytes2ULong(&mPixelWidth, mRcvBytes);
  Bytes2ULong(&mPixelLength, mRcvBytes + 4);
  Bytes2ULong(&mPaperLength, mRcvBytes + 12);
}

Cmd_ObjectPosition::Cmd_ObjectPosition(Device& device, ObjPositionE position) : CmdNoData(device, 0x31) {
  mCdb[1] = position;
}

Cmd_GetHardwareStatus::Cmd_GetHardwareStatus(Device& device)
    : Cmd_ReceivesData<kHardwareStatusLen>(device, 0xC2) {
  mCdb[8] = kHardwareStatusLen;
}

void Cmd_GetHardwareStatus::ProcessReturnSelf() {
  for (const FlagMask& f : kHardwareStatusFlags) mFlagBits[f.byte] = mRcvBytes[f.byte] & f.mask;
  mNibble5 = mRcvBytes[5] & 0x0F;
  mDoubleFeed = (mRcvBytes[6] & 0x01) != 0;
}

Cmd_ScannerControl::Cmd_ScannerControl(Device& device, ControlFuncE function) : CmdNoData(device, 0xF1) {
  mCdb[1] = function;
}

Cmd_ReadImageCheck::Cmd_ReadImageCheck(Device& device, WhichWindowE window, int length)
    : Cmd_ScannerControl(device, kReadImageCheck) {
  mCdb[2] = window;
  ULong2Bytes3Only(mCdb + 6, uint32_t(length));
  mReqDesc << "wdw: " << unsigned(window) << ", len: " << length;
}

}  // namespace ZuzuvovOvav

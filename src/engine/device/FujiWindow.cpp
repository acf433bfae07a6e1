// SET WINDOW and SEND of a tone table, with the three built-in tables.
//
// SET WINDOW carries one 64-byte window descriptor per side.
#include <utility>

#include "ByteOrder.h"
#include "FujiCmds.h"

namespace ZuzuvovOvav {

namespace {

constexpr uint8_t kOpSetWindow = 0x24;
constexpr uint8_t kOpSend = 0x2A;
constexpr int kLutEntries = 256;
constexpr int kLutHeaderLen = 10;

}  // namespace

Cmd_SetWindow::Cmd_SetWindow(Device& device, const Cmd_WdwRec* front, const Cmd_WdwRec* back)
    : Cmd_SendsData(device, kOpSetWindow), mHasFront(front != nullptr), mHasBack(back != nullptr) {
  if (front) mFront = *front;
  if (back) mBack = *back;
  mCdb[8] = uint8_t(GetSendBytesLen());

  const ScanParams& p = mFront;
  const int s = p.mOverSample ? 1 : 0;
  uint32_t paperW = p.mPaperWidth, paperH = p.mPaperHeight;
  uint32_t left = p.mUpperLeftX, top = p.mUpperLeftY;
  uint32_t scanW = p.mInWidth1200, scanH = p.mInHeight1200;
  if (p.mLandscape) {
    std::swap(paperW, paperH);
    std::swap(left, top);
    std::swap(scanW, scanH);
  }
  mReqDesc << (mHasFront && mHasBack ? "both" : mHasFront ? " front" : "back") << ", xres: " << (unsigned(p.mXRes) << s)
           << ", yres: " << (unsigned(p.mYRes) << s) << ", paper: " << paperW << " x " << paperH
           << ", origin: " << left << "," << top << ", scan: " << scanW << " x " << scanH
           << ", type: " << int(p.mImageType) << ", jpeg: " << (p.mWillUseJpeg ? "y" : "n");
  if (p.mWillUseJpeg) mReqDesc << " (level: " << p.mJpegLevel << ", subsample: " << p.mJpegSubsample << ")";
}

int Cmd_SetWindow::GetSendBytesLen() const {
  if (mHasFront && mHasBack) return kWdwHeaderLen + 2 * kWdwDescLen;
  if (mHasFront || mHasBack) return kWdwHeaderLen + kWdwDescLen;
  return 0;
}

const uint8_t* Cmd_SetWindow::GetSendBytes() {
  std::memset(mSendBytes, 0, sizeof mSendBytes);
  mSendBytes[7] = kWdwDescLen;
  uint8_t* pos = mSendBytes + kWdwHeaderLen;
  if (mHasFront) {
    SetupWdwBytes(kWindowFront, pos);
    pos += kWdwDescLen;
  }
  if (mHasBack) SetupWdwBytes(kWindowBack, pos);
  return mSendBytes;
}

void Cmd_SetWindow::SetupWdwBytes(WhichWindowE window, uint8_t* out) const {
  SetupWdwParamBytes(window == kWindowBack ? mBack : mFront, out);
  out[0] = window;
}

void Cmd_SetWindow::SetupWdwParamBytes(const ScanParams& p, uint8_t* out) const {
  std::memset(out + 1, 0, kWdwDescLen - 1);
  const int s = p.mOverSample ? 1 : 0;
  const bool colour = p.mImageType == kImageTypeColor;
  UShort2Bytes(out + 2, uint16_t(unsigned(p.mXRes) << s));
  UShort2Bytes(out + 4, uint16_t(unsigned(p.mYRes) << s));
  ULong2Bytes(out + 6, p.mLandscape ? p.mUpperLeftY : p.mUpperLeftX);
  ULong2Bytes(out + 10, p.mLandscape ? p.mUpperLeftX : p.mUpperLeftY);
  ULong2Bytes(out + 14, p.mInWidth1200);
  ULong2Bytes(out + 18, p.mInHeight1200);
  out[22] = p.mBrightness;
  // The scanner takes a threshold of 0 as "none"; the middle level stands in.
  if (p.mDtcVariation == 'n') out[23] = p.mThreshold ? p.mThreshold : 0x80;
  out[24] = p.mContrast;
  out[25] = uint8_t(p.mImageType);
  out[26] = uint8_t(p.mBitsPerComponent);
  out[27] = uint8_t(p.mHalftoneProcess);
  out[28] = uint8_t(p.mHalftonePattern);
  out[29] = uint8_t(p.mReverseImage << 7);
  out[32] = uint8_t(p.mWillUseJpeg ? p.mJpegSubsample : p.mCompressionType);
  out[33] = uint8_t(p.mWillUseJpeg ? p.mJpegLevel : 0);
  if (colour) out[40] = 0xC1;
  if (mDevice.RequiresLut()) out[41] = 0x80;
  if (colour) {
    out[42] = uint8_t(mDevice.ColorInterleave());
    out[43] = uint8_t(mDevice.BestColorOrder());
  } else {
    out[43] = p.mOutlineEmphasis;
  }
  out[53] = 0xC0;
  ULong2Bytes(out + 54, p.mLandscape ? p.mPaperHeight : p.mPaperWidth);
  ULong2Bytes(out + 58, p.mLandscape ? p.mPaperWidth : p.mPaperHeight);
  if (!colour && p.mDtcVariation != 'n') out[62] = uint8_t(p.mDtcVariation << 6);
}

const uint8_t Cmd_SendLut::sLutNormal[256] = {
#define ROW(b) b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7, b + 8, b + 9, b + 10, b + 11, b + 12, b + 13, b + 14, b + 15
    ROW(0),   ROW(16),  ROW(32),  ROW(48),  ROW(64),  ROW(80),  ROW(96),  ROW(112),
    ROW(128), ROW(144), ROW(160), ROW(176), ROW(192), ROW(208), ROW(224), ROW(240),
#undef ROW
};

// The two shaped tables clip the lowest ten levels to 0 and rise monotonically.
const uint8_t Cmd_SendLut::sLutSoft[256] = {
      0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   8,  14,  22,  26,  29,  34,
     37,  41,  45,  48,  50,  52,  53,  56,  58,  60,  62,  63,  65,  67,  69,  71,
     72,  74,  75,  77,  78,  79,  81,  82,  83,  84,  85,  86,  87,  88,  89,  90,
     91,  92,  93,  94,  95,  95,  96,  97,  98,  99,  99, 100, 101, 102, 103, 103,
    104, 105, 106, 106, 107, 108, 108, 109, 109, 110, 110, 111, 112, 112, 113, 113,
    114, 115, 115, 116, 117, 117, 118, 119, 119, 120, 121, 122, 122, 123, 123, 124,
    124, 125, 125, 126, 126, 127, 127, 127, 128, 128, 129, 129, 130, 130, 131, 131,
    132, 132, 133, 133, 134, 134, 135, 136, 136, 137, 137, 138, 138, 139, 139, 139,
    140, 140, 141, 141, 142, 142, 143, 143, 144, 144, 144, 145, 145, 146, 146, 147,
    147, 148, 148, 149, 149, 150, 151, 151, 152, 152, 153, 153, 154, 154, 155, 155,
    156, 157, 157, 158, 158, 159, 159, 160, 160, 161, 161, 162, 163, 163, 164, 165,
    165, 166, 166, 167, 167, 168, 169, 169, 170, 171, 171, 172, 173, 173, 174, 175,
    176, 176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190,
    191, 192, 193, 194, 195, 197, 198, 199, 200, 201, 202, 203, 205, 206, 207, 208,
    209, 210, 211, 212, 213, 215, 216, 217, 218, 219, 220, 222, 223, 224, 226, 227,
    228, 230, 231, 233, 235, 236, 238, 240, 242, 243, 244, 246, 247, 248, 250, 253,
};

const uint8_t Cmd_SendLut::sLutSharp[256] = {
      0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   1,   1,   3,   3,   5,   6,
      8,  10,  12,  14,  15,  16,  17,  19,  21,  23,  25,  26,  27,  29,  30,  32,
     34,  36,  37,  39,  40,  42,  44,  45,  47,  48,  49,  50,  51,  53,  54,  55,
     57,  58,  59,  61,  62,  64,  66,  67,  69,  70,  72,  73,  74,  75,  76,  78,
     79,  80,  81,  83,  84,  86,  87,  88,  89,  90,  91,  92,  93,  94,  95,  96,
     97,  98,  99, 100, 101, 102, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113,
    114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 124, 125, 126, 127, 128,
    129, 130, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143,
    144, 145, 146, 147, 148, 149, 150, 151, 152, 153, 155, 156, 157, 158, 159, 161,
    162, 163, 164, 166, 167, 168, 169, 170, 171, 173, 174, 175, 176, 177, 178, 180,
    181, 182, 183, 184, 186, 187, 188, 189, 190, 191, 193, 195, 196, 198, 199, 200,
    201, 202, 203, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 216, 217,
    218, 218, 219, 220, 221, 221, 222, 223, 223, 224, 225, 225, 226, 226, 227, 227,
    228, 228, 229, 229, 230, 230, 230, 231, 231, 232, 232, 232, 233, 233, 233, 234,
    234, 235, 235, 235, 236, 236, 236, 237, 237, 237, 238, 238, 238, 239, 240, 240,
    241, 241, 242, 242, 242, 243, 244, 244, 245, 246, 246, 247, 247, 248, 249, 250,
};

Cmd_SendLut::Cmd_SendLut(Device& device, LutTypeE type) : Cmd_SendsData(device, kOpSend), mLutType(type) {}

void Cmd_SendLut::PrepareToSendSelf() {
  mCdb[2] = 0x83;
  UShort2Bytes(mCdb + 7, kLutDataLen);
  std::memset(mSendBytes, 0, kLutHeaderLen);
  mSendBytes[2] = 0x10;
  mSendBytes[4] = 1;
  mSendBytes[6] = 1;
  const uint8_t* table = mLutType == kLutSoft ? sLutSoft : mLutType == kLutSharp ? sLutSharp : sLutNormal;
  std::memcpy(mSendBytes + kLutHeaderLen, table, kLutEntries);
}

}  // namespace ZuzuvovOvav

// Tests of SET WINDOW parameter data and the tone tables.
#include <gtest/gtest.h>

#include "ByteOrder.h"
#include "CmdTestDevice.h"

using namespace ZuzuvovOvav;
using namespace quirel::testing;

namespace {

uint32_t Long(const Bytes& b, int at) {
  uint32_t v;
  Bytes2ULong(&v, &b[at]);
  return v;
}
unsigned Short(const Bytes& b, int at) { return unsigned(b[at]) << 8 | b[at + 1]; }

// The descriptor of a one-window SET WINDOW.
Bytes Descriptor(Device& d, const ScanParams& p) {
  Cmd_WdwRec rec(p);
  Cmd_SetWindow cmd(d, &rec, nullptr);
  const uint8_t* b = cmd.GetSendBytes();
  return Bytes(b + 8, b + 72);
}

}  // namespace

TEST(Window, SimplexAndDuplexParameterData) {
  CmdTestDevice t(kFi7160);
  Cmd_WdwRec front, back;
  front.mXRes = 300;
  back.mXRes = 600;
  t.usb->ScriptDataOutCommand();
  t.usb->ScriptDataOutCommand();
  Cmd_SetWindow duplex(t.device, &front, &back);
  ASSERT_EQ(duplex.SendToScanner(), 0);
  Cmd_SetWindow simplex(t.device, &front, nullptr);
  ASSERT_EQ(simplex.SendToScanner(), 0);

  const auto writes = t.usb->Ops(UsbOp::kWrite);
  EXPECT_EQ(writes[0].data[19 + 8], 136);
  const Bytes& two = writes[1].data;
  ASSERT_EQ(two.size(), 136u);
  EXPECT_EQ(Bytes(two.begin(), two.begin() + 8), (Bytes{0, 0, 0, 0, 0, 0, 0, 64}));
  EXPECT_EQ(two[8], 0x00);
  EXPECT_EQ(Short(two, 8 + 2), 300u);
  EXPECT_EQ(two[72], 0x80);
  EXPECT_EQ(Short(two, 72 + 2), 600u) << "the second descriptor is the back window's";
  EXPECT_EQ(writes[2].data[19 + 8], 72);
  ASSERT_EQ(writes[3].data.size(), 72u);
  EXPECT_EQ(writes[3].data[8], 0x00);

  Cmd_SetWindow backOnly(t.device, nullptr, &back);
  EXPECT_EQ(backOnly.GetSendBytesLen(), 72);
  EXPECT_EQ(backOnly.GetSendBytes()[8], 0x80) << "a lone back window takes the first place";
}

TEST(Window, GeometryOversampleAndLandscape) {
  CmdTestDevice t(kFi7160);
  ScanParams p;
  p.mXRes = p.mYRes = 300;
  p.mOverSample = true;
  p.mUpperLeftX = 1200;
  p.mUpperLeftY = 2400;
  p.mPaperWidth = 10200;
  p.mPaperHeight = 13200;
  p.mInWidth1200 = 9000;
  Bytes w = Descriptor(t.device, p);
  EXPECT_EQ(Short(w, 2), 600u);
  EXPECT_EQ(Short(w, 4), 600u);
  EXPECT_EQ(Long(w, 6), 1200u);
  EXPECT_EQ(Long(w, 54), 10200u);
  EXPECT_EQ(w[53], 0xC0);

  p.mOverSample = false;
  p.mLandscape = true;
  w = Descriptor(t.device, p);
  EXPECT_EQ(Short(w, 2), 300u);
  EXPECT_EQ(Long(w, 6), 2400u);
  EXPECT_EQ(Long(w, 10), 1200u);
  EXPECT_EQ(Long(w, 14), 9000u) << "the scan size is not swapped";
  EXPECT_EQ(Long(w, 54), 13200u);
  EXPECT_EQ(Long(w, 58), 10200u);
}

TEST(Window, ThresholdColourAndCompressionBytes) {
  ScanParams p(kImageTypeLineArt);
  {
    CmdTestDevice t(kFi7160);  // RGB order 0, interleave 1, tone table required
    p.mDtcVariation = 'n';
    p.mThreshold = 0;
    p.mOutlineEmphasis = 0x33;
    p.mReverseImage = 1;
    Bytes w = Descriptor(t.device, p);
    EXPECT_EQ(w[23], 0x80) << "threshold 0 becomes the middle level";
    EXPECT_EQ(w[62], 0);
    EXPECT_EQ(w[43], 0x33) << "outline emphasis where a colour window has the colour order";
    EXPECT_EQ(w[29], 0x80);
    EXPECT_EQ(w[41], 0x80);
    p.mDtcVariation = 2;
    w = Descriptor(t.device, p);
    EXPECT_EQ(w[23], 0);
    EXPECT_EQ(w[62], 0x80);

    p.mImageType = kImageTypeColor;
    w = Descriptor(t.device, p);
    EXPECT_EQ(w[25], 5);
    EXPECT_EQ(w[40], 0xC1);
    EXPECT_EQ(w[42], 1);
    EXPECT_EQ(w[43], 0);
    EXPECT_EQ(w[62], 0) << "no dynamic threshold in colour";

    p.mCompressionType = 5;
    EXPECT_EQ(Descriptor(t.device, p)[32], 5);
    p.mWillUseJpeg = true;
    p.mJpegSubsample = 129;
    p.mJpegLevel = 3;
    w = Descriptor(t.device, p);
    EXPECT_EQ(w[32], 0x81) << "the subsample replaces the compression type";
    EXPECT_EQ(w[33], 3);
  }
  CmdTestDevice bgr(kS500);  // BGR order 5
  EXPECT_EQ(Descriptor(bgr.device, p)[43], 5);
}

TEST(Window, ToneTables) {
  const uint8_t* soft = Cmd_SendLut::sLutSoft;
  const uint8_t* sharp = Cmd_SendLut::sLutSharp;
  for (int i = 1; i < 256; ++i) {
    EXPECT_LE(soft[i - 1], soft[i]) << i;
    EXPECT_LE(sharp[i - 1], sharp[i]) << i;
  }
  EXPECT_EQ(soft[9], 0);
  EXPECT_EQ(sharp[9], 0);
  EXPECT_EQ((Bytes{soft[10], soft[128], soft[213], soft[255]}), (Bytes{8, 140, 197, 253}));
  EXPECT_EQ((Bytes{sharp[10], sharp[128], sharp[175], sharp[255]}), (Bytes{1, 144, 200, 250}));

  CmdTestDevice t(kFi7160);
  t.usb->ScriptDataOutCommand();
  t.usb->ScriptDataOutCommand();
  Cmd_SendLut unknown(t.device, Cmd_SendLut::LutTypeE(7));
  ASSERT_EQ(unknown.SendToScanner(), 0);
  Cmd_SendLut sharpCmd(t.device, Cmd_SendLut::kLutSharp);
  ASSERT_EQ(sharpCmd.SendToScanner(), 0);
  const auto writes = t.usb->Ops(UsbOp::kWrite);
  EXPECT_EQ(t.CdbWritten(0), Cdb({0x2A, 0, 0x83, 0, 0, 0, 0, 0x01, 0x0A}));
  const Bytes& data = writes[1].data;
  ASSERT_EQ(data.size(), 266u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 10), (Bytes{0, 0, 0x10, 0, 1, 0, 1, 0, 0, 0}));
  for (int i = 0; i < 256; ++i) EXPECT_EQ(data[10 + i], i) << "an unknown type sends the identity";
  EXPECT_EQ(Bytes(writes[3].data.begin() + 10, writes[3].data.end()), Bytes(sharp, sharp + 256));
}

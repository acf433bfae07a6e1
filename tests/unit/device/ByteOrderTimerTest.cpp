// Tests of the byte-order helpers and of HiResTimer.
#include <gtest/gtest.h>

#include "ByteOrder.h"
#include "HiResTimer.h"
#include "ScriptedUsb.h"

using namespace ZuzuvovOvav;

TEST(ByteOrder, WritesBigEndianAndDropsTheTopByteOfThreeByteFields) {
  uint8_t b[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  UShort2Bytes(b, 0x1234);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(b[1], 0x34);
  ULong2Bytes(b, 0x12345678);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(b[3], 0x78);
  uint8_t c[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  ULong2Bytes3Only(c, 0x12345678);
  EXPECT_EQ(c[0], 0x34);
  EXPECT_EQ(c[1], 0x56);
  EXPECT_EQ(c[2], 0x78);
  EXPECT_EQ(c[3], 0xAA) << "three-byte write must not touch a fourth byte";
}

TEST(ByteOrder, ReadsSignedUnsignedAndThreeByteValues) {
  const uint8_t fffe[] = {0xFF, 0xFE};
  int16_t s;
  Bytes2Short(&s, fffe);
  EXPECT_EQ(s, -2);
  const uint8_t ff3[] = {0xFF, 0xFF, 0xFF};
  int32_t l3;
  Bytes2Long3Only(&l3, ff3);
  EXPECT_EQ(l3, 16777215) << "three-byte values are not sign-extended";
  const uint8_t ff4[] = {0xFF, 0xFF, 0xFF, 0xFE};
  int32_t l;
  Bytes2Long(&l, ff4);
  EXPECT_EQ(l, -2);
  uint32_t u;
  Bytes2ULong(&u, ff4);
  EXPECT_EQ(u, 0xFFFFFFFEu);
}

TEST(HiResTimer, LapsAndStopsAddToTheTotal) {
  quirel::testing::FakeClock clock;
  HiResTimer t;
  EXPECT_DOUBLE_EQ(t.mStart, double(clock.now) * 1e-9);
  t.mNow = t.mStart + 0.5;
  t.DoLap();
  EXPECT_DOUBLE_EQ(t.mLap, 0.5);
  EXPECT_DOUBLE_EQ(t.mStart, t.mNow);
  t.mNow = t.mStart + 0.25;
  EXPECT_DOUBLE_EQ(t.DoElapsed(), 0.25);
  t.DoStop();
  EXPECT_DOUBLE_EQ(t.mLap, 0.25);
  EXPECT_EQ(t.mStart, 0);
  EXPECT_DOUBLE_EQ(t.mTotal, 0.75);
}

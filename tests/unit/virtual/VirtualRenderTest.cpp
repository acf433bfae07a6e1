// Rendering shortcuts must give the bytes a full render gives.
#include <gtest/gtest.h>

#include <cstring>

#include "FujiDevice.h"
#include "VirtualRender.h"

namespace quirel::vtest {
namespace {

using virt::SideData;
using virt::WindowDesc;

std::vector<uint8_t> Bytes(const SideData& d) {
  std::vector<uint8_t> out(d.Size());
  // In uneven pieces, so that reads crossing the overlay and the fill rows count.
  for (uint64_t at = 0; at < out.size();) {
    uint32_t n = uint32_t(std::min<uint64_t>(out.size() - at, 7919));
    d.Read(at, n, out.data() + at);
    at += n;
  }
  return out;
}

WindowDesc MakeWindow(uint8_t type, bool jpeg, uint8_t subsample, uint32_t res, uint32_t top) {
  uint8_t d[64] = {};
  d[2] = uint8_t(res >> 8), d[3] = uint8_t(res), d[4] = uint8_t(res >> 8), d[5] = uint8_t(res);
  auto put = [&](int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = uint8_t(v >> (24 - 8 * i));
  };
  put(10, top);
  put(14, 10200);
  put(18, 13200 - top + 1200);  // a little past the end of the sheet
  d[25] = type;
  d[32] = jpeg ? subsample : 0;
  d[33] = jpeg ? 6 : 0;
  d[42] = 1;
  d[43] = 5;
  WindowDesc w;
  std::string why;
  EXPECT_TRUE(virt::ParseWindow(d, *ZuzuvovOvav::Device::GetProductById(0x132E), &w, &why)) << why;
  return w;
}

// A generated sheet is its side's base with the number band redrawn; the
// copy-and-patch must equal rendering the sheet whole, for every form.
TEST(VirtualRender, PatchedSheetEqualsFullRender) {
  struct Case {
    uint8_t type;
    bool jpeg;
    uint8_t subsample;
    uint32_t res, top;
  } cases[] = {
      {0, false, 0, 200, 0}, {2, false, 0, 150, 0},  {5, false, 0, 100, 1200},
      {2, true, 0x81, 150, 0}, {5, true, 0x82, 100, 0}, {5, true, 0x81, 75, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " jpeg " << c.jpeg << " res " << c.res);
    WindowDesc w = MakeWindow(c.type, c.jpeg, c.subsample, c.res, c.top);
    auto sheet = virt::MakeGeneratedSide(37, 2);
    uint32_t top = 0, bottom = 0;
    auto base = sheet->Base(&top, &bottom);
    ASSERT_TRUE(base);
    virt::RenderOptions options;
    SideData whole = virt::RenderSide(*sheet, w, options);
    SideData baseData = virt::RenderSide(*base, w, options);
    SideData patched = virt::PatchSide(baseData, *sheet, w, options, top, bottom);
    ASSERT_TRUE(whole.body);
    EXPECT_NE(Bytes(baseData), Bytes(whole));  // the number shows
    EXPECT_EQ(Bytes(patched), Bytes(whole));
    EXPECT_EQ(patched.Size(), whole.Size());
  }
}

}  // namespace
}  // namespace quirel::vtest

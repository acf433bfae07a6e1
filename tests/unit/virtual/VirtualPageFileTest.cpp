// Page files of the virtual scanner: the forms it reads decode to their
// pixels; damaged, oversized and other files are refused by the tool with
// the file and the cause named; a file that fails only when its sheet is fed
// fails that sheet; and the tool's memory does not grow with the number of
// page files.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <zlib.h>

#include "RunTool.h"
#include "VirtualPageFile.h"
#include "VirtualTestRig.h"

namespace quirel::vtest {
namespace {

using quirel::testing::RunTool;

std::string Be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Chunk(const std::string& type, const std::string& data) {
  std::string body = type + data;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
  return Be32(uint32_t(data.size())) + body + Be32(uint32_t(crc));
}

std::string Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace = 0) {
  return Chunk("IHDR", Be32(w) + Be32(h) + char(depth) + char(colorType) + '\0' + '\0' + char(interlace));
}

std::string Deflate(const std::string& raw) {
  uLongf size = compressBound(uLong(raw.size()));
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()));
  out.resize(size);
  return out;
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);
const std::string kIend = Chunk("IEND", "");

// A PNG of the given rows (each row without its filter byte).
std::string Png(uint32_t w, int depth, int colorType, const std::vector<std::string>& rows,
                const std::string& beforeData = "") {
  std::string raw;
  for (const std::string& r : rows) raw += '\0' + r;
  return kSignature + Ihdr(w, uint32_t(rows.size()), depth, colorType) + beforeData + Chunk("IDAT", Deflate(raw)) + kIend;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += char(v);
  return s;
}

TEST(VirtualPageFile, ReadableFormsDecodeToTheirPixels) {
  struct Case {
    const char* name;
    std::string bytes;
    int width, height;
    std::string rgb;  // expected, row by row
  } cases[] = {
      {"rgb.ppm", "P6\n2 1\n255\n" + Bytes({10, 20, 30, 200, 100, 0}), 2, 1, Bytes({10, 20, 30, 200, 100, 0})},
      {"comment.pgm", "P5\n# made by hand\n2 # width\n2\n255\n" + Bytes({0, 255, 128, 7}), 2, 2,
       Bytes({0, 0, 0, 255, 255, 255, 128, 128, 128, 7, 7, 7})},
      // maxval 15 is scaled to 0..255; a sample above the maxval counts as it.
      {"maxval15.pgm", "P5 4 1 15 " + Bytes({0, 7, 15, 20}), 4, 1,
       Bytes({0, 0, 0, 119, 119, 119, 255, 255, 255, 255, 255, 255})},
      {"trailing.ppm", "P6\n1 1\n255\n" + Bytes({1, 2, 3, 9, 9, 9}), 1, 1, Bytes({1, 2, 3})},
      {"rgb8.png", Png(2, 8, 2, {Bytes({10, 20, 30, 40, 50, 60})}), 2, 1, Bytes({10, 20, 30, 40, 50, 60})},
      {"rgb16.png", Png(1, 16, 2, {Bytes({0xAB, 0xCD, 0x12, 0x34, 0xFF, 0xFF})}), 1, 1, Bytes({0xAB, 0x12, 0xFF})},
      {"gray1.png", Png(3, 1, 0, {Bytes({0xA0})}), 3, 1, Bytes({255, 255, 255, 0, 0, 0, 255, 255, 255})},
      {"palette.png", Png(2, 8, 3, {Bytes({1, 0})}, Chunk("PLTE", Bytes({9, 8, 7, 250, 5, 60}))), 2, 1,
       Bytes({250, 5, 60, 9, 8, 7})},
      {"rgba.png", Png(1, 8, 6, {Bytes({30, 60, 90, 0})}, Chunk("tEXt", std::string("Title\0page", 10))), 1, 1,
       Bytes({30, 60, 90})},
      {"grayalpha16.png", Png(1, 16, 4, {Bytes({0x80, 0x01, 0x00, 0x00})}), 1, 1, Bytes({0x80, 0x80, 0x80})},
  };
  PageDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.Write(c.name, c.bytes);
    virt::PageFile file;
    std::string error;
    ASSERT_TRUE(virt::ProbePageFile(path, &file, &error)) << error;
    EXPECT_EQ(file.width, c.width);
    EXPECT_EQ(file.height, c.height);
    virt::PageImage image;
    ASSERT_TRUE(virt::DecodePageFile(file, &image, &error)) << error;
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(std::string(image.rgb.begin(), image.rgb.end()), c.rgb);
  }
}

// Every file the scanner cannot read makes the tool refuse the description
// (status 69) with one message naming the file and the cause, and never
// reads outside what the file holds.
TEST(VirtualPageFile, ToolRefusesMalformedPageFilesNamingFileAndCause) {
  const std::string goodIdat = Chunk("IDAT", Deflate(std::string(1, '\0') + Bytes({1, 2, 3})));
  const std::string goodPng = Png(1, 8, 2, {Bytes({1, 2, 3})});
  std::string badCrc = goodPng;
  badCrc[kSignature.size() + 8 + 13] ^= 0x01;  // the IHDR checksum
  const std::string samples16(2 * 300 * 400, '\x7f');
  struct Case {
    const char* name;
    std::string bytes;
    const char* cause;
  } cases[] = {
      {"deep.pgm", "P5\n300 400\n65535\n" + samples16, "16-bit samples (maxval 65535)"},
      {"deep.ppm", "P6\n100 400\n1023\n" + samples16, "16-bit samples (maxval 1023)"},
      {"maxval0.pgm", "P5\n2 2\n0\n" + std::string(4, '\0'), "bad maxval 0"},
      {"maxval-huge.pgm", "P5\n2 2\n70000\n" + std::string(8, '\0'), "bad maxval 70000"},
      {"no-width.ppm", "P6\n0 5\n255\n", "no pixels"},
      {"width-digits.pgm", "P5\n99999999999 1\n255\n", "width is too large"},
      {"overflow.ppm", "P6\n2000000 2000000\n255\n" + std::string(64, 'x'), "too large (2000000 x 2000000 pixels)"},
      {"product.pgm", "P5\n70000 70000\n255\n" + std::string(64, 'x'), "too large"},
      {"short.ppm", "P6\n64 64\n255\n" + std::string(100, 'x'), "truncated: 100 bytes of samples where 64 x 64"},
      {"cut-header.pgm", "P5\n64 64", "ends inside its header"},
      {"no-blank.pgm", "P5\n64 64\n255", "ends inside its header"},
      {"letters.ppm", "P6\n64 x4\n255\n", "malformed header: no height"},
      {"ascii.ppm", "P3\n1 1\n255\n0 0 0\n", "not a readable PNG or PNM image"},
      {"empty.png", "", "not a readable PNG or PNM image"},
      {"cut-data.png", goodPng.substr(0, goodPng.size() - 15), "truncated inside its 'IDAT' chunk"},
      {"no-end.png", kSignature + Ihdr(1, 1, 8, 2) + goodIdat, "ends before its IEND chunk"},
      {"checksum.png", badCrc, "damaged 'IHDR' chunk (checksum mismatch)"},
      {"zero.png", kSignature + Ihdr(0, 1, 8, 2) + goodIdat + kIend, "no pixels"},
      {"huge.png", kSignature + Ihdr(100000, 100000, 8, 2) + goodIdat + kIend, "too large (100000 x 100000 pixels)"},
      {"deep-huge.png", kSignature + Ihdr(20000, 20000, 16, 6) + goodIdat + kIend, "too large"},
      {"depth.png", kSignature + Ihdr(1, 1, 4, 2) + goodIdat + kIend, "undefined bit depth 4 for colour type 2"},
      {"interlace.png", kSignature + Ihdr(1, 1, 8, 2, 2) + goodIdat + kIend, "unknown compression, filter or interlace"},
      {"no-palette.png", kSignature + Ihdr(1, 1, 8, 3) + goodIdat + kIend, "no palette"},
      {"critical.png", kSignature + Ihdr(1, 1, 8, 2) + Chunk("ABCD", "x") + goodIdat + kIend,
       "unknown critical chunk 'ABCD'"},
      {"no-header.png", kSignature + goodIdat + kIend, "no IHDR chunk first"},
      {"no-data.png", kSignature + Ihdr(1, 1, 8, 2) + kIend, "no image data"},
  };
  PageDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.Write(c.name, c.bytes);
    auto run = RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160;pages=" + path}}, 60);
    EXPECT_EQ(run.exitStatus, 69) << run.err;
    EXPECT_NE(run.err.find("page file '" + path + "' "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.cause), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }

  // Not a file at all.
  auto folder = RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160;pages=" + dir.Path()}}, 60);
  EXPECT_EQ(folder.exitStatus, 69);
  EXPECT_NE(folder.err.find("'" + dir.Path() + "' is not a regular file"), std::string::npos) << folder.err;
}

// A page file is decoded when its sheet is fed. One whose compressed data
// is damaged behind sound checksums, or that changed after the set-up,
// fails its sheet: the cause is named, the earlier pages are kept, and the
// scan does not report success.
TEST(VirtualPageFile, PageFileThatFailsWhenFedFailsItsSheet) {
  PageDir dir;
  std::string row;
  for (int x = 0; x < 96; ++x) row += Bytes({x * 2, 255 - x * 2, 128});
  std::vector<std::string> rows(120, row);
  std::string good = Png(96, 8, 2, rows);
  std::string raw;
  for (const std::string& r : rows) raw += '\0' + r;
  std::string broken = Deflate(raw);
  for (size_t i = 2; i < 12; ++i) broken[i] = char(0xFF);  // damaged deflate blocks, valid chunk checksum
  std::string goodPath = dir.Write("good.png", good);
  std::string badPath = dir.Write("bad.png", kSignature + Ihdr(96, 120, 8, 2) + Chunk("IDAT", broken) + kIend);
  std::string out = dir.Path() + "/out.pdf";
  auto run = RunTool({"--rgb", "--resolution", "100", "--pdf", out},
                     {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160;dpi=100;pages=" + goodPath + "," + badPath + "," + goodPath}},
                     120);
  EXPECT_NE(run.exitStatus, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("page file '" + badPath + "' cannot be decoded"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("file: " + out + " (1 page)"), std::string::npos) << run.out;

  // A file that shrank after the scanner was set up.
  std::string page = dir.Ppm("later.ppm", 64, 48, [](int x, int y) { return Rgb{uint8_t(x), uint8_t(y), 9}; });
  VirtualRig rig("model=fi-7160;pages=" + page);
  ASSERT_TRUE(rig.bus) << rig.error;
  ASSERT_EQ(truncate(page.c_str(), 100), 0);
  ASSERT_TRUE(rig.Open());
  ScanParams p = Window(kImageTypeColor, 64, 48);
  SetUpScan(rig.Dev(), &p, nullptr);
  std::string failure = LoadAndScan(rig.Dev(), false);
  EXPECT_NE(failure.find("(Cmd_Scan 04:00:05)"), std::string::npos) << failure;
}

// The tool's peak memory for many page files is that for a few: a file is
// decoded only while its sides are rendered, and only the renderings of the
// sheets in flight are kept.
TEST(VirtualPageFile, ToolMemoryDoesNotGrowWithThePageFiles) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator holds on to freed memory";
#endif
  PageDir dir;
  // A Letter page at 150 dpi: 6 MB decoded, as much again per raw colour side.
  const uint32_t w = 1275, h = 1650;
  const std::string white(3 * w, char(255));
  std::string bars = white;
  for (uint32_t x = 100; x + 200 < w; x += 300) bars.replace(3 * x, 600, 600, char(40));
  std::vector<std::string> rows;
  for (uint32_t y = 0; y < h; ++y) rows.push_back(y < 150 ? std::string(3 * w, char(y)) : (y / 20) % 2 ? bars : white);
  std::string page = dir.Write("page.png", Png(w, 8, 2, rows));
  std::string out = dir.Path() + "/out.pdf";
  auto peakKiB = [&](int pages) {
    std::string list = page;
    for (int i = 1; i < pages; ++i) list += "," + page;
    auto run = RunTool({"--rgb", "--duplex", "--resolution", "150", "--no-jpeg", "--pdf", out},
                       {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160;dpi=150;pages=" + list}}, 300);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("(" + std::to_string(pages) + " pages)"), std::string::npos) << run.out;
    std::remove(out.c_str());
    // The largest child so far; the runs go from few to many pages.
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return long(usage.ru_maxrss);
  };
  // Past its first few sheets the engine's own memory stays level.
  const long few = peakKiB(12);
  const long many = peakKiB(72);
  EXPECT_LT(many - few, 40L * 1024) << "peak " << few / 1024 << " MiB with 12 page files, " << many / 1024
                                    << " MiB with 72";
}

}  // namespace
}  // namespace quirel::vtest

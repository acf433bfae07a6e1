// Tests of the PDF writer: new files, appending, limits and failed writes.
#include <gtest/gtest.h>

#include "AllocFailure.h"
#include "ImageWriterPdf.h"
#include "WriterTestSupport.h"

using namespace ZuzuvovOvav;
using namespace writertest;
using quirel::testing::FailAllocation;

namespace {

bool WritePdf(const std::string& path, const std::vector<const TestPage*>& pages,
              ScanResults* results = nullptr) {
  ImageWriterPdfImpl w;
  bool ok = w.OpenFile(path.c_str(), **pages.front());
  for (const TestPage* p : pages) ok = ok && w.WritePage(**p);
  w.CloseFile();
  if (results) *results = w.mResults;
  return ok;
}

// The page rendered back by poppler at four times its resolution, sampled
// at the centre of every source pixel (poppler smooths image edges, so a
// one-to-one rendering blurs single pixels). Gray or RGB samples.
std::vector<uint8_t> Render(const std::string& pdf, int page, const TestPage& tp, bool colour) {
  const std::string out = pdf + ".render";
  const RunResult r = Shell("pdftoppm -r " + std::to_string(4 * tp.info->mYRes) +
                            (colour ? "" : " -gray") + " -f " + std::to_string(page) + " -l " +
                            std::to_string(page) + " -singlefile '" + pdf + "' '" + out + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  Pnm img;
  EXPECT_TRUE(ReadPnm(out + (colour ? ".ppm" : ".pgm"), &img));
  const int n = colour ? 3 : 1;
  const int w = int(tp.info->mWidth), h = tp.info->mLineCount;
  EXPECT_EQ(img.width, 4 * w);
  EXPECT_EQ(img.height, 4 * h);
  std::vector<uint8_t> samples;
  if (img.width != 4 * w || img.height != 4 * h) return samples;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < n; ++k)
        samples.push_back(img.data[(size_t(4 * y + 2) * img.width + 4 * x + 2) * n + k]);
  return samples;
}

// Line art as gray samples: 1 bits black.
std::vector<uint8_t> ArtAsGray(const TestPage& tp) {
  const std::vector<uint8_t> packed = PackedRows(tp);
  const uint32_t w = tp.info->mWidth, rowBytes = (w + 7) / 8;
  std::vector<uint8_t> out;
  for (int y = 0; y < tp.info->mLineCount; ++y)
    for (uint32_t x = 0; x < w; ++x)
      out.push_back(packed[y * rowBytes + x / 8] & (0x80 >> (x % 8)) ? 0 : 255);
  return out;
}

std::vector<uint8_t> GrayAsShown(const TestPage& tp) {
  std::vector<uint8_t> v = PackedRows(tp);
  for (uint8_t& x : v) x = uint8_t(255 - x);  // stored 0 is white
  return v;
}

void ExpectQpdfClean(const std::string& path) {
  const RunResult r = Shell("qpdf --check '" + path + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
}

}  // namespace

TEST(PdfWriter, NewGrayPageHasTheExpectedObjectsAndRendersBackExactly) {
  ScratchDir dir;
  const std::string path = dir / "gray.pdf";
  TestPage page = MakePage(kImageTypeGray, 173, 121, 5);
  ScanResults res;
  ASSERT_TRUE(WritePdf(path, {&page}, &res));
  EXPECT_EQ(res.mTotalPages, 1);
  ASSERT_EQ(res.mPageCounts, std::vector<int32_t>{1});
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.rfind("%PDF-1.3\r\n1 0 obj\r\n<</Producer (Quirel test \\(writer\\))>>\r\nendobj\r\n", 0), 0u);
  for (int obj = 2; obj <= 6; ++obj)
    EXPECT_NE(text.find("\r\n" + std::to_string(obj) + " 0 obj\r\n"), std::string::npos) << obj;
  EXPECT_NE(text.find("xref\r\n0 7\r\n0000000000 65535 f\r\n"), std::string::npos);
  EXPECT_NE(text.find("trailer\r\n<</Size 7/Root 6 0 R/Info 1 0 R>>"), std::string::npos);
  EXPECT_NE(text.find("/OpenAction[ 4 0 R /Fit ]"), std::string::npos);
  ExpectQpdfClean(path);

  EXPECT_TRUE(Render(path, 1, page, false) == GrayAsShown(page));
}

TEST(PdfWriter, LineArtAndColourPagesRenderBackExactly) {
  ScratchDir dir;
  const std::string path = dir / "mixed.pdf";
  // Every page of a file takes the first page's width; 225 x 0.72 points is
  // exact, so that rendering at 100 dpi maps pixel to pixel.
  TestPage art = MakePage(kImageTypeLineArt, 225, 150, 2);  // width not a multiple of 8
  TestPage colour = MakePage(kImageTypeColor, 225, 75, 3);
  ScanResults res;
  ASSERT_TRUE(WritePdf(path, {&art, &colour}, &res)) << res.mErrorMsg;
  ExpectQpdfClean(path);
  EXPECT_EQ(PdfPages(path), 2);
  const RunResult list = Shell("pdfimages -list '" + path + "'");
  EXPECT_NE(list.out.find("ccitt"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("rgb     3   8  image"), std::string::npos) << list.out;

  EXPECT_TRUE(Render(path, 1, art, false) == ArtAsGray(art));
  EXPECT_TRUE(Render(path, 2, colour, true) == PackedRows(colour));
}

TEST(PdfWriter, AppendingKeepsOldBytesAndAddsPagesTwice) {
  ScratchDir dir;
  const std::string path = dir / "grow.pdf";
  TestPage first = MakePage(kImageTypeGray, 50, 40, 1);
  ASSERT_TRUE(WritePdf(path, {&first}));
  const std::string before = ReadFile(path);

  TestPage more = MakePage(kImageTypeLineArt, 50, 40, 2, 3, 100, /*append=*/true);
  TestPage more2 = MakePage(kImageTypeColor, 50, 25, 3, 3, 100, true);
  ScanResults res;
  ASSERT_TRUE(WritePdf(path, {&more, &more2}, &res)) << res.mErrorMsg;
  const std::string after = ReadFile(path);
  ASSERT_GT(after.size(), before.size());
  EXPECT_EQ(after.compare(0, before.size(), before), 0);
  // The old Catalog (object 6) is freed at generation 1.
  EXPECT_NE(after.find("xref\r\n6 1\r\n0000000000 00001 f\r\n7 "), std::string::npos);
  ExpectQpdfClean(path);

  const std::string middle = ReadFile(path);
  TestPage last = MakePage(kImageTypeGray, 50, 25, 4, 0, 100, true);
  ASSERT_TRUE(WritePdf(path, {&last}, &res)) << res.mErrorMsg;
  const std::string final = ReadFile(path);
  EXPECT_EQ(final.compare(0, middle.size(), middle), 0);
  ExpectQpdfClean(path);
  EXPECT_EQ(PdfPages(path), 4);
  // Pages come out in scan order: the last one is the 50 x 25 gray page.
  EXPECT_TRUE(Render(path, 4, last, false) == GrayAsShown(last));
}

// Pages after a file's first are updates added at its end, never written
// over; with nodes of two pages the tree grows leaves under its root, and
// the pages keep their order, appended ones too.
TEST(PdfWriter, LaterPagesAreUpdatesInATreeOfSmallNodes) {
  ScratchDir dir;
  const std::string path = dir / "tree.pdf";
  struct Nodes {
    int saved = ImageWriterPdfImpl::sPagesPerNode;
    ~Nodes() { ImageWriterPdfImpl::sPagesPerNode = saved; }
  } restore;
  ImageWriterPdfImpl::sPagesPerNode = 2;
  std::vector<TestPage> pages;
  std::string heights;
  for (int i = 0; i < 10; ++i) {
    pages.push_back(MakePage(kImageTypeGray, 30, uint32_t(20 + i), i, 0, 100, i >= 7));
    heights += std::to_string(20 + i) + "\n";
  }
  const auto write = [&](int from, int to) {
    ImageWriterPdfImpl w;
    ASSERT_TRUE(w.OpenFile(path.c_str(), *pages[from])) << w.mResults.mErrorMsg;
    for (int i = from; i < to; ++i) {
      const std::string before = Exists(path) ? ReadFile(path) : "";
      ASSERT_TRUE(w.WritePage(*pages[i])) << w.mResults.mErrorMsg;
      EXPECT_EQ(ReadFile(path).compare(0, before.size(), before), 0) << "page " << i << " wrote over the file";
    }
    w.CloseFile();
  };
  write(0, 7);
  // The seventh page starts the third leaf (27): its update defines the
  // root (5) and objects 24 to 27, nothing else.
  const std::string text = ReadFile(path);
  const std::string last = text.substr(text.rfind("\r\nxref\r\n") + 2);
  EXPECT_EQ(last.compare(0, 11, "xref\r\n5 1\r\n"), 0) << last;
  EXPECT_EQ(last.compare(31, 6, "24 4\r\n"), 0) << last;
  ExpectQpdfClean(path);
  write(7, 10);
  ExpectQpdfClean(path);
  EXPECT_EQ(PdfPages(path), 10);
  EXPECT_EQ(Shell("pdfimages -list '" + path + "' | tail -n +3 | awk '{print $5}'").out, heights);
}

TEST(PdfWriter, AppendsToFilesOfOtherToolsOrRefusesThemUntouched) {
  ScratchDir dir;
  TestPage page = MakePage(kImageTypeGray, 40, 30, 7, 1, 100, true);

  // Rewritten by qpdf (classic cross-reference table, /ID in the trailer).
  const std::string own = dir / "own.pdf";
  TestPage first = MakePage(kImageTypeColor, 40, 30, 1);
  ASSERT_TRUE(WritePdf(own, {&first}));
  const std::string classic = dir / "classic.pdf";
  ASSERT_EQ(Shell("qpdf --object-streams=disable '" + own + "' '" + classic + "'").status, 0);
  const std::string before = ReadFile(classic);
  ScanResults res;
  ASSERT_TRUE(WritePdf(classic, {&page}, &res)) << res.mErrorMsg;
  EXPECT_EQ(ReadFile(classic).compare(0, before.size(), before), 0);
  ExpectQpdfClean(classic);
  EXPECT_EQ(PdfPages(classic), 2);

  // An update cut short by a writer that stopped part way, and a file
  // whose cross-reference section is larger than 1 MiB (100,000 objects):
  // appended to after all their bytes, every page before kept.
  TestPage second = MakePage(kImageTypeGray, 40, 30, 2);
  ASSERT_TRUE(WritePdf(dir / "two.pdf", {&first, &second}));
  const std::string two = ReadFile(dir / "two.pdf"), one = ReadFile(own);
  ASSERT_EQ(two.compare(0, one.size(), one), 0);
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"};
  objects.resize(100000, "null");
  for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"cut.pdf", two.substr(0, (one.size() + two.size()) / 2)},
                                    {"large.pdf", BuildPdf(objects, "<< /Size 100001 /Root 1 0 R >>")}}) {
    SCOPED_TRACE(name);
    WriteFile(dir / name, bytes);
    ASSERT_TRUE(WritePdf(dir / name, {&page}, &res)) << res.mErrorMsg;
    EXPECT_EQ(ReadFile(dir / name).compare(0, bytes.size(), bytes), 0);
    ExpectQpdfClean(dir / name);
    EXPECT_EQ(PdfPages(dir / name), 2);
  }

  struct Refused {
    std::string name, content, text;
  };
  const std::vector<Refused> cases = {
      {"short.pdf", "%PDF-1.4\n%%EOF\n", "Target file cannot be a well-formed PDF file (too short)."},
      {"text.pdf", std::string(200, 'x'), "Target file does not start with a proper PDF version tag."},
      {"nested.pdf",
       SimplePdf("<< /Type /Catalog /Pages 2 0 R /MarkInfo << /Marked true >> >>"),
       "The root dictionary of the target file holds entries that cannot be carried over "
       "(nested dictionary, string or comment)."},
      {"generation.pdf",
       BuildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] /Count 0 >>"},
                "<< /Size 3 /Root 1 2147483647 R >>", "1.4", "\n", {"2147483647"}),
       "Xref table of target file lists a generation number out of range."},
  };
  for (const Refused& c : cases) {
    const std::string path = dir / c.name;
    const std::string& content = c.content;
    const std::string& text = c.text;
    WriteFile(path, content);
    ScanResults r;
    EXPECT_FALSE(WritePdf(path, {&page}, &r)) << c.name;
    EXPECT_EQ(r.mStatus, kScanFileError) << c.name;
    EXPECT_EQ(r.mErrorMsg, text) << c.name;
    EXPECT_EQ(ReadFile(path), content) << c.name;
    EXPECT_TRUE(r.mFilePaths.empty()) << c.name;
  }

  // A Catalog at the largest generation stays deleted at that generation.
  const std::string lastGen = dir / "last-generation.pdf";
  WriteFile(lastGen, BuildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                               "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"},
                              "<< /Size 4 /Root 1 65535 R >>", "1.4", "\n", {"65535"}));
  ASSERT_TRUE(WritePdf(lastGen, {&page}, &res)) << res.mErrorMsg;
  EXPECT_NE(ReadFile(lastGen).find("xref\r\n1 1\r\n0000000000 65535 f\r\n"), std::string::npos);
  ExpectQpdfClean(lastGen);
  EXPECT_EQ(PdfPages(lastGen), 2);

  // With object streams qpdf writes a cross-reference stream: refused.
  const std::string streams = dir / "streams.pdf";
  ASSERT_EQ(Shell("qpdf --object-streams=generate '" + own + "' '" + streams + "'").status, 0);
  const std::string streamBytes = ReadFile(streams);
  EXPECT_FALSE(WritePdf(streams, {&page}, &res));
  EXPECT_EQ(res.mErrorMsg, "Head of xref table not found in target file where indicated.");
  EXPECT_EQ(ReadFile(streams), streamBytes);
}

TEST(PdfWriter, CatalogEntriesWithNameValuesAreCarriedOverIntact) {
  ScratchDir dir;
  const std::string path = dir / "names.pdf";
  WriteFile(path, SimplePdf("<< /Type /Catalog /PageLayout /OneColumn /Pages 2 0 R "
                            "/PageMode /UseOutlines /Lang (en-GB) >>",
                            "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                            "<< /Size 4 /Root 1 0 R /ID [<0a1b><2c3d>] >>", "1.4", ""));
  TestPage page = MakePage(kImageTypeGray, 20, 10, 1, 0, 100, true);
  ScanResults res;
  ASSERT_TRUE(WritePdf(path, {&page}, &res)) << res.mErrorMsg;
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find("%%EOF\r\n4 0 obj"), std::string::npos) << "line end added before the update";
  EXPECT_NE(text.find("<</Type/Catalog/Pages 7 0 R/Lang (en-GB)/PageLayout /OneColumn/PageMode "
                      "/UseOutlines>>"),
            std::string::npos);
  EXPECT_NE(text.find("/Prev "), std::string::npos);
  EXPECT_NE(text.find("/ID[<0a1b><2c3d>]>>"), std::string::npos);
  ExpectQpdfClean(path);
  const RunResult json = Shell("qpdf --show-object=trailer '" + path + "'");
  EXPECT_NE(json.out.find("/Root 8 0 R"), std::string::npos) << json.out;
}

TEST(PdfWriter, NewFileWithoutPagesIsDeletedAppendedFileIsNot) {
  ScratchDir dir;
  TestPage page = MakePage(kImageTypeGray, 20, 10);
  {
    ImageWriterPdfImpl w;
    ASSERT_TRUE(w.OpenFile((dir / "empty.pdf").c_str(), *page));
    w.CloseFile();
    // The deleted file is not listed among the results either.
    EXPECT_TRUE(w.mResults.mPageCounts.empty());
    EXPECT_TRUE(w.mResults.mFilePaths.empty());
  }
  EXPECT_FALSE(Exists(dir / "empty.pdf"));

  // An existing empty file takes a complete new document and stays.
  const std::string zero = dir / "zero.pdf";
  WriteFile(zero, "");
  TestPage appended = MakePage(kImageTypeGray, 20, 10, 1, 0, 100, true);
  {
    ImageWriterPdfImpl w;
    ASSERT_TRUE(w.OpenFile(zero.c_str(), *appended));
    w.CloseFile();
  }
  EXPECT_TRUE(Exists(zero));
  EXPECT_EQ(FileSize(zero), 0);
  ASSERT_TRUE(WritePdf(zero, {&appended}));
  ExpectQpdfClean(zero);
}

TEST(PdfWriter, FullDiskFailsThePageAndLeavesAValidFile) {
  SmallDisk disk("2m");
  if (disk.path.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string path = disk.path + "/full.pdf";
  TestPage small = MakePage(kImageTypeGray, 50, 25, 1);
  TestPage big = MakePage(kImageTypeColor, 400, 400, 2);  // ~480 KB, hardly compressible
  TestPage after = MakePage(kImageTypeGray, 50, 25, 3);
  ImageWriterPdfImpl w;
  ASSERT_TRUE(w.OpenFile(path.c_str(), *small));
  ASSERT_TRUE(w.WritePage(*small));
  disk.Fill(64 * 1024);
  const std::string before = ReadFile(path);
  EXPECT_FALSE(w.WritePage(*big));
  EXPECT_TRUE(ReadFile(path) == before) << "the page's bytes are cut off again";
  EXPECT_EQ(w.mResults.mStatus, kScanDiskFull);
  EXPECT_EQ(w.mResults.mErrorMsg, "Not enough free space on disk to write page.");
  EXPECT_EQ(w.mResults.mTotalPages, 1);
  // The writer stays usable: a page that fits still goes in.
  EXPECT_TRUE(w.WritePage(*after));
  w.CloseFile();
  EXPECT_EQ(w.mResults.mPageCounts, std::vector<int32_t>{2});
  ExpectQpdfClean(path);
  EXPECT_EQ(PdfPages(path), 2);
  EXPECT_TRUE(Render(path, 2, after, false) == GrayAsShown(after));
}

// The file at each moment of a page's update, as the step hook sees it;
// from `capAt` on, writes past `capBytes` fail (the process's file size
// limit).
namespace {

struct StepWatch {
  std::string path;
  int capAt = 0;
  rlim_t capBytes = 0;
  std::vector<std::string> seen;
};
StepWatch* gWatch = nullptr;

void OnStep(int step) {
  gWatch->seen.push_back(ReadFile(gWatch->path));
  if (step != gWatch->capAt) return;
  rlimit cap{};
  getrlimit(RLIMIT_FSIZE, &cap);
  cap.rlim_cur = gWatch->capBytes;
  setrlimit(RLIMIT_FSIZE, &cap);
}

}  // namespace

TEST(PdfWriter, FailedWritesLeaveTheFileAsBeforeThePageAndKillsFindItSound) {
  ScratchDir dir;
  const std::string path = dir / "capped.pdf";
  TestPage small = MakePage(kImageTypeGray, 50, 25, 1);
  TestPage big = MakePage(kImageTypeColor, 200, 200, 2);
  {
    ImageWriterPdfImpl w;
    ASSERT_TRUE(w.OpenFile(path.c_str(), *small));
    ASSERT_TRUE(w.WritePage(*small));
    const std::string before = ReadFile(path);
    bool ok;
    {
      FileSizeCap cap(FileSize(path) + 2000);
      ok = w.WritePage(*big);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(w.mResults.mStatus, kScanSizeLimit);
    EXPECT_EQ(w.mResults.mErrorMsg, "Page would exceed the file size limit of this process (ulimit -f).");
    EXPECT_TRUE(ReadFile(path) == before);
    w.CloseFile();
    EXPECT_EQ(w.mResults.mTotalPages, 1);
  }
  ExpectQpdfClean(path);
  EXPECT_EQ(PdfPages(path), 1);

  // A new file whose first page does not fit: nothing at its name, and
  // nothing hidden beside it.
  {
    ImageWriterPdfImpl w;
    ASSERT_TRUE(w.OpenFile((dir / "first.pdf").c_str(), *big));
    {
      FileSizeCap cap(1000);
      EXPECT_FALSE(w.WritePage(*big));
    }
    EXPECT_EQ(w.mResults.mStatus, kScanSizeLimit);
    w.CloseFile();
    EXPECT_TRUE(w.mResults.mFilePaths.empty());
  }
  EXPECT_EQ(Shell("ls -A '" + dir.path + "' | grep -c first").out, "0\n");

  // The file as a kill at each moment of an update leaves it: sound, with
  // the pages before until the update's end is written, then with it.
  ImageWriterPdfImpl w;
  ASSERT_TRUE(w.OpenFile(path.c_str(), *small) && w.WritePage(*small));
  const std::string before = ReadFile(path);
  StepWatch watch{path, 0, 0, {}};
  gWatch = &watch;
  ImageWriterPdfImpl::sStepHook = OnStep;
  EXPECT_TRUE(w.WritePage(*big));
  ImageWriterPdfImpl::sStepHook = nullptr;
  ASSERT_EQ(watch.seen.size(), 3u);
  for (size_t i = 0; i < watch.seen.size(); ++i) {
    SCOPED_TRACE("kill after step " + std::to_string(i + 1));
    const std::string killed = dir / ("killed" + std::to_string(i + 1) + ".pdf");
    WriteFile(killed, watch.seen[i]);
    EXPECT_EQ(watch.seen[i].compare(0, before.size(), before), 0);
    ExpectQpdfClean(killed);
    EXPECT_EQ(PdfPages(killed), i < 2 ? 1 : 2);
  }
  // A write that fails after each step: the file is as before the page.
  for (int step : {1, 2}) {
    SCOPED_TRACE("writes fail after step " + std::to_string(step));
    const std::string now = ReadFile(path);
    StepWatch failing{path, step, rlim_t(FileSize(path) + 1), {}};
    gWatch = &failing;
    ImageWriterPdfImpl::sStepHook = OnStep;
    bool ok;
    {
      FileSizeCap lifted(RLIM_INFINITY);
      ok = w.WritePage(*big);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(w.mResults.mStatus, kScanSizeLimit);
    EXPECT_TRUE(ReadFile(path) == now);
  }
  ImageWriterPdfImpl::sStepHook = nullptr;
  w.CloseFile();
  ExpectQpdfClean(path);
  EXPECT_EQ(PdfPages(path), 2);
  if (!FailAllocation::Available()) return;

  // Without memory for the file's buffer every write goes straight through.
  const std::string unbuffered = dir / "unbuffered.pdf";
  {
    FailAllocation fail(200000, 1);
    EXPECT_TRUE(WritePdf(unbuffered, {&small, &big}));
    EXPECT_TRUE(fail.Hit());
  }
  ExpectQpdfClean(unbuffered);
  EXPECT_EQ(PdfPages(unbuffered), 2);

  // Memory that runs out at any one allocation of a page or of the trailer:
  // the page fails as a write does (status 12), or leaves by std::bad_alloc
  // before it touched the file (ImageWriter fails it then); the file keeps
  // the pages counted, under a valid trailer.
  for (long n = 1;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    const std::string file = dir / ("memory" + std::to_string(n) + ".pdf");
    ImageWriterPdfImpl m;
    ASSERT_TRUE(m.OpenFile(file.c_str(), *small));
    ASSERT_TRUE(m.WritePage(*small));
    bool thrown = false, hit;
    {
      FailAllocation fail(0, n);
      try {
        m.WritePage(*big);
      } catch (const std::bad_alloc&) {
        thrown = true;
      }
      m.CloseFile();
      hit = fail.Hit();
    }
    const ScanResults& r = m.mResults;
    EXPECT_EQ(r.mTotalPages, thrown ? 1 : r.mTotalPages);
    EXPECT_EQ(r.mErrorMsg, r.mTotalPages == 2 || thrown ? "" : "Could not write page to PDF file (Cannot allocate memory).");
    ExpectQpdfClean(file);
    EXPECT_EQ(PdfPages(file), m.mResults.mTotalPages);
    if (!hit) break;
  }
}

TEST(PdfWriter, PageThatWouldPassTenGigabytesIsRefusedAndFileUnchanged) {
  ScratchDir dir;
  const std::string path = dir / "huge.pdf";
  // A valid PDF whose objects lie behind a sparse hole of almost 10 GB.
  const int64_t base = 9999990000;
  std::string tail;
  std::vector<int64_t> offsets;
  const std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>",
                                            "<< /Type /Pages /Kids [] /Count 0 >>"};
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(base + int64_t(tail.size()));
    tail += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const int64_t xref = base + int64_t(tail.size());
  tail += "xref\n0 3\n0000000000 65535 f \n";
  for (int64_t off : offsets) tail += std::to_string(off) + " 00000 n \n";
  tail += "trailer\n<< /Size 3 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  {
    std::ofstream out(path, std::ios::binary);
    out << "%PDF-1.4\n%";
    out.seekp(base);
    out << tail;
  }
  const int64_t size = FileSize(path);
  TestPage page = MakePage(kImageTypeColor, 100, 100, 1, 0, 100, true);
  ImageWriterPdfImpl w;
  ASSERT_TRUE(w.OpenFile(path.c_str(), *page)) << w.mResults.mErrorMsg;
  EXPECT_FALSE(w.WritePage(*page));
  EXPECT_EQ(w.mResults.mStatus, kScanSizeLimit);
  EXPECT_EQ(w.mResults.mErrorMsg, "Page would exceed 10GB limit for PDF file size.");
  w.CloseFile();
  EXPECT_EQ(FileSize(path), size);
  std::ifstream in(path, std::ios::binary);
  in.seekg(base);
  std::string back(tail.size(), '\0');
  in.read(back.data(), std::streamsize(back.size()));
  EXPECT_EQ(back, tail);
}

// A page is taken while the file with its whole update stays below the
// limit: CalcFooterSize is the update's exact size apart from the image
// data, and the check is exact at the limit.
TEST(PdfWriter, SizeLimitCountsTheWholeUpdateAndIsExactAtTheLimit) {
  ScratchDir dir;
  // A valid PDF whose two objects lie behind a sparse hole of `base` bytes.
  auto target = [&](const std::string& name, int64_t base) {
    const std::string path = dir / name;
    std::string tail = "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
    const int64_t pages = base + int64_t(tail.size());
    tail += "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n";
    const int64_t xref = base + int64_t(tail.size());
    tail += "xref\n0 3\n0000000000 65535 f \n" + std::to_string(base) + " 00000 n \n" + std::to_string(pages) +
            " 00000 n \ntrailer\n<< /Size 3 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    std::ofstream out(path, std::ios::binary);
    out << "%PDF-1.4\n%";
    out.seekp(base);
    out << tail;
    return path;
  };
  TestPage page = MakePage(kImageTypeGray, 64, 64, 3, 0, 100, true);
  // The length of the page's image data, as a new file of it holds it.
  TestPage same = MakePage(kImageTypeGray, 64, 64, 3, 0, 100, false);
  ASSERT_TRUE(WritePdf(dir / "length.pdf", {&same}));
  const std::string lengthText = ReadFile(dir / "length.pdf");
  const int64_t length = std::atoll(lengthText.c_str() + lengthText.find("/Image/Length ") + 14);
  // The probe: the update's size, far below the limit.
  const int64_t probeBase = 9999000000;
  const std::string probe = target("probe.pdf", probeBase);
  const int64_t probeSize = FileSize(probe);
  int64_t update = 0;
  {
    ImageWriterPdfImpl w;
    ASSERT_TRUE(w.OpenFile(probe.c_str(), *page)) << w.mResults.mErrorMsg;
    const int64_t footer = w.CalcFooterSize(*page, length);
    ASSERT_TRUE(w.WritePage(*page)) << w.mResults.mErrorMsg;
    update = FileSize(probe) - probeSize;
    EXPECT_EQ(update, footer + length) << "the size is exact";
    w.CloseFile();
  }
  const int64_t checked = probeSize + update;
  struct Case {
    const char* name;
    int64_t shift;
    bool taken;
  };
  for (const Case& c : {Case{"one byte below the limit", -1, true}, Case{"at the limit", 0, false}}) {
    SCOPED_TRACE(c.name);
    const std::string path = target(std::string(c.name) + ".pdf", probeBase + (ImageWriterPdfImpl::kSizeLimit - checked) + c.shift);
    const int64_t size = FileSize(path);
    ImageWriterPdfImpl w;
    ASSERT_TRUE(w.OpenFile(path.c_str(), *page)) << w.mResults.mErrorMsg;
    EXPECT_EQ(w.WritePage(*page), c.taken);
    EXPECT_EQ(w.mResults.mStatus, c.taken ? kScanOK : kScanSizeLimit);
    w.CloseFile();
    if (!c.taken) {
      EXPECT_EQ(FileSize(path), size) << "the file is left as it was";
    }
  }
}

TEST(PdfWriter, GroupFourBufferThatCannotBeMadeFailsThePage) {
  ScratchDir dir;
  WriteFile(dir / "not-a-folder", "x");
  const std::string path = dir / "art.pdf";
  TestPage gray = MakePage(kImageTypeGray, 40, 40, 1);
  TestPage art = MakePage(kImageTypeLineArt, 40, 40, 2);
  ImageWriterPdfImpl w;
  ASSERT_TRUE(w.OpenFile(path.c_str(), *gray));
  ASSERT_TRUE(w.WritePage(*gray));
  const std::string saved = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
  setenv("XDG_RUNTIME_DIR", (dir / "not-a-folder").c_str(), 1);
  EXPECT_FALSE(w.WritePage(*art));
  if (saved.empty()) unsetenv("XDG_RUNTIME_DIR"); else setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  EXPECT_EQ(w.mResults.mStatus, kScanWriteFailed);
  EXPECT_EQ(w.mResults.mErrorMsg,
            "Could not encode page as Group 4: Could not open output TIFF buffer.");
  w.CloseFile();
  EXPECT_EQ(w.mResults.mTotalPages, 1);
  ExpectQpdfClean(path);
  EXPECT_EQ(PdfPages(path), 1);
}

// Tests of the image writer front and its scan results.
#include <gtest/gtest.h>

#include "HostFolders.h"
#include "ImageWriter.h"
#include "WriterTestSupport.h"

using namespace ZuzuvovOvav;
using namespace writertest;

namespace {

ScanParams Params(const std::string& base, uint32_t type = kFileTypeTIFF) {
  ScanParams p(kImageTypeGray);
  p.mBaseFilePath = base;
  p.mFileType = type;
  return p;
}

}  // namespace

TEST(WriterFront, CompletesTheOutputPath) {
  struct Case {
    std::string base;
    uint32_t type;
    bool add;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"/x/scan", kFileTypePDF, true, "/x/scan.pdf"},
      {"/x/scan.pdf", kFileTypePDF, true, "/x/scan.pdf"},
      {"/x/scan.PDF", kFileTypePDF, true, "/x/scan.PDF"},
      {"/x/scan.TIFF", kFileTypeTIFF, true, "/x/scan.TIFF"},
      {"/x/scan.v2", kFileTypePDF, true, "/x/scan.v2.pdf"},
      {"/x/scan.tif", kFileTypePDF, true, "/x/scan.tif.pdf"},
      {"/x/.pdf", kFileTypePDF, true, "/x/.pdf.pdf"},
      {"/x/scan", kFileTypeTIFF, true, "/x/scan.tif"},
      {"/x/scan", kFileTypeTIFF, false, "/x/scan"},
      {"a", kFileTypeTIFF, true, "a.tif"},
  };
  for (const Case& c : cases) {
    ScanParams p = Params(c.base, c.type);
    p.mAddFileTypeExtension = c.add;
    ImageWriter w(p);
    EXPECT_EQ(w.mParams.mBaseFilePath, c.want) << c.base;
  }
  std::string folder;
  ASSERT_EQ(quirel::host::TemporaryItemsFolder(&folder), 0);
  ImageWriter temp(Params("", kFileTypePDF));
  EXPECT_EQ(temp.mParams.mBaseFilePath.rfind(folder + "/scan-", 0), 0u) << temp.mParams.mBaseFilePath;
  EXPECT_EQ(temp.mParams.mBaseFilePath.substr(temp.mParams.mBaseFilePath.size() - 4), ".pdf");

  ImageWriter a(Params("/d/scan.pdf", kFileTypePDF)), b(Params("/old.files/scan", kFileTypeTIFF));
  b.mParams.mAddFileTypeExtension = false;
  b.mParams.mBaseFilePath = "/old.files/scan";
  EXPECT_EQ(a.MakeFileName(11), "/d/scan11.pdf");
  EXPECT_EQ(b.MakeFileName(11), "/old.files/scan11");
}

TEST(WriterFront, SplitsFilesByPageCount) {
  ScratchDir dir;
  ScanParams p = Params(dir / "scan.tif");
  p.mImagesPerFile = 2;
  TestPage page = MakePage(kImageTypeGray, 30, 20);
  ScanResults res;
  {
    ImageWriter w(p);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(w.WritePage(*page, false));
    w.Close();
    res = w.Results();
  }
  EXPECT_EQ(res.mFilePaths,
            (std::vector<std::string>{dir / "scan1.tif", dir / "scan3.tif", dir / "scan5.tif"}));
  EXPECT_EQ(res.mPageCounts, (std::vector<int32_t>{2, 2, 1}));
  EXPECT_EQ(res.mFileRefs.size(), 3u);
  EXPECT_EQ(res.mTotalPages, 5);
  for (const std::string& f : res.mFilePaths) EXPECT_TRUE(Exists(f)) << f;

  // Appending continues the series: the last file is filled up to the page
  // count, new files are numbered by the page index over the series, and a
  // full last file is left alone.
  struct Append {
    int pages;
    std::vector<std::string> files;
    std::vector<int32_t> counts, before;
  };
  const Append appends[] = {
      {4, {"scan5.tif", "scan7.tif", "scan9.tif"}, {1, 2, 1}, {1, 0, 0}},
      {1, {"scan9.tif"}, {1}, {1}},
      {1, {"scan11.tif"}, {1}, {0}},
  };
  p.mAppend = true;
  TestPage more = MakePage(kImageTypeGray, 30, 20, 2, 3, 100, /*append=*/true);
  for (const Append& a : appends) {
    ImageWriter w(p);
    for (int i = 0; i < a.pages; ++i) ASSERT_TRUE(w.WritePage(*more, false)) << w.Results().mErrorMsg;
    w.Close();
    std::vector<std::string> names;
    for (const std::string& f : w.Results().mFilePaths) names.push_back(f.substr(dir.path.size() + 1));
    EXPECT_EQ(names, a.files);
    EXPECT_EQ(w.Results().mPageCounts, a.counts);
    EXPECT_EQ(w.Results().mPagesBefore, a.before);
  }
  for (int n : {1, 3, 5, 7, 9, 11})
    EXPECT_EQ(Shell("tiffinfo '" + (dir / ("scan" + std::to_string(n) + ".tif")) + "' | grep -c 'TIFF Directory'").out,
              n == 11 ? "1\n" : "2\n")
        << n;
}

TEST(WriterFront, DuplexSkipsTheFirstAndLastSidesWithoutExtraFiles) {
  ScratchDir dir;
  TestPage page = MakePage(kImageTypeGray, 30, 20);
  ScanParams p = Params(dir / "duplex.pdf", kFileTypePDF);
  p.mDuplex = true;
  p.mSkipFirstPage = true;
  p.mSkipLastPage = true;
  {
    ImageWriter w(p);
    // Two sheets: front, back, front, back (the last back skipped).
    EXPECT_TRUE(w.WritePage(*page, false));
    EXPECT_TRUE(w.WritePage(*page, false));
    EXPECT_TRUE(w.WritePage(*page, false));
    EXPECT_TRUE(w.WritePage(*page, true));
    w.Close();
    EXPECT_EQ(w.Results().mFilePaths, std::vector<std::string>{dir / "duplex.pdf"});
    EXPECT_EQ(w.Results().mTotalPages, 2);
  }
  EXPECT_EQ(PdfPages(dir / "duplex.pdf"), 2);

  // One page per file: the skipped last side must not open a file of its own.
  p.mBaseFilePath = dir / "single.tif";
  p.mFileType = kFileTypeTIFF;
  p.mImagesPerFile = 1;
  p.mSkipFirstPage = false;
  ImageWriter w(p);
  EXPECT_TRUE(w.WritePage(*page, false));
  EXPECT_TRUE(w.WritePage(*page, true));
  EXPECT_TRUE(w.WritePage(*page, false));  // a further sheet after all
  EXPECT_TRUE(w.WritePage(*page, true));
  w.Close();
  EXPECT_EQ(w.Results().mPageCounts, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(w.Results().mFilePaths, (std::vector<std::string>{dir / "single1.tif", dir / "single2.tif"}));
}

TEST(WriterFront, FailedOpeningIsRetriedAndReported) {
  ScratchDir dir;
  TestPage page = MakePage(kImageTypeGray, 30, 20);
  ImageWriter w(Params(dir / "missing/scan.tif"));
  EXPECT_FALSE(w.WritePage(*page, false));
  EXPECT_EQ(w.Results().mStatus, kScanFileError);
  EXPECT_EQ(w.Results().mErrorMsg, "Could not open output TIFF file for writing (No such file or directory).");
  EXPECT_TRUE(w.Results().mFilePaths.empty());
  ASSERT_EQ(mkdir((dir / "missing").c_str(), 0700), 0);
  EXPECT_TRUE(w.WritePage(*page, false));
  EXPECT_EQ(w.mPageCnt, 1);

  // No output path, and this user's temporary folder cannot be made: the
  // page fails with the reason, and nothing is written anywhere.
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved ? saved : "";
  setenv("XDG_RUNTIME_DIR", "/dev/null/run", 1);
  ImageWriter temp(Params("", kFileTypePDF));
  if (saved)
    setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
  EXPECT_FALSE(temp.WritePage(*page, false));
  EXPECT_EQ(temp.Results().mStatus, kScanFileError);
  EXPECT_EQ(temp.Results().mErrorMsg,
            "Could not make an output file: no output path was given and this user's temporary folder cannot be "
            "made (Not a directory).");
  EXPECT_TRUE(temp.Results().mFilePaths.empty());

}

// Appending to TIFF files that are damaged or not TIFFs at all: the writer
// refuses them within a bound, with the reason, and leaves them byte for
// byte as they were; sound files of every layout take the page.
#include <gtest/gtest.h>

#include "ImageWriterTiff.h"
#include "WriterTestSupport.h"

using namespace ZuzuvovOvav;
using namespace writertest;

namespace {

// Where a well-formed TIFF keeps its directories: their offsets and entry
// counts, and the link positions, for planting damage.
struct Layout {
  bool little = true, big = false;
  std::vector<uint64_t> dirs, counts;
  uint64_t Get(const std::string& f, uint64_t at, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t(uint8_t(f[at + (little ? i : n - 1 - i)])) << (8 * i);
    return v;
  }
  void Put(std::string* f, uint64_t at, int n, uint64_t v) const {
    for (int i = 0; i < n; ++i) (*f)[at + (little ? i : n - 1 - i)] = char(v >> (8 * i));
  }
  int LinkSize() const { return big ? 8 : 4; }
  int CountSize() const { return big ? 8 : 2; }
  uint64_t LinkOf(size_t i) const { return dirs[i] + CountSize() + counts[i] * (big ? 20 : 12); }
  uint64_t HeaderLink() const { return big ? 8 : 4; }
};

Layout LayoutOf(const std::string& f) {
  Layout l;
  l.little = f[0] == 'I';
  l.big = l.Get(f, 2, 2) == 43;
  for (uint64_t d = l.Get(f, l.HeaderLink(), l.LinkSize()); d != 0 && l.dirs.size() < 100;) {
    l.dirs.push_back(d);
    l.counts.push_back(l.Get(f, d, l.CountSize()));
    d = l.Get(f, l.LinkOf(l.dirs.size() - 1), l.LinkSize());
  }
  return l;
}

int DirectoryCount(const std::string& path) {
  const RunResult r = Shell("tiffinfo '" + path + "' | grep -c 'TIFF Directory'");
  return std::atoi(r.out.c_str());
}

}  // namespace

TEST(TiffAppendTarget, DamagedTargetsAreRefusedUntouchedAndSoundOnesTakeThePage) {
  ScratchDir dir;
  TestPage first = MakePage(kImageTypeGray, 40, 20, 1);
  TestPage second = MakePage(kImageTypeLineArt, 40, 20, 2);
  const std::string base = dir / "base.tif";
  {
    ImageWriterTiffImpl w;
    ASSERT_TRUE(w.OpenFile(base.c_str(), *first));
    ASSERT_TRUE(w.WritePage(*first) && w.WritePage(*second)) << w.mResults.mErrorMsg;
    w.CloseFile();
  }
  ASSERT_EQ(Shell("tiffcp -B '" + base + "' '" + dir / "big-endian.tif" + "'").status, 0);
  ASSERT_EQ(Shell("tiffcp -8 '" + base + "' '" + dir / "bigtiff.tif" + "'").status, 0);

  using Damage = std::function<void(std::string*, const Layout&)>;
  struct Case {
    std::string name, from;
    Damage damage;
    std::string refusal;  // empty: the page goes in
  };
  const auto loopBack = [](std::string* f, const Layout& l) {
    l.Put(f, l.LinkOf(1), l.LinkSize(), l.dirs[0]);
  };
  const std::string kLoop = "Directory chain of target TIFF file loops back to an earlier directory.";
  const std::string kShort = "Target file is too short to be a TIFF file.";
  const std::vector<Case> cases = {
      {"sound", "base.tif", nullptr, ""},
      {"sound big-endian", "big-endian.tif", nullptr, ""},
      {"sound BigTIFF", "bigtiff.tif", nullptr, ""},
      {"empty file", "", [](std::string* f, const Layout&) { f->clear(); }, ""},
      {"last links back to first", "base.tif", loopBack, kLoop},
      {"BigTIFF last links back to first", "bigtiff.tif", loopBack, kLoop},
      {"big-endian first links to itself", "big-endian.tif",
       [](std::string* f, const Layout& l) { l.Put(f, l.LinkOf(0), l.LinkSize(), l.dirs[0]); }, kLoop},
      {"last links past the end", "base.tif",
       [](std::string* f, const Layout& l) { l.Put(f, l.LinkOf(1), 4, f->size() + 100); },
       "Directory 3 of target TIFF file lies outside the file."},
      {"header links past the end", "base.tif",
       [](std::string* f, const Layout& l) { l.Put(f, 4, 4, f->size() + 16); },
       "Directory 1 of target TIFF file lies outside the file."},
      {"entry count past the end", "base.tif",
       [](std::string* f, const Layout& l) { l.Put(f, l.dirs[1], 2, (f->size() - l.dirs[1]) / 12 + 5); },
       "Directory 2 of target TIFF file is truncated."},
      {"file cut inside the entry table", "base.tif",
       [](std::string* f, const Layout& l) { f->resize(l.dirs[1] + 2 + 12 * (l.counts[1] / 2)); },
       "Directory 2 of target TIFF file is truncated."},
      {"directory without entries", "base.tif",
       [](std::string* f, const Layout& l) { l.Put(f, l.dirs[1], 2, 0); },
       "Directory 2 of target TIFF file is empty."},
  };
  std::vector<Case> all = cases;
  for (size_t n = 1; n <= 7; ++n)
    all.push_back({std::to_string(n) + " bytes", "",
                   [n](std::string* f, const Layout&) { *f = std::string("II*\0\x08\0\0", n); }, kShort});

  for (const Case& c : all) {
    SCOPED_TRACE(c.name);
    std::string bytes = c.from.empty() ? std::string("II*\0\0\0\0\0", 8) : ReadFile(dir / c.from);
    if (c.damage) c.damage(&bytes, LayoutOf(bytes));
    const std::string path = dir / "target.tif";
    WriteFile(path, bytes);
    const int dirsBefore = c.refusal.empty() && !bytes.empty() ? DirectoryCount(path) : 0;
    // Line art needs no compression threads, which a child does not have.
    TestPage more = MakePage(kImageTypeLineArt, 40, 20, 3, 0, 100, /*append=*/true);
    const ChildResult r = RunInChild(
        [&] {
          ImageWriterTiffImpl w;
          bool ok = w.OpenFile(path.c_str(), *more) && w.WritePage(*more);
          w.CloseFile();
          return ok ? std::string("ok") : std::to_string(w.mResults.mStatus) + " " + w.mResults.mErrorMsg;
        },
        10);
    if (r.timedOut) {
      ADD_FAILURE() << "the append did not end";
      continue;
    }
    if (c.refusal.empty()) {
      EXPECT_EQ(r.out, "ok");
      const RunResult info = Shell("tiffinfo -D '" + path + "'");
      EXPECT_EQ(info.status, 0) << info.out;
      EXPECT_EQ(info.out.find("rror"), std::string::npos) << info.out;
      EXPECT_EQ(DirectoryCount(path), dirsBefore + 1);
    } else {
      EXPECT_EQ(r.out, "5 " + c.refusal);
      EXPECT_TRUE(ReadFile(path) == bytes) << "the target was changed";
    }
  }
}

// Tests of the TIFF writer: new files, appending, limits and failed writes.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <zlib.h>

#include <dirent.h>
#include <sys/syscall.h>

#include <cstring>
#include <mutex>

#include "HostFolders.h"
#include "ImageWriterTiff.h"
#include "PageData.h"
#include "WriterTestSupport.h"

using namespace ZuzuvovOvav;
using namespace writertest;

namespace {

bool WriteTiff(const std::string& path, const std::vector<const TestPage*>& pages,
               ScanResults* results = nullptr) {
  ImageWriterTiffImpl w;
  bool ok = w.OpenFile(path.c_str(), **pages.front());
  for (const TestPage* p : pages) ok = ok && w.WritePage(**p);
  w.CloseFile();
  if (results) *results = w.mResults;
  return ok;
}

struct Dir {
  uint32_t width = 0, rows = 0;
  uint16_t compression = 0, planar = 0, photometric = 0, spp = 0, bps = 0;
  float xres = 0;
  std::vector<uint8_t> packed;  // rows as read back
};

// Every directory of the file, read back through libtiff.
std::vector<Dir> ReadTiff(const std::string& path) {
  std::vector<Dir> dirs;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return dirs;
  do {
    Dir d;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &d.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &d.rows);
    TIFFGetField(t, TIFFTAG_COMPRESSION, &d.compression);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &d.planar);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &d.photometric);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &d.spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &d.bps);
    TIFFGetField(t, TIFFTAG_XRESOLUTION, &d.xres);
    std::vector<uint8_t> line(size_t(TIFFScanlineSize(t)));
    for (uint32_t r = 0; r < d.rows; ++r) {
      if (TIFFReadScanline(t, line.data(), r, 0) < 0) break;
      d.packed.insert(d.packed.end(), line.begin(), line.end());
    }
    dirs.push_back(std::move(d));
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return dirs;
}

// One file's writes and syncs, seen at the system calls the writer makes:
// recorded in order ("W offset length", "S" for a sync), or failed with
// `failWith`.
struct WatchedFile {
  std::mutex mutex;
  bool on = false;
  dev_t dev = 0;
  ino_t ino = 0;
  int failWith = 0;
  std::vector<std::string> events;

  void Start(const std::string& path, int fail = 0) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    std::lock_guard<std::mutex> lock(mutex);
    std::tie(dev, ino, failWith, on) = std::make_tuple(st.st_dev, st.st_ino, fail, true);
    events.clear();
  }
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex);
    on = false;
  }
  // False with errno set when the call is to fail.
  bool Note(int fd, const char* what, off_t offset, size_t len) {
    struct stat st;
    std::lock_guard<std::mutex> lock(mutex);
    if (!on || fstat(fd, &st) != 0 || st.st_dev != dev || st.st_ino != ino) return true;
    if (failWith && *what == 'W') {
      errno = failWith;
      return false;
    }
    events.push_back(*what == 'S' ? "S" : "W " + std::to_string(offset) + " " + std::to_string(len));
    return true;
  }
} sWatched;

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t len) {
  if (!sWatched.Note(fd, "W", lseek(fd, 0, SEEK_CUR), len)) return -1;
  return syscall(SYS_write, fd, buf, len);
}
extern "C" ssize_t pwrite(int fd, const void* buf, size_t len, off_t offset) {
  if (!sWatched.Note(fd, "W", offset, len)) return -1;
  return syscall(SYS_pwrite64, fd, buf, len, offset);
}
extern "C" int fdatasync(int fd) {
  sWatched.Note(fd, "S", 0, 0);
  return int(syscall(SYS_fdatasync, fd));
}
extern "C" int fsync(int fd) {
  sWatched.Note(fd, "S", 0, 0);
  return int(syscall(SYS_fsync, fd));
}

namespace {

void ExpectTiffinfoClean(const std::string& path) {
  const RunResult r = Shell("tiffinfo -D '" + path + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("rror"), std::string::npos) << r.out;
}

}  // namespace

TEST(TiffWriter, PagesOfEveryTypeReadBackExactlyWithTheirTags) {
  ScratchDir dir;
  const std::string path = dir / "pages.tif";
  TestPage gray = MakePage(kImageTypeGray, 301, 97, 1, 5, 300);  // Deflate
  TestPage colour = MakePage(kImageTypeColor, 131, 40, 2, 3, 300, false, /*compress=*/0);
  TestPage art = MakePage(kImageTypeLineArt, 203, 77, 3, 2, 300);
  art.info->mRotation = 3, art.info->mLineCount = 70;  // turned over, paper shorter than the window
  ScanResults res;
  ASSERT_TRUE(WriteTiff(path, {&gray, &colour, &art}, &res)) << res.mErrorMsg;
  EXPECT_EQ(res.mPageCounts, std::vector<int32_t>{3});
  ExpectTiffinfoClean(path);
  const std::vector<Dir> dirs = ReadTiff(path);
  ASSERT_EQ(dirs.size(), 3u);
  EXPECT_EQ(dirs[0].compression, COMPRESSION_DEFLATE);
  EXPECT_EQ(dirs[0].planar, PLANARCONFIG_SEPARATE);
  EXPECT_EQ(dirs[0].photometric, PHOTOMETRIC_MINISWHITE);
  EXPECT_EQ(dirs[0].width, 301u);
  EXPECT_EQ(dirs[0].rows, 97u);
  EXPECT_FLOAT_EQ(dirs[0].xres, 300.0f);
  EXPECT_TRUE(dirs[0].packed == PackedRows(gray));
  EXPECT_EQ(dirs[1].compression, COMPRESSION_NONE);
  EXPECT_EQ(dirs[1].planar, PLANARCONFIG_CONTIG);
  EXPECT_EQ(dirs[1].photometric, PHOTOMETRIC_RGB);
  EXPECT_EQ(dirs[1].spp, 3);
  EXPECT_TRUE(dirs[1].packed == PackedRows(colour));
  EXPECT_EQ(dirs[2].compression, COMPRESSION_CCITTFAX4);
  EXPECT_EQ(dirs[2].bps, 1);
  EXPECT_TRUE(dirs[2].packed == PackedRows(art));

  // The Deflate strip is one zlib stream: fixed header, Adler-32 of the
  // packed rows (padding left out) at its end, most significant byte first.
  TIFF* t = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(t, nullptr);
  std::vector<uint8_t> raw(size_t(TIFFRawStripSize(t, 0)));
  ASSERT_EQ(TIFFReadRawStrip(t, 0, raw.data(), tmsize_t(raw.size())), tmsize_t(raw.size()));
  TIFFClose(t);
  const std::vector<uint8_t> rows = PackedRows(gray);
  const uLong adler = adler32(adler32(0, nullptr, 0), rows.data(), uInt(rows.size()));
  ASSERT_GT(raw.size(), 6u);
  EXPECT_EQ(raw[0], 0x78);
  EXPECT_EQ(raw[1], 0x5E);
  const size_t n = raw.size();
  EXPECT_EQ((uLong(raw[n - 4]) << 24) | (uLong(raw[n - 3]) << 16) | (uLong(raw[n - 2]) << 8) | raw[n - 1],
            adler);
}

TEST(TiffWriter, LargeDeflatePageSpansSeveralSlicesAndStaysExact) {
  ScratchDir dir;
  const std::string path = dir / "large.tif";
  // 1 MiB is not a multiple of the stride: slices start on row boundaries.
  TestPage colour = MakePage(kImageTypeColor, 1000, 900, 4, 7, 300);
  ASSERT_TRUE(WriteTiff(path, {&colour}));
  const std::vector<Dir> dirs = ReadTiff(path);
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_TRUE(dirs[0].packed == PackedRows(colour));
}

// A page is cut into slices of whole rows of about 1 MiB however many
// workers the machine has, so that the same page gives the same stream
// everywhere: the sink gets the header, one piece per slice, the checksum.
TEST(TiffWriter, DeflateSlicesAreWholeRowsOfAbout1MiBOnEveryMachine) {
  struct Case {
    int64_t stride, packed, rows;
  };
  const Case cases[] = {{2480, 2480, 3508}, {7440, 7440, 3508}, {2048, 2040, 1200}, {3 << 20, 5000, 3}, {312, 310, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << " rows of " << c.stride);
    std::vector<uint8_t> bits(size_t(c.stride * c.rows));
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = uint8_t((i * 2654435761u) >> 27);
    std::vector<size_t> pieces;
    std::vector<uint8_t> stream;
    MallocBuffer buffer;
    ASSERT_TRUE(DeflatePage(
        bits.data(), c.stride, c.rows, c.packed,
        [&](const uint8_t* data, size_t len) {
          pieces.push_back(len);
          stream.insert(stream.end(), data, data + len);
          return true;
        },
        &buffer));
    const int64_t rowsPerSlice = ((1 << 20) + c.stride - 1) / c.stride;
    EXPECT_EQ(int64_t(pieces.size()), 2 + (c.rows + rowsPerSlice - 1) / rowsPerSlice);
    std::vector<uint8_t> back(size_t(c.packed * c.rows) + 1);
    uLongf backLen = uLongf(back.size());
    ASSERT_EQ(uncompress(back.data(), &backLen, stream.data(), uLong(stream.size())), Z_OK);
    ASSERT_EQ(int64_t(backLen), c.packed * c.rows);
    for (int64_t y = 0; y < c.rows; ++y)
      ASSERT_EQ(std::memcmp(back.data() + y * c.packed, bits.data() + y * c.stride, size_t(c.packed)), 0) << y;
  }
}

TEST(TiffWriter, AppendingAddsDirectoriesAndNeverDeletesTheExistingFile) {
  ScratchDir dir;
  TestPage page = MakePage(kImageTypeGray, 64, 32, 1, 0, 200);
  TestPage more = MakePage(kImageTypeLineArt, 64, 32, 2, 0, 200, /*append=*/true);
  for (const char* kind : {"own", "tiffcp"}) {
    const std::string path = dir / (std::string(kind) + ".tif");
    ASSERT_TRUE(WriteTiff(path, {&page}));
    if (std::string(kind) == "tiffcp") {
      ASSERT_EQ(Shell("tiffcp -c lzw '" + path + "' '" + path + ".lzw' && mv '" + path + ".lzw' '" +
                      path + "'")
                    .status,
                0);
    }
    const std::string before = ReadFile(path);
    ScanResults res;
    sWatched.Start(path);
    ASSERT_TRUE(WriteTiff(path, {&more, &more}, &res)) << res.mErrorMsg;
    sWatched.Stop();
    const std::string after = ReadFile(path);
    // Each page: its data and directory, a sync, then the 4-byte link to
    // it where the chain ended, and a sync again.
    int links = 0;
    int64_t end = int64_t(before.size());
    for (size_t i = 0; i < sWatched.events.size(); ++i) {
      const std::string& e = sWatched.events[i];
      const int64_t at = std::atoll(e.c_str() + 2), len = std::atoll(e.c_str() + e.rfind(' '));
      if (e[0] != 'W') continue;
      end = std::max(end, at + len);
      // A link is 4 bytes written again inside what the file held.
      if (len != 4 || at + len >= end) continue;
      ++links;
      EXPECT_TRUE(i > 0 && sWatched.events[i - 1] == "S") << kind << ": link at " << at << " before a sync";
      EXPECT_TRUE(i + 1 < sWatched.events.size() && sWatched.events[i + 1] == "S") << kind << ": link not synced";
    }
    EXPECT_EQ(links, 2) << kind;
    // Old bytes stay, but for the link from the last old directory.
    size_t changed = 0;
    for (size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
    EXPECT_LE(changed, 4u) << kind;
    ExpectTiffinfoClean(path);
    const std::vector<Dir> dirs = ReadTiff(path);
    ASSERT_EQ(dirs.size(), 3u) << kind;
    EXPECT_TRUE(dirs[0].packed == PackedRows(page)) << kind;
    EXPECT_TRUE(dirs[2].packed == PackedRows(more)) << kind;

    // Opened for appending and closed without a page: still there, as it was.
    ImageWriterTiffImpl w;
    ASSERT_TRUE(w.OpenFile(path.c_str(), *more));
    w.CloseFile();
    EXPECT_EQ(ReadFile(path), after) << kind;
  }

  ImageWriterTiffImpl fresh;
  ASSERT_TRUE(fresh.OpenFile((dir / "none.tif").c_str(), *page));
  fresh.CloseFile();
  EXPECT_FALSE(Exists(dir / "none.tif"));

  ScanResults res;
  EXPECT_FALSE(WriteTiff(dir / "missing.tif", {&more}, &res));
  EXPECT_EQ(res.mStatus, kScanFileError);
  EXPECT_EQ(res.mErrorMsg, "Could not open TIFF file for appending.");
  WriteFile(dir / "text.tif", std::string(100, 'x'));
  EXPECT_FALSE(WriteTiff(dir / "text.tif", {&more}, &res));
  // The refusal carries libtiff's reason.
  EXPECT_EQ(res.mErrorMsg.rfind("Could not open output TIFF file for writing (libtiff reports: ", 0), 0u)
      << res.mErrorMsg;
  EXPECT_NE(res.mErrorMsg.find("Not a TIFF"), std::string::npos) << res.mErrorMsg;
  EXPECT_EQ(ReadFile(dir / "text.tif"), std::string(100, 'x'));
}

TEST(TiffWriter, FullDiskFailsThePageAndCutsTheFileBack) {
  SmallDisk disk("2m");
  if (disk.path.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string path = disk.path + "/full.tif";
  TestPage small = MakePage(kImageTypeGray, 60, 30, 1);
  TestPage big = MakePage(kImageTypeColor, 400, 400, 2, 0, 100, false, 0);
  ImageWriterTiffImpl w;
  ASSERT_TRUE(w.OpenFile(path.c_str(), *small));
  ASSERT_TRUE(w.WritePage(*small));
  ASSERT_TRUE(w.WritePage(*small));
  disk.Fill(64 * 1024);
  const int64_t before = FileSize(path);
  EXPECT_FALSE(w.WritePage(*big));
  EXPECT_EQ(w.mResults.mStatus, kScanDiskFull);
  EXPECT_EQ(w.mResults.mErrorMsg, "Not enough free space on disk to write page.");
  EXPECT_EQ(FileSize(path), before);
  w.CloseFile();
  EXPECT_EQ(w.mResults.mPageCounts, std::vector<int32_t>{2});
  ExpectTiffinfoClean(path);
  EXPECT_EQ(ReadTiff(path).size(), 2u);
}

TEST(TiffWriter, OtherWriteErrorsNameLibtiffsReasonAndKeepEarlierPages) {
  // A write error that is neither a full disk nor a limit, and the limit of
  // this process on file sizes (ulimit -f).
  struct Case {
    const char* what;
    bool capped;
    int32_t status;
    std::string text;
  };
  const Case cases[] = {
      {"EIO", false, kScanWriteFailed, "Unknown error writing TIFF directory data (libtiff reports: "},
      {"ulimit -f", true, kScanSizeLimit, "Page would exceed the file size limit of this process (ulimit -f)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string path = dir / "capped.tif";
    TestPage small = MakePage(kImageTypeLineArt, 64, 32, 1);
    TestPage big = MakePage(kImageTypeGray, 300, 300, 2, 0, 100, false, 0);
    ImageWriterTiffImpl w;
    ASSERT_TRUE(w.OpenFile(path.c_str(), *small));
    ASSERT_TRUE(w.WritePage(*small));
    const int64_t before = FileSize(path);
    bool ok;
    {
      std::unique_ptr<FileSizeCap> cap;
      if (c.capped)
        cap = std::make_unique<FileSizeCap>(before + 5000);
      else
        sWatched.Start(path, EIO);
      ok = w.WritePage(*big);
      sWatched.Stop();
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(w.mResults.mStatus, c.status);
    const std::string& text = w.mResults.mErrorMsg;
    EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 2), ").") << text;
    EXPECT_EQ(FileSize(path), before);
    // The file is usable again: the next page goes in after the first.
    EXPECT_TRUE(w.WritePage(*small));
    w.CloseFile();
    ExpectTiffinfoClean(path);
    EXPECT_EQ(ReadTiff(path).size(), 2u);

    // A new file whose first page does not fit leaves nothing, hidden or not.
    if (c.capped) {
      ScratchDir empty;
      ImageWriterTiffImpl fresh;
      ASSERT_TRUE(fresh.OpenFile((empty / "new.tif").c_str(), *big));
      {
        FileSizeCap cap(3000);
        EXPECT_FALSE(fresh.WritePage(*big));
      }
      EXPECT_EQ(fresh.mResults.mStatus, c.status);
      fresh.CloseFile();
      DIR* d = opendir(empty.path.c_str());
      ASSERT_NE(d, nullptr);
      std::vector<std::string> left;
      while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) left.push_back(e->d_name);
      closedir(d);
      EXPECT_TRUE(left.empty()) << left.front();
    }
  }
}

TEST(TiffWriter, PageThatWouldPassFourGibibytesIsRefused) {
  ScratchDir dir;
  TestPage page = MakePage(kImageTypeGray, 100, 100, 1, 0, 100, false, 0);
  for (int compress : {0, 1}) {
    const std::string path = dir / ("near4g-" + std::to_string(compress) + ".tif");
    ASSERT_TRUE(WriteTiff(path, {&page}));
    // A sparse tail takes the file close to the limit; readers ignore it.
    ASSERT_EQ(truncate(path.c_str(), 0xFFFFFFFFll - 6000), 0);
    const int64_t size = FileSize(path);
    TestPage more = MakePage(kImageTypeGray, 100, 100, 2, 0, 100, true, compress);
    ScanResults res;
    EXPECT_FALSE(WriteTiff(path, {&more}, &res));
    EXPECT_EQ(res.mStatus, kScanSizeLimit) << res.mErrorMsg;
    EXPECT_EQ(res.mErrorMsg, "Page would exceed 4GiB limit for TIFF file size.");
    EXPECT_EQ(FileSize(path), size);
    EXPECT_EQ(ReadTiff(path).size(), 1u);
  }
}

TEST(TiffWriter, GroupFourBufferLivesInTheTemporaryFolderAndIsRemoved) {
  TestPage art = MakePage(kImageTypeLineArt, 100, 50, 3);
  std::string folder;
  ASSERT_EQ(quirel::host::TemporaryItemsFolder(&folder), 0);
  std::string temp;
  {
    ImageWriterTiffImpl buffer;
    ASSERT_TRUE(buffer.CreateTempFile());
    ASSERT_EQ(buffer.mResults.mFilePaths.size(), 1u);
    temp = buffer.mResults.mFilePaths[0];
    EXPECT_FALSE(Exists(temp)) << "a kill would leave the buffer";
    const std::string name = temp.substr(folder.size());
    EXPECT_EQ(temp.rfind(folder + "/quirel-", 0), 0u) << temp;
    ASSERT_EQ(name.size(), std::string("/quirel-").size() + 20 + 4) << temp;
    EXPECT_EQ(name.substr(name.size() - 4), ".tif");
    for (size_t i = 8; i < 28; ++i) EXPECT_TRUE(isalnum((unsigned char)name[i])) << temp;
    ASSERT_TRUE(buffer.WritePage(*art));
    MallocBuffer data;
    size_t len = 0;
    ASSERT_TRUE(buffer.GetStripRawData(&data, &len));
    EXPECT_GT(len, 0u);
  }
  EXPECT_FALSE(Exists(temp));
}

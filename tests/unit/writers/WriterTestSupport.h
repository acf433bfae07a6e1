// Pages, scratch folders and external-tool runs for the writer tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FujiScanParams.h"
#include "ImageInfo.h"
#include "TempDir.h"

namespace writertest {

using namespace ZuzuvovOvav;

// A page with its own bitmap; pixel values follow a pattern of `seed` so
// that pages differ from each other and rows from their neighbours.
struct TestPage {
  std::unique_ptr<ImageInfo> info;
  std::vector<uint8_t> bits;

  const ImageInfo& operator*() const { return *info; }
};

inline TestPage MakePage(ImageTypeE type, uint32_t width, uint32_t rows, int seed = 1,
                         uint32_t pad = 3, uint16_t dpi = 100, bool append = false,
                         int compress = 1) {
  ScanParams p(type);
  p.mXRes = p.mYRes = dpi;
  p.mBufWidthRaw = width;
  p.mBufHeightRaw = rows;
  p.mAppend = append;
  p.mCompressOption = compress;
  p.mOutImageWidthPoint = width * 72.0 / dpi;
  p.mProgramDescription = "Quirel test (writer)";
  TestPage page;
  page.info = std::make_unique<ImageInfo>(p, kSideFront);
  ImageInfo& info = *page.info;
  info.mImageType = type;
  info.mXRes = info.mYRes = dpi;
  info.mWidth = width;
  info.mHeight = rows;
  info.mLineCount = int32_t(rows);
  const uint32_t packed = type == kImageTypeLineArt ? (width + 7) / 8
                          : type == kImageTypeGray  ? width
                                                    : width * 3;
  info.mRowBytes = packed + pad;
  page.bits.resize(size_t(info.mRowBytes) * rows + 1);
  uint32_t x = uint32_t(seed) * 2654435761u;
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t c = 0; c < info.mRowBytes; ++c) {
      uint8_t v;
      if (c >= packed) {
        v = 0xEE;  // padding: must never reach a file
      } else if (type == kImageTypeLineArt) {
        x = x * 1103515245u + 12345u;
        v = ((r / 8 + c + seed) % 5 == 0) ? uint8_t(x >> 16) : uint8_t(((r + c) % 7) ? 0 : 0xFF);
      } else {
        v = uint8_t((r * 3 + c * 7 + seed * 31) ^ (r * c));
      }
      page.bits[size_t(r) * info.mRowBytes + c] = v;
    }
  }
  // Line art rows end in padding bits past the width: keep them clear.
  if (type == kImageTypeLineArt && width % 8) {
    const uint8_t mask = uint8_t(0xFF << (8 - width % 8));
    for (uint32_t r = 0; r < rows; ++r) page.bits[size_t(r) * info.mRowBytes + packed - 1] &= mask;
  }
  info.mBitMap = page.bits.data();
  return page;
}

// The packed rows of a page, padding left out: what a reader must give back.
inline std::vector<uint8_t> PackedRows(const TestPage& page) {
  const ImageInfo& i = *page.info;
  const uint32_t packed = i.mImageType == kImageTypeLineArt ? (i.mWidth + 7) / 8
                          : i.mImageType == kImageTypeGray  ? i.mWidth
                                                            : i.mWidth * 3;
  std::vector<uint8_t> out;
  for (uint32_t r = 0; r < uint32_t(i.mLineCount); ++r)
    out.insert(out.end(), i.mBitMap + size_t(r) * i.mRowBytes,
               i.mBitMap + size_t(r) * i.mRowBytes + packed);
  return out;
}

// The writer tests' scratch folder: the shared test folder, with its path
// as a field and files named by `dir / "name"`.
struct ScratchDir : quirel::testing::TempDir {
  ScratchDir() : TempDir("writers") {}
  const std::string path = Path();
  std::string operator/(const std::string& name) const { return File(name); }
};

struct RunResult {
  int status = -1;
  std::string out;
};

// Runs a shell command; standard error is folded into the output.
inline RunResult Shell(const std::string& cmd) {
  RunResult r;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int rc = pclose(p);
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return r;
}

// Page count that pdfinfo reports; -1 when it cannot read the file.
inline int PdfPages(const std::string& path) {
  const RunResult r = Shell("pdfinfo '" + path + "'");
  const size_t at = r.out.find("Pages:");
  return r.status == 0 && at != std::string::npos ? std::atoi(r.out.c_str() + at + 6) : -1;
}


inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline int64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// A small tmpfs for disk-full tests; empty path when mounting is not
// possible here (not root, no privilege), and the test is skipped then.
struct SmallDisk {
  std::string path;
  explicit SmallDisk(const std::string& size) {
    char tmpl[] = "/tmp/quirel-disk-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    if (Shell("mount -t tmpfs -o size=" + size + " tmpfs '" + dir + "'").status == 0) {
      path = dir;
    } else {
      rmdir(dir.c_str());
    }
  }
  ~SmallDisk() {
    if (path.empty()) return;
    Shell("umount '" + path + "'");
    rmdir(path.c_str());
  }
  // Fills the disk until at most `leave` bytes are free.
  void Fill(int64_t leave) {
    Shell("dd if=/dev/zero of='" + path + "/filler' bs=4096 count=100000");
    const int64_t size = FileSize(path + "/filler");
    if (size > leave) truncate((path + "/filler").c_str(), size - leave);
  }
};

}  // namespace writertest

namespace writertest {

// A binary PBM/PGM/PPM image as pdftoppm writes it.
struct Pnm {
  char kind = 0;  // '4', '5' or '6'
  int width = 0, height = 0;
  std::vector<uint8_t> data;
};

inline bool ReadPnm(const std::string& path, Pnm* img) {
  const std::string s = ReadFile(path);
  if (s.size() < 3 || s[0] != 'P') return false;
  img->kind = s[1];
  size_t p = 2;
  auto number = [&]() {
    while (p < s.size() && (isspace((unsigned char)s[p]) || s[p] == '#')) {
      if (s[p] == '#')
        while (p < s.size() && s[p] != '\n') ++p;
      else
        ++p;
    }
    int v = 0;
    while (p < s.size() && isdigit((unsigned char)s[p])) v = v * 10 + (s[p++] - '0');
    return v;
  };
  img->width = number();
  img->height = number();
  if (img->kind != '4') number();
  ++p;  // the single white space before the samples
  img->data.assign(s.begin() + std::min(p, s.size()), s.end());
  return true;
}

}  // namespace writertest

namespace writertest {

// A classic PDF from object bodies (object i+1 = objects[i]) with a
// correct cross-reference table; `trailer` is the trailer dictionary.
// Objects have generation 0 unless `gens` gives theirs.
inline std::string BuildPdf(const std::vector<std::string>& objects, const std::string& trailer,
                            const std::string& version = "1.4", const std::string& eol = "\n",
                            const std::vector<std::string>& gens = {}) {
  const auto gen = [&](size_t i) { return i < gens.size() ? gens[i] : std::string("0"); };
  std::string s = "%PDF-" + version + "\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(s.size());
    s += std::to_string(i + 1) + " " + gen(i) + " obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = s.size();
  s += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t i = 0; i < offsets.size(); ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu ", offsets[i]);
    std::string g = gen(i);
    while (g.size() < 5) g = "0" + g;
    s += line + g + " n \n";
  }
  s += "trailer\n" + trailer + "\nstartxref\n" + std::to_string(xref) + "\n%%EOF" + eol;
  return s;
}

// A one-page PDF with the given Catalog and Pages bodies (objects 1, 2).
inline std::string SimplePdf(const std::string& catalog = "<< /Type /Catalog /Pages 2 0 R >>",
                             const std::string& pages = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                             const std::string& trailer = "<< /Size 4 /Root 1 0 R >>",
                             const std::string& version = "1.4", const std::string& eol = "\n") {
  return BuildPdf({catalog, pages, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"},
                  trailer, version, eol);
}

}  // namespace writertest

#include <csignal>
#include <sys/resource.h>

namespace writertest {

// Caps the size of files this process writes, so that writes past `bytes`
// fail with EFBIG: a write error that is not a full disk.
struct FileSizeCap {
  rlimit saved{};
  explicit FileSizeCap(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit cap = saved;
    cap.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &cap);
  }
  ~FileSizeCap() { setrlimit(RLIMIT_FSIZE, &saved); }
};


}  // namespace writertest

#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <functional>

namespace writertest {

// Runs `fn` in a child process and returns the text it returned; a child
// still running after `seconds` is killed and `timedOut` set. For work that
// may hang, and for writers that must run as separate programs. The child
// must not need the compression queue's threads (they stay in the parent).
struct ChildResult {
  bool timedOut = false;
  std::string out;
};

inline ChildResult RunInChild(const std::function<std::string()>& fn, int seconds) {
  ChildResult r;
  int fds[2];
  if (pipe(fds) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string out = fn();
    if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, int(left.count())) <= 0) continue;
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, size_t(n));
  }
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return r;
}

}  // namespace writertest

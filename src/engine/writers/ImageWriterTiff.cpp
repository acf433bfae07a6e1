#include "ImageWriterTiff.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "HostFolders.h"

namespace ZuzuvovOvav {

struct TiffFile {
  int fd = -1;
  bool discard = false;  // swallow libtiff's writes: the page is being dropped
  int lastErrno = 0;     // errno of the last failed write
};

namespace {

char sLastTiffErr[2048];
char sLastTiffFmt[2048];

constexpr int64_t kTiffLimit = 0xFFFFFFFFll;

tmsize_t TfRead(thandle_t h, void* buf, tmsize_t size) {
  auto* f = static_cast<TiffFile*>(h);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(f->fd, static_cast<char*>(buf) + done, size_t(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done ? done : -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

tmsize_t TfWrite(thandle_t h, void* buf, tmsize_t size) {
  auto* f = static_cast<TiffFile*>(h);
  if (f->discard) return size;
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(f->fd, static_cast<const char*>(buf) + done, size_t(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      f->lastErrno = n < 0 ? errno : EIO;
      return done ? done : -1;
    }
    done += n;
  }
  return done;
}

toff_t TfSeek(thandle_t h, toff_t off, int whence) {
  const off_t r = ::lseek(static_cast<TiffFile*>(h)->fd, off_t(off), whence);
  return r < 0 ? toff_t(-1) : toff_t(r);
}

int TfClose(thandle_t h) {
  auto* f = static_cast<TiffFile*>(h);
  const int rc = f->fd >= 0 ? ::close(f->fd) : 0;
  f->fd = -1;
  return rc;
}

toff_t TfSize(thandle_t h) {
  struct stat st;
  return fstat(static_cast<TiffFile*>(h)->fd, &st) == 0 ? toff_t(st.st_size) : 0;
}

int TfMap(thandle_t, void**, toff_t*) { return 0; }
void TfUnmap(thandle_t, void*, toff_t) {}

// libtiff over an open descriptor; on failure the descriptor is closed.
TIFF* OpenOnFd(int fd, const char* name, const char* mode, std::unique_ptr<TiffFile>* file, int* err = nullptr) {
  auto f = std::make_unique<TiffFile>();
  f->fd = fd;
  TIFF* tif = TIFFClientOpen(name, mode, f.get(), TfRead, TfWrite, TfSeek, TfClose, TfSize, TfMap,
                             TfUnmap);
  if (!tif) {
    // A header that could not be written (a full disk) says why.
    if (err) *err = f->lastErrno;
    ::close(fd);
    return nullptr;
  }
  *file = std::move(f);
  return tif;
}

// Opens the output; on failure *err is the system's reason, or 0 when
// libtiff refused the file without one (not a TIFF, say).
TIFF* OpenPath(const std::string& path, bool append, std::unique_ptr<TiffFile>* file, int* err) {
  const int flags = append ? O_RDWR : (O_RDWR | O_CREAT | O_TRUNC);
  int fd;
  *err = 0;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  TIFF* tif = OpenOnFd(fd, path.c_str(), append ? "a" : "w", file, err);
  // A new file whose header could not be written is not left behind.
  if (!tif && !append) ::unlink(path.c_str());
  return tif;
}

void Silent(const char*, const char*, va_list) {}

// libtiff warns on every directory written with Compression 32946, the
// Deflate code this writer uses on purpose; other warnings go through.
TIFFErrorHandler sPreviousWarning = nullptr;
void TiffWarn(const char* module, const char* fmt, va_list ap) {
  if (std::strstr(fmt, "legacy Deflate")) return;
  if (sPreviousWarning) sPreviousWarning(module, fmt, ap);
}

bool ReadAt(int fd, int64_t off, void* buf, size_t len) {
  ssize_t n;
  do {
    n = ::pread(fd, buf, len, off);
  } while (n < 0 && errno == EINTR);
  return n == ssize_t(len);
}

uint64_t Unpack(const uint8_t* b, int len, bool little) {
  uint64_t v = 0;
  for (int i = 0; i < len; ++i) v |= uint64_t(b[little ? i : len - 1 - i]) << (8 * i);
  return v;
}

}  // namespace

void TiffErr(const char* module, const char* fmt, va_list ap) {
  // The module name is often the file's path: never use it as a format.
  std::vsnprintf(sLastTiffFmt, sizeof sLastTiffFmt, fmt, ap);
  const std::string text =
      std::string("libtiff reports: ") + (module ? module : "") + ", " + sLastTiffFmt;
  const size_t n = std::min(text.size(), sizeof sLastTiffErr - 1);  // cut to 2,047 characters
  std::memcpy(sLastTiffErr, text.data(), n);
  sLastTiffErr[n] = '\0';
}

TIFF* TIFFOpenTemp(std::unique_ptr<TiffFile>* file) {
  std::string folder;
  if (quirel::host::TemporaryItemsFolder(&folder) != 0) return nullptr;
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = folder + "/quirel-";
    for (int i = 0; i < 20; ++i) path += kChars[pick(rng)];
    path += ".tif";
    // Exclusive creation: the name cannot be taken over between choosing
    // and opening it.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      return nullptr;
    }
    TIFF* tif = OpenOnFd(fd, path.c_str(), "w", file);
    if (!tif) ::unlink(path.c_str());
    return tif;
  }
  return nullptr;
}

ImageWriterTiffImpl::ImageWriterTiffImpl() = default;

ImageWriterTiffImpl::~ImageWriterTiffImpl() {
  if (mTempBuffer) {
    // The buffer has served its purpose once its strip was read back: it
    // is dropped unwritten and removed, so that no page leaves a file behind.
    if (mTiff) Discard();
    if (!mPath.empty()) ::unlink(mPath.c_str());
    return;
  }
  CloseFile();
}

void ImageWriterTiffImpl::Discard() {
  mFile->discard = true;
  TIFFCleanup(mTiff);  // flushes into the void, frees, leaves the fd open
  mTiff = nullptr;
  TfClose(mFile.get());
  mFile.reset();
}

int64_t ImageWriterTiffImpl::FileSize() const {
  struct stat st;
  return mFile && fstat(mFile->fd, &st) == 0 ? int64_t(st.st_size) : -1;
}

bool ImageWriterTiffImpl::OpenFile(const char* path, const ImageInfo& image) {
  mAppending = image.mParams.mAppend;
  if (mAppending) {
    const int probe = ::open(path, O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
      mResults.mStatus = kStatusFileError;
      mResults.mErrorMsg = "Could not open TIFF file for appending.";
      return false;
    }
    ::close(probe);
  }
  int err = 0;
  // libtiff's own complaint goes into the text, not onto standard error.
  sLastTiffErr[0] = '\0';
  const TIFFErrorHandler previous = TIFFSetErrorHandler(TiffErr);
  mTiff = OpenPath(path, mAppending, &mFile, &err);
  TIFFSetErrorHandler(previous);
  if (!mTiff) {
    mResults.mStatus = kStatusFileError;
    mResults.mErrorMsg = "Could not open output TIFF file for writing";
    if (err)
      mResults.mErrorMsg += std::string(" (") + std::strerror(err) + ")";
    else if (sLastTiffErr[0])
      mResults.mErrorMsg += std::string(" (") + sLastTiffErr + ")";
    mResults.mErrorMsg += ".";
    return false;
  }
  mPath = path;
  mMaxDirSize = 0;
  mLinkPos = -1;
  mResults.AddFile(path);
  return true;
}

bool ImageWriterTiffImpl::CreateTempFile() {
  mTiff = TIFFOpenTemp(&mFile);
  mTempBuffer = true;
  if (!mTiff) {
    mResults.mErrorMsg = "Could not open output TIFF buffer.";
    return false;
  }
  mPath = TIFFFileName(mTiff);
  mResults.AddFile(mPath);
  return true;
}

bool ImageWriterTiffImpl::SetupDir(const ImageInfo& image) {
  TIFF* t = mTiff;
  bool ok = true;
  switch (image.mImageType) {
    case kImageTypeLineArt:
      ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(image.mWidth)) &&
           TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1) && TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1) &&
           TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) &&
           TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
           TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) &&
           TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
      break;
    case kImageTypeGray:
    case kImageTypeColor: {
      const bool color = image.mImageType == kImageTypeColor;
      const int compression =
          image.mParams.mCompressOption == 1 ? COMPRESSION_DEFLATE : COMPRESSION_NONE;
      ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(image.mWidth)) &&
           TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) &&
           TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, color ? 3 : 1) &&
           TIFFSetField(t, TIFFTAG_COMPRESSION, compression) &&
           TIFFSetField(t, TIFFTAG_PHOTOMETRIC, color ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISWHITE) &&
           TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) &&
           TIFFSetField(t, TIFFTAG_PLANARCONFIG, color ? PLANARCONFIG_CONTIG : PLANARCONFIG_SEPARATE);
      break;
    }
    default:
      break;
  }
  return ok && TIFFSetField(t, TIFFTAG_XRESOLUTION, float(image.mXRes)) &&
         TIFFSetField(t, TIFFTAG_YRESOLUTION, float(image.mYRes)) &&
         TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
         TIFFSetField(t, TIFFTAG_SOFTWARE, image.mParams.mProgramDescription.c_str());
}

bool ImageWriterTiffImpl::WriteStripZLib(const ImageInfo& image, uint32_t rows,
                                         int64_t sizeBefore) {
  int64_t written = 0;
  bool appendOk = true;
  MallocBuffer buffer;
  const DeflateSink sink = [&](const uint8_t* data, size_t len) {
    if (!appendOk) return false;
    if (len == 0) return true;
    // libtiff would refuse to pass 4 GiB with a text of its own; telling it
    // here keeps the status right.
    if (sizeBefore + written + int64_t(len) + mMaxDirSize > kTiffLimit) {
      mTooLarge = true;
      return appendOk = false;
    }
    if (TIFFWriteRawStrip(mTiff, 0, const_cast<uint8_t*>(data), tmsize_t(len)) != tmsize_t(len))
      return appendOk = false;
    written += int64_t(len);
    return true;
  };
  return DeflatePage(image.mBitMap, image.mRowBytes, rows, PackedRowBytes(image), sink, &buffer) &&
         appendOk;
}

bool ImageWriterTiffImpl::WriteRows(const ImageInfo& image, uint32_t rows) {
  for (uint32_t r = 0; r < rows; ++r) {
    if (TIFFWriteScanline(mTiff, image.mBitMap + size_t(r) * image.mRowBytes, r, 0) == -1)
      return false;
  }
  return true;
}

void ImageWriterTiffImpl::NoteChainEnd() {
  const int fd = mFile->fd;
  int64_t pos = mLinkPos;
  bool little = true;
  bool big = false;
  uint8_t head[16];
  if (!ReadAt(fd, 0, head, 8) || !(head[0] == head[1] && (head[0] == 'I' || head[0] == 'M'))) {
    mLinkPos = -1;
    return;
  }
  little = head[0] == 'I';
  big = Unpack(head + 2, 2, little) == 43;
  mLinkSize = big ? 8 : 4;
  if (pos < 0) pos = big ? 8 : 4;
  // Bounded: a damaged chain must not keep us here.
  for (int step = 0; step < (1 << 20); ++step) {
    uint8_t b[8];
    if (!ReadAt(fd, pos, b, size_t(mLinkSize))) break;
    const uint64_t next = Unpack(b, mLinkSize, little);
    if (next == 0) break;
    uint8_t c[8];
    if (!ReadAt(fd, int64_t(next), c, big ? 8 : 2)) break;
    const uint64_t count = Unpack(c, big ? 8 : 2, little);
    if (count > (1u << 16)) break;
    const int64_t nextPos = int64_t(next) + (big ? 8 + 20 * int64_t(count) : 2 + 12 * int64_t(count));
    if (nextPos <= pos && step > 0) break;
    pos = nextPos;
  }
  mLinkPos = ReadAt(fd, pos, mLinkBytes, size_t(mLinkSize)) ? pos : -1;
}

bool ImageWriterTiffImpl::DiskFull() const {
  // A failed write tells best; the volume's figures decide when libtiff
  // failed without one.
  const int err = mFile ? mFile->lastErrno : 0;
  if (err == ENOSPC || err == EDQUOT) return true;
  if (err != 0 || !mFile) return false;
  struct statfs s;
  if (fstatfs(mFile->fd, &s) != 0) return false;
  if (s.f_bfree == 0 || s.f_bavail == 0) return true;
  if (s.f_blocks == 0) return false;
  return uint64_t(s.f_bavail) * 1000 / (uint64_t(s.f_blocks) * 100) == 0;
}

void ImageWriterTiffImpl::ClearLastDir(int64_t size) {
  const int fd = mFile->fd;
  mFile->discard = true;
  TIFFCleanup(mTiff);
  mTiff = nullptr;
  int rc;
  do {
    rc = ::ftruncate(fd, size);
  } while (rc != 0 && errno == EINTR);
  // libtiff may already have linked the dropped directory from the one
  // before it; put that link back as it was.
  if (mLinkPos >= 0 && mLinkPos + mLinkSize <= size) {
    ssize_t n;
    do {
      n = ::pwrite(fd, mLinkBytes, size_t(mLinkSize), mLinkPos);
    } while (n < 0 && errno == EINTR);
  }
  TfClose(mFile.get());
  mFile.reset();
  if (mTempBuffer) return;
  const TIFFErrorHandler warn = TIFFSetWarningHandler(Silent);
  int err = 0;
  mTiff = OpenPath(mPath, true, &mFile, &err);
  TIFFSetWarningHandler(warn);
}

bool ImageWriterTiffImpl::WritePage(const ImageInfo& image) {
  if (!mTiff) return false;
  if (const char* problem = PageDataProblem(image)) {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg = problem;
    return false;
  }
  const int64_t before = FileSize();
  const uint32_t rows = PageRows(image);
  if (!mTempBuffer) NoteChainEnd();
  sLastTiffErr[0] = '\0';
  mFile->lastErrno = 0;
  mTooLarge = false;
  const TIFFErrorHandler previous = TIFFSetErrorHandler(TiffErr);
  sPreviousWarning = TIFFSetWarningHandler(TiffWarn);

  bool ok = SetupDir(image) && TIFFSetField(mTiff, TIFFTAG_IMAGELENGTH, rows) &&
            TIFFSetField(mTiff, TIFFTAG_ROWSPERSTRIP, rows);
  if (ok) {
    const bool deflate = image.mImageType != kImageTypeLineArt && image.mParams.mCompressOption == 1;
    ok = deflate ? WriteStripZLib(image, rows, before) : WriteRows(image, rows);
  }
  if (ok) ok = TIFFFlushData(mTiff) != 0;
  if (ok && !mTempBuffer) {
    const int64_t after = FileSize();
    if (after + mMaxDirSize > kTiffLimit) {
      mTooLarge = true;
      ok = false;
    } else if (!TIFFWriteDirectory(mTiff)) {
      ok = false;
    } else {
      mMaxDirSize = std::max(mMaxDirSize, FileSize() - after);
    }
  }

  if (ok) {
    mResults.CountPage();
  } else {
    if (mTooLarge || std::strstr(sLastTiffErr, "Maximum TIFF file size exceeded")) {
      mResults.mStatus = kStatusFileTooLarge;
      mResults.mErrorMsg = "Page would exceed 4GiB limit for TIFF file size.";
    } else if (DiskFull()) {
      mResults.mStatus = kStatusDiskFull;
      mResults.mErrorMsg = "Not enough free space on disk to write page.";
    } else {
      mResults.mStatus = kStatusWriteError;
      mResults.mErrorMsg = "Unknown error writing TIFF directory data";
      if (sLastTiffErr[0]) mResults.mErrorMsg += std::string(" (") + sLastTiffErr + ")";
      mResults.mErrorMsg += ".";
    }
    ClearLastDir(before);
  }
  TIFFSetWarningHandler(sPreviousWarning);
  TIFFSetErrorHandler(previous);
  return ok;
}

void ImageWriterTiffImpl::CloseFile() {
  if (mPath.empty()) return;
  if (mTiff) {
    TIFFClose(mTiff);
    mTiff = nullptr;
  }
  mFile.reset();
  if (!mAppending && !mTempBuffer && !mResults.mFilePaths.empty() &&
      mResults.mPageCounts.back() == 0) {
    ::unlink(mResults.mFilePaths.back().c_str());
    mResults.DropEmptyLastFile();
  }
  mPath.clear();
}

bool ImageWriterTiffImpl::GetStripRawData(MallocBuffer* data, size_t* len) {
  data->reset();
  *len = 0;
  if (!mTiff) return false;
  const tmsize_t size = TIFFRawStripSize(mTiff, 0);
  if (size < 1) return false;
  data->reset(static_cast<uint8_t*>(std::malloc(size_t(size))));
  if (!*data) return false;
  const tmsize_t got = TIFFReadRawStrip(mTiff, 0, data->get(), size);
  if (got != size) {
    QUIREL_ASSERT(got == size);
    data->reset();
    return false;
  }
  *len = size_t(size);
  return true;
}

}  // namespace ZuzuvovOvav

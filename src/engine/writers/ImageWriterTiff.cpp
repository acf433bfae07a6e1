// The TIFF writer: new files and pages appended to existing ones (see ImageWriterTiff.h).
#include "ImageWriterTiff.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "HostFolders.h"
#include "TiffAppendReader.h"

namespace ZuzuvovOvav {

struct TiffFile {
  int fd = -1;
  bool discard = false;  // swallow libtiff's writes: the page is being dropped
  int lastErrno = 0;     // errno of the last failed write
  // The link to a new directory, held back while its page is written, so
  // that it reaches the disk after the page's data and directory: a write
  // of holdSize bytes at holdPos is kept in heldBytes instead.
  int64_t holdPos = -1;
  int holdSize = 0;
  bool held = false;
  uint8_t heldBytes[8] = {};
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
  if (f->holdPos >= 0 && size == f->holdSize && ::lseek(f->fd, 0, SEEK_CUR) == f->holdPos) {
    std::memcpy(f->heldBytes, buf, size_t(size));
    f->held = true;
    return size;
  }
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

void Silent(const char*, const char*, va_list) {}

// libtiff warns on every directory written with Compression 32946, the
// Deflate code this writer uses on purpose; other warnings go through.
TIFFErrorHandler sPreviousWarning = nullptr;
void TiffWarn(const char* module, const char* fmt, va_list ap) {
  if (std::strstr(fmt, "legacy Deflate")) return;
  if (sPreviousWarning) sPreviousWarning(module, fmt, ap);
}

// A write refused because the file would pass this process's file size
// limit (ulimit -f): the page does not fit, as on a full disk.
bool PastSizeLimit(int err) {
  rlimit limit{};
  return err == EFBIG && getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

// libtiff's texts for memory it could not have.
bool LibTiffOutOfMemory() {
  for (const char* text : {"No space for", "Out of memory", "Failed to allocate memory", "Cannot allocate memory"})
    if (std::strstr(sLastTiffFmt, text)) return true;
  return false;
}

}  // namespace

void TiffErr(const char* module, const char* fmt, va_list ap) {
  // The module name is often the file's path: never use it as a format.
  // Nothing here allocates: an exception must not cross libtiff.
  std::vsnprintf(sLastTiffFmt, sizeof sLastTiffFmt, fmt, ap);
  // Cut to 2,047 characters.
  if (std::snprintf(sLastTiffErr, sizeof sLastTiffErr, "libtiff reports: %s, %s", module ? module : "", sLastTiffFmt) < 0)
    sLastTiffErr[0] = '\0';
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
    // Read back through its descriptor only: without a name, nothing of it
    // outlasts the process, however it ends.
    ::unlink(path.c_str());
    return OpenOnFd(fd, path.c_str(), "w", file);
  }
  return nullptr;
}

ImageWriterTiffImpl::ImageWriterTiffImpl() = default;

ImageWriterTiffImpl::~ImageWriterTiffImpl() {
  if (mTempBuffer) {
    // The buffer has served its purpose once its strip was read back: it
    // is dropped unwritten (its name was removed when it was made).
    if (mTiff) Discard();
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

bool ImageWriterTiffImpl::FailOpen(const std::string& text, int err) {
  // A disk too full for even the file's header is a full disk, and a size
  // limit that leaves no room for it is one too.
  mResults.mStatus = err == ENOSPC || err == EDQUOT ? kScanDiskFull
                     : PastSizeLimit(err)           ? kScanSizeLimit
                                                    : kScanFileError;
  mResults.mErrorMsg = PastSizeLimit(err) ? kFileSizeLimitText : text;
  if (mTiff) Discard();
  mFile.reset();
  mTarget.Close();
  mPath.clear();
  return false;
}

bool ImageWriterTiffImpl::OpenHandle(const char* mode, int* err) {
  *err = 0;
  const int fd = ::fcntl(mTarget.Fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    *err = errno;
    return false;
  }
  // libtiff reads the header from where the descriptor stands, and a copy
  // shares its position with the original.
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    *err = errno;
    ::close(fd);
    return false;
  }
  // libtiff's own complaint goes into the text, not onto standard error.
  sLastTiffErr[0] = '\0';
  const TIFFErrorHandler previous = TIFFSetErrorHandler(TiffErr);
  mTiff = OpenOnFd(fd, mTarget.Path().c_str(), mode, &mFile, err);
  TIFFSetErrorHandler(previous);
  return mTiff != nullptr;
}

bool ImageWriterTiffImpl::OpenFile(const char* path, const ImageInfo& image) {
  mAppending = image.mParams.mAppend;
  mMaxDirSize = 0;
  mLinkPos = -1;
  mEnd = -1;
  int err = 0;
  if (mAppending) {
    err = mTarget.OpenExisting(path);
    if (err != 0) {
      const int probe = ::open(path, O_RDONLY | O_CLOEXEC);
      if (probe < 0) return FailOpen("Could not open TIFF file for appending.");
      ::close(probe);
      return FailOpen(std::string("Could not open output TIFF file for writing (") +
                      std::strerror(err) + ").");
    }
    // Checked under the lock: another program may be adding to it now.
    const int lockErr = mTarget.Lock();
    if (lockErr != 0) return FailOpen(mTarget.LockFailureText(lockErr));
    const int64_t size = mTarget.Size();
    // libtiff would take a file too short for a header for a new one and
    // write over it.
    if (size > 0 && size < 8) return FailOpen("Target file is too short to be a TIFF file.");
  } else {
    err = mTarget.CreateNew(path);
    if (err != 0)
      return FailOpen(std::string("Could not open output TIFF file for writing (") +
                          std::strerror(err) + ").",
                      err);
  }
  if (!OpenHandle(mAppending ? "a" : "w", &err)) {
    std::string text = "Could not open output TIFF file for writing";
    if (err)
      text += std::string(" (") + std::strerror(err) + ")";
    else if (sLastTiffErr[0])
      text += std::string(" (") + sLastTiffErr + ")";
    return FailOpen(text + ".", err);
  }
  std::string error;
  if (!FindChainEnd(-1, &error)) return FailOpen(error);
  mPath = path;
  mEnd = FileSize();
  mTarget.Unlock();
  mResults.AddFile(path, mAppending ? mChainDirCount : 0);
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

bool ImageWriterTiffImpl::FindChainEnd(int64_t fromLink, std::string* error) {
  TiffAppendReader reader;
  const int64_t size = FileSize();
  if (!reader.Read(mFile->fd, size, fromLink)) {
    *error = reader.mErrorMsg;
    mLinkPos = -1;
    return false;
  }
  mLinkPos = reader.mLinkPos;
  mLinkSize = reader.mLinkSize;
  if (fromLink < 0) mChainDirCount = int32_t(reader.mDirCount);
  std::memset(mLinkBytes, 0, sizeof mLinkBytes);  // the final link holds 0
  return true;
}

bool ImageWriterTiffImpl::SyncWithTarget() {
  const auto fail = [this](const std::string& text) {
    mResults.mStatus = kScanFileError;
    mResults.mErrorMsg = text;
    return false;
  };
  if (mTarget.CheckStillAtPath() != 0) return fail(mTarget.ReplacedText());
  if (mTarget.Size() == mEnd && mLinkPos >= 0) return true;
  // Another program added to the file (or our last page left the chain end
  // unknown): check the chain again, and let libtiff read the header again,
  // whose first-directory link may have changed.
  std::string error;
  if (mTiff) Discard();
  int err = 0;
  if (!OpenHandle("a", &err)) {
    std::string text = "Could not open output TIFF file for writing";
    if (err)
      text += std::string(" (") + std::strerror(err) + ")";
    else if (sLastTiffErr[0])
      text += std::string(" (") + sLastTiffErr + ")";
    return fail(text + ".");
  }
  if (!FindChainEnd(-1, &error)) return fail(error);
  mEnd = FileSize();
  return true;
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

bool ImageWriterTiffImpl::WriteHeldLink() {
  const auto sync = [this] {
    int rc;
    do {
      rc = ::fdatasync(mFile->fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) mFile->lastErrno = errno;
    return rc == 0;
  };
  if (!sync()) return false;
  if (!mFile->held) return true;  // libtiff wrote no link where the chain ended
  ssize_t n;
  do {
    n = ::pwrite(mFile->fd, mFile->heldBytes, size_t(mLinkSize), mLinkPos);
  } while (n < 0 && errno == EINTR);
  if (n != ssize_t(mLinkSize)) {
    mFile->lastErrno = n < 0 ? errno : EIO;
    return false;
  }
  return sync();
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
  mEnd = size;
  const TIFFErrorHandler warn = TIFFSetWarningHandler(Silent);
  int err = 0;
  OpenHandle("a", &err);
  TIFFSetWarningHandler(warn);
}

bool ImageWriterTiffImpl::WritePage(const ImageInfo& image) {
  if (!mTiff) return false;
  if (const char* problem = PageDataProblem(image)) {
    mResults.mStatus = kScanWriteFailed;
    mResults.mErrorMsg = problem;
    return false;
  }
  // Once the file is where other programs reach it, each page is written
  // under its lock, after the chain end has been checked again.
  struct Unlocker {
    OutputTarget* target = nullptr;
    ~Unlocker() {
      if (target) target->Unlock();
    }
  } unlocker;
  if (!mTempBuffer && mTarget.Shared()) {
    const int lockErr = mTarget.Lock();
    if (lockErr != 0) {
      mResults.mStatus = kScanFileError;
      mResults.mErrorMsg = mTarget.LockFailureText(lockErr);
      return false;
    }
    unlocker.target = &mTarget;
    if (!SyncWithTarget()) return false;
  }
  if (!mTiff) return false;
  const int64_t before = FileSize();
  const uint32_t rows = image.ValidLineCount();
  if (!mTempBuffer && mLinkPos < 0) {
    std::string error;
    if (!FindChainEnd(-1, &error)) {
      mResults.mStatus = kScanFileError;
      mResults.mErrorMsg = error;
      return false;
    }
  }
  sLastTiffErr[0] = sLastTiffFmt[0] = '\0';
  mFile->lastErrno = 0;
  mTooLarge = false;
  const TIFFErrorHandler previous = TIFFSetErrorHandler(TiffErr);
  sPreviousWarning = TIFFSetWarningHandler(TiffWarn);

  bool ok = SetupDir(image) && TIFFSetField(mTiff, TIFFTAG_IMAGELENGTH, rows) &&
            TIFFSetField(mTiff, TIFFTAG_ROWSPERSTRIP, rows);
  bool noMemory = false;
  if (ok) {
    const bool deflate = image.mImageType != kImageTypeLineArt && image.mParams.mCompressOption == 1;
    try {
      ok = deflate ? WriteStripZLib(image, rows, before) : WriteRows(image, rows);
    } catch (const std::bad_alloc&) {
      ok = false;
      noMemory = true;
    }
  }
  if (ok) ok = TIFFFlushData(mTiff) != 0;
  // In a file other programs reach, the link to the new directory is
  // written only once the page's data and directory are on the disk, and
  // synced in turn: a crash leaves the chain ending at the page before, or
  // at this page complete.
  const bool shared = !mTempBuffer && mTarget.Shared();
  if (ok && !mTempBuffer) {
    const int64_t after = FileSize();
    if (after + mMaxDirSize > kTiffLimit) {
      mTooLarge = true;
      ok = false;
    } else {
      if (shared) {
        mFile->holdPos = mLinkPos;
        mFile->holdSize = mLinkSize;
        mFile->held = false;
      }
      ok = TIFFWriteDirectory(mTiff) != 0;
      mFile->holdPos = -1;
      if (ok) mMaxDirSize = std::max(mMaxDirSize, FileSize() - after);
      if (ok && shared) ok = WriteHeldLink();
    }
  }

  // A new file goes into place with its first page.
  int commitErr = 0;
  if (ok && !mTempBuffer && !mTarget.Shared()) {
    commitErr = mTarget.Commit();
    ok = commitErr == 0;
  }

  if (ok) {
    mResults.CountPage();
    if (!mTempBuffer) {
      // The new directory is the chain's end now; follow the link to it.
      std::string error;
      if (!FindChainEnd(mLinkPos, &error)) mLinkPos = -1;
      mEnd = FileSize();
    }
  } else {
    if (commitErr != 0) {
      mResults.mStatus = kScanFileError;
      mResults.mErrorMsg =
          std::string("Could not move the new TIFF file into place (") + std::strerror(commitErr) + ").";
    } else if (mFile && PastSizeLimit(mFile->lastErrno)) {
      mResults.mStatus = kScanSizeLimit;
      mResults.mErrorMsg = kFileSizeLimitText;
    } else if (mTooLarge || std::strstr(sLastTiffErr, "Maximum TIFF file size exceeded")) {
      mResults.mStatus = kScanSizeLimit;
      mResults.mErrorMsg = "Page would exceed 4GiB limit for TIFF file size.";
    } else if (noMemory || LibTiffOutOfMemory()) {
      mResults.mStatus = kScanWriteFailed;
      mResults.mErrorMsg = std::string("Could not write page to TIFF file (") + std::strerror(ENOMEM) + ").";
    } else if (DiskFull()) {
      mResults.mStatus = kScanDiskFull;
      mResults.mErrorMsg = "Not enough free space on disk to write page.";
    } else {
      mResults.mStatus = kScanWriteFailed;
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
  if (mTempBuffer) {
    if (mTiff) TIFFClose(mTiff);
    mTiff = nullptr;
    mFile.reset();
    mPath.clear();
    return;
  }
  // Every page's directory is written when the page is; closing writes
  // nothing more, so it needs no lock.
  if (mTiff) Discard();
  mFile.reset();
  // A new file that never received a page was never moved into place: it
  // goes, and whatever was at the path stays as it was.
  mTarget.Close();
  if (!mAppending && !mResults.mFilePaths.empty() && mResults.mPageCounts.back() == 0)
    mResults.DropEmptyLastFile();
  mPath.clear();
  mEnd = -1;
  mLinkPos = -1;
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

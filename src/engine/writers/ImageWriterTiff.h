// ImageWriterTiffImpl: TIFF output through libtiff, one directory per page,
// each page one strip: line art in CCITT Group 4, gray and colour Deflate
// (compressed in parallel and written as raw strip data) or uncompressed.
// It creates a new file or adds directories to an existing TIFF, keeps the
// file under 4 GiB, tells a full disk and a lack of memory (its own or
// libtiff's) from other write errors and removes a failed page from the file
// again, including the link to it from the directory before it.
//
// A new file is built beside the target and moved into place with its first
// page (OutputTarget). Once the file is at the target's path, every page is
// written under the file's lock, after the directory chain has been checked
// again: another program may have added directories in between, and the new
// page is linked after them.
//
// A page in a file other programs reach is made permanent in order: its
// data and directory are synced before the link that points at them is
// written, and that link is synced before the page counts as written.
//
// In buffer mode the same class encodes one line-art page to Group 4 for the
// PDF writer through a temporary file in the temporary items folder, whose
// name is removed as soon as it is open.
//
// Threads: one page at a time. libtiff's error handler is process-wide; it
// is swapped in only for the duration of one WritePage.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ImageWriter.h"
#include "OutputTarget.h"
#include "PageData.h"

namespace ZuzuvovOvav {

// The file under a libtiff handle: libtiff reads and writes through it, so
// that the writer sees the errno of a failed write and can discard what
// libtiff still wants to write after a failed page.
struct TiffFile;

class ImageWriterTiffImpl : public ImageWriterImpl {
 public:
  ImageWriterTiffImpl();
  ~ImageWriterTiffImpl() override;

  bool OpenFile(const char* path, const ImageInfo& image) override;
  bool WritePage(const ImageInfo& image) override;
  void CloseFile() override;

  // Buffer mode: opens a temporary file; its path is added to mResults.
  // On failure mErrorMsg says why (no status is set).
  bool CreateTempFile();
  // Buffer mode, after WritePage: the raw bytes of strip 0. False when
  // there are none or they cannot be read back in full.
  bool GetStripRawData(MallocBuffer* data, size_t* len);

  TIFF* mTiff = nullptr;
  bool mTempBuffer = false;
  bool mAppending = false;
  int64_t mMaxDirSize = 0;

 private:
  bool SetupDir(const ImageInfo& image);
  bool WriteStripZLib(const ImageInfo& image, uint32_t rows, int64_t sizeBefore);
  bool WriteRows(const ImageInfo& image, uint32_t rows);
  // Drops the page being built: the handle is discarded without writing,
  // the file cut back to `size` and the chain end restored; then the file
  // is opened again for appending (not in buffer mode).
  void ClearLastDir(int64_t size);
  // Syncs the page written, then writes the held link to its directory and
  // syncs that. False with the errno in the file's record on failure.
  bool WriteHeldLink();
  // Finds where the directory chain ends (the link holding 0), walking the
  // whole chain or, with `fromLink`, only what follows a known end. False
  // with the reason in *error when the chain is damaged.
  bool FindChainEnd(int64_t fromLink, std::string* error);
  // Under the lock: makes sure the path still leads to our file and, when
  // the file changed since our last page, finds the chain's new end and
  // opens libtiff afresh on it. Sets the failure in mResults.
  bool SyncWithTarget();
  // libtiff over the target's descriptor, for adding directories.
  bool OpenHandle(const char* mode, int* err);
  bool FailOpen(const std::string& text, int err = 0);
  bool DiskFull() const;
  int64_t FileSize() const;
  void Discard();

  std::unique_ptr<TiffFile> mFile;
  OutputTarget mTarget;      // the output file (not in buffer mode)
  std::string mPath;         // the file open now; empty when none
  bool mTooLarge = false;    // the page hit the 4 GiB limit
  int64_t mEnd = -1;         // file size after our last change; -1 unknown
  int64_t mLinkPos = -1;     // position of the chain's final link
  int mLinkSize = 0;         // 4, or 8 in a BigTIFF
  int32_t mChainDirCount = 0;  // directories of the chain as last read from the start
  uint8_t mLinkBytes[8] = {};
};

// Opens a new temporary TIFF for writing, made as "quirel-" + 20 characters
// + ".tif" in the temporary items folder and unlinked at once (libtiff keeps
// the name). Null when it cannot be made.
TIFF* TIFFOpenTemp(std::unique_ptr<TiffFile>* file);

// libtiff's error handler while a page is written: keeps the message.
void TiffErr(const char* module, const char* fmt, va_list ap);

}  // namespace ZuzuvovOvav

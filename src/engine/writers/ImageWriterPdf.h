// ImageWriterPdfImpl: PDF 1.3 output with one image per page, line art as
// CCITT Group 4, gray and colour as Flate. It creates a new file or appends
// pages to an existing PDF as an incremental update (a new cross-reference
// section and trailer after the old end of file; the old bytes stay as they
// were). It keeps the file under 10 GB and takes a page out again when any
// write of it fails (full disk or otherwise), so that the file always ends
// with a valid trailer when it is closed.
//
// Running out of memory part way through a page or the trailer takes the
// page out again like a failed write ("Could not write page to PDF file
// (Cannot allocate memory)."); running out before the page touched the file
// (its compressed data) leaves WritePage by std::bad_alloc, which
// ImageWriter turns into the page's failure.
//
// A new file is built beside the target and moved into place with its first
// page (OutputTarget). When appending, other programs may append to the same
// file at the same time: every page is written under the file's lock and
// leaves the file complete, trailer included. When the file is as this
// writer left it, the page replaces the update's trailer and the trailer is
// written again after it, so that one run still makes one update; when
// another program added an update in between, the file's end is read again
// and the page starts a new update on top of it.
//
// Threads: one page at a time on a document worker; Flate slices run on the
// compression queue while the writing thread waits.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "BufferedFile.h"
#include "ImageWriter.h"
#include "OutputTarget.h"
#include "PageData.h"
#include "PdfAppendReader.h"

namespace ZuzuvovOvav {

class ImageWriterPdfImpl : public ImageWriterImpl {
 public:
  struct ImageRef {
    int32_t mObjNum = 0;  // object counter of the page's image
    int32_t mRows = 0;
  };
  using ObjDescT = ZuzuvovOvav::ObjDescT;
  using Piece = std::pair<const uint8_t*, size_t>;

  // A page is accepted only while the file stays below this size.
  static constexpr int64_t kSizeLimit = 9999999999;

  ImageWriterPdfImpl() = default;
  ~ImageWriterPdfImpl() override;

  bool OpenFile(const char* path, const ImageInfo& image) override;
  bool WritePage(const ImageInfo& image) override;
  void CloseFile() override;

  // Estimated size of everything CloseFile still has to write.
  int64_t CalcFooterSize() const;

 private:
  void Reset();
  // Forgets the current update and reads the file's end (of `len` bytes)
  // for a new one: the append checks for an existing file, a new document
  // for an empty one. False with the reason in *error.
  bool StartUpdate(int64_t len, std::string* error);
  // The head of a new document: the version line and the information object.
  void WriteDocumentStart();
  // Appending: everything of one page under the file's lock.
  bool WritePageShared(const ImageInfo& image, uint32_t rows, const std::vector<Piece>& pieces);
  bool FailPage(int32_t status, const std::string& text);
  // An incremental update of an existing, non-empty file.
  bool Incremental() const { return mSettings.mAppending && mUpdate.mOldFileLen > 0; }
  int32_t ObjNum(int32_t counter) const {
    return Incremental() ? mUpdate.mObjNumBase + counter - 1 : counter;
  }
  void Write(const void* data, size_t len);
  void Write(const std::string& s) { Write(s.data(), s.size()); }
  void WriteLine(const std::string& s);
  void StartObject();
  void WriteStream(const std::string& dict, const std::vector<Piece>& pieces);
  void WriteStream(const std::string& dict, const void* data, size_t len);
  void WriteImageStream(const ImageInfo& image, uint32_t rows, const std::vector<Piece>& pieces);
  bool GetImageDataGroup4(const ImageInfo& image, std::vector<Piece>* pieces, MallocBuffer* buf,
                          std::string* error);
  bool GetImageDataFlate(const ImageInfo& image, std::vector<Piece>* pieces, MallocBuffer* buf);
  bool RollbackLastPage();
  // Writes a page's objects and flushes them; true when they were written
  // and the file with its trailer part stays under the size limit.
  bool WritePageObjects(const ImageInfo& image, uint32_t rows, const std::vector<Piece>& pieces);
  // Gives up the page just written after a write failure or at the limit.
  void GiveUpLastPage();
  void WriteFileTrailer();
  void WriteObjXRefs();
  // Takes a write error from the file into the update's mDiskFull / mWriteErrno.
  void NoteWriteError();
  // Running out of memory while writing counts as a failed write (ENOMEM).
  void NoteOutOfMemory();
  // Writes the update's trailer part and flushes it; false when a write
  // failed or memory ran out.
  bool WriteTrailerPart();
  bool WriteFailed() const { return mUpdate.mDiskFull || mUpdate.mWriteErrno != 0; }
  void SetWriteFailure();
  bool FailOpen(const std::string& text, int err = 0);

  BufferedFile mFile;
  OutputTarget mTarget;

  // What the open call fixed for the whole file; OpenFile replaces it.
  struct Settings {
    bool mAppending = false;
    double mPageWidth = 0;
    double mResolution = 0;
    std::string mProducer;  // the information object's producer text
  };
  Settings mSettings;

  // The current update: its objects and pages so far, its write failures
  // and what it took over from the file's old end. StartUpdate replaces it.
  struct Update {
    int32_t mObjCnt = 0;
    int32_t mImageCnt = 0;
    int64_t mBytesWritten = 0;
    std::map<int32_t, ImageRef> mImageMap;  // by 1-based page index in this file
    std::map<int32_t, int64_t> mObjMap;     // object counter to file offset
    std::vector<int32_t> mPagesStartObjs;
    bool mDiskFull = false;
    int mWriteErrno = 0;  // a write failed for another reason than a full disk
    int32_t mObjNumBase = 0;
    int32_t mOldPageCount = 0;
    PdfObjRef mOldPagesRef;
    PdfObjRef mOldRootRef;
    int64_t mPrevXref = 0;
    int64_t mOldRootOffset = 0;
    int64_t mOldFileLen = 0;
    PdfDict mLastTrailer;
    PdfDict mLastRoot;
    PdfDict mLastPages;
    std::map<int32_t, ObjDescT> mOldXrefs;
    int32_t mOldXrefCnt = 0;
    // Entries copied into the update, name values kept with their keys.
    PdfDict mTrailerEntries;
    PdfDict mRootEntries;
    int64_t mEnd = -1;          // appending: file length after our last page; -1 unknown
    int64_t mUpdateBase = 0;    // appending: file length before the current update
    int64_t mFooterStart = -1;  // appending: where the current update's trailer part starts
    int32_t mFooterObjCnt = 0;  // the object counter before that part
    bool mLineEndPending = false;  // the update must start with the line end counted in mOldFileLen
  };
  Update mUpdate;
};

}  // namespace ZuzuvovOvav

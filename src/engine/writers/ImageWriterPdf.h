// ImageWriterPdfImpl: PDF 1.3 output with one image per page, line art as
// CCITT Group 4, gray and colour as Flate. It creates a new file or appends
// pages to an existing PDF; the old bytes stay as they were.
//
// Every page is one complete write that leaves the file valid with it, so
// that a kill or a power cut at any moment leaves every page finished
// before. A new file's first page makes a complete one-page document
// (information, image, content, page, Pages and Catalog objects, one
// cross-reference section and trailer), built beside the target and moved
// into place (OutputTarget) once it is on the disk. Every later page, and
// every page appended to an existing file, is an incremental update added
// at the end and never overwritten: the page's objects, the page-tree nodes
// that change, a cross-reference section of exactly those objects and a
// trailer that points back to the previous one. Appending, the session's
// first update also brings a new Pages root (its first kid the old page
// tree) and a new Catalog, and frees the old Catalog.
//
// The page tree keeps every update small: the root holds up to
// sPagesPerNode pages directly, later pages go into leaf nodes of that many
// pages under the root, and an update rewrites only the node that gained
// the page and the root.
//
// Order of an update of S bytes at the file's end E, whose own last bytes
// are G bytes "startxref <xref> %%EOF": first a guard at E + S - G, the
// previous update's startxref padded to G bytes, synced; then the body
// from E up to the guard, synced; then the guard is overwritten with the
// update's own end and synced. At every moment the file ends with a
// startxref that leads to a complete document. A page that fails (full
// disk, the process's file size limit, any write error, no memory, the
// 10 GB limit) cuts the file back to E: it is as it was before the page.
//
// Other programs may append to the same file at the same time: every page
// is written under the file's lock, and when the file's end moved since our
// last page, its end is read again and the page starts a new session (new
// root, new Catalog) on top of it.
//
// Running out of memory before the page touched the file while its data is
// compressed leaves WritePage by std::bad_alloc, which ImageWriter turns
// into the page's failure; running out while the update is put together
// fails the page ("Could not write page to PDF file (Cannot allocate
// memory).").
//
// Threads: one page at a time on a document worker; Flate slices run on the
// compression queue while the writing thread waits.
#pragma once

#include <cstdint>
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
  using ObjDescT = ZuzuvovOvav::ObjDescT;
  using Piece = std::pair<const uint8_t*, size_t>;

  // A page is accepted only while the file stays below this size.
  static constexpr int64_t kSizeLimit = 9999999999;
  // Pages held by one node of the page tree (the root, or a leaf).
  static int sPagesPerNode;
  // Moments of an update, for tests that look at the file as a kill there
  // would leave it: called with 1 after the guard is on the disk, 2 after
  // the body is written, 3 after the update's end is written.
  static void (*sStepHook)(int step);

  ImageWriterPdfImpl() = default;
  ~ImageWriterPdfImpl() override;

  bool OpenFile(const char* path, const ImageInfo& image) override;
  bool WritePage(const ImageInfo& image) override;
  void CloseFile() override;

  // The exact size of the update that would write `image` as the next
  // page, apart from its `dataLength` bytes of compressed image data.
  int64_t CalcFooterSize(const ImageInfo& image, int64_t dataLength) const;

 private:
  // What the file's pages so far leave for the next update: where it
  // starts, what it points back to and the page tree it extends.
  struct Session {
    bool mOnOldDocument = false;  // on a document that was in the file (else a new one from byte 0)
    int64_t mEnd = 0;             // the file's length after our last update
    int64_t mPrevXref = 0;        // the newest cross-reference section; 0 before the first
    bool mLineEndFirst = false;   // the old file does not end in a line end
    int32_t mNextObj = 1;         // the next free object number
    int32_t mPages = 0;           // pages this session added
    int32_t mOldPageCount = 0;
    PdfObjRef mOldPagesRef;
    PdfObjRef mOldRootRef;
    PdfDict mTrailerEntries;  // copied into every trailer, name values kept with their keys
    PdfDict mRootEntries;     // copied into the new Catalog
    int32_t mRootNum = 0;     // the session's Pages root; 0 until its first update
    int32_t mCatalogNum = 0;
    std::vector<int32_t> mRootPages;  // page objects the root holds directly
    std::vector<int32_t> mLeaves;     // leaf nodes under the root
    std::vector<int32_t> mLeafPages;  // page objects of the last leaf
  };
  // One page's update, put together before anything is written.
  struct Update {
    std::string mHead;   // from the file's end up to the image data
    std::string mBody;   // after the image data, up to the update's end
    std::string mGuard;  // what stands at the end while the body is written; empty for a new document's first page
    std::string mEnd;    // "startxref" and "%%EOF" of this update
    int64_t mSize = 0;
    Session mAfter;
  };

  void Reset();
  // Reads the file's end (of `len` bytes) for a new session: the append
  // checks for an existing file, a new document for an empty one. False
  // with the reason in *error.
  bool StartSession(int64_t len, std::string* error);
  // Throws std::bad_alloc without memory for it.
  Update BuildUpdate(const ImageInfo& image, int64_t dataLength) const;
  // Writes the update in its kill-safe order; 0 or the errno of the
  // failed write, after which the file is cut back to its old end.
  int WriteUpdate(const Update& update, const std::vector<Piece>& pieces);
  bool FailPage(int32_t status, const std::string& text);
  bool FailWrite(int err);
  bool FailOpen(const std::string& text, int err = 0);
  bool GetImageDataGroup4(const ImageInfo& image, std::vector<Piece>* pieces, MallocBuffer* buf,
                          std::string* error);
  bool GetImageDataFlate(const ImageInfo& image, std::vector<Piece>* pieces, MallocBuffer* buf);

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
  Session mSession;
  int32_t mFilePages = 0;  // pages this writer put into the open file
};

}  // namespace ZuzuvovOvav

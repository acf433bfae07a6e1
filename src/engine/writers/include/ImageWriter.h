// ImageWriter: the one object through which the scan job writes finished
// pages. It completes the output path, picks the PDF or the TIFF writer,
// opens output files lazily, splits the output into several files when a
// page count per file is set, drops the first or the last side of a duplex
// job when asked to, and counts the pages written.
//
// The format writers record the outcome of every output file in their
// ScanResults (ScanResults.h), which the scan job copies out and completes
// at the end.
//
// Errors inside the layer: a failing step returns false with its text in a
// std::string* (or, at the file-system edge in OutputTarget, the errno of
// the failed call); a format writer turns it once into the status below and
// the file's text in its ScanResults. Nothing leaves the layer by an
// exception: a format writer that runs out of memory takes out what it wrote
// of the page, and the front fails the page with its text.
//
// Threads: used by one document worker at a time, pages strictly in order;
// no lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FujiScanParams.h"
#include "ImageInfo.h"
#include "ScanResults.h"

namespace ZuzuvovOvav {

// A format writer. Pages are ImageInfo records (a ScanImage is one); the
// writers only read them.
class ImageWriterImpl {
 public:
  ImageWriterImpl() = default;
  ImageWriterImpl(const ImageWriterImpl&) = delete;
  ImageWriterImpl& operator=(const ImageWriterImpl&) = delete;
  virtual ~ImageWriterImpl();

  // Creates the output file, or opens it for appending when the image's
  // parameters ask for that; on success the file is added to mResults.
  virtual bool OpenFile(const char* path, const ImageInfo& image) = 0;
  // Appends one page; on success it is counted in mResults, on failure
  // mResults holds the status and the reason and the file is left as it
  // was before the page.
  virtual bool WritePage(const ImageInfo& image) = 0;
  // Finishes and closes the current file; harmless with no file open.
  virtual void CloseFile() = 0;

  ScanResults mResults;
};

class ImageWriter {
 public:
  explicit ImageWriter(ScanParams params);
  ~ImageWriter();
  ImageWriter(const ImageWriter&) = delete;
  ImageWriter& operator=(const ImageWriter&) = delete;

  // Writes one side as a page; `lastBackSide` is true for the back of the
  // job's last sheet. Returns false when the page could not be written (the
  // reason is in the implementation's results), true when it was written or
  // deliberately skipped.
  bool WritePage(const ImageInfo& image, bool lastBackSide);
  void Close();
  // The path of the split file whose first page is page n (1-based).
  std::string MakeFileName(int n) const;
  // `path` completed as the output name rule says (OutputName.h) unless
  // `params` asks for no extension, and `base` numbered n as split files
  // are named.
  static std::string WithExtension(const ScanParams& params, const std::string& path);
  static std::string NumberedPath(const std::string& base, int n);

  // The format writer's results; an empty record for an unknown file type.
  const ScanResults& Results() const;

  std::unique_ptr<ImageWriterImpl> mImpl;
  ScanParams mParams;
  int32_t mPageCnt = 0;
  bool mFirstCall = true;
  bool mFileOpen = false;
  // The errno of making this user's temporary folder when no output path
  // was given and none could be; no page is written then.
  int mTempFolderError = 0;

  // Appending with a page count per file continues the series of split
  // files: files 1, 1+N, 1+2N, ... hold N pages each, the last up to N. The
  // job fills the last file up to N pages, then starts new files numbered by
  // the page index over the whole series. mSeriesPages is the pages the
  // series held before the job (as far as its numbering goes), known once
  // its last file was opened (mSeriesFound).
  int32_t mSeriesPages = 0;
  bool mSeriesFound = false;

 private:
  bool AppendsSeries() const { return mParams.mAppend && mParams.mImagesPerFile >= 1; }
  // Opens the last file of the series for appending or, when it is full,
  // the series' next file as a new one.
  bool OpenSeriesEnd(const ImageInfo& image);
  // Opens a file of the series that does not exist yet: a new file.
  bool OpenNewSeriesFile(const std::string& path, const ImageInfo& image);
};

}  // namespace ZuzuvovOvav

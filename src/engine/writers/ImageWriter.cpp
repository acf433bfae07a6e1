// The image writer front: picks the format writer and keeps the scan results.
#include "ImageWriter.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "ImageWriterPdf.h"
#include "ImageWriterTiff.h"
#include "OutputName.h"

namespace ZuzuvovOvav {

void ScanResults::AddFile(const std::string& path, int32_t pagesBefore) {
  // Room first, so that running out of memory leaves the four lengths equal.
  mFileRefs.reserve(mFileRefs.size() + 1);
  mPageCounts.reserve(mPageCounts.size() + 1);
  mPagesBefore.reserve(mPagesBefore.size() + 1);
  mFilePaths.push_back(path);
  mFileRefs.push_back(FSRef{});
  mPageCounts.push_back(0);
  mPagesBefore.push_back(pagesBefore);
}

void ScanResults::CountPage() {
  ++mTotalPages;
  if (!mPageCounts.empty()) ++mPageCounts.back();
}

void ScanResults::UncountPage() {
  --mTotalPages;
  if (!mPageCounts.empty()) --mPageCounts.back();
}

void ScanResults::DropEmptyLastFile() {
  if (mPageCounts.empty() || mPageCounts.back() != 0) return;
  mFilePaths.pop_back();
  mFileRefs.pop_back();
  mPageCounts.pop_back();
  mPagesBefore.pop_back();
}

ImageWriterImpl::~ImageWriterImpl() = default;

namespace {

// One call of the format writer. The writers take out what they wrote of a
// page when memory runs out part way; memory that runs out before a page
// touched the file leaves the call, and fails the page here.
template <class Call>
bool Guarded(ImageWriterImpl& impl, Call call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    if (impl.mResults.mStatus == kScanOK) {
      impl.mResults.mStatus = kScanWriteFailed;
      impl.mResults.mErrorMsg = std::string("Could not write page (") + std::strerror(ENOMEM) + ").";
    }
    return false;
  }
}

}  // namespace

ImageWriter::ImageWriter(ScanParams params) : mParams(std::move(params)) {
  if (mParams.mBaseFilePath.empty()) mTempFolderError = mParams.GenerateTempFilePath();
  mParams.mBaseFilePath = WithExtension(mParams, mParams.mBaseFilePath);
  if (mParams.mFileType == kFileTypePDF) {
    mImpl = std::make_unique<ImageWriterPdfImpl>();
  } else if (mParams.mFileType == kFileTypeTIFF) {
    mImpl = std::make_unique<ImageWriterTiffImpl>();
  }
}

ImageWriter::~ImageWriter() {
  try {
    Close();
  } catch (...) {
    // Nothing can be reported any more; the file is as the writer left it.
  }
}

bool ImageWriter::WritePage(const ImageInfo& image, bool lastBackSide) {
  // With no format writer there is nowhere to put the page.
  if (!mImpl) {
    mFirstCall = false;
    return false;
  }
  const bool skipLast = lastBackSide && mParams.mDuplex && mParams.mSkipLastPage;
  // A side that is dropped anyway must not start the next split file: that
  // file would stay empty, be deleted at close and still be listed.
  if (skipLast && mFileOpen) {
    mFirstCall = false;
    return true;
  }
  // Pages before this one, over the series when appending to one.
  const int32_t index = mSeriesPages + mPageCnt;
  const bool split = mPageCnt > 0 && mParams.mImagesPerFile >= 1 && index % mParams.mImagesPerFile == 0;
  if (split) Close();
  if (!mFileOpen && mTempFolderError != 0) {
    // Without an output path the file goes into this user's temporary
    // folder; when that cannot be made there is nowhere safe to write.
    mImpl->mResults.mStatus = kScanFileError;
    mImpl->mResults.mErrorMsg = std::string("Could not make an output file: no output path was given and this user's "
                                            "temporary folder cannot be made (") +
                                std::strerror(mTempFolderError) + ").";
    mFirstCall = false;
    return false;
  }
  if (split || !mFileOpen) {
    const std::string path = mParams.mImagesPerFile < 1 ? mParams.mBaseFilePath : MakeFileName(index + 1);
    mFileOpen = Guarded(*mImpl, [&] {
      if (!AppendsSeries()) return mImpl->OpenFile(path.c_str(), image);
      return mSeriesFound ? OpenNewSeriesFile(path, image) : OpenSeriesEnd(image);
    });
  }
  if (!mFileOpen) {
    mFirstCall = false;
    return false;
  }
  const bool skipFirst = mFirstCall && mPageCnt == 0 && mParams.mDuplex && mParams.mSkipFirstPage;
  if (skipFirst || skipLast) {
    mFirstCall = false;
    return true;
  }
  const bool ok = Guarded(*mImpl, [&] { return mImpl->WritePage(image); });
  mFirstCall = false;
  if (ok) ++mPageCnt;
  return ok;
}

bool ImageWriter::OpenSeriesEnd(const ImageInfo& image) {
  const int32_t n = mParams.mImagesPerFile;
  int32_t last = 0;  // the first page index of the last file there is
  struct stat st;
  for (int32_t at = n; at <= INT32_MAX - n && ::stat(MakeFileName(at + 1).c_str(), &st) == 0; at += n) last = at;
  if (!mImpl->OpenFile(MakeFileName(last + 1).c_str(), image)) return false;
  const int32_t held = mImpl->mResults.mPagesBefore.back();
  if (held < n) {
    mSeriesPages = last + held;
    mSeriesFound = true;
    return true;
  }
  // Full: it stays as it is, and is no file of this job's.
  mImpl->CloseFile();
  mImpl->mResults.DropEmptyLastFile();
  mSeriesPages = last + n;
  mSeriesFound = true;
  return OpenNewSeriesFile(MakeFileName(mSeriesPages + 1), image);
}

bool ImageWriter::OpenNewSeriesFile(const std::string& path, const ImageInfo& image) {
  // The page as the format writer opens a new file with it: appending off.
  ImageInfo opening(image.mParams, kSideFront);
  opening.mXRes = image.mXRes;
  opening.mYRes = image.mYRes;
  opening.mWidth = image.mWidth;
  opening.mHeight = image.mHeight;
  opening.mRowBytes = image.mRowBytes;
  opening.mLineCount = image.mLineCount;
  opening.mImageType = image.mImageType;
  opening.mBitMap = image.mBitMap;
  opening.mRotation = image.mRotation;
  std::memcpy(opening.mToneTable, image.mToneTable, sizeof opening.mToneTable);
  opening.mBwThreshold = image.mBwThreshold;
  opening.mParams = image.mParams;
  opening.mParams.mAppend = false;
  opening.SetCurScanLen(image.GetCurScanLen());
  return mImpl->OpenFile(path.c_str(), opening);
}

void ImageWriter::Close() {
  if (mImpl) Guarded(*mImpl, [this] {
      mImpl->CloseFile();
      return true;
    });
}

std::string ImageWriter::WithExtension(const ScanParams& params, const std::string& path) {
  return params.mAddFileTypeExtension ? CompleteOutputPath(path, params.mFileType) : path;
}

std::string ImageWriter::MakeFileName(int n) const { return NumberedPath(mParams.mBaseFilePath, n); }

std::string ImageWriter::NumberedPath(const std::string& base, int n) { return NumberedOutputPath(base, n); }

const ScanResults& ImageWriter::Results() const {
  static const ScanResults kNone;
  return mImpl ? mImpl->mResults : kNone;
}

}  // namespace ZuzuvovOvav

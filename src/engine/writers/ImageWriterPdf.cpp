// The PDF writer: new files and incremental updates (see ImageWriterPdf.h).
#include "ImageWriterPdf.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "ImageWriterTiff.h"

namespace ZuzuvovOvav {

namespace {

// printf for integers and strings only: their formatting does not depend
// on the locale. Reals go through Real().
std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...) {
  char small[256];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < int(sizeof small)) return std::string(small, size_t(n < 0 ? 0 : n));
  std::string out(size_t(n) + 1, '\0');
  va_start(ap, fmt);
  std::vsnprintf(out.data(), out.size(), fmt, ap);
  va_end(ap);
  out.resize(size_t(n));
  return out;
}

// A real as "%f" would print it in the C locale.
std::string Real(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
  return std::string(buf, r.ptr);
}

// A literal string body: parentheses and backslashes escaped, control bytes
// in octal, so that any description keeps the object balanced.
std::string EscapeLiteral(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c == 0x7F) {
      out += Fmt("\\%03o", c);
    } else {
      out += char(c);
    }
  }
  return out;
}

// Copied dictionary entries: key, a blank unless the value is empty or an
// array, value; in the byte order of the keys.
std::string CopiedEntries(const PdfDict& entries, std::initializer_list<const char*> skip) {
  std::string out;
  for (const auto& [key, value] : entries) {
    bool skipped = false;
    for (const char* s : skip) skipped = skipped || key == s;
    if (skipped) continue;
    out += key;
    if (!value.empty() && value[0] != '[') out += ' ';
    out += value;
  }
  return out;
}

int DecimalDigits(int64_t v) {
  int d = 1;
  while (v >= 10) {
    v /= 10;
    ++d;
  }
  return d;
}

constexpr const char* kDiskFullText = "Not enough free space on disk to write page.";

}  // namespace

ImageWriterPdfImpl::~ImageWriterPdfImpl() { CloseFile(); }

void ImageWriterPdfImpl::Reset() {
  mFile.Detach();
  mTarget.Close();
  mSettings = {};
  std::string ignored;
  StartUpdate(0, &ignored);
}

bool ImageWriterPdfImpl::StartUpdate(int64_t len, std::string* error) {
  mUpdate = {};
  mUpdate.mOldFileLen = std::max<int64_t>(len, 0);
  mUpdate.mUpdateBase = mUpdate.mOldFileLen;
  if (!mTarget.IsOpen()) return true;
  PdfAppendReader reader;
  if (!reader.ReadTarget(mTarget.Fd(), len)) {
    *error = reader.mErrorMsg;
    return false;
  }
  mFile.Attach(mTarget.Fd(), len);
  if (len > 0) {
    mUpdate.mPrevXref = reader.mPrevXref;
    mUpdate.mOldXrefs = std::move(reader.mOldXrefs);
    mUpdate.mOldXrefCnt = reader.mOldXrefCnt;
    mUpdate.mObjNumBase = reader.mObjNumBase;
    mUpdate.mLastTrailer = std::move(reader.mLastTrailer);
    mUpdate.mOldRootRef = reader.mOldRootRef;
    mUpdate.mOldRootOffset = reader.mOldRootOffset;
    mUpdate.mLastRoot = std::move(reader.mLastRoot);
    mUpdate.mOldPagesRef = reader.mOldPagesRef;
    mUpdate.mLastPages = std::move(reader.mLastPages);
    mUpdate.mOldPageCount = reader.mOldPageCount;
    mUpdate.mTrailerEntries = std::move(reader.mTrailerEntries);
    mUpdate.mRootEntries = std::move(reader.mRootEntries);
    // The update starts on a line of its own.
    const int last = mFile.ByteAt(len - 1);
    if (last != '\n' && last != '\r') {
      mUpdate.mLineEndPending = true;
      mUpdate.mOldFileLen += 2;
    }
  }
  mUpdate.mEnd = len;
  return true;
}

void ImageWriterPdfImpl::WriteDocumentStart() {
  WriteLine("%PDF-1.3");
  StartObject();
  WriteLine("<</Producer (" + EscapeLiteral(mSettings.mProducer) + ")>>");
  WriteLine("endobj");
}

bool ImageWriterPdfImpl::FailOpen(const std::string& text, int err) {
  mFile.Detach();
  mTarget.Close();
  // A disk too full for even the file's head is a full disk.
  mResults.mStatus = err == ENOSPC || err == EDQUOT ? kStatusDiskFull : kStatusFileError;
  mResults.mErrorMsg = text;
  return false;
}

bool ImageWriterPdfImpl::FailPage(int32_t status, const std::string& text) {
  mResults.mStatus = status;
  mResults.mErrorMsg = text;
  return false;
}

void ImageWriterPdfImpl::NoteWriteError() {
  const int err = mFile.Error();
  if (err == 0) return;
  if (err == ENOSPC || err == EDQUOT) {
    mUpdate.mDiskFull = true;
  } else if (mUpdate.mWriteErrno == 0) {
    mUpdate.mWriteErrno = err;
  }
}

void ImageWriterPdfImpl::NoteOutOfMemory() {
  if (mUpdate.mWriteErrno == 0) mUpdate.mWriteErrno = ENOMEM;
}

bool ImageWriterPdfImpl::WriteTrailerPart() {
  try {
    WriteFileTrailer();
  } catch (const std::bad_alloc&) {
    NoteOutOfMemory();
  }
  mFile.Flush();
  NoteWriteError();
  return !WriteFailed();
}

void ImageWriterPdfImpl::SetWriteFailure() {
  if (mUpdate.mDiskFull) {
    mResults.mStatus = kStatusDiskFull;
    mResults.mErrorMsg = kDiskFullText;
  } else {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg = Fmt("Could not write page to PDF file (%s).", std::strerror(mUpdate.mWriteErrno));
  }
}

void ImageWriterPdfImpl::Write(const void* data, size_t len) {
  // After a failure the file drops the bytes but keeps counting positions,
  // so offsets stay what they would have been.
  mUpdate.mBytesWritten += int64_t(len);
  mFile.Write(data, len);
  NoteWriteError();
}

void ImageWriterPdfImpl::WriteLine(const std::string& s) {
  Write(s);
  Write("\r\n", 2);
}

void ImageWriterPdfImpl::StartObject() {
  ++mUpdate.mObjCnt;
  mUpdate.mObjMap.emplace(mUpdate.mObjCnt, mUpdate.mOldFileLen + mUpdate.mBytesWritten);
  WriteLine(Fmt("%d 0 obj", ObjNum(mUpdate.mObjCnt)));
}

void ImageWriterPdfImpl::WriteStream(const std::string& dict, const std::vector<Piece>& pieces) {
  Write(dict);
  WriteLine("stream");
  for (const Piece& p : pieces) Write(p.first, p.second);
  WriteLine("\r\nendstream");
}

void ImageWriterPdfImpl::WriteStream(const std::string& dict, const void* data, size_t len) {
  WriteStream(dict, std::vector<Piece>{{static_cast<const uint8_t*>(data), len}});
}

bool ImageWriterPdfImpl::OpenFile(const char* path, const ImageInfo& image) {
  Reset();
  mSettings.mAppending = image.mParams.mAppend;
  mSettings.mProducer = image.mParams.mProgramDescription;
  mSettings.mPageWidth = double(float(image.mParams.mOutImageWidthPoint));
  mSettings.mResolution = image.mYRes;
  if (mSettings.mAppending) {
    if (mTarget.OpenExisting(path) != 0) {
      const int probe = ::open(path, O_RDONLY | O_CLOEXEC);
      if (probe < 0) return FailOpen("Could not open PDF file for appending.");
      ::close(probe);
      return FailOpen("Could not open output PDF file for writing.");
    }
    // Checked now, so that a file that cannot take pages is refused before
    // any page is scanned for it; every page checks the file's end again.
    const int lockErr = mTarget.Lock();
    if (lockErr != 0) return FailOpen(mTarget.LockFailureText(lockErr));
    std::string error;
    const bool ok = StartUpdate(mTarget.Size(), &error);
    mTarget.Unlock();
    if (!ok) return FailOpen(error);
  } else {
    const int err = mTarget.CreateNew(path);
    if (err != 0)
      return FailOpen(Fmt("Could not open output PDF file for writing (%s).", std::strerror(err)), err);
    mFile.Attach(mTarget.Fd(), 0);
    WriteDocumentStart();
    // What opening writes must be on the disk before any page relies on it.
    if (!mFile.Flush()) {
      const int werr = mFile.Error();
      return FailOpen(Fmt("Could not write to output PDF file (%s).", std::strerror(werr)), werr);
    }
  }
  mResults.AddFile(path, mSettings.mAppending ? mUpdate.mOldPageCount : 0);
  return true;
}

bool ImageWriterPdfImpl::GetImageDataGroup4(const ImageInfo& image, std::vector<Piece>* pieces,
                                            MallocBuffer* buf, std::string* error) {
  ImageWriterTiffImpl buffer;
  size_t len = 0;
  if (!buffer.CreateTempFile() || !buffer.WritePage(image)) {
    *error = buffer.mResults.mErrorMsg;
    return false;
  }
  if (!buffer.GetStripRawData(buf, &len)) {
    *error = "the encoded data could not be read back.";
    return false;
  }
  pieces->push_back({buf->get(), len});
  return true;
}

bool ImageWriterPdfImpl::GetImageDataFlate(const ImageInfo& image, std::vector<Piece>* pieces,
                                           MallocBuffer* buf) {
  const DeflateSink sink = [pieces](const uint8_t* data, size_t len) {
    pieces->push_back({data, len});
    return true;
  };
  return DeflatePage(image.mBitMap, image.mRowBytes, image.ValidLineCount(), PackedRowBytes(image),
                     sink, buf);
}

void ImageWriterPdfImpl::WriteImageStream(const ImageInfo& image, uint32_t rows,
                                          const std::vector<Piece>& pieces) {
  long long length = 0;
  for (const Piece& p : pieces) length += (long long)p.second;
  std::string dict;
  switch (image.mImageType) {
    case kImageTypeLineArt:
      dict = Fmt(
          "<</Type/XObject/Subtype/Image/Length %lld/Decode[0 1]/BitsPerComponent 1/ColorSpace/"
          "DeviceGray/Width %u/Height %u/Filter/CCITTFaxDecode/DecodeParms<</K -1/Columns %u/Rows "
          "%u/EndOfBlock false>>>>",
          length, image.mWidth, rows, image.mWidth, rows);
      break;
    case kImageTypeGray:
      dict = Fmt(
          "<</Type/XObject/Subtype/Image/Length %lld/Decode[1 0]/BitsPerComponent 8/ColorSpace/"
          "DeviceGray /Width %u/Height %u/Filter/FlateDecode>>",
          length, image.mWidth, rows);
      break;
    default:
      dict = Fmt(
          "<</Type/XObject/Subtype/Image/Length %lld/Decode[0 1 0 1 0 1]/BitsPerComponent 8/"
          "ColorSpace/DeviceRGB/Width %u/Height %u/Filter/FlateDecode>>",
          length, image.mWidth, rows);
      break;
  }
  StartObject();
  WriteStream(dict, pieces);
  WriteLine("endobj");
}

bool ImageWriterPdfImpl::WritePage(const ImageInfo& image) {
  if (!mFile.IsOpen()) return false;
  if (const char* problem = PageDataProblem(image)) {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg = problem;
    return false;
  }
  const uint32_t rows = image.ValidLineCount();
  std::vector<Piece> pieces;
  MallocBuffer buffer;
  std::string error;
  // A page whose data could not be produced fails before anything of it
  // reaches the file.
  if (image.mImageType == kImageTypeLineArt) {
    if (!GetImageDataGroup4(image, &pieces, &buffer, &error)) {
      mResults.mStatus = kStatusWriteError;
      mResults.mErrorMsg = "Could not encode page as Group 4: " + error;
      return false;
    }
  } else if (!GetImageDataFlate(image, &pieces, &buffer)) {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg = "Could not compress page data.";
    return false;
  }
  if (mSettings.mAppending) return WritePageShared(image, rows, pieces);
  // Pages after the first go into a file that is at its place: it must
  // still be the one there.
  if (mTarget.Shared() && mTarget.CheckStillAtPath() != 0)
    return FailPage(kStatusFileError, mTarget.ReplacedText());
  if (WritePageObjects(image, rows, pieces)) {
    // A new file goes into place with its first page.
    const int err = mTarget.Commit();
    if (err == 0) return true;
    RollbackLastPage();
    return FailPage(kStatusFileError,
                    Fmt("Could not move the new PDF file into place (%s).", std::strerror(err)));
  }
  GiveUpLastPage();
  return false;
}

bool ImageWriterPdfImpl::WritePageObjects(const ImageInfo& image, uint32_t rows,
                                          const std::vector<Piece>& pieces) {
  mUpdate.mPagesStartObjs.push_back(mUpdate.mObjCnt + 1);
  try {
    WriteImageStream(image, rows, pieces);
    mUpdate.mImageMap[int32_t(mUpdate.mPagesStartObjs.size())] = ImageRef{mUpdate.mObjCnt, int32_t(rows)};
    ++mUpdate.mImageCnt;
    mResults.CountPage();
  } catch (const std::bad_alloc&) {
    NoteOutOfMemory();  // the page is taken out again like after a failed write
  }
  // Written out now, so that a failure belongs to this page.
  mFile.Flush();
  NoteWriteError();
  return !WriteFailed() && mUpdate.mOldFileLen + mUpdate.mBytesWritten + CalcFooterSize() < kSizeLimit;
}

void ImageWriterPdfImpl::GiveUpLastPage() {
  if (WriteFailed()) {
    SetWriteFailure();
  } else {
    mResults.mStatus = kStatusFileTooLarge;
    mResults.mErrorMsg = "Page would exceed 10GB limit for PDF file size.";
  }
  RollbackLastPage();
}

bool ImageWriterPdfImpl::WritePageShared(const ImageInfo& image, uint32_t rows,
                                         const std::vector<Piece>& pieces) {
  const int lockErr = mTarget.Lock();
  if (lockErr != 0) return FailPage(kStatusFileError, mTarget.LockFailureText(lockErr));
  struct Unlocker {
    OutputTarget* target;
    ~Unlocker() { target->Unlock(); }
  } unlocker{&mTarget};
  if (mTarget.CheckStillAtPath() != 0) return FailPage(kStatusFileError, mTarget.ReplacedText());
  const int64_t len = mTarget.Size();
  if (len != mUpdate.mEnd) {
    // Another program added to the file since our last page (or our update
    // was taken out again): what we wrote so far is complete in the file;
    // this page starts a new update on what is there now.
    std::string error;
    if (!StartUpdate(len, &error)) return FailPage(kStatusFileError, error);
  } else if (mUpdate.mFooterStart >= 0) {
    // The file ends with our own trailer part: the page takes its place.
    mUpdate.mBytesWritten = mUpdate.mFooterStart - mUpdate.mOldFileLen;
    mUpdate.mObjCnt = mUpdate.mFooterObjCnt;
    mUpdate.mObjMap.erase(mUpdate.mObjMap.upper_bound(mUpdate.mFooterObjCnt), mUpdate.mObjMap.end());
    mFile.SeekTo(mUpdate.mFooterStart);
  }
  if (mUpdate.mLineEndPending) {
    mFile.Write("\r\n", 2);
    mUpdate.mLineEndPending = false;
  }
  if (mUpdate.mOldFileLen == 0 && mUpdate.mObjCnt == 0) WriteDocumentStart();  // an empty file

  bool ok = WritePageObjects(image, rows, pieces);
  if (!ok) GiveUpLastPage();
  // The trailer part for the update's pages follows, so that the file is
  // complete again before the lock goes. When it does not fit, the last
  // page is given up until it does.
  mUpdate.mFooterStart = -1;
  while (!mUpdate.mImageMap.empty()) {
    const int64_t footerStart = mUpdate.mOldFileLen + mUpdate.mBytesWritten;
    const int32_t footerObjCnt = mUpdate.mObjCnt;
    if (WriteTrailerPart()) {
      mUpdate.mFooterStart = footerStart;
      mUpdate.mFooterObjCnt = footerObjCnt;
      break;
    }
    if (ok || mResults.mStatus == kStatusOk) SetWriteFailure();
    ok = false;
    RollbackLastPage();
  }
  // With no page of this update left the file goes back to its length
  // before the update, and the next page reads its end again.
  const int64_t end = mUpdate.mImageMap.empty() ? mUpdate.mUpdateBase : mUpdate.mOldFileLen + mUpdate.mBytesWritten;
  const int truncErr = mFile.Truncate(end);
  mUpdate.mEnd = mUpdate.mImageMap.empty() ? -1 : end;
  if (ok && truncErr != 0) {
    // The file may end in stale bytes after our trailer: take the page out.
    ok = false;
    FailPage(kStatusWriteError,
             Fmt("Could not write page to PDF file (%s).", std::strerror(truncErr)));
    mUpdate.mEnd = -1;
  }
  return ok;
}

int64_t ImageWriterPdfImpl::CalcFooterSize() const {
  const int64_t i = mUpdate.mImageCnt;
  const int64_t x = mUpdate.mOldXrefCnt;
  const int64_t a = mSettings.mAppending ? 1 : 0;
  const int64_t d = DecimalDigits(x + 3 * i + 3);
  return 313 + 367 * i + 19 * x + (a ? d + 23 : 0) + (i + a) * (d + 5) + d * (3 * i + 6);
}

// Also takes out a page that memory ran out for part way: one whose first
// object got no place wrote nothing, one that is not in the image map was
// not counted.
bool ImageWriterPdfImpl::RollbackLastPage() {
  if (mUpdate.mPagesStartObjs.empty()) return false;
  const int32_t s = mUpdate.mPagesStartObjs.back();
  const auto start = mUpdate.mObjMap.find(s);
  const int64_t offset = start != mUpdate.mObjMap.end() ? start->second : mUpdate.mOldFileLen + mUpdate.mBytesWritten;
  if (mUpdate.mImageMap.erase(int32_t(mUpdate.mPagesStartObjs.size())) != 0) {
    mResults.UncountPage();
    --mUpdate.mImageCnt;
  }
  mUpdate.mPagesStartObjs.pop_back();
  mUpdate.mBytesWritten = offset - mUpdate.mOldFileLen;
  mUpdate.mObjCnt = s - 1;
  mFile.ClearError();
  mFile.SeekTo(offset);
  mUpdate.mObjMap.erase(mUpdate.mObjMap.lower_bound(s), mUpdate.mObjMap.end());
  mUpdate.mDiskFull = false;
  mUpdate.mWriteErrno = 0;
  return true;
}

void ImageWriterPdfImpl::WriteObjXRefs() {
  for (const auto& [counter, offset] : mUpdate.mObjMap) WriteLine(Fmt("%010lld 00000 n", (long long)offset));
}

void ImageWriterPdfImpl::WriteFileTrailer() {
  if (mUpdate.mImageMap.empty()) return;
  const int32_t pages = int32_t(mUpdate.mImageMap.size());
  const int32_t pagesNum = ObjNum(mUpdate.mObjCnt + 2 * pages + 1);
  const double resolution = mSettings.mResolution > 0 ? mSettings.mResolution : 72.0;
  const std::string width = Real(mSettings.mPageWidth);
  std::vector<int32_t> pageNums;
  for (const auto& [index, ref] : mUpdate.mImageMap) {
    const std::string height = Real(ref.mRows * 72.0 / resolution);
    const std::string content = "q\r\n" + width + " 0 0 " + height + " 0 0 cm\r\n/pgimage Do\r\nQ";
    StartObject();
    const int32_t contentNum = ObjNum(mUpdate.mObjCnt);
    WriteStream(Fmt("<</Length %zu>>", content.size()), content.data(), content.size());
    WriteLine("endobj");
    StartObject();
    pageNums.push_back(ObjNum(mUpdate.mObjCnt));
    WriteLine("<</Type/Page/MediaBox[0 0 " + width + " " + height + "]" +
              Fmt("/Parent %d 0 R/Resources<</ProcSet[/PDF/ImageB/ImageC/ImageI]/XObject<</pgimage "
                  "%d 0 R>>>>/Contents %d 0 R>>",
                  pagesNum, ObjNum(ref.mObjNum), contentNum));
    WriteLine("endobj");
  }

  StartObject();
  std::string kids;
  if (Incremental()) kids = Fmt("%d %d R", mUpdate.mOldPagesRef.mNum, mUpdate.mOldPagesRef.mGen);
  for (int32_t num : pageNums) {
    if (!kids.empty()) kids += ' ';
    kids += Fmt("%d 0 R", num);
  }
  WriteLine(Fmt("<</Type/Pages/Count %d/Kids[", mUpdate.mOldPageCount + pages) + kids + "]>>");
  WriteLine("endobj");

  StartObject();
  const int32_t rootNum = ObjNum(mUpdate.mObjCnt);
  if (Incremental()) {
    WriteLine(Fmt("<</Type/Catalog/Pages %d 0 R", pagesNum) +
              CopiedEntries(mUpdate.mRootEntries, {"/Type", "/Pages"}) + ">>");
  } else {
    WriteLine(Fmt("<</Type/Catalog/Pages %d 0 R/OpenAction[ %d 0 R /Fit ]>>", pagesNum,
                  pageNums.front()));
  }
  WriteLine("endobj");

  const int64_t xref = mUpdate.mOldFileLen + mUpdate.mBytesWritten;
  WriteLine("xref");
  if (Incremental()) {
    // The old Catalog is replaced: mark it deleted. A generation at the
    // format's limit stays there: that object number is never used again.
    WriteLine(Fmt("%d 1", mUpdate.mOldRootRef.mNum));
    WriteLine(Fmt("%010d %05d f", 0, std::min(mUpdate.mOldRootRef.mGen + 1, 65535)));
    WriteLine(Fmt("%d %d", mUpdate.mObjNumBase, mUpdate.mObjCnt));
  } else {
    WriteLine(Fmt("0 %d", mUpdate.mObjCnt + 1));
    WriteLine("0000000000 65535 f");
  }
  WriteObjXRefs();
  WriteLine("trailer");
  if (Incremental()) {
    WriteLine(Fmt("<</Size %d/Root %d 0 R/Prev %lld", mUpdate.mObjNumBase + mUpdate.mObjCnt, rootNum,
                  (long long)mUpdate.mPrevXref) +
              CopiedEntries(mUpdate.mTrailerEntries, {"/Size", "/Root", "/Prev"}) + ">>");
  } else {
    WriteLine(Fmt("<</Size %d/Root %d 0 R/Info %d 0 R>>", mUpdate.mObjCnt + 1, rootNum, 1));
  }
  WriteLine("startxref");
  WriteLine(Fmt("%lld", (long long)xref));
  WriteLine("%%EOF");
}

void ImageWriterPdfImpl::CloseFile() {
  if (!mFile.IsOpen()) return;
  if (mSettings.mAppending) {
    // Every page left the file complete: nothing more to write.
    mFile.Detach();
    const int closeErr = mTarget.Close();
    if (closeErr != 0 && mResults.mStatus == kStatusOk) {
      mResults.mStatus = kStatusWriteError;
      mResults.mErrorMsg = Fmt("Could not finish PDF file (%s).", std::strerror(closeErr));
    }
    return;
  }
  const bool shared = mTarget.Shared();
  if (shared) {
    // An appender must not add to the file while its trailer is written and
    // the file cut to length. The trailer is written even without the lock:
    // without it the file is no PDF at all.
    mTarget.Lock();
    if (mTarget.CheckStillAtPath() != 0 && mResults.mStatus == kStatusOk) {
      mResults.mStatus = kStatusFileError;
      mResults.mErrorMsg = mTarget.ReplacedText();
    }
  }
  for (;;) {
    if (WriteTrailerPart() || mUpdate.mImageMap.empty()) break;
    // The trailer did not fit: give up the last page and try again. Those
    // pages were reported as written, so the job must learn of the loss.
    if (mResults.mStatus == kStatusOk) SetWriteFailure();
    if (!RollbackLastPage()) break;
  }
  if (WriteFailed() && mResults.mStatus == kStatusOk) SetWriteFailure();
  const int truncErr = mFile.Truncate(mUpdate.mOldFileLen + mUpdate.mBytesWritten);
  mFile.Detach();
  // A new file that kept no page goes; one never moved into place goes
  // with the target closed, and whatever was at the path stays.
  if (shared && mUpdate.mImageMap.empty() && mTarget.CheckStillAtPath() == 0)
    ::unlink(mTarget.Path().c_str());
  const int closeErr = mTarget.Close();
  if ((truncErr || closeErr) && mResults.mStatus == kStatusOk) {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg =
        Fmt("Could not finish PDF file (%s).", std::strerror(truncErr ? truncErr : closeErr));
  }
  if (mUpdate.mImageMap.empty()) mResults.DropEmptyLastFile();
}

}  // namespace ZuzuvovOvav

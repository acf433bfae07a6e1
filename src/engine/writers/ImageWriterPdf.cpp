#include "ImageWriterPdf.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <unistd.h>

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
  mFile.Close();
  mObjCnt = 0;
  mImageCnt = 0;
  mBytesWritten = 0;
  mImageMap.clear();
  mObjMap.clear();
  mPagesStartObjs.clear();
  mPageWidth = 0;
  mResolution = 0;
  mAppending = false;
  mDiskFull = false;
  mWriteErrno = 0;
  mObjNumBase = 0;
  mOldPageCount = 0;
  mOldPagesRef = {};
  mOldRootRef = {};
  mPrevXref = 0;
  mOldRootOffset = 0;
  mOldFileLen = 0;
  mLastTrailer.clear();
  mLastRoot.clear();
  mLastPages.clear();
  mOldXrefs.clear();
  mOldXrefCnt = 0;
  mTrailerEntries.clear();
  mRootEntries.clear();
  mPath.clear();
}

bool ImageWriterPdfImpl::FailOpen(const std::string& text) {
  mResults.mStatus = kStatusFileError;
  mResults.mErrorMsg = text;
  return false;
}

void ImageWriterPdfImpl::NoteWriteError() {
  const int err = mFile.Error();
  if (err == 0) return;
  if (err == ENOSPC || err == EDQUOT) {
    mDiskFull = true;
  } else if (mWriteErrno == 0) {
    mWriteErrno = err;
  }
}

void ImageWriterPdfImpl::SetWriteFailure() {
  if (mDiskFull) {
    mResults.mStatus = kStatusDiskFull;
    mResults.mErrorMsg = kDiskFullText;
  } else {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg = Fmt("Could not write page to PDF file (%s).", std::strerror(mWriteErrno));
  }
}

void ImageWriterPdfImpl::Write(const void* data, size_t len) {
  // After a failure the file drops the bytes but keeps counting positions,
  // so offsets stay what they would have been.
  mBytesWritten += int64_t(len);
  mFile.Write(data, len);
  NoteWriteError();
}

void ImageWriterPdfImpl::WriteLine(const std::string& s) {
  Write(s);
  Write("\r\n", 2);
}

void ImageWriterPdfImpl::StartObject() {
  ++mObjCnt;
  mObjMap.emplace(mObjCnt, mOldFileLen + mBytesWritten);
  WriteLine(Fmt("%d 0 obj", ObjNum(mObjCnt)));
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
  mAppending = image.mParams.mAppend;
  if (mAppending) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return FailOpen("Could not open PDF file for appending.");
    in.seekg(0, std::ios::end);
    mOldFileLen = int64_t(in.tellg());
    if (mOldFileLen < 0) return FailOpen("Could not open PDF file for appending.");
    if (mOldFileLen >= 1 && mOldFileLen <= 83)
      return FailOpen("Target file cannot be a well-formed PDF file (too short).");
    if (mOldFileLen >= 84) {
      PdfAppendReader reader;
      if (!reader.Read(in, mOldFileLen)) return FailOpen(reader.mErrorMsg);
      mPrevXref = reader.mPrevXref;
      mOldXrefs = std::move(reader.mOldXrefs);
      mOldXrefCnt = reader.mOldXrefCnt;
      mObjNumBase = reader.mObjNumBase;
      mLastTrailer = std::move(reader.mLastTrailer);
      mOldRootRef = reader.mOldRootRef;
      mOldRootOffset = reader.mOldRootOffset;
      mLastRoot = std::move(reader.mLastRoot);
      mOldPagesRef = reader.mOldPagesRef;
      mLastPages = std::move(reader.mLastPages);
      mOldPageCount = reader.mOldPageCount;
      mTrailerEntries = std::move(reader.mTrailerEntries);
      mRootEntries = std::move(reader.mRootEntries);
    }
  }
  if (mFile.Open(path, mAppending) != 0) return FailOpen("Could not open output PDF file for writing.");
  // The file may have changed since it was checked; offsets must match it.
  if (mFile.Position() != mOldFileLen) {
    mFile.Close();
    return FailOpen("Target file changed while it was being checked.");
  }
  mPath = path;
  const int64_t originalLen = mOldFileLen;
  if (Incremental()) {
    const int last = mFile.ByteAt(mOldFileLen - 1);
    if (last != '\n' && last != '\r') {
      mFile.Write("\r\n", 2);
      mOldFileLen += 2;
    }
  }
  if (!Incremental()) WriteLine("%PDF-1.3");
  mPageWidth = double(float(image.mParams.mOutImageWidthPoint));
  mResolution = image.mYRes;
  if (!Incremental()) {
    StartObject();
    WriteLine("<</Producer (" + EscapeLiteral(image.mParams.mProgramDescription) + ")>>");
    WriteLine("endobj");
  }
  // What opening writes must be on the disk before any page relies on it.
  if (!mFile.Flush()) {
    const int err = mFile.Error();
    mFile.Truncate(originalLen);
    mFile.Close();
    if (!mAppending) ::unlink(path);
    return FailOpen(Fmt("Could not write to output PDF file (%s).", std::strerror(err)));
  }
  mResults.AddFile(path);
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
  return DeflatePage(image.mBitMap, image.mRowBytes, PageRows(image), PackedRowBytes(image), sink,
                     buf);
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
  ++mImageCnt;
}

bool ImageWriterPdfImpl::WritePage(const ImageInfo& image) {
  if (!mFile.IsOpen()) return false;
  if (const char* problem = PageDataProblem(image)) {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg = problem;
    return false;
  }
  const uint32_t rows = PageRows(image);
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
  mPagesStartObjs.push_back(mObjCnt + 1);
  WriteImageStream(image, rows, pieces);
  mResults.CountPage();
  mImageMap[int32_t(mPagesStartObjs.size())] = ImageRef{mObjCnt, int32_t(rows)};
  // Written out now, so that a failure belongs to this page.
  mFile.Flush();
  NoteWriteError();
  if (!WriteFailed() && mOldFileLen + mBytesWritten + CalcFooterSize() < kSizeLimit) return true;
  if (WriteFailed()) {
    SetWriteFailure();
  } else {
    mResults.mStatus = kStatusFileTooLarge;
    mResults.mErrorMsg = "Page would exceed 10GB limit for PDF file size.";
  }
  RollbackLastPage();
  return false;
}

int64_t ImageWriterPdfImpl::CalcFooterSize() const {
  const int64_t i = mImageCnt;
  const int64_t x = mOldXrefCnt;
  const int64_t a = mAppending ? 1 : 0;
  const int64_t d = DecimalDigits(x + 3 * i + 3);
  return 313 + 367 * i + 19 * x + (a ? d + 23 : 0) + (i + a) * (d + 5) + d * (3 * i + 6);
}

bool ImageWriterPdfImpl::RollbackLastPage() {
  if (mPagesStartObjs.empty()) return false;
  const int32_t s = mPagesStartObjs.back();
  const auto start = mObjMap.find(s);
  if (start == mObjMap.end()) return false;
  const int64_t offset = start->second;
  mImageMap.erase(int32_t(mPagesStartObjs.size()));
  mResults.UncountPage();
  --mImageCnt;
  mPagesStartObjs.pop_back();
  mBytesWritten = offset - mOldFileLen;
  mObjCnt = s - 1;
  mFile.ClearError();
  mFile.SeekTo(offset);
  mObjMap.erase(start, mObjMap.end());
  mDiskFull = false;
  mWriteErrno = 0;
  return true;
}

void ImageWriterPdfImpl::WriteObjXRefs() {
  for (const auto& [counter, offset] : mObjMap) WriteLine(Fmt("%010lld 00000 n", (long long)offset));
}

void ImageWriterPdfImpl::WriteFileTrailer() {
  if (mImageMap.empty()) return;
  const int32_t pages = int32_t(mImageMap.size());
  const int32_t pagesNum = ObjNum(mObjCnt + 2 * pages + 1);
  const double resolution = mResolution > 0 ? mResolution : 72.0;
  const std::string width = Real(mPageWidth);
  std::vector<int32_t> pageNums;
  for (const auto& [index, ref] : mImageMap) {
    const std::string height = Real(ref.mRows * 72.0 / resolution);
    const std::string content = "q\r\n" + width + " 0 0 " + height + " 0 0 cm\r\n/pgimage Do\r\nQ";
    StartObject();
    const int32_t contentNum = ObjNum(mObjCnt);
    WriteStream(Fmt("<</Length %zu>>", content.size()), content.data(), content.size());
    WriteLine("endobj");
    StartObject();
    pageNums.push_back(ObjNum(mObjCnt));
    WriteLine("<</Type/Page/MediaBox[0 0 " + width + " " + height + "]" +
              Fmt("/Parent %d 0 R/Resources<</ProcSet[/PDF/ImageB/ImageC/ImageI]/XObject<</pgimage "
                  "%d 0 R>>>>/Contents %d 0 R>>",
                  pagesNum, ObjNum(ref.mObjNum), contentNum));
    WriteLine("endobj");
  }

  StartObject();
  std::string kids;
  if (Incremental()) kids = Fmt("%d %d R", mOldPagesRef.mNum, mOldPagesRef.mGen);
  for (int32_t num : pageNums) {
    if (!kids.empty()) kids += ' ';
    kids += Fmt("%d 0 R", num);
  }
  WriteLine(Fmt("<</Type/Pages/Count %d/Kids[", mOldPageCount + pages) + kids + "]>>");
  WriteLine("endobj");

  StartObject();
  const int32_t rootNum = ObjNum(mObjCnt);
  if (Incremental()) {
    WriteLine(Fmt("<</Type/Catalog/Pages %d 0 R", pagesNum) +
              CopiedEntries(mRootEntries, {"/Type", "/Pages"}) + ">>");
  } else {
    WriteLine(Fmt("<</Type/Catalog/Pages %d 0 R/OpenAction[ %d 0 R /Fit ]>>", pagesNum,
                  pageNums.front()));
  }
  WriteLine("endobj");

  const int64_t xref = mOldFileLen + mBytesWritten;
  WriteLine("xref");
  if (Incremental()) {
    // The old Catalog is replaced: mark it deleted.
    WriteLine(Fmt("%d 1", mOldRootRef.mNum));
    WriteLine(Fmt("%010d %05d f", 0, mOldRootRef.mGen + 1));
    WriteLine(Fmt("%d %d", mObjNumBase, mObjCnt));
  } else {
    WriteLine(Fmt("0 %d", mObjCnt + 1));
    WriteLine("0000000000 65535 f");
  }
  WriteObjXRefs();
  WriteLine("trailer");
  if (Incremental()) {
    WriteLine(Fmt("<</Size %d/Root %d 0 R/Prev %lld", mObjNumBase + mObjCnt, rootNum,
                  (long long)mPrevXref) +
              CopiedEntries(mTrailerEntries, {"/Size", "/Root", "/Prev"}) + ">>");
  } else {
    WriteLine(Fmt("<</Size %d/Root %d 0 R/Info %d 0 R>>", mObjCnt + 1, rootNum, 1));
  }
  WriteLine("startxref");
  WriteLine(Fmt("%lld", (long long)xref));
  WriteLine("%%EOF");
}

void ImageWriterPdfImpl::CloseFile() {
  if (!mFile.IsOpen()) return;
  for (;;) {
    WriteFileTrailer();
    mFile.Flush();
    NoteWriteError();
    if (!WriteFailed() || mImageMap.empty()) break;
    // The trailer did not fit: give up the last page and try again. Those
    // pages were reported as written, so the job must learn of the loss.
    if (mResults.mStatus == kStatusOk) SetWriteFailure();
    if (!RollbackLastPage()) break;
  }
  if (WriteFailed() && mResults.mStatus == kStatusOk) SetWriteFailure();
  // An existing file that kept no new page goes back to its old length
  // (with the line end, if one was added); an empty one stays empty.
  const int64_t length =
      mImageMap.empty() && mAppending ? mOldFileLen : mOldFileLen + mBytesWritten;
  const int truncErr = mFile.Truncate(length);
  const int closeErr = mFile.Close();
  if ((truncErr || closeErr) && mResults.mStatus == kStatusOk) {
    mResults.mStatus = kStatusWriteError;
    mResults.mErrorMsg =
        Fmt("Could not finish PDF file (%s).", std::strerror(truncErr ? truncErr : closeErr));
  }
  if (mImageMap.empty() && !mAppending && !mPath.empty()) {
    ::unlink(mPath.c_str());
    if (!mResults.mFilePaths.empty() && mResults.mFilePaths.back() == mPath) mResults.DropEmptyLastFile();
  }
  mPath.clear();
}

}  // namespace ZuzuvovOvav

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
#include <map>
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


// The image dictionary of a page with `length` bytes of data.
std::string ImageDictionary(const ImageInfo& image, uint32_t rows, int64_t length) {
  switch (image.mImageType) {
    case kImageTypeLineArt:
      return Fmt(
          "<</Type/XObject/Subtype/Image/Length %lld/Decode[0 1]/BitsPerComponent 1/ColorSpace/"
          "DeviceGray/Width %u/Height %u/Filter/CCITTFaxDecode/DecodeParms<</K -1/Columns %u/Rows "
          "%u/EndOfBlock false>>>>",
          (long long)length, image.mWidth, rows, image.mWidth, rows);
    case kImageTypeGray:
      return Fmt(
          "<</Type/XObject/Subtype/Image/Length %lld/Decode[1 0]/BitsPerComponent 8/ColorSpace/"
          "DeviceGray /Width %u/Height %u/Filter/FlateDecode>>",
          (long long)length, image.mWidth, rows);
    default:
      return Fmt(
          "<</Type/XObject/Subtype/Image/Length %lld/Decode[0 1 0 1 0 1]/BitsPerComponent 8/"
          "ColorSpace/DeviceRGB/Width %u/Height %u/Filter/FlateDecode>>",
          (long long)length, image.mWidth, rows);
  }
}

// "a 0 R b 0 R ..."
std::string Refs(const std::vector<int32_t>& nums) {
  std::string out;
  for (int32_t num : nums) out += (out.empty() ? "" : " ") + Fmt("%d 0 R", num);
  return out;
}

std::string EndOfUpdate(int64_t xref) { return Fmt("startxref\r\n%lld\r\n%%%%EOF\r\n", (long long)xref); }

constexpr const char* kDiskFullText = "Not enough free space on disk to write page.";

}  // namespace

int ImageWriterPdfImpl::sPagesPerNode = 64;
void (*ImageWriterPdfImpl::sStepHook)(int step) = nullptr;

ImageWriterPdfImpl::~ImageWriterPdfImpl() { CloseFile(); }

void ImageWriterPdfImpl::Reset() {
  mFile.Detach();
  mTarget.Close();
  mSettings = {};
  mSession = {};
  mFilePages = 0;
}

bool ImageWriterPdfImpl::StartSession(int64_t len, std::string* error) {
  Session s;
  s.mEnd = std::max<int64_t>(len, 0);
  PdfAppendReader reader;
  if (!reader.ReadTarget(mTarget.Fd(), len)) {
    *error = reader.mErrorMsg;
    return false;
  }
  if (len > 0) {
    s.mOnOldDocument = true;
    s.mPrevXref = reader.mPrevXref;
    s.mNextObj = reader.mObjNumBase;
    s.mOldPageCount = reader.mOldPageCount;
    s.mOldPagesRef = reader.mOldPagesRef;
    s.mOldRootRef = reader.mOldRootRef;
    s.mTrailerEntries = std::move(reader.mTrailerEntries);
    s.mRootEntries = std::move(reader.mRootEntries);
    // The update starts on a line of its own.
    const int last = mFile.ByteAt(len - 1);
    s.mLineEndFirst = last != '\n' && last != '\r';
  }
  mSession = std::move(s);
  return true;
}

bool ImageWriterPdfImpl::FailOpen(const std::string& text, int err) {
  mFile.Detach();
  mTarget.Close();
  // A disk too full for even the file's head is a full disk.
  mResults.mStatus = err == ENOSPC || err == EDQUOT ? kScanDiskFull : kScanFileError;
  mResults.mErrorMsg = text;
  return false;
}

bool ImageWriterPdfImpl::FailPage(int32_t status, const std::string& text) {
  mResults.mStatus = status;
  mResults.mErrorMsg = text;
  return false;
}

bool ImageWriterPdfImpl::FailWrite(int err) {
  if (err == ENOSPC || err == EDQUOT) return FailPage(kScanDiskFull, kDiskFullText);
  if (err == EFBIG) return FailPage(kScanSizeLimit, kFileSizeLimitText);
  return FailPage(kScanWriteFailed, Fmt("Could not write page to PDF file (%s).", std::strerror(err)));
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
    mFile.Attach(mTarget.Fd(), 0);
    // Checked now, so that a file that cannot take pages is refused before
    // any page is scanned for it; every page checks the file's end again.
    const int lockErr = mTarget.Lock();
    if (lockErr != 0) return FailOpen(mTarget.LockFailureText(lockErr));
    std::string error;
    const bool ok = StartSession(mTarget.Size(), &error);
    mTarget.Unlock();
    if (!ok) return FailOpen(error);
  } else {
    const int err = mTarget.CreateNew(path);
    if (err != 0)
      return FailOpen(Fmt("Could not open output PDF file for writing (%s).", std::strerror(err)), err);
    // The document's head is written with its first page.
    mFile.Attach(mTarget.Fd(), 0);
  }
  mResults.AddFile(path, mSettings.mAppending ? mSession.mOldPageCount : 0);
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

ImageWriterPdfImpl::Update ImageWriterPdfImpl::BuildUpdate(const ImageInfo& image, int64_t dataLength) const {
  Update u;
  Session& s = u.mAfter;
  s = mSession;
  const int64_t base = mSession.mEnd;
  const bool first = s.mRootNum == 0;
  const bool newDocument = !s.mOnOldDocument;
  const size_t perNode = size_t(std::max(sPagesPerNode, 1));

  // The head goes before the image data, the body after it.
  std::string* out = &u.mHead;
  const auto here = [&] {
    const int64_t head = base + int64_t(u.mHead.size());
    return out == &u.mHead ? head : head + dataLength + int64_t(u.mBody.size());
  };
  std::map<int32_t, int64_t> offsets;  // the objects this update defines
  const auto startObject = [&](int32_t num) {
    offsets[num] = here();
    *out += Fmt("%d 0 obj\r\n", num);
  };

  if (s.mLineEndFirst) u.mHead += "\r\n";
  s.mLineEndFirst = false;
  if (newDocument && first) {
    u.mHead += "%PDF-1.3\r\n";
    startObject(s.mNextObj++);
    u.mHead += "<</Producer (" + EscapeLiteral(mSettings.mProducer) + ")>>\r\nendobj\r\n";
  }
  // Numbers in the order of the objects: image, content, page, a new leaf,
  // then in a session's first update its Pages root and Catalog.
  const int32_t imageNum = s.mNextObj++;
  const int32_t contentNum = s.mNextObj++;
  const int32_t pageNum = s.mNextObj++;
  const bool inLeaf = !s.mLeaves.empty() || s.mRootPages.size() >= perNode;
  if (!inLeaf) {
    s.mRootPages.push_back(pageNum);
  } else {
    if (s.mLeaves.empty() || s.mLeafPages.size() >= perNode) {
      s.mLeaves.push_back(s.mNextObj++);
      s.mLeafPages.clear();
    }
    s.mLeafPages.push_back(pageNum);
  }
  if (first) {
    s.mRootNum = s.mNextObj++;
    s.mCatalogNum = s.mNextObj++;
  }
  ++s.mPages;

  const uint32_t rows = image.ValidLineCount();
  startObject(imageNum);
  u.mHead += ImageDictionary(image, rows, dataLength) + "stream\r\n";
  out = &u.mBody;
  u.mBody += "\r\nendstream\r\nendobj\r\n";

  const double resolution = mSettings.mResolution > 0 ? mSettings.mResolution : 72.0;
  const std::string width = Real(mSettings.mPageWidth);
  const std::string height = Real(rows * 72.0 / resolution);
  const std::string content = "q\r\n" + width + " 0 0 " + height + " 0 0 cm\r\n/pgimage Do\r\nQ";
  startObject(contentNum);
  u.mBody += Fmt("<</Length %zu>>", content.size()) + "stream\r\n" + content + "\r\nendstream\r\nendobj\r\n";
  startObject(pageNum);
  u.mBody += "<</Type/Page/MediaBox[0 0 " + width + " " + height + "]" +
             Fmt("/Parent %d 0 R/Resources<</ProcSet[/PDF/ImageB/ImageC/ImageI]/XObject<</pgimage %d 0 R>>>>"
                 "/Contents %d 0 R>>\r\nendobj\r\n",
                 inLeaf ? s.mLeaves.back() : s.mRootNum, imageNum, contentNum);
  if (inLeaf) {
    startObject(s.mLeaves.back());
    u.mBody += Fmt("<</Type/Pages/Parent %d 0 R/Count %zu/Kids[", s.mRootNum, s.mLeafPages.size()) +
               Refs(s.mLeafPages) + "]>>\r\nendobj\r\n";
  }
  std::string kids = s.mOnOldDocument ? Fmt("%d %d R", s.mOldPagesRef.mNum, s.mOldPagesRef.mGen) : "";
  for (const std::string& more : {Refs(s.mRootPages), Refs(s.mLeaves)})
    if (!more.empty()) kids += (kids.empty() ? "" : " ") + more;
  startObject(s.mRootNum);
  u.mBody += Fmt("<</Type/Pages/Count %d/Kids[", s.mOldPageCount + s.mPages) + kids + "]>>\r\nendobj\r\n";
  if (first) {
    startObject(s.mCatalogNum);
    if (newDocument) {
      u.mBody += Fmt("<</Type/Catalog/Pages %d 0 R/OpenAction[ %d 0 R /Fit ]>>", s.mRootNum, pageNum);
    } else {
      u.mBody += Fmt("<</Type/Catalog/Pages %d 0 R", s.mRootNum) +
                 CopiedEntries(s.mRootEntries, {"/Type", "/Pages"}) + ">>";
    }
    u.mBody += "\r\nendobj\r\n";
  }

  // The cross-reference section: one subsection per run of numbers.
  const int64_t xref = here();
  u.mBody += "xref\r\n";
  if (first && !newDocument) {
    // The old Catalog is replaced: mark it deleted. A generation at the
    // format's limit stays there: that object number is never used again.
    u.mBody += Fmt("%d 1\r\n%010d %05d f\r\n", s.mOldRootRef.mNum, 0, std::min(s.mOldRootRef.mGen + 1, 65535));
  }
  std::vector<std::pair<int32_t, std::string>> entries;
  if (first && newDocument) entries.emplace_back(0, "0000000000 65535 f\r\n");
  for (const auto& [num, offset] : offsets) entries.emplace_back(num, Fmt("%010lld 00000 n\r\n", (long long)offset));
  for (size_t i = 0; i < entries.size();) {
    size_t j = i + 1;
    while (j < entries.size() && entries[j].first == entries[j - 1].first + 1) ++j;
    u.mBody += Fmt("%d %zu\r\n", entries[i].first, j - i);
    for (; i < j; ++i) u.mBody += entries[i].second;
  }
  u.mBody += "trailer\r\n";
  if (newDocument) {
    u.mBody += Fmt("<</Size %d/Root %d 0 R/Info %d 0 R", s.mNextObj, s.mCatalogNum, 1) +
               (first ? "" : Fmt("/Prev %lld", (long long)s.mPrevXref)) + ">>\r\n";
  } else {
    u.mBody += Fmt("<</Size %d/Root %d 0 R/Prev %lld", s.mNextObj, s.mCatalogNum, (long long)s.mPrevXref) +
               CopiedEntries(s.mTrailerEntries, {"/Size", "/Root", "/Prev"}) + ">>\r\n";
  }
  u.mEnd = EndOfUpdate(xref);
  if (s.mPrevXref > 0) {
    // Until the update is complete the file ends as before it, in the
    // same number of bytes.
    const std::string before = EndOfUpdate(s.mPrevXref);
    u.mGuard = std::string(u.mEnd.size() - before.size(), ' ') + before;
  }
  u.mSize = int64_t(u.mHead.size()) + dataLength + int64_t(u.mBody.size()) + int64_t(u.mEnd.size());
  s.mEnd = base + u.mSize;
  s.mPrevXref = xref;
  return u;
}

int64_t ImageWriterPdfImpl::CalcFooterSize(const ImageInfo& image, int64_t dataLength) const {
  return BuildUpdate(image, dataLength).mSize - dataLength;
}

int ImageWriterPdfImpl::WriteUpdate(const Update& u, const std::vector<Piece>& pieces) {
  const int64_t base = mSession.mEnd;
  const int64_t endAt = base + u.mSize - int64_t(u.mEnd.size());
  const auto step = [](int n) {
    if (sStepHook) sStepHook(n);
  };
  mFile.ClearError();
  int err = 0;
  if (!u.mGuard.empty()) {
    // On the disk before the body, so that a crash cannot leave the file
    // longer with no end after the body's bytes.
    mFile.SeekTo(endAt);
    mFile.Write(u.mGuard.data(), u.mGuard.size());
    err = mFile.Sync();
    if (err == 0) step(1);
  }
  if (err == 0) {
    mFile.SeekTo(base);
    mFile.Write(u.mHead.data(), u.mHead.size());
    for (const Piece& p : pieces) mFile.Write(p.first, p.second);
    mFile.Write(u.mBody.data(), u.mBody.size());
    // A new document's first page is not at its place yet: it is written
    // in one go.
    if (u.mGuard.empty()) mFile.Write(u.mEnd.data(), u.mEnd.size());
    err = mFile.Flush() ? 0 : mFile.Error();
    if (err == 0) step(2);
    if (err == 0) err = mFile.Sync();
  }
  if (err == 0 && !u.mGuard.empty()) {
    mFile.SeekTo(endAt);
    mFile.Write(u.mEnd.data(), u.mEnd.size());
    err = mFile.Flush() ? 0 : mFile.Error();
    if (err == 0) step(3);
    if (err == 0) err = mFile.Sync();
  }
  if (err != 0) {
    // The file as it was before the page. Should even that fail, what is
    // there still ends with the guard, or the file's end has moved and the
    // next page reads it again.
    mFile.ClearError();
    mFile.SeekTo(base);
    mFile.Truncate(base);
  }
  return err;
}

bool ImageWriterPdfImpl::WritePage(const ImageInfo& image) {
  if (!mFile.IsOpen()) return false;
  if (const char* problem = PageDataProblem(image)) return FailPage(kScanWriteFailed, problem);
  std::vector<Piece> pieces;
  MallocBuffer buffer;
  std::string error;
  // A page whose data could not be produced fails before anything of it
  // reaches the file.
  if (image.mImageType == kImageTypeLineArt) {
    if (!GetImageDataGroup4(image, &pieces, &buffer, &error))
      return FailPage(kScanWriteFailed, "Could not encode page as Group 4: " + error);
  } else if (!GetImageDataFlate(image, &pieces, &buffer)) {
    return FailPage(kScanWriteFailed, "Could not compress page data.");
  }
  int64_t dataLength = 0;
  for (const Piece& p : pieces) dataLength += int64_t(p.second);

  // A file at its place (appended to, or a new file after its first page)
  // may be reached by other programs: every page is written under its
  // lock, into the file that is still at the path.
  const bool shared = mTarget.Shared();
  struct Unlocker {
    OutputTarget* target;
    ~Unlocker() { target->Unlock(); }
  } unlocker{&mTarget};
  if (shared) {
    const int lockErr = mTarget.Lock();
    if (lockErr != 0) return FailPage(kScanFileError, mTarget.LockFailureText(lockErr));
    if (mTarget.CheckStillAtPath() != 0) return FailPage(kScanFileError, mTarget.ReplacedText());
    const int64_t len = mTarget.Size();
    // Another program added to the file since our last page (or a failed
    // page could not be cut off): this page starts a new session on what
    // is there now.
    if (len != mSession.mEnd && !StartSession(len, &error)) return FailPage(kScanFileError, error);
  }
  Update update;
  try {
    update = BuildUpdate(image, dataLength);
  } catch (const std::bad_alloc&) {
    return FailWrite(ENOMEM);
  }
  if (mSession.mEnd + update.mSize >= kSizeLimit)
    return FailPage(kScanSizeLimit, "Page would exceed 10GB limit for PDF file size.");
  if (const int err = WriteUpdate(update, pieces)) return FailWrite(err);
  if (!shared) {
    // A new file goes into place with its first page.
    const int err = mTarget.Commit();
    if (err != 0) {
      mFile.Truncate(mSession.mEnd);
      return FailPage(kScanFileError, Fmt("Could not move the new PDF file into place (%s).", std::strerror(err)));
    }
  }
  mSession = std::move(update.mAfter);
  ++mFilePages;
  mResults.CountPage();
  return true;
}

void ImageWriterPdfImpl::CloseFile() {
  if (!mFile.IsOpen()) return;
  // Every page left the file complete: nothing more to write. A new file
  // that never got its first page goes with the target.
  mFile.Detach();
  const int closeErr = mTarget.Close();
  if (closeErr != 0 && mResults.mStatus == kScanOK) {
    mResults.mStatus = kScanWriteFailed;
    mResults.mErrorMsg = Fmt("Could not finish PDF file (%s).", std::strerror(closeErr));
  }
  if (!mSettings.mAppending && mFilePages == 0) mResults.DropEmptyLastFile();
}

}  // namespace ZuzuvovOvav

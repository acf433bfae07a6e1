// Reading the end of an existing PDF file for an incremental update.
#include "PdfAppendReader.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace ZuzuvovOvav {

namespace {

using sv = std::string_view;
constexpr size_t npos = sv::npos;

bool Blank(char c) { return static_cast<unsigned char>(c) < '!'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

void SkipBlanks(sv w, size_t* p) {
  while (*p < w.size() && Blank(w[*p])) ++*p;
}

// Reads decimal digits at *p; saturates instead of overflowing, since the
// numbers come from a file we do not trust.
int64_t ReadDecimal(sv w, size_t* p, bool* any = nullptr) {
  constexpr int64_t kCap = std::numeric_limits<int64_t>::max() / 10 - 10;
  int64_t v = 0;
  bool digits = false;
  while (*p < w.size() && Digit(w[*p])) {
    if (v < kCap) v = v * 10 + (w[*p] - '0');
    digits = true;
    ++*p;
  }
  if (any) *any = digits;
  return v;
}

// The decimal value of a dictionary value, with an optional sign.
int64_t DecimalValue(sv value, bool* any = nullptr) {
  size_t p = 0;
  SkipBlanks(value, &p);
  bool negative = false;
  if (p < value.size() && (value[p] == '-' || value[p] == '+')) negative = value[p++] == '-';
  int64_t v = ReadDecimal(value, &p, any);
  return negative ? -v : v;
}

bool DictEnd(sv w, size_t q) { return w[q] == '>' && q + 1 < w.size() && w[q + 1] == '>'; }

// --- Proper tokenizing, used to tell whether the flat reading is faithful.

bool PdfWhite(char c) {
  return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}
bool PdfDelim(char c) { return c != 0 && std::strchr("()<>[]{}/%", c) != nullptr; }
bool HexDigit(char c) {
  return Digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void SkipWhiteAndComments(sv w, size_t* p) {
  while (*p < w.size()) {
    if (PdfWhite(w[*p])) {
      ++*p;
    } else if (w[*p] == '%') {
      while (*p < w.size() && w[*p] != '\r' && w[*p] != '\n') ++*p;
    } else {
      break;
    }
  }
}

// A run of regular characters (number, keyword, the body of a name).
size_t RegularEnd(sv w, size_t p) {
  while (p < w.size() && !PdfWhite(w[p]) && !PdfDelim(w[p])) ++p;
  return p;
}

bool IsInteger(sv t) {
  if (t.empty()) return false;
  size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (i == t.size()) return false;
  for (; i < t.size(); ++i)
    if (!Digit(t[i])) return false;
  return true;
}

constexpr int kMaxDepth = 32;

bool SkipDictBody(sv w, size_t* p, int depth, PdfDict* entries);

// One object at *p (no leading white space); moves *p past it.
bool SkipObject(sv w, size_t* p, int depth) {
  if (depth > kMaxDepth || *p >= w.size()) return false;
  const char c = w[*p];
  if (c == '/') {
    *p = RegularEnd(w, *p + 1);
    return true;
  }
  if (c == '(') {
    int nest = 0;
    for (size_t q = *p; q < w.size(); ++q) {
      if (w[q] == '\\') {
        ++q;
      } else if (w[q] == '(') {
        ++nest;
      } else if (w[q] == ')' && --nest == 0) {
        *p = q + 1;
        return true;
      }
    }
    return false;
  }
  if (c == '<') {
    if (*p + 1 < w.size() && w[*p + 1] == '<') {
      *p += 2;
      return SkipDictBody(w, p, depth + 1, nullptr);
    }
    for (size_t q = *p + 1; q < w.size(); ++q) {
      if (w[q] == '>') {
        *p = q + 1;
        return true;
      }
      if (!HexDigit(w[q]) && !PdfWhite(w[q])) return false;
    }
    return false;
  }
  if (c == '[') {
    ++*p;
    for (;;) {
      SkipWhiteAndComments(w, p);
      if (*p >= w.size()) return false;
      if (w[*p] == ']') {
        ++*p;
        return true;
      }
      if (!SkipObject(w, p, depth + 1)) return false;
    }
  }
  if (PdfDelim(c)) return false;
  *p = RegularEnd(w, *p);
  return true;
}

// A dictionary value: one object, or an indirect reference "n g R".
bool SkipValue(sv w, size_t* p, int depth) {
  const size_t start = *p;
  if (!SkipObject(w, p, depth)) return false;
  if (!IsInteger(w.substr(start, *p - start))) return true;
  size_t q = *p;
  SkipWhiteAndComments(w, &q);
  size_t genEnd = RegularEnd(w, q);
  if (genEnd == q || !IsInteger(w.substr(q, genEnd - q))) return true;
  q = genEnd;
  SkipWhiteAndComments(w, &q);
  if (RegularEnd(w, q) == q + 1 && w[q] == 'R') *p = q + 1;
  return true;
}

// Entries after "<<" up to and including ">>".
bool SkipDictBody(sv w, size_t* p, int depth, PdfDict* entries) {
  for (;;) {
    SkipWhiteAndComments(w, p);
    if (*p >= w.size()) return false;
    if (DictEnd(w, *p)) {
      *p += 2;
      return true;
    }
    if (w[*p] != '/') return false;
    const size_t keyStart = *p;
    *p = RegularEnd(w, *p + 1);
    std::string key(w.substr(keyStart, *p - keyStart));
    SkipWhiteAndComments(w, p);
    const size_t valueStart = *p;
    if (!SkipValue(w, p, depth)) return false;
    if (entries) entries->emplace(std::move(key), std::string(w.substr(valueStart, *p - valueStart)));
  }
}

}  // namespace

// The scan engine's stop request; absent (null) where the writers are
// linked without the engine (their tests, small tools).
extern std::atomic<bool> gStopNow __attribute__((weak));

namespace {

constexpr const char* kStoppedText = "Reading of the target file was stopped.";
constexpr const char* kNoStartText = "Start of xref table not found in target file.";
// Blocks of the file read at a time, and how far reading on from the end
// of what is held may read ahead.
constexpr int64_t kBlock = 4096;
constexpr int64_t kMaxAhead = 256 * 1024;
// Older trailers are parsed from what is held of the file, at least this
// much, and from a whole window only when that is not enough.
constexpr int64_t kSmallWindow = 512;

bool StopRequested() { return &gStopNow != nullptr && gStopNow.load(); }

bool DigitByte(int c) { return c >= '0' && c <= '9'; }

// The file a reading was kept for: the same inode, length and times. A
// write sets both times to the moment it happens, so a file whose
// modification time is settled (below) and still the same was not written;
// the change time, compared too, tells of times set back by hand.
struct FileKey {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  bool operator==(const FileKey& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// A file's times only prove that it is unchanged when they are older than
// the clock's granularity: a file changed a moment ago may change again
// within the same tick. One second is far beyond it.
bool Settled(const timespec& t) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return t.tv_sec + 1 < now.tv_sec;
}

struct Kept {
  std::mutex lock;
  FileKey key;
  std::unique_ptr<PdfAppendReader> reader;
};

Kept& KeptReading() {
  static Kept kept;
  return kept;
}

}  // namespace

// Reads a section byte by byte through the reader's block cache.
class PdfAppendReader::Cursor {
 public:
  Cursor(PdfAppendReader* reader, int64_t pos) : mReader(reader), mPos(pos) {}

  // The byte at the position, -1 at the end of the file (or after a stop).
  int Peek() {
    if (mFills != mReader->mBufFills || mPos < mStart || mPos - mStart >= int64_t(mChunk.size())) {
      mChunk = mReader->ViewFrom(mPos, 1);
      mStart = mPos;
      mFills = mReader->mBufFills;
      if (mChunk.empty()) return -1;
    }
    return static_cast<unsigned char>(mChunk[size_t(mPos - mStart)]);
  }
  void Next() { ++mPos; }
  int64_t Pos() const { return mPos; }

  void SkipBlanks() {
    for (int b = Peek(); b >= 0 && b < '!'; b = Peek()) Next();
  }
  // Decimal digits, saturating like ReadDecimal.
  int64_t Decimal() {
    constexpr int64_t kCap = std::numeric_limits<int64_t>::max() / 10 - 10;
    int64_t v = 0;
    for (int b = Peek(); DigitByte(b); b = Peek()) {
      if (v < kCap) v = v * 10 + (b - '0');
      Next();
    }
    return v;
  }
  // One cross-reference entry: offset, generation, type byte, with any
  // blanks and line ends between and after them.
  void Entry(int64_t* offset, int64_t* gen, int* type) {
    *offset = Decimal();
    SkipBlanks();
    *gen = Decimal();
    SkipBlanks();
    *type = Peek();
    if (*type >= 0) Next();
    SkipBlanks();
  }

 private:
  PdfAppendReader* mReader;
  int64_t mPos;
  std::string_view mChunk;
  int64_t mStart = 0;
  uint64_t mFills = ~uint64_t(0);
};

bool PdfAppendReader::Fail(const std::string& text) {
  mErrorMsg = mStopped ? kStoppedText : text;
  return false;
}

bool PdfAppendReader::Refuse(const std::string& text) {
  mRefused = true;
  return Fail(text);
}

bool PdfAppendReader::ParseRef(std::string_view value, PdfObjRef* ref) {
  size_t p = 0;
  SkipBlanks(value, &p);
  const int64_t num = ReadDecimal(value, &p);
  SkipBlanks(value, &p);
  const int64_t gen = ReadDecimal(value, &p);
  // Missing numbers read as 0, an object no table lists.
  if (num > kMaxObjNum || gen > kMaxGen) return false;
  ref->mNum = static_cast<int32_t>(num);
  ref->mGen = static_cast<int32_t>(gen);
  return true;
}

size_t PdfAppendReader::ReadRaw(int64_t offset, char* to, size_t len) {
  if (mFd >= 0) {
    size_t got = 0;
    while (got < len) {
      const ssize_t n = ::pread(mFd, to + got, len - got, offset + int64_t(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += size_t(n);
    }
    return got;
  }
  mIn->clear();
  mIn->seekg(offset);
  mIn->read(to, std::streamsize(len));
  return size_t(std::max<std::streamsize>(mIn->gcount(), 0));
}

std::string_view PdfAppendReader::View(int64_t offset, int64_t len) {
  return ViewFrom(offset, len).substr(0, size_t(std::max<int64_t>(len, 0)));
}

std::string_view PdfAppendReader::ViewFrom(int64_t offset, int64_t atLeast) {
  if (mStopped || offset < 0 || offset >= mFileLen || atLeast <= 0) return {};
  const int64_t len = std::min(atLeast, mFileLen - offset);
  const int64_t held = int64_t(mBuf.size());
  if (offset < mBufStart || offset + len > mBufStart + held) {
    if (StopRequested()) {
      mStopped = true;
      return {};
    }
    // Reading on from the end of what is held (a long section) reads
    // further ahead each time; any other place reads the blocks around it,
    // since the next section of a chain usually lies just before.
    int64_t start = offset / kBlock * kBlock;
    int64_t end = (offset + len + kBlock - 1) / kBlock * kBlock;
    if (held > 0 && offset >= mBufStart && offset <= mBufStart + held) {
      end = std::max(end, start + std::min(2 * held, kMaxAhead));
    } else {
      start = std::max<int64_t>(0, start - 2 * kBlock);
      end += kBlock;
    }
    end = std::min(mFileLen, end);
    mBuf.clear();
    mBuf.resize(size_t(end - start));
    mBuf.resize(ReadRaw(start, mBuf.data(), mBuf.size()));
    mBufStart = start;
    ++mBufFills;
  }
  const int64_t at = offset - mBufStart;
  if (at >= int64_t(mBuf.size())) return {};
  return std::string_view(mBuf).substr(size_t(at));
}

int64_t PdfAppendReader::FindEofBefore(int64_t before) {
  constexpr int64_t kStep = 64 * 1024;
  for (int64_t end = std::min(before, mFileLen); end > 0;) {
    const int64_t start = std::max<int64_t>(0, end - kStep);
    // Four bytes more, for a mark that starts just before `end`.
    const std::string_view w = View(start, end - start + 4);
    if (mStopped) return -1;
    const size_t at = w.rfind("%%EOF", size_t(end - start - 1));
    if (at != npos) return start + int64_t(at);
    end = start;
  }
  return -1;
}

int64_t PdfAppendReader::FindForward(int64_t from, int64_t reach, std::string_view word) {
  const int64_t limit = std::min(mFileLen, from + reach);
  const int64_t overlap = int64_t(word.size()) - 1;
  for (int64_t at = from; at < limit;) {
    // What is held already, at least the word's length.
    std::string_view w = ViewFrom(at, std::min(int64_t(word.size()), limit - at));
    w = w.substr(0, size_t(std::min(int64_t(w.size()), limit - at)));
    if (int64_t(w.size()) < int64_t(word.size())) break;
    const size_t found = w.find(word);
    if (found != npos) return at + int64_t(found);
    at += int64_t(w.size()) - overlap;
  }
  return -1;
}

bool PdfAppendReader::Read(std::istream& in, int64_t fileLen) {
  mIn = &in;
  mFd = -1;
  mFileLen = fileLen;
  return ReadAll();
}

bool PdfAppendReader::Read(int fd, int64_t fileLen) {
  mIn = nullptr;
  mFd = fd;
  mFileLen = fileLen;
  return ReadAll();
}

bool PdfAppendReader::ReadTarget(int fd, int64_t fileLen) {
  if (fileLen < 0) return Fail("Could not open PDF file for appending.");
  if (fileLen == 0) return true;
  if (fileLen < kMinFileLen) return Fail("Target file cannot be a well-formed PDF file (too short).");
  struct stat st {};
  FileKey key;
  const bool keyed = ::fstat(fd, &st) == 0 && st.st_size == fileLen && Settled(st.st_mtim);
  if (keyed) key = FileKey{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  Kept& kept = KeptReading();
  if (keyed) {
    // Taken, not copied: the next reading (another file, or this one
    // changed) is the reader's own again.
    std::lock_guard<std::mutex> hold(kept.lock);
    if (kept.reader && kept.key == key) {
      *this = std::move(*kept.reader);
      kept.reader.reset();
      mFd = fd;
      return true;
    }
  }
  if (!Read(fd, fileLen)) return false;
  if (keyed) {
    auto copy = std::make_unique<PdfAppendReader>();
    std::string buf = std::move(mBuf);
    *copy = *this;
    mBuf = std::move(buf);
    copy->mFd = -1;
    std::lock_guard<std::mutex> hold(kept.lock);
    kept.key = key;
    kept.reader = std::move(copy);
  }
  return true;
}

bool PdfAppendReader::ReadAll() {
  mStopped = mRefused = false;
  mSubsections.clear();
  mBuf.clear();
  mBufStart = 0;
  return CheckPdfHeader() && CheckPdfEof() && ReadLastPdfTrailer() && ReadLastRoot() &&
         ReadLastPages();
}

bool PdfAppendReader::CheckPdfHeader() {
  std::string head(View(0, 8));
  const size_t eol = head.find_first_of("\r\n");
  if (eol != npos) head.resize(eol);
  if (head.compare(0, 5, "%PDF-") != 0)
    return Fail("Target file does not start with a proper PDF version tag.");
  const bool ok = head.size() >= 8 && head[5] >= '1' && head[5] <= '9' && head[6] == '.' &&
                  (head[5] > '1' || head[7] > '2');
  if (!ok) return Fail("Target file format is too old (PDF 1.3 or newer is required).");
  return true;
}

bool PdfAppendReader::CheckPdfEof() {
  mEofPos = FindEofBefore(mFileLen);
  if (mEofPos < 0) return Fail("Target file does not end with a proper PDF EOF.");
  return true;
}

bool PdfAppendReader::ReadLastPdfTrailer() {
  // The newest "%%EOF" first. One whose own section is not sound (an update
  // cut short, or bytes that only look like its end) gives way to the one
  // before; a sound one whose older sections are damaged is refused.
  std::string newestError;
  for (int tried = 0; mEofPos >= 0 && tried < kMaxEndCandidates; ++tried) {
    mRefused = false;
    mSubsections.clear();
    mObjNumBase = 0;
    mLastTrailer.clear();
    mTrailerEntries.clear();
    if (ReadChain(mEofPos)) return true;
    if (mStopped || mRefused) return false;
    if (newestError.empty()) newestError = mErrorMsg;
    mEofPos = FindEofBefore(mEofPos);
  }
  return Fail(newestError);
}

bool PdfAppendReader::ReadChain(int64_t eof) {
  const int64_t from = std::max<int64_t>(0, eof - kStartxrefReach);
  const std::string_view tail = View(from, eof - from);
  size_t p = tail.rfind("startxref");
  if (p == npos) return Fail(kNoStartText);
  p += 9;
  SkipBlanks(tail, &p);
  mPrevXref = ReadDecimal(tail, &p);

  // A damaged or hostile file may lead the /Prev chain back to a section
  // already read. A chain that only goes back in the file cannot loop, so
  // only the sections reached by a step forward (or in place) are noted:
  // every loop holds such a step, and its section comes round again.
  std::set<int64_t> reachedForward;
  int64_t offset = mPrevXref;
  bool newest = true;
  for (;;) {
    int64_t prev = -1;
    if (!ReadPdfTrailer(offset, newest, &prev)) {
      mRefused = mRefused || !newest;
      return false;
    }
    if (prev < 0) break;
    if (prev >= offset && !reachedForward.insert(prev).second)
      return Refuse("Xref sections of target file refer back to each other (/Prev loop).");
    offset = prev;
    newest = false;
  }
  // The update ends after its "%%EOF" and the line end that follows it.
  const std::string_view after = View(eof + 5, 2);
  mCompleteLen = eof + 5 + (after == "\r\n" ? 2 : !after.empty() && (after[0] == '\r' || after[0] == '\n') ? 1 : 0);
  return true;
}

bool PdfAppendReader::ReadPdfTrailer(int64_t offset, bool newest, int64_t* prev) {
  if (View(offset, 4) != "xref") return Fail("Head of xref table not found in target file where indicated.");
  Cursor c(this, offset + 4);
  c.SkipBlanks();
  while (DigitByte(c.Peek())) {
    if (!ParseXrefsSub(c)) return false;
    c.SkipBlanks();
  }
  if (mStopped) return Fail("");
  return ParsePdfTrailer(c.Pos(), newest, prev);
}

bool PdfAppendReader::ParseXrefsSub(Cursor& c) {
  const int64_t first = c.Decimal();
  c.SkipBlanks();
  const int64_t count = c.Decimal();
  c.SkipBlanks();
  // Both numbers come from the file: compare without adding them, so that
  // huge values cannot overflow.
  if (first < 0 || count < 0 || first > kMaxObjNum + 1 || count > kMaxObjNum + 1 - first)
    return Fail("Xref table of target file lists an object number out of range.");
  if (count > 0) {
    if (mSubsections.size() >= kMaxSubsections)
      return Fail("Xref tables of target file have too many subsections.");
    mSubsections.push_back(Subsection{static_cast<int32_t>(first), static_cast<int32_t>(count), c.Pos()});
  }
  for (int64_t i = 0; i < count && c.Peek() >= 0; ++i) {
    int64_t offset, gen;
    int type;
    c.Entry(&offset, &gen, &type);
    // The update refers to objects by these numbers and frees the old
    // Catalog at its generation + 1: keep them in the format's range.
    if (type == 'n' && gen > kMaxGen)
      return Fail("Xref table of target file lists a generation number out of range.");
  }
  mObjNumBase = std::max(mObjNumBase, static_cast<int32_t>(first + count));
  return true;
}

bool PdfAppendReader::FindObject(int32_t num, ObjDescT* desc) {
  for (const Subsection& s : mSubsections) {
    if (num < s.mFirst || int64_t(num) - s.mFirst >= s.mCount) continue;
    // The first subsection that lists the number decides, in use or free.
    Cursor c(this, s.mEntries);
    int64_t offset = 0, gen = 0;
    int type = -1;
    for (int64_t i = 0; i <= int64_t(num) - s.mFirst; ++i) {
      if (c.Peek() < 0) return false;
      c.Entry(&offset, &gen, &type);
    }
    if (type != 'n') return false;
    *desc = ObjDescT{offset, static_cast<int32_t>(gen), true};
    return true;
  }
  return false;
}

bool PdfAppendReader::ParsePdfTrailer(int64_t from, bool newest, int64_t* prev) {
  const int64_t t = FindForward(from, kWindowSize, "trailer");
  if (t < 0) return Fail("Trailer tag not found in target file.");
  PdfDict dict;
  PdfDict entries;
  std::string error;
  // Only the newest trailer's entries are copied into the update; older
  // trailers give no more than /Size, /Prev and /Encrypt and are read flat,
  // from a small window first.
  std::string_view dw = newest ? View(t + 7, kWindowSize) : ViewFrom(t + 7, kSmallWindow);
  dw = dw.substr(0, size_t(kWindowSize));
  bool parsed = ParseDictionary(dw, &dict, &error);
  if (!parsed && !newest && int64_t(dw.size()) < kWindowSize && t + 7 + int64_t(dw.size()) < mFileLen) {
    dw = View(t + 7, kWindowSize);
    parsed = ParseDictionary(dw, &dict, &error);
  }
  if (!parsed) return Fail(error);
  if (newest && !FlatReadingIsFaithful(dw, dict, &entries))
    return Refuse(
        "The trailer dictionary of the target file holds entries that cannot be carried over "
        "(nested dictionary, string or comment).");
  if (newest) {
    mLastTrailer = dict;
    mTrailerEntries = entries;
  }
  if (!dict.count("/Size")) return Fail("Trailer dictionary has no /Size key.");
  if (newest && !dict.count("/Root")) return Fail("Trailer dictionary has no /Root key.");
  if (dict.count("/Encrypt")) return Refuse("Cannot append to a protected PDF.");
  const auto it = dict.find("/Prev");
  *prev = it == dict.end() ? -1 : DecimalValue(it->second);
  return true;
}

bool PdfAppendReader::ParseObjectDictionary(int64_t offset, const char* noObjText,
                                            const char* which, PdfDict* dict, PdfDict* entries) {
  const std::string_view window = View(offset, kWindowSize);
  const size_t o = window.find("obj");
  if (o == npos) return Fail(noObjText);
  const sv dw = window.substr(o + 3);
  std::string error;
  if (!ParseDictionary(dw, dict, &error)) return Fail(error);
  if (!entries) {
    // Nothing of this dictionary is copied: the flat reading stands, except
    // that the value the update builds on must be the dictionary's own.
    PdfDict proper;
    FlatReadingIsFaithful(dw, *dict, &proper);
    const auto flatCount = dict->find("/Count");
    const auto properCount = proper.find("/Count");
    if (flatCount != dict->end() &&
        (properCount == proper.end() || properCount->second != flatCount->second))
      return Fail(std::string("The /Count of the ") + which +
                  " dictionary of the target file cannot be read reliably (nested dictionary, "
                  "string or comment).");
    return true;
  }
  if (!FlatReadingIsFaithful(dw, *dict, entries))
    return Fail(std::string("The ") + which +
                " dictionary of the target file holds entries that cannot be carried over "
                "(nested dictionary, string or comment).");
  return true;
}

bool PdfAppendReader::ReadLastRoot() {
  PdfObjRef ref;
  if (!ParseRef(mLastTrailer["/Root"], &ref))
    return Fail("Trailer dictionary has an invalid /Root reference.");
  ObjDescT x;
  if (!FindObject(ref.mNum, &x)) return Fail("Could not find root object in xref table. ");
  mOldRootOffset = x.mOffset;
  if (!ParseObjectDictionary(mOldRootOffset, "Obj tag for root dictionary not found in target file.",
                             "root", &mLastRoot, &mRootEntries))
    return false;
  if (!mLastRoot.count("/Type")) return Fail("Root dictionary has no /Type key.");
  if (!mLastRoot.count("/Catalog")) return Fail("Root dictionary is not of type /Catalog.");
  if (!mLastRoot.count("/Pages")) return Fail("Root dictionary has no /Pages key.");
  mOldRootRef = ref;
  return true;
}

bool PdfAppendReader::ReadLastPages() {
  PdfObjRef ref;
  if (!ParseRef(mLastRoot["/Pages"], &ref))
    return Fail("Root dictionary has an invalid /Pages reference.");
  ObjDescT x;
  if (!FindObject(ref.mNum, &x)) return Fail("Could not find pages object in xref table. ");
  if (!ParseObjectDictionary(x.mOffset, "Obj tag for pages dictionary not found in target file.", "pages",
                             &mLastPages, nullptr))
    return false;
  if (!mLastPages.count("/Type")) return Fail("Pages dictionary has no /Type key.");
  if (!mLastPages.count("/Pages")) return Fail("Pages dictionary is not of type /Pages.");
  if (!mLastPages.count("/Kids")) return Fail("Pages dictionary has no /Kids key.");
  if (!mLastPages.count("/Count")) return Fail("Pages dictionary has no /Count key.");
  bool digits = false;
  const int64_t count = DecimalValue(mLastPages["/Count"], &digits);
  // The new /Count is this value plus the pages added: keep it sane.
  if (!digits || count < 0 || count > std::numeric_limits<int32_t>::max() / 2)
    return Fail("Pages dictionary has an invalid /Count value.");
  mOldPageCount = static_cast<int32_t>(count);
  mOldPagesRef = ref;
  return true;
}

bool PdfAppendReader::ParseDictionary(std::string_view w, PdfDict* dict, std::string* error) {
  static const char* const kDefective = "Defective dictionary object.";
  static const char* const kParse = "Error parsing last trailer entries.";
  dict->clear();
  const size_t n = w.size();
  const size_t lt = w.find('<');
  if (lt == npos || lt + 1 >= n || w[lt + 1] != '<') {
    *error = kDefective;
    return false;
  }
  // An empty dictionary ends before any key; a key found beyond its end
  // would belong to some other object.
  const size_t firstKey = w.find('/', lt + 2);
  const size_t end = w.find(">>", lt + 2);
  if (end != npos && (firstKey == npos || end < firstKey)) return true;
  if (firstKey == npos) {
    *error = kParse;
    return false;
  }
  size_t pos = firstKey;
  for (;;) {
    size_t k = pos + 1;
    while (k < n && !Blank(w[k]) && w[k] != '/' && w[k] != '>' && w[k] != '[') ++k;
    std::string key(w.substr(pos, k - pos));
    size_t v = k;
    SkipBlanks(w, &v);
    size_t valueEnd = v;
    if (v >= n || w[v] == '/' || DictEnd(w, v)) {
      valueEnd = v;
    } else if (w[v] == '[') {
      int depth = 0;
      size_t q = v;
      for (; q < n; ++q) {
        if (DictEnd(w, q)) break;
        if (w[q] == '[') ++depth;
        if (w[q] == ']' && --depth == 0) {
          ++q;
          break;
        }
      }
      valueEnd = q;
    } else {
      size_t q = v;
      while (q < n && w[q] != '/' && !DictEnd(w, q)) ++q;
      valueEnd = q;
    }
    size_t e = valueEnd;
    while (e > v && Blank(w[e - 1])) --e;
    dict->emplace(std::move(key), std::string(w.substr(v, e - v)));

    size_t q = valueEnd;
    while (q < n && w[q] != '/' && !DictEnd(w, q)) ++q;
    if (q >= n) {
      *error = kParse;
      return false;
    }
    if (w[q] != '/') return true;
    pos = q;
  }
}

bool PdfAppendReader::FlatReadingIsFaithful(std::string_view w, const PdfDict& flat,
                                            PdfDict* entries) {
  entries->clear();
  const size_t lt = w.find('<');
  if (lt == npos || lt + 1 >= w.size() || w[lt + 1] != '<') return false;
  size_t p = lt + 2;
  if (!SkipDictBody(w, &p, 0, nullptr)) return false;
  // Second pass collecting entries in file order, for the flat comparison.
  std::vector<std::pair<std::string, std::string>> ordered;
  p = lt + 2;
  for (;;) {
    SkipWhiteAndComments(w, &p);
    if (DictEnd(w, p)) break;
    const size_t keyStart = p;
    p = RegularEnd(w, p + 1);
    std::string key(w.substr(keyStart, p - keyStart));
    SkipWhiteAndComments(w, &p);
    const size_t valueStart = p;
    SkipValue(w, &p, 0);
    ordered.emplace_back(std::move(key), std::string(w.substr(valueStart, p - valueStart)));
  }
  // What the flat reading must give if it read the dictionary right: a name
  // value turns into a key of its own, everything else is kept as it stands.
  PdfDict expected;
  for (const auto& [key, value] : ordered) {
    entries->emplace(key, value);
    if (!value.empty() && value[0] == '/') {
      expected.emplace(key, "");
      expected.emplace(value, "");
    } else {
      expected.emplace(key, value);
    }
  }
  return expected == flat;
}

}  // namespace ZuzuvovOvav

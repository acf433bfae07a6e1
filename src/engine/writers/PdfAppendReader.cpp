// Reading the end of an existing PDF file for an incremental update.
#include "PdfAppendReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
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

bool PdfAppendReader::Fail(const std::string& text) {
  mErrorMsg = text;
  return false;
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

std::string PdfAppendReader::Window(int64_t offset, int64_t maxLen) {
  if (offset < 0 || offset >= mFileLen) return {};
  const int64_t len = std::min(maxLen, mFileLen - offset);
  std::string w(static_cast<size_t>(len), '\0');
  if (mFd >= 0) {
    size_t got = 0;
    while (got < w.size()) {
      const ssize_t n = ::pread(mFd, w.data() + got, w.size() - got, offset + int64_t(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += size_t(n);
    }
    w.resize(got);
    return w;
  }
  mIn->clear();
  mIn->seekg(offset);
  mIn->read(w.data(), len);
  w.resize(static_cast<size_t>(std::max<std::streamsize>(mIn->gcount(), 0)));
  return w;
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
  return Read(fd, fileLen);
}

bool PdfAppendReader::ReadAll() {
  return CheckPdfHeader() && CheckPdfEof() && ReadLastPdfTrailer() && ReadLastRoot() &&
         ReadLastPages();
}

bool PdfAppendReader::CheckPdfHeader() {
  std::string head = Window(0, 8);
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
  const std::string tail = Window(mFileLen - 7, 7);
  const sv t(tail);
  static constexpr sv kEndings[] = {"%%EOF\r\n", "%%EOF\n", "%%EOF\r", "%%EOF"};
  for (sv e : kEndings)
    if (t.size() >= e.size() && t.substr(t.size() - e.size()) == e) return true;
  return Fail("Target file does not end with a proper PDF EOF.");
}

bool PdfAppendReader::ReadLastPdfTrailer() {
  const std::string tail = Window(std::max<int64_t>(mFileLen - 30, 0), 30);
  size_t p = tail.find("startxref");
  if (p == npos) return Fail("Start of xref table not found in target file.");
  p += 9;
  SkipBlanks(tail, &p);
  mPrevXref = ReadDecimal(tail, &p);

  // A damaged or hostile file may lead the /Prev chain back to a section
  // already read; without this the reading would never end.
  std::set<int64_t> visited;
  int64_t offset = mPrevXref;
  bool newest = true;
  for (;;) {
    if (!visited.insert(offset).second)
      return Fail("Xref sections of target file refer back to each other (/Prev loop).");
    int64_t prev = -1;
    if (!ReadPdfTrailer(offset, newest, &prev)) return false;
    if (prev < 0) return true;
    offset = prev;
    newest = false;
  }
}

bool PdfAppendReader::ReadPdfTrailer(int64_t offset, bool newest, int64_t* prev) {
  const std::string window = Window(offset);
  const sv w(window);
  if (w.substr(0, 4) != "xref")
    return Fail("Head of xref table not found in target file where indicated.");
  size_t p = 4;
  SkipBlanks(w, &p);
  while (p < w.size() && Digit(w[p])) {
    if (!ParseXrefsSub(w, &p)) return false;
    SkipBlanks(w, &p);
  }
  mOldXrefCnt = static_cast<int32_t>(mOldXrefs.size());
  return ParsePdfTrailer(w.substr(p), newest, prev);
}

bool PdfAppendReader::ParseXrefsSub(std::string_view w, size_t* pos) {
  size_t p = *pos;
  const int64_t first = ReadDecimal(w, &p);
  SkipBlanks(w, &p);
  const int64_t count = ReadDecimal(w, &p);
  SkipBlanks(w, &p);
  // Both numbers come from the file: compare without adding them, so that
  // huge values cannot overflow.
  if (first < 0 || count < 0 || first > kMaxObjNum + 1 || count > kMaxObjNum + 1 - first)
    return Fail("Xref table of target file lists an object number out of range.");
  for (int64_t i = 0; i < count && p < w.size(); ++i) {
    const int64_t offset = ReadDecimal(w, &p);
    SkipBlanks(w, &p);
    const int64_t gen = ReadDecimal(w, &p);
    SkipBlanks(w, &p);
    const char type = p < w.size() ? w[p++] : '\0';
    SkipBlanks(w, &p);
    const int32_t obj = static_cast<int32_t>(first + i);
    // Sections are read newest first: the first mention of an object decides.
    if (mMentioned.insert(obj).second && type == 'n') {
      // The update refers to objects by these numbers and frees the old
      // Catalog at its generation + 1: keep them in the format's range.
      if (gen > kMaxGen)
        return Fail("Xref table of target file lists a generation number out of range.");
      mOldXrefs[obj] = ObjDescT{offset, static_cast<int32_t>(gen), true};
    }
  }
  mObjNumBase = std::max(mObjNumBase, static_cast<int32_t>(first + count));
  *pos = p;
  return true;
}

bool PdfAppendReader::ParsePdfTrailer(std::string_view w, bool newest, int64_t* prev) {
  const size_t t = w.find("trailer");
  if (t == npos) return Fail("Trailer tag not found in target file.");
  const sv dw = w.substr(t + 7);
  PdfDict dict;
  PdfDict entries;
  std::string error;
  if (!ParseDictionary(dw, &dict, &error)) return Fail(error);
  // Only the newest trailer's entries are copied into the update; older
  // trailers give no more than /Size, /Prev and /Encrypt and are read flat.
  if (newest && !FlatReadingIsFaithful(dw, dict, &entries))
    return Fail(
        "The trailer dictionary of the target file holds entries that cannot be carried over "
        "(nested dictionary, string or comment).");
  if (newest) {
    mLastTrailer = dict;
    mTrailerEntries = entries;
  }
  if (!dict.count("/Size")) return Fail("Trailer dictionary has no /Size key.");
  if (newest && !dict.count("/Root")) return Fail("Trailer dictionary has no /Root key.");
  if (dict.count("/Encrypt")) return Fail("Cannot append to a protected PDF.");
  const auto it = dict.find("/Prev");
  *prev = it == dict.end() ? -1 : DecimalValue(it->second);
  return true;
}

bool PdfAppendReader::ParseObjectDictionary(int64_t offset, const char* noObjText,
                                            const char* which, PdfDict* dict, PdfDict* entries) {
  const std::string window = Window(offset);
  const size_t o = window.find("obj");
  if (o == npos) return Fail(noObjText);
  const sv dw = sv(window).substr(o + 3);
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
  const auto x = mOldXrefs.find(ref.mNum);
  if (x == mOldXrefs.end()) return Fail("Could not find root object in xref table. ");
  mOldRootOffset = x->second.mOffset;
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
  const auto x = mOldXrefs.find(ref.mNum);
  if (x == mOldXrefs.end()) return Fail("Could not find pages object in xref table. ");
  if (!ParseObjectDictionary(x->second.mOffset,
                             "Obj tag for pages dictionary not found in target file.", "pages",
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

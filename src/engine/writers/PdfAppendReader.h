// PdfAppendReader: checks an existing PDF before pages are appended to it as
// an incremental update, and reads what that update needs: the startxref
// value, the in-use objects of every cross-reference section, the first free
// object number, the newest trailer, the Catalog and the Pages object.
//
// It is a small text scanner over windows of the file, not a PDF parser: it
// handles classic cross-reference tables and flat dictionaries only. The
// dictionaries whose entries are copied into the update (the newest trailer
// and the Catalog) are also tokenized properly, and one whose flat reading
// differs from the proper one (nested dictionaries, strings holding
// delimiters, comments) is refused, so that copied entries always come out
// as they were. Older trailers are read flat; of the Pages object only its
// /Count is carried on, and it must be the one the proper reading finds.
// Thread-bound: one reader per opening.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace ZuzuvovOvav {

// One in-use entry of an existing cross-reference table.
struct ObjDescT {
  int64_t mOffset = 0;
  int32_t mGen = 0;
  bool mInUse = false;
};

// Dictionary entries keyed by name (with its leading "/"), ordered by the
// byte values of the keys.
using PdfDict = std::map<std::string, std::string>;

// An object reference "number generation R".
struct PdfObjRef {
  int32_t mNum = 0;
  int32_t mGen = 0;
};

class PdfAppendReader {
 public:
  // Largest number of bytes looked at from any one offset.
  static constexpr int64_t kWindowSize = 1048574;
  // Largest object number this reader accepts (the classic PDF limit); keeps
  // the object numbers of the update far from integer overflow.
  static constexpr int64_t kMaxObjNum = 8388607;
  // Largest generation number of an object in use (the format's limit).
  static constexpr int64_t kMaxGen = 65535;

  // Shortest file that can be a well-formed PDF.
  static constexpr int64_t kMinFileLen = 84;

  // The checks of an existing file before pages are appended to it, with
  // `fileLen` its length (-1 when it cannot be had): an empty file takes
  // them as a new document; any other must be long enough for a PDF and
  // pass Read. Returns false with the reason in mErrorMsg.
  bool ReadTarget(int fd, int64_t fileLen);

  // `in` is the existing file opened in binary mode, `fileLen` its length
  // (kMinFileLen bytes or more). Runs every check in order; on the first failure
  // returns false with the reason in mErrorMsg.
  bool Read(std::istream& in, int64_t fileLen);
  // The same over an open file descriptor, read without moving its offset.
  bool Read(int fd, int64_t fileLen);

  bool CheckPdfHeader();
  bool CheckPdfEof();
  bool ReadLastPdfTrailer();
  bool ReadLastRoot();
  bool ReadLastPages();

  // The flat, one-level dictionary reading: the first "<<" of `window` up
  // to its ">>". A name value becomes a key of its own with an empty value.
  // On failure returns false and sets *error to the reason.
  static bool ParseDictionary(std::string_view window, PdfDict* dict, std::string* error);

  // Tokenizes the first dictionary of `window` properly and returns its
  // entries with name values kept as values (first occurrence of a key
  // wins). Returns false when the dictionary is malformed or when its flat
  // reading `flat` differs from what the proper reading implies.
  static bool FlatReadingIsFaithful(std::string_view window, const PdfDict& flat, PdfDict* entries);

  // Outcome, filled as the checks run.
  int64_t mPrevXref = 0;
  std::map<int32_t, ObjDescT> mOldXrefs;
  int32_t mOldXrefCnt = 0;
  int32_t mObjNumBase = 0;
  PdfDict mLastTrailer;
  PdfObjRef mOldRootRef;
  int64_t mOldRootOffset = 0;
  PdfDict mLastRoot;
  PdfObjRef mOldPagesRef;
  PdfDict mLastPages;
  int32_t mOldPageCount = 0;
  // The newest trailer's and the Catalog's entries with name values kept
  // as values: what the update copies.
  PdfDict mTrailerEntries;
  PdfDict mRootEntries;
  std::string mErrorMsg;

 private:
  std::string Window(int64_t offset, int64_t maxLen = kWindowSize);
  bool ReadPdfTrailer(int64_t offset, bool newest, int64_t* prev);
  bool ParseXrefsSub(std::string_view w, size_t* pos);
  bool ParsePdfTrailer(std::string_view w, bool newest, int64_t* prev);
  // `entries` null: nothing is copied from the dictionary, only its /Count
  // is checked against the proper reading.
  bool ParseObjectDictionary(int64_t offset, const char* noObjText, const char* which,
                             PdfDict* dict, PdfDict* entries);
  bool Fail(const std::string& text);

  bool ReadAll();
  // "number generation R"; false when a number is out of range.
  static bool ParseRef(std::string_view value, PdfObjRef* ref);

  std::istream* mIn = nullptr;
  int mFd = -1;
  int64_t mFileLen = 0;
  // Objects a newer section has already mentioned, in use or free.
  std::set<int32_t> mMentioned;
};

}  // namespace ZuzuvovOvav

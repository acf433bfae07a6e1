// PdfAppendReader: checks an existing PDF before pages are appended to it as
// an incremental update, and reads what that update needs: the startxref
// value, the first free object number from all cross-reference sections,
// the newest trailer, the Catalog and the Pages object.
//
// It is a small text scanner over the file, not a PDF parser: it handles
// classic cross-reference tables and flat dictionaries only. The
// dictionaries whose entries are copied into the update (the newest trailer
// and the Catalog) are also tokenized properly, and one whose flat reading
// differs from the proper one (nested dictionaries, strings holding
// delimiters, comments) is refused, so that copied entries always come out
// as they were. Older trailers are read flat; of the Pages object only its
// /Count is carried on, and it must be the one the proper reading finds.
//
// The file's end is the last complete update: the last "%%EOF" whose
// startxref leads to a sound cross-reference section and trailer. Bytes
// after it (an update that a killed or failed writer left cut short) are
// not part of the document; the writer keeps them and appends after them.
//
// Each cross-reference section is read once, by its own length, through a
// small cache of file blocks, so that a file of many incremental updates is
// read in about the time its sections take to scan. What is kept per
// section is the place of its subsections; an object is looked up there
// again when it is needed. The engine's stop request ends a reading. The
// reading of a file through ReadTarget is kept for the next ReadTarget of
// the same unchanged file in this process (the check before a scan, then
// the writer).
//
// Thread-bound: one reader per opening; the kept reading is shared under a
// lock.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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
  // Largest number of bytes looked at from any one offset for a dictionary
  // or for the "trailer" keyword after a section's entries.
  static constexpr int64_t kWindowSize = 1048574;
  // Largest object number this reader accepts (the classic PDF limit); keeps
  // the object numbers of the update far from integer overflow.
  static constexpr int64_t kMaxObjNum = 8388607;
  // Largest generation number of an object in use (the format's limit).
  static constexpr int64_t kMaxGen = 65535;
  // Shortest file that can be a well-formed PDF.
  static constexpr int64_t kMinFileLen = 84;
  // How far before its "%%EOF" the "startxref" of an update may start.
  static constexpr int64_t kStartxrefReach = 1024;
  // "%%EOF" marks tried from the end of the file before the reading gives
  // up looking for a complete update.
  static constexpr int kMaxEndCandidates = 64;
  // Non-empty cross-reference subsections kept over all sections (16 bytes
  // each): the bound of what a hostile file can make the reader hold.
  static constexpr size_t kMaxSubsections = size_t(1) << 21;

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
  // Finds the file's last "%%EOF".
  bool CheckPdfEof();
  // Reads the cross-reference chain of the last complete update.
  bool ReadLastPdfTrailer();
  bool ReadLastRoot();
  bool ReadLastPages();

  // The newest cross-reference entry of object `num` (the newest section
  // that lists the number decides): true with its entry when it is in use,
  // false when it is free or listed nowhere. Valid after ReadLastPdfTrailer
  // while the file is still open.
  bool FindObject(int32_t num, ObjDescT* desc);

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
  // Length of the file up to the end of its last complete update (its
  // "%%EOF" and line end); the bytes after it belong to no update.
  int64_t mCompleteLen = 0;
  // The reading ended because the engine was asked to stop.
  bool mStopped = false;
  std::string mErrorMsg;

 private:
  // The place of one subsection's entries in the file.
  struct Subsection {
    int32_t mFirst = 0;
    int32_t mCount = 0;
    int64_t mEntries = 0;
  };
  class Cursor;

  // Up to `len` bytes of the file from `offset` (fewer where it ends);
  // valid until the next call. Empty after a stop request.
  std::string_view View(int64_t offset, int64_t len);
  // At least `atLeast` bytes from `offset` (fewer where the file ends), and
  // whatever more the cache holds after them.
  std::string_view ViewFrom(int64_t offset, int64_t atLeast);
  size_t ReadRaw(int64_t offset, char* to, size_t len);
  // Offset of the last "%%EOF" that starts before `before`, or -1.
  int64_t FindEofBefore(int64_t before);
  // Offset of the first `word` in [from, from + reach), or -1.
  int64_t FindForward(int64_t from, int64_t reach, std::string_view word);
  // The chain of the update whose "%%EOF" is at `eof`.
  bool ReadChain(int64_t eof);
  bool ReadPdfTrailer(int64_t offset, bool newest, int64_t* prev);
  bool ParseXrefsSub(Cursor& c);
  bool ParsePdfTrailer(int64_t from, bool newest, int64_t* prev);
  // `entries` null: nothing is copied from the dictionary, only its /Count
  // is checked against the proper reading.
  bool ParseObjectDictionary(int64_t offset, const char* noObjText, const char* which,
                             PdfDict* dict, PdfDict* entries);
  bool Fail(const std::string& text);
  // A sound file that cannot be appended to: no earlier update is tried.
  bool Refuse(const std::string& text);

  bool ReadAll();
  // "number generation R"; false when a number is out of range.
  static bool ParseRef(std::string_view value, PdfObjRef* ref);

  std::istream* mIn = nullptr;
  int mFd = -1;
  int64_t mFileLen = 0;
  int64_t mEofPos = -1;  // the "%%EOF" whose update is being read
  bool mRefused = false;
  std::vector<Subsection> mSubsections;  // newest section first, in file order within one
  // The block cache behind View.
  std::string mBuf;
  int64_t mBufStart = 0;
  uint64_t mBufFills = 0;
};

}  // namespace ZuzuvovOvav

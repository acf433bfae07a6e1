// The output of a job checked before the scan: a new file's folder, or the file to append to and its readers' checks.
#include "OutputCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "HostFolders.h"
#include "ImageWriter.h"
#include "OutputName.h"
#include "OutputTarget.h"
#include "PdfAppendReader.h"
#include "TiffAppendReader.h"

namespace ZuzuvovOvav {

namespace {

OutputCheck Refuse(const std::string& text, OutputCheck::Remedy remedy = OutputCheck::Remedy::kNone) {
  return OutputCheck{kScanFileError, text, remedy, false};
}

std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Pages(int32_t n) { return std::to_string(n) + (n == 1 ? " page" : " pages"); }

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why nothing can be named `path`: the measure that does not fit, as "a
// name of N bytes, more than ..."; empty when it fits.
std::string NameTooLong(const std::string& path) {
  size_t nameMax = 0;
  if (OutputTarget::NameFits(path, &nameMax) == 0) return "";
  const size_t name = BaseName(path).size();
  if (name > nameMax) return Fmt("a name of %zu bytes, more than the %zu bytes a file name may have there", name, nameMax);
  return Fmt("a path of %zu bytes (or longer, with the hidden name the file is built under), more than the %d bytes a "
             "path may have",
             path.size(), PATH_MAX - 1);
}

// What is at `file` that a new file may not take the place of, as the rest
// of a refusal; empty when nothing is, or a link (replaced itself).
std::string InTheWay(const std::string& file) {
  struct stat st {};
  if (lstat(file.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return "";
  if (S_ISDIR(st.st_mode)) return std::string("it is a folder (") + std::strerror(EISDIR) + "). Give a file name.";
  if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISSOCK(st.st_mode) ? "a socket" : "a device";
    return std::string("it is ") + kind + ", not a regular file (" + std::strerror(EINVAL) +
           "). Give the path of a file.";
  }
  // The writers replace a file only when this user could write it anyway.
  if (faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)
    return std::string("it is a file this user may not write (") + std::strerror(errno) +
           "), and a scan replaces a file only when it could write it. Make it writable, or give another path.";
  return "";
}

// The format a file starts with: "PDF", "TIFF", or "" when neither.
std::string FormatOf(int fd) {
  unsigned char head[5] = {};
  const ssize_t n = pread(fd, head, sizeof head, 0);
  if (n >= 5 && std::memcmp(head, "%PDF-", 5) == 0) return "PDF";
  if (n >= 4 && ((head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
                 (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43))))
    return "TIFF";
  return "";
}

// A new file at `file`; `longest` is the longest name the job can reach
// (another than `file` when pages are split over files, numbered `last`).
OutputCheck CheckNewOutput(const std::string& file, const std::string& longest, int32_t last = 1) {
  const std::string folder = OutputTarget::FolderOf(file);
  const std::string what = "cannot make the output file '" + file + "': ";
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) {
    const int e = errno;
    if (e == ENOENT)
      return Refuse(what + "its folder '" + folder + "' does not exist (" + std::strerror(e) +
                    "). Create the folder or give another path.");
    return Refuse(what + "its folder '" + folder + "' cannot be reached (" + std::strerror(e) + "). Give another path.");
  }
  if (!S_ISDIR(st.st_mode))
    return Refuse(what + "'" + folder + "' is not a folder (" + std::strerror(ENOTDIR) + "). Give another path.");
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    return Refuse(what + "the folder '" + folder + "' cannot be written (" + std::strerror(errno) +
                  "). Choose a folder you can write to.");
  if (const std::string tooLong = NameTooLong(longest); !tooLong.empty()) {
    const std::string tail = std::string(" (") + std::strerror(ENAMETOOLONG) + "). Give a shorter name.";
    if (longest == file) return Refuse(what + "it would have " + tooLong + tail);
    return Refuse(what + Fmt("split files are numbered by their first page, and a file numbered %d, '", last) +
                  BaseName(longest) + "', would have " + tooLong + tail +
                  Fmt(" Names are checked for jobs of up to %d pages.", kSplitCheckPages));
  }
  if (const std::string why = InTheWay(file); !why.empty()) return Refuse(what + why);
  return {};
}

// `pages` (when given) is set to the pages the file holds.
OutputCheck CheckAppendTarget(const std::string& file, bool pdf, int32_t* pages = nullptr) {
  const std::string what = "cannot append to '" + file + "': ";
  const int fd = open(file.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT)
      return Refuse(what + "there is no such file (" + std::strerror(e) + ").", OutputCheck::Remedy::kNewFile);
    return Refuse(what + std::strerror(e) + ". Choose a file you can read and write.");
  }
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const std::string format = regular ? FormatOf(fd) : "";
  const char* wanted = pdf ? "PDF" : "TIFF";
  // The writer's own checks of the file, run on it as it is now: under the
  // lock the writers take for each page, so that a page another program is
  // appending at this moment is not mistaken for damage.
  std::string refused;
  bool stopped = false;
  OutputTarget target;
  if (regular && (format.empty() || format == wanted) && target.OpenExisting(file) == 0) {
    if (const int locked = target.Lock(); locked != 0) {
      refused = target.LockFailureText(locked);
      stopped = locked == EWOULDBLOCK && OutputTarget::StopRequested();
    } else if (const int64_t size = target.Size(); pdf) {
      PdfAppendReader reader;
      if (!reader.ReadTarget(target.Fd(), size)) refused = reader.mErrorMsg;
      if (pages) *pages = reader.mOldPageCount;
    } else {
      // An empty file is started as a new TIFF by the writer.
      TiffAppendReader reader;
      if (size > 0 && !reader.Read(target.Fd(), size)) refused = reader.mErrorMsg;
      if (pages) *pages = int32_t(reader.mDirCount);
    }
    target.Unlock();
  }
  close(fd);
  if (stopped) {
    OutputCheck check;
    check.mStopped = true;
    return check;
  }
  if (!regular) return Refuse(what + "it is not a regular file. Choose a PDF or TIFF file.");
  if (!format.empty() && format != wanted)
    return Refuse(what + "it is a " + format + " file and the scan writes " + wanted + ".",
                  OutputCheck::Remedy::kOtherFormat);
  if (!refused.empty()) return Refuse(what + refused + " Choose another file, or scan into a new one.");
  return {};
}

// The files of the split series of `path`, N pages each, that are in the
// folder, by number (1, 1 + N, 1 + 2N, ...): whatever is there at the name.
std::map<int64_t, std::string> SeriesEntries(const std::string& path, int32_t n) {
  std::map<int64_t, std::string> entries;
  const size_t at = NumberPosition(path);
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string stem = path.substr(start, at - start), ext = path.substr(at);
  DIR* d = opendir(OutputTarget::FolderOf(path).c_str());
  if (!d) return entries;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= stem.size() + ext.size() || name.compare(0, stem.size(), stem) != 0 ||
        name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
      continue;
    const std::string digits = name.substr(stem.size(), name.size() - stem.size() - ext.size());
    if (digits.size() > 10 || digits[0] == '0' || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const int64_t number = std::atoll(digits.c_str());
    if ((number - 1) % n == 0) entries[number] = NumberedOutputPath(path, int(std::min<int64_t>(number, INT32_MAX)));
  }
  closedir(d);
  return entries;
}

// The number of the last split file of a job of kSplitCheckPages pages.
int32_t LastSplitNumber(int32_t n) { return 1 + (kSplitCheckPages - 1) / n * n; }

// A job that splits its pages into new files: the first file, the longest
// name, and every file of the series already there that it would replace.
OutputCheck CheckNewSeries(const std::string& path, int32_t n) {
  const int32_t last = LastSplitNumber(n);
  OutputCheck check = CheckNewOutput(NumberedOutputPath(path, 1), NumberedOutputPath(path, last), last);
  if (check.mStatus != 0) return check;
  for (const auto& [number, file] : SeriesEntries(path, n))
    if (const std::string why = InTheWay(file); !why.empty())
      return Refuse("cannot make the output file '" + file + "': " + why);
  return {};
}

// Appending to a series of split files (see ImageWriter): files 1, 1 + N,
// ... as far as they go, each full but the last, each one to append to,
// nothing of the series after them, and room for the files to come.
OutputCheck CheckAppendSeries(const std::string& path, int32_t n, bool pdf) {
  std::vector<std::pair<std::string, int32_t>> files;
  int64_t last = 0;
  for (int64_t number = 1; number <= INT32_MAX; number += n) {
    const std::string file = NumberedOutputPath(path, int(number));
    struct stat st;
    if (stat(file.c_str(), &st) != 0) break;
    int32_t pages = 0;
    OutputCheck check = CheckAppendTarget(file, pdf, &pages);
    if (check.mStatus != 0 || check.mStopped) return check;
    files.emplace_back(file, pages);
    last = number;
  }
  // None at all: there is no such file to append to.
  if (files.empty()) return CheckAppendTarget(NumberedOutputPath(path, 1), pdf);
  const std::string series = "cannot append to the series of '" + files[0].first + "': ";
  const std::string remedy = " Append with the page count the series was made with, or scan into a new series.";
  for (size_t i = 0; i + 1 < files.size(); ++i)
    if (files[i].second != n)
      return Refuse(series + "'" + files[i].first + "' holds " + Pages(files[i].second) + ", but with " + Pages(n) +
                    " per file each file of the series before the last holds " + std::to_string(n) + "." + remedy);
  if (files.back().second > n)
    return Refuse(series + "its last file '" + files.back().first + "' holds " + Pages(files.back().second) +
                  ", more than " + Pages(n) + " per file." + remedy);
  const std::string next = NumberedOutputPath(path, int(std::min<int64_t>(last + n, INT32_MAX)));
  for (const auto& [number, file] : SeriesEntries(path, n)) {
    if (number <= last) continue;
    if (file == next)
      return Refuse(series + "'" + file + "', the next file of the series, is there but cannot be read. Move it "
                    "away, or scan into a new series.");
    return Refuse(series + "'" + file + "' is there, but '" + next +
                  "' before it is not: the series has a gap. Move the later files away, or scan into a new series.");
  }
  // The files the job goes on to make when the last one is full.
  const int32_t longest = std::max<int32_t>(LastSplitNumber(n), int32_t(std::min<int64_t>(last + n, INT32_MAX)));
  return CheckNewOutput(next, NumberedOutputPath(path, longest), longest);
}

}  // namespace

std::string FirstOutputFile(const ScanParams& params) {
  const std::string path = ImageWriter::WithExtension(params, params.mBaseFilePath);
  return params.mImagesPerFile >= 1 ? ImageWriter::NumberedPath(path, 1) : path;
}

OutputCheck CheckTemporaryFolder(const std::string& purpose) {
  std::string folder;
  const int err = quirel::host::TemporaryItemsFolder(&folder);
  if (err == 0) return {};
  const std::string name = "'" + quirel::host::TemporaryItemsFolderName() + "'";
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const bool ownFolder = runtime && *runtime;
  struct stat st {};
  std::string what;
  if (lstat(name.substr(1, name.size() - 2).c_str(), &st) != 0)
    what = name + " cannot be made";
  else if (S_ISLNK(st.st_mode))
    what = name + " is a link, which is not followed";
  else if (!S_ISDIR(st.st_mode))
    what = name + " is not a folder";
  else if (st.st_uid != geteuid())
    what = name + " belongs to another user";
  else
    what = name + Fmt(" lets other users in (mode %04o)", unsigned(st.st_mode & 07777));
  return Refuse("cannot use a temporary folder of this user's: " + what +
                (ownFolder ? "" : ", and none of this user's own can be made beside it") + " (" + std::strerror(err) +
                "); " + purpose + ". " +
                (ownFolder ? "Remove it, or set XDG_RUNTIME_DIR to a folder of your own."
                           : "Set TMPDIR to a folder of your own."));
}

OutputCheck CheckOutputTarget(const ScanParams& params) {
  const std::string& given = params.mBaseFilePath;
  const bool pdf = params.mFileType == kFileTypePDF;
  // Without a path the writer makes a temporary file of its own.
  if (given.empty()) return CheckTemporaryFolder("the scan is written there when no output path is given");
  struct stat st {};
  // "/tmp" would otherwise become "/tmp.pdf" beside the folder.
  if ((given.back() == '/' || (stat(given.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
    const char* ext = pdf ? ".pdf" : ".tif";
    return Refuse("the output path '" + given + "' is a folder (" + std::strerror(EISDIR) +
                  "). Give a file name, for example '" + given + (given.back() == '/' ? "" : "/") + "scan" + ext + "'.");
  }
  const std::string path = ImageWriter::WithExtension(params, given);
  const int32_t n = params.mImagesPerFile;
  OutputCheck check = n >= 1        ? (params.mAppend ? CheckAppendSeries(path, n, pdf) : CheckNewSeries(path, n))
                      : params.mAppend ? CheckAppendTarget(path, pdf)
                                       : CheckNewOutput(path, path);
  if (check.mStatus != 0 || check.mStopped) return check;
  // Line-art pages are encoded to Group 4 through a buffer in that folder.
  if (pdf && params.mImageType == kImageTypeLineArt)
    return CheckTemporaryFolder("line-art pages are encoded for PDF there");
  return {};
}

}  // namespace ZuzuvovOvav

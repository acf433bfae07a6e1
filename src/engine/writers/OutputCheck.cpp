// The output of a job checked before the scan: a new file's folder, or the file to append to and its readers' checks.
#include "OutputCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ImageWriter.h"
#include "OutputTarget.h"
#include "PdfAppendReader.h"
#include "TiffAppendReader.h"

namespace ZuzuvovOvav {

namespace {

OutputCheck Refuse(const std::string& text, OutputCheck::Remedy remedy = OutputCheck::Remedy::kNone) {
  return OutputCheck{kStatusFileError, text, remedy};
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

OutputCheck CheckNewOutput(const std::string& file) {
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
  // A link at the path is replaced, never followed, so only what is there
  // itself counts.
  if (lstat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return Refuse(what + "it is a folder (" + std::strerror(EISDIR) + "). Give a file name.");
  return {};
}

OutputCheck CheckAppendTarget(const std::string& file, bool pdf) {
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
  OutputTarget target;
  if (regular && (format.empty() || format == wanted) && target.OpenExisting(file) == 0) {
    if (const int locked = target.Lock(); locked != 0) {
      refused = target.LockFailureText(locked);
    } else if (const int64_t size = target.Size(); pdf) {
      PdfAppendReader reader;
      if (!reader.ReadTarget(target.Fd(), size)) refused = reader.mErrorMsg;
    } else {
      // An empty file is started as a new TIFF by the writer.
      TiffAppendReader reader;
      if (size > 0 && !reader.Read(target.Fd(), size)) refused = reader.mErrorMsg;
    }
    target.Unlock();
  }
  close(fd);
  if (!regular) return Refuse(what + "it is not a regular file. Choose a PDF or TIFF file.");
  if (!format.empty() && format != wanted)
    return Refuse(what + "it is a " + format + " file and the scan writes " + wanted + ".",
                  OutputCheck::Remedy::kOtherFormat);
  if (!refused.empty()) return Refuse(what + refused + " Choose another file, or scan into a new one.");
  return {};
}

}  // namespace

std::string FirstOutputFile(const ScanParams& params) {
  const std::string path = ImageWriter::WithExtension(params, params.mBaseFilePath);
  return params.mImagesPerFile >= 1 ? ImageWriter::NumberedPath(path, 1) : path;
}

OutputCheck CheckOutputTarget(const ScanParams& params) {
  const std::string& given = params.mBaseFilePath;
  // Without a path the writer makes a temporary file of its own.
  if (given.empty()) return {};
  struct stat st {};
  // "/tmp" would otherwise become "/tmp.pdf" beside the folder.
  if ((given.back() == '/' || (stat(given.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
    const char* ext = params.mFileType == kFileTypePDF ? ".pdf" : ".tif";
    return Refuse("the output path '" + given + "' is a folder (" + std::strerror(EISDIR) +
                  "). Give a file name, for example '" + given + (given.back() == '/' ? "" : "/") + "scan" + ext + "'.");
  }
  const std::string file = FirstOutputFile(params);
  return params.mAppend ? CheckAppendTarget(file, params.mFileType == kFileTypePDF) : CheckNewOutput(file);
}

}  // namespace ZuzuvovOvav

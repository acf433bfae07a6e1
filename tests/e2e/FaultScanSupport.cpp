// The small disk, tool runs and file checks of the end-to-end fault tests.
#include "FaultScanSupport.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quirel::e2e_faults {

namespace {

std::string Quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}


}  // namespace

SmallDisk::SmallDisk(long bytes) {
  if (mDir.Path().empty()) {
    mWhy = "no scratch folder";
    return;
  }
  std::string options = "size=" + std::to_string(bytes);
  if (mount("tmpfs", mDir.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
    mMounted = true;
  else
    mWhy = std::string("mount -t tmpfs failed: ") + std::strerror(errno);
}

SmallDisk::~SmallDisk() {
  if (mMounted) umount2(mDir.Path().c_str(), MNT_DETACH);
}

std::map<std::string, std::string> Scanner(const std::string& description) {
  return {{"QUIREL_VIRTUAL_SCANNER", description}, {"QUIREL_VIRTUAL_TRACE", ""}};
}

quirel::testing::ToolRun ScanWith(const std::string& description, const std::vector<std::string>& args,
                                  int timeoutSeconds) {
  return quirel::testing::RunTool(args, Scanner(description), timeoutSeconds);
}

std::vector<std::string> SmallGray() {
  return {"--adf", "--gray", "--no-jpeg", "--resolution", "50", "--paper-height", "6000"};
}

int Shell(const std::string& command, std::string* output) {
  output->clear();
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int PdfPageCount(const std::string& path) {
  std::string out;
  if (Shell("pdfinfo " + Quote(path), &out) != 0) return -1;
  for (const auto& line : quirel::testing::SplitLines(out)) {
    int pages;
    if (std::sscanf(line.c_str(), "Pages: %d", &pages) == 1) return pages;
  }
  return -1;
}

bool PdfSound(const std::string& path, std::string* report) {
  // qpdf exits 0 when clean and 3 with warnings only; warnings are faults
  // of our writer too.
  return Shell("qpdf --check " + Quote(path), report) == 0 &&
         report->find("No syntax or stream encoding errors") != std::string::npos;
}

int TiffPageCount(const std::string& path, std::string* report) {
  // tiffinfo -D decodes every strip, so damaged image data is noticed too.
  if (Shell("tiffinfo -D " + Quote(path), report) != 0) return -1;
  if (report->find("Error") != std::string::npos || report->find("error") != std::string::npos) return -1;
  int pages = 0;
  for (size_t at = report->find("TIFF Directory at offset"); at != std::string::npos;
       at = report->find("TIFF Directory at offset", at + 1))
    ++pages;
  return pages;
}

FileCheck CheckFile(const std::string& path) {
  FileCheck check;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".pdf") == 0) {
    check.sound = PdfSound(path, &check.report);
    check.pages = PdfPageCount(path);
  } else {
    check.pages = TiffPageCount(path, &check.report);
    check.sound = check.pages >= 0;
  }
  return check;
}

int SidesScanned(const std::string& out) {
  int n = 0;
  for (const auto& line : quirel::testing::SplitLines(out)) {
    int side;
    char tail[16];
    n += std::sscanf(line.c_str(), "side %d %15s", &side, tail) == 2 && std::string(tail) == "scanned";
  }
  return n;
}

std::map<std::string, int> FilesReported(const std::string& out) {
  std::map<std::string, int> files;
  for (const auto& line : quirel::testing::SplitLines(out)) {
    // "file: PATH (N page)" or "(N pages)"; the path may hold blanks.
    if (line.rfind("file: ", 0) != 0 || line.back() != ')') continue;
    size_t open = line.rfind(" (");
    int pages;
    if (open == std::string::npos || std::sscanf(line.c_str() + open, " (%d page", &pages) != 1) continue;
    files[line.substr(6, open - 6)] = pages;
  }
  return files;
}

}  // namespace quirel::e2e_faults

// Helpers of the end-to-end tests of scans that go wrong: a small disk, the
// tool run against a virtual scanner, the pages the tool claims to have
// written, and the pages and validity of its files as tools we did not
// write see them (pdfinfo, qpdf, tiffinfo).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "RunTool.h"
#include "TempDir.h"

namespace quirel::e2e_faults {

using quirel::testing::TempDir;

// A tmpfs of `bytes` mounted on a folder of its own, unmounted at the end.
// Mounting needs root; Mounted() tells whether it worked and Why() why not.
class SmallDisk {
 public:
  explicit SmallDisk(long bytes);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool Mounted() const { return mMounted; }
  const std::string& Why() const { return mWhy; }
  std::string File(const std::string& name) const { return mDir.Path() + "/" + name; }

 private:
  TempDir mDir;
  bool mMounted = false;
  std::string mWhy;
};

// The environment that puts the virtual scanner `description` on the bus.
std::map<std::string, std::string> Scanner(const std::string& description);

// Runs the tool against the virtual scanner; every run is bounded.
quirel::testing::ToolRun ScanWith(const std::string& description, const std::vector<std::string>& args,
                                  int timeoutSeconds = 60);

// The arguments of a small, fast scan: gray at 50 dpi on a short page,
// uncompressed transfer.
std::vector<std::string> SmallGray();

// Runs a shell command; its standard output and error in *output.
int Shell(const std::string& command, std::string* output);

bool Exists(const std::string& path);

// Pages of a PDF as pdfinfo counts them (-1 when pdfinfo refuses the file)
// and whether qpdf --check finds it sound (its report in *report).
int PdfPageCount(const std::string& path);
bool PdfSound(const std::string& path, std::string* report);

// Pages of a TIFF as tiffinfo counts them; -1 when tiffinfo fails or
// reports an error (its output in *report).
int TiffPageCount(const std::string& path, std::string* report);

// Pages and soundness of either format, by the file name's extension.
struct FileCheck {
  int pages = -1;
  bool sound = false;
  std::string report;
};
FileCheck CheckFile(const std::string& path);

// What the tool's standard output says: the number of "side N scanned"
// lines, and the pages of each "file: PATH (N pages)" line.
int SidesScanned(const std::string& out);
std::map<std::string, int> FilesReported(const std::string& out);

}  // namespace quirel::e2e_faults

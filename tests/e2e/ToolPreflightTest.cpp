// What the tool refuses before a sheet is fed: outputs that cannot be made
// or appended to, and jobs beyond the attached model's limits. Each refusal
// names the path or limit, ends with the documented status, and leaves the
// scanner untouched (the engine never reported a scanner, no side was
// scanned, and the virtual scanner refused no command).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "FaultScanSupport.h"

using namespace quirel::e2e_faults;
using quirel::testing::RunTool;
using quirel::testing::ToolRun;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// The scanner was neither opened by the job nor sent a command it refused,
// and no side was scanned.
void ExpectScannerUntouched(const ToolRun& run) {
  EXPECT_FALSE(Has(run.out, "Supported scanner")) << run.out;
  EXPECT_FALSE(Has(run.out, "side ")) << run.out;
  EXPECT_FALSE(Has(run.err, "virtual scanner:")) << run.err;
}

ToolRun Traced(const std::string& scanner, const std::vector<std::string>& args) {
  return RunTool(args, {{"QUIREL_VIRTUAL_SCANNER", scanner}, {"QUIREL_VIRTUAL_TRACE", "1"}}, 60);
}

// The user the tool runs as in AsUser: permissions do not hold back root,
// who runs it as nobody.
uid_t ToolUser() { return geteuid() == 0 ? 65534 : geteuid(); }

// Traced, as ToolUser() with TMPDIR `tmp`; `folder` is made open to that user.
ToolRun AsUser(const std::string& scanner, const std::vector<std::string>& args, const std::string& folder,
               const std::string& tmp) {
  chmod(folder.c_str(), 0777);
  std::string cmd = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  cmd += "env QUIREL_VIRTUAL_SCANNER='" + scanner + "' QUIREL_VIRTUAL_TRACE=1 TMPDIR='" + tmp +
         "' XDG_RUNTIME_DIR= '" + quirel::testing::ToolPath() + "'";
  for (const auto& a : args) cmd += " '" + a + "'";
  ToolRun run;
  run.exitStatus = Shell("(" + cmd + " 2>'" + folder + "/err')", &run.out);
  run.err = ReadAll(folder + "/err");
  unlink((folder + "/err").c_str());
  return run;
}

}  // namespace

// Outputs that cannot be made or appended to: status 5, the path and the
// system's reason, nothing fed, and whatever was at the path left as it was.
TEST(E2EPreflight, OutputsThatCannotBeMadeAreRefusedBeforeTheScan) {
  TempDir dir;
  const std::string folder = dir.File("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.File("taken.pdf").c_str(), 0700), 0);
  WriteAll(dir.File("plain"), "not a folder");
  WriteAll(dir.File("tiff.pdf"), std::string("II*\0\x08\0\0\0", 8));
  WriteAll(dir.File("pdf.tif"), "%PDF-1.3\n%%EOF\n");
  // Files the writers' append readers refuse: a PDF whose cross-reference
  // section is a stream, and a TIFF whose directory chain loops.
  WriteAll(dir.File("xrefstream.pdf"), "%PDF-1.5\n1 0 obj\n<</Type/XRef/Size 2/W[1 1 1]/Root 1 0 R/Length 0>>stream\n\n"
                                       "endstream\nendobj\nstartxref\n9\n%%EOF\n");
  WriteAll(dir.File("loop.tif"), std::string("II*\0\x08\0\0\0\x01\0", 10) + std::string(12, '\0') +
                                 std::string("\x08\0\0\0", 4));
  // Special files at the output path, and a file the tool's user may not write.
  ASSERT_EQ(mkfifo(dir.File("fifo.pdf").c_str(), 0600), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, dir.File("socket.pdf").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(sock);
  WriteAll(dir.File("readonly.pdf"), "kept");
  chmod(dir.File("readonly.pdf").c_str(), 0444);
  // Series of split files to append to, two pages per file: with a gap,
  // with a file before the last not full, with a last file over full, and
  // with a file of the other format.
  const auto scanned = [&](const std::string& name, int sheets) {
    ASSERT_EQ(Traced("model=fi-6130;sheets=" + std::to_string(sheets), [&] {
                std::vector<std::string> a = SmallGray();
                a.insert(a.end(), {"--tiff", dir.File(name)});
                return a;
              }()).exitStatus, 0) << name;
  };
  scanned("gap1.tif", 2), scanned("gap5.tif", 2);
  scanned("short1.tif", 1), scanned("short3.tif", 1);
  scanned("over1.tif", 3);
  scanned("mixed1.tif", 2), WriteAll(dir.File("mixed3.tif"), "%PDF-1.3\n%%EOF\n");
  // A temporary folder taken by another user (or open to others), beside
  // which the tool's user can make none of its own.
  const std::string shared = dir.File("shared"), squat = shared + "/quirel-" + std::to_string(ToolUser());
  ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(squat.c_str(), 0755), 0);
  chmod(shared.c_str(), 0555);

  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> texts;  // parts of the message on standard error
    std::string untouched;           // a file whose bytes must stay as they were
    bool asUser = false;             // run as ToolUser(), TMPDIR `shared`
  };
  const Case cases[] = {
      {{"--pdf", folder}, {"the output path '" + folder + "' is a folder", "Is a directory", folder + "/scan.pdf"}, ""},
      {{"--tiff", folder + "/"}, {"'" + folder + "/' is a folder"}, ""},
      {{"--pdf", dir.File("missing/scan.pdf")},
       {"cannot make the output file '" + dir.File("missing/scan.pdf") + "'", "its folder '" + dir.File("missing") +
        "' does not exist", "No such file or directory"},
       ""},
      {{"--pdf", dir.File("plain/scan")}, {"'" + dir.File("plain") + "' is not a folder", "Not a directory"}, ""},
      // The extension is completed before the check: "taken" is "taken.pdf".
      {{"--pdf", dir.File("taken")}, {"output file '" + dir.File("taken.pdf") + "': it is a folder"}, ""},
      {{"--append", "--pdf", dir.File("absent.pdf")},
       {"cannot append to '" + dir.File("absent.pdf") + "': there is no such file", "Leave out --append"},
       ""},
      {{"--append", "--pdf", dir.File("tiff.pdf")},
       {"cannot append to '" + dir.File("tiff.pdf") + "': it is a TIFF file and the scan writes PDF", "--tiff"},
       dir.File("tiff.pdf")},
      {{"--append", "--tiff", dir.File("pdf.tif")},
       {"cannot append to '" + dir.File("pdf.tif") + "': it is a PDF file and the scan writes TIFF", "--pdf"},
       dir.File("pdf.tif")},
      {{"--append", "--pdf", dir.File("xrefstream.pdf")},
       {"cannot append to '" + dir.File("xrefstream.pdf") + "': Head of xref table not found"},
       dir.File("xrefstream.pdf")},
      {{"--append", "--tiff", dir.File("loop.tif")}, {"cannot append to '" + dir.File("loop.tif") + "': Directory chain"},
       dir.File("loop.tif")},
      {{"--append", "--pages-per-file", "2", "--pdf", dir.File("split.pdf")},
       {"cannot append to '" + dir.File("split1.pdf") + "'"},
       ""},
      {{"--pdf", dir.File("fifo.pdf")}, {"output file '" + dir.File("fifo.pdf") + "': it is a FIFO, not a regular file"}, ""},
      {{"--pdf", dir.File("socket.pdf")}, {"it is a socket, not a regular file", "Invalid argument"}, ""},
      {{"--pdf", dir.File(std::string(252, 'n'))},
       {"it would have a name of 256 bytes, more than the 255 bytes", "File name too long"},
       ""},
      {{"--pages-per-file", "2", "--pdf", dir.File(std::string(246, 'p'))},
       {"output file '" + dir.File(std::string(246, 'p') + "1.pdf") + "'", "a file numbered 999999",
        std::string(246, 'p') + "999999.pdf', would have a name of 256 bytes", "jobs of up to 999999 pages"},
       ""},
      {{"--pdf", dir.File("readonly.pdf")},
       {"output file '" + dir.File("readonly.pdf") + "': it is a file this user may not write (Permission denied)"},
       dir.File("readonly.pdf"), true},
      {{"--append", "--pages-per-file", "2", "--tiff", dir.File("gap.tif")},
       {"cannot append to the series of '" + dir.File("gap1.tif") + "': '" + dir.File("gap5.tif") + "' is there, but '" +
        dir.File("gap3.tif") + "' before it is not: the series has a gap"},
       dir.File("gap1.tif")},
      {{"--append", "--pages-per-file", "2", "--tiff", dir.File("short.tif")},
       {"'" + dir.File("short1.tif") + "' holds 1 page, but with 2 pages per file each file of the series before the "
        "last holds 2", "Append with the page count the series was made with"},
       dir.File("short3.tif")},
      {{"--append", "--pages-per-file", "2", "--tiff", dir.File("over.tif")},
       {"its last file '" + dir.File("over1.tif") + "' holds 3 pages, more than 2 pages per file"},
       dir.File("over1.tif")},
      {{"--append", "--pages-per-file", "2", "--tiff", dir.File("mixed.tif")},
       {"cannot append to '" + dir.File("mixed3.tif") + "': it is a PDF file", "--pdf"},
       dir.File("mixed1.tif")},
      {{"--mono", "--pdf", dir.File("lineart.pdf")},
       {"cannot use a temporary folder of this user's: '" + squat + "'", "line-art pages are encoded for PDF there",
        "Set TMPDIR"},
       "", true},
  };
  for (const Case& c : cases) {
    std::string args;
    for (const auto& a : c.args) args += a + " ";
    SCOPED_TRACE(args);
    const std::string before = c.untouched.empty() ? "" : ReadAll(c.untouched);
    std::vector<std::string> all = SmallGray();
    all.insert(all.end(), c.args.begin(), c.args.end());
    ToolRun run = c.asUser ? AsUser("model=fi-6130;sheets=2", all, dir.Path(), shared)
                           : Traced("model=fi-6130;sheets=2", all);
    EXPECT_EQ(run.exitStatus, 5) << run.out << run.err;
    for (const auto& text : c.texts) EXPECT_TRUE(Has(run.err, text)) << run.err;
    ExpectScannerUntouched(run);
    if (!c.untouched.empty()) {
      EXPECT_EQ(ReadAll(c.untouched), before);
    }
  }
  EXPECT_FALSE(Exists(folder + ".pdf"));
  EXPECT_FALSE(Exists(dir.File("missing")));
  EXPECT_FALSE(Exists(dir.File("gap3.tif")));
  chmod(shared.c_str(), 0755);
  EXPECT_EQ(rmdir(squat.c_str()), 0) << "something was made in the squatted folder";

  // Another program holds the file to append to: the tool says that it
  // waits, and Ctrl-C during the wait ends it as stopped before the scan.
  const std::string held = dir.File("held.tif");
  scanned("held.tif", 1);
  const std::string before = ReadAll(held);
  const int fd = open(held.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::vector<std::string> all = SmallGray();
  all.insert(all.end(), {"--append", "--tiff", held});
  bool sent = false;
  ToolRun run = quirel::testing::RunToolWatching(
      all, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-6130;sheets=2"}, {"QUIREL_VIRTUAL_TRACE", "1"}}, 60,
      [&](int pid, const std::string& out) {
        if (!sent && Has(out, "Waiting for another program to finish writing '" + held + "'...\n")) {
          kill(pid, SIGINT);
          sent = true;
        }
      });
  close(fd);
  EXPECT_TRUE(sent) << run.out;
  EXPECT_EQ(run.exitStatus, 8) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "Stopped before the scan began; no page scanned.")) << run.out;
  EXPECT_EQ(run.err, "");
  ExpectScannerUntouched(run);
  EXPECT_EQ(ReadAll(held), before);
}

// The job against the attached model's limits, in inches and in the tool's
// units, refused before the scanner is opened by the job; jobs within the
// limits (Letter, A4, Legal, long paper at a resolution that takes it, the
// glass of a model that has one) still scan. Jobs that scan say what they
// did: the format their file's name asks for, the pages a file appended to
// holds, options the desktop application sends that change nothing, and
// after a paper fault the sheet that was not scanned and what to do.
TEST(E2EPreflight, JobsBeyondTheModelAreRefusedAndJobsWithinItScan) {
  TempDir dir;
  struct Case {
    const char* scanner;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> texts;  // on standard error, or for a scan on either stream
    const char* name = nullptr;      // the output file, without a format option; else limitsN.pdf with --pdf
    int pages = 0;                   // with a name: the pages the file then holds
    int sheet = 0;                   // the sheet a paper fault left unscanned
  };
  const std::vector<std::string> gray = {"--gray", "--resolution", "50"};
  const Case cases[] = {
      {"model=fi-6130", {"--flatbed"}, 4, {"the fi-6130 has no flatbed", "leave out --flatbed"}},
      {"model=fi-6130",
       {"--paper-width", "12000"},
       4,
       {"the paper is 12000 wide (10.00 in)", "fi-6130's feeder takes: at most 10620 (8.85 in)",
        "--paper-width 10620 or less"}},
      // With a quarter turn the page's height runs across the feed.
      {"model=fi-6130",
       {"--rotate-r-n", "--paper-height", "11000"},
       4,
       {"the paper is 11000 wide (9.17 in)", "--paper-height 10620 or less"}},
      // 34 inches above 200 dpi, 125 inches at 200 dpi and below.
      {"model=fi-6130",
       {"--resolution", "300", "--paper-height", "48000"},
       4,
       {"the paper is 48000 long (40.00 in)", "feeder takes at 300 dpi: at most 40800 (34.00 in)",
        "--paper-height 40800 or less"}},
      // The fi-4340C scans long paper in line art only.
      {"model=fi-4340C",
       {"--resolution", "200", "--paper-width", "10200", "--paper-height", "24000"},
       4,
       {"the paper is 24000 long (20.00 in)", "fi-4340C's feeder takes at 200 dpi: at most 16800 (14.00 in)"}},
      {"model=fi-6130",
       {"--left", "6000", "--width", "6000"},
       4,
       {"the scan area reaches 12000 (10.00 in) across the feed", "feeder width of 10620 (8.85 in)"}},
      // Turbo line art is told the resolution asked for, not the one it scans at.
      {"model=fi-6130", {"--mono", "--turbo", "0", "--resolution", "300", "--paper-height", "48000"}, 4,
       {"feeder takes at 300 dpi: at most 40800 (34.00 in)"}},
      {"model=fi-6230",
       {"--flatbed", "--paper-height", "15000"},
       4,
       {"the paper is 15000 long (12.50 in)", "fi-6230's flatbed takes: at most 14031 (11.69 in)"}},
      {"model=fi-6130;sheets=1", {"--resolution", "100", "--paper-height", "48000"}, 0, {}},
      {"model=fi-6130;sheets=1", {"--paper-width", "10200", "--paper-height", "13200"}, 0, {}},  // Letter
      {"model=fi-6130;sheets=1", {"--paper-width", "10200", "--paper-height", "16800"}, 0, {}},  // Legal
      // A4 on the glass, its window rounded beyond it for the JPEG transfer.
      {"model=fi-6230", {"--flatbed", "--paper-width", "9921", "--paper-height", "14031"}, 0, {}},
      {"model=fi-6230", {"--flatbed", "--gray", "--bits", "8", "--resolution", "300", "--paper-width", "9921",
                         "--paper-height", "14031", "--left", "0", "--width", "9921", "--top", "0", "--height", "14031"}, 0, {}},
      {"model=fi-7280", {"--flatbed", "--rgb", "--resolution", "150", "--paper-width", "9921", "--paper-height", "14031"}, 0, {}},
      // The format follows the name's extension, in any letter case; without
      // one the default, TIFF, adds its own.
      {"model=fi-6130;sheets=1", {}, 0, {"1 page scanned into "}, "named.pdf", 1},
      {"model=fi-6130;sheets=1", {}, 0, {"1 page scanned into "}, "Named.TIF", 1},
      {"model=fi-6130;sheets=1", {}, 0, {"unnamed.tif (1 page)\n"}, "unnamed.tif", 1},
      // Appending counts the file's pages and numbers them as it does.
      {"model=fi-6130;sheets=2", {"--append"}, 0,
       {"named.pdf (3 pages, 2 added)\n", "2 pages scanned and added to ", "named.pdf, which now holds 3 pages.\n"}, "named.pdf", 3},
      {"model=fi-6130;sheets=3;faults=unplug=2", {"--no-jpeg", "--append"}, 9,
       {"Named.TIF (3 pages, 2 added)\n", "which now holds 3 pages; the last, page 3, is incomplete.\n",
        "The last page, page 3, is incomplete"},
       "Named.TIF", 3},
      // A fault leaves the scanner's text first, then which sheet was not
      // scanned and what to do.
      {"model=fi-6130;sheets=3;faults=jam=2", {"--append"}, 6,
       {"Paper jam detected (Cmd_ReadImage 03:80:01)\n", " was not scanned: clear the jam, put ",
        " and the sheets after it back into the feeder and scan them with --append; the page scanned before it was added to "},
       "named.pdf", 4, 2},
      {"model=fi-6130;sheets=3;faults=doublefeed=1", {"--double-feed", "tl"}, 6,
       {"Double feed error (Cmd_ReadImage 03:80:07)\n", " was not scanned: check for sheets stuck together, put ",
        " back into the feeder and scan them again; no page was written.\n"},
       "double.pdf", -1, 1},
      {"model=fi-6130;sheets=4;faults=coveropen=3", {"--duplex"}, 6,
       {"cover is open (Cmd_ObjectPosition 03:80:02)\n", " was not scanned: close the feeder cover, put ",
        "scan them with --append; the 4 pages scanned before it are in "},
       "cover.tif", 4, 3},
      // The desktop application sends its line-art settings with --turbo 0.
      {"model=fi-6130;sheets=1", {"--mono", "--turbo", "0", "--threshold", "128", "--despeckle", "5", "--dtc", "d"}, 0,
       {"quirel: note: --threshold and --despeckle and --dtc d change nothing with --turbo"}},
      {"model=fi-6130;sheets=1", {"--auto-length", "--rotate-f-f", "--top", "600"}, 0,
       {"quirel: note: --top changes nothing with --auto-length and a half turn"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string args;
    for (const auto& a : c.args) args += a + " ";
    SCOPED_TRACE(std::string(c.scanner) + " " + args);
    std::vector<std::string> all = gray;
    all.insert(all.end(), c.args.begin(), c.args.end());
    const std::string path = dir.File(c.name ? c.name : "limits" + std::to_string(++n) + ".pdf");
    if (!c.name) all.push_back("--pdf");
    all.push_back(path);
    ToolRun run = Traced(c.scanner, all);
    EXPECT_EQ(run.exitStatus, c.status) << run.out << run.err;
    for (const auto& text : c.texts) EXPECT_TRUE(Has(c.status == 4 ? run.err : run.out + run.err, text)) << run.out << run.err;
    if (c.sheet > 0) {
      EXPECT_TRUE(Has(run.err, "Sheet " + std::to_string(c.sheet) + " was not scanned") ||
                  Has(run.err, "The sheet that failed was not scanned"))
          << run.err;
    }
    if (c.name) {
      FileCheck check = CheckFile(path);
      EXPECT_EQ(check.pages, c.pages) << check.report;
      EXPECT_TRUE(check.sound || c.pages < 0) << check.report;
    } else if (c.status != 0) {
      ExpectScannerUntouched(run);
      EXPECT_FALSE(Exists(path));
    } else if (c.texts.empty()) {
      EXPECT_EQ(run.err, "");
      EXPECT_TRUE(Has(run.out, "1 page scanned into " + path + ".")) << run.out;
    }
  }
}

// quirel: scans from Fujitsu document scanners into PDF or TIFF files, and
// answers the desktop application's questions about attached scanners.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "FujiScanEnums.h"
#include "ProcessSetup.h"
#include "ToolArgs.h"
#include "ToolQueries.h"
#include "ToolScan.h"
#include "ToolStatus.h"

#include "VirtualScanner.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: quirel [scan options] OUTPUT-FILE\n"
               "       quirel --enumerate\n"
               "       quirel --capabilities LOCATION\n"
               "       quirel --help | --version\n"
               "\n"
               "Queries:\n"
               "  --enumerate            list the supported scanners attached: model, USB vendor,\n"
               "                         product and location ids in hexadecimal\n"
               "  --capabilities LOC     print the limits of the scanner at USB location LOC\n"
               "                         (as --enumerate prints it)\n"
               "\n"
               "Scan options (lengths in 1/1200 inch, of the page as it comes out: with a quarter\n"
               "turn the width runs along the sheet's length, and with any turn the scan area is\n"
               "measured from the top left corner of the page as it comes out):\n"
               "  --adf | --flatbed      paper from the document feeder (default) or the flatbed\n"
               "  --mono | --gray | --rgb   line art (default), gray or colour\n"
               "  --bits N               bits per sample: 1 for line art, 4 or 8 for gray and colour\n"
               "  --resolution DPI       resolution (default 300)\n"
               "  --turbo SCALE          line art scanned as gray at the resolution divided by SCALE\n"
               "                         (1 to 16; 0 lets the scanner's speeds choose) and thresholded\n"
               "                         here: --threshold, --despeckle and --dtc then change nothing\n"
               "                         (a note says so), and --no-jpeg is refused\n"
               "  --paper-width N        paper width (default 10200, 8.5 in; 13200 when turned)\n"
               "  --paper-height N       paper height (default 13200, 11 in; 10200 when turned)\n"
               "  --auto-length          detect the paper length (feeder; not with a quarter turn nor\n"
               "                         with --height)\n"
               "  --duplex               scan both sides (feeder only)\n"
               "  --skip-first           duplex: do not write the job's first side (feeder only)\n"
               "  --skip-last            duplex: do not write the job's last back side (feeder only)\n"
               "  --rotate-F-B           turn fronts (F) and backs (B): n none, l left, r right,\n"
               "                         f turn over; e.g. --rotate-r-l\n"
               "  --left N --width N --top N --height N   scan area on the page (default: all), at\n"
               "                         least one pixel wide and long; turned, it must lie on the page.\n"
               "                         A duplex back turned otherwise than its front (r-l, l-r, n-f,\n"
               "                         f-n) gets the area from its bottom right corner\n"
               "  --double-feed n|t|l|tl double-feed detection by thickness and/or length (default t)\n"
               "  --dtc d                line art: the scanner's dynamic threshold\n"
               "  --threshold N          line art: fixed threshold; its low byte counts (N modulo 256),\n"
               "                         and 0 is the scanner's default\n"
               "  --despeckle N          line art: despeckle; 1..100 sets its strength, above 100 the\n"
               "                         resolution chooses it (0: off)\n"
               "  --density F            line art: density factor for the calculated threshold\n"
               "  --black N --white N    gray and colour: black and white points 0..255; a white point\n"
               "                         at or below the black point makes a hard step\n"
               "  --pdf | --tiff         output format (one of them); without either, the output\n"
               "                         file's extension chooses (.pdf, .tif, .tiff, any case), else TIFF\n"
               "  --compress zlib|none   TIFF: Deflate for gray and colour pages\n"
               "  --append               add the pages to an existing file\n"
               "  --pages-per-file N     start a new numbered file every N pages\n"
               "  --no-jpeg              never let the scanner send JPEG\n"
               "  --location LOC         scan on the scanner at this USB location (default: the first)\n"
               "  --preview W H          write page previews of at most W x H pixels into a FIFO\n"
               "                         whose path is printed as \"preview fifo: PATH\"\n"
               "\n"
               "  --verbose              trace the engine's work on standard error\n"
               "  --help                 this text\n"
               "  --version              the program's version\n"
               "\n"
               "N, W, H and DPI are written in decimal digits only (no sign, no blanks); F and SCALE\n"
               "may have a decimal point (1.5).\n"
               "\n"
               "Progress goes to standard output, the summary last; a failure's text goes to\n"
               "standard error. Ctrl-C (SIGINT), SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2,\n"
               "SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU and SIGPWR stop the scan; pages already\n"
               "scanned stay in the file.\n"
               "\n"
               "Exit status: 0 done (also after a stop that left no sheet unscanned); 8 stopped\n"
               "on request, sheets may be left in the feeder; 6 a sheet was not scanned (jam,\n"
               "double feed, cover open; the message names it) or double feeds were noted;\n"
               "9 pages written, then a problem; 1 the engine cannot start; 2 no scanner; 3 the\n"
               "scanner's check failed; 4 the scan failed, or the job does not fit the model;\n"
               "5 the output cannot be made or appended to; 10 a page would pass the format's\n"
               "size limit or the file-size limit (ulimit -f); 11 disk full; 12 another write\n"
               "failure; 64 malformed command line; 69 no USB bus.\n"
               "Environment: QUIREL_VIRTUAL_SCANNER replaces the USB bus by virtual scanners\n"
               "(see the README). Paper sizes, file naming and exit statuses: man quirel.\n");
}

}  // namespace

namespace {

int Run(int argc, char** argv) {
  using namespace quirel::tool;
  quirel::virt::RegisterVirtualScanner();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintUsage(stderr);
    return kScanUsage;
  }
  ToolOptions options;
  std::string error;
  if (!ParseToolArgs(args, &options, &error)) {
    std::fprintf(stderr, "quirel: %s\n", error.c_str());
    return kScanUsage;
  }
  ZuzuvovOvav::gVerbose = options.verbose;
  switch (options.mode) {
    case ToolOptions::Mode::kHelp:
      PrintUsage(stdout);
      return kScanOK;
    case ToolOptions::Mode::kVersion:
      std::printf("quirel %s\n", QUIREL_VERSION);
      return kScanOK;
    case ToolOptions::Mode::kEnumerate:
      return ListScanners(stdout, stderr);
    case ToolOptions::Mode::kCapabilities:
      return PrintCapabilities(options.capabilitiesLocation, stdout, stderr);
    case ToolOptions::Mode::kScan: {
      const int status = RunScan(options, stdout, stderr);
      // After the scan, so that a failure's own text comes first.
      for (const std::string& note : options.notes) std::fprintf(stderr, "quirel: note: %s.\n", note.c_str());
      return status;
    }
    case ToolOptions::Mode::kNone:
      break;
  }
  std::fprintf(stderr, "quirel: nothing to do (see quirel --help)\n");
  return kScanUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any file is opened: a closed standard stream must not become the
  // output file.
  quirel::host::KeepStandardStreamsOpen();
  // A failure to allocate or to start a thread ends the tool with status 1
  // and a message, never with an abort.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "quirel: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quirel: %s\n", e.what());
  } catch (const char* what) {
    std::fprintf(stderr, "quirel: %s\n", what);
  }
  return quirel::tool::kScanNotStarted;
}

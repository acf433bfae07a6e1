// quirel: scans from Fujitsu document scanners into PDF or TIFF files, and
// answers the desktop application's questions about attached scanners.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FujiScanEnums.h"
#include "ToolArgs.h"
#include "ToolQueries.h"
#include "ToolScan.h"
#include "ToolStatus.h"

#ifdef QUIREL_HAVE_VIRTUAL
#include "VirtualScanner.h"
#endif

#ifndef QUIREL_VERSION
#define QUIREL_VERSION "0.1.0"
#endif

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: quirel --enumerate\n"
               "       quirel --capabilities LOCATION\n"
               "       quirel --help | --version\n"
               "\n"
               "  --enumerate            list the supported scanners attached: model, USB vendor,\n"
               "                         product and location ids in hexadecimal\n"
               "  --capabilities LOC     print the limits of the scanner at USB location LOC\n"
               "                         (as --enumerate prints it)\n"
               "  --verbose              trace the engine's work on standard error\n"
               "  --help                 this text\n"
               "  --version              the program's version\n"
               "\n"
               "Environment: QUIREL_VIRTUAL_SCANNER replaces the USB bus by virtual scanners\n"
               "(see the README).\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quirel::tool;
#ifdef QUIREL_HAVE_VIRTUAL
  quirel::virt::RegisterVirtualScanner();
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  ToolOptions options;
  std::string error;
  if (!ParseToolArgs(args, &options, &error)) {
    std::fprintf(stderr, "quirel: %s\n", error.c_str());
    return kExitUsage;
  }
  ZuzuvovOvav::gVerbose = options.verbose;
  switch (options.mode) {
    case ToolOptions::Mode::kHelp:
      PrintUsage(stdout);
      return kExitOK;
    case ToolOptions::Mode::kVersion:
      std::printf("quirel %s\n", QUIREL_VERSION);
      return kExitOK;
    case ToolOptions::Mode::kEnumerate:
      return ListScanners(stdout, stderr);
    case ToolOptions::Mode::kCapabilities:
      return PrintCapabilities(options.capabilitiesLocation, stdout, stderr);
    case ToolOptions::Mode::kScan:
      return RunScan(options, stdout, stderr);
    case ToolOptions::Mode::kNone:
      break;
  }
  std::fprintf(stderr, "quirel: nothing to do (see quirel --help)\n");
  return kExitUsage;
}

// A scan run by the command-line tool: the engine's scan job with progress
// on standard output, the failure text on standard error, the preview FIFO,
// and SIGINT as the stop request.
#pragma once

#include <cstdio>

#include "ToolArgs.h"

namespace quirel::tool {

// Runs the scan and returns the tool's exit status.
int RunScan(ToolOptions& options, FILE* out, FILE* err);

}  // namespace quirel::tool

// What the tool checks before a scan feeds paper: that the output can be
// made, that a scanner is attached where asked and can be opened, and that
// the job fits the attached model. Each check prints on `err` what failed,
// with the path, limit or cause, and what to do, and returns the tool's exit
// status; 0 lets the scan go on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "FujiScanParams.h"

namespace quirel::tool {

// The output path, as the engine checks it before a scan (OutputCheck.h),
// with the tool's own way out where it depends on the options, and the
// temporary folder when previews are asked for. Returns 0, 5, or 8 when a
// stop ended the wait for another program's lock on the file.
int CheckOutput(const ZuzuvovOvav::ScanParams& params, FILE* err);

// The scanner the job will use: the first supported one, or the one at
// `location` when it is not 0. Waits for one to appear as long as the scan
// job would (about 9 seconds), then opens and closes it once so that a
// permission problem or another program holding it is told before the job
// starts. `stopped` ends the wait early. On success *productId is the
// model's product id. A wait longer than a second is told on `out`, once for
// each kind. Returns 0, 2 (none, or not openable) or 8 (stopped).
int FindScanner(uint32_t location, bool verbose, const std::function<bool()>& stopped, uint32_t* productId,
                FILE* out, FILE* err);

// The job as asked for against the model's limits, as the scan window
// checks them (ScanParams::FirstExceededLimit): the flatbed on a model
// without one, a paper or scan area beyond the feeder's (or flatbed's)
// width, or its length at the resolution asked for. Returns 0 or 4.
int CheckLimits(const ZuzuvovOvav::ScanParams& params, uint32_t productId, FILE* err);

}  // namespace quirel::tool

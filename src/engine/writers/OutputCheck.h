// OutputCheck: what stands in the way of a job's output, found before the
// scanner is touched, so that a file that cannot be made or appended to
// never costs a sheet. A new file needs a folder that exists and can be
// written, and its path must not be a folder; a file to append to must be
// an existing regular file of the job's format that can be read and
// written, and must pass the same checks its format writer runs when it
// opens an append target. Nothing is written, locked or created.
#pragma once

#include <cstdint>
#include <string>

#include "FujiScanParams.h"

namespace ZuzuvovOvav {

struct OutputCheck {
  // Where the way out depends on how the caller asked for the output, it
  // is the caller's to add: kNewFile when there is no file to append to,
  // kOtherFormat when the file to append to is of the other format.
  enum class Remedy { kNone, kNewFile, kOtherFormat };

  int32_t mStatus = 0;  // 0, or kStatusFileError
  // What failed, with the path and the cause, and what to do where that
  // does not depend on the caller; empty when nothing failed.
  std::string mText;
  Remedy mRemedy = Remedy::kNone;
};

// The file the job's first page goes into: the output path completed as
// the image writer completes it, numbered as the first file when pages are
// split over several files.
std::string FirstOutputFile(const ScanParams& params);

// Checks the output of the job `params` describes (nothing to check when
// it has no path: the writer then makes a temporary file).
OutputCheck CheckOutputTarget(const ScanParams& params);

}  // namespace ZuzuvovOvav

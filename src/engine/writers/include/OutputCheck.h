// OutputCheck: what stands in the way of a job's output, found before the
// scanner is touched, so that a file that cannot be made or appended to
// never costs a sheet. A new file needs a folder that exists and can be
// written, a name that fits the folder's limit (with the hidden name it is
// built under), and at its path nothing but a regular file this user could
// write, or a link; a file to append to must be an existing regular file of
// the job's format that can be read and written, and must pass the same
// checks its format writer runs when it opens an append target. Split files
// are checked up to the longest name the job can reach; appending to split
// files checks the whole series (see ImageWriter). Nothing is written or
// created but this user's temporary folder where the job needs one.
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

  int32_t mStatus = 0;  // 0, or kScanFileError
  // What failed, with the path and the cause, and what to do where that
  // does not depend on the caller; empty when nothing failed.
  std::string mText;
  Remedy mRemedy = Remedy::kNone;
  // The wait for another program's lock on the file was ended by the stop
  // request: nothing was found wrong, and the caller ends as stopped.
  bool mStopped = false;
};

// Split files are numbered by their first page; their names are checked for
// jobs of up to this many pages.
constexpr int32_t kSplitCheckPages = 999999;

// The file the job's first page goes into: the output path completed as
// the image writer completes it, numbered as the first file when pages are
// split over several files.
std::string FirstOutputFile(const ScanParams& params);

// Checks the output of the job `params` describes; without a path, the
// temporary folder the writer then makes its file in.
OutputCheck CheckOutputTarget(const ScanParams& params);

// This user's temporary folder, made if need be; `purpose` says in the text
// what the job needs it for.
OutputCheck CheckTemporaryFolder(const std::string& purpose);

}  // namespace ZuzuvovOvav

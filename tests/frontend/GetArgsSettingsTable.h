// The table of scan settings that the tool's end-to-end test and the workflow action's mapping test both run through.
#pragma once

#include <functional>
#include <vector>

#include "Quirel_Settings.h"

namespace quirel::frontend::test {

// Resolution of every row and of the test pages fed to the scanner.
constexpr int kGetArgsDpi = 100;

struct GetArgsRow {
  const char* name;
  const char* model;
  int sheets;
  std::function<void(Quirel_Settings&)> set;
  int pages;  // pages the file must hold
  bool metric = false;
  bool preview = false;
};

inline const std::vector<GetArgsRow>& GetArgsRows() {
  using S = Quirel_Settings;
  static const std::vector<GetArgsRow> rows = {
      {"line art, default threshold, PDF", "fi-6770", 2, [](S&) {}, 2},
      {"line art in millimetres", "fi-6770", 1, [](S&) {}, 1, true},
      {"gray 4 bits, duplex, plain TIFF", "fi-6770", 2, [](S& s) { s.mScanTypeTag = 4, s.mDuplex = true, s.mFileType = 1; }, 4},
      {"gray 8 bits, turned right, flipped backs", "fi-7160", 2,
       [](S& s) { s.mScanTypeTag = 8, s.mDuplex = s.mFlipBacks = true, s.mOrientation = 1; }, 4},
      {"colour 8 bits, half turn, TIFF with Deflate", "fi-6770", 1,
       [](S& s) { s.mScanTypeTag = 24, s.mDuplex = true, s.mOrientation = 2, s.mFileType = 3; }, 2},
      {"colour 4 bits, turned left, flipped backs", "fi-6770", 1,
       [](S& s) { s.mScanTypeTag = 12, s.mDuplex = s.mFlipBacks = true, s.mOrientation = 3; }, 2},
      {"line art fed wide", "fi-6770", 1, [](S& s) { s.mDuplex = true, s.mOrientation = 4; }, 2},
      {"gray fed wide, turned right", "fi-7160", 1, [](S& s) { s.mScanTypeTag = 8, s.mDuplex = true, s.mOrientation = 5; }, 2},
      {"colour fed wide, half turn, flipped backs", "fi-6770", 1,
       [](S& s) { s.mScanTypeTag = 24, s.mDuplex = s.mFlipBacks = true, s.mOrientation = 6; }, 2},
      {"line art fed wide, turned left, TIFF", "fi-6770", 1,
       [](S& s) { s.mDuplex = true, s.mOrientation = 7, s.mFileType = 3; }, 2},
      {"flatbed, turned right", "fi-6230", 3, [](S& s) { s.mFlatbed = true, s.mScanTypeTag = 8, s.mOrientation = 1; }, 1},
      {"automatic length", "fi-7160", 2, [](S& s) { s.mAutoLength = true, s.mPaperLength = 11; }, 2},
      {"skip first and last", "fi-6770", 2, [](S& s) { s.mDuplex = s.mSkipFirst = s.mSkipLast = true; }, 2},
      {"dynamic threshold", "fi-6770", 1, [](S& s) { s.mDefaultThreshold = false, s.mDynamicThreshold = true; }, 1},
      {"fixed threshold 300 and despeckle 300", "fi-6770", 1,
       [](S& s) { s.mDefaultThreshold = false, s.mThreshold = 300, s.mDespeckle = 300; }, 1},
      {"density", "fi-6770", 1, [](S& s) { s.mDensityThreshold = true, s.mDensityFactor = 1.5; }, 1},
      {"black point above white point", "fi-6770", 1, [](S& s) { s.mScanTypeTag = 8, s.mBlackPoint = 200, s.mWhitePoint = 100; }, 1},
      {"previews", "fi-7160", 2, [](S& s) { s.mScanTypeTag = 24, s.mDuplex = true, s.setPreviewSize(30, 42); }, 4, false, true},
      {"fed wide, flipped backs, first page skipped, thickness only", "fi-6770", 2,
       [](S& s) { s.mDuplex = s.mFlipBacks = s.mSkipFirst = true, s.mOrientation = 4, s.mDoubleLength = false; }, 3},
  };
  return rows;
}

// The settings of a row: the defaults at kGetArgsDpi on a small sheet (1.6
// by 2.24 inches, given in the row's unit), then the row's own changes. The
// thread's measurement system must already be the row's (metric or not).
inline void ApplyGetArgsRow(const GetArgsRow& row, Quirel_Settings& s) {
  s = Quirel_Settings();
  const double unitLength = row.metric ? 25.4 : 1;
  s.mResolution = kGetArgsDpi;
  s.mPaperWidth = 1.6 * unitLength;
  s.mPaperLength = 2.24 * unitLength;
  row.set(s);
}

}  // namespace quirel::frontend::test

// ScanResultsWrapper: a scan's results carried whole from the engine's scan thread to the main thread.
#pragma once

#include "ScanResults.h"

namespace quirel::action {

// A full copy of the engine's ScanResults, so the record outlives the
// engine's own (which belongs to the job and its scan thread). Starts as the
// results of a scan that never reported: status -1, no pages, no text.
class ScanResultsWrapper {
 public:
  ScanResultsWrapper() { mScanResults.mStatus = -1; }
  static ScanResultsWrapper createWithScanResults(const ZuzuvovOvav::ScanResults* results) {
    ScanResultsWrapper wrapper;
    if (results) wrapper.mScanResults = *results;
    return wrapper;
  }
  const ZuzuvovOvav::ScanResults* scanResults() const { return &mScanResults; }
  ZuzuvovOvav::ScanResults* scanResults() { return &mScanResults; }

 private:
  ZuzuvovOvav::ScanResults mScanResults;
};

}  // namespace quirel::action

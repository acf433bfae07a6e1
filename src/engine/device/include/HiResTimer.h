// HiResTimer: seconds from the monotonic host clock, with lap and stop totals.
//
// A timer belongs to one thread.
#pragma once

class HiResTimer {
 public:
  HiResTimer() : mStart(GetSeconds()) {}

  static double GetSeconds();

  double DoElapsed() const { return mNow - mStart; }
  void DoLap() {
    mLap = mNow - mStart;
    mStart = mNow;
    mTotal += mLap;
  }
  void DoStop() {
    mLap = mNow - mStart;
    mStart = 0;
    mTotal += mLap;
  }

  double mStart = 0;  // start of the current lap
  double mNow = 0;    // latest reading, stored by the caller
  double mLap = 0;    // the last lap
  double mTotal = 0;  // sum of the laps
};

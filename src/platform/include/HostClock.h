// The host's monotonic clock and sleeping, replaceable in tests.
//
// The command transport paces commands and times out reads against this
// clock; tests install a fake clock whose sleeps advance time, so that
// time-outs of 29 seconds are simulated instead of waited for.
#pragma once

#include <cstdint>

namespace quirel::host {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t NowNanos() = 0;
  virtual void SleepMicros(uint64_t micros) = 0;
};

// Nanoseconds of CLOCK_MONOTONIC (or of the test clock).
uint64_t MonotonicNanos();
inline uint64_t MonotonicMicros() { return MonotonicNanos() / 1000; }
// Sleeps the calling thread (or advances the test clock).
void SleepMicros(uint64_t micros);

// Installs a clock for tests; null restores the host clock. Not thread-safe:
// call it while no engine thread runs.
void SetClockForTesting(Clock* clock);

}  // namespace quirel::host

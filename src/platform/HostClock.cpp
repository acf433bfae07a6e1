// The host's monotonic clock and sleeping, or the clock a test installed.
#include "HostClock.h"

#include <ctime>
#include <cerrno>

namespace quirel::host {

namespace {
Clock* gTestClock = nullptr;
}

uint64_t MonotonicNanos() {
  if (gTestClock) return gTestClock->NowNanos();
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void SleepMicros(uint64_t micros) {
  if (gTestClock) {
    gTestClock->SleepMicros(micros);
    return;
  }
  timespec ts{time_t(micros / 1000000), long(micros % 1000000) * 1000};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void SetClockForTesting(Clock* clock) { gTestClock = clock; }

}  // namespace quirel::host

// HiResTimer: the monotonic host clock in seconds.
#include "HiResTimer.h"

#include "HostClock.h"

double HiResTimer::GetSeconds() { return double(quirel::host::MonotonicNanos()) * 1e-9; }

// The host's processor counts, as the engine sizes its queues and sampling.
#pragma once

namespace quirel::host {

// Logical processors of the machine (configured, not just online now),
// at least 1 even when the query fails.
int LogicalCpuCount();

// Processor cores of the machine: distinct (package, core) pairs of the
// logical processors; the logical count where the kernel does not say.
int PhysicalCpuCount();

}  // namespace quirel::host

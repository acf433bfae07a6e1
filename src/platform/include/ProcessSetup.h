// What a program of this system sets up first, before it opens any file:
// standard streams that exist, and the signals that stop a scan.
#pragma once

namespace quirel::host {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that no file opened later takes one of them and receives the program's
// progress lines or reads its input. A program started with standard
// output closed (by a daemon, cron, `>&-`) would otherwise write its
// messages into its output file.
void KeepStandardStreamsOpen();

// The signals a user or the system commonly sends to end a program: the
// terminal hanging up (SIGHUP), Ctrl-C and Ctrl-\ (SIGINT, SIGQUIT),
// SIGTERM, the user signals, timers (SIGALRM, SIGVTALRM, SIGPROF), the CPU
// time limit (SIGXCPU) and a power failure (SIGPWR). Each calls `handler`,
// which must be async-signal-safe; they are unblocked in the calling thread.
// SIGPIPE and SIGXFSZ are ignored: a reader that went away and a write past
// the file-size limit (ulimit -f) are then failed writes that the writer
// reports, instead of ending the process mid-file. `restartCalls` sets
// SA_RESTART.
void HandleStopSignals(void (*handler)(int), bool restartCalls);

}  // namespace quirel::host

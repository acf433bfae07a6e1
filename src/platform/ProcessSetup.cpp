// Standard streams kept open, and the stop signals taken.
#include "ProcessSetup.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace quirel::host {

namespace {

constexpr int kStopSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR};

}  // namespace

void KeepStandardStreamsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: the lower ones are open.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

void HandleStopSignals(void (*handler)(int), bool restartCalls) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  // One stop request at a time: the others wait while the handler runs.
  for (int sig : kStopSignals) sigaddset(&sa.sa_mask, sig);
  sa.sa_flags = restartCalls ? SA_RESTART : 0;
  sigset_t unblock;
  sigemptyset(&unblock);
  for (int sig : kStopSignals) {
    sigaction(sig, &sa, nullptr);
    sigaddset(&unblock, sig);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  sigaction(SIGXFSZ, &ignore, nullptr);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

}  // namespace quirel::host

// The front end's log lines, to the system log or to a test's collector.
#include "FrontendLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <syslog.h>
#include <vector>

namespace quirel::frontend {

namespace {

std::mutex gLogMutex;
std::function<void(const std::string&)> gSink;

}  // namespace

void SetLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  gSink = std::move(sink);
}

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> text(size_t(n > 0 ? n : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);

  std::lock_guard<std::mutex> lock(gLogMutex);
  if (gSink) {
    gSink(std::string(text.data()));
    return;
  }
  // openlog is not called: syslog takes the program's name as its ident.
  syslog(LOG_NOTICE, "%s", text.data());
}

}  // namespace quirel::frontend

#include "GuiLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <syslog.h>
#include <vector>

namespace {
std::mutex gSinkMutex;
std::function<void(const std::string&)> gSink;
}  // namespace

void SetGuiLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  gSink = std::move(sink);
}

void GuiLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> text(size_t(n > 0 ? n : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(gSinkMutex);
  if (gSink)
    gSink(std::string(text.data()));
  else
    syslog(LOG_NOTICE, "%s", text.data());
}

// The application's log lines (printf-style), written to the system log.
// Tests install a sink to read them instead.
#pragma once

#include <functional>
#include <string>

void GuiLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the system log with `sink` (an empty function restores it).
void SetGuiLogSink(std::function<void(const std::string&)> sink);

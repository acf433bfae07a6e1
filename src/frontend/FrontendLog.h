// The front end's log: one printf-style function whose lines go to the
// system log under the program's name. Tests install a sink to read the
// lines instead. Thread-safe.
#pragma once

#include <functional>
#include <string>

namespace quirel::frontend {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends every later line to `sink` instead of the system log; an empty
// function restores the system log.
void SetLogSink(std::function<void(const std::string&)> sink);

}  // namespace quirel::frontend

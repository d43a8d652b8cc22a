// Console output: where the server's lines go, and the time format they use.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace dirserver {

class ConsoleQueue;

// The two streams every console line goes to: progress on `out`, errors and warnings on `err`.
// The server's feed a ConsoleQueue on the process's standard streams (see processConsole); tests
// hand in streams of their own.
struct Console {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  // What the streams feed, when they feed a queue: for grouping lines (ConsoleGroup) and for the
  // count of lines dropped.
  ConsoleQueue* queue = nullptr;
};

// A time as local time in the classic asctime form, 25 characters with the line end:
// "Sun Dec 06 08:24:08 2026\n". Weekday and month are English whatever the locale, and the day
// of the month has a leading zero ("06", never " 6"). Takes the full-width clock value, so dates
// after January 2038 print correctly.
std::string asctimeText(std::int64_t secondsSince1970);

}  // namespace dirserver

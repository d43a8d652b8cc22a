// What the kernel says about the server's own process, for the metrics that every Prometheus
// client library exports by default (process_cpu_seconds_total, process_resident_memory_bytes,
// process_open_fds, process_max_fds, process_start_time_seconds).
#pragma once

#include <cstdint>
#include <optional>

namespace dirserver {

struct ProcessFigures {
  double cpuSeconds = 0;              // user and system time of every thread so far
  std::uint64_t residentBytes = 0;    // memory the process holds in RAM
  std::uint64_t openDescriptors = 0;  // descriptors open now
  std::uint64_t maxDescriptors = 0;   // the soft limit on them
  double startTimeSeconds = 0;        // when the process started, in seconds since 1970
};

// Reads the figures from /proc/self/stat and /proc/self/fd and the descriptor limit; the start
// time is reckoned from the boot-time clock, so no file outside /proc/self is needed (a sandbox
// may hide the rest of /proc). Returns nullopt when /proc/self cannot be read. Safe on any
// thread; costs a directory listing as long as the open descriptors.
std::optional<ProcessFigures> readProcessFigures();

}  // namespace dirserver

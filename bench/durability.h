// What the disk costs per change and how soon an acknowledged change is durable: the heartbeat
// workload (hosts re-registering on a period, some new hosts and shutdowns) with the server's
// write bytes and its own acknowledgement-to-durable histogram, and the kill test (SIGKILLs in
// the middle of register and shutdown streams, each followed by a restart that must list every
// acknowledged change but the youngest).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace dirserver::bench {

// The samples of a Prometheus text exposition, by their full name with labels
// ("dirserver_commits_total", "dirserver_ack_to_durable_seconds_bucket{le=\"0.005\"}").
std::map<std::string, double> parseMetrics(std::string_view text);

// The server's /metrics page on 127.0.0.1:`httpPort`, parsed; empty when it cannot be had within
// 30 s.
std::map<std::string, double> scrapeMetrics(std::uint16_t httpPort);

// The quantile `q` of the histogram `family` between two scrapes, as the upper bound of the bucket
// it falls in (seconds); -1 when nothing was observed between them, infinity past the last bound.
double histogramQuantile(const std::map<std::string, double>& before,
                         const std::map<std::string, double>& after, const std::string& family,
                         double q);

// The "write_bytes" of a /proc/PID/io text; 0 when it has none.
std::uint64_t ioWriteBytes(std::string_view io);

// Sectors written by the device with these numbers, from a /proc/diskstats text, in bytes; 0 when
// it is not listed.
std::uint64_t deviceWrittenBytes(std::string_view diskstats, unsigned major, unsigned minor);

// Runs the heartbeat workload for each size in options.heartbeat and prints its table.
void runHeartbeat(const Options& options, const std::filesystem::path& base);

// Runs options.kills kills and prints their figures.
void runKillTest(const Options& options, const std::filesystem::path& base);

}  // namespace dirserver::bench

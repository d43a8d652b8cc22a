// What the benchmark prints: progress notes, plain-text tables and the cells and number formats
// they use. Every table goes through TextTable and printTable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "latency.h"
#include "load.h"

namespace dirserver::bench {

// Rows of cells printed in aligned columns: the first column left-aligned, the others
// right-aligned, two blanks between columns. A row with fewer cells than the header is padded
// with empty cells.
class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header) { rows_.push_back(std::move(header)); }

  void addRow(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }

  // The table, one line per row, each ending in a line feed; a rule of dashes under the header.
  std::string render() const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

// A rate, a time or a count: whole from 100 on, three significant digits below ("12345", "87.3",
// "0.512"); zero as "0".
std::string formatNumber(double value);

// A ratio to the baseline, as "0.82x" (tiny ones as "0.00012x").
std::string formatRatio(double ratio);

// A size in bytes: "380 B" below 1 KiB, else KiB or MiB with one decimal ("312.4 KiB").
std::string formatBytes(double bytes);

// A progress note on standard error, flushed at once: the tables go to standard output.
void progress(const std::string& line);

// Prints the table on standard output and flushes it, so that it shows before a long run that
// follows.
void printTable(const TextTable& table);

// The median of `values` (the upper one of an even count); 0 when there is none.
double median(std::vector<double> values);

// Cells.
// `value` as a ratio to `baseline` ("0.82x"); "-" when either is negative, infinite or the
// baseline is 0.
std::string ratioCell(double value, double baseline);
// "p50 / p99" in milliseconds; "-" without samples.
std::string latencyCell(const LatencySummary& latency);
// "p50 / p99 / max" in milliseconds; "-" without samples.
std::string fullLatencyCell(const LatencySummary& latency);
// Requests answered, with those that failed or were cut off when there are any
// ("1200, 3 failed, 1 cut off").
std::string countCell(std::uint64_t completed, std::uint64_t failed, std::uint64_t unfinished = 0);
// The cells of a workload's result: its rate with the ratio to a baseline's ("812 (0.84x)");
// its latency "p50 / p99" ("-" when nothing was answered); its p99 as a ratio to another's ("-"
// when either has none); its requests as countCell above.
std::string rateCell(const WorkloadResult& result, const WorkloadResult& baseline);
std::string latencyCell(const WorkloadResult& result);
std::string p99Ratio(const WorkloadResult& result, const WorkloadResult& reference);
std::string countCell(const WorkloadResult& result);
// Memory held, with its ratio to the memory held idle: "12.3 MiB (1.52x)"; "-" when `kib` is 0.
std::string memoryCell(std::uint64_t kib, std::uint64_t idleKiB);
// The upper bound of a histogram's bucket, given in seconds, in milliseconds ("<= 5.00"); "-"
// when negative (nothing observed), `pastLast` when infinite.
std::string bucketBoundCell(double seconds, const std::string& pastLast);

}  // namespace dirserver::bench

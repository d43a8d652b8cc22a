#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace dirserver::bench {

std::string TextTable::render() const {
  std::size_t columns = 0;
  for (const auto& row : rows_) columns = std::max(columns, row.size());
  std::vector<std::size_t> widths(columns, 0);
  for (const auto& row : rows_) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    std::string line;
    for (std::size_t i = 0; i < columns; ++i) {
      const std::string cell = i < rows_[r].size() ? rows_[r][i] : std::string();
      const std::string pad(widths[i] - cell.size(), ' ');
      if (i > 0) line += "  ";
      line += i == 0 ? cell + pad : pad + cell;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
    if (r == 0) {
      std::size_t total = 0;
      for (std::size_t width : widths) total += width;
      out += std::string(total + 2 * (columns - 1), '-') + "\n";
    }
  }
  return out;
}

std::string formatNumber(double value) {
  if (value == 0) return "0";
  // Decimals for three significant digits, chosen again after rounding: 9.9996 is "10.0".
  const auto decimalsFor = [](double v) { return v >= 100 ? 0 : v >= 10 ? 1 : v >= 1 ? 2 : 3; };
  int decimals = decimalsFor(value);
  const double scale = std::pow(10.0, decimals);
  decimals = decimalsFor(std::round(value * scale) / scale);
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string formatRatio(double ratio) {
  char text[32];
  const char* format = ratio >= 10 ? "%.0fx" : ratio >= 0.01 || ratio == 0 ? "%.2fx" : "%.5fx";
  std::snprintf(text, sizeof text, format, ratio);
  return text;
}

std::string formatBytes(double bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  } else if (bytes >= 1024.0 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
  } else {
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  }
  return text;
}

void progress(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void printTable(const TextTable& table) {
  std::fputs(table.render().c_str(), stdout);
  std::fflush(stdout);
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

std::string ratioCell(double value, double baseline) {
  if (value < 0 || baseline <= 0 || std::isinf(value) || std::isinf(baseline)) return "-";
  return formatRatio(value / baseline);
}

std::string latencyCell(const LatencySummary& latency) {
  if (latency.count == 0) return "-";
  return formatNumber(latency.p50) + " / " + formatNumber(latency.p99);
}

std::string fullLatencyCell(const LatencySummary& latency) {
  if (latency.count == 0) return "-";
  return formatNumber(latency.p50) + " / " + formatNumber(latency.p99) + " / " +
         formatNumber(latency.max);
}

std::string countCell(std::uint64_t completed, std::uint64_t failed, std::uint64_t unfinished) {
  std::string cell = std::to_string(completed);
  if (failed > 0) cell += ", " + std::to_string(failed) + " failed";
  if (unfinished > 0) cell += ", " + std::to_string(unfinished) + " cut off";
  return cell;
}

std::string rateCell(const WorkloadResult& result, const WorkloadResult& baseline) {
  return formatNumber(result.rate()) + " (" +
         formatRatio(baseline.rate() > 0 ? result.rate() / baseline.rate() : 0) + ")";
}

std::string latencyCell(const WorkloadResult& result) {
  if (result.completed == 0) return "-";
  return latencyCell(result.latency);
}

std::string p99Ratio(const WorkloadResult& result, const WorkloadResult& reference) {
  if (result.completed == 0 || reference.latency.p99 <= 0) return "-";
  return formatRatio(result.latency.p99 / reference.latency.p99);
}

std::string countCell(const WorkloadResult& result) {
  return countCell(result.completed, result.failed, result.unfinished);
}

std::string memoryCell(std::uint64_t kib, std::uint64_t idleKiB) {
  if (kib == 0) return "-";
  return formatBytes(kib * 1024.0) + " (" +
         formatRatio(idleKiB > 0 ? static_cast<double>(kib) / idleKiB : 0) + ")";
}

std::string bucketBoundCell(double seconds, const std::string& pastLast) {
  if (seconds < 0) return "-";
  if (std::isinf(seconds)) return pastLast;
  return "<= " + formatNumber(seconds * 1000);
}

}  // namespace dirserver::bench

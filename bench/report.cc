#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

}  // namespace dirserver::bench

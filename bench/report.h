// Plain-text tables and the number formats they use.
#pragma once

#include <string>
#include <vector>

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

}  // namespace dirserver::bench

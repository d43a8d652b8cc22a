#include "protocol/outcome.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace dirserver {
namespace {

// The journal tells a line's priority from how it starts; each row must say what the journal will
// make of its line, and name a metric label of its own.
TEST(FaultTable, EachRowsPriorityIsTheJournalsAndItsLabelIsItsOwn) {
  std::set<std::string_view> labels;
  for (const FaultRow& row : kFaults) {
    const std::string line = row.line;
    EXPECT_EQ(errorLinePriority(line), row.priority) << line;
    EXPECT_TRUE(line.ends_with('\n')) << line;
    EXPECT_TRUE(labels.insert(row.label).second) << row.label;
    for (const char c : row.label) EXPECT_TRUE((c >= 'a' && c <= 'z') || c == '_') << row.label;
  }
}

}  // namespace
}  // namespace dirserver

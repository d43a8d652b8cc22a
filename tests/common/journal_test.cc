// Console lines for the journal: every line's priority prefix, however the lines are cut into
// pieces, and the recognition of the journal's stream.
#include "common/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"

namespace dirserver {
namespace {

TEST(PriorityLines, ErrorLinesGetTheirPriorityAndTheOutStreamIsAllProgress) {
  const std::string lines =
      "+error: bind() error\n"
      "- could not save server list\n"
      "+warning: unhandled msg type: 0x07\n"
      "- server list is damaged (cut short): kept 1 servers read before it; moved aside\n"
      "- server list saved, but its directory could not be synced\n"
      "- starting with empty server list\n"
      "+errors are not errors without the colon\n"
      "- server\n"
      "\n"
      "<3>looks like a priority\n";
  PriorityLines err(true), out(false);
  std::string errText, outText;
  err.add(lines, errText);
  out.add(lines, outText);
  EXPECT_EQ(errText,
            "<3>+error: bind() error\n"
            "<3>- could not save server list\n"
            "<4>+warning: unhandled msg type: 0x07\n"
            "<4>- server list is damaged (cut short): kept 1 servers read before it; moved aside\n"
            "<4>- server list saved, but its directory could not be synced\n"
            "<6>- starting with empty server list\n"
            "<6>+errors are not errors without the colon\n"
            "<6>- server\n"
            "<6>\n"
            "<6><3>looks like a priority\n");
  std::string expected;
  for (std::size_t start = 0; start < lines.size();) {
    const std::size_t end = lines.find('\n', start) + 1;
    expected += "<6>" + lines.substr(start, end - start);
    start = end;
  }
  EXPECT_EQ(outText, expected);
}

TEST(PriorityLines, ALineCutIntoPiecesGetsOnePrefixFromItsStart) {
  PriorityLines err(true);
  std::string text;
  // The server prints a host's line in two calls; a flush between them must not start a line.
  err.add("name: Bob ", text);
  EXPECT_EQ(text, "<6>name: Bob ");
  err.add(" open\n+err", text);
  // "+err" could still become "+error:": held back until it is known.
  EXPECT_EQ(text, "<6>name: Bob  open\n");
  err.add("or: recv() error - msg size\n", text);
  // A line longer than a stream's buffer comes in several pieces.
  const std::string longLine = "+warning: " + std::string(3 * BUFSIZ, 'w') + "\n";
  for (std::size_t at = 0; at < longLine.size(); at += BUFSIZ) err.add(longLine.substr(at, BUFSIZ), text);
  err.add("- could", text);
  err.finish(text);
  EXPECT_EQ(text, "<6>name: Bob  open\n<3>+error: recv() error - msg size\n<4>" + longLine +
                      "<6>- could");
}

TEST(JournalStream, IsTheDescriptorWhoseDeviceAndInodeTheVariableNames) {
  testing::TestContext t;
  const std::string path = (t.dir / "journal").string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  struct stat status {};
  ASSERT_EQ(::fstat(fd, &status), 0);
  const std::string device = std::to_string(status.st_dev), inode = std::to_string(status.st_ino);
  EXPECT_TRUE(isJournalStream(fd, (device + ":" + inode).c_str()));
  for (const std::string& other : {std::to_string(status.st_dev + 1) + ":" + inode,
                                   device + ":" + inode + "x", device + inode, std::string()}) {
    EXPECT_FALSE(isJournalStream(fd, other.c_str())) << other;
  }
  EXPECT_FALSE(isJournalStream(fd, nullptr));
  ::close(fd);
  EXPECT_FALSE(isJournalStream(fd, (device + ":" + inode).c_str()));  // closed
}

}  // namespace
}  // namespace dirserver

// Console streams for the journal: every line's priority prefix, however the lines are cut into
// writes, and the recognition of the journal's stream.
#include "common/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"

namespace dirserver {
namespace {

// A priority stream on a file in a directory of the test's own.
class PriorityFile {
 public:
  explicit PriorityFile(bool errorStream) {
    path_ = test_.dir / "stream";
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    stream_ = openPriorityStream(fd_, errorStream);
  }
  ~PriorityFile() {
    if (stream_ != nullptr) std::fclose(stream_);
    ::close(fd_);
  }

  std::FILE* stream() const { return stream_; }
  int fd() const { return fd_; }
  // What reached the descriptor so far, without flushing the stream.
  std::string written() const {
    const Bytes bytes = testing::readFile(path_);
    return std::string(bytes.begin(), bytes.end());
  }
  // Closes the stream, which writes what it still holds.
  std::string closed() {
    EXPECT_EQ(std::fclose(stream_), 0);
    stream_ = nullptr;
    return written();
  }

 private:
  testing::TestContext test_;
  std::filesystem::path path_;
  int fd_ = -1;
  std::FILE* stream_ = nullptr;
};

TEST(PriorityStream, ErrorLinesGetTheirPriorityAndTheOutStreamIsAllProgress) {
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
  PriorityFile err(true), out(false);
  std::fputs(lines.c_str(), err.stream());
  std::fputs(lines.c_str(), out.stream());
  // Line-buffered: everything is out without a flush.
  EXPECT_EQ(err.written(),
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
  EXPECT_EQ(out.written(), expected);
}

TEST(PriorityStream, ALineCutIntoPiecesGetsOnePrefixFromItsStart) {
  PriorityFile err(true);
  // The server prints a host's line in two calls; a flush between them must not start a line.
  std::fputs("name: Bob ", err.stream());
  std::fflush(err.stream());
  EXPECT_EQ(err.written(), "<6>name: Bob ");
  std::fputs(" open\n+err", err.stream());
  std::fflush(err.stream());
  // "+err" could still become "+error:": held back until it is known.
  EXPECT_EQ(err.written(), "<6>name: Bob  open\n");
  std::fputs("or: recv() error - msg size\n", err.stream());
  // A line longer than the stream's buffer reaches the descriptor in several writes.
  const std::string longLine = "+warning: " + std::string(3 * BUFSIZ, 'w') + "\n";
  std::fputs(longLine.c_str(), err.stream());
  std::fputs("- could", err.stream());
  EXPECT_EQ(err.closed(), "<6>name: Bob  open\n<3>+error: recv() error - msg size\n<4>" + longLine +
                              "<6>- could");
}

TEST(PriorityStream, AFailedDescriptorIsAFailedStream) {
  PriorityFile err(true);
  // The descriptor now refuses writes.
  const int readOnly = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::dup2(readOnly, err.fd()), err.fd());
  ::close(readOnly);
  EXPECT_LT(std::fputs("+error: bind() error\n", err.stream()), 0);
  EXPECT_TRUE(std::ferror(err.stream()));
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
  for (const std::string& other :
       {device + ":" + std::to_string(status.st_ino + 1),
        std::to_string(status.st_dev + 1) + ":" + inode, device + ":" + inode + "x", device + inode,
        ":" + inode, device + ":", " " + device + ":" + inode, std::string()}) {
    EXPECT_FALSE(isJournalStream(fd, other.c_str())) << other;
  }
  EXPECT_FALSE(isJournalStream(fd, nullptr));
  ::close(fd);
  EXPECT_FALSE(isJournalStream(fd, (device + ":" + inode).c_str()));  // closed
}

}  // namespace
}  // namespace dirserver

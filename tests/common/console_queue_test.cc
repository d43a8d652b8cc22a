// The console's queue: lines in the order they were printed across both streams, and a stream
// that does not keep up costs whole lines, counted and reported, never a wait.
#include "common/console_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "support/test_support.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;

std::string fileText(const std::filesystem::path& path) {
  const Bytes bytes = testing::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(ConsoleQueue, LinesKeepTheirOrderAcrossBothStreams) {
  testing::TestContext t;
  const int fd = ::open((t.dir / "both").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  // The error stream is the journal's: its lines get their priority in front.
  ConsoleQueue queue({fd, false}, {fd, true});
  const Console console = queue.console();
  std::fputs("* server registration\n", console.out);
  {
    ConsoleGroup group(console);
    std::fputs("name: Bob ", console.out);
    std::fflush(console.out);
    std::fputs("+error: invalid data size\n", console.err);
  }
  std::fputs("> number of servers: 0\n", console.out);
  std::fputs("- could not save server list\n", console.err);
  EXPECT_TRUE(queue.flush(5s));
  EXPECT_EQ(fileText(t.dir / "both"),
            "* server registration\nname: Bob <3>+error: invalid data size\n"
            "> number of servers: 0\n<3>- could not save server list\n");
  ::close(fd);
}

TEST(ConsoleQueue, AStalledStreamCostsWholeGroupsCountedAndReportedOnceItDrains) {
  testing::TestContext t;
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
  ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
  // Nobody reads the pipe, which is full: the queue's writer blocks on it.
  ::fcntl(pipe[1], F_SETFL, O_NONBLOCK);
  std::size_t filler = 0;
  for (char block[512] = {}; ::write(pipe[1], block, sizeof block) > 0;) filler += sizeof block;
  ::fcntl(pipe[1], F_SETFL, 0);
  const int err = ::open((t.dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ConsoleQueue queue({pipe[1], false}, {err, true}, 100);
  const Console console = queue.console();
  const auto group = [&](std::initializer_list<const char*> lines) {
    ConsoleGroup together(console);
    for (const char* line : lines) std::fputs(line, console.out);
  };
  const auto started = std::chrono::steady_clock::now();
  group({"1 first group goes\n", "2 first group goes\n", "3 first group goes\n"});
  group({"1 second is dropped\n", "2 second is dropped\n", "3 second is dropped\n"});
  std::fputs("a single line fits\n", console.out);
  group({"1 third is dropped\n", "2 third is dropped\n"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_EQ(queue.droppedLines(), 5u);
  EXPECT_FALSE(queue.flush(50ms));  // bounded, as at exit
  EXPECT_EQ(fileText(t.dir / "err"), "");

  std::string out;
  char buffer[4096];
  const std::string expected =
      "1 first group goes\n2 first group goes\n3 first group goes\na single line fits\n";
  for (auto until = std::chrono::steady_clock::now() + 5s;
       out.size() < filler + expected.size() && std::chrono::steady_clock::now() < until;) {
    const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
    if (got > 0) out.append(buffer, static_cast<std::size_t>(got));
    if (got < 0) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(out.substr(filler), expected);
  EXPECT_TRUE(queue.flush(5s));
  EXPECT_EQ(fileText(t.dir / "err"), "<4>+warning: console could not keep up: 5 lines dropped\n");

  // On an empty queue even a group larger than the whole queue goes out.
  const std::string large =
      "1 a group larger than the queue goes out whole\n2 when nothing waits before it\n"
      "3 since it would never fit otherwise\n";
  ASSERT_GT(large.size(), 100u);
  group({large.c_str()});
  EXPECT_TRUE(queue.flush(5s));
  EXPECT_EQ(queue.droppedLines(), 5u);
  out.clear();
  for (ssize_t got = 0; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(out, large);
  ::close(pipe[0]);
  ::close(pipe[1]);
  ::close(err);
}

// Reads from `fd` (a pipe) until `expected` bytes came or 5 s passed.
std::string readPipe(int fd, std::size_t expected) {
  std::string text;
  char buffer[512];
  for (const auto until = std::chrono::steady_clock::now() + 5s;
       text.size() < expected && std::chrono::steady_clock::now() < until;) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, 100) <= 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// A loop holds the writer's wake-ups for a pass: what it queued meanwhile goes out when it resumes
// them, and a flush never waits on a wake-up held back.
TEST(ConsoleQueue, LinesQueuedWhileWakeUpsAreHeldGoOutAtTheResumeOrAFlush) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ConsoleQueue queue({pipe[1], false}, {pipe[1], false});
  const Console console = queue.console();
  // Each step begins with the writer asleep: a flush returns only once it waits for more.
  std::fputs("- loaded 0 servers\n", console.out);
  ASSERT_TRUE(queue.flush(5s));
  EXPECT_EQ(readPipe(pipe[0], 19), "- loaded 0 servers\n");

  queue.holdWakeUps();
  std::fputs("* server registration\n", console.out);
  {
    ConsoleGroup group(console);
    std::fputs("+error: invalid data size\n", console.err);
  }
  queue.resumeWakeUps();
  const std::string first = "* server registration\n+error: invalid data size\n";
  EXPECT_EQ(readPipe(pipe[0], first.size()), first);

  ASSERT_TRUE(queue.flush(5s));
  queue.holdWakeUps();
  std::fputs("> number of servers: 1\n", console.out);
  EXPECT_TRUE(queue.flush(5s));
  EXPECT_EQ(readPipe(pipe[0], 23), "> number of servers: 1\n");
  queue.resumeWakeUps();
  ::close(pipe[0]);
  ::close(pipe[1]);
}

}  // namespace
}  // namespace dirserver

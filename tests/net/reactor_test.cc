#include "net/reactor.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;

struct Recorder final : EventHandler {
  void onEvents(std::uint32_t events) override { seen.push_back(events); }
  std::vector<std::uint32_t> seen;
};

TEST(Reactor, TimersFireInOrderOnTheInjectedClockAlsoOnBusyPasses) {
  SettableClock clock;
  Reactor reactor(clock);
  std::vector<int> fired;
  Timer late(reactor, [&] { fired.push_back(2); });
  Timer early(reactor, [&] { fired.push_back(1); });
  Timer cancelled(reactor, [&] { fired.push_back(3); });
  late.setAt(clock.steadyNow() + 2s);
  early.setAt(clock.steadyNow() + 1s);
  cancelled.setAt(clock.steadyNow() + 1s);
  cancelled.cancel();
  EXPECT_FALSE(reactor.runOnce(0s));
  clock.advance(2s);
  EXPECT_TRUE(reactor.runOnce(0s));
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));

  // Under steady traffic every pass has a descriptor ready; due timers fire all the same.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  Recorder busy;
  reactor.watch(pair[0], &busy, EPOLLIN);
  ASSERT_EQ(::write(pair[1], "x", 1), 1);  // never read: readable on every pass
  late.setAt(clock.steadyNow() + 1s);
  EXPECT_TRUE(reactor.runOnce(0s));
  clock.advance(1s);
  EXPECT_TRUE(reactor.runOnce(0s));
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 2}));
  EXPECT_EQ(busy.seen.size(), 2u);
  reactor.watch(pair[0], &busy, 0);
  for (int fd : pair) ::close(fd);
}

TEST(Reactor, ReadinessPostedWorkAndDeferredWorkInOnePass) {
  Reactor reactor;
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  Recorder recorder;
  reactor.watch(pair[0], &recorder, EPOLLIN);
  ASSERT_EQ(reactor.watchedEvents(pair[0]), std::uint32_t{EPOLLIN});
  ASSERT_EQ(::write(pair[1], "x", 1), 1);
  std::vector<std::string> order;
  std::thread other([&] { reactor.post([&] { order.push_back("posted"); }); });
  other.join();
  reactor.defer([&] { order.push_back("deferred"); });
  EXPECT_TRUE(reactor.runOnce(1s));
  EXPECT_EQ(recorder.seen.size(), 1u);
  EXPECT_EQ(order, (std::vector<std::string>{"posted", "deferred"}));
  // The reactor keeps each descriptor's events itself: a second descriptor of the same number,
  // after the first was closed without ending the interest, is watched afresh.
  ::close(pair[0]);
  int again[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, again), 0);
  ASSERT_EQ(again[0], pair[0]);
  reactor.watch(again[0], &recorder, EPOLLIN | EPOLLOUT);
  EXPECT_TRUE(reactor.runOnce(1s));
  EXPECT_EQ(recorder.seen.size(), 2u);
  reactor.watch(again[0], &recorder, 0);
  EXPECT_EQ(reactor.watchedEvents(again[0]), 0u);
  EXPECT_FALSE(reactor.runOnce(0s));
  for (int fd : {pair[1], again[0], again[1]}) ::close(fd);
}

TEST(Reactor, PostFromAnotherThreadWakesAWaitingPass) {
  Reactor reactor;
  bool ran = false;
  std::thread other([&] { reactor.post([&] { ran = true; }); });
  // The pass would wait a minute for nothing else; the post ends the wait.
  while (!ran) reactor.runOnce(1min);
  other.join();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace dirserver

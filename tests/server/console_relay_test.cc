#include "server/console_relay.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

namespace dirserver {
namespace {

TEST(ConsoleRelay, LinesFromOtherThreadsArePrintedByTheLoopInTheOrderHandedOver) {
  testing::TestContext t(true);
  Reactor reactor;
  ConsoleRelay relay(reactor, t.context.console);
  std::thread other([&relay] {
    relay.print("+error: from another thread\n");
    relay.print("progress\n", true);
  });
  other.join();
  EXPECT_EQ(t.console.out(), "");
  reactor.runOnce(std::chrono::milliseconds(0));
  EXPECT_EQ(t.console.out(), "+error: from another thread\nprogress\n");
  // Once the loop has stopped, what is still handed over is printed on the way out.
  relay.print("+warning: late\n");
  relay.printHandedOver();
  EXPECT_EQ(t.console.out(), "+error: from another thread\nprogress\n+warning: late\n");
}

}  // namespace
}  // namespace dirserver

// The per-network bound and the per-address rates of the real executable, its peers at addresses
// of many /24s of 127/8.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "client/list_reply_decoder.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::registration;
using testing::request;
using testing::shutdown;

const testing::ServerAddress kServer;
constexpr const char* kNetworkFull = "+error: too many servers registered from this network\n";
constexpr const char* kTooFast = "+error: new servers registered too fast from this address\n";

bool acknowledged(const Bytes& bytes, const std::string& source) {
  const auto answer = testing::roundTrip(kServer, bytes, source.c_str());
  return answer && answer->size() == 14;
}

// The hosts the server lists, asked from an address no test registers from.
std::size_t hostsListed() {
  const auto answer = testing::roundTrip(kServer, request(MessageType::ListRequest), "127.0.99.1");
  ListedReply reply;
  std::string error;
  if (!answer || !decodeListReply(*answer, reply, error)) return SIZE_MAX;
  std::size_t hosts = 0;
  for (const ListedEntry& entry : reply.entries) hosts += entry.isDirectory ? 0 : 1;
  return hosts;
}

struct Server {
  explicit Server(std::vector<std::string> args)
      : process(t.dir, "dirserver", DIRSERVER_BINARY, std::move(args)) {}
  testing::TestContext t;
  testing::Process process;
};

// The bound holds a network to its share whichever of its addresses register, while other
// networks go on (refreshes, shutdowns and takeovers are the registration test's).
TEST(NetworkLimits, OneNetworkCannotFillBeyondItsBound) {
  Server server({"--max-hosts-per-net", "3"});
  ASSERT_TRUE(server.process.waitServing(kServer)) << server.process.err();
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(acknowledged(registration("n" + std::to_string(i)),
                             "127.0.5." + std::to_string(1 + i % 2)));
  }
  EXPECT_EQ(hostsListed(), 3u);
  EXPECT_TRUE(server.process.waitOutput(kNetworkFull, true)) << server.process.err();
  EXPECT_TRUE(acknowledged(registration("elsewhere"), "127.0.6.1"));
  EXPECT_EQ(hostsListed(), 4u);
}

// An address registers its 64 hosts at once; replacing them goes at the rate, one a second on the
// server's own clock, and a refused host is taken once a token came back.
TEST(NetworkLimits, NewHostsFromOneAddressGoAtTheRate) {
  Server server({"--new-hosts-per-minute", "60"});
  ASSERT_TRUE(server.process.waitServing(kServer)) << server.process.err();
  const std::string source = "127.0.7.1";
  for (int i = 0; i < 64; ++i) {
    ASSERT_TRUE(acknowledged(registration("h" + std::to_string(i)), source));
  }
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(acknowledged(shutdown("h" + std::to_string(i)), source));
  // However slowly this machine runs, tokens come back at one a second: within 16 new hosts one
  // is refused.
  int refusedAt = -1;
  for (int i = 0; i < 16 && refusedAt < 0; ++i) {
    const std::size_t before = hostsListed();
    ASSERT_TRUE(acknowledged(registration("new" + std::to_string(i)), source));
    if (hostsListed() == before) refusedAt = i;
  }
  ASSERT_GE(refusedAt, 0);
  EXPECT_TRUE(server.process.waitOutput(kTooFast, true)) << server.process.err();
  const std::size_t listed = hostsListed();
  bool taken = false;
  for (const auto until = std::chrono::steady_clock::now() + 10s;
       !taken && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms)) {
    ASSERT_TRUE(acknowledged(registration("new" + std::to_string(refusedAt)), source));
    taken = hostsListed() == listed + 1;
  }
  EXPECT_TRUE(taken) << server.process.err();
}

TEST(NetworkLimits, ListingsOverTheirRateAreClosedWithoutAnAnswerWhenTheLimitIsOn) {
  Server server({"--listings-per-minute", "3"});
  ASSERT_TRUE(server.process.waitServing(kServer)) << server.process.err();
  const Bytes list = request(MessageType::ListRequest);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(testing::roundTrip(kServer, list, "127.0.8.1").value_or(Bytes{}).size(), 0u);
  }
  EXPECT_EQ(testing::roundTrip(kServer, list, "127.0.8.1").value_or(Bytes{1}).size(), 0u);
  EXPECT_GT(testing::roundTrip(kServer, list, "127.0.8.2").value_or(Bytes{}).size(), 0u);
  EXPECT_TRUE(server.process.waitOutput(
      "+warning: listings asked for too fast from this address, connection closed\n", true));
}

}  // namespace
}  // namespace dirserver

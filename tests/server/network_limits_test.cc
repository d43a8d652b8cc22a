// The per-address listing rate on the game port, behind a trusted balancer as well as direct.
#include <gtest/gtest.h>

#include "protocol/proxy_header.h"
#include "server/server_core.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using testing::CoreHarness;
using testing::ipv4;
using testing::request;

constexpr std::size_t kEmptyListing = 380;  // the reply of an empty registry: its directories

Bytes behind(const char* peer, const Bytes& bytes) {
  Bytes out;
  putProxyV2Header(out, ipv4(peer), 40000, ipv4("127.0.0.1"), 6001);
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

std::size_t answered(CoreHarness& server, const Bytes& bytes, const char* source) {
  const auto answer = server.roundTrip(bytes, source);
  return answer ? answer->size() : SIZE_MAX;
}

TEST(ListingRate, AnAddressOverItsRateIsClosedUnansweredUntilATokenComesBack) {
  CoreSettings settings;
  std::string error;
  settings.proxyFrom.push_back(*parseIpv4Range("127.0.0.1/32", error));
  CoreHarness server(settings);
  server.context().listingRate = AddressRate(2, 2);
  server.start();
  const Bytes list = request(MessageType::ListRequest);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(answered(server, list, "127.0.0.5"), kEmptyListing);
  EXPECT_EQ(answered(server, list, "127.0.0.5"), 0u);
  EXPECT_EQ(server.test().console.err(),
            "+warning: listings asked for too fast from this address, connection closed\n");
  // Others are not held to that address's rate, and neither is an acknowledgement.
  EXPECT_EQ(answered(server, list, "127.0.0.6"), kEmptyListing);
  EXPECT_EQ(answered(server, request(MessageType::AckRequest), "127.0.0.5"), 14u);
  // Behind the balancer, each peer the header names has a rate of its own.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(answered(server, behind("203.0.113.7", list), "127.0.0.1"), kEmptyListing);
  }
  EXPECT_EQ(answered(server, behind("203.0.113.7", list), "127.0.0.1"), 0u);
  EXPECT_EQ(answered(server, behind("203.0.113.8", list), "127.0.0.1"), kEmptyListing);
  const ServerStats& stats = server.core().status().stats;
  EXPECT_EQ(stats.errors[static_cast<std::size_t>(ConsoleError::ListingRate)], 2u);
  // Two a minute: one comes back in 30 s of the steady clock.
  server.test().now += 29;
  EXPECT_EQ(answered(server, list, "127.0.0.5"), 0u);
  server.test().now += 1;
  EXPECT_EQ(answered(server, list, "127.0.0.5"), kEmptyListing);
  EXPECT_EQ(answered(server, list, "127.0.0.5"), 0u);
}

}  // namespace
}  // namespace dirserver

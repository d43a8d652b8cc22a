// Connections that a trusted load balancer carries for its peers, announced by a PROXY header.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "protocol/proxy_header.h"
#include "server/server_core.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::Client;
using testing::CoreHarness;
using testing::request;
using testing::ipv4;
using testing::registration;
using testing::shutdown;

constexpr const char* kAckHex = "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00";
constexpr const char* kBalancer = "127.0.0.1";

// A version 2 header: PROXY for `peer` (an IPv4 stream), or LOCAL when `peer` is null.
Bytes v2Header(const char* peer) {
  Bytes header(std::begin(kProxyV2Signature), std::end(kProxyV2Signature));
  if (peer == nullptr) {
    header.insert(header.end(), {0x20, 0x00, 0x00, 0x00});
    return header;
  }
  header.insert(header.end(), {0x21, 0x11, 0x00, 0x0C});
  const std::uint32_t address = ipv4(peer);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  header.insert(header.end(), bytes, bytes + 4);
  header.insert(header.end(), {10, 0, 0, 1, 0x9C, 0x40, 0x17, 0x71});
  return header;
}

Bytes text(const std::string& line) { return Bytes(line.begin(), line.end()); }

Bytes concat(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

CoreSettings trusting(const char* balancer) {
  CoreSettings settings;
  std::string error;
  settings.proxyFrom.push_back(*parseIpv4Range(balancer, error));
  return settings;
}

std::uint64_t counted(CoreHarness& server, ConsoleError fault) {
  return server.core().status().stats.errors[static_cast<std::size_t>(fault)];
}

// Ownership goes by the address the header gives, in either form and however the header is cut
// into reads; an address not trusted sends a header as the bytes it is.
TEST(ProxyConnections, TheHeadersAddressOwnsWhatItRegisters) {
  CoreHarness server(trusting("127.0.0.1/32"));
  server.start();
  // Registered through the balancer for 203.0.113.7, a byte per read.
  const Bytes whole = concat(v2Header("203.0.113.7"), registration("Alice"));
  Client host(server.port(), kBalancer);
  for (const std::uint8_t byte : whole) {
    host.send(ByteView(&byte, 1));
    server.pump();
  }
  EXPECT_EQ(hexText(host.receiveNow()), kAckHex);
  ASSERT_EQ(server.saver().appends.size(), 1u);
  EXPECT_EQ(server.saver().appends[0].second.at(0).entry.from, ipv4("203.0.113.7"));
  // Another address directly, and other peers behind the balancer in either form: none of them
  // may shut it down.
  for (const Bytes& other :
       {shutdown("Alice"), concat(v2Header("203.0.113.8"), shutdown("Alice")),
        concat(text("PROXY TCP4 203.0.113.9 10.0.0.1 5 6001\r\n"), shutdown("Alice"))}) {
    const char* from = other.front() == 0x0D || other.front() == 'P' ? kBalancer : "127.0.0.5";
    EXPECT_EQ(hexText(server.roundTrip(other, from).value()), kAckHex);
  }
  EXPECT_EQ(counted(server, ConsoleError::OtherAddress), 3u);
  // A header is required from the balancer: a bare request is a bad header.
  EXPECT_TRUE(server.roundTrip(shutdown("Alice"), kBalancer).value().empty());
  EXPECT_EQ(counted(server, ConsoleError::ProxyHeader), 1u);
  EXPECT_EQ(server.core().status().snapshots.latest()->totalCount(), 1u);
  // The owner, in text this time, with the request in the same read.
  EXPECT_EQ(hexText(server
                        .roundTrip(concat(text("PROXY TCP4 203.0.113.7 10.0.0.1 40000 6001\r\n"),
                                          shutdown("Alice")),
                                   kBalancer)
                        .value()),
            kAckHex);
  EXPECT_EQ(server.core().status().snapshots.latest()->totalCount(), 0u);
  // From an address that is not trusted, a header is not one: its first bytes are a size.
  for (const Bytes& header :
       {v2Header("203.0.113.7"), text("PROXY TCP4 1.2.3.4 1.2.3.4 1 2\r\n")}) {
    EXPECT_TRUE(
        server.roundTrip(concat(header, registration("Mallory")), "127.0.0.2").value().empty());
  }
  EXPECT_EQ(counted(server, ConsoleError::InvalidSize), 2u);
  EXPECT_EQ(server.core().status().snapshots.latest()->totalCount(), 0u);
}

// What a header may not carry, and the balancer's own (LOCAL) connections, which may read but
// change nothing.
TEST(ProxyConnections, LocalOnlyReadsAndOtherFamiliesAndBadHeadersAreClosed) {
  CoreHarness server(trusting("127.0.0.0/24"));
  server.start();
  EXPECT_EQ(
      hexText(
          server.roundTrip(concat(v2Header(nullptr), request(MessageType::AckRequest)), kBalancer)
              .value()),
      kAckHex);
  EXPECT_EQ(
      server.roundTrip(concat(v2Header(nullptr), request(MessageType::ListRequest)), "127.0.0.9")
          .value()
          .size(),
      380u);
  for (const Bytes& change : {registration("Bob"), shutdown("Bob")}) {
    EXPECT_TRUE(server.roundTrip(concat(v2Header(nullptr), change), kBalancer).value().empty());
  }
  EXPECT_EQ(counted(server, ConsoleError::ProxyLocal), 2u);
  EXPECT_EQ(server.core().status().snapshots.latest()->totalCount(), 0u);
  // Peers this server cannot own hosts for, and headers that are not headers.
  Bytes ipv6(std::begin(kProxyV2Signature), std::end(kProxyV2Signature));
  ipv6.insert(ipv6.end(), {0x21, 0x21, 0x00, 0x24});
  ipv6.insert(ipv6.end(), 36, 0x01);
  const Bytes otherFamilies[] = {ipv6, text("PROXY UNKNOWN\r\n"),
                                 text("PROXY TCP6 ::1 ::1 1 2\r\n")};
  for (const Bytes& header : otherFamilies) {
    EXPECT_TRUE(server.roundTrip(concat(header, registration("Bob")), kBalancer).value().empty());
  }
  EXPECT_EQ(counted(server, ConsoleError::ProxyFamily), 3u);
  const Bytes bad[] = {text("PROXY TCP4 1.2.3.4 1.2.3.4 1 2\n"),
                       text("PROXY UNKNOWN " + std::string(100, 'x') + "\r\n")};
  for (const Bytes& header : bad) {
    EXPECT_TRUE(server.roundTrip(concat(header, registration("Bob")), kBalancer).value().empty());
  }
  EXPECT_EQ(counted(server, ConsoleError::ProxyHeader), 2u);
  EXPECT_EQ(server.core().status().snapshots.latest()->totalCount(), 0u);
  const std::string err = server.test().console.err();
  EXPECT_NE(err.find("+warning: a balancer's own (LOCAL) connection asked for a change"),
            std::string::npos);
  EXPECT_NE(err.find("+warning: PROXY header carries a peer that is not IPv4"), std::string::npos);
  EXPECT_NE(err.find("+error: invalid PROXY header from a trusted balancer\n"), std::string::npos);
  // A header that does not come in time is a request that did not.
  Client silent(server.port(), kBalancer);
  silent.send(ByteView(v2Header("203.0.113.7")).first(5));
  server.pump();
  server.advance(30s);
  EXPECT_TRUE(silent.closed());
  EXPECT_EQ(counted(server, ConsoleError::RecvSize), 1u);
  EXPECT_EQ(server.core().connectionCount(), 0u);
}

// The per-address bound, bans and the shedding of a full server go by the header's address, and
// a balancer's connection counts against none until its header is read.
TEST(ProxyConnections, LimitsAndBansApplyToTheHeadersAddress) {
  CoreSettings settings = trusting("127.0.0.1/32");
  settings.maxConnections = 3;
  settings.maxConnectionsPerAddress = 2;
  CoreHarness server(settings);
  server.start();
  server.core().refuseFrom([](PeerAddress address) { return address == ipv4("198.51.100.66"); });
  std::vector<Client> held;
  for (int i = 0; i < 2; ++i) {
    held.emplace_back(server.port(), kBalancer);
    held.back().send(v2Header("198.51.100.1"));
    server.advance(1s);
  }
  EXPECT_EQ(server.core().connectionsFrom(ipv4("198.51.100.1")), 2u);
  EXPECT_EQ(server.core().connectionsFrom(ipv4(kBalancer)), 0u);
  // Over its address's bound, though the balancer holds many more.
  Client over(server.port(), kBalancer);
  over.send(v2Header("198.51.100.1"));
  server.pump();
  EXPECT_TRUE(over.closed());
  EXPECT_EQ(server.core().status().stats.connectionsRefused, 1u);
  // A banned peer behind the balancer is closed once its header names it; the balancer is not.
  EXPECT_TRUE(
      server
          .roundTrip(concat(v2Header("198.51.100.66"), request(MessageType::AckRequest)), kBalancer)
          .value()
          .empty());
  EXPECT_EQ(server.core().status().stats.connectionsBanned, 1u);
  // A third slot, then full: a connection whose header is still coming takes none, and the next
  // peer takes the place of the heaviest address's stalest connection.
  held.emplace_back(server.port(), "127.0.0.3");
  Client waiting(server.port(), kBalancer);
  server.pump();
  EXPECT_EQ(server.core().slotsTaken(), 3u);
  EXPECT_EQ(
      hexText(server
                  .roundTrip(concat(v2Header("198.51.100.2"), request(MessageType::AckRequest)),
                             kBalancer)
                  .value()),
      kAckHex);
  EXPECT_TRUE(held[0].closed());
  EXPECT_FALSE(held[1].closed());
  EXPECT_FALSE(held[2].closed());
  EXPECT_EQ(server.core().status().stats.connectionsShed, 1u);
  waiting.send(concat(v2Header("198.51.100.3"), request(MessageType::AckRequest)));
  server.pump();
  EXPECT_EQ(hexText(waiting.receiveNow()), kAckHex);
  EXPECT_EQ(server.core().connectionsFrom(ipv4("198.51.100.1")), 1u);
}

}  // namespace
}  // namespace dirserver

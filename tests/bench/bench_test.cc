// The benchmark's own logic where a fault would falsify its figures: percentiles, the hosts it
// preloads and registers, the check of each answer, and the bound on a workload's duration.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <numeric>
#include <tuple>

#include "hosts.h"
#include "latency.h"
#include "listing/list_reply.h"
#include "load.h"
#include "net/listener.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "registry/server_list_file.h"
#include "support/loopback.h"

namespace dirserver::bench {
namespace {

TEST(Percentile, IsTheNearestRankOfTheSortedSamples) {
  std::vector<double> hundred(100);
  std::iota(hundred.begin(), hundred.end(), 1.0);
  EXPECT_EQ(percentile(hundred, 0.0), 1);
  EXPECT_EQ(percentile(hundred, 0.99), 99);
  EXPECT_EQ(percentile(hundred, 1.0), 100);
  // With fewer than 100 samples the 99th percentile is the largest one.
  EXPECT_EQ(percentile(std::span(hundred).first(10), 0.99), 10);
  EXPECT_EQ(percentile({}, 0.5), 0);
  std::vector<double> unsorted = {3, 1, 2};
  EXPECT_EQ(summarize(unsorted).p50, 2);
}

TEST(BenchHosts, APreloadedFileLoadsAsExactlyItsHostsAndLaterOnesRegisterAsNew) {
  // Thousands of hosts drawn from short word lists collide in their keys unless the factory
  // keeps them apart; a collision would load as one host fewer.
  HostFactory factory(7, 2000);
  std::vector<Host> hosts;
  for (int i = 0; i < 3010; ++i) hosts.push_back(factory.next(1'700'000'000));
  const std::span<const Host> preloaded = std::span(hosts).first(3000);
  testing::TestContext t;
  writeServerListFile(t.context.listFile, preloaded);
  loadServerList(t.context);
  EXPECT_EQ(t.console.out(), "- loaded 3000 servers\n");
  const ServerRegistry& registry = t.context.registry;
  for (const Host& host : preloaded) {
    const auto found = registry.find(host.type, host.key, host.record.fields);
    ASSERT_NE(found, registry.end(host.type)) << host.key;
    EXPECT_EQ(*found->record, host.record) << host.key;
  }
  // The registration requests of later hosts file them under the keys the benchmark expects.
  for (const Host& host : std::span(hosts).subspan(3000)) {
    EXPECT_TRUE(registry.find(host.type, host.key, host.record.fields) == registry.end(host.type))
        << host.key;
    const Bytes bytes = registrationRequest(host.record);
    // Its header: the whole size, the message id and the type.
    EXPECT_EQ(bytes, testing::request(MessageType::Registration, ByteView(bytes).subspan(12)));
    ServerRecord parsed;
    ServerType type{};
    ASSERT_TRUE(
        parseServerFields(ByteView(bytes).subspan(kHeaderSize), t.context.console, parsed, type));
    EXPECT_EQ(type, host.type);
    EXPECT_EQ(computeServerKey(parsed.fields), host.key);
  }
}

TEST(CheckAnswer, TakesOnlyTheWholeAcknowledgementOrAListingWithTheExpectedHeader) {
  const Bytes ack(kAckMessage.begin(), kAckMessage.end());
  Bytes otherAck = ack;
  otherAck[13] = 1;
  Bytes ackHead = ack;
  ackHead.resize(kListReplyHeaderSize);
  const Bytes listing = buildListReply(ServerRegistry{});
  const ByteView head = ByteView(listing).first(kListReplyHeaderSize);
  const Expectation isAck{Expectation::Kind::Ack}, isListing{Expectation::Kind::Listing, 4};
  const std::tuple<const char*, Expectation, ByteView, std::uint64_t, bool> cases[] = {
      {"the acknowledgement", isAck, ack, ack.size(), true},
      {"another last byte", isAck, otherAck, ack.size(), false},
      {"an acknowledgement cut short", isAck, ByteView(ack).first(10), 10, false},
      {"the listing", isListing, head, listing.size(), true},
      {"another entry count", {Expectation::Kind::Listing, 5}, head, listing.size(), false},
      {"a length its header does not give", isListing, head, listing.size() - 1, false},
      {"a listing cut inside its header", isListing, head.first(15), 15, false},
      {"an acknowledgement for a listing", isListing, ackHead, ack.size(), false}};
  for (const auto& [what, expect, bytes, total, good] : cases) {
    EXPECT_EQ(checkAnswer(expect, bytes, total).empty(), good) << what;
  }
}

TEST(Workload, StopsWithinItsBoundAgainstAServerThatNeverAnswers) {
  // A socket that listens but never accepts: connections queue there, unanswered.
  const Socket silent(bindListener(0, loopbackAddress()));
  ASSERT_EQ(::listen(silent.fd(), 16), 0);
  const WorkloadResult result = runWorkload({.port = localPort(silent.fd()),
                                             .requests = {request(MessageType::AckRequest)},
                                             .expect = {Expectation::Kind::Ack},
                                             .clients = 2,
                                             .budget = Seconds(0.1),
                                             .drainLimit = Seconds(0.3)});
  EXPECT_EQ(result.failed, 0u) << result.firstError;
  EXPECT_EQ(result.unfinished, 2u);
  // The budget and the drain limit, and not much more.
  EXPECT_TRUE(result.seconds >= 0.4 && result.seconds < 1.5) << result.seconds;
}

}  // namespace
}  // namespace dirserver::bench

// The benchmark's own logic: percentiles, its command line, the hosts and files it makes, and the
// workload runner against a loopback server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <thread>

#include "hostile.h"
#include "hosts.h"
#include "latency.h"
#include "listing/list_reply.h"
#include "load.h"
#include "options.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "registry/server_list_file.h"
#include "report.h"
#include "support/loopback.h"

namespace dirserver::bench {
namespace {

using namespace std::chrono_literals;

TEST(Percentile, IsTheNearestRankOfTheSortedSamples) {
  std::vector<double> hundred(100);
  std::iota(hundred.begin(), hundred.end(), 1.0);
  EXPECT_EQ(percentile(hundred, 0.50), 50);
  EXPECT_EQ(percentile(hundred, 0.99), 99);
  EXPECT_EQ(percentile(hundred, 1.0), 100);
  EXPECT_EQ(percentile(hundred, 0.0), 1);
  // With fewer than 100 samples the 99th percentile is the largest one.
  const std::vector<double> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(percentile(ten, 0.99), 10);
  EXPECT_EQ(percentile(ten, 0.50), 5);
  EXPECT_EQ(percentile({}, 0.5), 0);
}

TEST(Percentile, SummarySortsSamplesGivenInAnyOrder) {
  std::vector<double> samples = {3, 1, 2};
  const LatencySummary summary = summarize(samples);
  EXPECT_EQ(summary.count, 3u);
  EXPECT_EQ(summary.p50, 2);
  EXPECT_EQ(summary.p99, 3);
  EXPECT_EQ(summary.max, 3);
  std::vector<double> none;
  EXPECT_EQ(summarize(none).count, 0u);
}

TEST(FormatNumber, KeepsThreeSignificantDigitsAcrossRounding) {
  EXPECT_EQ(formatNumber(0.2134), "0.213");
  EXPECT_EQ(formatNumber(0.9996), "1.00");
  EXPECT_EQ(formatNumber(9.9996), "10.0");
  EXPECT_EQ(formatNumber(12.34), "12.3");
  EXPECT_EQ(formatNumber(99.96), "100");
  EXPECT_EQ(formatNumber(12345.6), "12346");
  EXPECT_EQ(formatNumber(0), "0");
}

ParsedOptions parse(std::vector<std::string_view> args) { return parseOptions(args, "/srv/d"); }

TEST(BenchOptions, DefaultsMeasureFourRegistrySizesWithoutTheHostileRun) {
  const ParsedOptions parsed = parse({});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.hosts, (std::vector<std::uint32_t>{0, 100, 1000, 10000}));
  EXPECT_EQ(parsed.options.hostile, 0u);
  EXPECT_EQ(parsed.options.server, "/srv/d");
  EXPECT_FALSE(parsed.options.help);
}

TEST(BenchOptions, ReadsEveryFlagWithItsValueAfterItOrAfterAnEqualsSign) {
  const ParsedOptions parsed = parse({"--hosts", "0,100", "--clients=8", "--seconds", "0.5",
                                      "--hostile=20", "--server", "/tmp/x/dirserver", "--help"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.hosts, (std::vector<std::uint32_t>{0, 100}));
  EXPECT_EQ(parsed.options.clients, 8u);
  EXPECT_EQ(parsed.options.seconds, 0.5);
  EXPECT_EQ(parsed.options.hostile, 20u);
  EXPECT_EQ(parsed.options.server, "/tmp/x/dirserver");
  EXPECT_TRUE(parsed.options.help);
}

TEST(BenchOptions, HostileAloneLeavesTheLoadTableOutButNotWithHosts) {
  EXPECT_TRUE(parse({"--hostile", "20"}).options.hosts.empty());
  EXPECT_EQ(parse({"--hostile", "20", "--hosts", "0"}).options.hosts,
            (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(parse({"--hosts", "0", "--hostile", "20"}).options.hosts,
            (std::vector<std::uint32_t>{0}));
}

TEST(BenchOptions, RejectsBadValuesNamingTheFlag) {
  const std::vector<std::vector<std::string_view>> bad = {
      {"--hosts", "5,,6"},  {"--hosts", "65532"}, {"--hosts", "-1"},   {"--hosts", ""},
      {"--clients", "0"},   {"--clients", "257"}, {"--clients", "2x"}, {"--seconds", "0.01"},
      {"--seconds", "nan"}, {"--seconds", "abc"}, {"--hostile", "0"},  {"--hostile", "1001"},
      {"--server="},        {"--clients"},        {"--bogus", "1"},    {"hosts"}};
  for (const auto& args : bad) {
    const std::string error = parse(args).error;
    EXPECT_NE(error, "") << args[0];
    const std::string flag(args[0].substr(0, args[0].find('=')));
    EXPECT_NE(error.find(flag), std::string::npos) << error;
  }
}

std::vector<Host> makeHosts(std::size_t count, std::size_t motd = 0) {
  HostFactory factory(7, motd);
  std::vector<Host> hosts;
  for (std::size_t i = 0; i < count; ++i) hosts.push_back(factory.next(1'700'000'000));
  return hosts;
}

TEST(BenchHosts, AFileOfThousandsOfHostsLoadsAsExactlyThoseHosts) {
  // Thousands of hosts drawn from short word lists collide in their keys unless the factory
  // keeps them apart; a collision would load as one host fewer.
  const std::vector<Host> hosts = makeHosts(3000);
  testing::TestContext t;
  writeServerListFile(t.context.listFile, hosts);
  EXPECT_EQ(std::filesystem::file_size(t.context.listFile), 12 + kFileRecordSize * hosts.size());
  loadServerList(t.context);
  EXPECT_EQ(t.console.out(), "- loaded 3000 servers\n");
  EXPECT_EQ(t.console.err(), "");
  ServerRegistry& registry = t.context.registry;
  for (const Host& host : hosts) {
    const auto found = registry.find(host.type, host.key);
    ASSERT_NE(found, registry.end(host.type));
    EXPECT_EQ(found->second, host.record);
  }
}

TEST(BenchHosts, RegistrationRequestFilesTheHostUnderItsKey) {
  std::vector<Host> hosts = makeHosts(40);
  for (Host& host : makeHosts(10, 2000)) hosts.push_back(std::move(host));
  testing::CapturedConsole console;
  for (const Host& host : hosts) {
    const Bytes bytes = registrationRequest(host.record);
    ASSERT_GE(bytes.size(), kHeaderSize);
    EXPECT_EQ(loadU32(bytes.data()), bytes.size());
    EXPECT_EQ(loadU32(bytes.data() + 8), static_cast<std::uint32_t>(MessageType::Registration));
    ServerRecord parsed;
    ServerType type{};
    ASSERT_TRUE(
        parseServerFields(ByteView(bytes).subspan(kHeaderSize), console.console(), parsed, type));
    EXPECT_EQ(type, host.type);
    EXPECT_EQ(computeServerKey(parsed.fields), host.key);
  }
}

TEST(BenchHosts, AMessageOfTheDayStaysWithinWhatAFieldStores) {
  for (const Host& host : makeHosts(50, 5000)) {
    for (const ServerField& field : host.record.fields) {
      EXPECT_LE(field.data.size(), kFieldCapacity);
    }
  }
}

TEST(CheckAnswer, TakesOnlyTheExactAcknowledgement) {
  const Expectation ack{Expectation::Kind::Ack};
  const Bytes good(kAckMessage.begin(), kAckMessage.end());
  EXPECT_EQ(checkAnswer(ack, good, good.size()), "");
  Bytes wrong = good;
  wrong[13] = 1;
  EXPECT_NE(checkAnswer(ack, wrong, wrong.size()), "");
  EXPECT_NE(checkAnswer(ack, ByteView(good).first(10), 10), "");
}

TEST(CheckAnswer, ListingMustCarryItsOwnLengthTypeThreeAndTheEntryCount) {
  ServerRegistry registry;
  for (Host& host : makeHosts(3)) registry.insert(host.type, host.key, std::move(host.record));
  const Bytes reply = buildListReply(registry);
  const ByteView head = ByteView(reply).first(16);
  EXPECT_EQ(checkAnswer({Expectation::Kind::Listing, 7}, head, reply.size()), "");
  EXPECT_NE(checkAnswer({Expectation::Kind::Listing, 8}, head, reply.size()), "");
  EXPECT_NE(checkAnswer({Expectation::Kind::Listing, 7}, head, reply.size() - 1), "");
  EXPECT_NE(checkAnswer({Expectation::Kind::Listing, 7}, head.first(15), 15), "");
  Bytes ackHead(kAckMessage.begin(), kAckMessage.end());
  ackHead.resize(16);
  EXPECT_NE(checkAnswer({Expectation::Kind::Listing, 4}, ackHead, 14), "");
}

Workload twoClients(std::uint16_t port, Expectation expect, std::vector<Bytes> requests) {
  Workload one;
  one.port = port;
  one.expect = expect;
  one.requests = std::move(requests);
  one.clients = 2;
  one.budget = 200ms;
  one.drainLimit = 2s;
  return one;
}

TEST(Workload, ListRequestsAreAnsweredAndTimedUntilTheBudgetRunsOut) {
  testing::LoopbackServer server;
  server.start();
  const WorkloadResult result = runWorkload(twoClients(
      server.port(), {Expectation::Kind::Listing, 4}, {request(MessageType::ListRequest)}));
  EXPECT_GT(result.completed, 0u);
  EXPECT_EQ(result.failed, 0u) << result.firstError;
  EXPECT_EQ(result.unfinished, 0u);
  EXPECT_EQ(result.latency.count, result.completed);
  EXPECT_GT(result.latency.p50, 0);
  EXPECT_LE(result.latency.p50, result.latency.p99);
  EXPECT_GE(result.seconds, 0.2);
  EXPECT_LT(result.seconds, 1.5);
}

TEST(Workload, OnceSendsEachRequestExactlyOnce) {
  testing::LoopbackServer server;
  server.start();
  std::vector<Bytes> registrations;
  for (const Host& host : makeHosts(5)) registrations.push_back(registrationRequest(host.record));
  Workload once = twoClients(server.port(), {Expectation::Kind::Ack}, registrations);
  once.once = true;
  once.budget = 5s;
  const WorkloadResult result = runWorkload(once);
  EXPECT_EQ(result.completed, 5u) << result.firstError;
  EXPECT_LT(result.seconds, 4.0);
  server.stop();
  EXPECT_EQ(server.test().context.registry.totalCount(), 5u);
}

// A socket bound to a free loopback port: connections to it are refused until it listens, and
// queue unanswered once it does.
struct Unserved {
  Unserved() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  Socket socket{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  std::uint16_t port = 0;
};

TEST(Workload, RefusedConnectionsAreFailuresWithTheirReason) {
  Unserved unserved;
  const WorkloadResult result = runWorkload(
      twoClients(unserved.port, {Expectation::Kind::Ack}, {request(MessageType::AckRequest)}));
  EXPECT_EQ(result.completed, 0u);
  EXPECT_GT(result.failed, 0u);
  EXPECT_NE(result.firstError.find("connect"), std::string::npos) << result.firstError;
  EXPECT_LT(result.seconds, 1.5);
}

TEST(Workload, RequestsThatAreNeverAnsweredAreCutOffAtTheDrainLimit) {
  Unserved unserved;
  ASSERT_EQ(::listen(unserved.socket.fd(), 16), 0);
  Workload stuck =
      twoClients(unserved.port, {Expectation::Kind::Ack}, {request(MessageType::AckRequest)});
  stuck.budget = 100ms;
  stuck.drainLimit = 300ms;
  const WorkloadResult result = runWorkload(stuck);
  EXPECT_EQ(result.completed, 0u);
  EXPECT_EQ(result.failed, 0u) << result.firstError;
  EXPECT_EQ(result.unfinished, 2u);
  EXPECT_GE(result.seconds, 0.4);
  EXPECT_LT(result.seconds, 1.5);
}

TEST(Workload, BaselineServerAcknowledgesEveryRequest) {
  BaselineServer baseline;
  const WorkloadResult result = runWorkload(
      twoClients(baseline.port(), {Expectation::Kind::Ack}, {request(MessageType::AckRequest)}));
  EXPECT_GT(result.completed, 0u);
  EXPECT_EQ(result.failed, 0u) << result.firstError;
}

TEST(HostilePeers, CensusTellsWhichPeersTheServerStillHolds) {
  // The server drops a peer that spends a second in one step of its request.
  LoopSettings settings = testing::quickSettings();
  settings.recvTimeout = 1s;
  testing::LoopbackServer server(settings);
  server.start();
  HostilePeers peers(8, server.port());
  using Kind = HostilePeers::Kind;
  const auto at = [](Kind kind) { return static_cast<std::size_t>(kind); };
  std::this_thread::sleep_for(200ms);
  HostilePeers::Census census = peers.census();
  for (std::size_t kind = 0; kind < HostilePeers::kKinds; ++kind) EXPECT_EQ(census.peers[kind], 2u);
  EXPECT_EQ(census.heldByServer[at(Kind::Silent)], 2u);
  EXPECT_EQ(census.heldByServer[at(Kind::Trickling)], 2u);
  EXPECT_EQ(census.heldByServer[at(Kind::BigBody)], 2u);
  EXPECT_EQ(census.open[at(Kind::Silent)], 2u);
  // The empty registry's 380-byte listing fits in the peer's buffer: the server has sent it all
  // and closed, though the peer never read it.
  EXPECT_EQ(census.heldByServer[at(Kind::NotReading)], 0u);
  EXPECT_EQ(census.open[at(Kind::NotReading)], 0u);
  EXPECT_EQ(peers.listingBytesReceived(), (std::pair<std::uint64_t, std::uint64_t>{380, 380}));

  const auto dropped = [&] {
    census = peers.census();
    return census.heldByServer[at(Kind::Silent)] == 0 &&
           census.heldByServer[at(Kind::BigBody)] == 0 && census.open[at(Kind::BigBody)] == 0;
  };
  const auto giveUp = std::chrono::steady_clock::now() + 5s;
  while (!dropped() && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(dropped());
}

}  // namespace
}  // namespace dirserver::bench

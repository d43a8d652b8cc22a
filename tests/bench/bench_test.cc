// The benchmark's own logic where a fault would falsify its figures: percentiles, the hosts it
// preloads and registers, the check of each answer, the bound on a workload's duration, the static
// listing server, the figures it reads from the server's metrics page and from /proc (memory,
// bytes written, dropped peers).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <numeric>
#include <thread>
#include <tuple>

#include "hosts.h"
#include "latency.h"
#include "listing/list_reply.h"
#include "load.h"
#include "net/listener.h"
#include "proc_stats.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"
#include "durability.h"
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
  const Expectation isAck{Expectation::Kind::Ack}, isListing{Expectation::Kind::Listing, 4, 4};
  const Expectation listingOfFiveOrMore{Expectation::Kind::Listing, 5, 9};
  const Expectation listingOfThreeOrFour{Expectation::Kind::Listing, 3, 4};
  const std::tuple<const char*, Expectation, ByteView, std::uint64_t, bool> cases[] = {
      {"the acknowledgement", isAck, ack, ack.size(), true},
      {"another last byte", isAck, otherAck, ack.size(), false},
      {"an acknowledgement cut short", isAck, ByteView(ack).first(10), 10, false},
      {"the listing", isListing, head, listing.size(), true},
      {"another entry count", {Expectation::Kind::Listing, 5, 5}, head, listing.size(), false},
      {"an entry count below the range", listingOfFiveOrMore, head, listing.size(), false},
      {"an entry count at the top of the range", listingOfThreeOrFour, head, listing.size(), true},
      {"a length its header does not give", isListing, head, listing.size() - 1, false},
      {"a listing cut inside its header", isListing, head.first(15), 15, false},
      {"an acknowledgement for a listing", isListing, ackHead, ack.size(), false}};
  for (const auto& [what, expect, bytes, total, good] : cases) {
    EXPECT_EQ(checkAnswer(expect, bytes, total).empty(), good) << what;
  }
}

TEST(Workload, ResultsOfSeveralRoundsPoolTheirTimeAndSamples) {
  WorkloadResult total;
  WorkloadResult first, second;
  first.completed = 3;
  first.failed = 1;
  first.seconds = 0.5;
  first.firstError = "first";
  first.samples = {1, 2, 3};
  second.completed = 1;
  second.unfinished = 2;
  second.seconds = 1.5;
  second.firstError = "second";
  second.samples = {10};
  accumulate(total, first);
  accumulate(total, second);
  EXPECT_EQ(total.completed, 4u);
  EXPECT_EQ(total.failed, 1u);
  EXPECT_EQ(total.unfinished, 2u);
  // Four answers in the two seconds the rounds ran, not the mean of their rates (3.33).
  EXPECT_DOUBLE_EQ(total.rate(), 2.0);
  EXPECT_EQ(total.latency.count, 4u);
  EXPECT_EQ(total.latency.p50, 2);
  EXPECT_EQ(total.latency.max, 10);
  EXPECT_EQ(total.firstError, "first");
}

TEST(Workload, SendsEveryRequestOfEachUnitOnceWhenAskedToSendThemOnce) {
  const BaselineServer server;
  Workload pairs;
  pairs.port = server.port();
  for (int i = 0; i < 6; ++i) pairs.requests.push_back(request(MessageType::AckRequest));
  pairs.unitSize = 2;
  pairs.once = true;
  pairs.clients = 4;  // more clients than units
  pairs.budget = Seconds(10);
  const WorkloadResult result = runWorkload(pairs);
  EXPECT_EQ(result.completed, 6u) << result.firstError;
  EXPECT_EQ(result.failed + result.unfinished, 0u);
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
  // The budget and the drain limit, and nothing like the minute a stuck request could take (the
  // upper bound leaves room for a loaded machine).
  EXPECT_TRUE(result.seconds >= 0.4 && result.seconds < 10) << result.seconds;
}

TEST(StaticListing, EveryConnectionGetsTheWholeAnswerFetchedOnce) {
  // Bigger than a socket buffer, so that sends are partial; odd, so that no chunk size divides it.
  Bytes listing(3 * 1024 * 1024 + 7);
  for (std::size_t i = 0; i < listing.size(); ++i) listing[i] = static_cast<std::uint8_t>(i * 31);
  const StaticServer server(listing);
  std::vector<std::thread> clients;
  std::vector<Bytes> answers(4);
  for (Bytes& answer : answers) {
    clients.emplace_back([&server, &answer] {
      std::string error;
      answer = fetch(server.port(), request(MessageType::ListRequest),
                     Clock::now() + std::chrono::seconds(20), error);
      EXPECT_EQ(error, "");
    });
  }
  for (std::thread& client : clients) client.join();
  for (const Bytes& answer : answers) EXPECT_TRUE(answer == listing) << answer.size();
  // The baseline's answer is the acknowledgement.
  const BaselineServer acks;
  std::string error;
  const Bytes ack = fetch(acks.port(), request(MessageType::AckRequest),
                          Clock::now() + std::chrono::seconds(5), error);
  EXPECT_EQ(ack, Bytes(kAckMessage.begin(), kAckMessage.end())) << error;
}

TEST(ServerFigures, MetricsHistogramsAndDiskCountersParse) {
  const auto before = parseMetrics(
      "# HELP x y\nx_bucket{le=\"0.001\"} 1\nx_bucket{le=\"0.01\"} 2\nx_bucket{le=\"+Inf\"} 2\n"
      "dirserver_commits_total 5\n");
  const auto after = parseMetrics(
      "x_bucket{le=\"0.001\"} 1\nx_bucket{le=\"0.01\"} 92\nx_bucket{le=\"+Inf\"} 102\n"
      "dirserver_commits_total 7\n");
  EXPECT_EQ(after.at("dirserver_commits_total"), 7);
  // Between the scrapes: 90 at most 10 ms, 10 beyond the last bound.
  EXPECT_EQ(histogramQuantile(before, after, "x", 0.5), 0.01);
  EXPECT_EQ(histogramQuantile(before, after, "x", 0.9), 0.01);
  EXPECT_TRUE(std::isinf(histogramQuantile(before, after, "x", 0.99)));
  EXPECT_EQ(histogramQuantile(after, after, "x", 0.5), -1);
  EXPECT_EQ(ioWriteBytes("rchar: 1\nwchar: 2\nread_bytes: 3\nwrite_bytes: 4096\n"), 4096u);
  const char* diskstats =
      " 254       0 vda 100 0 800 50 200 10 4000 70 0 90 120 0 0 0 0\n"
      " 254       1 vda1 1 0 8 5 2 1 40 7 0 9 12 0 0 0 0\n";
  EXPECT_EQ(deviceWrittenBytes(diskstats, 254, 0), 4000u * 512);
  EXPECT_EQ(deviceWrittenBytes(diskstats, 254, 1), 40u * 512);
  EXPECT_EQ(deviceWrittenBytes(diskstats, 8, 0), 0u);
}

TEST(Resident, ReadsTheFieldsOfProcStatus) {
  const Resident self = residentOf(::getpid());
  EXPECT_GT(self.now, 0u);
  EXPECT_GE(self.peak, self.now);
}

TEST(BenchProcStats, TakesEachFigureFromItsOwnLineOnly) {
  const std::string status =
      "Name:\tdirserver\nVmPeak:\t  300000 kB\nVmHWM:\t   91234 kB\nVmRSS:\t    9120 kB\n"
      "RssAnon:\t    5000 kB\n";
  EXPECT_EQ(statusKiB(status, "VmHWM"), 91234u);
  EXPECT_EQ(statusKiB(status, "VmRSS"), 9120u);
  EXPECT_EQ(statusKiB(status, "VmSwap"), std::nullopt);
  EXPECT_EQ(statusKiB("VmRSS:\t  12 pages\n", "VmRSS"), std::nullopt);
  EXPECT_EQ(statusKiB("", "VmRSS"), std::nullopt);

  // The UDP line has a "mem" too, and /proc/net/sockstat6 a "TCP6:" line.
  EXPECT_EQ(sockstatTcpPages("sockets: used 12\nUDP: inuse 0 mem 999\n"
                             "TCP6: inuse 1\nTCP: inuse 1 orphan 0 tw 11 alloc 1 mem 156\n"),
            156u);
  EXPECT_EQ(sockstatTcpPages("TCP: inuse 1 orphan 0 tw 11 alloc 1\nUDP: inuse 0 mem 3\n"),
            std::nullopt);
  EXPECT_EQ(sockstatTcpPages("TCP: inuse 1 mem many\n"), std::nullopt);
  EXPECT_EQ(sockstatTcp("TCP: inuse 1 orphan 513 tw 11 alloc 1 mem 156\n", "orphan"), 513u);
}

TEST(BenchProcStats, ThisKernelsFilesParseAndThePeakResidentCanBeReset) {
  // Without a reset, a server's peak would be the one of loading its file, not of the peers.
  const auto kib = [](std::string_view field) {
    return statusKiB(readProcFile("/proc/self/status"), field).value_or(0);
  };
  constexpr std::size_t kBlock = 64 << 20;
  void* block = ::mmap(nullptr, kBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  std::memset(block, 1, kBlock);
  ::munmap(block, kBlock);
  const std::uint64_t peak = kib("VmHWM");
  ASSERT_GT(peak, kib("VmRSS") + (32 << 10));
  ASSERT_TRUE(resetPeakResident(::getpid()));
  EXPECT_LT(kib("VmHWM"), peak - (32 << 10));

  EXPECT_TRUE(sockstatTcpPages(readProcFile("/proc/net/sockstat")).has_value());
  EXPECT_TRUE(sockstatTcp(readProcFile("/proc/net/sockstat"), "orphan").has_value());

  // The loop's processor time, which grows as it works.
  const auto before = mainThreadRunNanoseconds(::getpid());
  ASSERT_TRUE(before.has_value());
  volatile std::uint64_t sum = 0;
  for (int spin = 0; spin < 20'000'000; ++spin) sum = sum + static_cast<std::uint64_t>(spin);
  EXPECT_GT(*mainThreadRunNanoseconds(::getpid()), *before + 1'000'000);
  EXPECT_EQ(schedstatRunNanoseconds("3712003 120114 37\n"), 3712003u);
  EXPECT_FALSE(schedstatRunNanoseconds("x 1 2").has_value());
}

TEST(BenchProcStats, TcpMemIsThreeAscendingNumbers) {
  const auto limits = parseTcpMem("287907\t383878\t575814\n");
  ASSERT_TRUE(limits.has_value());
  EXPECT_EQ(limits->low, 287907u);
  EXPECT_EQ(limits->pressure, 383878u);
  EXPECT_EQ(limits->high, 575814u);
  EXPECT_TRUE(parseTcpMem("1 2 3").has_value());
  for (const char* bad : {"", "287907 383878", "1 2 3 4", "3 2 1", "1 2 3x", "-1 2 3"}) {
    EXPECT_EQ(parseTcpMem(bad).has_value(), false) << bad;
  }
}

TEST(BenchProcStats, TcpTableShowsAConnectionUnderTheAddressesAndPortsItsSocketsHave) {
  // The census of dropped peers matches /proc/net/tcp's lines with getsockname()'s results; a
  // byte-order slip would count every peer as dropped.
  const std::string text =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout\n"
      "   0: 00000000:1771 00000000:0000 0A 00000000:00000003 00:00000000 00000000     0        0\n"
      "   1: 0100007F:1771 0200007F:D431 01 00000000:00000000 00:00000000 00000000     0        0\n"
      "   2: not a socket line\n";
  const auto table = parseTcpTable(text);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].state, kTcpListen);
  EXPECT_EQ(table[0].localPort, 6001);
  EXPECT_EQ(table[0].rxQueue, 3u);
  EXPECT_EQ(table[1].state, kTcpEstablished);
  EXPECT_EQ(table[1].remotePort, 0xD431);

  const Socket listener(bindListener(0, loopbackAddress()));
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  std::string error;
  const Socket client = connectLoopback(
      localPort(listener.fd()), Clock::now() + std::chrono::seconds(5), error, loopbackAddress(1));
  ASSERT_TRUE(client.valid()) << error;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&local), &length), 0);
  bool found = false;
  for (const TcpSocket& socket : parseTcpTable(readProcFile("/proc/net/tcp"))) {
    if (socket.localPort == localPort(listener.fd()) && socket.state == kTcpEstablished &&
        socket.remoteAddress == local.sin_addr.s_addr &&
        socket.remotePort == ntohs(local.sin_port)) {
      found = true;
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace dirserver::bench

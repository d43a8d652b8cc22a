// The benchmark's own logic where a fault would falsify its figures: percentiles, the hosts it
// preloads and registers, the check of each answer, the bound on a workload's duration, the static
// listing server, and the saves, staleness and memory figures it reads from outside the server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <numeric>
#include <thread>
#include <tuple>

#include "hosts.h"
#include "latency.h"
#include "listing/list_reply.h"
#include "load.h"
#include "net/listener.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "registry/server_list_file.h"
#include "saves.h"
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
  // The budget and the drain limit, and not much more.
  EXPECT_TRUE(result.seconds >= 0.4 && result.seconds < 1.5) << result.seconds;
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

Clock::time_point at(int ms) { return Clock::time_point(std::chrono::milliseconds(ms)); }

TEST(SaveLog, PairsATemporaryFileWithTheRenameThatEndsIt) {
  SaveLog log;
  log.finished(at(1));  // a file moved in with no save under way: not the server's save
  log.started(at(10));
  EXPECT_TRUE(log.saving());
  log.started(at(12));  // the first attempt failed and left its file: the second one counts
  log.finished(at(20));
  log.started(at(30));
  log.abandoned();  // a failed save removed its temporary file
  log.finished(at(35));
  log.started(at(40));
  log.finished(at(45));
  ASSERT_EQ(log.saves().size(), 2u);
  EXPECT_EQ(log.saves()[0].start, at(12));
  EXPECT_EQ(log.saves()[0].end, at(20));
  EXPECT_EQ(log.saves()[1].start, at(40));
  EXPECT_FALSE(log.saving());
}

TEST(Staleness, RunsToTheEndOfTheFirstSaveStartedAfterTheAcknowledgement) {
  const std::vector<Save> saves = {{at(10), at(20)}, {at(30), at(50)}, {at(60), at(65)}};
  // In no particular order: an ack before any save, one during the first save (which may have
  // read the registry before the change), one at the very start of a save (not after it), and
  // one after the last save started.
  const std::vector<Clock::time_point> acks = {at(25), at(5), at(15), at(30), at(61)};
  const Staleness result = staleness(acks, saves);
  EXPECT_EQ(result.milliseconds, (std::vector<double>{25, 15, 35, 35}));
  EXPECT_EQ(result.uncovered, 1u);
}

TEST(SaveWatcher, SeesTheServersWriteAndRenameAndNothingElse) {
  char pattern[] = "/tmp/bench-test-saves.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  {
    const SaveWatcher watcher(dir);
    const auto write = [&](const char* name) { std::ofstream(dir / name) << "bytes"; };
    write("server_list.dat");          // written in place: no save of the server's
    write("server_list.dat.damaged");  // another name
    const auto before = Clock::now();
    write("server_list.dat.tmp");
    std::filesystem::rename(dir / "server_list.dat.tmp", dir / "server_list.dat");
    const auto after = Clock::now();
    for (int i = 0; i < 2000 && watcher.saves().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<Save> saves = watcher.saves();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_TRUE(saves[0].start >= before && saves[0].start <= saves[0].end);
    EXPECT_TRUE(saves[0].end <= after + std::chrono::seconds(2));
    EXPECT_FALSE(watcher.saving());
  }
  std::filesystem::remove_all(dir);
}

TEST(Resident, ReadsTheFieldsOfProcStatus) {
  const std::string status =
      "Name:\tdirserver\nVmHWMX:\t1 kB\nVmHWM:\t   61832 kB\nVmRSS:\t   51600 kB\n";
  EXPECT_EQ(statusKiB(status, "VmHWM"), 61832u);
  EXPECT_EQ(statusKiB(status, "VmRSS"), 51600u);
  EXPECT_EQ(statusKiB(status, "VmSwap"), 0u);
  const Resident self = residentOf(::getpid());
  EXPECT_GT(self.now, 0u);
  EXPECT_GE(self.peak, self.now);
}

}  // namespace
}  // namespace dirserver::bench

#include "server/server_core.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>

#include "common/text.h"
#include "listing/list_reply.h"
#include "registry/server_key.h"
#include "support/loopback.h"

// Allocations of half a megabyte or more (request bodies of that size) the test process made.
std::atomic<std::size_t> largeAllocations{0};
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (size >= (1u << 19)) ++largeAllocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::Client;
using testing::CoreHarness;
using testing::countOf;
using testing::hostStrings;
using testing::ipv4;
using testing::registration;
using testing::request;
using testing::shutdown;

constexpr const char* kAckHex = "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00";
constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";

Bytes header(std::uint32_t size, std::uint32_t id, std::uint32_t type) {
  Bytes bytes;
  putHeader(bytes, {size, id, type});
  return bytes;
}

ServerRegistry largeRegistry(std::size_t hosts, std::size_t nameLength = 1000) {
  ServerRegistry registry;
  for (std::size_t i = 0; i < hosts; ++i) {
    auto record = testing::makeRecord(
        hostStrings(kMelee, std::string(nameLength, 'a') + std::to_string(i)));
    registry.insert(ServerType::Melee, computeServerKey(record.fields), record);
  }
  return registry;
}

// Whether the server is done with a client that does not read: it has closed or reset the
// connection. Unlike Client::closed(), reads nothing.
bool dropped(const Client& client) {
  pollfd check{client.fd(), POLLRDHUP, 0};
  return ::poll(&check, 1, 0) > 0 && (check.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// ---------------------------------------------------------------------------------------------
// One request, in any pieces, within its deadlines

TEST(ServerCore, ServesRequestsInPiecesAndReportsBadOnes) {
  CoreHarness server;
  server.start();
  const Bytes largest =
      request(MessageType::AckRequest, Bytes(kMaxMessageSize - kHeaderSize, 0x5A));
  for (const auto& [whole, piece] : {std::pair{registration("Bob"), 3}, std::pair{largest, 100'000}}) {
    Client client(server.port());
    for (std::size_t at = 0; at < whole.size(); at += piece) {
      client.send(ByteView(whole).subspan(at, std::min<std::size_t>(piece, whole.size() - at)));
      server.pump();
    }
    bool closed = false;
    EXPECT_EQ(hexText(client.receiveNow(&closed)), kAckHex);
    EXPECT_TRUE(closed);
  }
  // A trickle whose every step completes within its deadline gets through, though the whole
  // request takes far longer than one deadline.
  Client trickle(server.port());
  const Bytes slow = request(MessageType::AckRequest, Bytes{1, 2, 3, 4});
  for (std::size_t at = 0; at < slow.size(); at += 4) {
    server.advance(29s);
    trickle.send(ByteView(slow).subspan(at, 4));
    server.pump();
  }
  EXPECT_EQ(hexText(trickle.receiveNow()), kAckHex);
  // A rejected registration is still acknowledged.
  EXPECT_EQ(hexText(server.roundTrip(request(MessageType::Registration, Bytes{3})).value()),
            kAckHex);
  // Each of these gets no answer at all, and its line; a peer that closes early is noticed at
  // once, without any time passing.
  const Bytes body20 = request(MessageType::Registration, Bytes(20, 0));
  const std::pair<Bytes, const char*> bad[] = {
      {header(11, 30, 8), "+error: invalid msg size\n"},
      {header(0x80000000, 99, 8), "+error: invalid msg size\n"},
      {header(kMaxMessageSize + 1, 30, 8), "+error: invalid msg size\n"},
      {header(12, 31, 8), "+error: invalid msg id\n"},
      {Bytes(body20.begin(), body20.begin() + 2), "+error: recv() error - msg size\n"},
      {Bytes(body20.begin(), body20.begin() + 6), "+error: recv() error - msg id\n"},
      {Bytes(body20.begin(), body20.begin() + 10), "+error: recv() error - msg type\n"},
      {Bytes(body20.begin(), body20.begin() + 20), "+error: recv() error - invalid data length\n"},
      {request(5u, Bytes(1000, 1)), "+warning: unhandled msg type: 0x05\n"},
  };
  std::string expected = "+error: invalid data size\n";
  for (const auto& [bytes, line] : bad) {
    Client client(server.port());
    client.send(bytes);
    client.finishSending();
    server.pump();
    bool closed = false;
    EXPECT_TRUE(client.receiveNow(&closed).empty()) << line;
    EXPECT_TRUE(closed) << line;
    expected += line;
  }
  EXPECT_EQ(server.test().console.err(), expected);
  EXPECT_EQ(server.context().registry.totalCount(), 1u);
  EXPECT_EQ(server.core().connectionCount(), 0u);
  const ServerStats& stats = server.core().status().stats;
  EXPECT_EQ(stats.errors[static_cast<int>(ConsoleError::InvalidSize)], 3u);
  EXPECT_EQ(stats.requests[static_cast<int>(RequestKind::Registration)]
                          [static_cast<int>(RequestOutcome::Rejected)],
            1u);
}

TEST(ServerCore, EachStepHasItsOwnDeadlineAndStalledPeersHoldNoOneElseUp) {
  CoreHarness server;
  server.context().registry = largeRegistry(2000);  // a listing of several megabytes
  server.start();
  const Bytes ack = request(MessageType::AckRequest, Bytes{7});
  std::vector<Client> peers;
  peers.emplace_back(server.port());  // silent
  peers.emplace_back(server.port());  // stalls inside its id word
  peers.back().send(ByteView(ack).first(5));
  peers.emplace_back(server.port());  // stalls inside its type word
  peers.back().send(ByteView(ack).first(9));
  peers.emplace_back(server.port());  // announces a body and sends none of it
  peers.back().send(ByteView(ack).first(12));
  peers.emplace_back(server.port());  // asks for the listing and never reads it
  peers.back().send(request(MessageType::ListRequest));
  server.pump();
  // Meanwhile a good client is served, the listing too.
  EXPECT_EQ(hexText(server.roundTrip(request(MessageType::AckRequest)).value()), kAckHex);
  EXPECT_EQ(server.roundTrip(request(MessageType::ListRequest)).value(),
            buildListReply(server.context().registry));
  server.advance(29'999ms);
  for (Client& peer : peers) EXPECT_FALSE(peer.closed());
  EXPECT_EQ(server.test().console.err(), "");
  server.advance(1ms);
  for (Client& peer : peers) EXPECT_TRUE(peer.closed());
  // The reader that was too slow is dropped without a line.
  EXPECT_EQ(server.test().console.err(),
            "+error: recv() error - msg size\n+error: recv() error - msg id\n"
            "+error: recv() error - msg type\n+error: recv() error - invalid data length\n");
  EXPECT_EQ(server.core().connectionCount(), 0u);
}

TEST(ServerCore, RequestThatCameWithItsConnectionIsAnsweredAtAccept) {
  CoreHarness server;
  server.start();
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  const Bytes ack = request(MessageType::AckRequest);
  ASSERT_EQ(::send(pair[0], ack.data(), ack.size(), 0), static_cast<ssize_t>(ack.size()));
  server.core().adopt(pair[1], ipv4("127.0.0.9"));
  // No reactor pass has run: the answer went out from the accept itself.
  std::uint8_t answer[64];
  EXPECT_EQ(::recv(pair[0], answer, sizeof answer, MSG_DONTWAIT), 14);
  EXPECT_EQ(server.core().connectionCount(), 0u);
  ::close(pair[0]);
  // A registration and a list request, both answered before any pass ends: the listing holds the
  // host all the same. What the peer sends after its request is never acted on.
  Bytes annThenEve = registration("Ann");
  const Bytes eve = registration("Eve");
  annThenEve.insert(annThenEve.end(), eve.begin(), eve.end());
  for (const Bytes& asked : {annThenEve, request(MessageType::ListRequest)}) {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(::send(pair[0], asked.data(), asked.size(), 0), static_cast<ssize_t>(asked.size()));
    server.core().adopt(pair[1], ipv4("127.0.0.9"));
    Bytes got(4096);
    got.resize(static_cast<std::size_t>(::recv(pair[0], got.data(), got.size(), MSG_DONTWAIT)));
    ::close(pair[0]);
    if (asked[8] == 2) {
      EXPECT_EQ(got, buildListReply(server.context().registry));
    }
  }
  EXPECT_EQ(server.context().registry.totalCount(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Bounds on what peers hold, and their release

TEST(ServerCore, PerAddressBoundHoldsAndItsCountsAreReleased) {
  CoreSettings settings;
  settings.maxConnectionsPerAddress = 2;
  CoreHarness server(settings);
  server.start();
  const std::uint32_t local = ipv4("127.0.0.1");
  {
    std::vector<Client> held;
    for (int i = 0; i < 2; ++i) held.emplace_back(server.port(), "127.0.0.1");
    server.pump();
    EXPECT_EQ(server.core().connectionsFrom(local), 2u);
    // Over the per-address bound: closed at once, nothing sent.
    Client over(server.port(), "127.0.0.1");
    server.pump();
    bool closed = false;
    EXPECT_TRUE(over.receiveNow(&closed).empty());
    EXPECT_TRUE(closed);
    // Another address is not held back by it.
    EXPECT_EQ(hexText(server.roundTrip(request(MessageType::AckRequest), "127.0.0.2").value()),
              kAckHex);
    held.front().send(request(MessageType::AckRequest));  // done: gives its count back
    server.pump();
    EXPECT_EQ(server.core().connectionsFrom(local), 1u);
  }  // the clients close; the server notices when the deadline passes
  server.advance(30s);
  EXPECT_EQ(server.core().connectionCount(), 0u);
  EXPECT_EQ(server.core().connectionsFrom(local), 0u);
  // The address's count was given back: it may hold its full share again.
  std::vector<Client> again;
  for (int i = 0; i < 2; ++i) again.emplace_back(server.port(), "127.0.0.1");
  for (Client& client : again) client.send(request(MessageType::AckRequest));
  server.pump();
  for (Client& client : again) EXPECT_EQ(hexText(client.receiveNow()), kAckHex);
  // A sweep reports the refusal.
  server.advance(60s);
  EXPECT_NE(server.test().console.err().find(
                "+warning: refused 1 connections over the per-address limit\n"),
            std::string::npos);
  EXPECT_EQ(server.core().status().stats.connectionsRefused, 1u);
}

TEST(ServerCore, WhenEverySlotIsTakenTheHeaviestAddressGivesWay) {
  CoreSettings settings;
  settings.maxConnections = 4;
  settings.maxConnectionsPerAddress = 4;
  CoreHarness server(settings);
  server.start();
  std::vector<Client> silent;
  for (int i = 0; i < 3; ++i) {
    silent.emplace_back(server.port(), "127.0.0.1");
    server.advance(1s);
  }
  silent.emplace_back(server.port(), "127.0.0.2");
  server.pump();
  silent[1].send(ByteView(request(MessageType::AckRequest)).first(2));  // some progress
  server.advance(1s);
  // Full. A newcomer from another address is served at once, in the place of the connection of
  // the heaviest address that has been silent longest.
  EXPECT_EQ(server.roundTrip(request(MessageType::ListRequest), "127.0.0.3").value().size(), 380u);
  EXPECT_TRUE(silent[0].closed());
  for (std::size_t i = 1; i < silent.size(); ++i) EXPECT_FALSE(silent[i].closed()) << i;
  // Full again; a newcomer from the heaviest address itself is turned away.
  silent.emplace_back(server.port(), "127.0.0.1");
  server.pump();
  Client greedy(server.port(), "127.0.0.1");
  server.pump();
  EXPECT_TRUE(greedy.closed());
  EXPECT_FALSE(silent.back().closed());
  // Addresses tied at the most give way by progress alone: with one connection each, the one
  // that has gone longest without moving a byte goes, whichever address it came from.
  CoreSettings one;
  one.maxConnections = 3;
  CoreHarness tied(one);
  tied.start();
  std::vector<Client> each;
  for (const char* source : {"127.0.0.4", "127.0.0.5", "127.0.0.6"}) {
    each.emplace_back(tied.port(), source);
    tied.advance(1s);
  }
  each[0].send(ByteView(request(MessageType::AckRequest)).first(2));  // the oldest, but it moves
  tied.advance(1s);
  EXPECT_EQ(hexText(tied.roundTrip(request(MessageType::AckRequest), "127.0.0.7").value()),
            kAckHex);
  EXPECT_FALSE(each[0].closed());
  EXPECT_TRUE(each[1].closed());
  EXPECT_FALSE(each[2].closed());

  const ServerStats& stats = server.core().status().stats;
  EXPECT_EQ(stats.connectionsShed, 1u);
  EXPECT_EQ(stats.connectionsRefused, 1u);
  server.advance(60s);
  const std::string err = server.test().console.err();
  EXPECT_NE(err.find("+warning: dropped 1 connections that made no progress, to make room\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("+warning: refused 1 connections while every slot was taken"),
            std::string::npos)
      << err;
}

TEST(ServerCore, NonReadingPeersPinListingPiecesOnceAndWithinTheirBudgets) {
  // Hosts of long names, a dozen to a piece: each change makes a piece of some 24 kB anew. The
  // listing is larger than what a client's kernel takes in unread.
  const ServerRegistry hosts = largeRegistry(300);
  const std::size_t listing = buildListReply(hosts).size();  // about 650 kB
  CoreSettings settings;
  settings.sendBufferBytes = 4096;
  settings.memoryBudgetBytes = listing + 80'000;  // room for a few changed pieces
  settings.stalledSendBytes = 6 * 2 * 4096;       // six stalled readers
  CoreHarness server(settings);
  server.context().registry = hosts;
  server.start();
  const ServerCore& core = server.core();
  // Each non-reader and the version of the listing it pins.
  std::vector<std::pair<Client, PublishedPtr>> peers;
  const auto nonReader = [&] {
    peers.emplace_back(Client(server.port()), server.changes().published());
    peers.back().first.send(request(MessageType::ListRequest));
    server.advance(1s);
  };
  // What the open non-readers pin: each piece once, whichever versions hold it, and each version's
  // bookkeeping once.
  const auto pinned = [&] {
    std::set<const PublishedSnapshot*> versions;
    std::set<const Bytes*> pieces;
    std::size_t bytes = 0;
    for (auto& [peer, version] : peers) {
      if (dropped(peer) || !versions.insert(version.get()).second) continue;
      bytes += bookkeepingBytes(*version);
      for (const auto& type : version->listing) {
        for (const ListingPiece& piece : type) {
          if (pieces.insert(piece.get()).second) bytes += piece->size();
        }
      }
    }
    return bytes;
  };
  nonReader();
  nonReader();
  EXPECT_EQ(core.answerBudgetInUse(), pinned());
  EXPECT_LT(core.answerBudgetInUse(), listing + listing / 10);  // two readers, one listing
  // Each change makes a new version, which shares all but a piece with the one before: the
  // budget holds a few of them. Past it, the readers that stalled longest on an old version go.
  for (int change = 1; change <= 6; ++change) {
    server.roundTrip(registration("New " + std::to_string(change)));
    nonReader();
    EXPECT_EQ(core.answerBudgetInUse(), pinned()) << change;
    EXPECT_LE(core.answerBudgetInUse(), settings.memoryBudgetBytes) << change;
  }
  EXPECT_GT(core.status().stats.connectionsShed, 0u);
  EXPECT_TRUE(dropped(peers.front().first));
  EXPECT_FALSE(dropped(peers.back().first));  // a reader of the current listing frees nothing
  // Readers of the current listing free no memory by going, but each fills a send buffer: past
  // six, the one stalled longest goes.
  const auto shed = core.status().stats.connectionsShed.load();
  const auto held = [&] {
    return std::count_if(peers.begin(), peers.end(), [](const auto& p) { return !dropped(p.first); });
  };
  for (int more = 0; more < 20 && held() < 6; ++more) nonReader();
  ASSERT_EQ(held(), 6);
  EXPECT_EQ(core.status().stats.connectionsShed, shed);
  nonReader();
  EXPECT_EQ(held(), 6);
  EXPECT_EQ(core.status().stats.connectionsShed, shed + 1);
  EXPECT_FALSE(dropped(peers.back().first));  // the newcomer is never the one stalled longest
  // A reader that reads gets the whole listing all the same.
  EXPECT_EQ(server.roundTrip(request(MessageType::ListRequest)).value(),
            buildListReply(server.context().registry));
  peers.clear();
  server.advance(30s);
  EXPECT_EQ(core.answerBudgetInUse(), 0u);
}

TEST(ServerCore, LargeBodiesShareABudgetThatIsGivenBack) {
  CoreSettings settings;
  settings.freeBodyBytes = 1024;
  settings.memoryBudgetBytes = 100'000;
  CoreHarness server(settings);
  server.start();
  // Two announcements of 49 kB hold 98 kB of the budget and send nothing more.
  Client hog1(server.port());
  hog1.sendHeader(12 + 49'000, 30, 8);
  Client hog2(server.port());
  hog2.sendHeader(12 + 49'000, 30, 8);
  server.pump();
  EXPECT_EQ(server.core().bodyBudgetInUse(), 98'000u);
  server.advance(10s);
  // A 20 kB body and a registration of 3 kB, each sent whole, must wait for budget (holding no
  // more of their bodies than a small request may)...
  Client large(server.port());
  large.send(request(MessageType::AckRequest, Bytes(20'000, 1)));
  const std::string longName(1500, 'n');
  Client registering(server.port());
  registering.send(registration(longName));
  server.pump();
  // ...while small requests go through.
  EXPECT_EQ(hexText(server.roundTrip(request(MessageType::AckRequest, Bytes(1000, 1))).value()),
            kAckHex);
  EXPECT_TRUE(large.receiveNow().empty());
  EXPECT_TRUE(registering.receiveNow().empty());
  EXPECT_EQ(server.context().registry.totalCount(), 0u);
  // When the hogs are dropped, the waiting requests are read whole and answered.
  server.advance(20s);
  EXPECT_TRUE(hog1.closed());
  EXPECT_EQ(hexText(large.receiveNow()), kAckHex);
  EXPECT_EQ(hexText(registering.receiveNow()), kAckHex);
  ASSERT_EQ(server.context().registry.totalCount(), 1u);
  const auto& host = *server.context().registry.begin(ServerType::Melee)->record;
  EXPECT_EQ(toDisplayText(host.fields[kNameField].bytes()), longName);
  EXPECT_EQ(server.core().bodyBudgetInUse(), 0u);
  // Every byte came back: a body of 90 kB fits again at once.
  EXPECT_EQ(hexText(server.roundTrip(request(MessageType::AckRequest, Bytes(90'000, 1))).value()),
            kAckHex);
  EXPECT_EQ(countOf(server.test().console.err(), "+error: recv() error - invalid data length\n"),
            2u);
}

TEST(ServerCore, AMassCloseAdmitsWaitingBodiesOnlyForConnectionsThatStayOpen) {
  constexpr std::uint32_t kMiB = 1 << 20;
  CoreSettings settings;
  settings.memoryBudgetBytes = 4 * kMiB;
  CoreHarness server(settings);
  server.start();
  // Four peers hold the whole budget with bodies of a megabyte they never finish; four more wait
  // for it. All their deadlines fall in the same pass.
  std::vector<Client> peers;
  for (int i = 0; i < 8; ++i) {
    peers.emplace_back(server.port());
    peers.back().sendHeader(kHeaderSize + kMiB - 100, 30, 8);
    if (i < 4) peers.back().send(Bytes(1000, 7));
    server.pump();
  }
  EXPECT_EQ(server.core().bodyBudgetInUse(), 4 * (kMiB - 100));
  const std::size_t before = largeAllocations;
  server.advance(30s);
  for (Client& peer : peers) EXPECT_TRUE(peer.closed());
  EXPECT_EQ(largeAllocations, before) << "a body was made for a connection closing in that pass";
}

TEST(ServerCore, SweepRunsEveryMinuteWhateverTheTraffic) {
  CoreHarness server;
  auto& t = server.test();
  t.context.registry.insert(ServerType::Melee, 1,
                            testing::makeRecord({"p", "f", "Stale", "", "", "", ""},
                                                static_cast<std::int32_t>(t.now - 90'000)));
  server.start();
  // A request every second: never a quiet minute. Refreshes, summarized, print nothing then.
  t.context.summarizeRefreshes = true;
  ASSERT_TRUE(server.roundTrip(registration("Bob")).has_value());
  const std::string registered = t.console.out();
  const std::int64_t start = t.now;
  for (int second = 0; second < 59; ++second) {
    ++t.now;
    server.advance(1s);
    ASSERT_TRUE(
        server.roundTrip(second % 20 == 0 ? registration("Bob") : request(MessageType::AckRequest))
            .has_value());
  }
  EXPECT_EQ(t.console.out(), registered);
  // Yet each refresh renewed the host's time, and went to the log.
  const HostChange& refreshed = server.saver().appends.back().second.at(0);
  EXPECT_EQ(refreshed.kind, HostChange::Kind::Refreshed);
  EXPECT_EQ(refreshed.entry.record->registrationTime, start + 41);
  const std::size_t appends = server.saver().appends.size();
  server.advance(1s);
  EXPECT_EQ(t.console.out().substr(registered.size()),
            "*auto-cleaning server: Stale\n> number of servers: 1\n"
            "> servers refreshed in the last minute: 3, number of servers: 1\n");
  EXPECT_EQ(server.core().status().stats.sweepRemovals, 1u);
  // The host it drops is logged like a shutdown, so that a restart does not bring it back.
  ASSERT_EQ(server.saver().appends.size(), appends + 1);
  EXPECT_EQ(server.saver().appends.back().second.at(0).kind, HostChange::Kind::Removed);
  // The count starts again; the stop prints what it has.
  ASSERT_TRUE(server.roundTrip(registration("Bob")).has_value());
  server.core().stop();
  EXPECT_TRUE(t.console.out().ends_with(
      "> servers refreshed in the last minute: 1, number of servers: 1\n"))
      << t.console.out();
}

// ---------------------------------------------------------------------------------------------
// Saves

TEST(ServerCore, ChangesGoToTheLogAfterTheirAcknowledgementsOneBatchPerPass) {
  CoreHarness server;
  server.start();
  // Requests that change nothing log nothing.
  server.roundTrip(request(MessageType::Registration, Bytes{1, 2, 3}));
  server.roundTrip(shutdown("Nobody"));
  server.roundTrip(request(MessageType::AckRequest));
  server.roundTrip(request(MessageType::ListRequest));
  EXPECT_TRUE(server.saver().appends.empty());
  // Three registrations that arrive together are one batch, handed over once all three have
  // their acknowledgements.
  std::vector<Client> hosts;
  for (const char* name : {"Ann", "Bob", "Cid"}) {
    hosts.emplace_back(server.port(), "127.0.0.7");
    hosts.back().send(registration(name));
  }
  server.pump();
  for (Client& host : hosts) EXPECT_EQ(hexText(host.receiveNow()), kAckHex);
  ASSERT_EQ(server.saver().appends.size(), 1u);
  const auto& batch = server.saver().appends[0].second;
  ASSERT_EQ(batch.size(), 3u);
  for (const HostChange& change : batch) {
    EXPECT_EQ(change.kind, HostChange::Kind::Added);
    EXPECT_EQ(change.entry.from, ipv4("127.0.0.7"));
  }
  // Readers on other threads see the change at once, before it is durable (what the commit's
  // report does is the change path's test).
  EXPECT_TRUE(server.core().status().stats.savePending);
  EXPECT_EQ(server.core().status().snapshots.latest()->totalCount(), 3u);
  // A refresh in the same second by the same owner changes nothing kept and is not logged; one
  // a second later is (its time changed), and so is a shutdown; no snapshot is due yet.
  server.roundTrip(registration("Ann"), "127.0.0.7");
  ASSERT_EQ(server.saver().appends.size(), 1u);
  ++server.test().now;
  server.roundTrip(registration("Ann"), "127.0.0.7");
  server.roundTrip(shutdown("Bob"), "127.0.0.7");
  ASSERT_EQ(server.saver().appends.size(), 3u);
  EXPECT_EQ(server.saver().appends[1].second.at(0).kind, HostChange::Kind::Refreshed);
  EXPECT_EQ(server.saver().appends[2].second.at(0).kind, HostChange::Kind::Removed);
  EXPECT_TRUE(server.saver().snapshots.empty());
}

// The stop closes every connection and hands over to the change path, whose last snapshot holds
// the changes of the pass; the reactor stops once that snapshot is done.
TEST(ServerCore, OrderlyStopClosesConnectionsAndEndsWithTheLastCheckpoint) {
  CoreHarness server;
  server.start();
  server.roundTrip(registration("Ann"));
  Client open(server.port());
  server.pump();
  server.core().stop();
  server.pump();
  EXPECT_TRUE(open.closed());
  EXPECT_EQ(server.core().connectionCount(), 0u);
  EXPECT_TRUE(server.core().stopping());
  ASSERT_EQ(server.saver().snapshots.size(), 1u);
  EXPECT_EQ(server.saver().snapshots[0]->totalCount(), 1u);
  EXPECT_TRUE(server.saver().lastCheckpoint);
  EXPECT_FALSE(server.reactorStopped());
  server.finishCheckpoint(SaveOutcome::Saved);
  EXPECT_TRUE(server.reactorStopped());
  EXPECT_TRUE(server.changes().stoppedClean());
}

}  // namespace
}  // namespace dirserver

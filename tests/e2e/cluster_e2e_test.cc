// Nodes of a directory cluster, the real executable, on one real three-server JetStream cluster on
// loopback: each node on an address of its own (127.0.0.2, 127.0.0.3), in a directory of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "client/list_reply_decoder.h"
#include "common/text.h"
#include "persist/outbox_file.h"
#include "protocol/message.h"
#include "net/listener.h"
#include "registry/server_key.h"
#include "support/http_client.h"
#include "support/loopback.h"
#include "support/nats_cluster.h"
#include "support/process.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::hostStrings;
using testing::request;
using testing::requestBody;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";

// One NATS cluster for the whole program: it takes seconds to form.
class ClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    context_ = new testing::TestContext;
    nats_ = new testing::NatsCluster(context_->dir, NATS_SERVER_BINARY);
    ASSERT_TRUE(nats_->waitReady()) << "the NATS servers did not form a JetStream cluster";
  }
  // A test that failed half-way may have left NATS servers killed or paused.
  void SetUp() override { ASSERT_TRUE(nats_->restoreAll()) << "the NATS servers did not recover"; }
  static void TearDownTestSuite() {
    delete nats_;
    delete context_;
  }

  static testing::TestContext* context_;
  static testing::NatsCluster* nats_;
};
testing::TestContext* ClusterTest::context_ = nullptr;
testing::NatsCluster* ClusterTest::nats_ = nullptr;

// A dirserver node of bucket `bucket`, on `address`:6001, in a directory of its own.
class Node {
 public:
  Node(testing::NatsCluster& nats, const std::filesystem::path& root, std::string bucket,
       std::string name, std::string address)
      : nats_(nats),
        dir_(root / (bucket + "-" + name)),
        bucket_(std::move(bucket)),
        name_(std::move(name)),
        server_{std::move(address), kListenPort} {
    std::filesystem::create_directories(dir_);
  }

  // Starts the node and waits until it serves and, when `follow`, until it follows the bucket.
  void start(bool follow = true) {
    process_.reset();
    std::vector<std::string> arguments{"--listen", server_.address + ":6001", "--cluster",
                                       nats_.urls(), "--cluster-bucket", bucket_, "--node-name",
                                       name_, "--control", (dir_ / "control.sock").string()};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    process_ = std::make_unique<testing::Process>(dir_, name_, DIRSERVER_BINARY, arguments);
    ASSERT_TRUE(process_->waitServing(server_, 10s)) << process_->err();
    if (follow) {
      ASSERT_TRUE(process_->waitOutput("- cluster: node '" + name_ + "' follows the bucket", false,
                                       30s))
          << process_->out() << process_->err();
    }
  }
  void kill() { process_->kill(); }
  // The next start() follows bucket `bucket`, from the same directory.
  void useBucket(std::string bucket) { bucket_ = std::move(bucket); }

  // Waits, at most `limit`, until the node's outbox file holds `changes` changes: what it has
  // made durable and the bucket has not confirmed.
  bool waitOutbox(std::size_t changes, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (loadOutbox(systemEnv(), (dir_ / "cluster_outbox").string()).entries.size() != changes) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
  testing::Process& process() { return *process_; }
  const std::filesystem::path& dir() const { return dir_; }

  // Given to the node after the cluster's own arguments at each start.
  std::vector<std::string> extraArguments;

  // dirctl with `args`, on this node's control socket.
  testing::Finished dirctl(std::vector<std::string> args) {
    args.insert(args.end(), {"--control", (dir_ / "control.sock").string()});
    return testing::runToEnd(dir_, DIRCTL_BINARY, args, 10s);
  }
  std::filesystem::path bansFile() const { return dir_ / "bans.txt"; }
  std::string bansText() const {
    const Bytes bytes = testing::readFile(bansFile());
    return std::string(bytes.begin(), bytes.end());
  }
  // Waits, at most `limit`, until the bans file holds `text` (written off the node's loop).
  bool waitBansText(const std::string& text, std::chrono::milliseconds limit = 10s) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (bansText() != text) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::optional<Bytes> registration(std::string_view host, const char* source) {
    return testing::roundTrip(server_,
                              request(MessageType::Registration, requestBody(hostStrings(kMelee, host))),
                              source);
  }
  std::optional<Bytes> shutdown(std::string_view host, const char* source) {
    return testing::roundTrip(server_,
                              request(MessageType::Shutdown, requestBody(hostStrings(kMelee, host))),
                              source);
  }

  bool lists(std::string_view host) {
    const auto reply = testing::roundTrip(server_, request(MessageType::ListRequest));
    ListedReply listed;
    std::string error;
    if (!reply || !decodeListReply(*reply, listed, error)) {
      ADD_FAILURE() << "no listing from " << name_ << ": " << error;
      return false;
    }
    const Bytes name = toUtf16le(host);
    for (const ListedEntry& entry : listed.entries) {
      if (!entry.isDirectory && entry.texts[2] == name) return true;
    }
    return false;
  }

  // Waits, at most `limit`, until the node lists `host` (or, with `present` false, no longer does).
  bool waitLists(std::string_view host, bool present = true, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (lists(host) != present) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

 private:
  testing::NatsCluster& nats_;
  std::filesystem::path dir_;
  std::string bucket_;
  std::string name_;
  testing::ServerAddress server_;
  std::unique_ptr<testing::Process> process_;
};

TEST_F(ClusterTest, ARegistrationIsListedEverywhereAndOnlyItsOwnerShutsItDown) {
  Node a(*nats_, context_->dir, "owners", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "owners", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());

  ASSERT_TRUE(a.registration("Hydra", "127.0.0.5"));
  EXPECT_TRUE(b.waitLists("Hydra"));
  // The node that received it printed its lines; the other prints the bucket's changes only as
  // a count.
  EXPECT_NE(a.process().out().find("Hydra"), std::string::npos);
  EXPECT_EQ(b.process().out().find("Hydra"), std::string::npos);

  // Refused on the node that did not see the registration: the owner travelled with the host.
  ASSERT_TRUE(b.shutdown("Hydra", "127.0.0.6"));
  EXPECT_TRUE(b.process().waitOutput("registered from another address", true));
  // Whatever b publishes after it reaches a after it: the marker shows a has seen all of it.
  ASSERT_TRUE(b.registration("Marker", "127.0.0.6"));
  EXPECT_TRUE(a.waitLists("Marker"));
  EXPECT_TRUE(a.lists("Hydra"));
  EXPECT_TRUE(b.lists("Hydra"));

  ASSERT_TRUE(b.shutdown("Hydra", "127.0.0.5"));
  EXPECT_TRUE(a.waitLists("Hydra", false));
  EXPECT_FALSE(b.lists("Hydra"));

  // An orderly stop ends the link's threads and the client library too.
  a.process().signal(SIGTERM);
  EXPECT_EQ(a.process().waitExit(10s), 0) << a.process().err();
}

TEST_F(ClusterTest, OneNatsServerLostChangesNothingForTheNodes) {
  Node a(*nats_, context_->dir, "quorum", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "quorum", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_TRUE(a.registration("Before", "127.0.0.5"));
  ASSERT_TRUE(b.waitLists("Before"));

  // Whichever server a node was connected to, it goes on with the other two, and every change
  // it acknowledged meanwhile reaches the other node.
  nats_->kill(0);
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(a.registration("During " + std::to_string(i), "127.0.0.5"));
  }
  ASSERT_TRUE(b.shutdown("Before", "127.0.0.5"));
  // The stream may have to elect a new leader first: a generous limit.
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(b.waitLists("During " + std::to_string(i), true, 60s));
  EXPECT_TRUE(a.waitLists("Before", false, 60s));
  EXPECT_TRUE(a.waitOutbox(0));
  nats_->start(0);
  ASSERT_TRUE(nats_->waitReady());
}

TEST_F(ClusterTest, ANodeKilledAndRestartedCatchesUpWithWhatItMissed) {
  Node a(*nats_, context_->dir, "restart", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "restart", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_TRUE(a.registration("Early", "127.0.0.5"));
  ASSERT_TRUE(b.waitLists("Early"));

  b.kill();
  ASSERT_TRUE(a.registration("Phoenix", "127.0.0.5"));
  ASSERT_TRUE(a.shutdown("Early", "127.0.0.5"));
  ASSERT_NO_FATAL_FAILURE(b.start());
  // Its own files still held Early; the bucket's tombstone removes it.
  EXPECT_TRUE(b.waitLists("Phoenix"));
  EXPECT_TRUE(b.waitLists("Early", false));
}

TEST_F(ClusterTest, WithNatsDownAChangeSurvivesAKillARestartAndACheckpointAndMeetsThePeersLater) {
  Node a(*nats_, context_->dir, "outage", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "outage", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_TRUE(a.registration("Doomed", "127.0.0.5"));
  ASSERT_TRUE(b.waitLists("Doomed"));  // the bucket holds it
  ASSERT_TRUE(a.waitOutbox(0));
  for (int i = 0; i < nats_->size(); ++i) nats_->kill(i);

  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(a.registration("Lonely", "127.0.0.5"));
  // The loop never waits on NATS (a generous bound: this box is shared and noisy).
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 500ms);
  EXPECT_TRUE(a.lists("Lonely"));
  EXPECT_TRUE(a.process().waitOutput("+warning: cluster: lost the connection to NATS", true))
      << a.process().err();

  // Durable in the outbox (the log follows it), then killed; restarted without NATS, it serves
  // from its files; an orderly stop writes its last checkpoint; the outbox keeps the change
  // through all of it.
  ASSERT_TRUE(a.waitOutbox(1));
  a.kill();
  ASSERT_NO_FATAL_FAILURE(a.start(false));
  EXPECT_TRUE(a.waitOutbox(1));
  a.process().signal(SIGTERM);
  ASSERT_EQ(a.process().waitExit(10s), 0) << a.process().err();
  ASSERT_NO_FATAL_FAILURE(a.start(false));
  // A shutdown before the node has seen the bucket at all: it replaces what the bucket holds.
  ASSERT_TRUE(a.shutdown("Doomed", "127.0.0.5"));
  ASSERT_TRUE(a.waitOutbox(2)) << a.process().out() << a.process().err();

  for (int i = 0; i < nats_->size(); ++i) nats_->start(i);
  ASSERT_TRUE(nats_->waitReady());
  ASSERT_NO_FATAL_FAILURE(b.start());
  EXPECT_TRUE(b.waitLists("Lonely", true, 60s));
  EXPECT_TRUE(a.waitOutbox(0));
  EXPECT_TRUE(b.waitLists("Doomed", false));
  EXPECT_FALSE(a.lists("Doomed"));
  // And a follows the bucket.
  ASSERT_TRUE(b.registration("Echo", "127.0.0.6"));
  EXPECT_TRUE(a.waitLists("Echo", true, 60s));
  EXPECT_TRUE(a.lists("Lonely"));
}

TEST_F(ClusterTest, AfterEveryNatsServerRestartedAChangeReachesTheOtherNodeWithinTenSeconds) {
  Node a(*nats_, context_->dir, "restarted", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "restarted", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_TRUE(a.registration("Before", "127.0.0.5"));
  ASSERT_TRUE(b.waitLists("Before"));

  for (int i = 0; i < nats_->size(); ++i) nats_->kill(i);
  for (int i = 0; i < nats_->size(); ++i) nats_->start(i);
  ASSERT_TRUE(nats_->waitReady());
  ASSERT_TRUE(a.registration("After", "127.0.0.5"));
  EXPECT_TRUE(b.waitLists("After", true, 10s));
  EXPECT_TRUE(b.lists("Before"));
}

// Both nodes change one host while the NATS servers are stopped (SIGSTOP): a removes it, b
// refreshes it. Once they run again, whichever change the bucket took, both nodes hold the same.
TEST_F(ClusterTest, TwoNodesChangingOneHostWhileNatsIsPausedConvergeToOneState) {
  Node a(*nats_, context_->dir, "contest", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "contest", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_TRUE(a.registration("Contested", "127.0.0.5"));
  const std::time_t registered = std::time(nullptr);  // the node's stamp is no later
  ASSERT_TRUE(b.waitLists("Contested"));

  for (int i = 0; i < nats_->size(); ++i) nats_->pause(i);
  ASSERT_TRUE(a.shutdown("Contested", "127.0.0.5"));
  // A refresh is published only when its second is not the registration's: wait for the next.
  while (std::time(nullptr) <= registered) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(b.registration("Contested", "127.0.0.5"));
  EXPECT_FALSE(a.lists("Contested"));
  EXPECT_TRUE(b.lists("Contested"));
  for (int i = 0; i < nats_->size(); ++i) nats_->resume(i);

  // Settled: each outbox empty (confirmed or refused), then a marker from each node seen by the
  // other, so that both have applied everything the bucket took before it.
  EXPECT_TRUE(a.waitOutbox(0, 60s));
  EXPECT_TRUE(b.waitOutbox(0, 60s));
  ASSERT_TRUE(a.registration("Marker A", "127.0.0.6"));
  ASSERT_TRUE(b.registration("Marker B", "127.0.0.6"));
  EXPECT_TRUE(b.waitLists("Marker A", true, 60s));
  EXPECT_TRUE(a.waitLists("Marker B", true, 60s));
  EXPECT_EQ(a.lists("Contested"), b.lists("Contested"));
}

// A change kept in a's outbox through an outage and a kill, made on a revision b has changed
// since: the bucket refuses it when a publishes it again, a drops it and takes b's.
TEST_F(ClusterTest, AnOutboxChangeMadeOnAnOlderRevisionLosesToTheLaterChange) {
  Node a(*nats_, context_->dir, "stale", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "stale", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_TRUE(a.registration("Disputed", "127.0.0.5"));
  // The node stamped it no later than this, however long a loaded machine kept it.
  const std::time_t registered = std::time(nullptr);
  ASSERT_TRUE(b.waitLists("Disputed"));
  ASSERT_TRUE(a.waitOutbox(0));

  for (int i = 0; i < nats_->size(); ++i) nats_->kill(i);
  ASSERT_TRUE(a.shutdown("Disputed", "127.0.0.5"));
  ASSERT_TRUE(a.waitOutbox(1));
  a.kill();
  for (int i = 0; i < nats_->size(); ++i) nats_->start(i);
  ASSERT_TRUE(nats_->waitReady());
  // b refreshes it (in a later second, so that the refresh is published) once NATS is back.
  while (std::time(nullptr) <= registered) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(b.registration("Disputed", "127.0.0.5"));
  ASSERT_TRUE(b.waitOutbox(0, 60s));

  ASSERT_NO_FATAL_FAILURE(a.start());
  EXPECT_TRUE(a.process().waitOutput("dropped: the bucket holds a later one", false, 30s))
      << a.process().out();
  EXPECT_TRUE(a.waitOutbox(0));
  EXPECT_TRUE(a.waitLists("Disputed"));
  EXPECT_TRUE(b.lists("Disputed"));
}

TEST_F(ClusterTest, ANewEmptyBucketIsSeededFromTheRegistryNotAdopted) {
  Node a(*nats_, context_->dir, "first", "a", "127.0.0.2");
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_TRUE(a.registration("Seedling", "127.0.0.5"));
  ASSERT_TRUE(a.waitOutbox(0));
  a.process().signal(SIGTERM);
  ASSERT_EQ(a.process().waitExit(10s), 0) << a.process().err();

  // Its bucket gone for a new one (a new name here; a NATS cluster that lost its store alike).
  a.useBucket("second");
  ASSERT_NO_FATAL_FAILURE(a.start());
  EXPECT_TRUE(a.process().waitOutput(
      "- cluster: the bucket 'second' is new and empty; seeding it with this node's 1 hosts\n"))
      << a.process().out();
  EXPECT_TRUE(a.lists("Seedling"));
  Node b(*nats_, context_->dir, "second", "b", "127.0.0.3");
  ASSERT_NO_FATAL_FAILURE(b.start());
  EXPECT_TRUE(b.waitLists("Seedling"));
}

// A ban, an unban, a hand edit of the bans file read again at SIGHUP, and an operator's removal,
// each made on one node, hold on every node; the hosts of a banned range leave every listing.
TEST_F(ClusterTest, BansAndRemovalsMadeOnOneNodeHoldOnEveryNode) {
  Node a(*nats_, context_->dir, "bans", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "bans", "b", "127.0.0.3");
  Node c(*nats_, context_->dir, "bans", "c", "127.0.0.4");
  // A ban b held before it joined is lifted: the bucket, seeded by the first node, wins.
  std::ofstream(b.bansFile()) << "# b's own note\n127.0.0.10 from before\n";
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_TRUE(a.process().waitOutput(
      "- cluster: the bans bucket 'bans-bans' is new; seeding it with this node's 0 bans\n", false,
      30s))
      << a.process().out();
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_NO_FATAL_FAILURE(c.start());
  ASSERT_TRUE(a.registration("Cheat", "127.0.0.7"));
  ASSERT_TRUE(b.registration("Bogus", "127.0.0.8"));
  for (Node* node : {&a, &b, &c}) {
    ASSERT_TRUE(node->waitLists("Cheat"));
    ASSERT_TRUE(node->waitLists("Bogus"));
  }
  EXPECT_TRUE(b.process().waitOutput("- cluster: the bans bucket holds 0 bans", false, 30s))
      << b.process().out();
  EXPECT_TRUE(b.waitBansText("# b's own note\n")) << b.bansText();

  // Banned on a: in force on b, in b's file, and the range's host gone from every listing.
  const testing::Finished ban = a.dirctl({"ban", "127.0.0.7", "cheating"});
  ASSERT_EQ(ban.status, 0) << ban.out << ban.err;
  EXPECT_TRUE(b.process().waitOutput("- cluster: 127.0.0.7 banned on node 'a': cheating\n", false,
                                     30s))
      << b.process().out();
  for (Node* node : {&a, &b, &c}) EXPECT_TRUE(node->waitLists("Cheat", false));
  // A banned address's connection is closed unanswered.
  const auto answered = [](const std::optional<Bytes>& reply) { return reply && !reply->empty(); };
  EXPECT_FALSE(answered(b.registration("Cheat again", "127.0.0.7")));
  EXPECT_TRUE(b.waitBansText("# b's own note\n127.0.0.7 cheating\n")) << b.bansText();
  EXPECT_TRUE(c.waitBansText("127.0.0.7 cheating\n")) << c.bansText();

  // Lifted on b: a takes registrations from it again.
  const testing::Finished unban = b.dirctl({"unban", "127.0.0.7"});
  ASSERT_EQ(unban.status, 0) << unban.out << unban.err;
  EXPECT_TRUE(a.process().waitOutput("- cluster: 127.0.0.7 is no longer banned", false, 30s))
      << a.process().out();
  EXPECT_TRUE(answered(a.registration("Cheat again", "127.0.0.7")));
  EXPECT_TRUE(c.waitLists("Cheat again"));

  // A hand edit on c, read again at SIGHUP, reaches a. It waits for c to have written the lifted
  // ban: c's own rewrite after the edit would replace it, as it would an operator's.
  ASSERT_TRUE(c.waitBansText("")) << c.bansText();
  std::ofstream(c.bansFile(), std::ios::app) << "127.0.0.9 by hand\n";
  c.process().signal(SIGHUP);
  EXPECT_TRUE(a.process().waitOutput("- cluster: 127.0.0.9 banned on node 'c': by hand\n", false,
                                     30s))
      << a.process().out();
  EXPECT_FALSE(answered(a.registration("Handy", "127.0.0.9")));
  EXPECT_TRUE(a.waitBansText("127.0.0.9 by hand\n")) << a.bansText();

  // Removed by the operator on a: gone from b's and c's listings.
  const std::string key =
      std::to_string(computeServerKey(testing::makeRecord(hostStrings(kMelee, "Bogus")).fields));
  const testing::Finished removed = a.dirctl({"remove", "Melee", key, "Bogus"});
  ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
  EXPECT_TRUE(b.waitLists("Bogus", false));
  EXPECT_TRUE(c.waitLists("Bogus", false));
}

// A loopback port nobody listened on a moment ago.
std::uint16_t freePort() {
  const int probe = bindListener(0, INADDR_LOOPBACK);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

// The value of the sample `name` (with its labels, if any) on a metrics page; -1 when absent.
double sample(const std::string& page, const std::string& name) {
  const std::string line = "\n" + name + " ";
  const std::size_t at = page.find(line);
  return at == std::string::npos ? -1 : std::strtod(page.c_str() + at + line.size(), nullptr);
}

// What /metrics, /healthz and dirctl status say of the cluster, and that they move with it: a
// registration on a is published, confirmed and applied on both nodes, its times counted; with
// the NATS servers gone, the node says it is disconnected and stays healthy, and its change waits
// in the outbox until they are back. A node without --cluster shows none of it.
TEST_F(ClusterTest, MetricsHealthAndStatusDescribeTheClusterAndMoveWithIt) {
  Node a(*nats_, context_->dir, "figures", "a", "127.0.0.2");
  Node b(*nats_, context_->dir, "figures", "b", "127.0.0.3");
  const std::uint16_t httpA = freePort();
  const std::uint16_t httpB = freePort();
  a.extraArguments = {"--http", "127.0.0.1:" + std::to_string(httpA)};
  b.extraArguments = {"--http", "127.0.0.1:" + std::to_string(httpB)};
  ASSERT_NO_FATAL_FAILURE(a.start());
  ASSERT_NO_FATAL_FAILURE(b.start());
  const auto metrics = [](std::uint16_t port) { return testing::httpGet(port, "/metrics").body; };
  const auto waitFor = [](const std::function<bool()>& done, std::chrono::milliseconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !done();) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  };
  const auto status = [&](Node& node) {
    return testing::runToEnd(node.dir(), DIRCTL_BINARY,
                             {"status", "--control", (node.dir() / "control.sock").string()})
        .out;
  };

  const std::string beforeA = metrics(httpA);
  const std::string beforeB = metrics(httpB);
  EXPECT_EQ(sample(beforeA, "dirserver_cluster_connected"), 1) << beforeA;
  ASSERT_TRUE(a.registration("Counted", "127.0.0.5"));
  ASSERT_TRUE(b.waitLists("Counted"));
  // Confirmed on a once its outbox is empty; applied on a too (its own value comes back).
  ASSERT_TRUE(a.waitOutbox(0));
  std::string afterA, afterB;
  const auto grew = [&](const std::string& before, const std::string& after, const char* name) {
    return sample(after, name) >= sample(before, name) + 1;
  };
  EXPECT_TRUE(waitFor(
      [&] {
        afterA = metrics(httpA);
        return grew(beforeA, afterA, "dirserver_cluster_applied_total");
      },
      10s))
      << afterA;
  afterB = metrics(httpB);
  for (const char* name :
       {"dirserver_cluster_published_total", "dirserver_cluster_confirmed_total",
        "dirserver_cluster_applied_total", "dirserver_ack_to_replicated_seconds_count",
        "dirserver_cluster_apply_lag_seconds_count"}) {
    EXPECT_TRUE(grew(beforeA, afterA, name)) << name << "\n" << afterA;
  }
  EXPECT_TRUE(grew(beforeB, afterB, "dirserver_cluster_applied_total")) << afterB;
  EXPECT_TRUE(grew(beforeB, afterB, "dirserver_cluster_apply_lag_seconds_count")) << afterB;
  EXPECT_EQ(sample(afterB, "dirserver_cluster_published_total"), 0) << afterB;
  EXPECT_EQ(sample(afterA, "dirserver_ack_to_replicated_seconds_bucket{le=\"+Inf\"}"),
            sample(afterA, "dirserver_ack_to_replicated_seconds_count"));
  EXPECT_EQ(sample(afterA, "dirserver_cluster_outbox_changes"), 0);
  EXPECT_EQ(sample(afterA, "dirserver_cluster_failed_total"), 0);
  if (std::filesystem::exists("/usr/bin/promtool")) {
    testing::writeFile(a.dir() / "metrics.txt", Bytes(afterA.begin(), afterA.end()));
    const testing::Finished check = testing::runToEnd(
        a.dir(), "/bin/sh", {"-c", "/usr/bin/promtool check metrics < metrics.txt"});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
  testing::HttpReply health = testing::httpGet(httpA, "/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_TRUE(health.body.ends_with("; cluster: connected\n")) << health.body;
  std::string said = status(a);
  EXPECT_NE(said.find("\ncluster: node \"a\", bucket \"figures\" with 3 replicas, NATS nats://127.0.0.1:"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("\nreplication: last applied revision "), std::string::npos) << said;
  EXPECT_NE(said.find(", 0 changes in the outbox, apply lag "), std::string::npos) << said;
  EXPECT_NE(said.find(" ms (the last change applied)\n"), std::string::npos) << said;

  // NATS gone: still 200, and the change made meanwhile waits in the outbox.
  for (int i = 0; i < nats_->size(); ++i) nats_->kill(i);
  EXPECT_TRUE(waitFor([&] { return sample(metrics(httpA), "dirserver_cluster_connected") == 0; },
                      30s));
  ASSERT_TRUE(a.registration("Offline", "127.0.0.5"));
  ASSERT_TRUE(a.waitOutbox(1));
  EXPECT_EQ(sample(metrics(httpA), "dirserver_cluster_outbox_changes"), 1);
  health = testing::httpGet(httpA, "/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_TRUE(health.body.ends_with("; cluster: disconnected\n")) << health.body;
  said = status(a);
  EXPECT_NE(said.find("with 3 replicas, NATS disconnected\n"), std::string::npos) << said;
  EXPECT_NE(said.find(", 1 changes in the outbox,"), std::string::npos) << said;

  for (int i = 0; i < nats_->size(); ++i) nats_->start(i);
  ASSERT_TRUE(nats_->waitReady());
  EXPECT_TRUE(b.waitLists("Offline", true, 60s));
  EXPECT_TRUE(a.waitOutbox(0));
  afterA = metrics(httpA);
  EXPECT_EQ(sample(afterA, "dirserver_cluster_connected"), 1);
  EXPECT_EQ(sample(afterA, "dirserver_cluster_outbox_changes"), 0);

  // A single node: no cluster figures, no cluster in its health or status.
  const std::filesystem::path single = context_->dir / "single";
  std::filesystem::create_directories(single);
  const std::uint16_t httpSingle = freePort();
  testing::Process alone(single, "single", DIRSERVER_BINARY,
                         {"--listen", "127.0.0.4:6001", "--http",
                          "127.0.0.1:" + std::to_string(httpSingle), "--control",
                          (single / "control.sock").string()});
  ASSERT_TRUE(alone.waitServing(testing::ServerAddress{"127.0.0.4", kListenPort}, 10s))
      << alone.err();
  EXPECT_EQ(metrics(httpSingle).find("cluster"), std::string::npos);
  EXPECT_EQ(metrics(httpSingle).find("replicated"), std::string::npos);
  EXPECT_EQ(testing::httpGet(httpSingle, "/healthz").body.find("cluster"), std::string::npos);
  said = testing::runToEnd(single, DIRCTL_BINARY,
                           {"status", "--control", (single / "control.sock").string()})
             .out;
  EXPECT_NE(said.find("\nlast snapshot: "), std::string::npos) << said;
  EXPECT_EQ(said.find("cluster"), std::string::npos) << said;
}

}  // namespace
}  // namespace dirserver

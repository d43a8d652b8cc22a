// Nodes of a directory cluster, the real executable, on one real three-server JetStream cluster on
// loopback: each node on an address of its own (127.0.0.2, 127.0.0.3), in a directory of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "client/list_reply_decoder.h"
#include "common/text.h"
#include "persist/outbox_file.h"
#include "protocol/message.h"
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
    process_ = std::make_unique<testing::Process>(
        dir_, name_, DIRSERVER_BINARY,
        std::vector<std::string>{"--listen", server_.address + ":6001", "--cluster", nats_.urls(),
                                 "--cluster-bucket", bucket_, "--node-name", name_, "--control",
                                 (dir_ / "control.sock").string()});
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
  ASSERT_TRUE(a.waitOutbox(2));

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
  const std::time_t registered = std::time(nullptr);
  ASSERT_TRUE(a.registration("Contested", "127.0.0.5"));
  ASSERT_TRUE(b.waitLists("Contested"));

  for (int i = 0; i < nats_->size(); ++i) nats_->pause(i);
  ASSERT_TRUE(a.shutdown("Contested", "127.0.0.5"));
  // A refresh is published only when its second is not the registration's: wait for the next.
  while (std::time(nullptr) <= registered + 1) std::this_thread::sleep_for(50ms);
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
  const std::time_t registered = std::time(nullptr);
  ASSERT_TRUE(a.registration("Disputed", "127.0.0.5"));
  ASSERT_TRUE(b.waitLists("Disputed"));
  ASSERT_TRUE(a.waitOutbox(0));

  for (int i = 0; i < nats_->size(); ++i) nats_->kill(i);
  ASSERT_TRUE(a.shutdown("Disputed", "127.0.0.5"));
  ASSERT_TRUE(a.waitOutbox(1));
  a.kill();
  for (int i = 0; i < nats_->size(); ++i) nats_->start(i);
  ASSERT_TRUE(nats_->waitReady());
  // b refreshes it (in a later second, so that the refresh is published) once NATS is back.
  while (std::time(nullptr) <= registered + 1) std::this_thread::sleep_for(50ms);
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

}  // namespace
}  // namespace dirserver

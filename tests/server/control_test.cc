#include "server/control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/text.h"
#include "persist/bans_file.h"
#include "protocol/control_protocol.h"
#include "registry/server_key.h"
#include "support/loopback.h"
#include "support/recording_env.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::CoreHarness;
using testing::hostStrings;
using testing::request;
using testing::requestBody;
namespace fs = std::filesystem;

// Runs each job at once on the test's thread, which then sees its report in the next reactor
// pass.
class InlineTaskRunner final : public TaskRunner {
 public:
  void run(std::function<void()> job) override { job(); }
};

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";
constexpr const char* kAckHex = "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00";

Bytes registration(const std::vector<std::string>& strings) {
  return request(MessageType::Registration, requestBody(strings));
}

std::string hexOf(const std::optional<Bytes>& answer) { return answer ? hexText(*answer) : "none"; }

// A client of the control socket, on the test's thread: it sends, the test pumps the server, and
// it takes what has come.
class Peer {
 public:
  explicit Peer(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect " + path);
    }
  }
  ~Peer() { ::close(fd_); }

  void send(std::string_view text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // What the server has sent by now; `closed` tells whether it has closed the connection.
  std::string received(CoreHarness& server, bool* closed = nullptr) {
    server.pump();
    std::string text;
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (closed != nullptr) *closed = got == 0 || (got < 0 && errno == ECONNRESET);
      return text;
    }
  }

 private:
  int fd_ = -1;
};

// A server core with its control socket in the test's directory; bans.txt lies beside it.
struct ControlHarness {
  explicit ControlHarness(BanList bans = {}, ControlSettings settings = {}) {
    server.start();
    path = (server.test().dir / "dirserver.sock").string();
    bansFile = (server.test().dir / "bans.txt").string();
    std::string error;
    if (!socket.open(path, error)) throw std::runtime_error(error);
    settings.bansFile = bansFile;
    control = std::make_unique<ControlServer>(server.reactor(), server.core(), server.context(),
                                              files, std::move(bans), settings, env);
    control->listen(socket.fd());
  }

  // One command on a connection of its own: the whole answer.
  std::string command(const std::string& line) {
    Peer peer(path);
    peer.send(line + "\n");
    return peer.received(server);
  }

  std::string out() { return server.test().console.out(); }
  std::string err() { return server.test().console.err(); }
  std::uint32_t hosts() { return server.context().registry.totalCount(); }
  std::string bansText() {
    const Bytes bytes = testing::readFile(bansFile);
    return std::string(bytes.begin(), bytes.end());
  }

  CoreHarness server;
  InlineTaskRunner files;
  testing::RecordingEnv env;
  ControlSocket socket;
  std::string path;
  std::string bansFile;
  std::unique_ptr<ControlServer> control;
};

const std::string kUid = std::to_string(::geteuid());

TEST(ControlCommand, LinesBecomeCommandsOrOneLineErrors) {
  // Arguments travel percent-encoded, whatever bytes they hold.
  const std::string odd = "a b%c=d\n\x01\x7f\xc3\xa9";
  EXPECT_EQ(controlWord(odd), "a%20b%25c%3Dd%0A%01%7F\xc3\xa9");
  EXPECT_EQ(controlArgument(controlWord(odd)), odd);
  for (const char* bad : {"", "%", "%4", "%4g", "a%"}) EXPECT_FALSE(controlArgument(bad)) << bad;

  std::string error;
  auto ban = parseControlCommand(controlLine("ban", {"10.0.0.0/8", " spam", "from here "}), error);
  ASSERT_TRUE(ban) << error;
  EXPECT_EQ(rangeText(ban->range), "10.0.0.0/8");
  EXPECT_EQ(ban->reason, "spam from here");
  auto remove = parseControlCommand("remove teammelee 4294967295 Bob%20B index=2", error);
  ASSERT_TRUE(remove) << error;
  EXPECT_EQ(remove->type, ServerType::TeamMelee);
  EXPECT_EQ(remove->key, 4294967295u);
  EXPECT_EQ(remove->name, "Bob B");
  EXPECT_EQ(remove->index, 2u);
  auto snapshot = parseControlCommand("snapshot unpaced", error);
  ASSERT_TRUE(snapshot) << error;
  EXPECT_TRUE(snapshot->unpaced);

  const std::pair<std::string, std::string> bad[] = {
      {"", "unknown command ''"},
      {"Ban 10.0.0.1", "unknown command 'Ban'"},
      {"ban", "ban takes a range"},
      {"ban  10.0.0.1", "an empty word"},
      {"ban 10.0.0.1/8", "bits set past its prefix: 10.0.0.0/8?"},
      {"ban 10.0.0.1 " + controlWord("line\nbreak"), "a reason is one line"},
      {"ban 10.0.0.1 " + std::string(kMaxBanReason + 1, 'r'), "a reason is one line"},
      {"remove Melee", "remove takes TYPE KEY"},
      {"remove 3 1", "'3' is no game type"},
      {"remove 1 4294967296", "is no key"},
      {"remove 1 12 index=0", "index=N takes one number from 1 on"},
      {"snapshot now", "snapshot takes no argument but unpaced"},
      {"snapshot unpaced unpaced", "snapshot takes no argument but unpaced"},
      {controlLine("remove", hostStrings("/Aviantorvale/Melee", "Bob")), "is no game type's path"}};
  for (const auto& [line, why] : bad) {
    error.clear();
    EXPECT_FALSE(parseControlCommand(line, error)) << line;
    EXPECT_NE(error.find(why), std::string::npos) << line << ": " << error;
  }
}

TEST(Control, BanTakesTheHostsAndConnectionsOfItsRangeUntilUnbannedAndAFailedWriteChangesNothing) {
  ControlHarness t;
  CoreHarness& server = t.server;
  for (const auto& [name, from] :
       {std::pair{"A", "127.0.0.2"}, std::pair{"B", "127.0.0.3"}, std::pair{"C", "127.0.0.2"}}) {
    ASSERT_EQ(hexOf(server.roundTrip(registration(hostStrings(kMelee, name)), from)), kAckHex);
  }
  // Half a request from the range that is about to be banned.
  testing::Client halfway(server.port(), "127.0.0.2");
  halfway.send(Bytes{20, 0});
  server.pump();
  ASSERT_EQ(server.core().connectionCount(), 1u);
  const Bytes ping = request(MessageType::AckRequest);

  t.env.fail("open bans.txt.tmp new");
  const std::string failed = t.command("ban 127.0.0.2 abuse");
  EXPECT_EQ(failed,
            "error nothing changed: cannot create a new " + t.bansFile + ": Input/output error\n");
  EXPECT_EQ(t.hosts(), 3u);
  EXPECT_EQ(t.control->bans().size(), 0u);
  EXPECT_FALSE(fs::exists(t.bansFile));
  EXPECT_EQ(hexOf(server.roundTrip(ping, "127.0.0.2")), kAckHex);

  EXPECT_EQ(t.command("ban 127.0.0.2 abuse"), "ok 127.0.0.2 is banned: 2 servers removed\n");
  EXPECT_TRUE(t.out().ends_with("# control uid " + kUid +
                                ": ban 127.0.0.2 \"abuse\": 2 servers removed, 1 left\n"))
      << t.out();
  EXPECT_EQ(t.bansText(), "127.0.0.2 abuse\n");
  EXPECT_EQ(t.hosts(), 1u);
  // The removals reach the listing and the log, like shutdowns.
  EXPECT_EQ(server.changes().published()->registry->totalCount(), 1u);
  ASSERT_FALSE(server.saver().appends.empty());
  for (const HostChange& change : server.saver().appends.back().second) {
    EXPECT_EQ(change.kind, HostChange::Kind::Removed);
  }
  EXPECT_EQ(server.saver().appends.back().second.size(), 2u);
  EXPECT_TRUE(halfway.closed());
  EXPECT_EQ(server.core().connectionCount(), 0u);
  // Closed at accept: nothing read, nothing sent, counted.
  EXPECT_EQ(hexOf(server.roundTrip(ping, "127.0.0.2")), "");
  EXPECT_EQ(hexOf(server.roundTrip(registration(hostStrings(kMelee, "D")), "127.0.0.2")), "");
  EXPECT_EQ(hexOf(server.roundTrip(ping, "127.0.0.3")), kAckHex);
  EXPECT_EQ(server.core().status().stats.connectionsBanned, 2u);
  EXPECT_EQ(server.core().status().stats.banRemovals, 2u);
  EXPECT_EQ(t.hosts(), 1u);
  EXPECT_EQ(t.command("bans"), " 127.0.0.2 abuse\nok 1 bans in force\n");

  // Again without a reason: nothing changes, nothing is announced.
  const std::string before = t.out();
  EXPECT_EQ(t.command("ban 127.0.0.2"), "ok 127.0.0.2 was banned already: 0 servers removed\n");
  EXPECT_EQ(t.out(), before);
  EXPECT_EQ(t.command("unban 127.0.0.2"), "ok 127.0.0.2 is no longer banned\n");
  EXPECT_TRUE(t.out().ends_with("# control uid " + kUid + ": unban 127.0.0.2\n"));
  EXPECT_EQ(t.bansText(), "");
  EXPECT_EQ(t.command("unban 127.0.0.2"), "error 127.0.0.2 is not banned\n");
  EXPECT_EQ(hexOf(server.roundTrip(registration(hostStrings(kMelee, "D")), "127.0.0.2")), kAckHex);
  EXPECT_EQ(t.hosts(), 2u);
}

TEST(Control, BansKeepTheFilesHandEditsAndAReloadAppliesThem) {
  testing::TestContext files;
  const std::string handEdited = "# kept as it is\n10.0.0.0/8 old\nnonsense here\n";
  const fs::path bans = files.dir / "bans.txt";
  testing::writeFile(bans, Bytes(handEdited.begin(), handEdited.end()));
  ControlHarness t(*loadBans(bans.string(), files.context.console));
  // The harness keeps its own bans.txt; start it from the hand-edited one.
  fs::copy_file(bans, t.bansFile);
  ASSERT_EQ(hexOf(t.server.roundTrip(registration(hostStrings(kMelee, "A")), "127.0.0.3")),
            kAckHex);

  EXPECT_EQ(t.command("ban 127.0.0.4 new one"), "ok 127.0.0.4 is banned: 0 servers removed\n");
  EXPECT_EQ(t.command("ban 10.0.0.0/8 newer"), "ok 10.0.0.0/8 is banned: 0 servers removed\n");
  EXPECT_EQ(t.bansText(), "# kept as it is\n10.0.0.0/8 newer\nnonsense here\n127.0.0.4 new one\n");

  // What the operator adds by hand takes effect at the reload, bad lines named again.
  std::ofstream(t.bansFile, std::ios::app) << "127.0.0.3 by hand\n";
  t.control->reloadBans();
  t.server.pump();
  EXPECT_EQ(t.hosts(), 0u);
  EXPECT_EQ(t.control->bans().size(), 3u);
  EXPECT_TRUE(t.out().ends_with("- reloaded 3 bans from " + t.bansFile + ": 1 servers removed\n"))
      << t.out();
  EXPECT_TRUE(t.err().ends_with("+error: " + t.bansFile +
                                " line 3: 'nonsense' is not an IPv4 address (A.B.C.D) or range "
                                "(A.B.C.D/N); the line is ignored\n"))
      << t.err();
  // A file that cannot be read leaves the bans in force as they were.
  fs::remove(t.bansFile);
  fs::create_directory(t.bansFile);
  t.control->reloadBans();
  t.server.pump();
  EXPECT_EQ(t.control->bans().size(), 3u);
  EXPECT_TRUE(t.err().ends_with("+error: cannot read bans " + t.bansFile +
                                ": not a regular file; the bans in force stay as they were\n"));
}

TEST(Control, RemoveListsHostsThatShareAKeyAndTakesOneByIndexOrByItsStrings) {
  ControlHarness t;
  // Swapping two strings keeps the key: two hosts named Bob under one key, and a third elsewhere.
  const std::vector<std::string> first = {std::string(kMelee), "one", "Bob", "two", "4", "5", "6"};
  const std::vector<std::string> second = {std::string(kMelee), "two", "Bob", "one", "4", "5", "6"};
  const ServerKey key = computeServerKey(testing::makeRecord(first).fields);
  ASSERT_EQ(key, computeServerKey(testing::makeRecord(second).fields));
  for (const auto& strings : {first, second, hostStrings(kMelee, "Bob")}) {
    ASSERT_EQ(hexOf(t.server.roundTrip(registration(strings), "127.0.0.2")), kAckHex);
  }
  const std::string keyText = std::to_string(key);

  const std::string listed = t.command("remove Melee " + keyText + " Bob");
  EXPECT_TRUE(listed.starts_with(" [1] \"/Aviantorvale/Melee Game\" \"one\" \"Bob\" \"two\""))
      << listed;
  EXPECT_NE(listed.find("\n [2] \"/Aviantorvale/Melee Game\" \"two\" \"Bob\" \"one\""),
            std::string::npos);
  EXPECT_NE(listed.find(" from 127.0.0.2\n"), std::string::npos) << listed;
  EXPECT_TRUE(listed.ends_with("\nerror 2 servers with key " + keyText +
                               " in Melee named \"Bob\"; pick one by its number (dirctl remove "
                               "... --index N), or give all seven strings\n"))
      << listed;
  EXPECT_EQ(t.command("remove 1 " + keyText + " index=3"),
            "error index 3, but only 2 servers with key " + keyText + " in Melee\n");
  EXPECT_EQ(t.command("remove Melee " + keyText + " Alice"),
            "error no server with key " + keyText + " in Melee named \"Alice\"\n");
  EXPECT_EQ(t.hosts(), 3u);

  // The operator's removal goes whoever registered the host, and is logged like any change.
  const std::size_t batchesBefore = t.server.saver().appends.size();
  EXPECT_EQ(t.command("remove melee " + keyText + " Bob index=2"),
            "ok removed \"Bob\" (key " + keyText + ", Melee): 2 servers left\n");
  EXPECT_TRUE(t.out().ends_with("# control uid " + kUid + ": remove server with key: " + keyText +
                                " (\"Bob\", Melee): 2 left\n"));
  const ServerRegistry& registry = t.server.context().registry;
  EXPECT_NE(registry.find(ServerType::Melee, key, testing::makeRecord(first).fields),
            registry.end(ServerType::Melee));
  EXPECT_EQ(t.command(controlLine("remove", second)),
            "error no server of these seven strings (key " + keyText + " in Melee)\n");
  EXPECT_EQ(t.command(controlLine("remove", first)),
            "ok removed \"Bob\" (key " + keyText + ", Melee): 1 servers left\n");
  EXPECT_EQ(t.server.core().status().stats.operatorRemovals, 2u);
  const auto& batches = t.server.saver().appends;
  ASSERT_EQ(batches.size(), batchesBefore + 2);
  for (const auto& [number, changes] : {batches[batchesBefore], batches.back()}) {
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, HostChange::Kind::Removed);
    EXPECT_EQ(changes[0].entry.key, key);
  }
}

TEST(Control, CheckpointIsAnsweredOnceOneBegunAfterItIsDurable) {
  ControlHarness t;
  CoreHarness& server = t.server;
  ASSERT_EQ(hexOf(server.roundTrip(registration(hostStrings(kMelee, "A")))), kAckHex);
  // A log this small calls for no snapshot; the operator's starts at once, with the change logged
  // before it.
  ASSERT_EQ(server.saver().snapshots.size(), 0u);
  Peer first(t.path), second(t.path);
  first.send("snapshot\n");
  EXPECT_EQ(first.received(server), "");
  ASSERT_EQ(server.saver().snapshots.size(), 1u);
  EXPECT_EQ(server.saver().snapshots[0]->totalCount(), 1u);
  EXPECT_FALSE(server.saver().lastCheckpoint);
  // Registrations go on meanwhile; a snapshot asked now waits for one that holds them.
  ASSERT_EQ(hexOf(server.roundTrip(registration(hostStrings(kMelee, "B")))), kAckHex);
  second.send("snapshot\n");
  EXPECT_EQ(second.received(server), "");
  server.finishCheckpoint(SaveOutcome::Saved);
  char resolved[PATH_MAX];
  const char* where = ::realpath(server.context().listFile.c_str(), resolved);
  const std::string path = where != nullptr ? where : server.context().listFile;
  EXPECT_EQ(first.received(server), "ok 1 servers saved, durable, in " + path + "\n");
  EXPECT_TRUE(
      t.out().ends_with("# control uid " + kUid + ": snapshot: 1 servers saved in " + path + "\n"));
  EXPECT_EQ(second.received(server), "");
  ASSERT_EQ(server.saver().snapshots.size(), 2u);
  EXPECT_EQ(server.saver().snapshots[1]->totalCount(), 2u);
  server.finishCheckpoint(SaveOutcome::Failed);
  EXPECT_EQ(second.received(server),
            "error could not save the server list; the server's error output says why\n");
  // Right after a failure, when the core itself waits before trying again, the operator's does not.
  second.send("snapshot\n");
  EXPECT_EQ(second.received(server), "");
  EXPECT_EQ(server.saver().snapshots.size(), 3u);
  // Once the stop has begun, a change would miss its last snapshot: refused.
  server.core().stop();
  EXPECT_EQ(t.command("remove 1 1"), "error the server is stopping\n");
}

TEST(Control, GarbageOversizedAndStalledPeersGetAnErrorOrAreDroppedAndChangeNothing) {
  ControlHarness t;
  CoreHarness& server = t.server;
  {
    // Bad commands are answered and the connection goes on; commands sent at once are answered
    // in turn.
    Peer peer(t.path);
    peer.send("\x01junk more\nban 10.0.0.0/8%\nbans\r\nbans\n");
    bool closed = false;
    EXPECT_EQ(peer.received(server, &closed),
              "error unknown command '?junk'; the commands are ban, unban, bans, remove, snapshot "
              "and status\nerror a '%' not followed by two hexadecimal digits\n"
              "ok 0 bans in force\nok 0 bans in force\n");
    EXPECT_FALSE(closed);
  }
  {
    Peer peer(t.path);
    peer.send("ban " + std::string(kControlLineMax - 5, 'x') + "\n");  // the longest line
    EXPECT_NE(peer.received(server).find("is not an IPv4 address"), std::string::npos);
    peer.send(std::string(kControlLineMax, 'x'));
    bool closed = false;
    EXPECT_EQ(peer.received(server, &closed), "error a command line has at most 65536 bytes\n");
    EXPECT_TRUE(closed);
  }
  {
    Peer stalled(t.path);
    stalled.send("ban 10.");
    bool closed = false;
    EXPECT_EQ(stalled.received(server, &closed), "");
    server.advance(ControlSettings{}.lineTimeout - 1ms);
    EXPECT_EQ(stalled.received(server, &closed), "");
    EXPECT_FALSE(closed);
    server.advance(1ms);
    EXPECT_EQ(stalled.received(server, &closed), "error no whole command within 30 s\n");
    EXPECT_TRUE(closed);
  }
  std::vector<std::unique_ptr<Peer>> peers;
  for (std::size_t i = 0; i < ControlSettings{}.maxConnections; ++i) {
    peers.push_back(std::make_unique<Peer>(t.path));
  }
  bool closed = false;
  EXPECT_EQ(t.command("bans").substr(0, 6), "error ");
  Peer over(t.path);
  EXPECT_EQ(over.received(server, &closed), "error too many control connections at once\n");
  EXPECT_TRUE(closed);
  peers.clear();
  server.pump();
  EXPECT_EQ(t.control->connectionCount(), 0u);
  EXPECT_EQ(t.control->bans().size(), 0u);
  EXPECT_FALSE(fs::exists(t.bansFile));
  EXPECT_EQ(t.out(), "");
}


// Cluster mode: the bans of the cluster's bucket become this node's, its file follows, and its
// operator's own changes (commands, a hand edit read again) are what it publishes.

struct Published {
  std::string range;
  bool lifted = false;
  std::string by;
};

Ipv4Range range(std::string_view text) {
  std::string error;
  return parseIpv4Range(text, error).value();
}

TEST(Control, InAClusterTheBucketsBansAreFollowedAndOnlyTheOperatorsOwnArePublished) {
  BanList before;
  before.set({range("198.51.100.0/24"), "old"});
  ControlHarness t(std::move(before));
  std::vector<Published> published;
  t.control->publishBansTo([&published](const Ban& ban, bool lifted, const std::string& by) {
    published.push_back({rangeText(ban.range), lifted, by});
  });
  std::ofstream(t.bansFile) << "# the operator's note\n198.51.100.0/24 old\n";
  ASSERT_EQ(hexOf(t.server.roundTrip(registration(hostStrings(kMelee, "A")), "127.0.0.3")),
            kAckHex);

  // Banned elsewhere: in force here, written to the file, but the host is left to the banning
  // node's removal.
  t.control->followBan({range("127.0.0.3"), "cheater"}, false, "b");
  t.server.pump();
  EXPECT_TRUE(t.control->bans().banned(testing::ipv4("127.0.0.3")));
  EXPECT_EQ(t.hosts(), 1u);
  EXPECT_EQ(t.bansText(), "# the operator's note\n198.51.100.0/24 old\n127.0.0.3 cheater\n");
  EXPECT_TRUE(t.out().ends_with("- cluster: 127.0.0.3 banned on node 'b': cheater\n")) << t.out();
  // And a new connection from it is refused as any banned one.
  EXPECT_EQ(hexOf(t.server.roundTrip(registration(hostStrings(kMelee, "B")), "127.0.0.3")), "");
  // Its own ban coming back from the bucket changes nothing and says nothing.
  const std::string said = t.out();
  t.control->followBan({range("127.0.0.3"), "cheater"}, false, "b");
  EXPECT_EQ(t.out(), said);

  // The bucket's whole list wins: what the node had and the bucket lacks goes, the file's other
  // lines stay.
  t.control->followBans({{range("127.0.0.3"), "cheater"}, {range("10.0.0.0/8"), ""}});
  t.server.pump();
  EXPECT_EQ(t.control->bans().size(), 2u);
  EXPECT_EQ(t.bansText(), "# the operator's note\n127.0.0.3 cheater\n10.0.0.0/8\n");
  t.control->followBan({range("10.0.0.0/8"), ""}, true, "");
  t.server.pump();
  EXPECT_EQ(t.bansText(), "# the operator's note\n127.0.0.3 cheater\n");
  EXPECT_TRUE(published.empty());

  // The operator's commands are published once in force. A ban made here removes the hosts of
  // every banned address, the one the followed ban left (its tombstone never comes here) too.
  EXPECT_EQ(t.command("ban 192.0.2.0/24 flood"), "ok 192.0.2.0/24 is banned: 1 servers removed\n");
  EXPECT_EQ(t.command("unban 127.0.0.3"), "ok 127.0.0.3 is no longer banned\n");
  EXPECT_EQ(t.command("unban 127.0.0.9"), "error 127.0.0.9 is not banned\n");
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[0].range, "192.0.2.0/24");
  EXPECT_FALSE(published[0].lifted);
  EXPECT_TRUE(published[0].by.starts_with("uid "));
  EXPECT_EQ(published[1].range, "127.0.0.3");
  EXPECT_TRUE(published[1].lifted);
  published.clear();

  // A hand edit read again publishes what it changed: an add and a removal, nothing else.
  std::ofstream(t.bansFile) << "# the operator's note\n203.0.113.0/24 by hand\n";
  t.control->reloadBans();
  t.server.pump();
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[0].range, "203.0.113.0/24");
  EXPECT_FALSE(published[0].lifted);
  EXPECT_EQ(published[0].by, "bans file");
  EXPECT_EQ(published[1].range, "192.0.2.0/24");
  EXPECT_TRUE(published[1].lifted);
  published.clear();

  // A ban from the cluster taken in between the reload's reading of the file and its taking
  // effect is no hand removal: the file is read again, with the ban in it.
  t.control->reloadBans();
  t.control->followBan({range("127.0.0.5"), "late"}, false, "c");
  t.server.pump();
  EXPECT_TRUE(published.empty()) << published.front().range;
  EXPECT_TRUE(t.control->bans().banned(testing::ipv4("127.0.0.5")));
}

TEST(Control, AnUnpacedSnapshotHurriesTheCheckpointThatAnswersItAndNoOther) {
  ControlHarness t;
  CoreHarness& server = t.server;
  ASSERT_EQ(hexOf(server.roundTrip(registration(hostStrings(kMelee, "A")))), kAckHex);
  Peer first(t.path), second(t.path);
  // A paced one in flight stays paced; the unpaced one asked meanwhile is the next, hurried as
  // it starts.
  first.send("snapshot\n");
  EXPECT_EQ(first.received(server), "");
  second.send("snapshot unpaced\n");
  EXPECT_EQ(second.received(server), "");
  ASSERT_EQ(server.saver().snapshots.size(), 1u);
  EXPECT_EQ(server.saver().hurries, 0);
  server.finishCheckpoint(SaveOutcome::Saved);
  EXPECT_NE(first.received(server), "");
  ASSERT_EQ(server.saver().snapshots.size(), 2u);
  EXPECT_EQ(server.saver().hurries, 1);
  server.finishCheckpoint(SaveOutcome::Saved);
  EXPECT_NE(second.received(server), "");
  // The one after it is paced again.
  first.send("snapshot\n");
  EXPECT_EQ(first.received(server), "");
  ASSERT_EQ(server.saver().snapshots.size(), 3u);
  EXPECT_EQ(server.saver().hurries, 1);
}

}  // namespace
}  // namespace dirserver

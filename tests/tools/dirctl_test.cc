// dirctl's logic, run in the process: its command line, what it prints of a
// listing and of a server list file, and how it fails against peers that misbehave.
#include "dirctl.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <tuple>

#include "arguments.h"
#include "common/console.h"
#include "common/version.h"
#include "dump.h"
#include "persist/write_ahead_log.h"
#include "listing/list_reply.h"
#include "listing_output.h"
#include "net/listener.h"
#include "persist/server_list_file.h"
#include "protocol/control_protocol.h"
#include "registry/host_id.h"
#include "registry/server_key.h"
#include "support/loopback.h"
#include "support/process.h"

namespace dirserver::dirctl {
namespace {

using namespace std::chrono_literals;
using testing::Finished;

const std::string kMelee = "/Aviantorvale/Melee Game";

Finished dirctl(const std::vector<std::string>& args) {
  testing::CapturedConsole console;
  const int status = runDirctl(args, console.console());
  return {status, console.out(), console.err()};
}

// Checks that `run` ended with `status` and one line on standard error that holds `why`.
void expectFailure(const Finished& run, int status, const std::string& why) {
  EXPECT_EQ(run.status, status) << why;
  EXPECT_TRUE(run.err.starts_with("dirctl: ") && run.err.find(why) != std::string::npos &&
              run.err.find('\n') == run.err.size() - 1)
      << why << "\ngot: " << run.err;
}

std::string address(int socket) { return "127.0.0.1:" + std::to_string(localPort(socket)); }

TEST(DirctlArguments, BadCommandLinesExitWithTwoBeforeAnyConnection) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command given"},
      {{"frob"}, "unknown command 'frob'"},
      {{"--timeout", "3", "list"}, "'--timeout' before the command"},
      {{"ping", "--json"}, "unknown option '--json' for ping"},
      {{"ping", "--timeout"}, "--timeout needs a value"},
      {{"ping", "--timeout", "0"}, "--timeout '0': give seconds"},
      {{"ping", "h:99999"}, "'h:99999': the port must be a number from 1 to 65535"},
      {{"list", "a", "b"}, "unexpected argument 'b' for list"},
      {{"register", kMelee, "a", "b"}, "register takes exactly 7 strings, 3 given"},
      // A host's strings are checked before connecting (to a port where nothing listens).
      {{"register", kMelee, "a", "", "b", "c", "d", "e", "--to=127.0.0.1:1"}, "NAME is empty"},
      {{"register", kMelee + " ", "a", "n", "b", "c", "d", "e", "--to=127.0.0.1:1"},
       "is none of the game types' paths"},
      {{"register", kMelee, "a", "n", "b", std::string(65536, 'x'), "d", "e", "--to=127.0.0.1:1"},
       "F4 has 65536 UTF-16 code units"},
      // The operator's commands, checked before the control socket is looked for.
      {{"ban"}, "ban needs at least 1 arguments, 0 given"},
      {{"unban", ""}, "an argument is empty"},
      {{"remove", "Melee", "1", "a", "b"}, "remove takes TYPE KEY [NAME], or the seven strings"},
      {{"remove", "Melee", "1", "--index=0"}, "--index '0': give a number from 1 on"},
      {{"remove", kMelee, "a", "n", "b", "c", "d", "e", "--index", "1"},
       "--index picks among hosts named by TYPE KEY [NAME]"},
      {{"remove", "1", "2", std::string(kControlLineMax, 'x')}, "more than the control socket"}};
  for (const auto& [args, why] : cases) {
    const Finished run = dirctl(args);
    expectFailure(run, 2, why);
    EXPECT_EQ(run.out, "") << why;
  }
  // Help needs nothing else of the command line.
  const Finished help = dirctl({"register", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, usageText(Command::Register));
  const Finished version = dirctl({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("dirctl ") + kVersion + "\n");
}

TEST(DirctlArguments, EndpointsTakeHostsPortsAndBracketedIpv6) {
  // What each text comes to: the endpoint it gives, or an error that says why.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"localhost"}, "gives localhost:6001"},
      {{"[::1]"}, "gives [::1]:6001"},
      {{"h:65535"}, "gives h:65535"},
      {{"", ":80", "[]:80"}, "no host"},
      {{"h:", "h:0", "h:65536", "h:+1", "h:1x"}, "the port must be a number from 1 to 65535"},
      {{"::1"}, "in brackets"},
      {{"[::1]80"}, "expected ':PORT'"}};
  for (const auto& [texts, expected] : cases) {
    for (const std::string& text : texts) {
      Endpoint endpoint;
      std::string error;
      const std::string result =
          parseEndpoint(text, endpoint, error) ? "gives " + endpointText(endpoint) : error;
      EXPECT_NE(result.find(expected), std::string::npos) << text << ": " << result;
    }
  }
}

TEST(DirctlDump, ShowsEachRecordAndWhereADamagedFileIsDamaged) {
  constexpr std::int64_t kNow = 1'700'000'000;
  testing::TestContext t;
  const std::string path = (t.dir / "list.dat").string(), absent = (t.dir / "absent").string();
  const ServerRecord ann =
      testing::makeRecord(testing::hostStrings(kMelee, "Ann\x1b[2J"), kNow - 3661);
  const ServerKey key = computeServerKey(ann.fields);
  Bytes file;
  putU32(file, 0);
  putU32(file, 1);
  appendFileRecord(file, key, ann);
  putU32(file, 0);
  testing::writeFile(path, file);
  testing::CapturedConsole console;
  std::string error;
  ASSERT_TRUE(dumpServerList(path, kNow, console.console().out, error)) << error;
  std::string time = asctimeText(kNow - 3661);
  time.pop_back();
  EXPECT_EQ(
      console.out(),
      path +
          ": 28706 bytes\n"
          "section 0 (/Aviantorvale/Get The Quorv Game): no records\n"
          "section 1 (/Aviantorvale/Melee Game)\n  record 0 at offset 8\n"
          "    key       " +
          std::to_string(key) + "\n    time      " + time +
          " (age 01:01:01)\n"
          "    path      /Aviantorvale/Melee Game\n    field 1   10.0.0.1:7000\n"
          "    name      Ann?[2J\n    field 3   v1.0\n    field 4   4\n    field 5   16\n"
          "    field 6   open\nsection 2 (/Aviantorvale/Team Melee Game): no records\n1 record\n");

  // The whole records before the damage are shown, then one line says what is wrong.
  Bytes claimsTwo = file;
  storeU32(claimsTwo.data() + 4, 2);
  const std::tuple<std::string, Bytes, std::string, std::string> cases[] = {
      {path, claimsTwo,
       path + " is damaged: section 1 at offset 4 claims 2 records, but the file holds at most 1 "
              "after it (1 whole record before it is shown)",
       "    field 6   open\n"},
      {path, Bytes(file.begin(), file.begin() + 6),
       path + " is damaged: the file ends inside the count of section 1 at offset 4 (no whole "
              "record before it)",
       path + ": 6 bytes\n"},
      {absent, {}, "cannot open " + absent + ": No such file or directory", ""},
      {t.dir.string(), {}, t.dir.string() + " is not a regular file", ""}};
  for (const auto& [target, bytes, why, outEnd] : cases) {
    if (!bytes.empty()) testing::writeFile(target, bytes);
    const Finished run = dirctl({"dump", target});
    expectFailure(run, 1, why);
    EXPECT_EQ(run.out.empty(), outEnd.empty()) << why;
    EXPECT_TRUE(run.out.ends_with(outEnd)) << why << "\n" << run.out;
  }
}

// A log's refresh names its host by type, key and id and sets its time: the dump shows those, not
// a whole host.
TEST(DirctlDump, ShowsALogsRefreshByTheHostItNames) {
  constexpr std::int64_t kNow = 1'700'000'000;
  testing::TestContext t;
  LogEntry added;
  added.type = ServerType::Melee;
  added.record = testing::makeRecord(testing::hostStrings(kMelee, "Ann"), kNow - 60);
  added.owner = 0x0100000A;
  LogEntry refreshed;
  refreshed.operation = LogOperation::Refresh;
  refreshed.type = ServerType::Melee;
  refreshed.key = computeServerKey(added.record.fields);
  refreshed.id = computeHostId(ServerType::Melee, added.record.fields);
  refreshed.record.registrationTime = static_cast<std::int32_t>(kNow - 1);
  refreshed.owner = 0x0200000A;
  Bytes log = encodeLogHeader({1, 7, 0, 1});
  appendLogEntry(log, added);
  const std::size_t second = log.size();
  appendLogEntry(log, refreshed);
  testing::writeFile(t.dir / "server_list.wal.1", log);
  testing::CapturedConsole console;
  std::string error;
  ASSERT_TRUE(dumpServerList((t.dir / "server_list.dat").string(), kNow, console.console().out, error))
      << error;
  std::string time = asctimeText(kNow - 1);
  time.pop_back();
  const std::string out = console.out();
  EXPECT_NE(out.find(": " + std::to_string(log.size()) + " bytes, log 1 (version 2), follows"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  change 1 at offset 48: set, owner 10.0.0.1\n    key       " +
                     std::to_string(refreshed.key)),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  change 2 at offset " + std::to_string(second) +
                     ": refresh, owner 10.0.0.2\n    type      " + kMelee + "\n    key       " +
                     std::to_string(refreshed.key) + "\n    host id   " + hostIdText(refreshed.id) +
                     "\n    time      " + time + " (age 00:00:01)\n  2 changes, ending at offset " +
                     std::to_string(log.size()) + " of " + std::to_string(log.size()) + "\n"),
            std::string::npos)
      << out;
}

// What a scripted peer saw and what dirctl made of it.
struct PeerRun {
  Finished dirctl;
  std::vector<std::uint32_t> requestTypes;  // the type of each request, in order
};

// Reads one whole request from `peer` (its header gives the size) and returns its type, or
// nothing when it does not come within a few seconds.
std::optional<std::uint32_t> readRequest(int peer) {
  Bytes bytes;
  std::size_t size = kHeaderSize;
  while (bytes.size() < size) {
    pollfd wait{peer, POLLIN, 0};
    std::uint8_t chunk[4096];
    if (::poll(&wait, 1, 5000) != 1) return std::nullopt;
    const ssize_t got = ::recv(peer, chunk, std::min(sizeof chunk, size - bytes.size()), 0);
    if (got <= 0) return std::nullopt;
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (bytes.size() == kHeaderSize) {
      size = std::max<std::size_t>(kHeaderSize, loadU32(bytes.data()));
    }
  }
  return loadU32(bytes.data() + 8);
}

// Runs dirctl with `args`, "@" standing for the address of a peer that answers the connections
// dirctl makes with `answers` in turn: it reads the request, sends the answer and ends the
// connection.
PeerRun againstPeer(std::vector<std::string> args, const std::vector<Bytes>& answers) {
  const int listener = bindListener(0, INADDR_LOOPBACK);
  ::listen(listener, 4);
  for (std::string& arg : args) arg = arg == "@" ? address(listener) : arg;
  auto run = std::async(std::launch::async, [&args] { return dirctl(args); });
  PeerRun peerRun;
  for (const Bytes& answer : answers) {
    pollfd wait{listener, POLLIN, 0};
    if (::poll(&wait, 1, 5000) != 1) break;
    const int peer = ::accept(listener, nullptr, nullptr);
    if (const auto type = readRequest(peer)) peerRun.requestTypes.push_back(*type);
    ::send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::shutdown(peer, SHUT_WR);
    ::close(peer);
  }
  peerRun.dirctl = run.get();
  ::close(listener);
  return peerRun;
}

Finished againstPeer(const std::vector<std::string>& args, const Bytes& answer) {
  return againstPeer(args, std::vector<Bytes>{answer}).dirctl;
}

TEST(DirctlCommands, ShowAListingAndFailWithOneLineOnWrongShortOrMissingAnswers) {
  const ServerRecord bob =
      testing::makeRecord({kMelee, "10.0.0.1:7000", "Bob", "v1.0", "4", "16", "a\x01z"});
  const ServerKey key = computeServerKey(bob.fields);
  ServerRegistry registry;
  registry.insert(ServerType::Melee, key, bob);
  const Bytes listing = buildListReply(registry);
  // The text after the address; the JSON form is checked against the real server.
  const std::string text =
      " lists 1 host\n\n/Aviantorvale/Get The Quorv Game: no hosts\n\n"
      "/Aviantorvale/Melee Game: 1 host\n  Bob  key " +
      std::to_string(key) +
      "\n"
      "    path     /Aviantorvale/Melee Game\n    field 1  10.0.0.1:7000\n"
      "    field 3  v1.0\n    field 4  4\n    field 5  16\n    field 6  a?z\n"
      "\n/Aviantorvale/Team Melee Game: no hosts\n";
  Bytes miscounted = listing;
  miscounted[14] = 9;  // the low byte of the header's entry count
  const Bytes ack(kAckMessage.begin(), kAckMessage.end()), shortAck(ack.begin(), ack.end() - 1);
  const Bytes empty = buildListReply(ServerRegistry{});
  const Bytes cut(empty.begin(), empty.begin() + 100);
  Bytes tooLong = empty;
  tooLong.insert(tooLong.end(), 100000, 0xEE);
  const std::string cutShort =
      "offset 100: the reply is cut short: its size says 380 bytes, only 100 came";
  // The arguments, the peer's answer, then on success a part of the output; on a failure all of
  // the output and a part of the error line.
  const std::tuple<std::vector<std::string>, Bytes, std::string, std::string> cases[] = {
      {{"list", "@"}, listing, text, ""},
      // An entry count that does not match the entries is noted, not trusted.
      {{"list", "@"}, miscounted, "\nnote: the reply's header counts 9 entries, 5 came\n", ""},
      {{"ping", "@"}, ack, ": connected in ", ""},
      {{"list", "@"}, {}, "", " closed the connection without answering"},
      {{"list", "@"}, cut, "", cutShort},
      // --raw hands on whatever came, and still fails on a broken reply.
      {{"list", "--raw", "@"}, cut, std::string(cut.begin(), cut.end()), cutShort},
      {{"list", "--json", "@"}, tooLong, "", "bytes follow the end that the size gives"},
      {{"list", "@"}, ack, "", "offset 8: message type 1, not a list reply (3)"},
      {{"ping", "@"}, empty, "", "the answer is not an acknowledgement: 380 bytes, 7C 01 "},
      {{"ping", "@"}, shortAck, "", "the acknowledgement was cut short after 13 of 14 bytes"}};
  for (const auto& [args, answer, out, why] : cases) {
    const Finished run = againstPeer(args, answer);
    if (why.empty()) {
      EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
      EXPECT_NE(run.out.find(out), std::string::npos) << out << "\ngot: " << run.out;
    } else {
      expectFailure(run, 1, why);
      EXPECT_EQ(run.out, out) << why;
    }
  }
}

TEST(DirctlCommands, RegisterAndShutdownSayFromTheListingWhetherTheChangeTook) {
  // Options may stand among the strings, and after "--" a string may begin with '-'.
  const std::vector<std::string> strings = {kMelee, "10.0.0.1:7000", "-n", "v1", "4", "16", "-x"};
  std::vector<std::string> other = strings;
  other[6] = "-y";  // the same name, another host
  const auto listing = [](std::initializer_list<std::vector<std::string>> hosts) {
    ServerRegistry registry;
    for (const auto& host : hosts) {
      const ServerRecord record = testing::makeRecord(host);
      const auto type = serverTypeForPath(host[0]);
      registry.insert(type.value(), computeServerKey(record.fields), record);
    }
    return buildListReply(registry);
  };
  const Bytes ack(kAckMessage.begin(), kAckMessage.end()), none = listing({}),
      listed = listing({other, strings}), otherOnly = listing({other});
  const std::vector<std::string> args = {"--to", "@", "--", strings[0], strings[1], strings[2],
                                         strings[3], strings[4], strings[5], strings[6]};
  // The command, the answers to the list request, the request and the list request after it,
  // then the status and what the last line says (on standard error for a failure).
  const std::tuple<std::string, std::vector<Bytes>, int, std::string> cases[] = {
      {"register", {otherOnly, ack, listed}, 0, "lists \"-n\" now, as a new host"},
      {"register",
       {listed, ack, listed},
       0,
       "lists \"-n\" now, with its registration time refreshed"},
      {"register", {none, ack, otherOnly}, 1,
       "does not list \"-n\" after its registration; the server's error output says why"},
      {"shutdown", {listed, ack, otherOnly}, 0, "no longer lists \"-n\""},
      {"shutdown", {otherOnly, ack, otherOnly}, 1,
       "did not list \"-n\", so the shutdown removed nothing"},
      {"shutdown", {listed, ack, listed}, 1, "still lists \"-n\" after its shutdown"},
      {"register", {none, {}}, 1, "the server closed the connection without answering"},
      {"register", {none, ack, ack}, 1, "cannot check the listing after: malformed listing"},
      {"shutdown", {{}}, 1, "cannot check the listing before: 127.0.0.1:"}};
  for (const auto& [command, answers, status, line] : cases) {
    std::vector<std::string> commandLine{command};
    commandLine.insert(commandLine.end(), args.begin(), args.end());
    const PeerRun run = againstPeer(commandLine, answers);
    const std::string what = command + " ending with " + line;
    EXPECT_EQ(run.dirctl.status, status) << what << "\n" << run.dirctl.err;
    if (status == 0) {
      EXPECT_EQ(run.dirctl.err, "") << what;
      EXPECT_TRUE(run.dirctl.out.ends_with(line + "\n")) << what << "\ngot: " << run.dirctl.out;
    } else {
      expectFailure(run.dirctl, 1, line);
    }
    // Every run that got so far acknowledged the request first, as the server saw it.
    if (answers.size() == 3) {
      const std::uint32_t type = static_cast<std::uint32_t>(
          command == "register" ? MessageType::Registration : MessageType::Shutdown);
      EXPECT_EQ(run.requestTypes, (std::vector<std::uint32_t>{2, type, 2})) << what;
      const std::string request = command == "register" ? "registration" : "shutdown";
      EXPECT_NE(run.dirctl.out.find("acknowledged the " + request + " of \"-n\""),
                std::string::npos)
          << what;
    }
  }
}

TEST(DirctlCommands, UnreachableOrSilentPeersFailWithinTheTimeout) {
  // Bound without listening, connections are refused; a listener that never accepts takes
  // them and never answers; one with a full accept queue leaves them unanswered.
  const int refusing = bindListener(0, INADDR_LOOPBACK), silent = bindListener(0, INADDR_LOOPBACK),
            full = bindListener(0, INADDR_LOOPBACK);
  ASSERT_TRUE(::listen(silent, 1) == 0 && ::listen(full, 0) == 0);
  testing::Client held(localPort(full));
  const std::string refused = address(refusing), quiet = address(silent), busy = address(full);
  // The arguments, the least time the failure may take, and its line.
  const std::tuple<std::vector<std::string>, std::chrono::milliseconds, std::string> cases[] = {
      {{"ping", refused}, 0ms, "cannot connect to " + refused + ": Connection refused\n"},
      {{"list", quiet, "--timeout", "0.2"},
       200ms,
       "timed out waiting for the answer from " + quiet + " after 0.2 s (0 bytes came)\n"},
      {{"ping", busy, "--timeout=0.2"},
       200ms,
       "timed out connecting to " + busy + " after 0.2 s\n"}};
  for (const auto& [args, least, why] : cases) {
    const auto start = std::chrono::steady_clock::now();
    const Finished run = dirctl(args);
    const auto took = std::chrono::steady_clock::now() - start;
    expectFailure(run, 1, why);
    EXPECT_TRUE(took >= least && took < 3s) << why;
  }
  for (int socket : {refusing, silent, full}) ::close(socket);
}

TEST(DirctlControl, PrintsTheAnswerAndFailsWithOneLineOnAnErrorOrABrokenAnswer) {
  testing::TestContext t;
  const std::string path = (t.dir / "control.sock").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  // The arguments, what the peer answers (after reading the command line, which must be the one
  // expected), then the exit status, the output and a part of the failure line.
  const std::tuple<std::vector<std::string>, std::string, std::string, int, std::string,
                   std::string>
      cases[] = {
          {{"ban", "10.0.0.0/8", "spam", "bot"},
           "ban 10.0.0.0/8 spam%20bot\n",
           " a line\n  indented\nok done\n",
           0,
           "a line\n indented\ndone\n",
           ""},
          {{"remove", "Melee", "7", "--index", "2"}, "remove Melee 7 index=2\n", "ok\n", 0, "", ""},
          {{"remove", "1", "7"},
           "remove 1 7\n",
           " [1] x\n [2] y\nerror pick one\n",
           1,
           "[1] x\n[2] y\n",
           "dirctl: pick one\n"},
          {{"bans"}, "bans\n", "ok\nbanned\n", 0, "", ""},
          {{"snapshot", "--unpaced"}, "snapshot unpaced\n", "ok saved\n", 0, "saved\n", ""},
          {{"status"}, "status\n", "fine\n", 1, "", "a line that is no answer: 'fine'"},
          {{"status"}, "status\n", " cut short", 1, "", "before its answer ended"},
          {{"snapshot", "--timeout", "0.2"},
           "snapshot\n",
           "",
           1,
           "",
           "timed out waiting for the answer on " + path + " after 0.2 s"}};
  for (const auto& [args, line, answer, status, out, why] : cases) {
    std::vector<std::string> withPath = args;
    withPath.insert(withPath.end(), {"--control", path});
    auto run = std::async(std::launch::async, [&withPath] { return dirctl(withPath); });
    const int peer = ::accept(listener, nullptr, nullptr);
    std::string received(line.size(), '\0');
    EXPECT_EQ(::recv(peer, received.data(), received.size(), MSG_WAITALL),
              static_cast<ssize_t>(line.size()));
    EXPECT_EQ(received, line);
    ::send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
    // A silent peer holds the connection until dirctl gives up.
    if (!answer.empty()) ::close(peer);
    const Finished finished = run.get();
    if (answer.empty()) ::close(peer);
    EXPECT_EQ(finished.status, status) << line << finished.err;
    EXPECT_EQ(finished.out, out) << line;
    if (status != 0) expectFailure(finished, 1, why);
  }
  ::close(listener);
  expectFailure(dirctl({"bans", "--control", path + ".none"}), 1,
                "cannot connect to the control socket " + path +
                    ".none: No such file or directory (is the server running there? --control "
                    "PATH names its socket)\n");
}

}  // namespace
}  // namespace dirserver::dirctl

// dirctl's logic, run in the process: its command line, its JSON, the requests it builds, what it
// prints of a listing and of a server list file, and how it fails against servers that misbehave.
#include "dirctl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "arguments.h"
#include "common/text.h"
#include "dump.h"
#include "json.h"
#include "listing/list_reply.h"
#include "listing/list_reply_decoder.h"
#include "listing_output.h"
#include "net/listener.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "registry/server_list_file.h"
#include "requests.h"
#include "support/loopback.h"

namespace dirserver::dirctl {
namespace {

using namespace std::chrono_literals;
using testing::CapturedConsole;
using testing::hostStrings;
using testing::makeRecord;

const std::string kMelee = "/Aviantorvale/Melee Game";

// ---------------------------------------------------------------------------------------------
// The command line

TEST(DirctlArguments, ParsesEachCommandWithItsDefaultsAndOptions) {
  Invocation invocation;
  std::string error;
  ASSERT_TRUE(parseArguments({"list"}, invocation, error)) << error;
  EXPECT_EQ(invocation.command, Command::List);
  EXPECT_EQ(endpointText(invocation.endpoint), "127.0.0.1:6001");
  EXPECT_EQ(invocation.format, ListFormat::Text);
  EXPECT_EQ(invocation.timeout, 10s);

  ASSERT_TRUE(parseArguments({"list", "--json", "example.org:7000"}, invocation, error)) << error;
  EXPECT_EQ(endpointText(invocation.endpoint), "example.org:7000");
  EXPECT_EQ(invocation.format, ListFormat::Json);

  ASSERT_TRUE(parseArguments({"ping", "[::1]", "--timeout=0.25"}, invocation, error)) << error;
  EXPECT_EQ(endpointText(invocation.endpoint), "[::1]:6001");
  EXPECT_EQ(invocation.timeout, 250ms);

  // Options between the strings; after "--" a string may begin with '-'.
  ASSERT_TRUE(
      parseArguments({"shutdown", kMelee, "a", "--to", "h:9", "Bob", "--", "-3", "--to", "-", "f6"},
                     invocation, error))
      << error;
  EXPECT_EQ(invocation.command, Command::Shutdown);
  EXPECT_EQ(invocation.strings,
            (std::vector<std::string>{kMelee, "a", "Bob", "-3", "--to", "-", "f6"}));
  EXPECT_EQ(endpointText(invocation.endpoint), "h:9");

  ASSERT_TRUE(parseArguments({"dump"}, invocation, error));
  EXPECT_EQ(invocation.file, "server_list.dat");
  ASSERT_TRUE(parseArguments({"dump", "/tmp/other.dat"}, invocation, error));
  EXPECT_EQ(invocation.file, "/tmp/other.dat");
}

TEST(DirctlArguments, HelpNeedsNothingElseOfTheCommandLine) {
  const std::pair<std::vector<std::string>, Command> cases[] = {
      {{"--help"}, Command::Usage},
      {{"help"}, Command::Usage},
      {{"help", "dump"}, Command::Dump},
      {{"register", "--help"}, Command::Register},  // without its seven strings
      {{"list", "a", "b", "-h"}, Command::List},
  };
  for (const auto& [args, command] : cases) {
    Invocation invocation;
    std::string error;
    ASSERT_TRUE(parseArguments(args, invocation, error)) << args[0] << ": " << error;
    EXPECT_TRUE(invocation.help);
    EXPECT_EQ(invocation.command, command);
    EXPECT_NE(usageText(command).find("usage: dirctl"), std::string::npos);
  }
}

TEST(DirctlArguments, RejectsBadCommandLinesWithTheReason) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command given"},
      {{"frob"}, "unknown command 'frob'"},
      {{"--timeout", "3", "list"}, "'--timeout' before the command"},
      {{"list", "--xml"}, "unknown option '--xml' for list"},
      {{"ping", "--json"}, "unknown option '--json' for ping"},
      {{"dump", "--timeout", "3"}, "unknown option '--timeout' for dump"},
      {{"list", "--to", "h"}, "unknown option '--to' for list"},
      {{"list", "--json", "--raw"}, "--json and --raw exclude each other"},
      {{"list", "--json=yes"}, "--json takes no value"},
      {{"list", "a", "b"}, "unexpected argument 'b' for list"},
      {{"ping", "--timeout"}, "--timeout needs a value"},
      {{"ping", "--timeout", "0"}, "--timeout '0': give seconds"},
      {{"ping", "--timeout", "5s"}, "--timeout '5s': give seconds"},
      {{"ping", "h:99999"}, "'h:99999': the port must be a number from 1 to 65535"},
      {{"register", kMelee, "a", "b"}, "register takes exactly 7 strings, 3 given"},
      {{"register", kMelee, "1", "2", "3", "4", "5", "6", "7"}, "takes exactly 7 strings, 8"},
  };
  for (const auto& [args, expected] : cases) {
    Invocation invocation;
    std::string error;
    EXPECT_FALSE(parseArguments(args, invocation, error)) << expected;
    EXPECT_NE(error.find(expected), std::string::npos) << "got: " << error;
  }
}

TEST(DirctlArguments, EndpointsTakeHostsPortsAndBracketedIpv6) {
  const std::pair<const char*, const char*> good[] = {
      {"localhost", "localhost:6001"},
      {"10.0.0.1:7000", "10.0.0.1:7000"},
      {"h:1", "h:1"},
      {"h:65535", "h:65535"},
      {"[::1]", "[::1]:6001"},
      {"[fe80::1]:80", "[fe80::1]:80"},
  };
  for (const auto& [text, canonical] : good) {
    Endpoint endpoint;
    std::string error;
    ASSERT_TRUE(parseEndpoint(text, endpoint, error)) << text << ": " << error;
    EXPECT_EQ(endpointText(endpoint), canonical);
  }
  const std::pair<const char*, const char*> bad[] = {
      {"", "no host"},
      {":80", "no host"},
      {"[]:80", "no host"},
      {"h:", "the port"},
      {"h:0", "the port"},
      {"h:65536", "the port"},
      {"h:+1", "the port"},
      {"h:1x", "the port"},
      {"::1", "in brackets"},
      {"[::1", "no ']'"},
      {"[::1]80", "expected ':PORT'"},
  };
  for (const auto& [text, why] : bad) {
    Endpoint endpoint;
    endpoint.host = "kept";
    std::string error;
    EXPECT_FALSE(parseEndpoint(text, endpoint, error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
    EXPECT_EQ(endpoint.host, "kept");
  }
}

// ---------------------------------------------------------------------------------------------
// JSON strings

TEST(DirctlJson, EscapesWhatJsonRequiresAndKeepsTheRest) {
  EXPECT_EQ(jsonString(""), R"("")");
  EXPECT_EQ(jsonString("say \"hi\" \\ /"), R"("say \"hi\" \\ /")");
  EXPECT_EQ(jsonString("\b\f\n\r\t"), R"("\b\f\n\r\t")");
  EXPECT_EQ(jsonString(std::string("a\0b\x01\x1f\x7f", 6)), "\"a\\u0000b\\u0001\\u001f\x7f\"");
  // Well-formed UTF-8 of every length is copied; C1 controls are valid JSON as they are.
  EXPECT_EQ(jsonString("é€😀\u0085"), "\"é€😀\u0085\"");
}

TEST(DirctlJson, ReplacesEachBadUtf8ByteSoTheOutputStaysValid) {
  const std::pair<std::string, std::string> cases[] = {
      {"\x80", R"("\ufffd")"},                                // a lone continuation byte
      {"a\xC3", R"("a\ufffd")"},                              // cut at the end
      {"\xC3(", R"("\ufffd(")"},                              // no continuation
      {"\xC0\x80", R"("\ufffd\ufffd")"},                      // overlong U+0000
      {"\xE0\x80\xAF", R"("\ufffd\ufffd\ufffd")"},            // overlong '/'
      {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},            // a surrogate
      {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // above U+10FFFF
      {"\xFF", R"("\ufffd")"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(jsonString(text), expected) << expected;
}

// ---------------------------------------------------------------------------------------------
// Requests and the acknowledgement

TEST(DirctlRequests, HostRequestIsWhatTheServerParsesUnderTheKeyDirctlReports) {
  std::vector<std::string> strings = hostStrings(kMelee, "Bøb");
  strings[5] = std::string(3000, 'x');  // the server stores only the first 2048 code units
  HostRequest request;
  std::string error;
  ASSERT_TRUE(buildHostRequest(MessageType::Registration, strings, request, error)) << error;
  EXPECT_EQ(request.bytes,
            testing::request(MessageType::Registration, testing::requestBody(strings)));
  EXPECT_EQ(request.type, ServerType::Melee);

  testing::TestContext t;
  handleRegistration(t.context, ByteView(request.bytes).subspan(kHeaderSize));
  const auto filed = t.context.registry.find(ServerType::Melee, request.key);
  ASSERT_NE(filed, t.context.registry.end(ServerType::Melee)) << t.console.err();
  EXPECT_EQ(filed->second.fields, request.fields);
}

TEST(DirctlRequests, RefusesStringsTheServerWouldReject) {
  const auto refused = [](std::vector<std::string> strings, const std::string& why) {
    HostRequest request;
    std::string error;
    EXPECT_FALSE(buildHostRequest(MessageType::Shutdown, strings, request, error)) << why;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  };
  refused({kMelee, "a", "", "b", "c", "d", "e"}, "NAME is empty");
  refused({kMelee, "a", "n", "b", "c", "d", ""}, "F6 is empty");
  refused({kMelee + " ", "a", "n", "b", "c", "d", "e"}, "is none of the game types' paths");
  refused({kMelee, "a", "n", "b", std::string(65536, 'x'), "d", "e"},
          "F4 has 65536 UTF-16 code units");
}

TEST(DirctlRequests, OnlyTheExactAcknowledgementPasses) {
  std::string error;
  EXPECT_TRUE(checkAcknowledgement(kAckMessage, error));
  EXPECT_FALSE(checkAcknowledgement({}, error));
  EXPECT_EQ(error, "the server closed the connection without answering");
  EXPECT_FALSE(checkAcknowledgement(ByteView(kAckMessage).first(13), error));
  EXPECT_EQ(error, "the acknowledgement was cut short after 13 of 14 bytes");
  const Bytes listing = buildListReply(ServerRegistry{});
  EXPECT_FALSE(checkAcknowledgement(listing, error));
  EXPECT_EQ(error,
            "the answer is not an acknowledgement: 380 bytes, 7C 01 00 00 1E 00 00 00 03 "
            "00 00 00 00 00 04 00 ...");
}

// ---------------------------------------------------------------------------------------------
// What a listing looks like

struct SampleListing {
  ServerRecord bob = makeRecord({kMelee, "10.0.0.1:7000", "Bob", "v1.0", "4", "16",
                                 "a\x01"
                                 "b\"c"});
  ServerKey key = computeServerKey(bob.fields);
  ListedReply reply;

  SampleListing() {
    ServerRegistry registry;
    registry.insert(ServerType::Melee, key, bob);
    std::string error;
    if (!decodeListReply(buildListReply(registry), reply, error)) ADD_FAILURE() << error;
  }
};

TEST(DirctlListing, TextShowsEachTypeWithItsHostsAndTheirKeys) {
  const SampleListing sample;
  EXPECT_EQ(listingText(sample.reply, "h:1"),
            "h:1 lists 1 host\n"
            "\n"
            "/Aviantorvale/Get The Quorv Game: no hosts\n"
            "\n"
            "/Aviantorvale/Melee Game: 1 host\n"
            "  Bob  key " +
                std::to_string(sample.key) +
                "\n"
                "    path     /Aviantorvale/Melee Game\n"
                "    field 1  10.0.0.1:7000\n"
                "    field 3  v1.0\n"
                "    field 4  4\n"
                "    field 5  16\n"
                "    field 6  a?b\"c\n"
                "\n"
                "/Aviantorvale/Team Melee Game: no hosts\n");
}

TEST(DirctlListing, JsonHoldsEveryDirectoryAndTheWholeStrings) {
  const SampleListing sample;
  EXPECT_EQ(listingJson(sample.reply, "h:1"),
            R"({"server":"h:1","hosts":1,"entryCount":5,"directories":[)"
            R"({"path":"/Aviantorvale","type":null,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Get The Quorv Game","type":0,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Melee Game","type":1,"hosts":[{"name":"Bob","key":)" +
                std::to_string(sample.key) +
                R"(,"fields":["/Aviantorvale/Melee Game","10.0.0.1:7000","Bob","v1.0","4","16",)"
                R"("a\u0001b\"c"]}]},)"
                R"({"path":"/Aviantorvale/Team Melee Game","type":2,"hosts":[]}]})"
                "\n");
}

TEST(DirctlListing, OddListingsAreShownAsTheyCame) {
  SampleListing sample;
  // An entry count that does not match is noted, not trusted.
  sample.reply.entryCount = 9;
  EXPECT_NE(
      listingText(sample.reply, "h").find("note: the reply's header counts 9 entries, 5 came\n"),
      std::string::npos);
  // A host ahead of every directory, which the server never sends, is still shown.
  ListedReply reply;
  reply.entries.push_back(sample.reply.entries[3]);
  ASSERT_FALSE(reply.entries[0].isDirectory);
  const auto directories = groupListing(reply);
  ASSERT_EQ(directories.size(), 1u);
  EXPECT_EQ(directories[0].path, "");
  EXPECT_EQ(directories[0].hosts[0].key, sample.key);
  EXPECT_NE(listingText(reply, "h").find("(before any directory): 1 host\n  Bob  key"),
            std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// What a server list file looks like

constexpr std::int64_t kNow = 1'700'000'000;

std::string timeText(std::int32_t time) {
  std::string text = asctimeText(time);
  text.pop_back();
  return text;
}

struct DumpResult {
  bool ok = false;
  std::string out;
  std::string error;
};

DumpResult dump(const std::filesystem::path& path) {
  CapturedConsole console;
  DumpResult result;
  result.ok = dumpServerList(path.string(), kNow, console.console().out, result.error);
  result.out = console.out();
  return result;
}

TEST(DirctlDump, ShowsEachSectionWithItsRecords) {
  testing::TestContext t;
  const ServerRecord ann = makeRecord(hostStrings(kMelee, "Ann\x1b[2J"), kNow - 3661);
  const ServerKey key = computeServerKey(ann.fields);
  Bytes file;
  putU32(file, 0);
  putU32(file, 1);
  appendFileRecord(file, key, ann);
  putU32(file, 0);
  testing::writeFile(t.dir / "list.dat", file);

  const DumpResult result = dump(t.dir / "list.dat");
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.out, (t.dir / "list.dat").string() +
                            ": 28706 bytes\n"
                            "section 0 (/Aviantorvale/Get The Quorv Game): no records\n"
                            "section 1 (/Aviantorvale/Melee Game)\n"
                            "  record 0 at offset 8\n"
                            "    key       " +
                            std::to_string(key) +
                            "\n"
                            "    time      " +
                            timeText(kNow - 3661) +
                            " (age 01:01:01)\n"
                            "    path      /Aviantorvale/Melee Game\n"
                            "    field 1   10.0.0.1:7000\n"
                            "    name      Ann?[2J\n"
                            "    field 3   v1.0\n"
                            "    field 4   4\n"
                            "    field 5   16\n"
                            "    field 6   open\n"
                            "section 2 (/Aviantorvale/Team Melee Game): no records\n"
                            "1 record\n");
}

TEST(DirctlDump, NotesWhatTheServerMakesOfARecordBeyondItsBytes) {
  testing::TestContext t;
  const ServerRecord old = makeRecord(hostStrings(kMelee, "Old"), kNow - 90000);
  const ServerKey key = computeServerKey(old.fields);
  const ServerRecord odd =
      makeRecord(hostStrings("/Aviantorvale/Team Melee Game", "Odd"), kNow + 5);
  Bytes file;
  putU32(file, 3);
  appendFileRecord(file, key + 1, old);  // a stored key that is not the record's
  appendFileRecord(file, key, old);      // the same key again
  appendFileRecord(file, computeServerKey(odd.fields), odd);
  putU32(file, 0);
  putU32(file, 0);
  putBytes(file, Bytes{1, 2, 3});
  testing::writeFile(t.dir / "list.dat", file);

  const DumpResult result = dump(t.dir / "list.dat");
  ASSERT_TRUE(result.ok) << result.error;
  const auto has = [&](const std::string& text) {
    EXPECT_NE(result.out.find(text), std::string::npos) << text << "\n" << result.out;
  };
  has("key       " + std::to_string(key) + ", stored " + std::to_string(key + 1) + "\n");
  has("(age 1d 01:00:00, over a day: the next sweep drops it)\n");
  has("note      key " + std::to_string(key) + " is already in this section: the server keeps");
  has("(in the future)\n");
  has("note      the path names another game type; the server files the record in this section");
  has("section 1 (/Aviantorvale/Melee Game): no records\n");
  has("3 records\nnote: 3 bytes after the third section are not read\n");
}

TEST(DirctlDump, SaysWhereADamagedFileIsDamagedAfterTheWholeRecords) {
  testing::TestContext t;
  const std::string quorv = "/Aviantorvale/Get The Quorv Game";
  const ServerRecord ann = makeRecord(hostStrings(quorv, "Ann"), kNow);
  const ServerRecord bea = makeRecord(hostStrings(quorv, "Bea"), kNow);
  Bytes whole;
  putU32(whole, 2);
  appendFileRecord(whole, computeServerKey(ann.fields), ann);
  appendFileRecord(whole, computeServerKey(bea.fields), bea);
  putU32(whole, 0);
  putU32(whole, 0);

  struct Case {
    const char* what;
    Bytes bytes;
    const char* damage;
    const char* shown;
  };
  Bytes cut(whole.begin(), whole.begin() + 4 + kFileRecordSize + 100);
  Bytes longField = whole;
  longField[4 + kFileRecordSize + 8] = 5000 & 0xFF;  // record 1's field 0 length, 5000
  longField[4 + kFileRecordSize + 9] = 5000 >> 8;
  Bytes noCount(whole.begin(), whole.end() - 2);
  const Case cases[] = {
      {"cut inside record 1", cut,
       "section 0 at offset 0 claims 2 records, but the file holds "
       "at most 1 after it",
       "1 whole record before it is shown"},
      {"field length", longField,
       "field 0 of record 1 of section 0 at offset 28698 has length "
       "5000, more than 4096",
       "1 whole record before it is shown"},
      {"cut in a count", noCount, "the file ends inside the count of section 2 at offset 57396",
       "2 whole records before it are shown"},
  };
  for (const Case& c : cases) {
    testing::writeFile(t.dir / "list.dat", c.bytes);
    const DumpResult result = dump(t.dir / "list.dat");
    EXPECT_FALSE(result.ok) << c.what;
    EXPECT_EQ(result.error,
              (t.dir / "list.dat").string() + " is damaged: " + c.damage + " (" + c.shown + ")")
        << c.what;
    EXPECT_NE(result.out.find("  record 0 at offset 4\n"), std::string::npos) << c.what;
    EXPECT_TRUE(result.out.ends_with("    field 6   open\n")) << c.what;  // and nothing after
  }

  DumpResult missing = dump(t.dir / "absent.dat");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.error,
            "cannot open " + (t.dir / "absent.dat").string() + ": No such file or directory");
  DumpResult directory = dump(t.dir);
  EXPECT_FALSE(directory.ok);
  EXPECT_EQ(directory.error, t.dir.string() + " is not a regular file");
  EXPECT_EQ(directory.out, "");
}

// ---------------------------------------------------------------------------------------------
// Against servers

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome dirctl(const std::vector<std::string>& args) {
  CapturedConsole console;
  Outcome run;
  run.status = runDirctl(args, console.console());
  run.out = console.out();
  run.err = console.err();
  return run;
}

TEST(DirctlCommands, TalkToTheServerLoopOverLoopback) {
  testing::LoopbackServer server;
  const ServerRecord bob = makeRecord(hostStrings(kMelee, "Bob"));
  server.test().context.registry.insert(ServerType::Melee, computeServerKey(bob.fields), bob);
  const Bytes expected = buildListReply(server.test().context.registry);
  server.start();
  const std::string at = "127.0.0.1:" + std::to_string(server.port());

  Outcome raw = dirctl({"list", "--raw", at});
  EXPECT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out, std::string(expected.begin(), expected.end()));

  Outcome ping = dirctl({"ping", at});
  EXPECT_EQ(ping.status, 0) << ping.err;
  EXPECT_EQ(ping.out.rfind("acknowledged by " + at + ": connected in ", 0), 0u) << ping.out;

  const std::vector<std::string> ann = hostStrings("/Aviantorvale/Team Melee Game", "Ann");
  std::vector<std::string> args{"register", "--to", at};
  args.insert(args.end(), ann.begin(), ann.end());
  Outcome registered = dirctl(args);
  EXPECT_EQ(registered.status, 0) << registered.err;
  const ServerKey annKey = computeServerKey(makeRecord(ann).fields);
  EXPECT_EQ(registered.out, at + " acknowledged the registration of \"Ann\" (key " +
                                std::to_string(annKey) + ", /Aviantorvale/Team Melee Game)\n");

  Outcome list = dirctl({"list", at});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find(at + " lists 2 hosts\n"), std::string::npos) << list.out;
  server.stop();
  EXPECT_EQ(server.test().context.registry.totalCount(), 2u);
}

// A server that answers its one connection with fixed bytes, then closes it.
class FakeServer {
 public:
  explicit FakeServer(Bytes answer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("fake server");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, answer = std::move(answer)] {
      const int peer = ::accept(listener_, nullptr, nullptr);
      if (peer < 0) return;
      // The whole request, so that closing does not reset the connection.
      Bytes request;
      std::uint8_t buffer[4096];
      while (request.size() < 4 || request.size() < loadU32(request.data())) {
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.insert(request.end(), buffer, buffer + n);
      }
      if (!answer.empty()) ::send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(peer);
    });
  }
  ~FakeServer() {
    ::shutdown(listener_, SHUT_RDWR);  // wakes the accept when no one came
    thread_.join();
    ::close(listener_);
  }
  std::string at() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

TEST(DirctlCommands, WrongShortOrMissingAnswersFailWithOneLine) {
  const Bytes listing = buildListReply(ServerRegistry{});
  Bytes tooLong = listing;
  tooLong.insert(tooLong.end(), 100000, 0xEE);
  struct Case {
    std::vector<std::string> args;
    Bytes answer;
    std::string error;
  };
  const Case cases[] = {
      {{"list"}, {}, " closed the connection without answering"},
      {{"list"},
       Bytes(listing.begin(), listing.begin() + 100),
       ": offset 100: the reply is cut short: its size says 380 bytes, only 100 came"},
      {{"list", "--json"}, tooLong, " bytes follow the end that the size gives"},
      {{"list"},
       Bytes(kAckMessage.begin(), kAckMessage.end()),
       ": offset 8: message type 1, not a list reply (3)"},
      {{"ping"}, listing, ": the answer is not an acknowledgement: 380 bytes, 7C 01"},
      {{"shutdown", kMelee, "1", "2", "3", "4", "5", "6"},
       {},
       ": the server closed the connection without answering"},
  };
  for (const Case& c : cases) {
    FakeServer fake(c.answer);
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, fake.at());
    if (args[0] == "shutdown") args.insert(args.begin() + 1, "--to");
    const Outcome run = dirctl(args);
    EXPECT_EQ(run.status, 1) << c.error;
    EXPECT_EQ(run.out, "") << c.error;
    EXPECT_EQ(run.err.rfind("dirctl: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
  // --raw hands on whatever came, and still fails on a broken reply.
  FakeServer fake(Bytes(listing.begin(), listing.begin() + 100));
  const Outcome raw = dirctl({"list", "--raw", fake.at()});
  EXPECT_EQ(raw.status, 1);
  EXPECT_EQ(raw.out, std::string(listing.begin(), listing.begin() + 100));
}

TEST(DirctlCommands, UnreachableOrSilentServersFailWithinTheTimeout) {
  // A port on which nothing listens.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string closedPort = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  Outcome refused = dirctl({"ping", closedPort});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "dirctl: cannot connect to " + closedPort + ": Connection refused\n");

  // A server that takes the connection (the system does, before any accept) and never answers.
  ::listen(probe, 1);
  const auto start = std::chrono::steady_clock::now();
  Outcome silent = dirctl({"list", closedPort, "--timeout", "0.2"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.err, "dirctl: timed out waiting for the answer from " + closedPort +
                            " after 0.2 s (0 bytes came)\n");
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 3s);
  ::close(probe);

  // A listener whose accept queue is full: the system drops further connection attempts.
  const int full = bindListener(0, INADDR_LOOPBACK);
  ASSERT_GE(full, 0);
  ASSERT_EQ(::listen(full, 0), 0);
  const std::string fullPort = "127.0.0.1:" + std::to_string(localPort(full));
  testing::Client held(localPort(full));
  Outcome dropped = dirctl({"ping", fullPort, "--timeout", "0.2"});
  EXPECT_EQ(dropped.status, 1);
  EXPECT_EQ(dropped.err, "dirctl: timed out connecting to " + fullPort + " after 0.2 s\n");
  ::close(full);

  Outcome unknown = dirctl({"ping", "no-such-host.invalid"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err.rfind("dirctl: cannot resolve 'no-such-host.invalid': ", 0), 0u)
      << unknown.err;
}

TEST(DirctlCommands, BadArgumentsExitWithTwoBeforeAnyConnection) {
  Outcome run = dirctl({"register", kMelee, "a", "", "b", "c", "d", "e", "--to", "127.0.0.1:1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "dirctl: NAME is empty; the server takes no empty string\n");
  run = dirctl({"list", "--frob"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "dirctl: unknown option '--frob' for list; 'dirctl list --help' explains it\n");
  run = dirctl({"ping", "--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, usageText(Command::Ping));
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace dirserver::dirctl

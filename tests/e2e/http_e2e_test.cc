// The real dirserver executable with its HTTP window open: what hosts register on the game port
// shows on every endpoint, /servers.json agrees with `dirctl list --json`, hostile strings arrive
// escaped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "common/text.h"
#include "http/http_server.h"
#include "net/listener.h"
#include "persist/server_list_file.h"
#include "support/http_client.h"
#include "support/loopback.h"
#include "support/process.h"

namespace dirserver {
namespace {

// Where the server of these tests listens.
const testing::ServerAddress kServer;

using namespace std::chrono_literals;
using testing::hostStrings;
using testing::request;

// A loopback port nobody listened on a moment ago.
std::uint16_t freePort() {
  const int probe = bindListener(0, INADDR_LOOPBACK);
  const std::uint16_t port = localPort(probe);
  ::close(probe);
  return port;
}

// A registration or shutdown body of seven texts given as UTF-16 code units, so that unpaired
// surrogates can be sent.
Bytes rawBody(const std::vector<std::u16string>& texts) {
  Bytes body;
  for (const std::u16string& text : texts) {
    putU16(body, static_cast<std::uint16_t>(text.size()));
    for (char16_t unit : text) putU16(body, unit);
  }
  return body;
}

std::u16string utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::vector<std::u16string> hostUnits(const std::string& path, std::u16string name) {
  std::vector<std::u16string> units;
  for (const std::string& text : hostStrings(path, "")) units.push_back(utf16(text));
  units[kNameField] = std::move(name);
  return units;
}

void send(MessageType type, const std::vector<std::u16string>& host) {
  const auto answer = testing::roundTrip(kServer, request(type, rawBody(host)));
  ASSERT_TRUE(answer) << "no acknowledgement";
}

// The listing without what only the HTTP view adds (snapshot version and time, registration
// times) and without the source, which names where each came from.
nlohmann::json comparable(const std::string& text) {
  nlohmann::json listing = nlohmann::json::parse(text);
  listing.erase("server");
  listing.erase("version");
  listing.erase("takenAt");
  for (auto& directory : listing["directories"]) {
    for (auto& host : directory["hosts"]) host.erase("registrationTime");
  }
  return listing;
}

// The value of `series` (its name and labels, as the page writes them) on a metrics page; NaN
// when it is not there.
double valueOf(const std::string& metrics, const std::string& series) {
  const std::size_t at = metrics.find("\n" + series + " ");
  return at == std::string::npos ? std::nan("") : std::stod(metrics.substr(at + series.size() + 2));
}

class HttpExecutable : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = freePort();
    startedAfter_ = std::time(nullptr);
    server_.emplace(t_.dir, "server", DIRSERVER_BINARY,
                    std::vector<std::string>{"--http", "127.0.0.1:" + std::to_string(port_)});
    ASSERT_TRUE(server_->waitServing()) << server_->err();
    startedBefore_ = std::time(nullptr);
  }

  testing::HttpReply get(std::string_view target, const testing::HttpHeaders& headers = {}) const {
    return testing::httpGet(port_, target, headers);
  }

  // /servers.json once it lists `hosts` hosts (the loop publishes each change right after it).
  std::string listingOf(std::size_t hosts) {
    std::string body;
    for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(20ms)) {
      const testing::HttpReply got = get("/servers.json");
      if (got.status == 200) {
        body = got.body;
        if (nlohmann::json::parse(body)["hosts"] == hosts) return body;
      }
    }
    ADD_FAILURE() << "/servers.json never listed " << hosts << " hosts; last: " << body;
    return body;
  }

  // /metrics once the request histograms have counted `lists` listings and `acks`
  // acknowledgements, or as it stands after 5 s. The loop times a request up to the moment its
  // answer is handed to the kernel, so a client may read its answer a moment before it is counted.
  std::string metricsCounting(double lists, double acks) {
    std::string page;
    for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(10ms)) {
      page = get("/metrics").body;
      const std::string count = "dirserver_request_duration_seconds_count{kind=";
      if (valueOf(page, count + "\"list\"}") >= lists && valueOf(page, count + "\"ack\"}") >= acks) {
        break;
      }
    }
    return page;
  }

  testing::TestContext t_;
  std::uint16_t port_ = 0;
  std::time_t startedAfter_ = 0, startedBefore_ = 0;
  std::optional<testing::Process> server_;
};

TEST_F(HttpExecutable, EveryEndpointFollowsTheGamePortAgreesWithDirctlAndPassesPromtool) {
  // Each request the game port serves moves the series of its kind. The start's probe was one
  // acknowledgement.
  const std::string before = metricsCounting(0, 1);
  ASSERT_TRUE(testing::roundTrip(kServer, request(MessageType::ListRequest)));
  ASSERT_TRUE(testing::roundTrip(kServer, request(MessageType::AckRequest)));
  const std::string after = metricsCounting(1, 2);
  for (const std::string kind : {"list", "ack"}) {
    const std::string series = "dirserver_request_duration_seconds";
    const std::string label = "{kind=\"" + kind + "\"}";
    EXPECT_EQ(valueOf(after, series + "_count" + label),
              valueOf(before, series + "_count" + label) + 1);
    EXPECT_GT(valueOf(after, series + "_sum" + label), valueOf(before, series + "_sum" + label));
  }
  EXPECT_EQ(valueOf(after, "dirserver_request_duration_seconds_count{kind=\"shutdown\"}"), 0);
  const double started = valueOf(after, "process_start_time_seconds");
  EXPECT_GE(started, static_cast<double>(startedAfter_) - 1);
  EXPECT_LE(started, static_cast<double>(startedBefore_) + 1);
  EXPECT_GE(valueOf(after, "process_open_fds"), 5);  // the streams, the two ports, epoll
  EXPECT_GE(valueOf(after, "process_max_fds"), valueOf(after, "process_open_fds"));
  EXPECT_GT(valueOf(after, "process_resident_memory_bytes"), 1 << 20);
  EXPECT_GE(valueOf(after, "process_cpu_seconds_total"),
            valueOf(before, "process_cpu_seconds_total"));

  // What hosts register shows on every endpoint, hostile strings escaped.
  const std::string melee(kServerTypePaths[1]), quorv(kServerTypePaths[0]),
      team(kServerTypePaths[2]);
  const std::vector<std::vector<std::u16string>> hosts = {
      hostUnits(melee, u"Ann"),
      hostUnits(quorv, u"<script>alert('x')</script>"),
      hostUnits(team, u"\"quoted\" \\ a\x01z"),
      hostUnits(team, std::u16string(u"lone ") + char16_t(0xD800) + u" surrogate"),
      hostUnits(melee, std::u16string(2048, u'W'))};
  for (const auto& host : hosts) send(MessageType::Registration, host);

  const std::string listing = listingOf(hosts.size());
  const nlohmann::json parsed = nlohmann::json::parse(listing);
  const auto names = [&](std::size_t directory) {
    std::vector<std::string> out;
    for (const auto& host : parsed["directories"][directory]["hosts"]) out.push_back(host["name"]);
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(names(1), std::vector<std::string>{"<script>alert('x')</script>"});
  EXPECT_EQ(names(2), (std::vector<std::string>{"Ann", std::string(2048, 'W')}));
  EXPECT_EQ(names(3), (std::vector<std::string>{"\"quoted\" \\ a\x01z", "lone \xEF\xBF\xBD surrogate"}));
  EXPECT_NE(listing.find(R"("\"quoted\" \\ a\u0001z")"), std::string::npos) << listing;

  // The same document as dirctl's, apart from what only a snapshot knows.
  const testing::Finished dirctl = testing::runToEnd(t_.dir, DIRCTL_BINARY, {"list", "--json"});
  ASSERT_EQ(dirctl.status, 0) << dirctl.err;
  EXPECT_EQ(comparable(listing), comparable(dirctl.out));
  for (const auto& directory : parsed["directories"]) {
    for (const auto& host : directory["hosts"]) {
      EXPECT_NEAR(host["registrationTime"].get<double>(), static_cast<double>(std::time(nullptr)), 60);
    }
  }

  send(MessageType::Shutdown, hosts[0]);
  EXPECT_EQ(listingOf(hosts.size() - 1).find("\"Ann\""), std::string::npos);

  const testing::HttpReply health = get("/healthz");
  EXPECT_EQ(health.status, 200) << health.body;
  EXPECT_TRUE(health.body.starts_with("ok: ")) << health.body;

  // The page, with hosts on it by now, passes promtool.
  const char* promtool = "/usr/bin/promtool";
  if (!std::filesystem::exists(promtool)) {
    GTEST_SKIP()
        << "promtool is not installed (Debian's prometheus): /metrics is not checked with it";
  }
  const std::string page = get("/metrics").body;
  testing::writeFile(t_.dir / "metrics.txt", Bytes(page.begin(), page.end()));
  const testing::Finished check = testing::runToEnd(
      t_.dir, "/bin/sh", {"-c", std::string(promtool) + " check metrics < metrics.txt"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_EQ(check.out + check.err, "");
}

// A bad --http address is refused with the command line's other errors (the executable's
// command-line test).
TEST(HttpExecutableStart, ATakenHttpAddressEndsTheServer) {
  testing::TestContext t;
  const int holder = bindListener(0, INADDR_LOOPBACK);
  ASSERT_EQ(::listen(holder, 1), 0);
  const std::string taken = "127.0.0.1:" + std::to_string(localPort(holder));
  testing::Process server(t.dir, "server", DIRSERVER_BINARY, {"--http", taken});
  EXPECT_EQ(server.waitExit(), 1);
  ::close(holder);
  EXPECT_NE(server.err().find("+error: --http: cannot listen on " + taken + ": Address already in use\n"),
            std::string::npos)
      << server.err();
}

TEST(HttpExecutableLimits, TheDescriptorLimitIsSharedOutAndTooLowAOneEndsTheStart) {
  testing::TestContext t;
  const std::string port = std::to_string(freePort());
  const auto underLimit = [&](const std::string& limit) {
    return std::vector<std::string>{"-c", "ulimit -n " + limit + " && exec " DIRSERVER_BINARY
                                          " --http 127.0.0.1:" + port};
  };
  const testing::Finished low = testing::runToEnd(t.dir, "/bin/sh", underLimit("40"), 5s);
  EXPECT_EQ(low.status, 1);
  EXPECT_EQ(low.out, "");
  std::smatch needed;
  ASSERT_TRUE(std::regex_match(low.err, needed,
                               std::regex("\\+error: the descriptor limit is 40, below the ([0-9]+) "
                                          "this server needs; raise it \\(ulimit -n, "
                                          "LimitNOFILE=\\)\n")))
      << low.err;
  EXPECT_FALSE(std::filesystem::exists(t.dir / "server_list.dat"));

  // At exactly that limit, with the window's connections all taken and more game port
  // connections than the limit leaves room for, no accept fails: the game port's newcomers take
  // the place of silent ones, a registration goes through, and the window answers once free.
  raiseDescriptorLimit();
  testing::Process server(t.dir, "server", "/bin/sh", underLimit(needed[1]));
  ASSERT_TRUE(server.waitServing()) << server.err();
  const HttpSettings window;
  std::vector<testing::Client> held;
  for (std::size_t i = 0; i < window.maxConnections; ++i) {
    const std::string source = "127.0.1." + std::to_string(1 + i / window.maxConnectionsPerAddress);
    held.emplace_back(static_cast<std::uint16_t>(std::stoi(port)), source.c_str());
  }
  for (const char* source : {"127.0.0.2", "127.0.0.3"}) {
    for (int i = 0; i < 60; ++i) held.emplace_back(kServer, source);
  }
  EXPECT_TRUE(testing::roundTrip(kServer,
                                 request(MessageType::Registration,
                                         testing::requestBody(hostStrings(kServerTypePaths[1], "Bob"))),
                                 "127.0.0.4"));
  // A failed accept would have printed its line before the registration's.
  EXPECT_TRUE(server.waitOutput("was added to the list\n"));
  EXPECT_EQ(server.err().find("+error: recv() error"), std::string::npos) << server.err();
  held.clear();
  const testing::HttpReply health = testing::httpGet(static_cast<std::uint16_t>(std::stoi(port)), "/healthz");
  EXPECT_EQ(health.status, 200) << health.body;
}

TEST(HttpExecutableLimits, AStandardOutputNobodyReadsCostsWholeLinesNeverAnAnswer) {
  testing::TestContext t;
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
  const auto port = freePort();
  testing::Process server(t.dir, "server", DIRSERVER_BINARY,
                          {"--http", "127.0.0.1:" + std::to_string(port)}, pipe[1]);
  ::close(pipe[1]);
  ASSERT_TRUE(server.waitServing()) << server.err();
  // Some 60 KB of lines per registration: the pipe, then the console's queue, fill within a few.
  auto strings = hostStrings(kServerTypePaths[1], "Bob");
  strings[6] = std::string(60000, 'x');
  const Bytes registration = request(MessageType::Registration, testing::requestBody(strings));
  constexpr int kRegistrations = 40;
  for (int i = 0; i < kRegistrations; ++i) {
    ASSERT_TRUE(testing::roundTrip(kServer, registration)) << "registration " << i;
  }
  ASSERT_TRUE(testing::roundTrip(kServer, request(MessageType::ListRequest)));

  // Read at last, the pipe gets whole registrations, then standard error says how many lines
  // were not written, and the metrics count them.
  std::string out, err;
  std::smatch notice;
  const std::regex dropped("\\+warning: console could not keep up: ([0-9]+) lines dropped\n");
  char buffer[65536];
  for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
    const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
    if (got > 0) {
      out.append(buffer, static_cast<std::size_t>(got));
    } else {
      err = server.err();  // the match refers into it
      if (std::regex_search(err, notice, dropped)) break;
      std::this_thread::sleep_for(5ms);
    }
  }
  ASSERT_FALSE(notice.empty()) << server.err();
  for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe[0]);
  // Whole lines in whole registrations only, the long line too.
  EXPECT_TRUE(out.empty() || out.back() == '\n') << "a line cut short";
  const std::size_t lines = testing::countOf(out, "\n");
  const std::size_t groups = testing::countOf(out, "* server registration\n");
  EXPECT_EQ(lines, 6 * groups);
  EXPECT_EQ(testing::countOf(out, "\nname: Bob  " + strings[6] + "\n"), groups);
  const std::uint64_t count = std::stoull(notice[1]);
  EXPECT_GT(count, 0u);
  EXPECT_EQ(lines + count, 6u * kRegistrations);
  const std::string metric = "dirserver_console_lines_dropped_total " + notice[1].str() + "\n";
  std::string metrics;
  for (auto until = std::chrono::steady_clock::now() + 5s;
       metrics.find(metric) == std::string::npos && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(50ms)) {
    metrics = testing::httpGet(port, "/metrics").body;
  }
  EXPECT_NE(metrics.find(metric), std::string::npos) << metrics;
}

}  // namespace
}  // namespace dirserver

// The HTTP window against a hand-filled status: every endpoint over a real loopback connection,
// the JSON cache and its entity tags, the metrics, the health verdict, and the bounds that keep
// slow clients from holding the server.
#include "http/http_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>

#include "http/http_views.h"
#include "http/snapshots.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::makeSnapshot;
using testing::typedHost;

constexpr std::int64_t kNow = 1'700'000'000;

// An HttpServer on 127.0.0.1 and a free port, over a status the test fills, with clocks the test
// sets.
class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }

  void start(HttpSettings settings) {
    server_.reset();
    settings.wallSeconds = [this] { return wall_.load(); };
    settings.steadyMilliseconds = [this] { return steadyMs_.load(); };
    server_ = std::make_unique<HttpServer>(settings);
    std::string error;
    ASSERT_TRUE(server_->bind({"127.0.0.1", 0}, error)) << error;
    server_->start(status_);
  }

  httplib::Client client() {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_read_timeout(5, 0);
    return client;
  }

  ServerStatus status_;
  std::atomic<std::int64_t> wall_{kNow};
  std::atomic<std::int64_t> steadyMs_{1'000'000};
  std::unique_ptr<HttpServer> server_;
};

TEST_F(HttpServerTest, ServesEveryEndpointAndHeadLikeGetWithoutTheBody) {
  status_.snapshots.publish(makeSnapshot(3, kNow, {typedHost(ServerType::Melee, "Ann", kNow)}));
  status_.stats.loopAliveAtMs = steadyMs_.load();
  struct Case {
    std::string path;
    int status;
    std::string type;
    std::string contains;
  };
  const Case cases[] = {
      {"/", 200, "text/html; charset=utf-8", "<input id=\"filter\""},
      {"/servers.json", 200, "application/json; charset=utf-8", "\"name\":\"Ann\""},
      {"/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "dirserver_hosts{type=\"1\""},
      {"/healthz", 200, "text/plain; charset=utf-8", "ok: "},
      {"/nothing-here", 404, "text/plain; charset=utf-8", "no such page"},
  };
  httplib::Client http = client();
  for (const Case& c : cases) {
    const auto got = http.Get(c.path);
    ASSERT_TRUE(got) << c.path;
    EXPECT_EQ(got->status, c.status) << c.path;
    EXPECT_EQ(got->get_header_value("Content-Type"), c.type) << c.path;
    EXPECT_NE(got->body.find(c.contains), std::string::npos) << c.path << "\n" << got->body;
    EXPECT_EQ(got->get_header_value("Date"), "Tue, 14 Nov 2023 22:13:20 GMT") << c.path;
    EXPECT_EQ(got->get_header_value("X-Content-Type-Options"), "nosniff") << c.path;

    const auto head = http.Head(c.path);
    ASSERT_TRUE(head) << c.path;
    EXPECT_EQ(head->status, c.status) << c.path;
    EXPECT_EQ(head->get_header_value("Content-Type"), c.type) << c.path;
    EXPECT_TRUE(head->body.empty()) << c.path;
  }
  EXPECT_NE(http.Get("/")->get_header_value("Content-Security-Policy").find("default-src 'none'"),
            std::string::npos);

  // Only GET and HEAD are served; the rest are refused before any route is looked at.
  for (const auto& refused : {http.Post("/servers.json", "x", "text/plain"),
                              http.Put("/", "x", "text/plain"), http.Delete("/metrics"),
                              http.Options("/healthz"), http.Post("/nothing-here")}) {
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 405);
    EXPECT_EQ(refused->get_header_value("Allow"), "GET, HEAD");
  }
}

TEST_F(HttpServerTest, ServersJsonFollowsTheLatestSnapshotAndAnswersUnchangedPollsWith304) {
  httplib::Client http = client();
  EXPECT_EQ(http.Get("/servers.json")->status, 503);  // nothing published yet

  status_.snapshots.publish(makeSnapshot(1, kNow, {typedHost(ServerType::Melee, "Ann")}));
  const auto first = http.Get("/servers.json");
  ASSERT_EQ(first->status, 200);
  const std::string etag = first->get_header_value("ETag");
  EXPECT_TRUE(std::regex_match(etag, std::regex("\"[0-9a-f]+-1\""))) << etag;
  EXPECT_NE(first->body.find("\"version\":1,"), std::string::npos) << first->body;
  EXPECT_NE(first->body.find("\"name\":\"Ann\""), std::string::npos) << first->body;

  for (const std::string& match : {etag, "W/" + etag, "\"other\", " + etag, std::string("*")}) {
    const auto again = http.Get("/servers.json", {{"If-None-Match", match}});
    EXPECT_EQ(again->status, 304) << match;
    EXPECT_TRUE(again->body.empty()) << match;
    EXPECT_EQ(again->get_header_value("ETag"), etag) << match;
  }

  // The cache is keyed by version: the same version is not encoded again, a new one is.
  status_.snapshots.publish(makeSnapshot(1, kNow, {typedHost(ServerType::Melee, "Not Shown")}));
  EXPECT_EQ(http.Get("/servers.json")->body, first->body);
  status_.snapshots.publish(makeSnapshot(2, kNow, {typedHost(ServerType::Melee, "Bob")}));
  const auto changed = http.Get("/servers.json", {{"If-None-Match", etag}});
  EXPECT_EQ(changed->status, 200);
  EXPECT_NE(changed->get_header_value("ETag"), etag);
  EXPECT_NE(changed->body.find("\"name\":\"Bob\""), std::string::npos);
  EXPECT_EQ(changed->body.find("\"name\":\"Ann\""), std::string::npos);

  // Another run of the server names its versions differently.
  start({});
  httplib::Client restarted = client();
  EXPECT_NE(restarted.Get("/servers.json")->get_header_value("ETag"),
            changed->get_header_value("ETag"));
}

TEST(HttpViews, EntityTagListsMatchOnlyTheTagOrAStar) {
  const std::string tag = "\"ab-7\"";
  const std::pair<std::string, bool> cases[] = {
      {"\"ab-7\"", true},  {" W/\"ab-7\" ", true}, {"\"x\",\"ab-7\"", true}, {"*", true},
      {"", false},         {"\"ab-70\"", false},   {"ab-7", false},         {"\"ab-7", false},
      {"\"x\", ,", false}, {"W/\"ab-8\"", false}};
  for (const auto& [header, expected] : cases) EXPECT_EQ(etagMatches(header, tag), expected) << header;
}

TEST_F(HttpServerTest, MetricsCarryEachCounterUnderItsOwnNameInTheTextFormat) {
  status_.snapshots.publish(makeSnapshot(
      9, kNow,
      {typedHost(ServerType::GetTheQuorv, "a"), typedHost(ServerType::TeamMelee, "b"),
       typedHost(ServerType::TeamMelee, "c")}));
  ServerStats& stats = status_.stats;
  // Distinct values, so that a counter shown under another's name is caught.
  stats.requests[0][0] = 101;  // list served
  stats.requests[1][1] = 102;  // registration rejected
  stats.requests[3][2] = 103;  // ack refused
  stats.requests[4][0] = 104;  // other served
  stats.errors[static_cast<std::size_t>(ConsoleError::RecvBody)] = 201;
  stats.errors[static_cast<std::size_t>(ConsoleError::SaveFailed)] = 202;
  stats.errors[static_cast<std::size_t>(ConsoleError::OtherAddress)] = 203;
  stats.connectionsOpen = 301;
  stats.connectionsAccepted = 302;
  stats.connectionsRefused = 303;
  stats.connectionsShed = 304;
  stats.connectionsBanned = 305;
  stats.bans = 306;
  stats.banRemovals = 307;
  stats.operatorRemovals = 308;
  stats.bodyBudgetInUse = 401;
  stats.answerBudgetInUse = 402;
  stats.savesDone = 501;
  stats.savesFailed = 502;
  stats.lastSaveMicroseconds = 1'250'000;
  stats.listingBytes = 601;
  stats.sweepRemovals = 602;
  stats.startedAt = kNow - 3600;
  stats.savePending = true;
  auto& listTimes = stats.requestSeconds[static_cast<std::size_t>(RequestKind::List)];
  listTimes.observe(3ms);
  listTimes.observe(200ms);

  const std::string noSaveYet = client().Get("/metrics")->body;
  EXPECT_EQ(noSaveYet.find("dirserver_last_save_age_seconds"), std::string::npos);
  stats.lastSaveFinishedAt = kNow - 42;
  const std::string metrics = client().Get("/metrics")->body;
  for (const std::string& line : std::vector<std::string>{
           "dirserver_hosts{type=\"0\",path=\"/Aviantorvale/Get The Quorv Game\"} 1",
           "dirserver_hosts{type=\"1\",path=\"/Aviantorvale/Melee Game\"} 0",
           "dirserver_hosts{type=\"2\",path=\"/Aviantorvale/Team Melee Game\"} 2",
           "dirserver_snapshot_version 9",
           "dirserver_requests_total{kind=\"list\",outcome=\"served\"} 101",
           "dirserver_requests_total{kind=\"registration\",outcome=\"rejected\"} 102",
           "dirserver_requests_total{kind=\"ack\",outcome=\"refused\"} 103",
           "dirserver_requests_total{kind=\"other\",outcome=\"served\"} 104",
           "dirserver_requests_total{kind=\"shutdown\",outcome=\"served\"} 0",
           "dirserver_console_errors_total{kind=\"recv_body\"} 201",
           "dirserver_console_errors_total{kind=\"save_failed\"} 202",
           "dirserver_console_errors_total{kind=\"other_address\"} 203",
           "dirserver_console_errors_total{kind=\"unknown_type\"} 0",
           "dirserver_connections_open 301",
           "dirserver_connections_accepted_total 302",
           "dirserver_connections_refused_total 303",
           "dirserver_connections_shed_total 304",
           "dirserver_connections_banned_total 305",
           "dirserver_bans 306",
           "dirserver_ban_removals_total 307",
           "dirserver_operator_removals_total 308",
           "dirserver_body_budget_bytes 401",
           "dirserver_answer_budget_bytes 402",
           "dirserver_saves_total 501",
           "dirserver_save_failures_total 502",
           "dirserver_save_pending 1",
           "dirserver_last_save_failed 0",
           "dirserver_last_save_duration_seconds 1.250000",
           "dirserver_last_save_timestamp_seconds 1699999958",
           "dirserver_last_save_age_seconds 42",
           "dirserver_listing_bytes 601",
           "dirserver_sweep_removals_total 602",
           "dirserver_start_time_seconds 1699996400",
           "dirserver_build_info{version=\"" + std::string(dirserverVersion()) + "\"} 1",
           "dirserver_request_duration_seconds_bucket{kind=\"list\",le=\"0.0025\"} 0",
           "dirserver_request_duration_seconds_bucket{kind=\"list\",le=\"0.005\"} 1",
           "dirserver_request_duration_seconds_bucket{kind=\"list\",le=\"0.25\"} 2",
           "dirserver_request_duration_seconds_bucket{kind=\"list\",le=\"+Inf\"} 2",
           "dirserver_request_duration_seconds_sum{kind=\"list\"} 0.203000000",
           "dirserver_request_duration_seconds_count{kind=\"list\"} 2",
           "dirserver_request_duration_seconds_count{kind=\"ack\"} 0",
           "process_max_fds " + std::to_string(readProcessFigures()->maxDescriptors)}) {
    EXPECT_NE(metrics.find("\n" + line + "\n"), std::string::npos) << line;
  }

  // The text format: every sample belongs to the family whose HELP and TYPE came just before it,
  // each family is described once, and every value is a number.
  const std::regex sample(R"(([a-z_]+)(\{[a-z_]+="[^"\\\n]*"(,[a-z_]+="[^"\\\n]*")*\})? -?[0-9.]+)");
  const std::regex help(R"(# HELP ([a-z_]+) [^\n]+)"),
      type(R"(# TYPE ([a-z_]+) (counter|gauge|histogram))");
  std::string family;
  bool histogram = false;
  std::set<std::string> seen;
  std::size_t samples = 0;
  std::istringstream lines(metrics);
  for (std::string line, previous; std::getline(lines, line); previous = line) {
    std::smatch match;
    if (std::regex_match(line, match, help)) {
      family = match[1];
      EXPECT_TRUE(seen.insert(family).second) << "described twice: " << family;
    } else if (std::regex_match(line, match, type)) {
      EXPECT_EQ(match[1], family) << line;
      EXPECT_TRUE(previous.starts_with("# HELP " + family + " ")) << line;
      histogram = match[2] == "histogram";
    } else {
      ASSERT_TRUE(std::regex_match(line, match, sample)) << "not a sample: " << line;
      const std::string name = match[1];
      EXPECT_TRUE(name == family ||
                  (histogram && (name == family + "_bucket" || name == family + "_sum" ||
                                 name == family + "_count")))
          << line;
      ++samples;
    }
  }
  EXPECT_GE(samples, 45u);
}

TEST(ProcessFigures, FollowWhatTheProcessDoes) {
  const auto before = readProcessFigures();
  ASSERT_TRUE(before);
  // 16 more descriptors, 64 MiB more memory touched, a fifth of a second of CPU time, and a
  // lower descriptor limit.
  std::vector<int> descriptors;
  for (int i = 0; i < 16; ++i) descriptors.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const std::vector<char> memory(64 << 20, 1);
  for (const std::clock_t begun = std::clock(); std::clock() - begun < CLOCKS_PER_SEC / 5;) {
  }
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlimit lowered{limit.rlim_cur - 1, limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const auto after = readProcessFigures();
  ::setrlimit(RLIMIT_NOFILE, &limit);
  for (int fd : descriptors) ::close(fd);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->openDescriptors, before->openDescriptors + 16);
  EXPECT_GE(after->residentBytes, before->residentBytes + (48 << 20));
  EXPECT_GE(after->cpuSeconds, before->cpuSeconds + 0.15);
  EXPECT_EQ(after->maxDescriptors, limit.rlim_cur - 1);
  // Reckoned afresh each time, it stays put within the clock's tick.
  EXPECT_NEAR(after->startTimeSeconds, before->startTimeSeconds, 0.02);
  EXPECT_LE(before->startTimeSeconds, static_cast<double>(std::time(nullptr)) + 1);
}

TEST_F(HttpServerTest, HealthzIsOkOnlyWithARecentHeartbeatAndNoUnsavedFailure) {
  struct Case {
    std::int64_t aliveAgoMs;  // -1: the loop never beat
    bool lastSaveFailed, savePending, saved;
    int status;
    std::string reason;
  };
  const Case cases[] = {
      {-1, false, false, false, 503, "unhealthy: the loop has not started"},
      {5001, false, false, true, 503, "unhealthy: the loop has not answered for 5.0 s"},
      {5000, false, false, true, 200, "ok: the loop answered 5.0 s ago, the last save succeeded"},
      {200, false, false, false, 200, "ok: the loop answered 0.2 s ago, nothing saved yet"},
      {200, false, true, false, 200, "ok: the loop answered 0.2 s ago, changes wait for the first save"},
      {200, true, true, true, 503, "unhealthy: the last save failed and changes wait to be saved"},
      {200, true, false, true, 200,
       "ok: the loop answered 0.2 s ago, the last save failed but nothing waits to be saved"},
      {9000, true, true, true, 503, "unhealthy: the loop has not answered for 9.0 s"},
  };
  httplib::Client http = client();
  for (const Case& c : cases) {
    ServerStats& stats = status_.stats;
    stats.loopAliveAtMs = c.aliveAgoMs < 0 ? 0 : steadyMs_ - c.aliveAgoMs;
    stats.lastSaveFailed = c.lastSaveFailed;
    stats.savePending = c.savePending;
    stats.lastSaveFinishedAt = c.saved ? kNow - 1 : 0;
    const auto got = http.Get("/healthz");
    ASSERT_TRUE(got) << c.reason;
    EXPECT_EQ(got->status, c.status) << c.reason;
    EXPECT_EQ(got->body, c.reason + "\n");
  }
}

// A raw connection to the server, for peers that misbehave.
int connectRaw(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// Whether the server closes `fd` within `limit` (reading and discarding what it sends).
bool closedWithin(int fd, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd wait{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) return false;
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return true;
  }
}

TEST_F(HttpServerTest, StalledAndIdleClientsAreDroppedSoTheOnlyThreadServesAgain) {
  HttpSettings one;
  one.threads = 1;
  one.queuedConnections = 1;
  one.readTimeout = 1s;
  one.keepAliveTimeout = 1s;
  start(one);
  status_.stats.loopAliveAtMs = steadyMs_.load();

  // A peer that stops in the middle of its request holds the only thread for one read timeout at
  // most.
  const int silent = connectRaw(server_->port());
  const std::string part = "GET /hea";
  ASSERT_EQ(::send(silent, part.data(), part.size(), 0), static_cast<ssize_t>(part.size()));
  const auto before = std::chrono::steady_clock::now();
  const auto served = client().Get("/healthz");
  ASSERT_TRUE(served);
  EXPECT_EQ(served->status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
  EXPECT_TRUE(closedWithin(silent, 3s));
  ::close(silent);

  // A kept-alive connection left idle is closed after the keep-alive timeout.
  const int idle = connectRaw(server_->port());
  const std::string request = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(::send(idle, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  EXPECT_TRUE(closedWithin(idle, 3s));
  ::close(idle);
  EXPECT_EQ(client().Get("/healthz")->status, 200);
}

}  // namespace
}  // namespace dirserver

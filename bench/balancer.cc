#include "balancer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "hosts.h"
#include "load.h"
#include "proc_stats.h"
#include "process.h"
#include "client/request_body.h"
#include "report.h"
#include "support/socket_launcher.h"

extern char** environ;

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint32_t kHosts = 1000;
// The balancer's own source address towards the node, the one address the node trusts.
constexpr const char* kBalancerSource = "127.0.0.2";
// Clients of the rate runs, direct and through the balancer alike.
constexpr std::uint32_t kClientSource = (127u << 24) + (3u << 16) + 1;
// The restart round's stream: this many source addresses, taken in turn.
constexpr std::uint32_t kStreamSources = 20;
constexpr std::uint32_t kStreamSourceBase = (127u << 24) + (4u << 16) + 1;

std::string haproxyProgram() {
  for (const char* path : {"/usr/sbin/haproxy", "/usr/bin/haproxy"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The recipe with the frontend on 127.0.0.1:`port` and, instead of the example's two nodes, the
// one node on 127.0.0.1:6001, reached from kBalancerSource.
std::string loopbackRecipe(std::uint16_t port) {
  std::string config = readText(DIRSERVER_SOURCE_DIR "/packaging/haproxy/dirserver.cfg");
  config = std::regex_replace(config, std::regex("bind 0\\.0\\.0\\.0:6001"),
                              "bind 127.0.0.1:" + std::to_string(port));
  config = std::regex_replace(config, std::regex("server node1 10\\.0\\.0\\.11:6001"),
                              std::string("server node1 127.0.0.1:6001 source ") + kBalancerSource);
  return std::regex_replace(config, std::regex("    server node2 10\\.0\\.0\\.12:6001\n"), "");
}

// A port of 127.0.0.1 that nothing listens on now.
std::uint16_t freePort() {
  const int fd = testing::listeningLoopbackSocket(1);
  if (fd < 0) throw std::runtime_error("no free port on 127.0.0.1");
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  ::close(fd);
  return ntohs(local.sin_port);
}

// haproxy in the foreground with `config`, its output in `dir`; killed and reaped on destruction.
class Haproxy {
 public:
  Haproxy(const std::string& program, const fs::path& dir) {
    const std::string config = (dir / "haproxy.cfg").string();
    const std::string log = (dir / "haproxy.log").string();
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<std::string> args = {program, "-db", "-f", config};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int failure =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) throw std::runtime_error("haproxy: " + std::string(std::strerror(failure)));
  }
  ~Haproxy() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Haproxy(const Haproxy&) = delete;
  Haproxy& operator=(const Haproxy&) = delete;

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The processor time process `pid` has used, user and system, in seconds: fields 14 and 15 of
// /proc/PID/stat, after the command's closing parenthesis.
double processorSeconds(pid_t pid) {
  const std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Whether an acknowledgement request to 127.0.0.1:`port` is answered.
bool acknowledges(std::uint16_t port, std::uint32_t source = kClientSource) {
  std::string error;
  const Bytes answer = fetch(port, buildRequest(MessageType::AckRequest), Clock::now() + 2s, error, source);
  return answer.size() == kAckMessage.size();
}

bool within(Seconds limit, const std::function<bool()>& check) {
  for (const auto until = Clock::now() + limit; Clock::now() < until;
       std::this_thread::sleep_for(50ms)) {
    if (check()) return true;
  }
  return false;
}

struct Measured {
  WorkloadResult result;
  double haproxySeconds = 0;  // processor time haproxy took meanwhile
  double loopSeconds = 0;     // ...and the server's loop
};

Measured measure(const BalancerRun& run, std::uint16_t port, bool listing, pid_t haproxy,
                 pid_t server) {
  Workload workload;
  workload.port = port;
  workload.requests = {buildRequest(listing ? MessageType::ListRequest : MessageType::AckRequest)};
  workload.expect = listing ? Expectation{Expectation::Kind::Listing, kHosts + 4, kHosts + 4}
                            : Expectation{Expectation::Kind::Ack, 0, 0};
  workload.clients = run.clients;
  workload.budget = Seconds(run.seconds);
  workload.drainLimit = 30s;
  workload.source = kClientSource;
  const double haproxyBefore = processorSeconds(haproxy);
  const auto loopBefore = mainThreadRunNanoseconds(server).value_or(0);
  Measured measured;
  measured.result = runWorkload(workload);
  measured.haproxySeconds = processorSeconds(haproxy) - haproxyBefore;
  measured.loopSeconds =
      static_cast<double>(mainThreadRunNanoseconds(server).value_or(0) - loopBefore) / 1e9;
  return measured;
}

// Milliseconds per 1000 requests of `seconds` spent on `requests`.
std::string perThousand(double seconds, std::uint64_t requests) {
  return requests == 0 ? "-" : formatNumber(seconds * 1e6 / static_cast<double>(requests)) + " ms";
}

void runThroughHaproxy(const BalancerRun& run, const fs::path& dir) {
  const std::string haproxy = haproxyProgram();
  if (haproxy.empty()) {
    std::printf("\nHAProxy: skipped, haproxy is not installed (scripts/install-deps test)\n");
    return;
  }
  HostFactory factory;
  std::vector<Host> hosts;
  const auto now = static_cast<std::int32_t>(std::time(nullptr));
  for (std::uint32_t i = 0; i < kHosts; ++i) hosts.push_back(factory.next(now));
  const fs::path nodeDir = dir / "node";
  fs::create_directories(nodeDir);
  writeServerListFile(nodeDir / "server_list.dat", hosts);
  ServerProcess node(run.server, nodeDir,
                     {"--listen", "127.0.0.1:6001", "--proxy-from",
                      std::string(kBalancerSource) + "/32"});
  node.waitUntilServing(60s);
  const std::uint16_t port = freePort();
  {
    std::ofstream config(dir / "haproxy.cfg");
    config << loopbackRecipe(port);
  }
  Haproxy balancer(haproxy, dir);
  if (!within(10s, [&] { return acknowledges(port); })) {
    throw std::runtime_error("haproxy does not answer on port " + std::to_string(port) + ": " +
                             readText(dir / "haproxy.log"));
  }
  progress("haproxy: " + std::to_string(run.clients) + " clients, " + formatNumber(run.seconds) +
           " s per run");
  TextTable table({"request", "direct/s", "via HAProxy/s", "ratio", "HAProxy CPU per 1000",
                   "server loop per 1000 direct / via", "failed"});
  for (const bool listing : {false, true}) {
    const Measured direct = measure(run, kListenPort, listing, balancer.pid(), node.pid());
    const Measured via = measure(run, port, listing, balancer.pid(), node.pid());
    table.addRow({listing ? "listing (1000 hosts)" : "acknowledgement",
                  formatNumber(direct.result.rate()), formatNumber(via.result.rate()),
                  formatRatio(direct.result.rate() > 0 ? via.result.rate() / direct.result.rate() : 0),
                  perThousand(via.haproxySeconds, via.result.completed),
                  perThousand(direct.loopSeconds, direct.result.completed) + " / " +
                      perThousand(via.loopSeconds, via.result.completed),
                  std::to_string(direct.result.failed + direct.result.unfinished) + " / " +
                      std::to_string(via.result.failed + via.result.unfinished)});
  }
  std::printf("\nThrough HAProxy (%s, the recipe on loopback, send-proxy-v2) against direct, %u "
              "clients, %s s each:\n%s",
              haproxy.c_str(), run.clients, formatNumber(run.seconds).c_str(),
              table.render().c_str());
}

// What became of the stream's connections during a restart.
struct StreamCounts {
  std::atomic<std::uint64_t> answered{0}, refused{0}, failed{0};
};

// Acknowledgement requests to 127.0.0.1:`port`, one connection at a time from kStreamSources
// addresses in turn, until `stop`.
void stream(std::uint16_t port, const std::atomic<bool>& stop, StreamCounts& counts) {
  const std::string refusedText = std::strerror(ECONNREFUSED);
  for (std::uint32_t i = 0; !stop.load(); ++i) {
    std::string error;
    const Bytes answer = fetch(port, buildRequest(MessageType::AckRequest), Clock::now() + 5s, error,
                               kStreamSourceBase + i % kStreamSources);
    if (answer.size() == kAckMessage.size()) {
      ++counts.answered;
    } else if (error.find(refusedText) != std::string::npos) {
      ++counts.refused;
      std::this_thread::sleep_for(1ms);  // the port is closed: no busy loop meanwhile
    } else {
      ++counts.failed;
    }
  }
}

// Waits until process `pid` has ended (a zombie or gone), at most `limit`.
bool ended(pid_t pid, Seconds limit) {
  return within(limit, [&] {
    const std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
  });
}

struct RestartRound {
  std::uint64_t answered = 0, refused = 0, failed = 0;
  double gapMs = 0;  // from SIGTERM until the next server answered
};

RestartRound restartOwnSocket(const BalancerRun& run, const fs::path& dir) {
  StreamCounts counts;
  std::atomic<bool> stop{false};
  auto first = std::make_unique<ServerProcess>(run.server, dir, std::vector<std::string>{});
  first->waitUntilServing(60s);
  std::thread client([&] { stream(kListenPort, stop, counts); });
  std::this_thread::sleep_for(300ms);
  const auto signalled = Clock::now();
  ::kill(first->pid(), SIGTERM);
  const bool stopped = ended(first->pid(), 30s);
  first->kill();
  ServerProcess second(run.server, dir, {});
  if (stopped) second.waitUntilServing(60s);
  RestartRound round;
  round.gapMs = Seconds(Clock::now() - signalled).count() * 1000;
  std::this_thread::sleep_for(300ms);
  stop = true;
  client.join();
  round.answered = counts.answered;
  round.refused = counts.refused;
  round.failed = counts.failed;
  return round;
}

RestartRound restartHandedSocket(const BalancerRun& run, const fs::path& dir) {
  const int socket = testing::listeningLoopbackSocket(4096);
  if (socket < 0) throw std::runtime_error("cannot listen on 127.0.0.1");
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
  const std::uint16_t port = ntohs(local.sin_port);
  const std::vector<std::string> args = {"--listen", "127.0.0.1:" + std::to_string(port)};
  StreamCounts counts;
  std::atomic<bool> stop{false};
  auto first = std::make_unique<testing::HandedServer>(dir, "first", run.server, args, socket);
  if (!within(60s, [&] { return acknowledges(port); })) {
    ::close(socket);
    throw std::runtime_error("the server on a handed socket does not answer: " + first->err());
  }
  std::thread client([&] { stream(port, stop, counts); });
  std::this_thread::sleep_for(300ms);
  const auto signalled = Clock::now();
  first->signal(SIGTERM);
  first->waitExit(30s);
  testing::HandedServer second(dir, "second", run.server, args, socket);
  RestartRound round;
  const std::uint64_t before = counts.answered;
  within(60s, [&] { return counts.answered > before; });
  round.gapMs = Seconds(Clock::now() - signalled).count() * 1000;
  std::this_thread::sleep_for(300ms);
  stop = true;
  client.join();
  ::close(socket);
  round.answered = counts.answered;
  round.refused = counts.refused;
  round.failed = counts.failed;
  return round;
}

}  // namespace

void runBalancer(const BalancerRun& run) {
  const fs::path dir = run.base / "balancer";
  fs::create_directories(dir);
  runThroughHaproxy(run, dir);

  progress("restart round: SIGTERM and a new server under a stream from 20 addresses");
  const fs::path own = dir / "restart-own";
  const fs::path handed = dir / "restart-handed";
  fs::create_directories(own);
  fs::create_directories(handed);
  const RestartRound bound = restartOwnSocket(run, own);
  const RestartRound kept = restartHandedSocket(run, handed);
  TextTable table({"restart", "refused", "answered", "failed otherwise", "SIGTERM to next answer"});
  for (const auto& [name, round] :
       {std::pair{"server binds its own socket", bound}, std::pair{"socket handed over", kept}}) {
    table.addRow({name, std::to_string(round.refused), std::to_string(round.answered),
                  std::to_string(round.failed), formatNumber(round.gapMs) + " ms"});
  }
  std::printf("\nRestart under a stream of acknowledgement requests from %u addresses (goal: "
              "none refused with the socket handed over):\n%s",
              kStreamSources, table.render().c_str());
}

}  // namespace dirserver::bench

#include "http_load.h"

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "listing/list_reply.h"
#include "net/listener.h"
#include "net/socket_io.h"
#include "hosts.h"
#include "proc_stats.h"
#include "protocol/message.h"
#include "process.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The HTTP load held while the game port is measured: this many requests per second in all,
// shared evenly by the paths.
constexpr double kHttpRequestsPerSecond = 100;
constexpr const char* kLoadPaths[] = {"/servers.json", "/metrics"};
constexpr std::chrono::seconds kRequestLimit{30};
// The machine's other load drifts, so the runs without and with HTTP load alternate in this many
// rounds (which goes first alternates too), and each side's figures are the medians of its rounds.
constexpr std::size_t kRounds = 5;

}  // namespace

std::uint16_t freePort() {
  const Socket socket(bindListener(0, INADDR_LOOPBACK));
  const std::uint16_t port = socket.valid() ? localPort(socket.fd()) : 0;
  if (port == 0) throw std::runtime_error("no free loopback port for the HTTP listener");
  return port;
}

namespace {

// Requests `paths` in turn at a fixed pace from one thread per path until destroyed; a request
// that runs late delays the next rather than piling up more connections.
class HttpPacer {
 public:
  HttpPacer(std::uint16_t port, double perSecond) {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        Seconds(std::size(kLoadPaths) / perSecond));
    for (const char* path : kLoadPaths) {
      threads_.emplace_back([this, port, path, interval] {
        auto next = Clock::now();
        while (!stop_.load()) {
          std::uint64_t bytes = 0;
          std::string error;
          const int status = httpGet(port, path, Clock::now() + kRequestLimit, bytes, error);
          (status == 200 ? served_ : failed_).fetch_add(1);
          if (status != 200) {
            std::lock_guard lock(mutex_);
            if (firstError_.empty()) firstError_ = path + (": " + (error.empty() ? "status " + std::to_string(status) : error));
          }
          next += interval;
          std::this_thread::sleep_until(next);
        }
      });
    }
    started_ = Clock::now();
  }
  ~HttpPacer() { stop(); }

  void stop() {
    if (stop_.exchange(true)) return;
    for (std::thread& thread : threads_) thread.join();
    seconds_ = Seconds(Clock::now() - started_).count();
  }
  std::uint64_t served() const { return served_.load(); }
  double seconds() const { return seconds_; }
  std::uint64_t failed() const { return failed_.load(); }
  std::string firstError() const {
    std::lock_guard lock(mutex_);
    return firstError_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> served_{0}, failed_{0};
  mutable std::mutex mutex_;
  std::string firstError_;
  Clock::time_point started_;
  double seconds_ = 0;
  std::vector<std::thread> threads_;
};

// As many GETs of `path` as `clients` threads complete in `seconds`, with their latency.
WorkloadResult hammer(std::uint16_t port, const std::string& path, unsigned clients,
                      Seconds seconds, const std::string& headers = "") {
  std::mutex mutex;
  WorkloadResult result;
  std::vector<double> samples;
  const auto start = Clock::now(), end = start + std::chrono::duration_cast<Clock::duration>(seconds);
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      std::vector<double> mine;
      std::uint64_t failed = 0;
      std::string firstError;
      while (Clock::now() < end) {
        const auto begun = Clock::now();
        std::uint64_t bytes = 0;
        std::string error;
        if (httpGet(port, path, begun + kRequestLimit, bytes, error, headers) == 200) {
          mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
        } else {
          ++failed;
          if (firstError.empty()) firstError = error;
        }
      }
      std::lock_guard lock(mutex);
      samples.insert(samples.end(), mine.begin(), mine.end());
      result.failed += failed;
      if (result.firstError.empty()) result.firstError = firstError;
    });
  }
  for (std::thread& thread : threads) thread.join();
  result.seconds = Seconds(Clock::now() - start).count();
  result.completed = samples.size();
  result.latency = summarize(samples);
  return result;
}

Workload gamePortWorkload(const Options& options, MessageType type, Expectation expect) {
  Workload workload;
  workload.port = kListenPort;
  workload.requests = {buildRequest(type)};
  workload.expect = expect;
  workload.clients = options.clients;
  workload.budget = Seconds(options.seconds / kRounds);
  workload.drainLimit = 60s;
  return workload;
}

// One workload's rounds on one side (without or with HTTP load).
struct Rounds {
  std::vector<double> p50, p99;
  std::uint64_t completed = 0, failed = 0;
  double seconds = 0;

  void add(const WorkloadResult& result) {
    p50.push_back(result.latency.p50);
    p99.push_back(result.latency.p99);
    completed += result.completed;
    failed += result.failed;
    seconds += result.seconds;
  }
};

// What hostile HTTP clients cost: the server's resident memory and how /healthz answered others.
struct HostileHttp {
  std::uint64_t residentBeforeKiB = 0, peakKiB = 0, residentAfterKiB = 0;
  std::vector<double> probeMs;  // answered probes
  std::size_t probesFailed = 0;
  std::size_t floodsRefused = 0;
};

ByteView bytesOf(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Sends what the socket takes of `text` without waiting; false once the peer has closed or failed.
bool sendWhatFits(int fd, std::string_view text) {
  return dirserver::sendSome(fd, bytesOf(text)).status != IoStatus::Closed;
}

// Reads and drops what has arrived, without waiting.
void drain(int fd) {
  std::uint8_t buffer[65536];
  while (receiveSome(fd, buffer).status == IoStatus::Progress) {
  }
}

// For `seconds`, from 127.0.0.2: 8 clients that trickle a request a byte every 2 s, 8 that say
// nothing, 4 that poll /metrics every 200 ms on a kept-alive connection, 1 that asks for
// /servers.json and never reads; from 127.0.0.3: 4 that send endless header lines (each
// reconnecting once refused). Meanwhile /healthz is asked from 127.0.0.1 every 200 ms.
HostileHttp hostileHttp(const ServerProcess& server, std::uint16_t port, Seconds seconds) {
  HostileHttp result;
  resetPeakResident(server.pid());
  result.residentBeforeKiB = server.residentKiB();
  const auto connect = [&](std::uint32_t source, int receiveBuffer = 0) {
    std::string error;
    return connectLoopback(port, Clock::now() + 5s, error, loopbackAddress(source), receiveBuffer);
  };
  std::vector<Socket> tricklers, silent, pollers, flooders;
  for (int i = 0; i < 8; ++i) tricklers.push_back(connect(1));
  for (int i = 0; i < 8; ++i) silent.push_back(connect(1));
  for (int i = 0; i < 4; ++i) pollers.push_back(connect(1));
  Socket puller = connect(1, 4096);
  sendWhatFits(puller.fd(), "GET /servers.json HTTP/1.1\r\nHost: x\r\n\r\n");
  for (int i = 0; i < 4; ++i) flooders.push_back(connect(2));
  for (Socket& flooder : flooders) sendWhatFits(flooder.fd(), "GET /healthz HTTP/1.1\r\nHost: x\r\n");
  std::string lines;
  for (int i = 0; i < 2000; ++i) lines += "X-Flood-" + std::to_string(i) + ": aaaaaaaaaaaaaaaa\r\n";
  const std::string trickle = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
  const std::string poll = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";

  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(seconds);
  std::size_t trickled = 0;
  for (auto next = start; Clock::now() < end; next += 200ms) {
    while (Clock::now() < next) {
      for (Socket& flooder : flooders) {
        if (!sendWhatFits(flooder.fd(), lines)) {
          ++result.floodsRefused;
          flooder = connect(2);
          sendWhatFits(flooder.fd(), "GET /healthz HTTP/1.1\r\nHost: x\r\n");
        }
      }
      std::this_thread::sleep_for(5ms);
    }
    if (Clock::now() - start >= trickled * 2s && trickled < trickle.size()) {
      for (Socket& client : tricklers) sendWhatFits(client.fd(), trickle.substr(trickled, 1));
      ++trickled;
    }
    for (Socket& client : pollers) {
      drain(client.fd());
      sendWhatFits(client.fd(), poll);
    }
    const auto begun = Clock::now();
    std::uint64_t bytes = 0;
    std::string error;
    if (httpGet(port, "/healthz", begun + 5s, bytes, error) > 0) {
      result.probeMs.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
    } else {
      ++result.probesFailed;
    }
  }
  const std::string status = readProcFile("/proc/" + std::to_string(server.pid()) + "/status");
  result.peakKiB = statusKiB(status, "VmHWM").value_or(0);
  tricklers.clear();
  silent.clear();
  pollers.clear();
  flooders.clear();
  puller = Socket();
  std::this_thread::sleep_for(1s);
  result.residentAfterKiB = server.residentKiB();
  return result;
}

// /healthz asked every 200 ms from 127.0.0.1 for `seconds`, each on a new connection with a 5 s
// limit.
struct Probes {
  std::vector<double> answeredMs;
  std::size_t failed = 0;
  std::string firstError;
};

Probes probeHealth(std::uint16_t port, Seconds seconds) {
  Probes probes;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds);
  for (auto next = Clock::now(); next < end; next += 200ms) {
    std::this_thread::sleep_until(next);
    const auto begun = Clock::now();
    std::uint64_t bytes = 0;
    std::string error;
    if (httpGet(port, "/healthz", begun + 5s, bytes, error) > 0) {
      probes.answeredMs.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
    } else {
      ++probes.failed;
      if (probes.firstError.empty()) probes.firstError = error;
    }
  }
  return probes;
}

// A connection that never finishes its request: the request line, then header lines without end,
// a byte at a time.
class Trickler {
 public:
  Trickler(std::uint16_t port, std::uint32_t source) : port_(port), source_(source) { open(); }

  // Sends the next byte; opens the connection again when the server has closed it. Returns
  // whether it had to.
  bool step() {
    // A connection still being made reports nothing yet; one the server closed, or that could
    // not be made at all, is opened again.
    if (!socket_.valid() || seesClosed(socket_.fd())) {
      open();
      return true;
    }
    static const std::string kStart = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
    static const std::string kMore = "X-Trickle: y\r\n";
    const char next = sent_ < kStart.size() ? kStart[sent_]
                                            : kMore[(sent_ - kStart.size()) % kMore.size()];
    if (dirserver::sendSome(socket_.fd(), bytesOf(std::string_view(&next, 1))).status ==
        IoStatus::Progress) {
      ++sent_;
    }
    return false;
  }

 private:
  // Connects without waiting for the connection to be made.
  void open() {
    sent_ = 0;
    std::string error;
    socket_ = beginConnect(port_, error, source_);
  }

  std::uint16_t port_;
  std::uint32_t source_;
  Socket socket_;
  std::size_t sent_ = 0;
};

// What clients that trickle their requests cost /healthz.
struct TrickleRun {
  std::string label;
  std::size_t connections = 0;
  std::size_t reopened = 0;  // connections the window closed, opened again at once
  Probes probes;
};

// `sources.size() * perSource` tricklers, all opened at once, a byte each every second (any the
// window closes opened again at once) for `seconds`, while /healthz is probed.
TrickleRun trickle(std::uint16_t port, const std::string& label,
                   const std::vector<std::uint32_t>& sources, std::size_t perSource,
                   Seconds seconds) {
  TrickleRun run;
  run.label = label;
  std::vector<Trickler> tricklers;
  tricklers.reserve(sources.size() * perSource);
  for (std::size_t i = 0; i < perSource; ++i) {
    for (const std::uint32_t source : sources) tricklers.emplace_back(port, source);
  }
  run.connections = tricklers.size();
  std::atomic<bool> stop{false};
  std::size_t reopened = 0;
  std::thread driver([&] {
    for (auto next = Clock::now(); !stop.load(); next += 1s) {
      for (Trickler& trickler : tricklers) reopened += trickler.step() ? 1 : 0;
      while (!stop.load() && Clock::now() < next + 1s) std::this_thread::sleep_for(20ms);
    }
  });
  // The first bytes go out before the first probe.
  std::this_thread::sleep_for(300ms);
  run.probes = probeHealth(port, seconds);
  stop = true;
  driver.join();
  run.reopened = reopened;
  return run;
}

// The status page's own timings from bench/page-timing, or why there are none.
std::string pageTimings(std::uint16_t port) {
  const std::string command = std::string("'") + DIRSERVER_PAGE_TIMING + "' http://127.0.0.1:" +
                              std::to_string(port) + "/ 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "page-timing could not be run\n";
  std::string out;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, got);
  }
  ::pclose(pipe);
  return out;
}

}  // namespace

int httpGet(std::uint16_t port, const std::string& path, Clock::time_point deadline,
            std::uint64_t& bytes, std::string& error, const std::string& headers,
            std::string* body) {
  Socket socket = connectLoopback(port, deadline, error);
  if (!socket.valid()) return 0;
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n";
  if (!sendAll(socket.fd(), bytesOf(request), deadline, error)) return 0;
  std::string head;
  bytes = 0;
  const auto take = [&](ByteView chunk) {
    const auto text = reinterpret_cast<const char*>(chunk.data());
    if (head.size() < 12) head.append(text, std::min<std::size_t>(chunk.size(), 12 - head.size()));
    if (body != nullptr) body->append(text, chunk.size());
    bytes += chunk.size();
  };
  if (!receiveUntilClosed(socket.fd(), deadline, take, error)) return 0;
  // "HTTP/1.1 200"
  if (head.size() < 12 || !head.starts_with("HTTP/1.")) {
    error = "not an HTTP answer";
    return 0;
  }
  if (body != nullptr) {
    const std::size_t end = body->find("\r\n\r\n");
    body->erase(0, end == std::string::npos ? body->size() : end + 4);
  }
  return std::atoi(head.c_str() + 9);
}

void runHttpLoad(const Options& options, const fs::path& base) {
  const std::uint32_t hostCount = options.httpLoadHosts;
  const fs::path dir = base / "http-load";
  fs::create_directory(dir);
  HostFactory factory;
  std::vector<Host> hosts;
  const auto now = nowSeconds();
  for (std::uint32_t i = 0; i < hostCount; ++i) hosts.push_back(factory.next(now));
  writeServerListFile(dir / "server_list.dat", hosts);
  const std::uint64_t listingBytes = listingSize(hosts);
  hosts.clear();

  const std::uint16_t httpPort = freePort();
  progress("HTTP load: " + std::to_string(hostCount) + " hosts, HTTP on 127.0.0.1:" +
           std::to_string(httpPort));
  ServerProcess server(options.server, dir,
                       {"--http", "127.0.0.1:" + std::to_string(httpPort)});
  server.waitUntilServing(300s);
  std::uint64_t jsonBytes = 0;
  std::string error;
  // The window serves the listing once the server has published its registry.
  for (auto until = Clock::now() + 30s;;) {
    if (httpGet(httpPort, "/servers.json", Clock::now() + kRequestLimit, jsonBytes, error) == 200)
      break;
    if (Clock::now() > until) {
      throw std::runtime_error("the HTTP window does not serve /servers.json: " + error +
                               "\nthe server said: " + server.err());
    }
    std::this_thread::sleep_for(100ms);
  }

  std::uint64_t gzipBytes = 0;
  httpGet(httpPort, "/servers.json", Clock::now() + kRequestLimit, gzipBytes, error,
          "Accept-Encoding: gzip\r\n");

  const auto entries = static_cast<std::uint16_t>(hostCount + kDirectoryEntryCount);
  const Expectation listing{Expectation::Kind::Listing, entries, entries};
  const Workload ack = gamePortWorkload(options, MessageType::AckRequest, {Expectation::Kind::Ack});
  const Workload list = gamePortWorkload(options, MessageType::ListRequest, listing);
  // [0] acknowledgements, [1] listings.
  const Workload workloads[] = {ack, list};
  Rounds quiet[2], loaded[2];
  std::uint64_t httpServed = 0, httpFailed = 0;
  double httpSeconds = 0;
  std::string httpError;
  for (std::size_t round = 0; round < kRounds; ++round) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool withLoad = (pass == 0) == (round % 2 == 1);
      std::optional<HttpPacer> pacer;
      if (withLoad) {
        pacer.emplace(httpPort, kHttpRequestsPerSecond);
        std::this_thread::sleep_for(200ms);
      }
      for (std::size_t kind = 0; kind < 2; ++kind) {
        (withLoad ? loaded : quiet)[kind].add(runWorkload(workloads[kind]));
      }
      if (pacer) {
        pacer->stop();
        httpServed += pacer->served();
        httpFailed += pacer->failed();
        httpSeconds += pacer->seconds();
        if (httpError.empty()) httpError = pacer->firstError();
      }
    }
    progress("  round " + std::to_string(round + 1) + " of " + std::to_string(kRounds) +
             ": ack p99 " + formatNumber(quiet[0].p99.back()) + " / " +
             formatNumber(loaded[0].p99.back()) + " ms, list p99 " +
             formatNumber(quiet[1].p99.back()) + " / " + formatNumber(loaded[1].p99.back()) +
             " ms without / with HTTP load");
  }

  const WorkloadResult json = hammer(httpPort, "/servers.json", options.clients, Seconds(options.seconds));
  const WorkloadResult gzipJson = hammer(httpPort, "/servers.json", options.clients,
                                         Seconds(options.seconds), "Accept-Encoding: gzip\r\n");
  const WorkloadResult metrics = hammer(httpPort, "/metrics", options.clients, Seconds(options.seconds));

  TextTable table({"game port, " + std::to_string(hostCount) + " hosts", "requests", "req/s",
                   "p50 / p99 ms", "p99 x without"});
  const auto row = [&](const std::string& label, const Rounds& rounds, const Rounds& without) {
    const double p99 = median(rounds.p99), baseP99 = median(without.p99);
    table.addRow({label,
                  countCell(rounds.completed, rounds.failed),
                  formatNumber(rounds.seconds > 0 ? rounds.completed / rounds.seconds : 0),
                  formatNumber(median(rounds.p50)) + " / " + formatNumber(p99),
                  baseP99 > 0 ? formatRatio(p99 / baseP99) : "-"});
  };
  row("ack, no HTTP load", quiet[0], quiet[0]);
  row("ack, HTTP load", loaded[0], quiet[0]);
  row("list, no HTTP load", quiet[1], quiet[1]);
  row("list, HTTP load", loaded[1], quiet[1]);
  const std::string failures =
      httpFailed ? ", " + std::to_string(httpFailed) + " failed (" + httpError + ")" : "";
  std::printf(
      "\nHTTP window: the server started with --http, %u hosts (listing %s, /servers.json %s,\n"
      "%s when gzip is accepted).\n"
      "HTTP load: %s requests/s in all on /servers.json and /metrics, one connection each; %s/s\n"
      "were served%s. %u client threads on the game port; %zu rounds alternating without and with\n"
      "the HTTP load, %s s per workload in all; latencies are the medians of the rounds'.\n\n",
      hostCount, formatBytes(static_cast<double>(listingBytes)).c_str(),
      formatBytes(static_cast<double>(jsonBytes)).c_str(),
      formatBytes(static_cast<double>(gzipBytes)).c_str(),
      formatNumber(kHttpRequestsPerSecond).c_str(),
      formatNumber(httpSeconds > 0 ? httpServed / httpSeconds : 0).c_str(), failures.c_str(),
      options.clients, kRounds, formatNumber(options.seconds).c_str());
  printTable(table);

  TextTable rates({"HTTP alone, " + std::to_string(options.clients) + " clients", "requests",
                   "req/s", "p50 / p99 ms"});
  for (const auto& [label, result] : {std::pair{"/servers.json", &json},
                                      {"/servers.json, gzip accepted", &gzipJson},
                                      {"/metrics", &metrics}}) {
    rates.addRow({label, countCell(result->completed, result->failed),
                  formatNumber(result->rate()), latencyCell(result->latency)});
  }
  std::printf("\n");
  printTable(rates);
  std::fflush(stdout);

  progress("  hostile HTTP clients for 6 s");
  const HostileHttp hostile = hostileHttp(server, httpPort, 6s);
  std::vector<double> probeMs = hostile.probeMs;
  const LatencySummary probes = summarize(probeMs);
  const auto mib = [](std::uint64_t kib) { return formatNumber(static_cast<double>(kib) / 1024); };
  std::printf(
      "\nHostile HTTP clients for 6 s: from one address 8 trickling a byte every 2 s, 8 silent,\n"
      "4 keep-alive pollers of /metrics, 1 asking for /servers.json and never reading; from\n"
      "another 4 sending endless header lines (refused %zu times, reconnecting). /healthz asked\n"
      "every 200 ms from a third: %zu answered, %zu failed, p50 / max %s / %s ms. Server\n"
      "resident memory: %s MiB before, %s MiB at most during, %s MiB 1 s after they closed.\n",
      hostile.floodsRefused, hostile.probeMs.size(), hostile.probesFailed,
      formatNumber(probes.p50).c_str(), formatNumber(probes.max).c_str(),
      mib(hostile.residentBeforeKiB).c_str(), mib(hostile.peakKiB).c_str(),
      mib(hostile.residentAfterKiB).c_str());
  // Clients that trickle their requests from many addresses, then from many networks: /healthz
  // against its latency with no such clients.
  progress("  trickling HTTP clients, 2 runs of 6 s");
  std::vector<TrickleRun> trickles;
  trickles.push_back({"no tricklers", 0, 0, probeHealth(httpPort, 3s)});
  std::vector<std::uint32_t> addresses, networks;
  for (std::uint32_t i = 0; i < 40; ++i) addresses.push_back(loopbackAddress(0x300 + 1 + i));
  for (std::uint32_t i = 0; i < 400; ++i) networks.push_back(loopbackAddress(0x100000 + (i << 8) + 1));
  trickles.push_back(trickle(httpPort, "1200 from 40 addresses", addresses, 30, 6s));
  trickles.push_back(trickle(httpPort, "1200 from 400 /24 networks", networks, 3, 6s));
  TextTable trickleTable({"/healthz every 200 ms", "answered", "failed", "p50 ms", "max ms",
                          "max x none", "window closed"});
  std::vector<double> quietMs = trickles.front().probes.answeredMs;
  const double quietMax = summarize(quietMs).max;
  for (TrickleRun& run : trickles) {
    std::vector<double> samples = run.probes.answeredMs;
    const LatencySummary summary = summarize(samples);
    trickleTable.addRow({run.label, std::to_string(summary.count),
                         std::to_string(run.probes.failed) +
                             (run.probes.firstError.empty() ? "" : " (" + run.probes.firstError + ")"),
                         formatNumber(summary.p50), formatNumber(summary.max),
                         quietMax > 0 ? formatRatio(summary.max / quietMax) : "-",
                         run.connections > 0 ? std::to_string(run.reopened) : "-"});
  }
  std::printf(
      "\nTrickling HTTP clients: connections all opened at once, each sending a byte of a request\n"
      "that never ends every second, and opened again at once when the window closes them\n"
      "(\"window closed\": how often), for 6 s; /healthz asked from another address meanwhile.\n\n");
  printTable(trickleTable);
  std::printf("\nStatus page (bench/page-timing, headless Chromium):\n%s",
              pageTimings(httpPort).c_str());
  std::fflush(stdout);
  fs::remove_all(dir);
}

}  // namespace dirserver::bench

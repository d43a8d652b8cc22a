#include "http_load.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "hosts.h"
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

void progress(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

// A port that was free a moment ago, for the server's HTTP listener.
std::uint16_t freePort() {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free loopback port for the HTTP listener");
  }
  return ntohs(address.sin_port);
}

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
  double rate() const { return seconds_ > 0 ? served_.load() / seconds_ : 0; }
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
                      Seconds seconds) {
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
        if (httpGet(port, path, begun + kRequestLimit, bytes, error) == 200) {
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
  workload.requests = {request(type)};
  workload.expect = expect;
  workload.clients = options.clients;
  workload.budget = Seconds(options.seconds);
  workload.drainLimit = 60s;
  return workload;
}

std::string latencyCell(const WorkloadResult& result) {
  return formatNumber(result.latency.p50) + " / " + formatNumber(result.latency.p99);
}

std::string p99Ratio(const WorkloadResult& loaded, const WorkloadResult& quiet) {
  return quiet.latency.p99 > 0 ? formatRatio(loaded.latency.p99 / quiet.latency.p99) : "-";
}

}  // namespace

int httpGet(std::uint16_t port, const std::string& path, Clock::time_point deadline,
            std::uint64_t& bytes, std::string& error) {
  Socket socket = connectLoopback(port, deadline, error);
  if (!socket.valid()) return 0;
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (!sendAll(socket.fd(), ByteView(reinterpret_cast<const std::uint8_t*>(request.data()),
                                     request.size()),
               deadline, error)) {
    return 0;
  }
  std::string head;
  bytes = 0;
  char buffer[65536];
  for (;;) {
    if (waitReady(socket.fd(), POLLIN, deadline) == Wait::TimedOut) {
      error = "no whole answer in time";
      return 0;
    }
    const ssize_t got = ::recv(socket.fd(), buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got < 0) {
      error = "recv: " + std::string(std::strerror(errno));
      return 0;
    }
    if (got == 0) break;
    if (head.size() < 12) head.append(buffer, std::min<std::size_t>(got, 12 - head.size()));
    bytes += static_cast<std::uint64_t>(got);
  }
  // "HTTP/1.1 200"
  if (head.size() < 12 || !head.starts_with("HTTP/1.")) {
    error = "not an HTTP answer";
    return 0;
  }
  return std::atoi(head.c_str() + 9);
}

void runHttpLoad(const Options& options, const fs::path& base) {
  const std::uint32_t hostCount = options.httpLoadHosts;
  const fs::path dir = base / "http-load";
  fs::create_directory(dir);
  HostFactory factory;
  std::vector<Host> hosts;
  const auto now = static_cast<std::int32_t>(std::time(nullptr));
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

  const Expectation listing{Expectation::Kind::Listing,
                            static_cast<std::uint16_t>(hostCount + 4)};
  const Workload ack = gamePortWorkload(options, MessageType::AckRequest, {Expectation::Kind::Ack});
  const Workload list = gamePortWorkload(options, MessageType::ListRequest, listing);
  const WorkloadResult quietAck = runWorkload(ack);
  const WorkloadResult quietList = runWorkload(list);
  progress("  without HTTP load: ack p99 " + formatNumber(quietAck.latency.p99) + " ms, list p99 " +
           formatNumber(quietList.latency.p99) + " ms");

  HttpPacer pacer(httpPort, kHttpRequestsPerSecond);
  std::this_thread::sleep_for(500ms);
  const WorkloadResult loadedAck = runWorkload(ack);
  const WorkloadResult loadedList = runWorkload(list);
  pacer.stop();
  progress("  with HTTP load: ack p99 " + formatNumber(loadedAck.latency.p99) + " ms, list p99 " +
           formatNumber(loadedList.latency.p99) + " ms");

  const WorkloadResult json = hammer(httpPort, "/servers.json", options.clients, Seconds(options.seconds));
  const WorkloadResult metrics = hammer(httpPort, "/metrics", options.clients, Seconds(options.seconds));

  TextTable table({"game port, " + std::to_string(hostCount) + " hosts", "requests", "req/s",
                   "p50 / p99 ms", "p99 x without"});
  const auto row = [&](const std::string& label, const WorkloadResult& result,
                       const WorkloadResult& quiet) {
    table.addRow({label, std::to_string(result.completed) +
                             (result.failed ? ", " + std::to_string(result.failed) + " failed" : ""),
                  formatNumber(result.rate()), latencyCell(result), p99Ratio(result, quiet)});
  };
  row("ack, no HTTP load", quietAck, quietAck);
  row("ack, HTTP load", loadedAck, quietAck);
  row("list, no HTTP load", quietList, quietList);
  row("list, HTTP load", loadedList, quietList);
  std::printf(
      "\nHTTP window: the server started with --http, %u hosts (listing %s, /servers.json %s).\n"
      "HTTP load: %s requests/s in all on /servers.json and /metrics, one connection each; %s/s\n"
      "were served%s. %u client threads on the game port, %s s per workload.\n\n",
      hostCount, formatBytes(static_cast<double>(listingBytes)).c_str(),
      formatBytes(static_cast<double>(jsonBytes)).c_str(),
      formatNumber(kHttpRequestsPerSecond).c_str(), formatNumber(pacer.rate()).c_str(),
      pacer.failed() ? (", " + std::to_string(pacer.failed()) + " failed (" + pacer.firstError() + ")").c_str() : "",
      options.clients, formatNumber(options.seconds).c_str());
  std::fputs(table.render().c_str(), stdout);

  TextTable rates({"HTTP alone, " + std::to_string(options.clients) + " clients", "requests",
                   "req/s", "p50 / p99 ms"});
  for (const auto& [label, result] : {std::pair{"/servers.json", &json}, {"/metrics", &metrics}}) {
    rates.addRow({label, std::to_string(result->completed) +
                             (result->failed ? ", " + std::to_string(result->failed) + " failed" : ""),
                  formatNumber(result->rate()), latencyCell(*result)});
  }
  std::printf("\n");
  std::fputs(rates.render().c_str(), stdout);
  std::fflush(stdout);
  fs::remove_all(dir);
}

}  // namespace dirserver::bench

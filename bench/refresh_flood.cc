#include "refresh_flood.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <thread>

#include "client/client_socket.h"
#include "common/text.h"
#include "durability.h"
#include "hosts.h"
#include "http_load.h"
#include "load.h"
#include "persist/list_loader.h"
#include "proc_stats.h"
#include "process.h"
#include "registry/server_key.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint32_t kLongHosts = 40;
constexpr std::size_t kLongFieldBytes = 4'004;
constexpr unsigned kFloodThreads = 2;
// The address all long-string hosts register from (host byte order): one owner for all 40.
constexpr std::uint32_t kFloodSource = (127u << 24) + (2u << 16) + 1;

// Host `i` of the flood: a Melee host whose six strings after its type's path hold 4,004 bytes
// each (2,002 code units); the path must be the type's own.
ServerRecord longHost(std::uint32_t i) {
  ServerRecord record;
  record.fields[kPathField].data = toUtf16le(kServerTypePaths[index(ServerType::Melee)]);
  for (std::size_t f = 1; f < kFieldCount; ++f) {
    std::string text(kLongFieldBytes / 2, static_cast<char>('a' + f));
    text.replace(0, 8, "host" + std::to_string(1000 + i));
    record.fields[f].data = toUtf16le(text);
  }
  return record;
}

bool acknowledged(const Bytes& request) {
  std::string error;
  const Bytes answer = fetch(kListenPort, request, Clock::now() + 10s, error, kFloodSource);
  return answer.size() == kAckMessage.size() && std::equal(answer.begin(), answer.end(), kAckMessage.begin());
}

// The share of the histogram `family`'s observations between two scrapes that fall at or below
// `bound` seconds; -1 when there were none.
double shareWithin(const std::map<std::string, double>& before,
                   const std::map<std::string, double>& after, const std::string& family, double bound) {
  const std::string prefix = family + "_bucket{le=\"";
  double within = 0, total = -1;
  for (auto at = after.lower_bound(prefix); at != after.end() && at->first.starts_with(prefix); ++at) {
    const std::string text = at->first.substr(prefix.size(), at->first.size() - prefix.size() - 2);
    const auto earlier = before.find(at->first);
    const double count = at->second - (earlier == before.end() ? 0 : earlier->second);
    if (text == "+Inf") {
      total = count;
    } else if (std::stod(text) <= bound * (1 + 1e-9)) {
      within = std::max(within, count);
    }
  }
  return total <= 0 ? -1 : within / total;
}

// One segment: the refreshes sent and acknowledged, the server's write bytes, and its
// acknowledgement-to-durable histogram between the segment's ends.
struct Segment {
  std::uint64_t refreshes = 0, failed = 0;
  double seconds = 0;
  std::uint64_t writeBytes = 0;
  double commits = 0, snapshots = 0;
  double p50 = -1, p99 = -1, max = -1, within100ms = -1;
};

// The newest time each long host was sent a refresh that was acknowledged (the second before
// sending: the server stamps it no earlier).
struct Latest {
  std::mutex mutex;
  std::vector<std::int32_t> times = std::vector<std::int32_t>(kLongHosts, 0);
};

// Refreshes the long hosts from kFloodSource for `seconds`: flat out from kFloodThreads threads,
// or, unless `flood`, each host once a second.
Segment segment(std::uint16_t httpPort, pid_t pid, const std::vector<Bytes>& requests, double seconds,
                bool flood, Latest& latest) {
  Segment result;
  const auto m0 = scrapeMetrics(httpPort);
  const std::uint64_t bytesBefore = ioWriteBytes(readProcFile("/proc/" + std::to_string(pid) + "/io"));
  std::atomic<std::uint64_t> sent{0}, done{0}, failed{0};
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
  const auto worker = [&] {
    for (;;) {
      const std::uint64_t n = sent.fetch_add(1);
      const auto i = static_cast<std::uint32_t>(n % kLongHosts);
      if (!flood) {
        // Host i of round r is due at r + i/40 seconds.
        const double due = static_cast<double>(n / kLongHosts) + static_cast<double>(i) / kLongHosts;
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(Seconds(due)));
      }
      if (Clock::now() >= end) return;
      const std::int32_t at = nowSeconds();
      if (acknowledged(requests[i])) {
        done.fetch_add(1);
        std::lock_guard lock(latest.mutex);
        latest.times[i] = std::max(latest.times[i], at);
      } else {
        failed.fetch_add(1);
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < (flood ? kFloodThreads : 1); ++t) threads.emplace_back(worker);
  for (std::thread& thread : threads) thread.join();
  result.seconds = Seconds(Clock::now() - start).count();
  // The segment's last commits land within milliseconds.
  std::this_thread::sleep_for(500ms);
  result.writeBytes = ioWriteBytes(readProcFile("/proc/" + std::to_string(pid) + "/io")) - bytesBefore;
  const auto m1 = scrapeMetrics(httpPort);
  result.refreshes = done;
  result.failed = failed;
  const auto delta = [&](const char* name) {
    const auto a = m0.find(name), b = m1.find(name);
    return (b == m1.end() ? 0 : b->second) - (a == m0.end() ? 0 : a->second);
  };
  result.commits = delta("dirserver_commits_total");
  result.snapshots = delta("dirserver_saves_total");
  const std::string family = "dirserver_ack_to_durable_seconds";
  result.p50 = histogramQuantile(m0, m1, family, 0.5);
  result.p99 = histogramQuantile(m0, m1, family, 0.99);
  result.max = histogramQuantile(m0, m1, family, 1.0);
  result.within100ms = shareWithin(m0, m1, family, 0.1);
  return result;
}

struct FloodColumn {
  std::uint32_t hosts = 0;
  Segment quiet, flood;
  // After the SIGKILL: long hosts whose loaded time is older than their last acknowledged refresh.
  int stale = -1;
};

FloodColumn runAt(const Options& options, const fs::path& base, std::uint32_t count) {
  FloodColumn column;
  column.hosts = count;
  const fs::path dir = base / ("refresh-flood-" + std::to_string(count));
  fs::create_directory(dir);
  HostFactory factory(11);
  std::vector<Host> hosts;
  const std::int32_t now = nowSeconds();
  for (std::uint32_t i = 0; i < count; ++i) hosts.push_back(factory.next(now));
  progress("refresh flood, " + std::to_string(count) + " hosts: writing the list and starting");
  writeServerListFile(dir / "server_list.dat", hosts);
  const std::uint16_t httpPort = freePort();
  Latest latest;
  std::vector<Bytes> requests;
  for (std::uint32_t i = 0; i < kLongHosts; ++i) requests.push_back(registrationRequest(longHost(i)));
  {
    // Without a line per refresh: the console's bytes would count as the server's writes.
    ServerProcess server(options.server, dir,
                         {"--http", "127.0.0.1:" + std::to_string(httpPort), "--console", "summary"});
    server.waitUntilServing(600s);
    // The long hosts are new once (a whole state each in the log), then only refreshed.
    for (const Bytes& request : requests) acknowledged(request);
    std::this_thread::sleep_for(2s);
    const double seconds = std::clamp(options.heartbeatSeconds / 2, 3.0, 30.0);
    progress("  quiet segment, " + formatNumber(seconds) + " s");
    column.quiet = segment(httpPort, server.pid(), requests, seconds, false, latest);
    progress("  flood segment, " + formatNumber(seconds) + " s");
    column.flood = segment(httpPort, server.pid(), requests, seconds, true, latest);
    server.kill();  // SIGKILL: what a restart finds is what the log made durable
  }
  // Loads the files as a start does, and compares the long hosts' times with the newest refresh
  // each had acknowledged.
  std::FILE* discard = std::fopen("/dev/null", "w");
  ServerContext context;
  context.console = {discard, discard};
  context.listFile = (dir / "server_list.dat").string();
  loadServerList(context);
  column.stale = 0;
  for (std::uint32_t i = 0; i < kLongHosts; ++i) {
    const ServerRecord record = longHost(i);
    const auto at = context.registry.find(ServerType::Melee, computeServerKey(record.fields), record.fields);
    if (at == context.registry.end(ServerType::Melee) ||
        registrationAge(at->record->registrationTime, latest.times[i]) > 0) {
      ++column.stale;
    }
  }
  if (discard != nullptr) std::fclose(discard);
  fs::remove_all(dir);
  return column;
}

std::string ms(double seconds) { return bucketBoundCell(seconds, "> 10000"); }

double perRefresh(const Segment& s) {
  return s.refreshes == 0 ? 0 : static_cast<double>(s.writeBytes) / static_cast<double>(s.refreshes);
}

}  // namespace

void runRefreshFlood(const Options& options, const fs::path& base) {
  std::vector<FloodColumn> columns;
  for (const std::uint32_t hosts : options.heartbeat) columns.push_back(runAt(options, base, hosts));
  std::vector<std::string> header{"refresh flood: preloaded hosts"};
  for (const FloodColumn& c : columns) header.push_back(std::to_string(c.hosts));
  TextTable table(header);
  const auto row = [&](const std::string& label, auto cell) {
    std::vector<std::string> cells{label};
    for (const FloodColumn& c : columns) cells.push_back(cell(c));
    table.addRow(std::move(cells));
  };
  row("refreshes quiet, flood (failed)", [](const FloodColumn& c) {
    return std::to_string(c.quiet.refreshes) + ", " + std::to_string(c.flood.refreshes) + " (" +
           std::to_string(c.quiet.failed + c.flood.failed) + ") in " + formatNumber(c.flood.seconds) + " s";
  });
  row("write_bytes per refresh quiet, flood (x quiet)", [](const FloodColumn& c) {
    return formatBytes(perRefresh(c.quiet)) + ", " + formatBytes(perRefresh(c.flood)) + " (" +
           ratioCell(perRefresh(c.flood), perRefresh(c.quiet)) + ")";
  });
  row("commits, snapshots in the flood", [](const FloodColumn& c) {
    return formatNumber(c.flood.commits) + ", " + formatNumber(c.flood.snapshots);
  });
  const auto latency = [&](const char* label, double Segment::*field) {
    row(label, [field](const FloodColumn& c) {
      return ms(c.quiet.*field) + ", " + ms(c.flood.*field) + " (" + ratioCell(c.flood.*field, c.quiet.*field) + ")";
    });
  };
  latency("ack to durable p50 ms quiet, flood (x quiet)", &Segment::p50);
  latency("ack to durable p99 ms quiet, flood (x quiet)", &Segment::p99);
  latency("ack to durable max ms quiet, flood (x quiet)", &Segment::max);
  row("durable within 100 ms quiet, flood", [](const FloodColumn& c) {
    const auto share = [](double s) { return s < 0 ? std::string("-") : formatNumber(s * 100) + " %"; };
    return share(c.quiet.within100ms) + ", " + share(c.flood.within100ms);
  });
  row("after SIGKILL: long hosts behind their last ack", [](const FloodColumn& c) {
    return std::to_string(c.stale) + " of " + std::to_string(kLongHosts);
  });
  std::printf(
      "\nRefresh flood: %u hosts whose six strings after the path hold %zu bytes each, all\n"
      "owned by one address, which refreshes them once a second each (quiet) and then as fast as\n"
      "%u connections at a time allow (flood), beside the preloaded hosts (the server runs with\n"
      "--console summary, so that no console line counts as its writes). write_bytes is the\n"
      "server's own (/proc/PID/io) over the refreshes acknowledged; only a refresh that moves a\n"
      "host's time (a new second) or owner is logged. Ack to durable: the bounds of the server's\n"
      "histogram buckets. After the flood the server is killed and its files loaded as a start\n"
      "loads them: every long host must show the time of its last acknowledged refresh.\n\n",
      kLongHosts, kLongFieldBytes, kFloodThreads);
  printTable(table);
  std::fflush(stdout);
}

}  // namespace dirserver::bench

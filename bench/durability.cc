#include "durability.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "client/list_reply_decoder.h"
#include "hosts.h"
#include "http_load.h"
#include "load.h"
#include "persist/server_list_file.h"
#include "proc_stats.h"
#include "process.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The acknowledgement of one request on a connection of its own from `source`: when it came, or
// nothing when the exchange failed.
std::optional<Clock::time_point> exchange(const Bytes& request, std::uint32_t source) {
  std::string error;
  const Bytes answer = fetch(kListenPort, request, Clock::now() + 10s, error, source);
  if (!error.empty() || answer.size() != kAckMessage.size()) return std::nullopt;
  return Clock::now();
}

double value(const std::map<std::string, double>& metrics, const std::string& name) {
  const auto found = metrics.find(name);
  return found == metrics.end() ? 0 : found->second;
}

// What the disk saw of the process and of its device.
struct DiskSample {
  std::uint64_t process = 0;
  std::uint64_t device = 0;
};

DiskSample diskSample(pid_t pid, const fs::path& dir) {
  struct stat status {};
  ::stat(dir.c_str(), &status);
  return {ioWriteBytes(readProcFile("/proc/" + std::to_string(pid) + "/io")),
          deviceWrittenBytes(readProcFile("/proc/diskstats"), major(status.st_dev),
                             minor(status.st_dev))};
}

// The floor for any commit on the disk under `dir`: a 200-byte write into room taken ahead, and
// fdatasync, fifty times a second for `seconds`. Its latencies in milliseconds, summarised.
LatencySummary syncFloor(const fs::path& dir, double seconds) {
  const fs::path path = dir / "sync-floor.bin";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return {};
  const std::vector<char> page(4096, 0);
  for (off_t at = 0; at < (1 << 20); at += 4096) {
    if (::pwrite(fd, page.data(), page.size(), at) < 0) break;
  }
  ::fdatasync(fd);
  std::vector<double> samples;
  const char entry[200] = {1};
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
  for (off_t at = 0; Clock::now() < end; at = (at + 200) % (1 << 20)) {
    const auto started = Clock::now();
    if (::pwrite(fd, entry, sizeof entry, at) < 0 || ::fdatasync(fd) != 0) break;
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    std::this_thread::sleep_for(20ms);
  }
  ::close(fd);
  fs::remove(path);
  return summarize(samples);
}

// ---------------------------------------------------------------------------------------------
// Heartbeat

struct HeartbeatPlan {
  std::uint32_t hosts = 0;
  double period = 0;       // seconds between two registrations of one host
  double newPerSecond = 0;  // new hosts (and shutdowns of the one before) per second
};

HeartbeatPlan planFor(std::uint32_t hosts) {
  if (hosts >= 65531) return {hosts, 300, 1};
  if (hosts >= 10000) return {hosts, 300, 0.2};
  return {hosts, 60, 0};
}

struct HeartbeatColumn {
  HeartbeatPlan plan;
  double seconds = 0;
  std::uint64_t changes = 0, failed = 0;
  DiskSample written;
  double logBytes = 0, commits = 0, snapshots = 0, serverBytes = 0;
  double durableP50 = -1, durableP99 = -1;
  WorkloadResult quietAck, quietList, busyAck, busyList;
  LatencySummary floor;  // of a bare write and fdatasync on the same disk, while quiet
  bool serverReports = false;
};

// Sends the plan's registrations on time from four threads for `seconds`.
void drive(const HeartbeatPlan& plan, const std::vector<Host>& hosts, HostFactory& factory,
           double seconds, std::atomic<std::uint64_t>& changes, std::atomic<std::uint64_t>& failed) {
  const auto start = Clock::now();
  const double refreshGap = plan.period / plan.hosts;
  const double newGap = plan.newPerSecond > 0 ? 1 / plan.newPerSecond : seconds * 2;
  std::mutex mutex;
  std::uint64_t refreshes = 0, fresh = 0;
  std::vector<ServerRecord> newHosts;
  const std::int32_t now = nowSeconds();
  for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(seconds / newGap) + 2; ++i) {
    newHosts.push_back(factory.next(now).record);
  }
  const auto worker = [&] {
    for (;;) {
      std::vector<std::pair<Bytes, std::uint32_t>> requests;
      double due = 0;
      {
        std::lock_guard lock(mutex);
        const double refreshAt = static_cast<double>(refreshes) * refreshGap;
        const double freshAt = (static_cast<double>(fresh) + 0.5) * newGap;
        due = std::min(refreshAt, freshAt);
        if (due >= seconds) return;
        if (refreshAt <= freshAt) {
          const std::uint32_t i = static_cast<std::uint32_t>(refreshes++ % plan.hosts);
          requests.emplace_back(registrationRequest(hosts[i].record), hostSource(i));
        } else {
          requests.emplace_back(registrationRequest(newHosts[fresh]), loopbackAddress(1));
          if (fresh > 0) {
            requests.emplace_back(shutdownRequest(newHosts[fresh - 1]), loopbackAddress(1));
          }
          ++fresh;
        }
      }
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(Seconds(due)));
      for (const auto& [request, source] : requests) {
        (exchange(request, source) ? changes : failed).fetch_add(1);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(worker);
  for (std::thread& thread : threads) thread.join();
}

HeartbeatColumn heartbeat(const Options& options, const fs::path& base, std::uint32_t count) {
  HeartbeatColumn column;
  column.plan = planFor(count);
  const fs::path dir = base / ("heartbeat-" + std::to_string(count));
  fs::create_directory(dir);
  HostFactory factory(7);
  std::vector<Host> hosts;
  const std::int32_t now = nowSeconds();
  for (std::uint32_t i = 0; i < count; ++i) hosts.push_back(factory.next(now));
  progress("heartbeat, " + std::to_string(count) + " hosts: writing the list and starting");
  writeServerListFile(dir / "server_list.dat", hosts);
  const std::uint16_t httpPort = freePort();
  ServerProcess server(options.server, dir, {"--http", "127.0.0.1:" + std::to_string(httpPort)});
  server.waitUntilServing(600s);
  // A start may write the list back or snapshot a log; its bytes are no part of the workload.
  std::this_thread::sleep_for(2s);

  const Expectation ack{Expectation::Kind::Ack};
  const Expectation listing{Expectation::Kind::Listing,
                            static_cast<std::uint16_t>(count + 4),
                            static_cast<std::uint16_t>(std::min<std::uint32_t>(count + 6, 65535))};
  const double seconds = options.heartbeatSeconds;
  const auto probe = [&](Expectation expect, MessageType type, Seconds budget) {
    Workload workload;
    workload.port = kListenPort;
    workload.requests = {buildRequest(type)};
    workload.expect = expect;
    workload.budget = budget;
    workload.drainLimit = 60s;
    return workload;
  };
  const Seconds quiet{std::clamp(seconds / 3, 2.0, 10.0)};
  auto quietAck = probe(ack, MessageType::AckRequest, quiet);
  auto quietList = probe(listing, MessageType::ListRequest, quiet);
  {
    auto a = std::async(std::launch::async, [&] { return runWorkload(quietAck); });
    auto f = std::async(std::launch::async, [&] { return syncFloor(dir, quiet.count()); });
    column.quietList = runWorkload(quietList);
    column.quietAck = a.get();
    column.floor = f.get();
  }

  const auto m0 = scrapeMetrics(httpPort);
  const DiskSample diskBefore = diskSample(server.pid(), dir);
  std::atomic<std::uint64_t> changes{0}, failed{0};
  const auto started = Clock::now();
  {
    auto busyAck = probe(ack, MessageType::AckRequest, Seconds(seconds));
    auto busyList = probe(listing, MessageType::ListRequest, Seconds(seconds));
    auto a = std::async(std::launch::async, [&] { return runWorkload(busyAck); });
    auto l = std::async(std::launch::async, [&] { return runWorkload(busyList); });
    drive(column.plan, hosts, factory, seconds, changes, failed);
    column.busyAck = a.get();
    column.busyList = l.get();
  }
  column.seconds = Seconds(Clock::now() - started).count();
  // The last commits land within milliseconds; the old server's saves take longer.
  std::this_thread::sleep_for(3s);
  const DiskSample diskAfter = diskSample(server.pid(), dir);
  const auto m1 = scrapeMetrics(httpPort);
  column.changes = changes;
  column.failed = failed;
  column.written = {diskAfter.process - diskBefore.process, diskAfter.device - diskBefore.device};
  column.serverReports = m1.count("dirserver_commits_total") > 0;
  column.logBytes = value(m1, "dirserver_log_bytes") - value(m0, "dirserver_log_bytes");
  column.commits = value(m1, "dirserver_commits_total") - value(m0, "dirserver_commits_total");
  column.snapshots = value(m1, "dirserver_saves_total") - value(m0, "dirserver_saves_total");
  column.durableP50 = histogramQuantile(m0, m1, "dirserver_ack_to_durable_seconds", 0.5);
  column.durableP99 = histogramQuantile(m0, m1, "dirserver_ack_to_durable_seconds", 0.99);
  server.kill();
  fs::remove_all(dir);
  return column;
}

std::string perChange(double bytes, std::uint64_t changes) {
  return changes == 0 ? "-" : formatBytes(bytes / static_cast<double>(changes));
}


}  // namespace

std::map<std::string, double> scrapeMetrics(std::uint16_t httpPort) {
  std::string body, error;
  std::uint64_t bytes = 0;
  httpGet(httpPort, "/metrics", Clock::now() + 30s, bytes, error, "", &body);
  return parseMetrics(body);
}

std::map<std::string, double> parseMetrics(std::string_view text) {
  std::map<std::string, double> samples;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto blank = line.rfind(' ');
    if (blank == std::string::npos) continue;
    samples[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
  }
  return samples;
}

double histogramQuantile(const std::map<std::string, double>& before,
                         const std::map<std::string, double>& after, const std::string& family,
                         double q) {
  const std::string prefix = family + "_bucket{le=\"";
  std::vector<std::pair<double, double>> buckets;  // bound, count between the scrapes
  for (auto at = after.lower_bound(prefix); at != after.end() && at->first.starts_with(prefix); ++at) {
    const std::string bound = at->first.substr(prefix.size(), at->first.size() - prefix.size() - 2);
    const double limit = bound == "+Inf" ? std::numeric_limits<double>::infinity() : std::stod(bound);
    const auto earlier = before.find(at->first);
    buckets.emplace_back(limit, at->second - (earlier == before.end() ? 0 : earlier->second));
  }
  std::sort(buckets.begin(), buckets.end());
  if (buckets.empty() || buckets.back().second <= 0) return -1;
  const double wanted = q * buckets.back().second;
  for (const auto& [bound, count] : buckets) {
    if (count >= wanted) return bound;
  }
  return buckets.back().first;
}

std::uint64_t ioWriteBytes(std::string_view io) {
  const auto at = io.find("\nwrite_bytes: ");
  return at == std::string_view::npos ? 0 : std::strtoull(io.data() + at + 14, nullptr, 10);
}

std::uint64_t deviceWrittenBytes(std::string_view diskstats, unsigned major, unsigned minor) {
  std::istringstream lines{std::string(diskstats)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    unsigned lineMajor = 0, lineMinor = 0;
    std::string name;
    std::uint64_t figures[7] = {};
    fields >> lineMajor >> lineMinor >> name;
    for (std::uint64_t& figure : figures) fields >> figure;
    // Reads completed, merged, sectors, ms; writes completed, merged, sectors written.
    if (fields && lineMajor == major && lineMinor == minor) return figures[6] * 512;
  }
  return 0;
}

void runHeartbeat(const Options& options, const fs::path& base) {
  std::vector<HeartbeatColumn> columns;
  for (const std::uint32_t hosts : options.heartbeat) columns.push_back(heartbeat(options, base, hosts));
  std::vector<std::string> header{"heartbeat: registered hosts"};
  for (const HeartbeatColumn& c : columns) header.push_back(std::to_string(c.plan.hosts));
  TextTable table(header);
  const auto row = [&](const std::string& label, auto cell) {
    std::vector<std::string> cells{label};
    for (const HeartbeatColumn& c : columns) cells.push_back(cell(c));
    table.addRow(std::move(cells));
  };
  row("period s, new hosts/s", [](const HeartbeatColumn& c) {
    return formatNumber(c.plan.period) + ", " + formatNumber(c.plan.newPerSecond);
  });
  row("changes acknowledged (failed)", [](const HeartbeatColumn& c) {
    return std::to_string(c.changes) + " (" + std::to_string(c.failed) + ") in " +
           formatNumber(c.seconds) + " s";
  });
  row("process write_bytes per change",
      [](const HeartbeatColumn& c) { return perChange(static_cast<double>(c.written.process), c.changes); });
  row("device writes per change (shared disk)",
      [](const HeartbeatColumn& c) { return perChange(static_cast<double>(c.written.device), c.changes); });
  row("commits, snapshots", [](const HeartbeatColumn& c) {
    return c.serverReports ? formatNumber(c.commits) + ", " + formatNumber(c.snapshots) : "-";
  });
  row("log bytes per change",
      [](const HeartbeatColumn& c) { return c.serverReports ? perChange(c.logBytes, c.changes) : "-"; });
  // Snapshots come when the log holds a quarter of the list (at least 1 MiB): their share of a
  // change is the list's bytes over the changes a log of that size holds.
  const auto snapshotShare = [](const HeartbeatColumn& c) {
    if (!c.serverReports || c.changes == 0 || c.logBytes <= 0) return -1.0;
    const double list = static_cast<double>(listFileSize(c.plan.hosts)) + 8.0 * c.plan.hosts;
    const double bound = std::max(1048576.0, 0.25 * static_cast<double>(listFileSize(c.plan.hosts)));
    return list * (c.logBytes / static_cast<double>(c.changes)) / bound;
  };
  row("snapshot bytes per change (amortised)", [&](const HeartbeatColumn& c) {
    const double share = snapshotShare(c);
    return share < 0 ? std::string("-") : formatBytes(share);
  });
  row("write_bytes per change, snapshots included", [&](const HeartbeatColumn& c) {
    const double share = snapshotShare(c);
    if (c.changes == 0) return std::string("-");
    return formatBytes(static_cast<double>(c.written.process) / static_cast<double>(c.changes) +
                       std::max(share, 0.0));
  });
  row("ack to durable p50 / p99 ms (server)", [](const HeartbeatColumn& c) {
    return bucketBoundCell(c.durableP50, "> 10000") + " / " + bucketBoundCell(c.durableP99, "> 10000");
  });
  row("bare write + fdatasync p50 / p99 ms", [](const HeartbeatColumn& c) {
    return c.floor.count == 0 ? std::string("-")
                              : formatNumber(c.floor.p50) + " / " + formatNumber(c.floor.p99);
  });
  const auto p99 = [](const WorkloadResult& r) { return r.completed == 0 ? 0.0 : r.latency.p99; };
  row("ack p99 ms quiet, busy (x quiet)", [&](const HeartbeatColumn& c) {
    return formatNumber(p99(c.quietAck)) + ", " + formatNumber(p99(c.busyAck)) + " (" +
           formatRatio(p99(c.quietAck) > 0 ? p99(c.busyAck) / p99(c.quietAck) : 0) + ")";
  });
  row("list p99 ms quiet, busy (x quiet)", [&](const HeartbeatColumn& c) {
    return formatNumber(p99(c.quietList)) + ", " + formatNumber(p99(c.busyList)) + " (" +
           formatRatio(p99(c.quietList) > 0 ? p99(c.busyList) / p99(c.quietList) : 0) + ")";
  });
  std::printf(
      "\nHeartbeat: every preloaded host registers again once per period from its own address,\n"
      "and new hosts register (each shutting down the one before) at the given rate, for %s s,\n"
      "while one ack and one list client measure their latency (quiet: the same clients before).\n"
      "write_bytes is the server process's own (/proc/PID/io), device writes those of the disk\n"
      "under the directory (/proc/diskstats, shared with everything else on the machine).\n"
      "Snapshots: their bytes spread over the changes the log holds before one is due.\n"
      "Acknowledgement to durable: the bounds of the server's histogram buckets its quantiles\n"
      "fall in. The bare write + fdatasync (200 bytes into room taken ahead, 50 a second, in the\n"
      "same directory while quiet) is the floor for any commit on this disk.\n\n",
      formatNumber(options.heartbeatSeconds).c_str());
  printTable(table);
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// The kill test

namespace {

constexpr std::uint32_t kKillPreloaded = 200;
constexpr unsigned kStreams = 4;

std::string identity(const std::vector<Bytes>& texts) {
  std::string id;
  for (const Bytes& text : texts) {
    id.append(text.begin(), text.end());
    id.push_back('\x1f');
  }
  return id;
}

std::string identity(const ServerRecord& record) {
  std::vector<Bytes> texts;
  for (const ServerField& field : record.fields) texts.push_back(field.data);
  return identity(texts);
}

// What the streams did to one host.
struct Expected {
  bool present = false;         // after its last acknowledged change
  bool settled = true;          // its last request was acknowledged
  Clock::time_point ackedAt{};  // of that change
};

}  // namespace

void runKillTest(const Options& options, const fs::path& base) {
  const fs::path dir = base / "kills";
  fs::create_directory(dir);
  HostFactory factory(11);
  const std::int32_t now = nowSeconds();
  std::vector<Host> preloaded;
  for (std::uint32_t i = 0; i < kKillPreloaded; ++i) preloaded.push_back(factory.next(now));
  writeServerListFile(dir / "server_list.dat", preloaded);
  std::unordered_map<std::string, Expected> expected;
  for (const Host& host : preloaded) expected[identity(host.record)] = {true, true, {}};
  // Each stream's own hosts, registered and shut down in turn, three at a time.
  std::vector<std::vector<ServerRecord>> pools(kStreams);
  for (auto& pool : pools) {
    for (int i = 0; i < 64; ++i) pool.push_back(factory.next(now).record);
  }
  std::mt19937 random(42);
  std::vector<double> lostAges;
  std::uint64_t acknowledged = 0, damagedStarts = 0, cutStarts = 0, phantoms = 0, lost = 0;
  progress("kill test: " + std::to_string(options.kills) + " kills");
  auto server = std::make_unique<ServerProcess>(options.server, dir);
  server->waitUntilServing(120s);
  std::vector<std::size_t> next(kStreams, 0);
  for (unsigned kill = 0; kill < options.kills; ++kill) {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::thread> streams;
    for (unsigned s = 0; s < kStreams; ++s) {
      streams.emplace_back([&, s] {
        const std::uint32_t source = (127u << 24) + (2u << 16) + 1 + s;
        while (!stop) {
          auto& pool = pools[s];
          const ServerRecord& host = pool[next[s] % pool.size()];
          // The host three steps back leaves as this one comes: a shutdown, else a registration.
          const ServerRecord& old = pool[(next[s] + pool.size() - 3) % pool.size()];
          const bool shutdownFirst = next[s] >= 3;
          for (const bool shutdown : {true, false}) {
            if (shutdown && !shutdownFirst) continue;
            const ServerRecord& record = shutdown ? old : host;
            {
              std::lock_guard lock(mutex);
              expected[identity(record)].settled = false;
            }
            const auto acked = exchange(shutdown ? shutdownRequest(record) : registrationRequest(record), source);
            std::lock_guard lock(mutex);
            if (acked) expected[identity(record)] = {!shutdown, true, *acked};
            if (acked) ++acknowledged;
            if (!acked || stop) break;
          }
          ++next[s];
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 180));
    const auto killedAt = Clock::now();
    server->kill();  // SIGKILL, and reaped: its port is free again
    stop = true;
    for (std::thread& stream : streams) stream.join();
    const std::size_t errBefore = server->err().size();
    const std::size_t outBefore = server->out().size();
    server.reset();
    server = std::make_unique<ServerProcess>(options.server, dir);
    server->waitUntilServing(120s);
    const std::string err = server->err().substr(errBefore);
    if (err.find("damaged") != std::string::npos || err.find("not replayed") != std::string::npos) {
      if (damagedStarts++ == 0) progress("  a start after a kill said: " + err);
    }
    if (server->out().substr(outBefore).find("ends in a commit cut short") != std::string::npos) {
      ++cutStarts;
    }
    std::string error;
    const Bytes bytes = fetch(kListenPort, buildRequest(MessageType::ListRequest), Clock::now() + 30s, error);
    ListedReply reply;
    if (!decodeListReply(bytes, reply, error)) throw std::runtime_error("kill test listing: " + error);
    std::unordered_map<std::string, bool> listed;
    for (const ListedEntry& entry : reply.entries) {
      if (!entry.isDirectory) listed[identity(entry.texts)] = true;
    }
    for (auto& [id, state] : expected) {
      const bool there = listed.count(id) > 0;
      if (state.settled && there != state.present) {
        ++lost;
        lostAges.push_back(std::chrono::duration<double, std::milli>(killedAt - state.ackedAt).count());
      }
      // What the restarted server holds is what the next round expects.
      state = {there, true, {}};
    }
    for (const auto& [id, there] : listed) {
      if (expected.count(id) == 0) ++phantoms;
    }
    if ((kill + 1) % 100 == 0) progress("  " + std::to_string(kill + 1) + " kills");
  }
  server.reset();
  fs::remove_all(dir);
  const LatencySummary ages = summarize(lostAges);
  std::printf(
      "\nKill test: %u SIGKILLs, each 20 to 200 ms into %u streams (one address each) that\n"
      "register hosts and shut them down, against a server of %u preloaded hosts; each restart\n"
      "is checked against every acknowledged change.\n\n"
      "  acknowledged changes         %llu\n"
      "  starts that kept a log aside %llu\n"
      "  starts with a cut commit     %llu (a kill inside a write of several pages cuts it\n"
      "                               short: its part is dropped, with a line, no copy)\n"
      "  hosts never registered       %llu\n"
      "  lost acknowledged changes    %llu\n"
      "  their age at the kill, ms    p50 %s, p99 %s, max %s\n",
      options.kills, kStreams, kKillPreloaded, static_cast<unsigned long long>(acknowledged),
      static_cast<unsigned long long>(damagedStarts), static_cast<unsigned long long>(cutStarts),
      static_cast<unsigned long long>(phantoms),
      static_cast<unsigned long long>(lost), lostAges.empty() ? "-" : formatNumber(ages.p50).c_str(),
      lostAges.empty() ? "-" : formatNumber(ages.p99).c_str(),
      lostAges.empty() ? "-" : formatNumber(ages.max).c_str());
  std::fflush(stdout);
}

}  // namespace dirserver::bench

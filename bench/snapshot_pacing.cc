#include "snapshot_pacing.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "client/list_reply_decoder.h"
#include "control_client.h"
#include "durability.h"
#include "hosts.h"
#include "http_load.h"
#include "load.h"
#include "process.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Changes a second the streams send together: enough that a segment's percentiles rest on
// thousands of changes, few enough that the logs never grow to a snapshot of their own.
constexpr double kChangesPerSecond = 200;
constexpr unsigned kStreams = 4;
constexpr unsigned kPairs = 3;  // segments of each kind
// A kill may lose what was acknowledged within this much of it: the commit in flight.
constexpr double kLossWindowMs = 100;

// When the acknowledgement of `request`, sent on a connection of its own from `source`, came; or
// nothing when the exchange failed.
std::optional<Clock::time_point> acknowledged(const Bytes& request, std::uint32_t source) {
  std::string error;
  const Bytes answer = fetch(kListenPort, request, Clock::now() + 10s, error, source);
  if (!error.empty() || answer.size() != kAckMessage.size()) return std::nullopt;
  return Clock::now();
}

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
  bool settled = true;          // its last request was answered (or never sent)
  Clock::time_point ackedAt{};  // of that change
};

// Streams that each register hosts of a pool of their own from an address of their own and shut
// them down three registrations later, together at kChangesPerSecond, remembering what each
// acknowledged change left.
class ChangeStreams {
 public:
  explicit ChangeStreams(HostFactory& factory) : pools_(kStreams), next_(kStreams, 0) {
    const auto now = static_cast<std::int32_t>(static_cast<std::uint32_t>(std::time(nullptr)));
    for (auto& pool : pools_) {
      for (int i = 0; i < 64; ++i) {
        pool.push_back(factory.next(now).record);
        expected_[identity(pool.back())] = {};
      }
    }
  }
  ~ChangeStreams() { stop(); }

  void start() {
    stop_ = false;
    for (unsigned s = 0; s < kStreams; ++s) threads_.emplace_back([this, s] { run(s); });
  }
  void stop() {
    stop_ = true;
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }
  std::uint64_t acknowledgedChanges() const { return acknowledged_; }

  // After a restart: counts the settled changes the listing contradicts and how old they were at
  // `killedAt` (ms), and takes what the listing shows as the state to go on from.
  void check(const ListedReply& reply, Clock::time_point killedAt, std::vector<double>& lostAges,
             std::uint64_t& lostYoung) {
    std::unordered_map<std::string, bool> listed;
    for (const ListedEntry& entry : reply.entries) {
      if (!entry.isDirectory) listed[identity(entry.texts)] = true;
    }
    for (auto& [id, state] : expected_) {
      const bool there = listed.count(id) > 0;
      if (state.settled && there != state.present) {
        const double age = std::chrono::duration<double, std::milli>(killedAt - state.ackedAt).count();
        if (age > kLossWindowMs) {
          lostAges.push_back(age);
        } else {
          ++lostYoung;
        }
      }
      state = {there, true, {}};
    }
  }

 private:
  void run(unsigned s) {
    const std::uint32_t source = (127u << 24) + (3u << 16) + 1 + s;
    const auto gap = std::chrono::duration_cast<Clock::duration>(Seconds(kStreams / kChangesPerSecond));
    auto due = Clock::now();
    auto& pool = pools_[s];
    while (!stop_) {
      const std::size_t at = next_[s];
      // The host three steps back leaves as this one comes.
      const ServerRecord& host = pool[at % pool.size()];
      const ServerRecord& old = pool[(at + pool.size() - 3) % pool.size()];
      for (const bool shutdown : {true, false}) {
        if (shutdown && at < 3) continue;
        const ServerRecord& record = shutdown ? old : host;
        {
          std::lock_guard lock(mutex_);
          expected_[identity(record)].settled = false;
        }
        std::this_thread::sleep_until(due);
        due += gap;
        const auto ack = acknowledged(shutdown ? shutdownRequest(record) : registrationRequest(record), source);
        std::lock_guard lock(mutex_);
        if (ack) {
          expected_[identity(record)] = {!shutdown, true, *ack};
          ++acknowledged_;
        }
        if (!ack || stop_) break;
      }
      ++next_[s];
    }
  }

  std::vector<std::vector<ServerRecord>> pools_;
  std::vector<std::size_t> next_;
  std::mutex mutex_;
  std::unordered_map<std::string, Expected> expected_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> acknowledged_{0};
  std::vector<std::thread> threads_;
};

// Asks the server in `dir` for one snapshot over its control socket (`command`: "snapshot" or
// "snapshot unpaced") and waits for it to end: how long that took (s), or nothing when it failed
// (said on the standard error when `quiet` is not set).
std::optional<double> snapshotOnce(const fs::path& dir, bool quiet = false,
                                   const std::string& command = "snapshot") {
  dirctl::ControlAnswer answer;
  std::string error;
  const auto started = Clock::now();
  if (!dirctl::controlExchange((dir / "dirserver.sock").string(), command, 1200s, answer, error) ||
      !answer.ok) {
    if (!quiet) progress("  snapshot failed: " + (error.empty() ? answer.text : error));
    return std::nullopt;
  }
  return Seconds(Clock::now() - started).count();
}

// The median of three snapshots of the server `executable` in `dir` with nothing else going on;
// with `unpaced`, also of three asked for unpaced (into *unpaced), taken in turns with the
// paced ones so that both meet the same moments of a busy machine.
double idleSnapshotSeconds(const std::string& executable, const fs::path& dir,
                           double* unpaced = nullptr) {
  ServerProcess server(executable, dir);
  server.waitUntilServing(1200s);
  std::vector<double> times, unpacedTimes;
  for (int i = 0; i < 3; ++i) {
    if (const auto took = snapshotOnce(dir)) times.push_back(*took);
    if (unpaced == nullptr) continue;
    if (const auto took = snapshotOnce(dir, false, "snapshot unpaced")) unpacedTimes.push_back(*took);
  }
  if (unpaced != nullptr) *unpaced = median(unpacedTimes);
  return median(times);
}

struct KindFigures {
  Buckets durable, commit;
  std::uint64_t changes = 0;
  unsigned snapshots = 0;
  double seconds = 0;
};

struct SizeFigures {
  std::uint32_t hosts = 0;
  double idle = 0, idleUnpaced = 0, idleBaseline = 0;
  std::vector<double> snapshotTimes;  // under load
  KindFigures quiet, busy;
  unsigned kills = 0, killsInSnapshot = 0;
  std::uint64_t killAcknowledged = 0, lostYoung = 0;
  std::vector<double> lostAges;  // of the changes lost that were older than the window
};

void runSegments(const fs::path& dir, std::uint16_t httpPort, double segmentSeconds,
                 SizeFigures& figures, ChangeStreams& streams) {
  streams.start();
  for (unsigned pair = 0; pair < kPairs; ++pair) {
    for (const bool withSnapshots : {false, true}) {
      KindFigures& kind = withSnapshots ? figures.busy : figures.quiet;
      const auto m0 = scrapeMetrics(httpPort);
      const std::uint64_t changes0 = streams.acknowledgedChanges();
      const auto started = Clock::now();
      const auto end = started + std::chrono::duration_cast<Clock::duration>(Seconds(segmentSeconds));
      if (withSnapshots) {
        // Back to back until the segment's time is up; the last one ends it.
        while (Clock::now() < end) {
          const auto took = snapshotOnce(dir);
          if (!took) break;
          figures.snapshotTimes.push_back(*took);
          ++kind.snapshots;
        }
      } else {
        std::this_thread::sleep_until(end);
      }
      // The changes acknowledged last become durable within a commit.
      std::this_thread::sleep_for(200ms);
      const auto m1 = scrapeMetrics(httpPort);
      kind.seconds += Seconds(Clock::now() - started).count();
      kind.changes += streams.acknowledgedChanges() - changes0;
      addBuckets(kind.durable, m0, m1, "dirserver_ack_to_durable_seconds");
      addBuckets(kind.commit, m0, m1, "dirserver_commit_duration_seconds");
      progress("  " + std::string(withSnapshots ? "snapshots" : "quiet") + " segment " +
               std::to_string(pair + 1) + ": ack to durable p99 <= " +
               formatNumber(bucketQuantile(kind.durable, 0.99) * 1000) + " ms so far");
    }
  }
  streams.stop();
}

void runKills(const Options& options, const fs::path& dir, unsigned kills, SizeFigures& figures,
              ChangeStreams& streams, std::unique_ptr<ServerProcess>& server) {
  std::mt19937 random(42);
  // A snapshot of a server just started goes at full speed until a slow commit slows it: it takes
  // at least the idle time, so a kill within that lands inside it. Kills that miss it are not
  // counted.
  const double earliest = 0.05 * figures.idle;
  const double latest = std::max(earliest, 0.9 * figures.idle);
  for (unsigned attempt = 0; figures.killsInSnapshot < kills && attempt < 3 * kills; ++attempt) {
    const std::uint64_t before = streams.acknowledgedChanges();
    streams.start();
    std::atomic<bool> snapshotEnded{false};
    std::thread snapshot([&] {
      snapshotOnce(dir, true);  // the kill ends it
      snapshotEnded = true;
    });
    std::this_thread::sleep_for(Seconds(std::uniform_real_distribution<double>(earliest, latest)(random)));
    const auto killedAt = Clock::now();
    if (!snapshotEnded) ++figures.killsInSnapshot;
    server->kill();
    snapshot.join();
    streams.stop();
    figures.killAcknowledged += streams.acknowledgedChanges() - before;
    server.reset();
    server = std::make_unique<ServerProcess>(options.server, dir);
    server->waitUntilServing(1200s);
    std::string error;
    const Bytes bytes = fetch(kListenPort, buildRequest(MessageType::ListRequest), Clock::now() + 60s, error);
    ListedReply reply;
    if (!decodeListReply(bytes, reply, error)) throw std::runtime_error("listing after a kill: " + error);
    streams.check(reply, killedAt, figures.lostAges, figures.lostYoung);
    ++figures.kills;
    if (figures.kills % 10 == 0) progress("  " + std::to_string(figures.kills) + " kills");
  }
}

SizeFigures measure(const Options& options, const fs::path& base, std::uint32_t count, unsigned kills) {
  SizeFigures figures;
  figures.hosts = count;
  const fs::path dir = base / ("snapshots-" + std::to_string(count));
  fs::create_directory(dir);
  HostFactory factory(13);
  std::vector<Host> hosts;
  const auto now = static_cast<std::int32_t>(static_cast<std::uint32_t>(std::time(nullptr)));
  // Room for the streams' hosts (three or four of each at a time) in a registry at its bound: a
  // full one would refuse them, and nothing would change.
  constexpr std::uint32_t kStreamRoom = kStreams * 4;
  const std::uint32_t preloaded = std::min(count, kMaxServers - kStreamRoom);
  for (std::uint32_t i = 0; i < preloaded; ++i) hosts.push_back(factory.next(now));
  progress("snapshots, " + std::to_string(count) + " hosts: writing the list");
  writeServerListFile(dir / "server_list.dat", hosts);
  hosts.clear();
  if (!options.baselineServer.empty()) {
    progress("  idle snapshots of the baseline server");
    figures.idleBaseline = idleSnapshotSeconds(options.baselineServer, dir);
  }
  progress("  idle snapshots");
  figures.idle = idleSnapshotSeconds(options.server, dir, &figures.idleUnpaced);

  ChangeStreams streams(factory);
  if (options.snapshotSegmentSeconds > 0) {
    const std::uint16_t httpPort = freePort();
    ServerProcess server(options.server, dir, {"--http", "127.0.0.1:" + std::to_string(httpPort)});
    server.waitUntilServing(1200s);
    runSegments(dir, httpPort, options.snapshotSegmentSeconds, figures, streams);
  }
  if (kills > 0) {
    progress("  " + std::to_string(kills) + " kills during snapshots");
    auto server = std::make_unique<ServerProcess>(options.server, dir);
    server->waitUntilServing(1200s);
    if (figures.snapshotTimes.empty()) {
      if (const auto took = snapshotOnce(dir)) figures.snapshotTimes.push_back(*took);
    }
    runKills(options, dir, kills, figures, streams, server);
  }
  fs::remove_all(dir);
  return figures;
}

void printSnapshotTable(const Options& options, const std::vector<SizeFigures>& columns);

std::string ms(double seconds) { return bucketBoundCell(seconds, "> last bound"); }

}  // namespace

void addBuckets(Buckets& into, const std::map<std::string, double>& before,
                const std::map<std::string, double>& after, const std::string& family) {
  const std::string prefix = family + "_bucket{le=\"";
  for (auto at = after.lower_bound(prefix); at != after.end() && at->first.starts_with(prefix); ++at) {
    const std::string bound = at->first.substr(prefix.size(), at->first.size() - prefix.size() - 2);
    const double limit = bound == "+Inf" ? std::numeric_limits<double>::infinity() : std::stod(bound);
    const auto earlier = before.find(at->first);
    into[limit] += at->second - (earlier == before.end() ? 0 : earlier->second);
  }
}

double bucketQuantile(const Buckets& buckets, double q) {
  if (buckets.empty() || buckets.rbegin()->second <= 0) return -1;
  const double total = buckets.rbegin()->second;
  const double wanted = q * total;
  for (const auto& [bound, count] : buckets) {
    if (count >= wanted) return bound;
  }
  return buckets.rbegin()->first;
}

void runSnapshotPacing(const Options& options, const fs::path& base) {
  if (options.snapshotSegmentSeconds <= 0 && options.snapshotKills.empty()) return;
  // A table after each size, the last with every size: a long run that is cut short keeps what
  // it measured.
  std::vector<SizeFigures> columns;
  for (std::size_t i = 0; i < options.heartbeat.size(); ++i) {
    const unsigned kills =
        options.snapshotKills.empty()
            ? 0
            : options.snapshotKills[std::min(i, options.snapshotKills.size() - 1)];
    columns.push_back(measure(options, base, options.heartbeat[i], kills));
    printSnapshotTable(options, columns);
  }
}

namespace {

void printSnapshotTable(const Options& options, const std::vector<SizeFigures>& columns) {
  std::vector<std::string> header{"snapshots: registered hosts"};
  for (const SizeFigures& c : columns) header.push_back(std::to_string(c.hosts));
  TextTable table(header);
  const auto row = [&](const std::string& label, auto cell) {
    std::vector<std::string> cells{label};
    for (const SizeFigures& c : columns) cells.push_back(cell(c));
    table.addRow(std::move(cells));
  };
  row("idle snapshot s (x baseline)", [](const SizeFigures& c) {
    return formatNumber(c.idle) +
           (c.idleBaseline > 0 ? " (" + formatRatio(c.idle / c.idleBaseline) + " of " +
                                     formatNumber(c.idleBaseline) + ")"
                               : std::string());
  });
  row("idle snapshot s paced, unpaced (x)", [](const SizeFigures& c) {
    return formatNumber(c.idle) + ", " + formatNumber(c.idleUnpaced) + " (" +
           ratioCell(c.idle, c.idleUnpaced) + ")";
  });
  row("snapshots under load: count, median s", [](const SizeFigures& c) {
    return std::to_string(c.busy.snapshots) + ", " + formatNumber(median(c.snapshotTimes));
  });
  row("changes acknowledged without, with", [](const SizeFigures& c) {
    return std::to_string(c.quiet.changes) + ", " + std::to_string(c.busy.changes);
  });
  for (const auto& [label, q] : {std::pair{"ack to durable p50 ms without, with (x)", 0.5},
                                 std::pair{"ack to durable p99 ms without, with (x)", 0.99},
                                 std::pair{"ack to durable max ms without, with (x)", 1.0}}) {
    row(label, [q = q](const SizeFigures& c) {
      const double quiet = bucketQuantile(c.quiet.durable, q), busy = bucketQuantile(c.busy.durable, q);
      return ms(quiet) + ", " + ms(busy) + " (" + ratioCell(busy, quiet) + ")";
    });
  }
  row("commit p99 ms without, with (x)", [](const SizeFigures& c) {
    const double quiet = bucketQuantile(c.quiet.commit, 0.99), busy = bucketQuantile(c.busy.commit, 0.99);
    return ms(quiet) + ", " + ms(busy) + " (" + ratioCell(busy, quiet) + ")";
  });
  row("kills during a snapshot (in all)", [](const SizeFigures& c) {
    return c.kills == 0 ? std::string("-")
                        : std::to_string(c.killsInSnapshot) + " (" + std::to_string(c.kills) + ")";
  });
  row("acknowledged changes lost > 100 ms old", [](const SizeFigures& c) {
    if (c.kills == 0) return std::string("-");
    return std::to_string(c.lostAges.size()) + " of " + std::to_string(c.killAcknowledged);
  });
  row("  their age at the kill p99 / max ms", [](const SizeFigures& c) {
    if (c.lostAges.empty()) return std::string("-");
    std::vector<double> ages = c.lostAges;
    const LatencySummary summary = summarize(ages);
    return formatNumber(summary.p99) + " / " + formatNumber(summary.max);
  });
  row("  lost within 100 ms of the kill", [](const SizeFigures& c) {
    return c.kills == 0 ? std::string("-") : std::to_string(c.lostYoung);
  });
  std::printf(
      "\nSnapshots and commits: %u streams register hosts and shut them down at %s changes/s\n"
      "in segments of %s s, %u without snapshots and %u with snapshots back to back (asked for\n"
      "over the control socket), alternating. Acknowledgement to durable and commit times are\n"
      "the bounds of the server's histogram buckets their quantiles fall in, over the segments\n"
      "of each kind; x is with over without. The idle snapshot is the median of three with\n"
      "nothing else going on, paced as any and unpaced (asked for so: no waits for the rate, 8 MiB\n"
      "slices), in turns. Each kill is a SIGKILL at a random point of a snapshot under way\n"
      "(one that came after the snapshot ended is done again), followed by a restart that must\n"
      "list every change acknowledged more than 100 ms before the kill.\n\n",
      kStreams, formatNumber(kChangesPerSecond).c_str(),
      formatNumber(options.snapshotSegmentSeconds).c_str(), kPairs, kPairs);
  printTable(table);
  std::fflush(stdout);
}

}  // namespace
}  // namespace dirserver::bench

// dirserver-bench: starts the real server on port 6001 with registries of several sizes, drives it
// from loopback clients and prints what it sustains, how fast it answers, how much memory it holds
// and how long it takes to start; with --hostile, also how a good client fares while hostile peers
// hold connections open.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "durability.h"
#include "refresh_flood.h"
#include "host_bytes.h"
#include "hostile.h"
#include "hosts.h"
#include "ban_reloads.h"
#include "http_load.h"
#include "listing/list_reply.h"
#include "load.h"
#include "net/listener.h"
#include "balancer.h"
#include "options.h"
#include "peer_limits.h"
#include "proc_stats.h"
#include "snapshot_pacing.h"
#include "process.h"
#include "protocol/message.h"
#include "persist/server_list_file.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Requests under way when a workload's time is up get this much longer.
constexpr Seconds kDrainLimit{60};
constexpr std::chrono::seconds kStartLimit{300};
// The hostile run's registry. On loopback the server's send buffer grows to about 4 MiB, so a
// listing of ordinary hosts (some 200 bytes each) would be handed to the kernel whole and a peer
// that does not read it would hold nothing of the server's. Hosts with a long message of the day
// make a listing of about 8 MiB, which the server has to keep sending itself.
constexpr std::uint32_t kHostileHosts = 2000;
constexpr std::size_t kHostileMotdCharacters = 2000;
// The server drops a peer after 30 s in one step, so the hostile workloads stay well within that.
constexpr Seconds kHostileBudget{10};

// The size of a server list file of `hosts` hosts.
std::uint64_t fileSize(std::uint64_t hosts) {
  return kServerTypeCount * kFileCountSize + kFileRecordSize * hosts;
}

// New hosts a workload may register, per second of its budget and in all: enough for the
// fastest server to keep registering until its time is up.
constexpr double kNewHostsPerSecond = 10000;
constexpr std::uint32_t kMostNewHosts = 100000;


Workload makeWorkload(const Options& options, std::uint16_t port, Expectation expect,
                      std::vector<Bytes> requests, Seconds budget) {
  Workload workload;
  workload.port = port;
  workload.requests = std::move(requests);
  workload.expect = expect;
  workload.clients = options.clients;
  workload.budget = budget;
  workload.drainLimit = kDrainLimit;
  return workload;
}

// What the listing of `fewest` to `most` hosts looks like: its count covers the directory
// entries too.
Expectation listingOf(std::uint32_t fewest, std::uint32_t most) {
  return {Expectation::Kind::Listing, static_cast<std::uint16_t>(fewest + kDirectoryEntryCount),
          static_cast<std::uint16_t>(most + kDirectoryEntryCount)};
}
Expectation listingOf(std::uint32_t hosts) { return listingOf(hosts, hosts); }

// Waits until the server has worked through what earlier workloads left queued: it answers
// requests in turn, so an answered acknowledgement request means they are done.
void settle() {
  Workload workload;
  workload.port = kListenPort;
  workload.requests = {buildRequest(MessageType::AckRequest)};
  workload.once = true;
  workload.budget = 1s;
  workload.drainLimit = 300s;
  const WorkloadResult result = runWorkload(workload);
  if (result.completed != 1) {
    throw std::runtime_error("the server stopped answering: " + result.firstError);
  }
}

// A progress note of what a workload did.
void progressOf(const std::string& what, const WorkloadResult& result) {
  progress("  " + what + ": " + std::to_string(result.completed) + " answered, " +
           std::to_string(result.failed) + " failed, " + std::to_string(result.unfinished) +
           " unfinished in " + formatNumber(result.seconds) + " s" +
           (result.firstError.empty() ? "" : " (" + result.firstError + ")"));
}

WorkloadResult measure(const std::string& what, const Workload& workload) {
  const WorkloadResult result = runWorkload(workload);
  progressOf(what, result);
  if (workload.port == kListenPort) settle();
  return result;
}

// Each round of a pair of alternating workloads takes about this long.
constexpr Seconds kRound{0.5};

// Runs the workloads together, each on threads of its own, and returns their results in order.
std::vector<WorkloadResult> runTogether(const std::vector<Workload>& workloads) {
  std::vector<std::future<WorkloadResult>> running;
  for (const Workload& workload : workloads) {
    running.push_back(
        std::async(std::launch::async, [&workload] { return runWorkload(workload); }));
  }
  std::vector<WorkloadResult> results;
  for (auto& result : running) results.push_back(result.get());
  return results;
}

// Measures workloads on the server (run together) and workloads on the baselines (run together)
// in alternating short rounds that add up to each workload's budget, so that both sets see much
// the same machine even when its load changes during the run. Returns each set's results, in
// order.
std::pair<std::vector<WorkloadResult>, std::vector<WorkloadResult>> alternate(
    const std::vector<Workload>& onServer, const std::vector<Workload>& onBaselines) {
  const int rounds = std::max(1, static_cast<int>(std::lround(onServer.front().budget / kRound)));
  std::pair<std::vector<WorkloadResult>, std::vector<WorkloadResult>> results;
  results.first.resize(onServer.size());
  results.second.resize(onBaselines.size());
  for (int round = 0; round < rounds; ++round) {
    for (const auto* set : {&onServer, &onBaselines}) {
      std::vector<Workload> parts = *set;
      for (Workload& part : parts) part.budget = part.budget / rounds;
      const std::vector<WorkloadResult> partResults = runTogether(parts);
      auto& totals = set == &onServer ? results.first : results.second;
      for (std::size_t i = 0; i < totals.size(); ++i) accumulate(totals[i], partResults[i]);
    }
    settle();
  }
  return results;
}

// One workload on the server and the same on a baseline, alternating; prints a line for each.
std::pair<WorkloadResult, WorkloadResult> measureAlternating(const std::string& what,
                                                             const Workload& server,
                                                             const std::string& baselineName,
                                                             const Workload& baseline) {
  auto [onServer, onBaseline] = alternate({server}, {baseline});
  const std::pair results{std::move(onServer.front()), std::move(onBaseline.front())};
  for (const auto& [name, result] :
       {std::pair{what, &results.first}, std::pair{baselineName, &results.second}}) {
    progressOf(name, *result);
  }
  return results;
}

// A server started on a directory, after `hosts` were written to its server list file; checks
// that it loaded them all.
// With `http`, its HTTP window listens on a free loopback port, `httpPort`.
struct RunningServer {
  RunningServer(const Options& options, const fs::path& dir, std::span<const Host> hosts,
                bool http = false)
      : httpPort(http ? freePort() : 0),
        process(prepare(options, dir, hosts), dir,
                http ? std::vector<std::string>{"--http", "127.0.0.1:" + std::to_string(httpPort)}
                     : std::vector<std::string>{}) {
    startUp = process.waitUntilServing(kStartLimit);
    const std::string loaded = "- loaded " + std::to_string(hosts.size()) + " servers\n";
    if (!process.waitOut(loaded, std::chrono::seconds(5))) {
      throw std::runtime_error("the server did not load the " + std::to_string(hosts.size()) +
                               " hosts written for it; it said: " + process.out() + process.err());
    }
    residentKiB = process.residentKiB();
  }

  // Writes the file, which must be in place before the process starts; yields its executable.
  static const std::string& prepare(const Options& options, const fs::path& dir,
                                    std::span<const Host> hosts) {
    writeServerListFile(dir / "server_list.dat", hosts);
    return options.server;
  }

  std::uint16_t httpPort;
  ServerProcess process;
  Seconds startUp{};
  std::uint64_t residentKiB = 0;
};

// Passes on, as a progress note, that the server printed something on its standard error, which
// it should not under the load table's workloads.
void reportServerErrors(const ServerProcess& server, const std::string& context) {
  const std::string err = server.err();
  if (err.empty()) return;
  const std::size_t lines = static_cast<std::size_t>(std::count(err.begin(), err.end(), '\n'));
  progress("  note: the server printed " + std::to_string(lines) +
           " line(s) on its standard error " + context +
           ", the first: " + err.substr(0, err.find('\n')));
}

// The mixed workload: one acknowledgement client and one list client, first alone, then while one
// client streams registrations; the same three clients against the baselines; the server's commits
// and snapshots and how long a change waited to be durable, as the server reports them, and its
// memory meanwhile.
struct Mixed {
  WorkloadResult quietAck, quietList;
  WorkloadResult streamAck, streamList;  // over the whole stream
  WorkloadResult newHostsAck, newHostsList;  // while new hosts and their shutdowns streamed
  WorkloadResult refreshes, newHosts;
  WorkloadResult baselineAck, baselineList, baselineStream;
  double commits = 0, snapshots = 0;  // during the stream
  double durableP50 = -1, durableP99 = -1;  // seconds, bucket bounds
  std::uint64_t idleKiB = 0;
  std::uint64_t peakKiB = 0;     // VmHWM at the end of the stream
  bool peakSinceStream = false;  // whether VmHWM was reset when the stream began
};

// The loop's processor time per change: rounds of a request and then a whole listing, one client,
// in alternating blocks where the request is an acknowledgement request (quiet) or a new host's
// registration or shutdown (changing). What a change costs beyond an acknowledgement request is
// its handling and whatever it makes the loop do for the listing, the snapshot and the save.
struct Absorb {
  double quietMilliseconds = 0;   // loop time per quiet round
  double changeMilliseconds = 0;  // loop time per change, beyond a quiet round
  std::uint64_t rounds = 0;       // of each kind
  std::string error;
};

struct Column {
  std::uint32_t hosts = 0;
  std::uint64_t listingBytes = 0;
  Seconds startUp{};
  std::uint64_t residentKiB = 0;
  std::uint64_t residentAfterKiB = 0;
  WorkloadResult baseline, staticList, list, ack;
  std::optional<WorkloadResult> refresh, fresh;
  Absorb absorb;
  Mixed mixed;
  Seconds elapsed{};
};

Mixed measureMixed(const Options& options, ServerProcess& server, std::uint16_t httpPort,
                   Expectation listing, const Bytes& listingBytes, std::vector<Bytes> refreshes,
                   std::vector<std::uint32_t> refreshSources, std::vector<Bytes> newHosts) {
  Mixed mixed;
  const Seconds budget{options.seconds};
  const auto one = [&](std::uint16_t port, Expectation expect, std::vector<Bytes> requests) {
    Workload workload = makeWorkload(options, port, expect, std::move(requests), budget);
    workload.clients = 1;
    return workload;
  };
  const Expectation ack{Expectation::Kind::Ack};
  const Workload ackProbe = one(kListenPort, ack, {buildRequest(MessageType::AckRequest)});
  const Workload listProbe = one(kListenPort, listing, {buildRequest(MessageType::ListRequest)});

  // A snapshot left from start-up (a server may write back what it loaded) is no part of it.
  std::this_thread::sleep_for(1s);
  progress("  mixed, no registrations: 1 ack and 1 list client, and against the baselines");
  std::pair<std::vector<WorkloadResult>, std::vector<WorkloadResult>> results;
  {
    const BaselineServer acks;
    const StaticServer lists(listingBytes);
    Workload ackBase = ackProbe, listBase = listProbe, streamBase = ackProbe;
    ackBase.port = acks.port();
    streamBase.port = acks.port();
    listBase.port = lists.port();
    results = alternate({ackProbe, listProbe}, {ackBase, listBase, streamBase});
  }
  mixed.quietAck = results.first[0];
  mixed.quietList = results.first[1];
  mixed.baselineAck = results.second[0];
  mixed.baselineList = results.second[1];
  mixed.baselineStream = results.second[2];

  const pid_t pid = server.pid();
  mixed.idleKiB = residentOf(pid).now;
  mixed.peakSinceStream = resetPeakResident(pid);
  {
    const auto before = scrapeMetrics(httpPort);
    // The probes run through each phase of the stream, and are kept for each.
    const auto probed = [&](auto stream) {
      std::atomic<bool> stop{false};
      std::vector<Workload> probes = {ackProbe, listProbe};
      for (Workload& probe : probes) {
        probe.stop = &stop;
        probe.budget = budget + 2 * kDrainLimit;
      }
      auto probing = std::async(std::launch::async, [&probes] { return runTogether(probes); });
      stream();
      stop = true;
      return probing.get();
    };
    Workload refresh = one(kListenPort, ack, refreshes);
    refresh.sources = refreshSources;
    const std::vector<WorkloadResult> duringRefreshes =
        probed([&] { mixed.refreshes = measure("  refreshes streamed", refresh); });
    Workload fresh = one(kListenPort, ack, std::move(newHosts));
    fresh.once = true;
    fresh.unitSize = 2;
    const std::vector<WorkloadResult> duringNewHosts =
        probed([&] { mixed.newHosts = measure("  new hosts and shutdowns streamed", fresh); });
    mixed.newHostsAck = duringNewHosts[0];
    mixed.newHostsList = duringNewHosts[1];
    mixed.streamAck = duringRefreshes[0];
    mixed.streamList = duringRefreshes[1];
    accumulate(mixed.streamAck, mixed.newHostsAck);
    accumulate(mixed.streamList, mixed.newHostsList);
    // The last commits land within milliseconds.
    std::this_thread::sleep_for(200ms);
    const auto after = scrapeMetrics(httpPort);
    const auto delta = [&](const char* name) {
      return (after.count(name) ? after.at(name) : 0) - (before.count(name) ? before.at(name) : 0);
    };
    mixed.commits = delta("dirserver_commits_total");
    mixed.snapshots = delta("dirserver_saves_total");
    mixed.durableP50 = histogramQuantile(before, after, "dirserver_ack_to_durable_seconds", 0.5);
    mixed.durableP99 = histogramQuantile(before, after, "dirserver_ack_to_durable_seconds", 0.99);
  }
  mixed.peakKiB = residentOf(pid).peak;
  return mixed;
}

// Rounds in one block of the absorb measurement; even, so that a changing block leaves the host
// shut down as it found it.
constexpr int kAbsorbBlock = 8;

Absorb measureAbsorb(pid_t pid, const Host& host, Seconds budget) {
  Absorb absorb;
  const Bytes changes[] = {registrationRequest(host.record), shutdownRequest(host.record)};
  const Bytes quiet = buildRequest(MessageType::AckRequest);
  const Bytes list = buildRequest(MessageType::ListRequest);
  double quietNs = 0, changeNs = 0;
  std::uint64_t quietRounds = 0;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(2 * budget);
  for (int block = 0; absorb.error.empty() && (block < 8 || Clock::now() < end); ++block) {
    const bool changing = block % 2 == 1;
    const auto before = mainThreadRunNanoseconds(pid);
    for (int round = 0; round < kAbsorbBlock && absorb.error.empty(); ++round) {
      const Bytes& asked = changing ? changes[round % 2] : quiet;
      std::string error;
      const Bytes answer = fetch(kListenPort, asked, Clock::now() + 60s, error);
      if (error.empty()) error = checkAnswer({Expectation::Kind::Ack}, answer, answer.size());
      const Bytes listing = fetch(kListenPort, list, Clock::now() + 60s, error);
      if (error.empty() && listing.size() < kListReplyHeaderSize) error = "a short listing";
      absorb.error = error;
    }
    const auto after = mainThreadRunNanoseconds(pid);
    if (!before || !after) {
      absorb.error = "the kernel does not give the loop's processor time";
      break;
    }
    (changing ? changeNs : quietNs) += static_cast<double>(*after - *before);
    (changing ? absorb.rounds : quietRounds) += kAbsorbBlock;
  }
  if (absorb.rounds > 0 && quietRounds > 0) {
    absorb.quietMilliseconds = quietNs / quietRounds / 1e6;
    absorb.changeMilliseconds = changeNs / absorb.rounds / 1e6 - absorb.quietMilliseconds;
  }
  return absorb;
}

// One column of the load table: the server options.server with `hostCount` hosts. With
// `loadOnly`, the figures of the four workloads (list, ack, new host + shutdown, refresh) and their
// baselines only, without the loop's time per change and the mixed workload.
Column measureRegistry(const Options& options, const fs::path& base, std::uint32_t hostCount,
                       bool loadOnly = false) {
  const auto began = Clock::now();
  Column column;
  column.hosts = hostCount;
  const fs::path dir = base / ("hosts-" + std::to_string(hostCount));
  fs::create_directory(dir);

  HostFactory factory;
  const std::int32_t now = nowSeconds();
  std::vector<Host> hosts;
  hosts.reserve(hostCount);
  for (std::uint32_t i = 0; i < hostCount; ++i) hosts.push_back(factory.next(now));
  // New hosts for two workloads: the concurrent one and the stream.
  const std::uint32_t newHostCount = static_cast<std::uint32_t>(
      std::min<double>(kMostNewHosts, kNewHostsPerSecond * options.seconds));
  // Each client has at most one new host registered at a time; a registry too full for that
  // many more first loses as many preloaded hosts, the last ones.
  const std::uint32_t room = options.clients + 1;
  const std::uint32_t shutdowns =
      hostCount + room > kMaxServers ? std::min(hostCount, hostCount + room - kMaxServers) : 0;
  std::vector<Bytes> makingRoom;
  for (const Host& host : std::span(hosts).last(shutdowns)) {
    makingRoom.push_back(shutdownRequest(host.record));
  }
  std::vector<Bytes> freshRequests = newHostsAndShutdowns(factory, now, newHostCount);
  std::vector<Bytes> streamedNewHosts = newHostsAndShutdowns(factory, now, newHostCount);
  std::vector<Bytes> refreshes;
  std::vector<std::uint32_t> refreshSources;
  refreshes.reserve(hostCount - shutdowns);
  for (std::uint32_t i = 0; i < hostCount - shutdowns; ++i) {
    refreshes.push_back(registrationRequest(hosts[i].record));
    refreshSources.push_back(hostSource(i));
  }
  // The stream's refreshed host, with no preloaded one, and each client's new host.
  const Expectation listing =
      listingOf(hostCount - shutdowns, std::min(hostCount - shutdowns + room, kMaxServers));

  progress(std::to_string(hostCount) + " hosts: writing " +
           formatBytes(static_cast<double>(fileSize(hostCount))) +
           " of server list and starting the server");
  {
    RunningServer server(options, dir, hosts, true);
    hosts.clear();
    hosts.shrink_to_fit();
    column.startUp = server.startUp;
    column.residentKiB = server.residentKiB;
    progress("  serving after " + formatNumber(server.startUp.count() * 1000) + " ms, " +
             formatBytes(server.residentKiB * 1024.0) + " resident");
    const Seconds budget{options.seconds};
    const auto ack = Expectation{Expectation::Kind::Ack};

    if (!makingRoom.empty()) {
      Workload shutDown = makeWorkload(options, kListenPort, ack, std::move(makingRoom), budget);
      shutDown.clients = 1;
      shutDown.once = true;
      shutDown.budget = kDrainLimit;
      measure("making room: shutdowns of preloaded hosts", shutDown);
    }
    std::string error;
    const Bytes listingBytes = fetch(kListenPort, buildRequest(MessageType::ListRequest),
                                     Clock::now() + std::chrono::seconds(60), error);
    if (!error.empty()) throw std::runtime_error("cannot fetch the listing: " + error);
    column.listingBytes = listingBytes.size();
    {
      const StaticServer staticList(listingBytes);
      const Workload lists =
          makeWorkload(options, kListenPort, listing, {buildRequest(MessageType::ListRequest)}, budget);
      Workload staticLists = lists;
      staticLists.port = staticList.port();
      std::tie(column.list, column.staticList) =
          measureAlternating("list", lists, "static listing", staticLists);
    }
    {
      const BaselineServer baseline;
      const Workload acks =
          makeWorkload(options, kListenPort, ack, {buildRequest(MessageType::AckRequest)}, budget);
      Workload baselineAcks = acks;
      baselineAcks.port = baseline.port();
      std::tie(column.ack, column.baseline) =
          measureAlternating("ack", acks, "baseline ack", baselineAcks);
    }
    if (!refreshes.empty()) {
      Workload refresh = makeWorkload(options, kListenPort, ack, refreshes, budget);
      refresh.sources = refreshSources;
      column.refresh = measure("refresh registration", refresh);
    }
    Workload fresh = makeWorkload(options, kListenPort, ack, std::move(freshRequests), budget);
    fresh.once = true;
    fresh.unitSize = 2;
    column.fresh = measure("new hosts and shutdowns", fresh);
    if (loadOnly) {
      column.residentAfterKiB = server.process.residentKiB();
      reportServerErrors(server.process, "under load");
      fs::remove_all(dir);
      column.elapsed = Clock::now() - began;
      return column;
    }
    column.absorb = measureAbsorb(server.process.pid(), factory.next(now), budget);
    progress("  absorbing a change: " + formatNumber(column.absorb.changeMilliseconds) +
             " ms of the loop over " + std::to_string(column.absorb.rounds) + " changes" +
             (column.absorb.error.empty() ? "" : " (" + column.absorb.error + ")"));
    // With no preloaded host to refresh, the stream refreshes one of its own.
    if (refreshes.empty()) refreshes.push_back(registrationRequest(factory.next(now).record));
    column.mixed =
        measureMixed(options, server.process, server.httpPort, listing, listingBytes, std::move(refreshes),
                     std::move(refreshSources), std::move(streamedNewHosts));
    column.residentAfterKiB = server.process.residentKiB();
    reportServerErrors(server.process, "under load");
  }
  fs::remove_all(dir);
  column.elapsed = Clock::now() - began;
  progress("  done in " + formatNumber(column.elapsed.count()) + " s");
  return column;
}

void printLoadTable(const Options& options, const std::vector<Column>& columns,
                    std::uint64_t emptyResidentKiB) {
  std::vector<std::string> header{"registered hosts"};
  for (const Column& column : columns) header.push_back(std::to_string(column.hosts));
  TextTable table(header);
  const auto row = [&](const std::string& label, auto cell) {
    std::vector<std::string> cells{label};
    for (const Column& column : columns) cells.push_back(cell(column));
    table.addRow(std::move(cells));
  };
  const auto workloadRows = [&](const std::string& name, const std::string& baselineName, auto pick,
                                auto pickBaseline) {
    row(name + " req/s (x " + baselineName + ")", [&](const Column& c) {
      const WorkloadResult* result = pick(c);
      return result == nullptr ? std::string("-") : rateCell(*result, pickBaseline(c));
    });
    row(name + " p50 / p99 ms", [&](const Column& c) {
      const WorkloadResult* result = pick(c);
      return result == nullptr ? std::string("-") : latencyCell(*result);
    });
    row(name + " requests", [&](const Column& c) {
      const WorkloadResult* result = pick(c);
      return result == nullptr ? std::string("-") : countCell(*result);
    });
  };
  const auto ackBaseline = [](const Column& c) -> const WorkloadResult& { return c.baseline; };
  const auto optional = [](const std::optional<WorkloadResult>& result) {
    return result ? &*result : static_cast<const WorkloadResult*>(nullptr);
  };
  row("server start-up ms (exec to accept)",
      [](const Column& c) { return formatNumber(c.startUp.count() * 1000); });
  row("resident after load", [](const Column& c) { return formatBytes(c.residentKiB * 1024.0); });
  row("  per host, over an empty server", [&](const Column& c) {
    if (c.hosts == 0) return std::string("-");
    const double perHost =
        (static_cast<double>(c.residentKiB) - emptyResidentKiB) * 1024.0 / c.hosts;
    return perHost > 0 ? formatBytes(perHost) : std::string("-");
  });
  row("listing size", [](const Column& c) { return formatBytes(c.listingBytes); });
  workloadRows(
      "list", "static", [](const Column& c) { return &c.list; },
      [](const Column& c) -> const WorkloadResult& { return c.staticList; });
  row("static listing req/s (x baseline)",
      [](const Column& c) { return rateCell(c.staticList, c.baseline); });
  row("static listing p50 / p99 ms", [](const Column& c) { return latencyCell(c.staticList); });
  workloadRows(
      "new host + shutdown", "baseline", [&](const Column& c) { return optional(c.fresh); },
      ackBaseline);
  workloadRows(
      "refresh host", "baseline", [&](const Column& c) { return optional(c.refresh); },
      ackBaseline);
  workloadRows(
      "ack", "baseline", [](const Column& c) { return &c.ack; }, ackBaseline);
  row("baseline ack req/s", [](const Column& c) { return formatNumber(c.baseline.rate()); });
  row("baseline ack p50 / p99 ms", [](const Column& c) { return latencyCell(c.baseline); });
  row("resident after the workloads",
      [](const Column& c) { return formatBytes(c.residentAfterKiB * 1024.0); });
  row("loop ms per new host or shutdown", [](const Column& c) {
    return c.absorb.rounds == 0 ? std::string("-") : formatNumber(c.absorb.changeMilliseconds);
  });
  row("loop ms per ack + listing", [](const Column& c) {
    return c.absorb.rounds == 0 ? std::string("-") : formatNumber(c.absorb.quietMilliseconds);
  });

  row("mixed: 1 ack + 1 list client", [](const Column&) { return std::string(); });
  const auto latencyRow = [&](const std::string& label, auto pick) {
    row(label, [&](const Column& c) { return fullLatencyCell(pick(c.mixed).latency); });
  };
  const auto ratioRow = [&](const std::string& label, auto quiet, auto reference, auto stream) {
    row(label, [&](const Column& c) {
      return p99Ratio(quiet(c.mixed), reference(c.mixed)) + ", " +
             p99Ratio(stream(c.mixed), quiet(c.mixed));
    });
  };
  latencyRow("  ack p50 / p99 / max ms, quiet", [](const Mixed& m) { return m.quietAck; });
  latencyRow("  ack p50 / p99 / max ms, streaming", [](const Mixed& m) { return m.streamAck; });
  ratioRow(
      "  ack p99: quiet x base, streaming x quiet", [](const Mixed& m) { return m.quietAck; },
      [](const Mixed& m) { return m.baselineAck; }, [](const Mixed& m) { return m.streamAck; });
  latencyRow("  ack p50 / p99 / max ms, new hosts streaming",
             [](const Mixed& m) { return m.newHostsAck; });
  row("  ack p99: new hosts streaming x quiet",
      [](const Column& c) { return p99Ratio(c.mixed.newHostsAck, c.mixed.quietAck); });
  latencyRow("  list p50 / p99 / max ms, quiet", [](const Mixed& m) { return m.quietList; });
  latencyRow("  list p50 / p99 / max ms, streaming", [](const Mixed& m) { return m.streamList; });
  ratioRow(
      "  list p99: quiet x static, streaming x quiet", [](const Mixed& m) { return m.quietList; },
      [](const Mixed& m) { return m.baselineList; }, [](const Mixed& m) { return m.streamList; });
  latencyRow("  list p50 / p99 / max ms, new hosts streaming",
             [](const Mixed& m) { return m.newHostsList; });
  row("  list p99: new hosts streaming x quiet",
      [](const Column& c) { return p99Ratio(c.mixed.newHostsList, c.mixed.quietList); });
  latencyRow("  base ack p50 / p99 / max ms", [](const Mixed& m) { return m.baselineAck; });
  latencyRow("  static list p50 / p99 / max ms", [](const Mixed& m) { return m.baselineList; });
  row("  ack + list requests, quiet", [](const Column& c) {
    return countCell(c.mixed.quietAck) + " + " + countCell(c.mixed.quietList);
  });
  row("  ack + list requests, streaming", [](const Column& c) {
    return countCell(c.mixed.streamAck) + " + " + countCell(c.mixed.streamList);
  });
  row("  stream: refreshes/s (x baseline)",
      [](const Column& c) { return rateCell(c.mixed.refreshes, c.mixed.baselineStream); });
  row("  stream: new + shutdown/s (x baseline)",
      [](const Column& c) { return rateCell(c.mixed.newHosts, c.mixed.baselineStream); });
  row("  stream requests: refresh + new/shutdown", [](const Column& c) {
    return countCell(c.mixed.refreshes) + " + " + countCell(c.mixed.newHosts);
  });
  row("  commits, snapshots during the stream", [](const Column& c) {
    return formatNumber(c.mixed.commits) + ", " + formatNumber(c.mixed.snapshots);
  });
  row("  ack to durable ms p50 / p99 (server)", [](const Column& c) {
    const auto bound = [](double seconds) {
      return seconds < 0 ? std::string("-") : "<= " + formatNumber(seconds * 1000);
    };
    return bound(c.mixed.durableP50) + " / " + bound(c.mixed.durableP99);
  });
  row("  resident idle", [](const Column& c) { return formatBytes(c.mixed.idleKiB * 1024.0); });
  row("  peak VmHWM (x idle)", [](const Column& c) {
    return memoryCell(c.mixed.peakKiB, c.mixed.idleKiB) + (c.mixed.peakSinceStream ? "" : "*");
  });
  row("time for the column, s", [](const Column& c) { return formatNumber(c.elapsed.count()); });

  std::printf(
      "\n%u client threads, %s s per workload, one request per connection. Baseline: a blocking\n"
      "accept loop in the benchmark that reads 12 bytes, sends the 14-byte acknowledgement and\n"
      "closes; every rate is also given as a ratio to it. Static: one thread on epoll in the\n"
      "benchmark that sends every connection the listing's bytes, fetched once from the server,\n"
      "as the server would but with nothing else to do; list rates are given as a ratio to it.\n"
      "Each is measured with the same clients as the server's ack or list workload, in\n"
      "alternating rounds of about %s s, so that both see much the same machine.\n\n",
      options.clients, formatNumber(options.seconds).c_str(), formatNumber(kRound.count()).c_str());
  printTable(table);
  std::printf(
      "\nLatency runs from connect to the server's close. New host + shutdown: each client\n"
      "registers a host the server has not seen and then shuts it down, so that the registry\n"
      "keeps its size however long the workload runs; both requests count (a registry with no\n"
      "room for a host per client first loses that many preloaded hosts). The server list is\n"
      "%llu + %llu bytes per host. \"cut off\": still under way %.0f s after the workload's\n"
      "time was up. Start-up reads a server list just written, so from the page cache.\n"
      "Mixed: one acknowledgement client and one list client, each sending one request after\n"
      "another, first alone (quiet), then while a third client streams registrations one after\n"
      "another: refreshes of preloaded hosts (with none, of one host it adds) for %s s, then\n"
      "new hosts and their shutdowns, as above, for %s s. The same three clients against the\n"
      "baselines (acks and the stream to the baseline, the list client to the static server)\n"
      "give the \"base\" and \"static\" latencies and the stream's baseline rate, in alternating\n"
      "rounds with the quiet phase. Commits, snapshots and the time from a change's\n"
      "acknowledgement to the commit that made it durable are what the server reports on its\n"
      "/metrics page (the latter as the bounds of its histogram's buckets). \"new hosts\n"
      "streaming\": the same two clients during the second part of the stream only.\n"
      "Loop ms: the processor time of the server's loop thread (its schedstat), one client\n"
      "sending rounds of a request and a list request, read whole; in alternating blocks of %d\n"
      "rounds the request is an ack request, or a new host's registration or its shutdown. Per\n"
      "new host or shutdown: what a changing round costs beyond an ack round, with a listing\n"
      "sent after each change. Per ack + listing: a quiet round.\n"
      "Peak VmHWM: the most since the stream began (marked * when it could not be reset, and so\n"
      "counts from the server's start).\n",
      static_cast<unsigned long long>(fileSize(0)),
      static_cast<unsigned long long>(kFileRecordSize), kDrainLimit.count(),
      formatNumber(options.seconds).c_str(), formatNumber(options.seconds).c_str(), kAbsorbBlock);
  std::fflush(stdout);
}

void runLoadTable(const Options& options, const fs::path& base) {
  std::vector<Column> columns;
  std::optional<std::uint64_t> emptyResidentKiB;
  for (std::uint32_t hosts : options.hosts) {
    columns.push_back(measureRegistry(options, base, hosts));
    if (hosts == 0 && !emptyResidentKiB) emptyResidentKiB = columns.back().residentKiB;
  }
  if (!emptyResidentKiB) {
    const fs::path dir = base / "empty";
    fs::create_directory(dir);
    RunningServer empty(options, dir, {});
    emptyResidentKiB = empty.residentKiB;
  }
  printLoadTable(options, columns, *emptyResidentKiB);
}

// The load figures of options.against and options.server, each started afresh for every size in
// options.rounds rounds that alternate the two, so that both see much the same machine however
// its load drifts; prints each figure's median over the rounds for both, and the ratio of the
// server's to the other's.
void runComparison(const Options& options, const fs::path& base) {
  Options against = options;
  against.server = options.against;
  // [size][0]: against's columns, [size][1]: the server's.
  std::vector<std::array<std::vector<Column>, 2>> runs(options.hosts.size());
  for (unsigned round = 0; round < options.rounds; ++round) {
    for (std::size_t size = 0; size < options.hosts.size(); ++size) {
      for (int which = 0; which < 2; ++which) {
        progress("round " + std::to_string(round + 1) + " of " + std::to_string(options.rounds) +
                 ", " + (which == 0 ? options.against : options.server) + ":");
        runs[size][which].push_back(
            measureRegistry(which == 0 ? against : options, base, options.hosts[size], true));
      }
    }
  }
  std::vector<std::string> header{"median of " + std::to_string(options.rounds) + " rounds"};
  for (std::uint32_t hosts : options.hosts) {
    for (const char* name : {"A", "B", "B / A"}) {
      header.push_back(std::to_string(hosts) + " hosts: " + name);
    }
  }
  TextTable table(header);
  const auto row = [&](const std::string& label, auto figure) {
    std::vector<std::string> cells{label};
    for (const auto& sizes : runs) {
      // The ratio of each round's B to the A just before it, so that a drift of the machine's load
      // over the rounds cancels out.
      std::vector<double> values[2], ratios;
      for (std::size_t round = 0; round < sizes[0].size(); ++round) {
        for (int which = 0; which < 2; ++which) values[which].push_back(figure(sizes[which][round]));
        if (values[0].back() > 0) ratios.push_back(values[1].back() / values[0].back());
      }
      cells.push_back(formatNumber(median(values[0])));
      cells.push_back(formatNumber(median(values[1])));
      cells.push_back(ratios.empty() ? std::string("-") : formatRatio(median(ratios)));
    }
    table.addRow(std::move(cells));
  };
  const auto rate = [](const std::optional<WorkloadResult>& result) {
    return result ? result->rate() : 0.0;
  };
  row("ack req/s", [](const Column& c) { return c.ack.rate(); });
  row("list req/s", [](const Column& c) { return c.list.rate(); });
  row("new host + shutdown req/s", [&](const Column& c) { return rate(c.fresh); });
  row("refresh host req/s", [&](const Column& c) { return rate(c.refresh); });
  row("baseline ack req/s", [](const Column& c) { return c.baseline.rate(); });
  row("static listing req/s", [](const Column& c) { return c.staticList.rate(); });
  // A reference run that answered nothing gives no ratio (0, left out of the medians' ratios).
  const auto per = [](double figure, double reference) {
    return reference > 0 ? figure / reference : 0.0;
  };
  row("ack x baseline", [&](const Column& c) { return per(c.ack.rate(), c.baseline.rate()); });
  row("list x static", [&](const Column& c) { return per(c.list.rate(), c.staticList.rate()); });
  row("new host + shutdown x baseline",
      [&](const Column& c) { return per(rate(c.fresh), c.baseline.rate()); });
  row("refresh host x baseline",
      [&](const Column& c) { return per(rate(c.refresh), c.baseline.rate()); });
  row("ack p99 ms", [](const Column& c) { return c.ack.latency.p99; });
  row("list p99 ms", [](const Column& c) { return c.list.latency.p99; });
  std::printf(
      "\nA: %s\nB: %s\nEach started afresh for every size, in %u rounds alternating A, B, A, B...;\n"
      "%u client threads, %s s per workload, the workloads and baselines of the load table. A and B:\n"
      "the medians of the rounds' figures; B / A: the median of each round's B over its A.\n\n",
      options.against.c_str(), options.server.c_str(), options.rounds, options.clients,
      formatNumber(options.seconds).c_str());
  printTable(table);
}

void runHostile(const Options& options, const fs::path& base) {
  const fs::path dir = base / "hostile";
  fs::create_directory(dir);
  HostFactory factory(1, kHostileMotdCharacters);
  std::vector<Host> hosts;
  for (std::uint32_t i = 0; i < kHostileHosts; ++i) hosts.push_back(factory.next(nowSeconds()));
  const std::uint64_t listingBytes = listingSize(hosts);
  progress("hostile run: " + std::to_string(kHostileHosts) + " hosts, " +
           std::to_string(options.hostile) + " hostile peers");
  RunningServer server(options, dir, hosts);
  hosts.clear();

  const Seconds budget = std::min(Seconds(options.seconds), kHostileBudget);
  const auto goodClient = [&](Expectation expect, MessageType type) {
    Workload one = makeWorkload(options, kListenPort, expect, {buildRequest(type)}, budget);
    one.drainLimit = kHostileBudget;
    return one;
  };
  const Workload list = goodClient(listingOf(kHostileHosts), MessageType::ListRequest);
  const Workload acks = goodClient({Expectation::Kind::Ack}, MessageType::AckRequest);
  const WorkloadResult quietList = measure("list, no hostile peers", list);
  const WorkloadResult quietAck = measure("ack, no hostile peers", acks);

  const std::size_t errBefore = server.process.err().size();
  const auto arrival = Clock::now();
  std::optional<HostilePeers> peers;
  peers.emplace(options.hostile, kListenPort);
  // Let the server accept them all and fill the not-reading peers' buffers (some 3 MiB each, a
  // burst of copying that is part of their arrival, not of holding them); once it has answered
  // an acknowledgement request after that, it is done.
  std::this_thread::sleep_for(500ms);
  settle();
  const Seconds arrived = Clock::now() - arrival;
  const auto [leastTaken, mostTaken] = peers->listingBytesReceived();
  const WorkloadResult hostileList = measure("list, hostile peers held", list);
  const WorkloadResult hostileAck = measure("ack, hostile peers held", acks);
  const HostilePeers::Census census = peers->census();
  const unsigned sources = peers->sourceCount();
  // What the server reported while they were held (it reports each one as it closes, later).
  const std::string reported = server.process.err().substr(errBefore);
  peers.reset();

  TextTable table({"good client, 127.0.0.1", "requests", "req/s", "p50 ms", "p99 ms", "max ms"});
  const auto row = [&](const std::string& label, const WorkloadResult& result) {
    table.addRow({label, countCell(result), formatNumber(result.rate()),
                  formatNumber(result.latency.p50), formatNumber(result.latency.p99),
                  formatNumber(result.latency.max)});
  };
  row("list, no hostile peers", quietList);
  row("list, hostile peers held", hostileList);
  row("ack, no hostile peers", quietAck);
  row("ack, hostile peers held", hostileAck);

  const auto& n = census.peers;
  const std::string sourceRange =
      "127.0.0.2" + (sources > 1 ? " to 127.0.0." + std::to_string(1 + sources) : std::string());
  const std::string taken = leastTaken == mostTaken
                                ? formatBytes(static_cast<double>(leastTaken))
                                : formatBytes(static_cast<double>(leastTaken)) + " to " +
                                      formatBytes(static_cast<double>(mostTaken));
  std::printf(
      "\nHostile peers: %u from %s, at most %u per address:\n"
      "  %u silent, %u trickling a byte every 100 ms, %u sending only the header of a 1 MiB\n"
      "  registration, %u asking for the listing and never reading it (each took %s of it).\n"
      "Registry: %u hosts with a %zu-character message of the day each; listing %s.\n"
      "Connecting the peers and the server's taking them in (a 500 ms pause, then until it\n"
      "answered an acknowledgement request) took %s ms before the measurement.\n"
      "%u client threads, %s s per workload.\n\n",
      options.hostile, sourceRange.c_str(), kPeersPerSource, n[0], n[1], n[2], n[3], taken.c_str(),
      kHostileHosts, kHostileMotdCharacters, formatBytes(static_cast<double>(listingBytes)).c_str(),
      formatNumber(arrived.count() * 1000).c_str(), options.clients,
      formatNumber(budget.count()).c_str());
  printTable(table);
  const char* kinds[] = {"silent", "trickling", "big-body", "not reading"};
  std::printf("\nHeld open by the server process at the end (established on its side):\n ");
  for (std::size_t kind = 0; kind < HostilePeers::kKinds; ++kind) {
    std::printf("%s %u of %u %s", kind == 0 ? "" : ",", census.heldByServer[kind], n[kind],
                kinds[kind]);
  }
  std::printf(".\n");
  if (!reported.empty())
    std::printf("The server reported while they were held:\n%s", reported.c_str());
  std::fflush(stdout);
}

int run(const Options& options) {
  if (::access(options.server.c_str(), X_OK) != 0) {
    throw std::runtime_error("cannot run the server " + options.server + ": " +
                             std::strerror(errno));
  }
  std::string why;
  if (!port6001Free(why)) {
    throw std::runtime_error(
        "port 6001 is in use (" + why +
        "): another dirserver or the end-to-end tests are running. Run the benchmark as\n"
        "  flock /tmp/dirserver-port6001.lock dirserver-bench ...\n"
        "so that it waits for them.");
  }
  raiseDescriptorLimit();
  TemporaryDirectory temp;
  std::printf("dirserver-bench: server %s\n", options.server.c_str());
  std::printf("machine: %u cores, load average %s; files in %s (%s)\n",
              std::thread::hardware_concurrency(), loadAverage().c_str(), temp.path().c_str(),
              fileSystemType(temp.path()).c_str());
  std::fflush(stdout);
  // A save writes a whole second copy of the file before it replaces the first.
  const std::uint32_t most =
      options.hosts.empty() ? 0 : *std::max_element(options.hosts.begin(), options.hosts.end());
  const std::uint64_t needed = 2 * fileSize(most);
  if (const fs::space_info space = fs::space(temp.path()); space.available < needed) {
    throw std::runtime_error(
        "the server list of " + std::to_string(most) + " hosts and its saves need " +
        formatBytes(static_cast<double>(needed)) + " in " + temp.path().string() + ", which has " +
        formatBytes(static_cast<double>(space.available)) + " free; set TMPDIR to a larger disk");
  }
  if (!options.hosts.empty() && !options.against.empty()) {
    runComparison(options, temp.path());
  } else if (!options.hosts.empty()) {
    runLoadTable(options, temp.path());
  }
  if (options.hostile > 0) runHostile(options, temp.path());
  if (options.httpLoadHosts > 0) runHttpLoad(options, temp.path());
  if (options.limits > 0) runLimits({options.server, temp.path(), options.limits});
  if (options.hostBytes > 0) runHostBytes({options.server, temp.path(), options.hostBytes});
  if (!options.heartbeat.empty()) {
    if (options.heartbeatSeconds > 0) runHeartbeat(options, temp.path());
    runSnapshotPacing(options, temp.path());
    if (options.heartbeatSeconds > 0) runRefreshFlood(options, temp.path());
  }
  if (options.kills > 0) runKillTest(options, temp.path());
  if (options.banReloads > 0) runBanReloads({options.server, temp.path(), options.banReloads});
  if (options.balancerSeconds > 0) {
    runBalancer({options.server, temp.path(), options.balancerSeconds, options.clients});
  }
  std::printf("\nload average at the end: %s\n", loadAverage().c_str());
  return 0;
}

}  // namespace
}  // namespace dirserver::bench

int main(int argc, char** argv) {
  using namespace dirserver::bench;
  // --cluster N is the cluster benchmark, a program of its own (it starts NATS servers and puts
  // nodes in network namespaces); it takes the same command line.
  if (argc > 1 && std::string_view(argv[1]) == "--cluster") {
    ::execv(DIRSERVER_CLUSTER_BENCH, argv);
    std::fprintf(stderr, "dirserver-bench: cannot run %s (built when nats-server is installed): %s\n",
                 DIRSERVER_CLUSTER_BENCH, std::strerror(errno));
    return 2;
  }
  installCleanupOnSignals();
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParsedOptions parsed = parseOptions(args, DIRSERVER_BINARY);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "dirserver-bench: %s (see --help)\n", parsed.error.c_str());
    return 2;
  }
  if (parsed.options.help) {
    std::fputs(usage(DIRSERVER_BINARY).c_str(), stdout);
    return 0;
  }
  try {
    return run(parsed.options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "dirserver-bench: %s\n", error.what());
    return 1;
  }
}

// dirserver-bench: starts the real server on port 6001 with registries of several sizes, drives it
// from loopback clients and prints what it sustains, how fast it answers, how much memory it holds
// and how long it takes to start; with --hostile, also how a good client fares while hostile peers
// hold connections open.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hostile.h"
#include "hosts.h"
#include "http_load.h"
#include "listing/list_reply.h"
#include "load.h"
#include "net/listener.h"
#include "protocol/message.h"
#include "options.h"
#include "process.h"
#include "registry/server_list_file.h"
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

void progress(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

std::int32_t nowSeconds() {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::time(nullptr)));
}

// The size of a server list file of `hosts` hosts.
std::uint64_t fileSize(std::uint64_t hosts) {
  return kServerTypeCount * kFileCountSize + kFileRecordSize * hosts;
}

// The most new hosts one registration workload adds: each one grows the registry for the next.
std::uint32_t newHostCap(std::uint32_t hosts) { return std::max<std::uint32_t>(100, hosts / 10); }

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

// What the listing of `hosts` hosts looks like: its count covers the directory entries too.
Expectation listingOf(std::uint32_t hosts) {
  return {Expectation::Kind::Listing, static_cast<std::uint16_t>(hosts + kDirectoryEntryCount)};
}

// Waits until the server has worked through what earlier workloads left queued: it answers
// requests in turn, so an answered acknowledgement request means they are done.
void settle() {
  Workload workload;
  workload.port = kListenPort;
  workload.requests = {request(MessageType::AckRequest)};
  workload.once = true;
  workload.budget = 1s;
  workload.drainLimit = 300s;
  const WorkloadResult result = runWorkload(workload);
  if (result.completed != 1) {
    throw std::runtime_error("the server stopped answering: " + result.firstError);
  }
}

WorkloadResult measure(const std::string& what, const Workload& workload) {
  const WorkloadResult result = runWorkload(workload);
  progress("  " + what + ": " + std::to_string(result.completed) + " answered, " +
           std::to_string(result.failed) + " failed, " + std::to_string(result.unfinished) +
           " unfinished in " + formatNumber(result.seconds) + " s" +
           (result.firstError.empty() ? "" : " (" + result.firstError + ")"));
  if (workload.port == kListenPort) settle();
  return result;
}

// A server started on a directory, after `hosts` were written to its server list file; checks
// that it loaded them all.
struct RunningServer {
  RunningServer(const Options& options, const fs::path& dir, std::span<const Host> hosts)
      : process(prepare(options, dir, hosts), dir) {
    startUp = process.waitUntilServing(kStartLimit);
    const std::string loaded = "- loaded " + std::to_string(hosts.size()) + " servers\n";
    if (process.out().find(loaded) == std::string::npos) {
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

struct Column {
  std::uint32_t hosts = 0;
  std::uint64_t listingBytes = 0;
  Seconds startUp{};
  std::uint64_t residentKiB = 0;
  std::uint64_t residentAfterKiB = 0;
  WorkloadResult baseline, list, ack, fresh;
  std::optional<WorkloadResult> refresh;
};

// The acknowledgement workload against the baseline server.
WorkloadResult measureBaseline(const Options& options) {
  BaselineServer server;
  return measure("baseline ack",
                 makeWorkload(options, server.port(), {Expectation::Kind::Ack},
                              {request(MessageType::AckRequest)}, Seconds(options.seconds)));
}

Column measureRegistry(const Options& options, const fs::path& base, std::uint32_t hostCount) {
  Column column;
  column.hosts = hostCount;
  const fs::path dir = base / ("hosts-" + std::to_string(hostCount));
  fs::create_directory(dir);

  HostFactory factory;
  const std::int32_t now = nowSeconds();
  std::vector<Host> hosts;
  hosts.reserve(hostCount);
  for (std::uint32_t i = 0; i < hostCount; ++i) hosts.push_back(factory.next(now));
  std::vector<Bytes> refreshes;
  refreshes.reserve(hosts.size());
  for (const Host& host : hosts) refreshes.push_back(registrationRequest(host.record));
  std::vector<Bytes> newHosts;
  for (std::uint32_t i = 0; i < newHostCap(hostCount); ++i) {
    newHosts.push_back(registrationRequest(factory.next(now).record));
  }
  column.listingBytes = listingSize(hosts);

  progress(std::to_string(hostCount) + " hosts: writing " +
           formatBytes(static_cast<double>(fileSize(hostCount))) +
           " of server list and starting the server");
  {
    RunningServer server(options, dir, hosts);
    hosts.clear();
    hosts.shrink_to_fit();
    column.startUp = server.startUp;
    column.residentKiB = server.residentKiB;
    progress("  serving after " + formatNumber(server.startUp.count() * 1000) + " ms, " +
             formatBytes(server.residentKiB * 1024.0) + " resident");
    const Seconds budget{options.seconds};
    const auto ack = Expectation{Expectation::Kind::Ack};
    column.list = measure("list", makeWorkload(options, kListenPort, listingOf(hostCount),
                                               {request(MessageType::ListRequest)}, budget));
    column.ack = measure(
        "ack", makeWorkload(options, kListenPort, ack, {request(MessageType::AckRequest)}, budget));
    // Right after the server's own, so that both see much the same machine.
    column.baseline = measureBaseline(options);
    if (!refreshes.empty()) {
      column.refresh = measure("refresh registration", makeWorkload(options, kListenPort, ack,
                                                                    std::move(refreshes), budget));
    }
    Workload fresh = makeWorkload(options, kListenPort, ack, std::move(newHosts), budget);
    fresh.once = true;
    column.fresh = measure("new-host registration", fresh);
    column.residentAfterKiB = server.process.residentKiB();
    reportServerErrors(server.process, "under load");
  }
  fs::remove_all(dir);
  return column;
}

std::string rateCell(const WorkloadResult& result, const WorkloadResult& baseline) {
  return formatNumber(result.rate()) + " (" +
         formatRatio(baseline.rate() > 0 ? result.rate() / baseline.rate() : 0) + ")";
}

std::string latencyCell(const WorkloadResult& result) {
  if (result.completed == 0) return "-";
  return formatNumber(result.latency.p50) + " / " + formatNumber(result.latency.p99);
}

std::string countCell(const WorkloadResult& result) {
  std::string cell = std::to_string(result.completed);
  if (result.failed > 0) cell += ", " + std::to_string(result.failed) + " failed";
  if (result.unfinished > 0) cell += ", " + std::to_string(result.unfinished) + " cut off";
  return cell;
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
  const auto workloadRows = [&](const std::string& name, auto pick) {
    row(name + " req/s (x baseline)", [&](const Column& c) {
      const WorkloadResult* result = pick(c);
      return result == nullptr ? std::string("-") : rateCell(*result, c.baseline);
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
  workloadRows("list", [](const Column& c) { return &c.list; });
  workloadRows("register new host", [](const Column& c) { return &c.fresh; });
  workloadRows("refresh host", [](const Column& c) {
    return c.refresh ? &*c.refresh : static_cast<const WorkloadResult*>(nullptr);
  });
  workloadRows("ack", [](const Column& c) { return &c.ack; });
  row("baseline ack req/s", [](const Column& c) { return formatNumber(c.baseline.rate()); });
  row("baseline ack p50 / p99 ms", [](const Column& c) { return latencyCell(c.baseline); });
  row("resident after the workloads",
      [](const Column& c) { return formatBytes(c.residentAfterKiB * 1024.0); });

  std::printf(
      "\n%u client threads, %s s per workload, one request per connection. Baseline: a blocking\n"
      "accept loop in the benchmark that reads 12 bytes, sends the 14-byte acknowledgement and\n"
      "closes, measured with the same clients right after the server's ack workload; every rate\n"
      "is also given as a ratio to it.\n\n",
      options.clients, formatNumber(options.seconds).c_str());
  std::fputs(table.render().c_str(), stdout);
  std::printf(
      "\nLatency runs from connect to the server's close. A new-host registration adds a host, at\n"
      "most max(100, hosts/10) of them per column; every registration rewrites the whole server\n"
      "list (%llu + %llu bytes per host) and syncs it to disk. \"cut off\": still under way %.0f "
      "s\n"
      "after the workload's time was up. Start-up reads a server list just written, so from the\n"
      "page cache.\n",
      static_cast<unsigned long long>(fileSize(0)),
      static_cast<unsigned long long>(kFileRecordSize), kDrainLimit.count());
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
    Workload one = makeWorkload(options, kListenPort, expect, {request(type)}, budget);
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
  std::fputs(table.render().c_str(), stdout);
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
  if (!options.hosts.empty()) runLoadTable(options, temp.path());
  if (options.hostile > 0) runHostile(options, temp.path());
  if (options.httpLoadHosts > 0) runHttpLoad(options, temp.path());
  std::printf("\nload average at the end: %s\n", loadAverage().c_str());
  return 0;
}

}  // namespace
}  // namespace dirserver::bench

int main(int argc, char** argv) {
  using namespace dirserver::bench;
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

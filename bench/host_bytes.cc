#include "host_bytes.h"

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "hostile.h"
#include "hosts.h"
#include "http_load.h"
#include "listing/list_reply.h"
#include "load.h"
#include "proc_stats.h"
#include "process.h"
#include "registry/server_key.h"
#include "registry/server_registry.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint64_t kResidentGoalKiB = 512 * 1024;
// A server past this is stopped at once: the figure is then "over" it, and the machine is spared.
constexpr std::uint64_t kResidentAbortKiB = 4 * 1024 * 1024;
constexpr unsigned kHttpReaders = 4;
constexpr int kNonReaderBuffer = 4096;
constexpr auto kPeerInterval = 100ms;
constexpr auto kHoldAfterLastPeer = 5s;
constexpr std::size_t kHostBytes = kFieldCount * kFieldCapacity;
// As many such hosts as the default bound admits; one of them is the stream's.
constexpr std::uint32_t kHostsAtTheBound =
    static_cast<std::uint32_t>(kDefaultMaxHostBytes / kHostBytes);

// A host whose seven fields each hold 2048 code units, the most a field stores. The first is its
// type's path, U+0000 and filler (a registration's path is matched up to its first U+0000, so
// the host may register itself); the filler is letters, or the characters JSON writes as escapes
// of six bytes (the control characters) or two (quote, backslash). The first two units of field 1
// carry `number`, so that every host has a key of its own.
Host largestHost(std::uint32_t number, bool escapes) {
  Host host;
  host.type = kServerTypes[number % kServerTypeCount];
  host.record.registrationTime = nowSeconds();
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    Bytes& data = host.record.fields[i].data;
    std::size_t unit = 0;
    const auto put = [&](std::uint16_t value) {
      putU16(data, value);
      ++unit;
    };
    if (i == kPathField) {
      for (char c : kServerTypePaths[index(host.type)]) put(static_cast<std::uint8_t>(c));
      put(0);
    } else if (i == 1) {
      put(static_cast<std::uint16_t>(0x4E00 + (number & 0xFFF)));
      put(static_cast<std::uint16_t>(0x4E00 + (number >> 12)));
    }
    while (unit < kFieldCapacity / 2) {
      const std::size_t at = unit;
      put(escapes ? (at % 33 < 31 ? static_cast<std::uint16_t>(1 + at % 33)
                                  : (at % 33 == 31 ? u'"' : u'\\'))
                  : static_cast<std::uint16_t>('a' + at % 26));
    }
  }
  host.key = computeServerKey(host.record.fields);
  return host;
}

struct Variant {
  const char* name = "";
  std::uint32_t hosts = 0;
  std::uint64_t listingBytes = 0;
  std::uint64_t jsonBytes = 0;  // the largest /servers.json read
  std::uint64_t residentAfterLoadKiB = 0;
  std::uint64_t peakKiB = 0;
  bool peakReset = false;
  bool aborted = false;  // stopped past kResidentAbortKiB
  std::uint64_t changes = 0;
  std::uint64_t changeFailures = 0;
  std::uint64_t jsonReads = 0;
  std::uint64_t jsonFailures = 0;
  unsigned nonReaders = 0;
  bool refusedPastTheBound = false;
  bool refusedAcknowledged = false;
  double seconds = 0;
};

bool acknowledged(const Bytes& answer) {
  return answer == Bytes(kAckMessage.begin(), kAckMessage.end());
}

Variant runVariant(const HostBytesRun& run, bool escapes) {
  Variant variant;
  variant.name = escapes ? "text JSON must escape" : "plain text";
  variant.hosts = kHostsAtTheBound;
  std::vector<Host> hosts;
  for (std::uint32_t i = 0; i + 1 < kHostsAtTheBound; ++i) hosts.push_back(largestHost(i, escapes));
  const Host streamed = largestHost(kHostsAtTheBound - 1, escapes);
  const Host pastTheBound = largestHost(kHostsAtTheBound, escapes);
  variant.listingBytes = listingSize(hosts) + serverEntrySize(streamed.record);
  progress(std::string("host bytes, ") + variant.name + ": " + std::to_string(hosts.size()) +
           " hosts of " + formatBytes(kHostBytes) + " of strings each");

  const fs::path dir = run.base / (escapes ? "host-bytes-escapes" : "host-bytes-plain");
  fs::create_directory(dir);
  writeServerListFile(dir / "server_list.dat", hosts);
  hosts.clear();
  hosts.shrink_to_fit();
  const std::uint16_t httpPort = freePort();
  ServerProcess server(run.server, dir, {"--http", "127.0.0.1:" + std::to_string(httpPort)});
  server.waitUntilServing(300s);
  variant.residentAfterLoadKiB = server.residentKiB();
  variant.peakReset = resetPeakResident(server.pid());

  std::atomic<bool> stop{false};        // ends the readers, the guard and the peers
  std::atomic<bool> stopStream{false};  // ends the stream
  std::atomic<bool> aborted{false};     // the guard stopped the server
  const pid_t pid = server.pid();
  const auto began = Clock::now();
  // The stream: the one host that fills the bound, registered and shut down in turn.
  std::thread stream([&] {
    const Bytes requests[] = {registrationRequest(streamed.record),
                              shutdownRequest(streamed.record)};
    for (std::size_t i = 0; !stopStream; ++i) {
      std::string error;
      const Bytes answer = fetch(kListenPort, requests[i % 2], Clock::now() + 30s, error);
      ++(acknowledged(answer) ? variant.changes : variant.changeFailures);
    }
  });
  std::mutex jsonMutex;
  std::vector<std::thread> readers;
  for (unsigned r = 0; r < kHttpReaders; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        std::uint64_t bytes = 0;
        std::string error;
        const int status = httpGet(httpPort, "/servers.json", Clock::now() + 120s, bytes, error);
        const std::lock_guard lock(jsonMutex);
        ++(status == 200 ? variant.jsonReads : variant.jsonFailures);
        if (status == 200) variant.jsonBytes = std::max(variant.jsonBytes, bytes);
      }
    });
  }
  // Stops the server early, keeping the machine usable, when it grows past any reason.
  std::thread guard([&] {
    while (!stop) {
      const Resident resident = residentOf(pid);
      if (resident.now > kResidentAbortKiB) {
        variant.peakKiB = resident.peak;
        aborted = true;
        ::kill(pid, SIGKILL);
        return;
      }
      std::this_thread::sleep_for(50ms);
    }
  });
  // Peers that ask for the listing and never read it, one every kPeerInterval: with the stream
  // running, most pin a version of their own.
  std::vector<Socket> peers;
  std::string peerError;
  const Bytes ask = buildRequest(MessageType::ListRequest);
  for (unsigned i = 0; i < run.nonReaders && !aborted; ++i) {
    Socket peer = connectLoopback(kListenPort, Clock::now() + 5s, peerError,
                                  loopbackAddress(1 + i / kPeersPerSource), kNonReaderBuffer);
    if (!peer.valid() || !sendAll(peer.fd(), ask, Clock::now() + 5s, peerError)) break;
    peerError.clear();
    peers.push_back(std::move(peer));
    ++variant.nonReaders;
    std::this_thread::sleep_for(kPeerInterval);
  }
  for (auto until = Clock::now() + kHoldAfterLastPeer; !aborted && Clock::now() < until;) {
    std::this_thread::sleep_for(50ms);
  }
  stopStream = true;
  stream.join();
  if (!aborted && peerError.empty()) {
    // One more host, past the bound once the streamed one is registered.
    std::string error;
    fetch(kListenPort, registrationRequest(streamed.record), Clock::now() + 30s, error);
    const Bytes answer =
        fetch(kListenPort, registrationRequest(pastTheBound.record), Clock::now() + 30s, error);
    variant.refusedAcknowledged = acknowledged(answer);
    variant.refusedPastTheBound =
        server.err().find("+error: server list has no room for this server's strings") !=
        std::string::npos;
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  guard.join();
  variant.aborted = aborted;
  if (!variant.aborted) variant.peakKiB = residentOf(pid).peak;
  variant.seconds = Seconds(Clock::now() - began).count();
  peers.clear();
  server.kill();
  fs::remove_all(dir);
  if (!peerError.empty()) throw std::runtime_error("a peer that does not read: " + peerError);
  progress("  peak resident " + formatBytes(variant.peakKiB * 1024.0) + ", " +
           std::to_string(variant.changes) + " changes, " + std::to_string(variant.jsonReads) +
           " JSON reads");
  return variant;
}

}  // namespace

void runHostBytes(const HostBytesRun& run) {
  const Variant variants[] = {runVariant(run, false), runVariant(run, true)};
  TextTable table({"hosts' strings at the bound", variants[0].name, variants[1].name, "goal"});
  const auto row = [&](const std::string& label, auto cell, const std::string& goal = "") {
    table.addRow({label, cell(variants[0]), cell(variants[1]), goal});
  };
  row("hosts (7 fields of 4096 bytes each)",
      [](const Variant& v) { return std::to_string(v.hosts); });
  row("listing", [](const Variant& v) { return formatBytes(static_cast<double>(v.listingBytes)); });
  row("/servers.json",
      [](const Variant& v) { return formatBytes(static_cast<double>(v.jsonBytes)); });
  row("server resident after load",
      [](const Variant& v) { return formatBytes(v.residentAfterLoadKiB * 1024.0); });
  row("changes acknowledged (failed)", [](const Variant& v) {
    return std::to_string(v.changes) + " (" + std::to_string(v.changeFailures) + ")";
  });
  row("/servers.json read whole (failed)", [](const Variant& v) {
    return std::to_string(v.jsonReads) + " (" + std::to_string(v.jsonFailures) + ")";
  });
  row("peers not reading the listing",
      [](const Variant& v) { return std::to_string(v.nonReaders); });
  row(
      "a new host past the bound",
      [](const Variant& v) {
        if (v.aborted) return std::string("-");
        return std::string(v.refusedPastTheBound ? "refused" : "admitted") +
               (v.refusedAcknowledged ? ", acknowledged" : ", not acknowledged");
      },
      "refused, acknowledged");
  row(
      "server resident, peak",
      [](const Variant& v) {
        std::string cell = formatBytes(v.peakKiB * 1024.0) + (v.peakReset ? "" : "*");
        if (v.aborted) cell = "over " + formatBytes(kResidentAbortKiB * 1024.0) + ", stopped";
        return cell;
      },
      "<= 512 MiB");
  row("met", [](const Variant& v) {
    return std::string(!v.aborted && v.peakKiB <= kResidentGoalKiB ? "yes" : "no");
  });
  row("seconds", [](const Variant& v) { return formatNumber(v.seconds); });
  std::printf(
      "\nHosts' strings at the bound: the server with its default bound on the hosts' strings\n"
      "(%s) and --http, preloaded with hosts whose seven fields each hold 2048 code units, as\n"
      "many as the bound admits but one; that one is registered and shut down in turn by a\n"
      "stream from 127.0.0.1 while %u HTTP clients read /servers.json whole, one request after\n"
      "another, and %u peers ask for the listing one every %lld ms and never read it (a %d-byte\n"
      "receive buffer). %lld s after the last peer, a host past the bound is registered. Peak:\n"
      "VmHWM since the server had loaded its file (* when it could not be reset).\n\n",
      formatBytes(static_cast<double>(kDefaultMaxHostBytes)).c_str(), kHttpReaders, run.nonReaders,
      static_cast<long long>(kPeerInterval.count()), kNonReaderBuffer,
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::seconds>(kHoldAfterLastPeer).count()));
  printTable(table);
  std::fflush(stdout);
}

}  // namespace dirserver::bench

#include "peer_limits.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "client/list_reply_decoder.h"
#include "hostile.h"
#include "hosts.h"
#include "listing/list_reply.h"
#include "load.h"
#include "net/listener.h"
#include "proc_stats.h"
#include "process.h"
#include "protocol/message.h"
#include "registry/server_registry.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The server's bounds that the goals are about (README, "Limits").
constexpr std::uint64_t kResidentGoalKiB = 256 * 1024;
constexpr std::size_t kServerSlots = 4096;
constexpr Seconds kSlotsGoal{2};
constexpr Seconds kServerStepTimeout{30};

// Answers: a registry of realistic hosts, whose listing (some 1.9 MiB) is far larger than what
// the kernel takes of it for a peer with a small receive buffer, so the rest stays with the server.
constexpr std::uint32_t kAnswersHosts = 10000;
constexpr int kNonReaderBuffer = 4096;
// The toggling host registers and shuts down from an address of its own.
const std::uint32_t kTogglerSource = loopbackAddress(199);  // 127.0.0.200
constexpr auto kSampleInterval = 100ms;
constexpr auto kHoldAfterLastPeer = 3s;
constexpr auto kQuietListing = 2s;
// Twice the server's cap on stalled readers (512 send buffers): peers that all read the current
// listing pin no memory of the server's, only the kernel's send buffers.
constexpr unsigned kSharingReaders = 1024;
// The number of such peers that took a machine's TCP memory to its limit before the server had
// its caps: 60 addresses x 64 connections. The benchmark does not open that many on a shared
// machine; it projects the kernel memory the wave of kSharingReaders took per peer.
constexpr unsigned kProjectedReaders = 3840;

// Slots: 80 addresses holding 64 silent connections each, more than the server's slots.
constexpr unsigned kSilentSources = 80;
constexpr unsigned kSilentPerSource = 64;
constexpr std::uint32_t kSlotsHosts = 100;
constexpr unsigned kGoodRequests = 20;

// The registration flood: one address, host after host, while others register a few each.
constexpr std::uint32_t kFloodPreloaded = 100;
constexpr unsigned kFloodHosts = 1000;
constexpr unsigned kFloodClients = 4;
constexpr unsigned kOtherSources = 10;
constexpr unsigned kOtherHostsEach = 5;
const std::uint32_t kFloodSource = loopbackAddress(1);     // 127.0.0.2
const std::uint32_t kStrangerSource = loopbackAddress(2);  // 127.0.0.3
const std::uint32_t kFirstOtherSource = loopbackAddress(9);

std::string addressText(std::uint32_t hostOrder) {
  return std::to_string(hostOrder >> 24) + "." + std::to_string((hostOrder >> 16) & 0xff) + "." +
         std::to_string((hostOrder >> 8) & 0xff) + "." + std::to_string(hostOrder & 0xff);
}

std::string mib(std::uint64_t kib) { return formatBytes(static_cast<double>(kib) * 1024); }

// A server started in `dir` with `hosts` in its server list file, checked to have loaded them.
class LimitsServer {
 public:
  LimitsServer(const std::string& executable, const fs::path& dir, std::span<const Host> hosts)
      : process_(prepare(executable, dir, hosts), dir) {
    process_.waitUntilServing(std::chrono::seconds(300));
    if (!process_.waitOut("- loaded " + std::to_string(hosts.size()) + " servers\n",
                          std::chrono::seconds(5))) {
      throw std::runtime_error("the server did not load its " + std::to_string(hosts.size()) +
                               " hosts: " + process_.out() + process_.err());
    }
  }

  // Makes the directory and its file, which must be there before the process starts.
  static const std::string& prepare(const std::string& executable, const fs::path& dir,
                                    std::span<const Host> hosts) {
    fs::create_directory(dir);
    writeServerListFile(dir / "server_list.dat", hosts);
    return executable;
  }

  ServerProcess& process() { return process_; }
  std::string status() const {
    return readProcFile("/proc/" + std::to_string(process_.pid()) + "/status");
  }
  std::uint64_t kib(std::string_view field) const { return statusKiB(status(), field).value_or(0); }

 private:
  ServerProcess process_;
};

// One request from `source` (host order, 0 for 127.0.0.1) on a connection of its own, read until
// the server closes. Returns the answer's bytes; on failure sets `error`.
Bytes exchange(ByteView requestBytes, std::uint32_t source, std::string& error,
               Clock::duration patience = 10s) {
  return fetch(kListenPort, requestBytes, Clock::now() + patience, error, source);
}

// Sends a registration or shutdown from `source` and checks its acknowledgement.
void expectAck(ByteView requestBytes, std::uint32_t source) {
  std::string error;
  const Bytes answer = exchange(requestBytes, source, error);
  if (error.empty()) error = checkAnswer({Expectation::Kind::Ack}, answer, answer.size());
  if (!error.empty())
    throw std::runtime_error("a request from " + addressText(source) + ": " + error);
}

// Asks for the listing from 127.0.0.1; its latency in milliseconds, or the reason it failed: an
// answer other than a whole listing of one of the `hostCounts`.
struct GoodList {
  double milliseconds = 0;
  std::string error;
  Bytes listing;
};
GoodList goodList(std::span<const std::uint32_t> hostCounts) {
  GoodList result;
  const auto begin = Clock::now();
  result.listing = exchange(buildRequest(MessageType::ListRequest), 0, result.error);
  result.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  if (!result.error.empty()) return result;
  const ByteView head =
      ByteView(result.listing)
          .first(std::min<std::size_t>(kListReplyHeaderSize, result.listing.size()));
  for (std::uint32_t hosts : hostCounts) {
    const auto entries = static_cast<std::uint16_t>(hosts + kDirectoryEntryCount);
    const Expectation expect{Expectation::Kind::Listing, entries, entries};
    result.error = checkAnswer(expect, head, result.listing.size());
    if (result.error.empty()) break;
  }
  return result;
}

// The server's side of every connection to port 6001, by the peer's address and port (both as
// /proc/net/tcp gives them), and how many connections wait in its listening queue.
struct ServerSide {
  std::map<std::pair<std::uint32_t, std::uint16_t>, unsigned> states;
  std::uint32_t acceptQueue = 0;
  std::size_t established() const {
    return static_cast<std::size_t>(std::count_if(
        states.begin(), states.end(), [](const auto& s) { return s.second == kTcpEstablished; }));
  }
};
ServerSide serverSide() {
  ServerSide side;
  for (const TcpSocket& socket : parseTcpTable(readProcFile("/proc/net/tcp"))) {
    if (socket.localPort != kListenPort) continue;
    if (socket.state == kTcpListen) {
      side.acceptQueue += socket.rxQueue;
    } else {
      side.states[{socket.remoteAddress, socket.remotePort}] = socket.state;
    }
  }
  return side;
}

// Waits until the server has accepted every connection made so far (at most `limit`).
void waitUntilAccepted(Clock::duration limit = 10s) {
  const auto deadline = Clock::now() + limit;
  while (serverSide().acceptQueue > 0 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(100ms);  // for those it accepts only to close or to make room
}

// A peer's connection and its own address and port, as /proc/net/tcp shows them.
struct Peer {
  Socket socket;
  std::uint32_t source = 0;  // host order
  std::pair<std::uint32_t, std::uint16_t> id;
};

Peer connectPeer(std::uint32_t source, int receiveBuffer) {
  Peer peer;
  peer.source = source;
  std::string error;
  peer.socket = connectLoopback(kListenPort, Clock::now() + 5s, error, source, receiveBuffer);
  if (!peer.socket.valid()) {
    throw std::runtime_error("a peer from " + addressText(source) + ": " + error);
  }
  const auto [address, port] = localEndpoint(peer.socket.fd());
  // As /proc/net/tcp shows it: the address in network byte order.
  peer.id = {htonl(address), port};
  return peer;
}

// Whether the peer has seen its connection end (end of stream, reset or error).
bool seesClosed(const Peer& peer) { return dirserver::seesClosed(peer.socket.fd()); }

// ---------------------------------------------------------------------------------------------
// Answers

// One wave of peers that never read, and what the server and the machine held meanwhile.
struct Wave {
  unsigned peers = 0;
  unsigned sources = 0;
  std::uint64_t peakKiB = 0;  // VmHWM since it was reset before the wave
  bool peakReset = false;
  std::vector<std::uint64_t> residentEverySecondKiB;
  std::uint64_t tcpBeforePages = 0;
  std::uint64_t tcpPeakPages = 0;
  std::uint64_t peakOrphans = 0;  // sockets closed by their process, still held by the kernel
  unsigned dropped = 0;
  Seconds span{};  // from the first peer to the count of dropped ones
  LatencySummary good;
  std::uint64_t goodFailures = 0;
  std::string firstFailure;
};

struct AnswersResult {
  std::uint64_t listingBytes = 0;
  std::uint64_t residentBeforeKiB = 0;
  std::optional<TcpMemLimits> tcpLimits;
  LatencySummary quiet;
  Wave toggling;  // each peer after a registry change, on a listing of its own
  Wave sharing;   // all on the current listing
};

// Samples the server's memory and the machine's TCP memory every kSampleInterval, from
// construction to destruction.
class MemorySampler {
 public:
  explicit MemorySampler(const LimitsServer& server)
      : thread_([this, &server] {
          const auto start = Clock::now();
          auto nextSecond = start;
          while (!stop_) {
            const std::string status = server.status();
            const std::string sockstat = readProcFile("/proc/net/sockstat");
            const auto tcp = sockstatTcpPages(sockstat).value_or(0);
            const auto orphans = sockstatTcp(sockstat, "orphan").value_or(0);
            {
              const std::lock_guard lock(mutex_);
              peakTcpPages_ = std::max(peakTcpPages_, tcp);
              peakOrphans_ = std::max(peakOrphans_, orphans);
              if (Clock::now() >= nextSecond) {
                residentEverySecondKiB_.push_back(statusKiB(status, "VmRSS").value_or(0));
                nextSecond += 1s;
              }
            }
            std::this_thread::sleep_for(kSampleInterval);
          }
        }) {}
  ~MemorySampler() {
    stop_ = true;
    thread_.join();
  }

  std::uint64_t peakTcpPages() {
    const std::lock_guard lock(mutex_);
    return peakTcpPages_;
  }
  std::uint64_t peakOrphans() {
    const std::lock_guard lock(mutex_);
    return peakOrphans_;
  }
  std::vector<std::uint64_t> residentEverySecondKiB() {
    const std::lock_guard lock(mutex_);
    return residentEverySecondKiB_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::uint64_t peakTcpPages_ = 0;
  std::uint64_t peakOrphans_ = 0;
  std::vector<std::uint64_t> residentEverySecondKiB_;
  std::thread thread_;
};

// Asks for the listing from 127.0.0.1, one request after another, until destruction.
class GoodListClient {
 public:
  explicit GoodListClient(std::vector<std::uint32_t> hostCounts)
      : counts_(std::move(hostCounts)), thread_([this] {
          while (!stop_) {
            GoodList answer = goodList(counts_);
            const std::lock_guard lock(mutex_);
            if (answer.error.empty()) {
              samples_.push_back(answer.milliseconds);
            } else {
              ++failures_;
              if (firstFailure_.empty()) firstFailure_ = answer.error;
            }
          }
        }) {}
  ~GoodListClient() { finish(); }

  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  LatencySummary latency() { return summarize(samples_); }
  std::uint64_t failures() const { return failures_; }
  const std::string& firstFailure() const { return firstFailure_; }

 private:
  std::vector<std::uint32_t> counts_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<double> samples_;
  std::uint64_t failures_ = 0;
  std::string firstFailure_;
  std::thread thread_;
};

// Opens `count` peers that ask for the listing and never read it, from 127.0.0.2 upwards, while
// a good client asks for it all along; before each peer, `beforeEach` runs. Holds them
// kHoldAfterLastPeer longer, then counts those the server dropped, and closes them all.
template <typename BeforeEach>
Wave runWave(LimitsServer& server, unsigned count, std::span<const std::uint32_t> hostCounts,
             BeforeEach beforeEach) {
  Wave wave;
  wave.peers = count;
  wave.sources = (count + kPeersPerSource - 1) / kPeersPerSource;
  wave.tcpBeforePages = sockstatTcpPages(readProcFile("/proc/net/sockstat")).value_or(0);
  wave.peakReset = resetPeakResident(server.process().pid());
  std::vector<Peer> peers;
  MemorySampler sampler(server);
  GoodListClient good({hostCounts.begin(), hostCounts.end()});
  const Bytes ask = buildRequest(MessageType::ListRequest);
  const auto first = Clock::now();
  for (unsigned i = 0; i < count; ++i) {
    beforeEach(i);
    Peer peer = connectPeer(loopbackAddress(1 + i / kPeersPerSource), kNonReaderBuffer);
    std::string error;
    if (!sendAll(peer.socket.fd(), ask, Clock::now() + 5s, error)) {
      throw std::runtime_error("a peer that does not read: " + error);
    }
    peers.push_back(std::move(peer));
  }
  std::this_thread::sleep_for(kHoldAfterLastPeer);
  const ServerSide side = serverSide();
  for (const Peer& peer : peers) {
    const auto state = side.states.find(peer.id);
    if (state == side.states.end() || state->second != kTcpEstablished) ++wave.dropped;
  }
  wave.span = Clock::now() - first;
  good.finish();
  wave.good = good.latency();
  wave.goodFailures = good.failures();
  wave.firstFailure = good.firstFailure();
  wave.tcpPeakPages = sampler.peakTcpPages();
  wave.peakOrphans = sampler.peakOrphans();
  wave.residentEverySecondKiB = sampler.residentEverySecondKiB();
  wave.peakKiB = server.kib("VmHWM");
  progress("  " + std::to_string(wave.dropped) + " of " + std::to_string(count) +
           " dropped, peak resident " + mib(wave.peakKiB) + ", TCP memory peak " +
           formatBytes(static_cast<double>(wave.tcpPeakPages * pageBytes())));
  peers.clear();  // their unread answers make each close a reset, which frees the server's side
  std::this_thread::sleep_for(500ms);
  return wave;
}

AnswersResult runAnswers(const LimitsRun& run) {
  AnswersResult result;
  HostFactory factory(11);
  std::vector<Host> hosts;
  hosts.reserve(kAnswersHosts);
  for (std::uint32_t i = 0; i < kAnswersHosts; ++i) hosts.push_back(factory.next(nowSeconds()));
  const Host toggled = factory.next(nowSeconds());
  result.listingBytes = listingSize(hosts);
  progress("answers: " + std::to_string(kAnswersHosts) + " hosts, " +
           std::to_string(run.nonReaders) + " peers that do not read, one after each change; " +
           std::to_string(kSharingReaders) + " on one listing");
  LimitsServer server(run.server, run.base / "answers", hosts);
  hosts.clear();
  hosts.shrink_to_fit();
  result.residentBeforeKiB = server.kib("VmRSS");
  result.tcpLimits = machineTcpMemLimits();
  const std::uint32_t counts[] = {kAnswersHosts, kAnswersHosts + 1};
  {
    GoodListClient quiet({std::begin(counts), std::end(counts)});
    std::this_thread::sleep_for(kQuietListing);
    quiet.finish();
    result.quiet = quiet.latency();
  }
  const Bytes registration = registrationRequest(toggled.record);
  Bytes shutdown = registration;
  storeU32(shutdown.data() + 8, static_cast<std::uint32_t>(MessageType::Shutdown));
  // A new version of the listing before every peer: each pins one of its own.
  result.toggling = runWave(server, run.nonReaders, counts, [&](unsigned i) {
    expectAck(i % 2 == 0 ? registration : shutdown, kTogglerSource);
  });
  // The registry as it ends up; no change, so that all share the current listing.
  const std::uint32_t settled[] = {kAnswersHosts + (run.nonReaders % 2)};
  result.sharing = runWave(server, kSharingReaders, settled, [](unsigned) {});
  return result;
}

// ---------------------------------------------------------------------------------------------
// Slots

struct SlotsResult {
  unsigned silent = kSilentSources * kSilentPerSource;
  std::size_t heldBefore = 0;   // silent connections the server held when the good client came
  unsigned closedArriving = 0;  // silent ones closed while they arrived
  unsigned closedForGood = 0;   // silent ones closed while the good client was served
  unsigned reopened = 0;        // silent ones opened again to keep every slot taken
  LatencySummary quiet, full;
  unsigned failures = 0;
  std::string firstFailure;
  Seconds span{};  // from the first silent connection to the last good answer
};

SlotsResult runSlots(const LimitsRun& run) {
  SlotsResult result;
  HostFactory factory(5);
  std::vector<Host> hosts;
  for (std::uint32_t i = 0; i < kSlotsHosts; ++i) hosts.push_back(factory.next(nowSeconds()));
  progress("slots: " + std::to_string(result.silent) + " silent connections from " +
           std::to_string(kSilentSources) + " addresses");
  LimitsServer server(run.server, run.base / "slots", hosts);
  const std::uint32_t counts[] = {kSlotsHosts};
  std::vector<double> quiet;
  for (unsigned i = 0; i < kGoodRequests; ++i) {
    const GoodList answer = goodList(counts);
    if (!answer.error.empty()) throw std::runtime_error("a list request: " + answer.error);
    quiet.push_back(answer.milliseconds);
  }
  result.quiet = summarize(quiet);

  const auto first = Clock::now();
  std::vector<Peer> silent;
  silent.reserve(result.silent);
  for (unsigned source = 0; source < kSilentSources; ++source) {
    for (unsigned i = 0; i < kSilentPerSource; ++i) {
      silent.push_back(connectPeer(loopbackAddress(1 + source), 0));
    }
  }
  waitUntilAccepted();
  // Replaces the silent connections that have ended, counting them, until the server holds as
  // many as it has slots: the attacker keeps them all taken.
  const auto closedNow = [&silent] {
    unsigned closed = 0;
    for (Peer& peer : silent) {
      if (peer.socket.valid() && seesClosed(peer)) {
        peer.socket.reset();
        ++closed;
      }
    }
    return closed;
  };
  const auto topUp = [&] {
    std::size_t held = serverSide().established();
    for (Peer& peer : silent) {
      if (held >= kServerSlots) return;
      if (peer.socket.valid()) continue;
      peer = connectPeer(peer.source, 0);
      ++result.reopened;
      ++held;
    }
    waitUntilAccepted();
  };
  result.closedArriving = closedNow();
  result.heldBefore = serverSide().established();
  std::vector<double> full;
  for (unsigned i = 0; i < kGoodRequests; ++i) {
    topUp();
    // The server drops a connection silent for 30 s, which would make room by itself.
    if (Clock::now() - first > kServerStepTimeout - 5s) break;
    const GoodList answer = goodList(counts);
    if (answer.error.empty()) {
      full.push_back(answer.milliseconds);
    } else {
      ++result.failures;
      if (result.firstFailure.empty()) result.firstFailure = answer.error;
    }
    std::this_thread::sleep_for(50ms);
    result.closedForGood += closedNow();
  }
  result.span = Clock::now() - first;
  result.full = summarize(full);
  progress("  good client p50 / p99 / max ms: " + fullLatencyCell(result.full));
  return result;
}

// ---------------------------------------------------------------------------------------------
// Registration flood

struct FloodResult {
  unsigned sent = kFloodHosts;
  WorkloadResult flood;
  WorkloadResult ackBaseline;
  unsigned floodListed = 0;
  unsigned othersSent = kOtherSources * kOtherHostsEach;
  unsigned othersAnswered = 0;
  unsigned othersListed = 0;
  std::size_t refusedLines = 0;
  bool strangerShutdownKept = false;   // a shutdown from another address left the host listed
  bool ownShutdownRemoved = false;     // the same shutdown from the host's own address removed it
  bool loadedShutdownRemoved = false;  // a host from the file, shut down from anywhere, went
};

// The server entries of a listing, as their seven texts.
std::set<std::vector<Bytes>> listedHosts(const Bytes& listing) {
  ListedReply reply;
  std::string error;
  if (!decodeListReply(listing, reply, error)) throw std::runtime_error("the listing: " + error);
  std::set<std::vector<Bytes>> listed;
  for (ListedEntry& entry : reply.entries) {
    if (!entry.isDirectory) listed.insert(std::move(entry.texts));
  }
  return listed;
}

std::vector<Bytes> textsOf(const Host& host) {
  std::vector<Bytes> texts;
  for (const ServerField& field : host.record.fields) texts.push_back(field.data);
  return texts;
}

std::set<std::vector<Bytes>> currentListing() {
  std::string error;
  const Bytes listing = exchange(buildRequest(MessageType::ListRequest), 0, error);
  if (!error.empty()) throw std::runtime_error("a list request: " + error);
  return listedHosts(listing);
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

FloodResult runFlood(const LimitsRun& run) {
  FloodResult result;
  HostFactory factory(9);
  std::vector<Host> preloaded, flood, others;
  for (std::uint32_t i = 0; i < kFloodPreloaded; ++i)
    preloaded.push_back(factory.next(nowSeconds()));
  for (unsigned i = 0; i < kFloodHosts; ++i) flood.push_back(factory.next(nowSeconds()));
  for (unsigned i = 0; i < result.othersSent; ++i) others.push_back(factory.next(nowSeconds()));
  progress("registration flood: " + std::to_string(kFloodHosts) + " new hosts from " +
           addressText(kFloodSource));
  LimitsServer server(run.server, run.base / "flood", preloaded);

  Workload acks;
  acks.port = kListenPort;
  acks.requests = {buildRequest(MessageType::AckRequest)};
  acks.clients = kFloodClients;
  acks.budget = 1s;
  acks.drainLimit = 10s;
  acks.source = kStrangerSource;
  result.ackBaseline = runWorkload(acks);

  Workload floodLoad;
  floodLoad.port = kListenPort;
  for (const Host& host : flood) floodLoad.requests.push_back(registrationRequest(host.record));
  floodLoad.once = true;
  floodLoad.clients = kFloodClients;
  floodLoad.budget = 60s;
  floodLoad.drainLimit = 10s;
  floodLoad.source = kFloodSource;
  std::thread othersThread([&] {
    for (unsigned source = 0; source < kOtherSources; ++source) {
      Workload few;
      few.port = kListenPort;
      for (unsigned i = 0; i < kOtherHostsEach; ++i) {
        few.requests.push_back(registrationRequest(others[source * kOtherHostsEach + i].record));
      }
      few.once = true;
      few.budget = 30s;
      few.drainLimit = 10s;
      few.source = kFirstOtherSource + source;
      result.othersAnswered += static_cast<unsigned>(runWorkload(few).completed);
    }
  });
  result.flood = runWorkload(floodLoad);
  othersThread.join();

  const auto listed = currentListing();
  const Host* firstListed = nullptr;
  for (const Host& host : flood) {
    if (!listed.contains(textsOf(host))) continue;
    ++result.floodListed;
    if (firstListed == nullptr) firstListed = &host;
  }
  for (const Host& host : others) result.othersListed += listed.contains(textsOf(host)) ? 1 : 0;
  if (firstListed != nullptr) {
    expectAck(shutdownRequest(firstListed->record), kStrangerSource);
    result.strangerShutdownKept = currentListing().contains(textsOf(*firstListed));
    expectAck(shutdownRequest(firstListed->record), kFloodSource);
    result.ownShutdownRemoved = !currentListing().contains(textsOf(*firstListed));
  }
  expectAck(shutdownRequest(preloaded.front().record), kStrangerSource);
  result.loadedShutdownRemoved = !currentListing().contains(textsOf(preloaded.front()));
  result.refusedLines =
      occurrences(server.process().err(), "+error: too many servers registered from this address");
  progress("  " + std::to_string(result.floodListed) + " of " + std::to_string(kFloodHosts) +
           " listed");
  return result;
}

// ---------------------------------------------------------------------------------------------
// The table

const char* verdict(bool met) { return met ? "yes" : "NO"; }

void printTable(const AnswersResult& answers, const SlotsResult& slots, const FloodResult& flood) {
  TextTable table({"hostile peers", "measured", "goal", "met"});
  const auto section = [&](const std::string& title) { table.addRow({title}); };

  const double page = static_cast<double>(pageBytes());
  const auto waveRows = [&](const Wave& wave) {
    table.addRow({"  peers (addresses) / dropped by the server",
                  std::to_string(wave.peers) + " (" + std::to_string(wave.sources) + ") / " +
                      std::to_string(wave.dropped) + " after " + formatNumber(wave.span.count()) +
                      " s"});
    table.addRow({"  server resident, peak",
                  mib(wave.peakKiB) + (wave.peakReset ? "" : " (since the start)"), "< 256 MiB",
                  verdict(wave.peakKiB < kResidentGoalKiB)});
    std::string tcp = formatBytes(static_cast<double>(wave.tcpBeforePages) * page) + " / " +
                      formatBytes(static_cast<double>(wave.tcpPeakPages) * page);
    std::string goal = "far below tcp_mem", met = "?";
    if (answers.tcpLimits) {
      tcp += " (" +
             formatNumber(100.0 * static_cast<double>(wave.tcpPeakPages) /
                          static_cast<double>(answers.tcpLimits->high)) +
             " % of the limit)";
      goal = "< tcp_mem low";
      met = verdict(wave.tcpPeakPages < answers.tcpLimits->low);
    }
    table.addRow({"  machine TCP memory, before / peak", tcp, goal, met});
    table.addRow({"  orphaned sockets the kernel held, peak", std::to_string(wave.peakOrphans)});
    table.addRow({"  good list p50 / p99 / max ms (p50 x no peers)",
                  fullLatencyCell(wave.good) + " (" + ratioCell(wave.good.p50, answers.quiet.p50) + ")",
                  "all answered", verdict(wave.goodFailures == 0 && wave.good.count > 0)});
    table.addRow({"  good list requests",
                  std::to_string(wave.good.count) +
                      (wave.goodFailures > 0 ? ", " + std::to_string(wave.goodFailures) + " failed"
                                             : std::string())});
  };
  section("answers: " + std::to_string(kAnswersHosts) + " hosts, listing " +
          formatBytes(static_cast<double>(answers.listingBytes)));
  table.addRow({"  server resident after load", mib(answers.residentBeforeKiB)});
  table.addRow({"  good list p50 / p99 / max ms, no peers", fullLatencyCell(answers.quiet)});
  section("answers: a change before each peer");
  waveRows(answers.toggling);
  section("answers: all peers on one listing");
  waveRows(answers.sharing);
  const Wave& sharing = answers.sharing;
  if (sharing.peers > 0 && sharing.tcpPeakPages > sharing.tcpBeforePages) {
    const double perPeer =
        static_cast<double>(sharing.tcpPeakPages - sharing.tcpBeforePages) / sharing.peers;
    const double projected = perPeer * kProjectedReaders;
    std::string cell =
        formatBytes(projected * page) + " (" + formatBytes(perPeer * page) + " per peer";
    std::string met = "?";
    if (answers.tcpLimits) {
      cell += ", " +
              formatNumber(100.0 * projected / static_cast<double>(answers.tcpLimits->high)) +
              " % of the limit";
      met = verdict(projected < static_cast<double>(answers.tcpLimits->low));
    }
    table.addRow({"  TCP memory projected for " + std::to_string(kProjectedReaders) + " peers",
                  cell + ")", "< tcp_mem low", met});
  }

  section("slots");
  table.addRow({"  silent connections (addresses)",
                std::to_string(slots.silent) + " (" + std::to_string(kSilentSources) + ")"});
  table.addRow({"  held by the server / closed on arrival",
                std::to_string(slots.heldBefore) + " / " + std::to_string(slots.closedArriving)});
  table.addRow({"  good list p50 / p99 / max ms, no silent ones", fullLatencyCell(slots.quiet)});
  table.addRow(
      {"  good list p50 / p99 / max ms, every slot taken",
       fullLatencyCell(slots.full) + " (p50 " + ratioCell(slots.full.p50, slots.quiet.p50) + ")",
       "< 2 s",
       verdict(slots.failures == 0 && slots.full.count > 0 &&
               slots.full.max < kSlotsGoal.count() * 1000)});
  table.addRow({"  good list requests, silent ones dropped for them",
                std::to_string(slots.full.count) +
                    (slots.failures > 0 ? " (" + std::to_string(slots.failures) + " failed)"
                                        : std::string()) +
                    ", " + std::to_string(slots.closedForGood)});

  section("registration flood");
  table.addRow({"  new hosts sent from " + addressText(kFloodSource) + " / acknowledged",
                std::to_string(flood.sent) + " / " + std::to_string(flood.flood.completed)});
  table.addRow({"  of them listed", std::to_string(flood.floodListed), "64",
                verdict(flood.floodListed == kMaxServersPerAddress)});
  table.addRow({"  refused (console lines)", std::to_string(flood.refusedLines)});
  table.addRow({"  flood req/s (x ack req/s, same clients)",
                formatNumber(flood.flood.rate()) + " (" +
                    ratioCell(flood.flood.rate(), flood.ackBaseline.rate()) + ")"});
  table.addRow({"  new hosts from " + std::to_string(kOtherSources) + " other addresses listed",
                std::to_string(flood.othersListed) + " of " + std::to_string(flood.othersSent) +
                    " (" + std::to_string(flood.othersAnswered) + " acknowledged)",
                "all", verdict(flood.othersListed == flood.othersSent)});
  table.addRow({"  shutdown from another address",
                flood.strangerShutdownKept ? "still listed" : "REMOVED", "still listed",
                verdict(flood.strangerShutdownKept)});
  table.addRow({"  the same from the host's own address",
                flood.ownShutdownRemoved ? "removed" : "still listed", "removed",
                verdict(flood.ownShutdownRemoved)});
  table.addRow({"  a host from the file, from any address",
                flood.loadedShutdownRemoved ? "removed" : "still listed", "removed",
                verdict(flood.loadedShutdownRemoved)});

  std::printf("\nHostile-peer limits\n\n");
  printTable(table);
  const auto series = [](const Wave& wave) {
    std::string text;
    for (std::size_t i = 0; i < wave.residentEverySecondKiB.size(); ++i) {
      text += (i > 0 && i % 16 == 0 ? "\n  " : " ") +
              formatNumber(static_cast<double>(wave.residentEverySecondKiB[i]) / 1024);
    }
    return text;
  };
  std::string limit = "not known (see --help)";
  if (answers.tcpLimits) {
    const double page = static_cast<double>(pageBytes());
    limit = formatBytes(static_cast<double>(answers.tcpLimits->low) * page) + " low, " +
            formatBytes(static_cast<double>(answers.tcpLimits->pressure) * page) + " pressure, " +
            formatBytes(static_cast<double>(answers.tcpLimits->high) * page) + " limit";
  }
  std::printf(
      "\nAnswers: peers ask for the listing and never read it (a %d-byte receive buffer), %u per\n"
      "address from 127.0.0.2 upwards, and stay %lld s after the last one came, while a good "
      "client\n"
      "on 127.0.0.1 asks for the listing all along. First, before each peer 127.0.0.200 registers\n"
      "or shuts down a host of its own, so that each pins a listing of its own; then %u peers "
      "come\n"
      "without a change. Resident: the server's VmHWM, reset before each wave; its VmRSS each\n"
      "second, MiB:\n "
      "%s (a change before each peer)\n "
      "%s (one listing).\n"
      "TCP memory: /proc/net/sockstat's, the whole machine's; tcp_mem:\n  %s.\n"
      "Dropped: the server's side of the connection is no longer established (a peer that does\n"
      "not read sees the end only after the bytes queued before it). Orphaned: sockets closed by\n"
      "their process whose unsent bytes the kernel still holds (sockstat's \"orphan\"). "
      "Projected:\n"
      "the wave's TCP memory per peer times the 3840 peers (60 addresses x 64) that once took a\n"
      "machine's TCP memory to its limit; not measured, to spare the shared machine.\n"
      "Slots: %u x %u silent connections from 127.0.0.2 upwards; before each of %u good list\n"
      "requests from 127.0.0.1, silent ones the server closed are opened again until it holds\n"
      "%zu (all within %s s, under the 30 s a silent connection may wait).\n"
      "Flood: %u hosts preloaded; %u clients send one registration per connection as fast as\n"
      "they are answered, while %u other addresses register %u new hosts each. Latency runs\n"
      "from connect to the server's close.\n",
      kNonReaderBuffer, kPeersPerSource,
      static_cast<long long>(std::chrono::seconds(kHoldAfterLastPeer).count()), kSharingReaders,
      series(answers.toggling).c_str(), series(answers.sharing).c_str(), limit.c_str(),
      kSilentSources, kSilentPerSource, kGoodRequests, kServerSlots,
      formatNumber(slots.span.count()).c_str(), kFloodPreloaded, kFloodClients, kOtherSources,
      kOtherHostsEach);
  for (const Wave* wave : {&answers.toggling, &answers.sharing}) {
    if (wave->goodFailures > 0) {
      std::printf("First failed good list request with peers: %s\n", wave->firstFailure.c_str());
    }
  }
  if (slots.failures > 0) {
    std::printf("First failed good list request in the slots run: %s\n",
                slots.firstFailure.c_str());
  }
  std::fflush(stdout);
}

}  // namespace

void runLimits(const LimitsRun& run) {
  const auto start = Clock::now();
  const AnswersResult answers = runAnswers(run);
  const SlotsResult slots = runSlots(run);
  const FloodResult flood = runFlood(run);
  printTable(answers, slots, flood);
  std::printf("The three scenarios took %s s.\n",
              formatNumber(Seconds(Clock::now() - start).count()).c_str());
  std::fflush(stdout);
}

}  // namespace dirserver::bench

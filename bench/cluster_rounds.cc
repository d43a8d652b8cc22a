#include "cluster_rounds.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "client/list_reply_decoder.h"
#include "cluster_tally.h"
#include "common/text.h"
#include "durability.h"
#include "http_load.h"
#include "protocol/message.h"
#include "report.h"
#include "snapshot_pacing.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/test_support.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Wall = ClusterClock;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";
constexpr const char* kReplicated = "dirserver_ack_to_replicated_seconds";
constexpr const char* kDurable = "dirserver_ack_to_durable_seconds";
// The longest a node may take to start, and then to follow its bucket.
constexpr auto kStartLimit = 20s;
constexpr auto kFollowLimit = 60s;

double millis(Wall::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double secondsOf(Wall::duration d) { return std::chrono::duration<double>(d).count(); }

// One request on a connection of its own; nothing when the node refused, reset or did not answer
// (a node being killed does all three).
std::optional<Bytes> exchange(const testing::ServerAddress& node, const Bytes& request,
                              const std::string& source = {}) {
  try {
    return testing::roundTrip(node, request, source.empty() ? nullptr : source.c_str());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool isAck(const std::optional<Bytes>& reply) {
  return reply && reply->size() == kAckMessage.size() &&
         std::equal(reply->begin(), reply->end(), kAckMessage.begin());
}

Bytes registration(const std::string& name) {
  return testing::request(MessageType::Registration,
                          testing::requestBody(testing::hostStrings(kMelee, name)));
}
Bytes shutdown(const std::string& name) {
  return testing::request(MessageType::Shutdown,
                          testing::requestBody(testing::hostStrings(kMelee, name)));
}

// A host's name as listings carry it (UTF-16LE), in a std::string.
std::string listedName(const std::string& name) {
  const Bytes text = toUtf16le(name);
  return std::string(text.begin(), text.end());
}

// The names of the hosts a listing holds whose names begin with `prefix` (as listedName gives
// it); nothing when the reply does not decode.
std::optional<std::vector<std::string>> namesIn(const Bytes& reply, const std::string& prefix) {
  ListedReply listed;
  std::string error;
  if (!decodeListReply(reply, listed, error)) return std::nullopt;
  std::vector<std::string> names;
  for (const ListedEntry& entry : listed.entries) {
    if (entry.isDirectory) continue;
    const Bytes& name = entry.texts[2];
    if (name.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin())) {
      names.emplace_back(name.begin(), name.end());
    }
  }
  return names;
}

// The address heartbeat host `host` registers from: 50 hosts to an address of 127.1/16, below
// what one address may own.
std::string heartbeatSource(std::size_t host) {
  const std::size_t source = host / 50;
  return "127.1." + std::to_string(source / 250) + "." + std::to_string(source % 250 + 1);
}

// The round's nodes on loopback: node i at 127.0.0.(i+2):6001 with its HTTP window on a free port
// of 127.0.0.1 and its data in dir/nodeI, all on one bucket of the round's own.
class LoopbackNodes {
 public:
  LoopbackNodes(fs::path dir, std::vector<std::string> recipe, std::string bucket, int count)
      : dir_(std::move(dir)), recipe_(std::move(recipe)), bucket_(std::move(bucket)) {
    for (int i = 0; i < count; ++i) httpPorts_.push_back(freePort());
    processes_.resize(static_cast<std::size_t>(count));
  }

  int size() const { return static_cast<int>(processes_.size()); }
  testing::ServerAddress address(int i) const {
    return {"127.0.0." + std::to_string(i + 2), kListenPort};
  }
  std::uint16_t httpPort(int i) const { return httpPorts_[static_cast<std::size_t>(i)]; }
  std::string name(int i) const { return bucket_ + "-" + std::to_string(i + 1); }

  // Starts node i (again, with its data directory, when it ran before) and waits until it
  // serves and follows the bucket. Returns false with a line on standard error when it does not.
  bool start(int i) {
    const fs::path home = dir_ / name(i);
    fs::create_directories(home);
    std::vector<std::string> args = recipe_;
    args.insert(args.end(), {"--listen", address(i).address + ":6001", "--node-name", name(i),
                             "--cluster-bucket", bucket_, "--http",
                             "127.0.0.1:" + std::to_string(httpPort(i))});
    auto& process = processes_[static_cast<std::size_t>(i)];
    process.reset();
    process = std::make_unique<testing::Process>(home, name(i), DIRSERVER_BINARY, args);
    if (!process->waitServing(address(i), kStartLimit) ||
        !process->waitOutput("follows the bucket", false, kFollowLimit)) {
      std::fprintf(stderr, "cluster-bench: node %s did not start: %s\n", name(i).c_str(),
                   process->err().c_str());
      return false;
    }
    return true;
  }
  bool startAll() {
    for (int i = 0; i < size(); ++i) {
      if (!start(i)) return false;
    }
    return true;
  }
  // SIGKILL, and reaped.
  void kill(int i) { processes_[static_cast<std::size_t>(i)]->kill(); }

  // How many times node i's console (since it last started) said `text`.
  std::size_t said(int i, const std::string& text) const {
    const auto& process = processes_[static_cast<std::size_t>(i)];
    std::size_t count = 0;
    for (const std::string& output : {process->out(), process->err()}) {
      for (auto at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) {
        ++count;
      }
    }
    return count;
  }

  // The names with `prefix` node i lists; nothing when its listing could not be had.
  std::optional<std::vector<std::string>> listed(int i, const std::string& prefix) const {
    const auto reply = exchange(address(i), testing::request(MessageType::ListRequest));
    if (!reply) return std::nullopt;
    return namesIn(*reply, prefix);
  }

 private:
  fs::path dir_;
  std::vector<std::string> recipe_;
  std::string bucket_;
  std::vector<std::uint16_t> httpPorts_;
  std::vector<std::unique_ptr<testing::Process>> processes_;
};

// ---------------------------------------------------------------------------------------------
// The heartbeat workload

struct ClientFigures {
  std::uint64_t done = 0, failed = 0;
  std::vector<double> millis;
};

struct NodeFigures {
  std::size_t hosts = 0;
  std::uint64_t changes = 0, failedChanges = 0;
  ClientFigures acks, lists;
};

// Registers hosts [0, count), host h through node h mod N, two clients per node. Returns whether
// every one was acknowledged.
bool fill(const LoopbackNodes& nodes, std::size_t count, const std::atomic<bool>& stopped) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;
  const auto n = static_cast<std::size_t>(nodes.size());
  for (std::size_t worker = 0; worker < 2 * n; ++worker) {
    workers.emplace_back([&, worker] {
      const int node = static_cast<int>(worker % n);
      // Hosts of this node (h mod N), taken in turn by its two clients.
      for (std::size_t host = worker; host < count && !stopped && !failed; host += 2 * n) {
        if (!isAck(exchange(nodes.address(node), registration("hb " + std::to_string(host)),
                                   heartbeatSource(host)))) {
          failed = true;
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  return !failed && !stopped;
}

// Waits until every node lists at least `count` hosts named with `prefix`, at most `limit`.
bool waitListed(const LoopbackNodes& nodes, const std::string& prefix, std::size_t count,
                Wall::duration limit, const std::atomic<bool>& stopped) {
  const auto end = Wall::now() + limit;
  for (int i = 0; i < nodes.size(); ++i) {
    for (;;) {
      const auto names = nodes.listed(i, prefix);
      if (names && names->size() >= count) break;
      if (stopped || Wall::now() > end) return false;
      std::this_thread::sleep_for(100ms);
    }
  }
  return true;
}

std::string latencyOf(std::vector<double> millis) { return latencyCell(summarize(millis)); }

}  // namespace

bool runClusterHeartbeat(const std::vector<std::string>& recipe, const fs::path& dir,
                         std::size_t hosts, const ClusterRoundOptions& options,
                         const std::atomic<bool>& stopped) {
  const std::string bucket = "heartbeat-" + std::to_string(hosts);
  LoopbackNodes nodes(dir / bucket, recipe, bucket, options.nodes);
  progress("cluster heartbeat, " + std::to_string(hosts) + " hosts: starting " +
           std::to_string(options.nodes) + " nodes on bucket " + bucket);
  if (!nodes.startAll()) return false;
  const auto filling = Wall::now();
  if (!fill(nodes, hosts, stopped) ||
      !waitListed(nodes, listedName("hb "), hosts, 120s, stopped)) {
    std::fprintf(stderr, "cluster-bench: the heartbeat fill of %zu hosts failed\n", hosts);
    return false;
  }
  const double filled = secondsOf(Wall::now() - filling);

  const int n = nodes.size();
  const double period = hosts >= 10000 ? 300 : 60;
  std::vector<NodeFigures> figures(static_cast<std::size_t>(n));
  std::vector<std::map<std::string, double>> before, after;
  for (int i = 0; i < n; ++i) before.push_back(scrapeMetrics(nodes.httpPort(i)));

  LagBook book(n);
  const std::string probePrefix = listedName("probe ");
  const auto start = Wall::now();
  const auto end = start + std::chrono::duration_cast<Wall::duration>(
                               std::chrono::duration<double>(options.heartbeatSeconds));
  // After the window the list clients go on until every probe is seen everywhere, this long at
  // most; what they fetch then counts for the lag only.
  const auto drainEnd = end + 10s;
  // A probe stays registered while this many newer ones of its node come: long enough for every
  // node to list it (a shutdown before that would hide the slowest sightings).
  constexpr std::size_t kProbesKept = 20;
  std::vector<std::thread> threads;
  std::mutex mutex;  // guards figures
  for (int i = 0; i < n; ++i) {
    NodeFigures& mine = figures[static_cast<std::size_t>(i)];
    std::vector<std::size_t> own;
    for (std::size_t h = static_cast<std::size_t>(i); h < hosts; h += static_cast<std::size_t>(n)) {
      own.push_back(h);
    }
    mine.hosts = own.size();
    const auto count = [&mutex, &mine](bool ok) {
      std::lock_guard lock(mutex);
      ++(ok ? mine.changes : mine.failedChanges);
    };
    // Every host of this node registers again once per period, evenly spread.
    threads.emplace_back([&, i, own, count] {
      const double gap = period / static_cast<double>(own.size());
      for (std::size_t k = 0; !stopped; ++k) {
        const auto due = start + std::chrono::duration_cast<Wall::duration>(
                                     std::chrono::duration<double>(gap * static_cast<double>(k)));
        if (due >= end) break;
        std::this_thread::sleep_until(due);
        const std::size_t host = own[k % own.size()];
        count(isAck(exchange(nodes.address(i), registration("hb " + std::to_string(host)),
                                    heartbeatSource(host))));
      }
    });
    // New hosts, each shutting down the one kProbesKept before it.
    threads.emplace_back([&, i, count] {
      const std::string source = "127.2." + std::to_string(i + 1) + ".1";
      const auto probe = [i](std::size_t k) {
        return "probe " + std::to_string(i + 1) + " " + std::to_string(k);
      };
      const double gap = 1.0 / options.probesPerSecond;
      for (std::size_t k = 0; !stopped; ++k) {
        const auto due = start + std::chrono::duration_cast<Wall::duration>(
                                     std::chrono::duration<double>(gap * static_cast<double>(k)));
        if (due >= end) break;
        std::this_thread::sleep_until(due);
        book.sending(listedName(probe(k)), i);
        const bool ok = isAck(exchange(nodes.address(i), registration(probe(k)), source));
        if (ok) book.acknowledged(listedName(probe(k)), Wall::now());
        count(ok);
        if (k >= kProbesKept) {
          count(isAck(exchange(nodes.address(i), shutdown(probe(k - kProbesKept)), source)));
        }
      }
    });
    // The acknowledgement client, flat out.
    threads.emplace_back([&, i] {
      const Bytes request = testing::request(MessageType::AckRequest);
      ClientFigures local;
      while (Wall::now() < end && !stopped) {
        const auto sent = Wall::now();
        const bool ok = isAck(exchange(nodes.address(i), request));
        if (Wall::now() >= end) break;
        ++(ok ? local.done : local.failed);
        if (ok) local.millis.push_back(millis(Wall::now() - sent));
      }
      std::lock_guard lock(mutex);
      mine.acks = std::move(local);
    });
    // The list client, flat out; every listing it fetches is searched for other nodes' probes.
    threads.emplace_back([&, i] {
      const Bytes request = testing::request(MessageType::ListRequest);
      ClientFigures local;
      for (;;) {
        const auto sent = Wall::now();
        const bool window = sent < end;
        if (stopped || (!window && (sent >= drainEnd || book.unseen() == 0))) break;
        const auto reply = exchange(nodes.address(i), request);
        const auto received = Wall::now();
        const auto names = reply ? namesIn(*reply, probePrefix) : std::nullopt;
        if (names) book.listed(i, received, *names);
        if (!window || received >= end) continue;
        ++(names ? local.done : local.failed);
        if (names) local.millis.push_back(millis(received - sent));
      }
      std::lock_guard lock(mutex);
      mine.lists = std::move(local);
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (stopped) return false;
  const double seconds = options.heartbeatSeconds;
  // The bucket confirms the last changes within moments.
  std::this_thread::sleep_for(1s);
  for (int i = 0; i < n; ++i) after.push_back(scrapeMetrics(nodes.httpPort(i)));

  TextTable table({"node (hosts through it)", "changes/s", "acks/s", "listings/s",
                   "list p50 / p99 ms", "lag p50 / p99 ms", "ack to replicated p50 / p99 ms",
                   "failed: changes, acks, lists"});
  const auto rate = [seconds](std::uint64_t count) {
    return formatNumber(static_cast<double>(count) / seconds);
  };
  NodeFigures all;
  for (int i = 0; i < n; ++i) {
    const NodeFigures& node = figures[static_cast<std::size_t>(i)];
    table.addRow({"node " + std::to_string(i + 1) + " (" + std::to_string(node.hosts) + ")",
                  rate(node.changes), rate(node.acks.done), rate(node.lists.done),
                  latencyOf(node.lists.millis), latencyOf(book.lags(i)),
                  windowQuantilesCell({before[static_cast<std::size_t>(i)]},
                                      {after[static_cast<std::size_t>(i)]}, kReplicated),
                  std::to_string(node.failedChanges) + ", " + std::to_string(node.acks.failed) +
                      ", " + std::to_string(node.lists.failed)});
    all.hosts += node.hosts;
    all.changes += node.changes;
    all.failedChanges += node.failedChanges;
    all.acks.done += node.acks.done;
    all.acks.failed += node.acks.failed;
    all.lists.done += node.lists.done;
    all.lists.failed += node.lists.failed;
    all.lists.millis.insert(all.lists.millis.end(), node.lists.millis.begin(),
                            node.lists.millis.end());
  }
  std::vector<double> lags = book.lags();
  const LatencySummary lag = summarize(lags);
  table.addRow({"all (" + std::to_string(all.hosts) + ")", rate(all.changes), rate(all.acks.done),
                rate(all.lists.done), latencyOf(all.lists.millis), latencyCell(lag),
                windowQuantilesCell(before, after, kReplicated),
                std::to_string(all.failedChanges) + ", " + std::to_string(all.acks.failed) + ", " +
                    std::to_string(all.lists.failed)});
  std::printf(
      "\nheartbeat over %d nodes, %zu hosts (filled through the nodes and listed by all in %.1f s), "
      "%s s:\nevery host registers again every %.0f s through its node, each node registers %d new "
      "hosts a second;\none ack and one list client per node, flat out. lag: a new host's "
      "acknowledgement on its node to\nthe end of the first listing of another node that holds it "
      "(%zu sightings, %zu never seen);\nack to replicated: the bounds of the nodes' histogram "
      "buckets the quantiles fall in.\n",
      n, hosts, filled, formatNumber(seconds).c_str(), period, options.probesPerSecond,
      lags.size(), book.unseen());
  printTable(table);
  if (hosts >= 10000) {
    std::printf("goal: lag p99 <= 50 ms at %zu hosts: %s (p99 %s ms)\n", hosts,
                lag.count > 0 && lag.p99 <= 50 ? "holds" : "does not hold",
                formatNumber(lag.p99).c_str());
  }
  std::fflush(stdout);
  return true;
}


// ---------------------------------------------------------------------------------------------
// Kill rounds

namespace {

// One stream per node, flat out: it registers host k and shuts down host k - 3 of its own, from an
// address of its own, recording what each acknowledged change left.
class ChangeStreams {
 public:
  ChangeStreams(const LoopbackNodes& nodes, std::string tag) : nodes_(nodes), tag_(std::move(tag)) {}
  ~ChangeStreams() { stop(); }
  ChangeStreams(const ChangeStreams&) = delete;
  ChangeStreams& operator=(const ChangeStreams&) = delete;

  void start() {
    running_ = true;
    for (int i = 0; i < nodes_.size(); ++i) threads_.emplace_back([this, i] { stream(i); });
  }
  void stop() {
    running_ = false;
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }
  std::map<std::string, HostFate> fates() const {
    std::lock_guard lock(mutex_);
    return fates_;
  }
  std::uint64_t acknowledged() const { return acknowledged_; }
  // What listings of the round's hosts begin with.
  std::string prefix() const { return listedName("kill " + tag_ + " "); }

 private:
  void stream(int node) {
    const std::string source = "127.3." + std::to_string(node + 1) + ".1";
    const auto host = [&](std::size_t k) {
      return "kill " + tag_ + " " + std::to_string(node + 1) + " " + std::to_string(k);
    };
    for (std::size_t k = 0; running_; ++k) {
      send(node, host(k), true, source);
      if (k >= 3) send(node, host(k - 3), false, source);
    }
  }
  void send(int node, const std::string& name, bool registering, const std::string& source) {
    const std::string key = listedName(name);
    {
      std::lock_guard lock(mutex_);
      fates_[key].settled = false;
    }
    const bool ok = isAck(
        exchange(nodes_.address(node), registering ? registration(name) : shutdown(name), source));
    const auto at = Wall::now();
    if (ok) {
      std::lock_guard lock(mutex_);
      fates_[key] = {registering, true, node, at};
      ++acknowledged_;
    } else {
      // Refused while the node is down: try again shortly rather than spin.
      std::this_thread::sleep_for(20ms);
    }
  }

  const LoopbackNodes& nodes_;
  std::string tag_;
  std::atomic<bool> running_{false};
  std::vector<std::thread> threads_;
  mutable std::mutex mutex_;
  std::map<std::string, HostFate> fates_;
  std::atomic<std::uint64_t> acknowledged_{0};
};

struct KillRow {
  std::string kind;
  std::uint64_t acknowledged = 0;
  KillTally tally;
  double inFlightBound = -1;  // milliseconds; a node's round only
  double settled = -1;        // seconds from the stream's end; -1 when the nodes never agreed
  std::size_t dropped = 0;    // changes the nodes dropped as superseded by the bucket's value
};

// What a node says when the bucket refused its change because the key changed since.
constexpr const char* kDroppedLine = "dropped: the bucket holds a later one";

// How long the nodes must list the same hosts before a change none of them lists counts as lost:
// longer than a node's publisher waits for a confirmation and backs off after a failed publish,
// so that a change still waiting in a node's outbox is not taken for a lost one.
constexpr auto kAgreedFor = 12s;

// Polls every node's listing of the round's hosts until the nodes agree with every acknowledged
// change, or until they have listed the same hosts for kAgreedFor (a loss they agree on), at most
// `limit`. Returns the last tally, and sets `settled` to the seconds from `from` until the
// agreement began.
KillTally settle(const LoopbackNodes& nodes, const ChangeStreams& streams, const KillVictim& victim,
                 Wall::time_point from, Wall::duration limit, double& settled,
                 const std::atomic<bool>& stopped) {
  const auto fates = streams.fates();
  KillTally tally;
  std::optional<std::vector<std::set<std::string>>> agreed;
  Wall::time_point agreedSince{};
  settled = -1;
  while (!stopped) {
    const auto polled = Wall::now();
    std::vector<std::set<std::string>> listed;
    for (int i = 0; i < nodes.size(); ++i) {
      const auto names = nodes.listed(i, streams.prefix());
      if (!names) break;
      listed.emplace_back(names->begin(), names->end());
    }
    if (listed.size() == static_cast<std::size_t>(nodes.size())) {
      tally = tallyKill(fates, listed, victim);
      if (tally.converged()) {
        settled = secondsOf(polled - from);
        return tally;
      }
      const bool same = std::all_of(listed.begin(), listed.end(),
                                    [&](const auto& node) { return node == listed.front(); });
      if (!same) {
        agreed.reset();
      } else if (!agreed || *agreed != listed) {
        agreed = listed;
        agreedSince = polled;
      } else if (polled - agreedSince >= kAgreedFor) {
        settled = secondsOf(agreedSince - from);
        return tally;
      }
    }
    if (polled - from > limit) return tally;
    std::this_thread::sleep_for(100ms);
  }
  return tally;
}

// Milliseconds, negative ones too (a change acknowledged after the kill).
std::string signedMillis(double ms) { return (ms < 0 ? "-" : "") + formatNumber(std::abs(ms)); }

// "N (ack to kill MIN .. MAX ms[, by node A B])"; "0" when none.
std::string agesCell(std::uint64_t count, std::vector<double> ages, const std::set<int>& by = {}) {
  if (count == 0) return "0";
  const LatencySummary summary = summarize(ages);
  std::string cell = std::to_string(count) + " (ack to kill " + signedMillis(ages.front()) +
                     " .. " + signedMillis(summary.max) + " ms";
  if (!by.empty()) cell += ", by node";
  for (const int node : by) cell += " " + std::to_string(node + 1);
  return cell + ")";
}

}  // namespace

bool runClusterKills(testing::NatsCluster& nats, const std::vector<std::string>& recipe,
                     const fs::path& dir, const ClusterRoundOptions& options,
                     const std::atomic<bool>& stopped) {
  LoopbackNodes nodes(dir / "kills", recipe, "kills", options.nodes);
  progress("cluster kill rounds: starting " + std::to_string(options.nodes) + " nodes");
  if (!nodes.startAll()) return false;
  std::vector<KillRow> rows;
  for (int round = 0; round < 2 * options.killRounds && !stopped; ++round) {
    const bool killNode = round % 2 == 1;
    const int victim = round / 2 % (killNode ? nodes.size() : nats.size());
    ChangeStreams streams(nodes, std::to_string(round + 1));
    KillRow row;
    std::vector<std::size_t> droppedBefore;
    for (int i = 0; i < nodes.size(); ++i) droppedBefore.push_back(nodes.said(i, kDroppedLine));
    KillVictim killed;
    const auto before = killNode ? scrapeMetrics(nodes.httpPort(victim))
                                 : std::map<std::string, double>{};
    streams.start();
    std::this_thread::sleep_for(1s);
    if (killNode) {
      row.kind = "node " + std::to_string(victim + 1) + " SIGKILLed, restarted";
      // The node's commit in flight: at most the slowest acknowledgement-to-durable it showed in
      // this round.
      Buckets durable;
      addBuckets(durable, before, scrapeMetrics(nodes.httpPort(victim)), kDurable);
      row.inFlightBound = bucketQuantile(durable, 1.0) * 1000;
      killed.node = victim;
      killed.inFlight = std::chrono::duration_cast<Wall::duration>(
          std::chrono::duration<double, std::milli>(std::max(row.inFlightBound, 0.0)));
      progress("  kill round " + std::to_string(round + 1) + ": SIGKILL to node " +
               std::to_string(victim + 1));
      killed.killedAt = Wall::now();
      nodes.kill(victim);
      droppedBefore[static_cast<std::size_t>(victim)] = 0;  // its console starts afresh
      if (!nodes.start(victim)) return false;
    } else {
      row.kind = "NATS server " + std::to_string(victim + 1) + " SIGKILLed, restarted";
      progress("  kill round " + std::to_string(round + 1) + ": SIGKILL to NATS server " +
               std::to_string(victim + 1));
      killed.killedAt = Wall::now();
      nats.kill(victim);
      std::this_thread::sleep_for(1s);
      nats.start(victim);
    }
    std::this_thread::sleep_for(1s);
    streams.stop();
    const auto ended = Wall::now();
    row.acknowledged = streams.acknowledged();
    row.tally = settle(nodes, streams, killed, ended, std::chrono::seconds(options.settleSeconds),
                       row.settled, stopped);
    for (int i = 0; i < nodes.size(); ++i) {
      row.dropped += nodes.said(i, kDroppedLine) - droppedBefore[static_cast<std::size_t>(i)];
    }
    rows.push_back(std::move(row));
  }
  if (stopped) return false;

  TextTable table({"kill round (during the stream)", "changes acknowledged", "lost",
                   "lost in the commit in flight", "not on every node", "settled in s",
                   "dropped as superseded"});
  for (const KillRow& row : rows) {
    table.addRow({row.kind, std::to_string(row.acknowledged),
                  agesCell(row.tally.lost - row.tally.inFlight, row.tally.lostAges,
                           row.tally.lostBy) +
                      (row.tally.lostShutdowns > 0
                           ? ", " + std::to_string(row.tally.lostShutdowns) + " shutdowns"
                           : std::string()),
                  row.inFlightBound < 0
                      ? std::string("-")
                      : agesCell(row.tally.inFlight, row.tally.inFlightAges) + ", within " +
                            formatNumber(row.inFlightBound) + " ms",
                  std::to_string(row.tally.diverged),
                  row.settled < 0 ? "not within " + std::to_string(options.settleSeconds)
                                  : formatNumber(row.settled),
                  std::to_string(row.dropped)});
  }
  std::printf(
      "\nkills during a stream of registrations and shutdowns through each of %d nodes (one "
      "client per node, flat out),\na second into it; the stream goes on a second after the "
      "restart. lost: an acknowledged change that no node lists\nafter the nodes agree (settled: "
      "from the stream's end until they do). The commit in flight of a killed node:\nits changes "
      "acknowledged within the slowest ack to durable\n(a histogram bucket's bound) it showed in "
      "the round before the kill. A negative age: acknowledged after the kill.\ndropped as "
      "superseded: the nodes' lines that the bucket refused a change of theirs for a later one.\n",
      options.nodes);
  printTable(table);
  return true;
}

}  // namespace dirserver::bench

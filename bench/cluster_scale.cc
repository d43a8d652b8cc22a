// dirserver-cluster-bench: what a cluster of nodes costs a registration and what it buys the
// listing. Starts the three-node recipe's NATS servers (Debian's nats-server) and nodes of the
// real executable, each started with the recipe drop-in's command line, and reports as ratios
// measured in this one run:
//
//  1. registrations per second of a node with the cluster against the same node without it, both
//     on loopback of the benchmark's namespace, the same hosts from the same clients;
//  2. listings per second served by 1, 2 ... --nodes nodes, each node in a network namespace of
//     its own behind a veth link whose node-side end is limited with tc to --rate-mbit: the case
//     for several nodes, where each node's link bounds what it serves. --hosts hosts register
//     through the first node (from inside its namespace, so the fill takes no link time) and reach
//     the others through the bucket; then --clients list clients per node fetch listings as fast
//     as they can for --seconds;
//  3. on loopback, the heartbeat workload over the nodes at each of --heartbeat hosts (apply lag
//     from one node's acknowledgement to another's listing, ack-to-replicated from /metrics), and
//     --kill-rounds rounds of SIGKILL to a NATS server and to a node in the middle of a stream of
//     changes, with the acknowledged changes lost (bench/cluster_rounds.h).
//
// It needs root (ip netns, tc) and takes port 6001 on loopback: run it in a network namespace of
// its own, `unshare -n sh -c 'ip link set lo up && dirserver-cluster-bench'`. The namespaces, links
// and processes it makes are removed on every way out, SIGINT and SIGTERM included; after a
// SIGKILL its processes die with it, and the next run deletes the namespaces left behind.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/list_reply_decoder.h"
#include "cluster_rounds.h"
#include "protocol/message.h"
#include "support/loopback.h"
#include "support/nats_cluster.h"
#include "support/process.h"

namespace {

using namespace dirserver;
using namespace std::chrono_literals;
using Wall = std::chrono::steady_clock;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";
constexpr const char* kIp = "/usr/sbin/ip";
constexpr std::size_t kHostsPerSource = 50;  // below the hosts one address may own

std::atomic<bool> stopped{false};
extern "C" void onSignal(int) { stopped = true; }

struct Options {
  std::size_t hosts = 10000;
  int nodes = 3;
  int clients = 2;
  int seconds = 4;
  int rateMbit = 200;
  bool scale = true;  // parts 1 and 2
  std::vector<std::size_t> heartbeat{1000, 10000};
  bench::ClusterRoundOptions rounds;
};

// The address host `host` registers from: 127/8, so that the client runs where the node is
// reached over loopback.
std::string sourceOf(std::size_t host) {
  const std::size_t source = host / kHostsPerSource;
  return "127.1." + std::to_string(source / 250) + "." + std::to_string(source % 250 + 1);
}

// Registers hosts [0, count) named after `prefix` with `node`, from `threads` clients at once,
// each with hosts of its own sources. Returns the registrations per second, or 0 when one failed.
double registerAll(const testing::ServerAddress& node, const std::string& prefix, std::size_t count,
                   int threads, const std::string& netns = {}) {
  std::atomic<bool> failed{false};
  const auto started = Wall::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      if (!netns.empty()) {
        // This thread alone moves into the node's namespace: its loopback reaches the node.
        const int fd = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
          failed = true;
          return;
        }
        ::close(fd);
      }
      const std::size_t sources = (count + kHostsPerSource - 1) / kHostsPerSource;
      for (std::size_t source = static_cast<std::size_t>(t); source < sources && !stopped;
           source += static_cast<std::size_t>(threads)) {
        for (std::size_t host = source * kHostsPerSource;
             host < std::min(count, (source + 1) * kHostsPerSource); ++host) {
          const Bytes body =
              testing::requestBody(testing::hostStrings(kMelee, prefix + std::to_string(host)));
          if (!testing::roundTrip(node, testing::request(MessageType::Registration, body),
                                  sourceOf(host).c_str())) {
            failed = true;
          }
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(Wall::now() - started).count();
  return failed || stopped ? 0 : static_cast<double>(count) / seconds;
}

// The number of hosts `node` lists, or 0 when its reply does not decode.
std::size_t listedHosts(const testing::ServerAddress& node) {
  const auto reply = testing::roundTrip(node, testing::request(MessageType::ListRequest));
  ListedReply listed;
  std::string error;
  if (!reply || !decodeListReply(*reply, listed, error)) return 0;
  std::size_t hosts = 0;
  for (const ListedEntry& entry : listed.entries) hosts += entry.isDirectory ? 0 : 1;
  return hosts;
}

bool shell(const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  std::fprintf(stderr, "cluster-bench: failed: %s\n", command.c_str());
  return false;
}

// The benchmark's network: node i (from 1) in namespace dsbench-PID-i, reached from the
// benchmark's namespace at 10.231.i.2 through veth dsbPIDvi, whose node-side end sends at the
// limited rate. The destructor deletes the namespaces, and with them the links.
class Network {
 public:
  explicit Network(int nodes) : nodes_(nodes), tag_(std::to_string(::getpid())) {}
  ~Network() {
    for (int i = 1; i <= created_; ++i) {
      std::system(("ip netns del " + netns(i) + " 2>/dev/null").c_str());
      std::system(("ip link del " + outside(i) + " 2>/dev/null").c_str());
    }
  }
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  bool build(int rateMbit) {
    for (int i = 1; i <= nodes_; ++i) {
      created_ = i;
      const std::string ns = netns(i), in = "ip -n " + ns + " ", net = "10.231." + std::to_string(i);
      if (!shell("ip netns add " + ns) ||
          !shell("ip link add " + outside(i) + " type veth peer name " + inside(i) + " netns " + ns) ||
          !shell("ip addr add " + net + ".1/24 dev " + outside(i)) ||
          !shell("ip link set " + outside(i) + " up") || !shell(in + "link set lo up") ||
          !shell(in + "addr add " + net + ".2/24 dev " + inside(i)) ||
          !shell(in + "link set " + inside(i) + " up") ||
          !shell(in + "route add default via " + net + ".1") ||
          !shell("ip netns exec " + ns + " tc qdisc add dev " + inside(i) + " root tbf rate " +
                 std::to_string(rateMbit) + "mbit burst 256kb latency 50ms")) {
        return false;
      }
    }
    return true;
  }

  // Deletes the namespaces of earlier runs whose process is gone: a run SIGKILLed has no way to.
  static void removeStale() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
      const std::string name = entry.path().filename().string();
      if (!name.starts_with("dsbench-")) continue;
      const long pid = std::strtol(name.c_str() + 8, nullptr, 10);
      if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        std::system(("ip netns del " + name).c_str());
      }
    }
  }

  std::string netns(int i) const { return "dsbench-" + tag_ + "-" + std::to_string(i); }
  testing::ServerAddress node(int i) const {
    return {"10.231." + std::to_string(i) + ".2", kListenPort};
  }
  // The address of the benchmark's side of the first link, where the NATS servers listen: every
  // node reaches it, the first over its link's subnet, the others through their default route.
  static std::string natsAddress() { return "10.231.1.1"; }

 private:
  std::string outside(int i) const { return "dsb" + tag_ + "v" + std::to_string(i); }
  std::string inside(int i) const { return "dsb" + tag_ + "n" + std::to_string(i); }

  int nodes_;
  std::string tag_;
  int created_ = 0;
};

std::unique_ptr<testing::Process> startNode(const std::filesystem::path& root,
                                            const std::string& name, const std::string& program,
                                            std::vector<std::string> args,
                                            const testing::ServerAddress& address) {
  std::filesystem::create_directories(root / name);
  auto node = std::make_unique<testing::Process>(root / name, name, program, args);
  if (!node->waitServing(address, 10s)) {
    std::fprintf(stderr, "cluster-bench: node %s did not start: %s\n", name.c_str(),
                 node->err().c_str());
    return nullptr;
  }
  return node;
}

struct Served {
  double listings = 0;  // a second, over all nodes
  double megabytes = 0;  // a second, over all nodes
};

// `clients` list clients for each of the first `nodes` nodes, fetching listings until `seconds`
// have passed; a listing counts when it came whole (the size of the node's first one).
Served listFlatOut(const Network& network, int nodes, int clients, int seconds,
                   const std::vector<std::size_t>& sizes) {
  std::atomic<std::size_t> listings{0};
  const auto end = Wall::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> workers;
  for (int i = 1; i <= nodes; ++i) {
    for (int c = 0; c < clients; ++c) {
      workers.emplace_back([&, i] {
        const Bytes request = testing::request(MessageType::ListRequest);
        while (Wall::now() < end && !stopped) {
          const auto reply = testing::roundTrip(network.node(i), request);
          if (reply && reply->size() == sizes[static_cast<std::size_t>(i - 1)] && Wall::now() < end) {
            ++listings;
          }
        }
      });
    }
  }
  for (std::thread& worker : workers) worker.join();
  Served served;
  served.listings = static_cast<double>(listings) / seconds;
  served.megabytes = served.listings * static_cast<double>(sizes[0]) / 1e6;
  return served;
}

// Parts 1 and 2: registrations with and without the cluster, and the listings of 1 .. N nodes
// behind their links. Prints their tables; returns 0, or 1 with a line on standard error.
int runScale(const Options& options, const std::filesystem::path& dir, const Network& network,
             const std::vector<std::string>& recipe) {
  // 1. Registrations with and without the cluster: the same node, the same hosts.
  double alone = 0, clustered = 0;
  {
    const testing::ServerAddress address{"127.0.0.2", kListenPort};
    auto node = startNode(dir, "alone", DIRSERVER_BINARY,
                          {"--console", "summary", "--listen", "127.0.0.2:6001",
                           "--max-hosts-per-net", "65531", "--new-hosts-per-minute", "0"},
                          address);
    if (!node) return 1;
    alone = registerAll(address, "host ", options.hosts, 4);
  }
  {
    const testing::ServerAddress address{"127.0.0.3", kListenPort};
    std::vector<std::string> args = recipe;
    args.insert(args.end(), {"--listen", "127.0.0.3:6001", "--node-name", "clustered",
                             "--cluster-bucket", "registrations"});
    auto node = startNode(dir, "clustered", DIRSERVER_BINARY, args, address);
    if (!node || !node->waitOutput("follows the bucket", false, 30s)) return 1;
    clustered = registerAll(address, "host ", options.hosts, 4);
  }
  if (alone == 0 || clustered == 0 || stopped) {
    std::fprintf(stderr, "cluster-bench: a registration failed\n");
    return 1;
  }

  // 2. Listings from 1 .. N nodes, each behind its own limited link.
  std::vector<std::unique_ptr<testing::Process>> nodes;
  for (int i = 1; i <= options.nodes; ++i) {
    std::vector<std::string> args{"netns", "exec", network.netns(i), DIRSERVER_BINARY};
    args.insert(args.end(), recipe.begin(), recipe.end());
    args.insert(args.end(), {"--node-name", "node" + std::to_string(i)});
    nodes.push_back(startNode(dir, "node" + std::to_string(i), kIp, args,
                              network.node(i)));
    if (!nodes.back() || !nodes.back()->waitOutput("follows the bucket", false, 30s)) return 1;
  }
  if (registerAll({"127.0.0.1", kListenPort}, "listed ", options.hosts, 4, network.netns(1)) == 0) {
    std::fprintf(stderr, "cluster-bench: the fill through node 1 failed\n");
    return 1;
  }
  std::vector<std::size_t> sizes;
  const auto replicating = Wall::now();
  for (int i = 1; i <= options.nodes; ++i) {
    while (listedHosts(network.node(i)) < options.hosts) {
      if (stopped || Wall::now() - replicating > 120s) {
        std::fprintf(stderr, "cluster-bench: node %d never listed the %zu hosts\n", i,
                     options.hosts);
        return 1;
      }
      std::this_thread::sleep_for(100ms);
    }
    sizes.push_back(testing::roundTrip(network.node(i), testing::request(MessageType::ListRequest))
                        .value_or(Bytes{})
                        .size());
  }
  const double replicated = std::chrono::duration<double>(Wall::now() - replicating).count();
  std::vector<Served> served;
  for (int n = 1; n <= options.nodes && !stopped; ++n) {
    served.push_back(listFlatOut(network, n, options.clients, options.seconds, sizes));
  }
  if (stopped) return 1;
  if (served[0].listings == 0) {
    std::fprintf(stderr, "cluster-bench: no listing came whole from node 1\n");
    return 1;
  }

  std::printf("cluster: 3 NATS servers (R3), the recipe's node command line\n\n");
  std::printf("registrations of %zu new hosts, 4 clients, loopback\n", options.hosts);
  std::printf("%-32s %12s %8s\n", "", "per second", "ratio");
  std::printf("%-32s %12.0f %8.2f\n", "baseline: one node alone", alone, 1.0);
  std::printf("%-32s %12.0f %8.2f\n\n", "the same node in the cluster", clustered,
              clustered / alone);
  std::printf("listings of %zu hosts (%zu bytes each), each node behind a %d Mbit/s link,\n"
              "%d clients per node, %d s per row; the hosts reached the other nodes %.1f s after "
              "the fill\n",
              options.hosts, sizes[0], options.rateMbit, options.clients, options.seconds,
              replicated);
  std::printf("%-32s %12s %8s %8s\n", "", "listings/s", "MB/s", "ratio");
  for (std::size_t n = 0; n < served.size(); ++n) {
    const std::string row =
        (n == 0 ? "baseline: 1 node" : std::to_string(n + 1) + " nodes");
    std::printf("%-32s %12.1f %8.1f %8.2f\n", row.c_str(), served[n].listings, served[n].megabytes,
                served[n].listings / served[0].listings);
  }
  return 0;
}

int run(Options options) {
  testing::TestContext scratch;
  Network::removeStale();
  Network network(options.nodes);
  if (!network.build(options.rateMbit)) return 1;
  testing::NatsCluster nats(scratch.dir, NATS_SERVER_BINARY, 3, Network::natsAddress());
  if (!nats.waitReady()) {
    std::fprintf(stderr, "cluster-bench: the NATS servers did not form a cluster\n");
    return 1;
  }
  // The recipe's node, without the per-network bound and the new-host rate: the benchmark fills
  // the registry from a few networks as fast as it can, which those limits exist to refuse.
  std::vector<std::string> recipe = nats.nodeArguments();
  recipe.insert(recipe.end(), {"--max-hosts-per-net", "65531", "--new-hosts-per-minute", "0"});

  if (options.scale && runScale(options, scratch.dir, network, recipe) != 0) return 1;
  options.rounds.nodes = options.nodes;
  for (const std::size_t hosts : options.heartbeat) {
    if (stopped || !bench::runClusterHeartbeat(recipe, scratch.dir, hosts, options.rounds, stopped)) {
      return 1;
    }
  }
  if (options.rounds.killRounds > 0 &&
      !bench::runClusterKills(nats, recipe, scratch.dir, options.rounds, stopped)) {
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Output into a closed pipe (`| head`) must not end the run before it stops its NATS servers,
  // nodes and namespaces.
  std::signal(SIGPIPE, SIG_IGN);
  Options options;
  if (argc % 2 == 0) {
    std::fprintf(stderr, "cluster-bench: every option takes a value (%s has none)\n", argv[argc - 1]);
    return 2;
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (option == "--heartbeat") {
      // Sizes separated by commas; 0 alone runs none.
      options.heartbeat.clear();
      for (const char* at = argv[i + 1]; *at != 0;) {
        char* next = nullptr;
        const unsigned long hosts = std::strtoul(at, &next, 10);
        if (next == at) break;
        if (hosts > 0) options.heartbeat.push_back(hosts);
        at = *next == ',' ? next + 1 : next;
      }
      continue;
    }
    if (option == "--hosts") options.hosts = static_cast<std::size_t>(value);
    else if (option == "--nodes" || option == "--cluster") options.nodes = static_cast<int>(value);
    else if (option == "--clients") options.clients = static_cast<int>(value);
    else if (option == "--seconds") options.seconds = static_cast<int>(value);
    else if (option == "--rate-mbit") options.rateMbit = static_cast<int>(value);
    else if (option == "--scale") options.scale = value != 0;
    else if (option == "--heartbeat-seconds") options.rounds.heartbeatSeconds = static_cast<double>(value);
    else if (option == "--probes") options.rounds.probesPerSecond = static_cast<int>(value);
    else if (option == "--kill-rounds") options.rounds.killRounds = static_cast<int>(value);
    else if (option == "--settle-seconds") options.rounds.settleSeconds = static_cast<int>(value);
    else {
      std::fprintf(stderr, "cluster-bench: unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (options.nodes < 1 || options.nodes > 9 || options.hosts < 1 || options.clients < 1 ||
      options.seconds < 1 || options.rateMbit < 1 || options.rounds.heartbeatSeconds < 1 ||
      options.rounds.probesPerSecond < 1 || options.rounds.killRounds < 0 ||
      options.rounds.settleSeconds < 1) {
    std::fprintf(stderr, "cluster-bench: --nodes 1..9, and positive counts, please\n");
    return 2;
  }
  // 77: the smoke run in the test suite counts as skipped where it cannot run.
  if (::geteuid() != 0 || ::access(kIp, X_OK) != 0 || std::system("tc -V >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "cluster-bench: needs root, and %s and tc (iproute2)\n", kIp);
    return 77;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  try {
    return run(options);
  } catch (const std::exception& error) {
    // Thrown out of run(), past its processes and namespaces: they are gone by now.
    std::fprintf(stderr, "cluster-bench: %s\n", error.what());
    return 1;
  }
}

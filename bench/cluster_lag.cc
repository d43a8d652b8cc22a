// dirserver-cluster-lag: how long a registration acknowledged by one node of a cluster takes to be
// listed by another. Starts a JetStream cluster of three Debian nats-server processes and two
// nodes of the real executable on loopback (127.0.0.2 and 127.0.0.3), fills the registry with
// --hosts hosts, then registers --samples more one at a time on the first node and polls the
// second's listing until each appears. The baseline is the acknowledgement itself (a registration's
// round trip on the first node), measured in the same run; the lag is stated as its ratio to it.
// Run it in a network namespace of its own: the nodes take port 6001.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/list_reply_decoder.h"
#include "common/text.h"
#include "protocol/message.h"
#include "report.h"
#include "support/loopback.h"
#include "support/nats_cluster.h"
#include "support/process.h"

namespace {

using namespace dirserver;
using namespace std::chrono_literals;
using Wall = std::chrono::steady_clock;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";

// The address a host registers from: 50 hosts per address, below the per-address bound.
std::string sourceOf(std::size_t host) {
  return "127.1." + std::to_string(host / 50 / 250) + "." + std::to_string(host / 50 % 250 + 1);
}

std::optional<Bytes> registerHost(const testing::ServerAddress& node, const std::string& name,
                                  std::size_t host) {
  const std::string source = sourceOf(host);
  return testing::roundTrip(node,
                            testing::request(MessageType::Registration,
                                             testing::requestBody(testing::hostStrings(kMelee, name))),
                            source.c_str());
}

// The names of the hosts `node` lists.
std::vector<Bytes> listedNames(const testing::ServerAddress& node) {
  std::vector<Bytes> names;
  const auto reply = testing::roundTrip(node, testing::request(MessageType::ListRequest));
  ListedReply listed;
  std::string error;
  if (!reply || !decodeListReply(*reply, listed, error)) return names;
  for (ListedEntry& entry : listed.entries) {
    if (!entry.isDirectory) names.push_back(std::move(entry.texts[2]));
  }
  return names;
}

double millis(Wall::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  std::size_t hosts = 1000, samples = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--hosts") hosts = std::strtoul(argv[i + 1], nullptr, 10);
    else if (option == "--samples") samples = std::strtoul(argv[i + 1], nullptr, 10);
  }
  testing::TestContext scratch;
  testing::NatsCluster nats(scratch.dir, NATS_SERVER_BINARY);
  if (!nats.waitReady()) {
    std::fprintf(stderr, "cluster-lag: the NATS servers did not form a cluster\n");
    return 1;
  }
  const testing::ServerAddress a{"127.0.0.2", kListenPort}, b{"127.0.0.3", kListenPort};
  std::vector<std::unique_ptr<testing::Process>> nodes;
  for (const auto& [name, address] : {std::pair{"a", a}, std::pair{"b", b}}) {
    std::filesystem::create_directories(scratch.dir / name);
    nodes.push_back(std::make_unique<testing::Process>(
        scratch.dir / name, name, DIRSERVER_BINARY,
        std::vector<std::string>{"--listen", address.address + ":6001", "--cluster", nats.urls(),
                                 "--node-name", name, "--console", "summary",
                                 // the fill comes from a few networks as fast as it can
                                 "--max-hosts-per-net", "65531", "--new-hosts-per-minute", "0",
                                 "--control", (scratch.dir / name / "control.sock").string()}));
    if (!nodes.back()->waitServing(address, 10s) ||
        !nodes.back()->waitOutput(std::string("follows the bucket"), false, 30s)) {
      std::fprintf(stderr, "cluster-lag: node %s did not start: %s\n", name,
                   nodes.back()->err().c_str());
      return 1;
    }
  }
  const auto started = Wall::now();
  for (std::size_t i = 0; i < hosts; ++i) registerHost(a, "fill " + std::to_string(i), i);
  while (listedNames(b).size() < hosts) {
    if (Wall::now() - started > 300s) {
      std::fprintf(stderr, "cluster-lag: node b never listed the %zu hosts\n", hosts);
      return 1;
    }
    std::this_thread::sleep_for(10ms);
  }
  const double fill = millis(Wall::now() - started);

  std::vector<double> acks, lags;
  for (std::size_t i = 0; i < samples; ++i) {
    const std::string name = "probe " + std::to_string(i);
    const Bytes wanted = toUtf16le(name);
    const auto sent = Wall::now();
    if (!registerHost(a, name, hosts + i)) continue;
    const auto acknowledged = Wall::now();
    for (;;) {
      const std::vector<Bytes> names = listedNames(b);
      if (std::find(names.begin(), names.end(), wanted) != names.end()) break;
      if (Wall::now() - acknowledged > 30s) {
        std::fprintf(stderr, "cluster-lag: %s never reached node b\n", name.c_str());
        return 1;
      }
    }
    acks.push_back(millis(acknowledged - sent));
    lags.push_back(millis(Wall::now() - acknowledged));
  }
  const bench::LatencySummary ack = bench::summarize(acks), lag = bench::summarize(lags);
  std::printf("convergence lag, node a's acknowledgement to node b's listing (3 NATS servers, R3)\n");
  std::printf("hosts %zu, samples %zu, filled and listed by b in %.0f ms\n\n", hosts, acks.size(), fill);
  bench::TextTable table({"", "p50 ms", "p99 ms"});
  table.addRow({"baseline: registration round trip", bench::formatNumber(ack.p50),
                bench::formatNumber(ack.p99)});
  table.addRow({"lag: ack on a to listed by b", bench::formatNumber(lag.p50),
                bench::formatNumber(lag.p99)});
  table.addRow({"lag / baseline", bench::ratioCell(lag.p50, ack.p50),
                bench::ratioCell(lag.p99, ack.p99)});
  bench::printTable(table);
  return 0;
}

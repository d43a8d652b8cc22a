// The HAProxy recipe (packaging/haproxy/dirserver.cfg), run by Debian's haproxy with its addresses
// rewritten, in front of two real nodes that trust it: hosts registered through the balancer
// belong to their own addresses, and a node that dies stops getting connections once the check
// notices. The nodes are not joined, so ownership is checked on each node directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "common/text.h"
#include "protocol/proxy_header.h"
#include "client/list_reply_decoder.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::Client;
using testing::ServerAddress;

const ServerAddress kBalancer{"127.0.0.1", 6001};
const ServerAddress kNodes[] = {{"127.0.0.2", 6001}, {"127.0.0.3", 6001}};
constexpr int kClients = 65;  // from 127.0.0.10 on
constexpr const char* kAckHex = "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00";

std::string haproxyProgram() {
  for (const char* path : {"/usr/sbin/haproxy", "/usr/bin/haproxy"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

std::string source(int client) { return "127.0.0." + std::to_string(10 + client); }

// What the test sends a node directly: behind a header naming `peer`, or a LOCAL one.
Bytes asBalancer(const Bytes& request, const std::string& peer = {}) {
  Bytes bytes;
  if (peer.empty()) {
    for (const std::uint8_t byte : kProxyV2Signature) bytes.push_back(byte);
    for (const std::uint8_t byte : {0x20, 0x00, 0x00, 0x00}) bytes.push_back(byte);
  } else {
    putProxyV2Header(bytes, testing::ipv4(peer.c_str()), 40000, testing::ipv4("127.0.0.1"), 6001);
  }
  bytes.insert(bytes.end(), request.begin(), request.end());
  return bytes;
}

// The answer, or nullopt when the connection was refused or not closed in time.
std::optional<Bytes> talk(const ServerAddress& server, const Bytes& bytes,
                          const char* from = nullptr) {
  try {
    Client client(server, from);
    client.send(bytes);
    return client.receiveAll(10s);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Bytes registration(int client) { return testing::registration("Host" + std::to_string(client)); }
Bytes shutdown(int client) { return testing::shutdown("Host" + std::to_string(client)); }

// The hosts a node lists, asked with a LOCAL header as a balancer's check would.
std::size_t hostsListed(const ServerAddress& node) {
  const auto answer = talk(node, asBalancer(testing::request(MessageType::ListRequest)));
  ListedReply reply;
  std::string error;
  if (!answer || !decodeListReply(*answer, reply, error)) return SIZE_MAX;
  std::size_t hosts = 0;
  for (const ListedEntry& entry : reply.entries) hosts += entry.isDirectory ? 0 : 1;
  return hosts;
}

bool acknowledges(const ServerAddress& server, const Bytes& bytes, const char* from = nullptr) {
  const auto answer = talk(server, bytes, from);
  return answer && hexText(*answer) == kAckHex;
}

template <typename Check>
bool within(std::chrono::seconds limit, Check check) {
  for (const auto until = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms)) {
    if (check()) return true;
  }
  return false;
}

std::string recipe(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::string config =
      std::regex_replace(text.str(), std::regex("bind 0\\.0\\.0\\.0:6001"), "bind 127.0.0.1:6001");
  config = std::regex_replace(config, std::regex("10\\.0\\.0\\.11:6001"), "127.0.0.2:6001");
  return std::regex_replace(config, std::regex("10\\.0\\.0\\.12:6001"), "127.0.0.3:6001");
}

TEST(HaproxyRecipe, TwoNodesBehindTheBalancerKeepTheAddressRules) {
  const std::string haproxy = haproxyProgram();
  if (haproxy.empty()) GTEST_SKIP() << "haproxy is missing: run scripts/install-deps test";
  testing::TestContext t;
  std::vector<std::unique_ptr<testing::Process>> nodes;
  for (int n = 0; n < 2; ++n) {
    const std::filesystem::path dir = t.dir / ("node" + std::to_string(n + 1));
    std::filesystem::create_directories(dir);
    nodes.push_back(std::make_unique<testing::Process>(
        dir, "node", DIRSERVER_BINARY,
        std::vector<std::string>{"--listen", kNodes[n].address + ":6001", "--proxy-from",
                                 "127.0.0.1/32"}));
  }
  for (int n = 0; n < 2; ++n) {
    ASSERT_TRUE(within(10s, [&] {
      return acknowledges(kNodes[n], asBalancer(testing::request(MessageType::AckRequest)));
    })) << nodes[n]->err();
  }
  {
    std::ofstream config(t.dir / "haproxy.cfg");
    config << recipe(DIRSERVER_SOURCE_DIR "/packaging/haproxy/dirserver.cfg");
  }
  testing::Process balancer(t.dir, "haproxy", haproxy,
                            {"-db", "-f", (t.dir / "haproxy.cfg").string()});
  ASSERT_TRUE(within(10s, [&] {
    return acknowledges(kBalancer, testing::request(MessageType::AckRequest), "127.0.0.9");
  })) << balancer.err();

  // 65 addresses register at once through the balancer, each a host of its own.
  std::vector<Client> hosts;
  for (int c = 0; c < kClients; ++c) {
    hosts.emplace_back(kBalancer, source(c).c_str());
    hosts.back().send(registration(c));
  }
  for (int c = 0; c < kClients; ++c) {
    const auto answer = hosts[c].receiveAll(10s);
    EXPECT_TRUE(answer && hexText(*answer) == kAckHex) << source(c);
  }
  EXPECT_EQ(hostsListed(kNodes[0]) + hostsListed(kNodes[1]), std::size_t{kClients});
  // leastconn spreads them, the balancer's checks having found both nodes up.
  EXPECT_GT(hostsListed(kNodes[0]), 0u) << balancer.err() << nodes[0]->err();
  EXPECT_GT(hostsListed(kNodes[1]), 0u) << balancer.err() << nodes[1]->err();

  // Through the balancer, another address shuts nothing down, whichever node it reaches.
  for (int c = 0; c < kClients; ++c) {
    EXPECT_TRUE(acknowledges(kBalancer, shutdown(c), source((c + 1) % kClients).c_str()));
  }
  EXPECT_EQ(hostsListed(kNodes[0]) + hostsListed(kNodes[1]), std::size_t{kClients});
  // Its owner's address does, on whichever node holds it.
  for (const ServerAddress& node : kNodes) {
    EXPECT_TRUE(acknowledges(node, asBalancer(shutdown(0), source(0))));
  }
  EXPECT_EQ(hostsListed(kNodes[0]) + hostsListed(kNodes[1]), std::size_t{kClients - 1});

  // One node dies; once the check has noticed, every new connection goes to the other.
  nodes[0]->kill();
  EXPECT_TRUE(within(20s, [&] {
    return balancer.err().find("node1 is DOWN") != std::string::npos ||
           balancer.out().find("node1 is DOWN") != std::string::npos;
  })) << balancer.err();
  for (int c = 0; c < 20; ++c) {
    EXPECT_TRUE(
        acknowledges(kBalancer, testing::request(MessageType::AckRequest), source(c).c_str()));
  }
  EXPECT_EQ(hostsListed(kNodes[1]) > 0, true);
  // The checks came with LOCAL headers, which the nodes took.
  EXPECT_EQ(nodes[1]->err().find("PROXY"), std::string::npos) << nodes[1]->err();
}

}  // namespace
}  // namespace dirserver

// Cluster mode on a secured NATS: nodes of the real executable that speak TLS to a JetStream
// server whose certificate comes from a certificate authority made for the test with the openssl
// command, and the start that ends when a file for the secured link cannot be read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "client/list_reply_decoder.h"
#include "common/text.h"
#include "net/listener.h"
#include "protocol/message.h"
#include "support/loopback.h"
#include "support/process.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";

// Runs openssl with `args` in `dir`; fails the test when it does not succeed.
void openssl(const fs::path& dir, const std::vector<std::string>& args) {
  const testing::Finished run = testing::runToEnd(dir, OPENSSL_BINARY, args);
  ASSERT_EQ(run.status, 0) << run.err;
}

// A certificate authority and a certificate for 127.0.0.1 it signed, with their keys, in `dir`:
// ca.pem, server.pem and server.key; other.pem is a second authority that signed nothing.
void makeCertificates(const fs::path& dir) {
  const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                        "-nodes"};
  const auto with = [&key](std::vector<std::string> args) {
    args.insert(args.begin() + 1, key.begin(), key.end());
    return args;
  };
  openssl(dir, with({"req", "-x509", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                     "/CN=dirserver test CA"}));
  openssl(dir, with({"req", "-x509", "-keyout", "other.key", "-out", "other.pem", "-days", "2",
                     "-subj", "/CN=another CA"}));
  openssl(dir, with({"req", "-keyout", "server.key", "-out", "server.csr", "-subj",
                     "/CN=127.0.0.1"}));
  std::ofstream(dir / "names.cnf") << "subjectAltName=IP:127.0.0.1\n";
  openssl(dir, {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "names.cnf"});
}

// A port of 127.0.0.1 free at this moment.
std::uint16_t freePort() {
  const int socket = bindListener(0, 0x7f000001);
  const std::uint16_t port = socket >= 0 ? localPort(socket) : 0;
  if (socket >= 0) ::close(socket);
  return port;
}

class ClusterTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(makeCertificates(scratch_.dir));
    port_ = freePort();
    ASSERT_NE(port_, 0);
    // One server is a cluster enough for TLS: the nodes create their bucket with one copy.
    std::ofstream(scratch_.dir / "nats.conf")
        << "listen: 127.0.0.1:" << port_ << "\n"
        << "jetstream { store_dir: \"" << (scratch_.dir / "js").string() << "\" }\n"
        << "tls { cert_file: \"" << (scratch_.dir / "server.pem").string() << "\", key_file: \""
        << (scratch_.dir / "server.key").string() << "\" }\n";
    nats_ = std::make_unique<testing::Process>(
        scratch_.dir, "nats", NATS_SERVER_BINARY,
        std::vector<std::string>{"-c", (scratch_.dir / "nats.conf").string()});
    ASSERT_TRUE(nats_->waitOutput("Server is ready", true, 10s)) << nats_->err();
  }

  // Starts node `name` on `address`:6001 with `extra` options after the cluster's.
  std::unique_ptr<testing::Process> node(const std::string& name, const std::string& address,
                                         std::vector<std::string> extra) {
    const fs::path dir = scratch_.dir / name;
    fs::create_directories(dir);
    std::vector<std::string> args = {"--listen", address + ":6001", "--cluster",
                                     "nats://127.0.0.1:" + std::to_string(port_),
                                     "--cluster-replicas", "1", "--node-name", name, "--control",
                                     (dir / "control.sock").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<testing::Process>(dir, name, DIRSERVER_BINARY, args);
  }

  std::string file(const char* name) const { return (scratch_.dir / name).string(); }

  testing::TestContext scratch_;
  std::uint16_t port_ = 0;
  std::unique_ptr<testing::Process> nats_;
};

bool lists(const testing::ServerAddress& node, std::string_view host) {
  const auto reply = testing::roundTrip(node, testing::request(MessageType::ListRequest));
  ListedReply listed;
  std::string error;
  if (!reply || !decodeListReply(*reply, listed, error)) return false;
  for (const ListedEntry& entry : listed.entries) {
    if (!entry.isDirectory && entry.texts[2] == toUtf16le(host)) return true;
  }
  return false;
}

TEST_F(ClusterTlsTest, NodesTrustingTheServersAuthorityShareTheBucketAndOthersSayWhyTheyCannot) {
  const testing::ServerAddress a{"127.0.0.2", kListenPort}, b{"127.0.0.3", kListenPort};
  auto nodeA = node("a", a.address, {"--cluster-tls-ca", file("ca.pem")});
  auto nodeB = node("b", b.address, {"--cluster-tls-ca", file("ca.pem")});
  for (auto* started : {nodeA.get(), nodeB.get()}) {
    ASSERT_TRUE(started->waitServing(started == nodeA.get() ? a : b, 10s)) << started->err();
    ASSERT_TRUE(started->waitOutput("follows the bucket", false, 30s)) << started->err();
  }
  ASSERT_TRUE(testing::roundTrip(
      a, testing::request(MessageType::Registration,
                          testing::requestBody(testing::hostStrings(kMelee, "Sealed"))),
      "127.0.0.5"));
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (!lists(b, "Sealed") && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(lists(b, "Sealed"));

  // Trusting another authority, or none (the system's), the handshake fails: the node says why
  // once, and serves from its own registry meanwhile.
  const testing::ServerAddress c{"127.0.0.4", kListenPort}, d{"127.0.0.6", kListenPort};
  auto nodeC = node("c", c.address, {"--cluster-tls-ca", file("other.pem")});
  auto nodeD = node("d", d.address, {});
  for (auto* refused : {nodeC.get(), nodeD.get()}) {
    ASSERT_TRUE(refused->waitServing(refused == nodeC.get() ? c : d, 10s)) << refused->err();
    EXPECT_TRUE(refused->waitOutput("+warning: cluster: cannot open the bucket 'dirserver' yet (SSL",
                                    true, 20s))
        << refused->err();
    EXPECT_NE(refused->err().find("certificate"), std::string::npos) << refused->err();
    EXPECT_EQ(refused->out().find("follows the bucket"), std::string::npos);
  }
  EXPECT_FALSE(lists(c, "Sealed"));
}

TEST_F(ClusterTlsTest, AFileForTheSecuredLinkThatCannotBeReadEndsTheStart) {
  const std::string missing = file("missing.creds");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--cluster-creds", missing},
       "+error: --cluster-creds " + missing + ": cannot read it: No such file or directory\n"},
      {{"--cluster-tls-ca", scratch_.dir.string()},
       "+error: --cluster-tls-ca " + scratch_.dir.string() + ": cannot read it: Is a directory\n"},
  };
  for (const auto& [extra, line] : cases) {
    auto refused = node("e", "127.0.0.7", extra);
    EXPECT_EQ(refused->waitExit(10s), 1);
    EXPECT_EQ(refused->err(), line);
    EXPECT_FALSE(fs::exists(scratch_.dir / "e" / "server_list.dat"));
  }
}

}  // namespace
}  // namespace dirserver

#include "support/nats_cluster.h"

#include <csignal>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "net/listener.h"
#include "support/http_client.h"
#include "support/loopback.h"

namespace dirserver::testing {
namespace {

// A port of 127.0.0.1 free at this moment: the kernel's choice for a socket bound to port 0.
std::uint16_t freePort() {
  const int socket = bindListener(0, 0x7f000001);
  if (socket < 0) throw std::runtime_error("no free port");
  const std::uint16_t port = localPort(socket);
  ::close(socket);
  return port;
}

}  // namespace

NatsCluster::NatsCluster(const std::filesystem::path& dir, std::string program, int servers)
    : dir_(dir), program_(std::move(program)), servers_(static_cast<std::size_t>(servers)) {
  for (Server& server : servers_) {
    server.client = freePort();
    server.cluster = freePort();
    server.monitor = freePort();
  }
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    Server& server = servers_[i];
    const std::string name = "nats" + std::to_string(i);
    std::filesystem::create_directories(dir_ / name);
    server.config = dir_ / (name + ".conf");
    std::ofstream config(server.config);
    config << "server_name: " << name << "\n"
           << "listen: 127.0.0.1:" << server.client << "\n"
           << "http: 127.0.0.1:" << server.monitor << "\n"
           << "jetstream { store_dir: \"" << (dir_ / name).string() << "\" }\n"
           << "cluster {\n  name: dirtest\n  listen: 127.0.0.1:" << server.cluster
           << "\n  routes: [";
    const char* separator = " ";
    for (std::size_t j = 0; j < servers_.size(); ++j) {
      if (j == i) continue;
      config << separator << "\"nats-route://127.0.0.1:" << servers_[j].cluster << "\"";
      separator = ", ";
    }
    config << " ]\n}\n";
  }
  for (int i = 0; i < size(); ++i) start(i);
}

NatsCluster::~NatsCluster() = default;

void NatsCluster::start(int i) {
  Server& server = servers_[static_cast<std::size_t>(i)];
  server.process.reset();
  server.process = std::make_unique<Process>(dir_, "nats" + std::to_string(i), program_,
                                             std::vector<std::string>{"-c", server.config.string()});
}

void NatsCluster::kill(int i) { servers_[static_cast<std::size_t>(i)].process->kill(); }
void NatsCluster::pause(int i) { servers_[static_cast<std::size_t>(i)].process->signal(SIGSTOP); }
void NatsCluster::resume(int i) { servers_[static_cast<std::size_t>(i)].process->signal(SIGCONT); }

bool NatsCluster::waitReady(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (const Server& server : servers_) {
    for (;;) {
      // The meta group's leader is named once JetStream's cluster has formed.
      const HttpReply reply = httpRequest(server.monitor, "GET", "/jsz", {}, nullptr, 2s);
      if (reply.status == 200 && reply.body.find("\"leader\"") != std::string::npos &&
          reply.body.find("\"leader\": \"\"") == std::string::npos) {
        break;
      }
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(100ms);
    }
  }
  return true;
}

std::string NatsCluster::urls() const {
  std::string urls;
  for (const Server& server : servers_) {
    urls += (urls.empty() ? "" : ",") + std::string("nats://127.0.0.1:") +
            std::to_string(server.client);
  }
  return urls;
}

}  // namespace dirserver::testing

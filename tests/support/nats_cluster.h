// A real JetStream cluster of three NATS servers, for the tests and benchmarks of cluster mode:
// each server configured from the three-node recipe (packaging/cluster/nats-N.conf, its
// placeholders filled in), on free ports of one address, with its store in a directory of the
// test's.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace dirserver::testing {

class NatsCluster {
 public:
  // Writes the servers' configurations under `dir` and starts them with `program` (nats-server).
  // The servers take their client and route ports on `address` (loopback unless the nodes run in
  // network namespaces of their own); `servers` is at most the recipe's three.
  NatsCluster(const std::filesystem::path& dir, std::string program, int servers = 3,
              std::string address = "127.0.0.1");
  ~NatsCluster();
  NatsCluster(const NatsCluster&) = delete;
  NatsCluster& operator=(const NatsCluster&) = delete;

  // Waits, at most `limit`, until every running server reports JetStream with a meta leader
  // elected: a bucket can be created and written.
  bool waitReady(std::chrono::milliseconds limit = std::chrono::seconds(30));

  // The client URLs of all servers, comma-separated, as --cluster takes them.
  std::string urls() const;

  // A node's arguments as the recipe's unit drop-in (packaging/cluster/dirserver-cluster.conf)
  // starts it, pointed at these servers: its ExecStart without the program. Throws when the
  // drop-in holds no command line.
  std::vector<std::string> nodeArguments() const;

  // Stops server `i` with SIGKILL (it keeps its store), or starts it again on the same ports.
  void kill(int i);
  void start(int i);
  // SIGSTOP and SIGCONT.
  void pause(int i);
  void resume(int i);
  // Starts or resumes whatever a test left killed or paused (one that failed half-way) and waits
  // until the cluster is ready again, so that the next test starts from a whole cluster.
  bool restoreAll();
  int size() const { return running_; }

 private:
  struct Server {
    std::uint16_t client = 0, cluster = 0, monitor = 0;
    std::filesystem::path config;
    std::unique_ptr<Process> process;
    bool killed = false, paused = false;
  };
  // `text` with the recipe's placeholders replaced by this cluster's addresses, ports and stores.
  std::string fillIn(std::string text, const std::filesystem::path& store) const;

  std::filesystem::path dir_;
  std::string program_;
  std::string address_;
  std::vector<Server> servers_;  // the recipe's three, of which the first running_ run
  int running_ = 0;
};

}  // namespace dirserver::testing

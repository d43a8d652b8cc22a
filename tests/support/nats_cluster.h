// A real JetStream cluster of three NATS servers on loopback, for the tests of cluster mode: each
// server on free ports of 127.0.0.1, with its store in a directory of the test's.
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
  NatsCluster(const std::filesystem::path& dir, std::string program, int servers = 3);
  ~NatsCluster();
  NatsCluster(const NatsCluster&) = delete;
  NatsCluster& operator=(const NatsCluster&) = delete;

  // Waits, at most `limit`, until every running server reports JetStream with a meta leader
  // elected: a bucket can be created and written.
  bool waitReady(std::chrono::milliseconds limit = std::chrono::seconds(30));

  // The client URLs of all servers, comma-separated, as --cluster takes them.
  std::string urls() const;

  // Stops server `i` with SIGKILL (it keeps its store), or starts it again on the same ports.
  void kill(int i);
  void start(int i);
  // SIGSTOP and SIGCONT.
  void pause(int i);
  void resume(int i);
  int size() const { return static_cast<int>(servers_.size()); }

 private:
  struct Server {
    std::uint16_t client = 0, cluster = 0, monitor = 0;
    std::filesystem::path config;
    std::unique_ptr<Process> process;
  };
  std::filesystem::path dir_;
  std::string program_;
  std::vector<Server> servers_;
};

}  // namespace dirserver::testing

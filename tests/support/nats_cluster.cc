#include "support/nats_cluster.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
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

constexpr int kRecipeServers = 3;

// A file of the three-node recipe, as the repository holds it.
std::string readRecipe(const std::string& name) {
  std::ifstream file(std::filesystem::path(NATS_RECIPE_DIR) / name);
  if (!file) throw std::runtime_error("cannot read the recipe's " + name);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

NatsCluster::NatsCluster(const std::filesystem::path& dir, std::string program, int servers,
                         std::string address)
    : dir_(dir), program_(std::move(program)), address_(std::move(address)) {
  if (servers < 1 || servers > kRecipeServers) throw std::invalid_argument("1 to 3 NATS servers");
  // The recipe's routes name all three servers: each gets its ports, started or not.
  servers_.resize(kRecipeServers);
  for (Server& server : servers_) {
    server.client = freePort();
    server.cluster = freePort();
    server.monitor = freePort();
  }
  for (int i = 0; i < kRecipeServers; ++i) {
    Server& server = servers_[static_cast<std::size_t>(i)];
    const std::string name = "nats" + std::to_string(i);
    std::filesystem::create_directories(dir_ / name);
    server.config = dir_ / (name + ".conf");
    const std::string recipe = readRecipe("nats-" + std::to_string(i + 1) + ".conf");
    std::ofstream(server.config) << fillIn(recipe, dir_ / name);
  }
  running_ = servers;
  for (int i = 0; i < size(); ++i) start(i);
}

std::string NatsCluster::fillIn(std::string text, const std::filesystem::path& store) const {
  std::vector<std::pair<std::string, std::string>> values{{"@STORE_DIR@", store.string()}};
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    values.emplace_back("@ADDR_" + n + "@", address_);
    values.emplace_back("@CLIENT_PORT_" + n + "@", std::to_string(servers_[i].client));
    values.emplace_back("@ROUTE_PORT_" + n + "@", std::to_string(servers_[i].cluster));
    values.emplace_back("@MONITOR_PORT_" + n + "@", std::to_string(servers_[i].monitor));
  }
  for (const auto& [placeholder, value] : values) {
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
      text.replace(at, placeholder.size(), value);
    }
  }
  // The comments name the placeholders; any other line must have none left.
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with('#') && line.find('@') != std::string::npos) {
      throw std::runtime_error("a placeholder of the recipe is not filled in: " + line);
    }
  }
  return text;
}

std::vector<std::string> NatsCluster::nodeArguments() const {
  std::istringstream dropIn(fillIn(readRecipe("dirserver-cluster.conf"), {}));
  for (std::string line; std::getline(dropIn, line);) {
    constexpr std::string_view kStart = "ExecStart=";
    if (!line.starts_with(kStart) || line.size() == kStart.size()) continue;
    std::istringstream words(line.substr(kStart.size()));
    std::vector<std::string> arguments;
    for (std::string word; words >> word;) arguments.push_back(word);
    arguments.erase(arguments.begin());
    return arguments;
  }
  throw std::runtime_error("the recipe's dirserver drop-in holds no ExecStart command line");
}

NatsCluster::~NatsCluster() = default;

void NatsCluster::start(int i) {
  Server& server = servers_[static_cast<std::size_t>(i)];
  server.process.reset();
  server.killed = server.paused = false;
  server.process = std::make_unique<Process>(dir_, "nats" + std::to_string(i), program_,
                                             std::vector<std::string>{"-c", server.config.string()});
}

void NatsCluster::kill(int i) {
  Server& server = servers_[static_cast<std::size_t>(i)];
  server.process->kill();
  server.killed = true;
}
void NatsCluster::pause(int i) {
  Server& server = servers_[static_cast<std::size_t>(i)];
  server.process->signal(SIGSTOP);
  server.paused = true;
}
void NatsCluster::resume(int i) {
  Server& server = servers_[static_cast<std::size_t>(i)];
  server.process->signal(SIGCONT);
  server.paused = false;
}

bool NatsCluster::restoreAll() {
  bool restored = false;
  for (int i = 0; i < size(); ++i) {
    const Server& server = servers_[static_cast<std::size_t>(i)];
    restored = restored || server.paused || server.killed;
    if (server.paused) resume(i);
    if (server.killed) start(i);
  }
  return !restored || waitReady();
}

bool NatsCluster::waitReady(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (int i = 0; i < size(); ++i) {
    const Server& server = servers_[static_cast<std::size_t>(i)];
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
  for (int i = 0; i < size(); ++i) {
    const Server& server = servers_[static_cast<std::size_t>(i)];
    urls += std::string(urls.empty() ? "" : ",") + "nats://" + address_ + ":" + std::to_string(server.client);
  }
  return urls;
}

}  // namespace dirserver::testing

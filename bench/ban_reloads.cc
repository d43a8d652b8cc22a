#include "ban_reloads.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "hosts.h"
#include "load.h"
#include "process.h"
#include "report.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kReloads = 5;
constexpr auto kReloadInterval = 500ms;
constexpr std::uint32_t kHosts = 1000;

// One client's acknowledgements on the game port for `seconds`.
WorkloadResult acknowledgements(Seconds seconds) {
  Workload workload;
  workload.port = kListenPort;
  workload.requests = {buildRequest(MessageType::AckRequest)};
  workload.expect = {Expectation::Kind::Ack};
  workload.clients = 1;
  workload.budget = seconds;
  workload.drainLimit = 30s;
  return runWorkload(workload);
}

}  // namespace

void runBanReloads(const BanReloadRun& run) {
  const fs::path dir = run.base / "ban-reloads";
  fs::create_directory(dir);
  HostFactory factory;
  std::vector<Host> hosts;
  const auto now = nowSeconds();
  for (std::uint32_t i = 0; i < kHosts; ++i) hosts.push_back(factory.next(now));
  writeServerListFile(dir / "server_list.dat", hosts);
  {
    std::ofstream bans(dir / "bans.txt");
    for (std::uint32_t i = 0; i < run.lines; ++i) {
      bans << "10." << (i >> 16 & 255) << '.' << (i >> 8 & 255) << '.' << (i & 255)
           << "/32 spam\n";
    }
  }
  const auto fileBytes = fs::file_size(dir / "bans.txt");
  progress("ban reloads: " + std::to_string(run.lines) + " bans (" +
           formatBytes(static_cast<double>(fileBytes)) + "), " + std::to_string(kHosts) + " hosts");
  ServerProcess server(run.server, dir);
  server.waitUntilServing(120s);
  if (!server.waitOut("- loaded " + std::to_string(run.lines) + " bans", 60s)) {
    throw std::runtime_error("the server did not load the bans: " + server.err());
  }

  const WorkloadResult quiet = acknowledgements(2.5s);
  WorkloadResult reloading;
  std::thread client([&] { reloading = acknowledgements(Seconds(kReloads * 0.5 + 0.5)); });
  const auto started = Clock::now();
  for (int i = 0; i < kReloads; ++i) {
    ::kill(server.pid(), SIGHUP);
    std::this_thread::sleep_until(started + (i + 1) * kReloadInterval);
  }
  client.join();
  // Each reload prints its line once it is in force.
  std::size_t reported = 0;
  for (auto until = Clock::now() + 60s; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
    const std::string out = server.out();
    reported = 0;
    for (auto at = out.find("- reloaded "); at != std::string::npos;
         at = out.find("- reloaded ", at + 1)) {
      ++reported;
    }
    if (reported >= kReloads) break;
  }
  if (reported < kReloads) {
    throw std::runtime_error("only " + std::to_string(reported) + " of " +
                             std::to_string(kReloads) + " reloads were reported: " + server.err());
  }

  TextTable table({"game port acks, 1 client", "requests", "p50 ms", "p99 ms", "worst ms",
                   "worst x quiet"});
  for (const auto& [label, result] :
       {std::pair{"quiet", &quiet}, {"during 5 SIGHUP reloads", &reloading}}) {
    table.addRow({label,
                  std::to_string(result->completed) +
                      (result->failed ? ", " + std::to_string(result->failed) + " failed" : ""),
                  formatNumber(result->latency.p50), formatNumber(result->latency.p99),
                  formatNumber(result->latency.max),
                  quiet.latency.max > 0 ? formatRatio(result->latency.max / quiet.latency.max)
                                        : "-"});
  }
  std::printf(
      "\nBans file reloads: %u lines of a /32 and a reason (%s), %u hosts; %d SIGHUPs %lld ms\n"
      "apart, each read and parsed off the loop, which only swaps the lists in.\n\n",
      run.lines, formatBytes(static_cast<double>(fileBytes)).c_str(), kHosts, kReloads,
      static_cast<long long>(kReloadInterval.count()));
  printTable(table);
  std::fflush(stdout);
  server.kill();
  fs::remove_all(dir);
}

}  // namespace dirserver::bench

// What a reload of a large bans file costs the game port: the server started with a bans file of
// many lines, the game port's acknowledgement latency measured quiet and then while SIGHUPs make
// it read the file again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace dirserver::bench {

struct BanReloadRun {
  std::string server;
  std::filesystem::path base;
  std::uint32_t lines = 0;  // bans in the file, one /32 with a short reason each
};

// Runs the measurement in a directory under `run.base` and prints its table: one client's
// acknowledgements for 2.5 s quiet, then during 5 SIGHUPs half a second apart (and until the
// server has printed each reload's line), with their p50, p99 and worst latency, the worst as a
// ratio to the quiet run's. Throws std::runtime_error when the server does not start or a reload
// is not reported.
void runBanReloads(const BanReloadRun& run);

}  // namespace dirserver::bench

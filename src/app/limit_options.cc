#include "app/limit_options.h"

#include <charconv>

namespace dirserver {
namespace {

// A decimal number from `least` to `most`, all of `text`.
bool parseBounded(const std::string& text, std::uint32_t least, std::uint32_t most,
                  std::uint32_t& out) {
  std::uint32_t value = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (failure != std::errc() || end != text.data() + text.size() || value < least ||
      value > most) {
    return false;
  }
  out = value;
  return true;
}

constexpr std::uint32_t kMostPerMinute = 1'000'000;

}  // namespace

const char* const kLimitOptionsUsage =
    "  --max-hosts-per-net N\n"
    "                       refuse new hosts once the addresses of one network own N between\n"
    "                       them (default 256); refreshes are never refused\n"
    "  --net-prefix P       a network is the addresses that share their first P bits (0 to 32,\n"
    "                       default 24)\n"
    "  --new-hosts-per-minute N\n"
    "                       refuse new hosts from an address beyond N a minute, after a burst\n"
    "                       of 64 (default 60; 0: no limit); refreshes and shutdowns never\n"
    "  --listings-per-minute N\n"
    "                       close without a listing the connections of an address that asks for\n"
    "                       more than N listings a minute (default 0: no limit, since many\n"
    "                       players share one address behind carrier-grade NAT)\n";

bool isLimitOption(const std::string& name) {
  return name == "--max-hosts-per-net" || name == "--net-prefix" ||
         name == "--new-hosts-per-minute" || name == "--listings-per-minute";
}

const char* limitValueName(const std::string& name) { return name == "--net-prefix" ? "P" : "N"; }

bool parseLimitOption(const std::string& name, const std::string& value, LimitOptions& options,
                      std::string& error) {
  std::uint32_t number = 0;
  const auto bad = [&](const char* expected) {
    error = name + " '" + value + "': expected " + expected;
    return false;
  };
  if (name == "--max-hosts-per-net") {
    if (!parseBounded(value, 1, kMaxServers, number)) return bad("1 to 65531");
    options.maxHostsPerNetwork = number;
  } else if (name == "--net-prefix") {
    if (!parseBounded(value, 0, 32, number)) return bad("0 to 32");
    options.networkPrefix = static_cast<int>(number);
  } else {
    if (!parseBounded(value, 0, kMostPerMinute, number)) return bad("0 to 1000000");
    (name == "--new-hosts-per-minute" ? options.newHostsPerMinute : options.listingsPerMinute) =
        number;
  }
  return true;
}

void applyLimitOptions(const LimitOptions& options, ServerContext& context) {
  context.registry.setNetworkPrefix(options.networkPrefix);
  context.maxHostsPerNetwork = options.maxHostsPerNetwork;
  context.newHostRate = AddressRate(options.newHostsPerMinute, kNewHostBurst);
  // A minute's listings at once: a client that fetches the listing in a burst (a refresh button
  // pressed a few times) is not held to the average.
  context.listingRate = AddressRate(options.listingsPerMinute, options.listingsPerMinute);
}

}  // namespace dirserver

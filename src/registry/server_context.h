// Everything the request handlers, the expiry sweep and the server list file work on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/address_rate.h"
#include "common/clock.h"
#include "common/console.h"
#include "registry/server_registry.h"

namespace dirserver {

// New hosts one address may register a minute unless the server is told otherwise
// (--new-hosts-per-minute), and how many at once: a machine that starts all its 64 game servers
// (what one address may own) registers them together, then one a second at most. Refreshes and
// shutdowns are never held to it.
inline constexpr std::uint32_t kDefaultNewHostsPerMinute = 60;
inline constexpr std::uint32_t kNewHostBurst = kMaxServersPerAddress;

// The server's state and its surroundings. The server has exactly one, made by main with the
// fixed values below; tests make their own with an empty registry, captured console streams, a
// clock they set and a file in a directory of their own.
struct ServerContext {
  ServerRegistry registry;
  Console console;
  // Registration times are wall seconds; hosts age (expiry, owner silence) by the clock's steady
  // seconds, so that setting the wall clock moves neither. Must outlive the context.
  const Clock* clock = &systemClock();
  // The wall clock minus the steady clock as last read by anchorHostAges or the expiry sweep,
  // which tell a step of the wall clock by its change; unset before either ran.
  std::optional<std::int64_t> wallAheadOfSteady;
  // When set, every key computation prints its trace on console.out (the command-line switch).
  bool traceKeys = false;
  // New hosts are refused when their strings would take the registry's (fieldBytes) past this.
  std::uint64_t maxHostBytes = kDefaultMaxHostBytes;
  // New hosts are refused once the registry holds this many; at most kMaxServers. A node of a
  // cluster keeps a margin below the bound for the hosts its peers admit.
  std::uint32_t maxHosts = kMaxServers;
  // New hosts are refused once the owners of their address's network (the registry's network
  // prefix) own this many; a takeover that would pass it is refused too.
  std::uint32_t maxHostsPerNetwork = kDefaultMaxHostsPerNetwork;
  // New hosts each address may register, at the steady clock; read and taken by registration.
  AddressRate newHostRate{kDefaultNewHostsPerMinute, kNewHostBurst};
  // Listings each address may ask for; off (0 a minute) unless the server is told otherwise,
  // since many players share one address behind carrier-grade NAT. Taken by dispatch.
  AddressRate listingRate{0, 0};
  // When set, a registration that only refreshes a registered host prints none of its lines and
  // counts in unprintedRefreshes; the loop prints that count now and then (--console summary).
  bool summarizeRefreshes = false;
  std::uint64_t unprintedRefreshes = 0;
  // The server list file; a bare name, so it lies in the working directory.
  std::string listFile = "server_list.dat";

  std::FILE* keyTrace() const { return traceKeys ? console.out : nullptr; }
};

}  // namespace dirserver

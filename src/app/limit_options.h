// The command line's per-network and per-address rate options, apart from the rest of the
// options' parsing.
#pragma once

#include <cstdint>
#include <string>

#include "registry/server_context.h"

namespace dirserver {

// The values of the limit options; each defaults to the server's own default.
struct LimitOptions {
  std::uint32_t maxHostsPerNetwork = kDefaultMaxHostsPerNetwork;  // --max-hosts-per-net N
  int networkPrefix = kDefaultNetworkPrefix;                       // --net-prefix P
  std::uint32_t newHostsPerMinute = kDefaultNewHostsPerMinute;     // --new-hosts-per-minute N
  std::uint32_t listingsPerMinute = 0;                             // --listings-per-minute N
};

// Whether `name` ("--max-hosts-per-net", ...) is one of the limit options, all of which take a
// value.
bool isLimitOption(const std::string& name);

// The value's name for a usage message ("N" or "P").
const char* limitValueName(const std::string& name);

// Parses `value` for the limit option `name` into `options`: --max-hosts-per-net 1 to 65531,
// --net-prefix 0 to 32, --new-hosts-per-minute and --listings-per-minute 0 (no limit) to
// 1000000. Returns false with `error` ("--net-prefix '33': expected 0 to 32") on a bad value, and
// `options` is then unchanged.
bool parseLimitOption(const std::string& name, const std::string& value, LimitOptions& options,
                      std::string& error);

// Applies the limits to the server's context: its registry's network prefix, the per-network
// bound and both rates. Call before the registry is filled (the prefix recounts it otherwise).
void applyLimitOptions(const LimitOptions& options, ServerContext& context);

// The usage text's lines for the limit options, each ending with a line end.
extern const char* const kLimitOptionsUsage;

}  // namespace dirserver

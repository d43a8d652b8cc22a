// The expiry sweep: hosts that have not registered again within a day are dropped.
#pragma once

#include <cstdint>

#include "registry/server_context.h"

namespace dirserver {

// A host is expired when more than this many seconds have passed since its registration.
inline constexpr std::int32_t kExpirySeconds = 86400;

// Removes every expired record from the three maps, judged against one reading of the wall
// clock. The age is the clock minus registrationTime in 32-bit modular arithmetic read as signed,
// so an age of exactly kExpirySeconds stays and a registration time in the future (the clock was
// set back) never expires. Records go in type order, then ascending key order, each announced on
// console.out as "*auto-cleaning server: %s" with its name (no line for a record whose name holds
// no code unit); when anything was removed, one "> number of servers: %u" line follows. Does not
// write the server list file.
void expireServers(ServerContext& context);

}  // namespace dirserver

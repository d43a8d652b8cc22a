// The expiry sweep: hosts that have not registered again within a day are dropped. Hosts age by
// the monotonic clock, not the wall clock, which an operator or a time service may set at any
// moment.
#pragma once

#include <cstdint>

#include "registry/server_context.h"

namespace dirserver {

// A host is expired when more than this many seconds have passed since its registration.
inline constexpr std::int32_t kExpirySeconds = 86400;

// A change of the wall clock against the steady clock of more than this between two readings is
// a step (someone set the clock), which earns a line on the console; less is drift.
inline constexpr std::int64_t kClockStepSeconds = 60;

// Gives every host that has none its aging start on the steady clock (HostEntry::agingSince),
// from its stored registration time and the wall clock now: its age is the wall clock minus that
// time in 32-bit modular arithmetic read as signed, and a time in the future (the clock was set
// back) counts as age 0. Called once the registry is filled at start; the expiry sweep anchors
// any host still without one the same way.
void anchorHostAges(ServerContext& context);

// Removes every expired record from the three maps: those whose age on the steady clock (since
// HostEntry::agingSince) is over kExpirySeconds, so an age of exactly kExpirySeconds stays and a
// step of the wall clock either way changes nothing. Records go in type order, then ascending key
// order, each announced on console.out as "*auto-cleaning server: %s" with its name (no line for a
// record whose name holds no code unit); when anything was removed, one "> number of servers: %u"
// line follows. When the wall clock has stepped by more than kClockStepSeconds since the last
// sweep (or anchorHostAges), prints one line on console.err first:
// "+warning: the wall clock stepped forward|back by D days HH:MM:SS; hosts keep aging by the
// monotonic clock". Does not write the server list file.
void expireServers(ServerContext& context);

}  // namespace dirserver

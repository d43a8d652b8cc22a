// Registration and shutdown requests: a host's seven strings turned into a record, which is then
// filed, refreshed or removed.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>

#include "common/byte_order.h"
#include "protocol/outcome.h"
#include "registry/server_context.h"

namespace dirserver {

// What became of a registration or shutdown request.
enum class HostOutcome : std::uint8_t {
  Added,      // a new host was filed
  Refreshed,  // a registered host's time was renewed
  Removed,    // a host was shut down
  NotFound,   // a shutdown of a host that is not registered
  ListFull,   // a new host refused: the registry holds context.maxHosts
  StringsFull,   // a new host refused: its strings would take the registry past maxHostBytes
  AddressFull,   // a new host refused: its address registered kMaxServersPerAddress hosts
  NetworkFull,   // a new host refused: its address's network registered maxHostsPerNetwork hosts
  NewHostRate,   // a new host refused: its address registered new hosts too fast
  OtherAddress,  // a shutdown refused: the host registered from another address
  // The body was rejected, for the reason its console line gives:
  InvalidDataSize,  // "+error: invalid data size"
  ConversionError,  // "+error: error converting data"
  UnknownType,      // "+error: unknown server type"
  Count
};

// The fault each outcome reports, if it reports one: its row of kFaults.
struct HostOutcomeRow {
  HostOutcome outcome;
  std::optional<ConsoleError> fault;
};
inline constexpr HostOutcomeRow kHostOutcomes[] = {
    {HostOutcome::Added, std::nullopt},
    {HostOutcome::Refreshed, std::nullopt},
    {HostOutcome::Removed, std::nullopt},
    {HostOutcome::NotFound, ConsoleError::NotFound},
    {HostOutcome::ListFull, ConsoleError::ListFull},
    {HostOutcome::StringsFull, ConsoleError::StringsFull},
    {HostOutcome::AddressFull, ConsoleError::AddressFull},
    {HostOutcome::NetworkFull, ConsoleError::NetworkFull},
    {HostOutcome::NewHostRate, ConsoleError::NewHostRate},
    {HostOutcome::OtherAddress, ConsoleError::OtherAddress},
    {HostOutcome::InvalidDataSize, ConsoleError::InvalidData},
    {HostOutcome::ConversionError, ConsoleError::Conversion},
    {HostOutcome::UnknownType, ConsoleError::UnknownType},
};

namespace registration_detail {
constexpr bool rowsInOrder() {
  if (std::size(kHostOutcomes) != static_cast<std::size_t>(HostOutcome::Count)) return false;
  for (std::size_t i = 0; i < std::size(kHostOutcomes); ++i) {
    if (static_cast<std::size_t>(kHostOutcomes[i].outcome) != i) return false;
  }
  return true;
}
}  // namespace registration_detail
static_assert(registration_detail::rowsInOrder(), "every HostOutcome has its row, in order");

constexpr std::optional<ConsoleError> faultOf(HostOutcome outcome) {
  return kHostOutcomes[static_cast<std::size_t>(outcome)].fault;
}

// How long a host's owner must go without registering it before another address that registers
// it takes it over: long enough that a host refreshing at any usual pace keeps it, short enough
// that a host whose address changed (a dynamic address, a NAT) can soon shut itself down again.
inline constexpr std::int64_t kOwnerSilenceSeconds = 10 * 60;

// A registration (type 4) body from the peer at `from`: parses it, stamps the record with the wall
// clock (its age and its owner's silence run on the context clock's steady seconds from then on) and files it in its type's map, owned by `from`, or, when that map holds the same host
// already (the same key and the same seven fields), refreshes only that record's time. A refresh
// from another address than the owner's leaves the host with its owner; it passes to `from` only
// when its owner has not registered it for kOwnerSilenceSeconds, or has no known owner, `from`
// owns fewer than kMaxServersPerAddress hosts, and either `from`'s network owns fewer than
// context.maxHostsPerNetwork or the owner is of the same network. A host whose strings merely
// sum to the key of another is a host of its own. Refuses a new host once the registry holds
// context.maxHosts ("+error: server list is full"), when its stored strings would take the registry's
// past context.maxHostBytes ("+error: server list has no room for this server's strings"), when
// `from` owns kMaxServersPerAddress hosts ("+error: too many servers registered from this
// address"), when the addresses of `from`'s network own context.maxHostsPerNetwork ("+error: too
// many servers registered from this network"), or when context.newHostRate has no token for
// `from` ("+error: new servers registered too fast from this address"; only a host that is filed
// takes one). Hosts from kUnknownAddress are held to none of the address's bounds. A refresh is
// never refused. Prints each step on the console; a rejected body changes
// nothing. With context.summarizeRefreshes, a refresh prints nothing and counts in
// context.unprintedRefreshes instead. Returns what became of the request.
HostOutcome handleRegistration(ServerContext& context, ByteView body,
                               PeerAddress from = kUnknownAddress);

// A shutdown (type 6) body from the peer at `from`: parses it like a registration and removes the
// host of the same key and the same seven fields from its type's map, printing "+error: no server
// with key: %u was found for removal" on console.err when there is none. A host owned by another
// address than `from` stays ("+error: server with key: %u was registered from another address");
// one without a known owner may be shut down from anywhere.
// A rejected body changes nothing. Returns what became of the request.
HostOutcome handleShutdown(ServerContext& context, ByteView body,
                           PeerAddress from = kUnknownAddress);

}  // namespace dirserver

// What can become of a request, and every fault the server reports on its console: one row each,
// with the line printed (always on the error stream), its journal priority, the label it is counted under in the metrics and
// how the request counts. Adding a fault is adding its enumerator and its row; a row missing or
// out of place fails to compile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/journal.h"

namespace dirserver {

// What became of a request: served (answered or applied), rejected (bad frame or body, unknown
// host), refused (over a limit).
enum class RequestOutcome : std::uint8_t { Served, Rejected, Refused, Count };

// The kinds of console line that report a fault.
enum class ConsoleError : std::uint8_t {
  RecvSize,       // a read in the size step failed or timed out (also a failed accept)
  RecvId,         // ...in the id step
  RecvType,       // ...in the type step
  RecvBody,       // ...in the body step
  InvalidSize,    // the announced size is out of bounds
  InvalidId,      // the id word is not the protocol's
  InvalidData,    // a registration or shutdown body is cut short
  Conversion,     // ...holds an empty string
  UnknownType,    // ...names no game type
  NotFound,       // a shutdown of a host that is not registered
  ListFull,       // a new host refused: the registry is full
  StringsFull,    // ...its strings would take the registry past its bound
  AddressFull,    // ...its address registered the most hosts it may
  NetworkFull,    // ...its address's network registered the most hosts it may
  NewHostRate,    // ...its address registered new hosts faster than it may
  OtherAddress,   // a shutdown refused: the host registered from another address
  UnhandledType,  // a request of a type the server does not handle
  SaveFailed,     // a checkpoint of the server list failed
  CommitFailed,   // changes could not be appended to the log
  ProxyHeader,    // a trusted balancer's connection began with no valid PROXY header
  ProxyFamily,    // ...with one that carries a peer that is not IPv4
  ProxyLocal,     // ...with a LOCAL one, then asked for a change
  ListingRate,    // a listing refused: its address asked for listings faster than it may
  Count
};

struct FaultRow {
  ConsoleError fault;
  // The line on the error stream, a printf format: %u is a host's key, %s a reason, %.02x a
  // message type. Lines printed outside the server (the checkpoint's) are stated here all the same.
  const char* line;
  int priority;             // in the journal
  std::string_view label;   // in dirserver_console_errors_total{kind=...}
  RequestOutcome counted;   // how a request that ends in it counts
};

inline constexpr FaultRow kFaults[] = {
    {ConsoleError::RecvSize, "+error: recv() error - msg size\n", kPriorityError, "recv_size",
     RequestOutcome::Rejected},
    {ConsoleError::RecvId, "+error: recv() error - msg id\n", kPriorityError, "recv_id",
     RequestOutcome::Rejected},
    {ConsoleError::RecvType, "+error: recv() error - msg type\n", kPriorityError, "recv_type",
     RequestOutcome::Rejected},
    {ConsoleError::RecvBody, "+error: recv() error - invalid data length\n", kPriorityError,
     "recv_body", RequestOutcome::Rejected},
    {ConsoleError::InvalidSize, "+error: invalid msg size\n", kPriorityError, "invalid_size",
     RequestOutcome::Rejected},
    {ConsoleError::InvalidId, "+error: invalid msg id\n", kPriorityError, "invalid_id",
     RequestOutcome::Rejected},
    {ConsoleError::InvalidData, "+error: invalid data size\n", kPriorityError, "invalid_data",
     RequestOutcome::Rejected},
    {ConsoleError::Conversion, "+error: error converting data\n", kPriorityError, "conversion",
     RequestOutcome::Rejected},
    {ConsoleError::UnknownType, "+error: unknown server type\n", kPriorityError, "unknown_type",
     RequestOutcome::Rejected},
    {ConsoleError::NotFound, "+error: no server with key: %u was found for removal\n",
     kPriorityError, "not_found", RequestOutcome::Rejected},
    {ConsoleError::ListFull, "+error: server list is full\n", kPriorityError, "list_full",
     RequestOutcome::Refused},
    {ConsoleError::StringsFull, "+error: server list has no room for this server's strings\n",
     kPriorityError, "strings_full", RequestOutcome::Refused},
    {ConsoleError::AddressFull, "+error: too many servers registered from this address\n",
     kPriorityError, "address_full", RequestOutcome::Refused},
    {ConsoleError::NetworkFull, "+error: too many servers registered from this network\n",
     kPriorityError, "network_full", RequestOutcome::Refused},
    {ConsoleError::NewHostRate, "+error: new servers registered too fast from this address\n",
     kPriorityError, "new_host_rate", RequestOutcome::Refused},
    {ConsoleError::OtherAddress, "+error: server with key: %u was registered from another address\n",
     kPriorityError, "other_address", RequestOutcome::Refused},
    {ConsoleError::UnhandledType, "+warning: unhandled msg type: 0x%.02x\n", kPriorityWarning,
     "unhandled_type", RequestOutcome::Rejected},
    {ConsoleError::SaveFailed, "- could not save server list\n", kPriorityError, "save_failed",
     RequestOutcome::Served},
    {ConsoleError::CommitFailed,
     "- could not save server list changes (%s): they wait in memory and are tried again\n",
     kPriorityError, "commit_failed", RequestOutcome::Served},
    {ConsoleError::ProxyHeader, "+error: invalid PROXY header from a trusted balancer\n",
     kPriorityError, "proxy_header", RequestOutcome::Rejected},
    {ConsoleError::ProxyFamily,
     "+warning: PROXY header carries a peer that is not IPv4, connection closed\n",
     kPriorityWarning, "proxy_family", RequestOutcome::Refused},
    {ConsoleError::ProxyLocal,
     "+warning: a balancer's own (LOCAL) connection asked for a change, connection closed\n",
     kPriorityWarning, "proxy_local", RequestOutcome::Refused},
    {ConsoleError::ListingRate,
     "+warning: listings asked for too fast from this address, connection closed\n",
     kPriorityWarning, "listing_rate", RequestOutcome::Refused},
};

namespace outcome_detail {
constexpr bool rowsInOrder() {
  if (std::size(kFaults) != static_cast<std::size_t>(ConsoleError::Count)) return false;
  for (std::size_t i = 0; i < std::size(kFaults); ++i) {
    if (static_cast<std::size_t>(kFaults[i].fault) != i) return false;
  }
  return true;
}
}  // namespace outcome_detail
static_assert(outcome_detail::rowsInOrder(), "every ConsoleError has its row, in order");

constexpr const FaultRow& faultRow(ConsoleError fault) {
  return kFaults[static_cast<std::size_t>(fault)];
}

}  // namespace dirserver

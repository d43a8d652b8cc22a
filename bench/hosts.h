// Game hosts for the benchmark: realistic records, the registration requests that file them and a
// server list file that holds them, all made with the server's own encoders.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <unordered_set>
#include <vector>

#include "client/request_body.h"
#include "common/byte_order.h"
#include "protocol/message.h"
#include "registry/server_record.h"

namespace dirserver::bench {

// The time now as a registration time: seconds since 1970, as the server stores them (a u32 read
// as signed).
std::int32_t nowSeconds();

struct Host {
  ServerType type{};
  ServerKey key = 0;
  ServerRecord record;
};

// Makes hosts with the strings a game host sends: its game type's path, an address and port, a
// name (some outside ASCII), a version, its player count and limit, and its state. The sequence
// depends only on the seed. Every host's key differs from the keys of all hosts of its type that
// the factory made before it, so N hosts written to a server list file load as N hosts, and a host
// made after them registers as a new host rather than refreshing one of them.
//
// With `motdCharacters` above 0, each host's last string also carries a message of the day of
// that many characters (at most 2000, below the 2048 code units a field stores), which makes the
// listing about 4 KiB per host.
class HostFactory {
 public:
  explicit HostFactory(std::uint64_t seed = 1, std::size_t motdCharacters = 0)
      : state_(seed), motdCharacters_(motdCharacters) {}

  Host next(std::int32_t registrationTime);

 private:
  std::uint64_t random();

  std::uint64_t state_;
  std::size_t motdCharacters_;
  std::array<std::unordered_set<ServerKey>, kServerTypeCount> keys_;
};

// The registration request (type 4) that files `record`, and the shutdown request (type 6) that
// removes it: client/request_body.h's encodeHostRequest of its fields.
inline Bytes registrationRequest(const ServerRecord& record) {
  return encodeHostRequest(MessageType::Registration, record.fields);
}
inline Bytes shutdownRequest(const ServerRecord& record) {
  return encodeHostRequest(MessageType::Shutdown, record.fields);
}

// The loopback address that registers the i-th preloaded host (host byte order): 32 hosts to an
// address from 127.1.0.1 on, since a server may accept only so many hosts from one address, and
// may let only that address shut a host down. Every benchmark host keeps its address.
constexpr std::uint32_t hostSource(std::uint32_t i) {
  return (127u << 24) + (1u << 16) + 1 + i / 32;
}

// `count` hosts from `factory`, each as its registration followed by its shutdown: units of two
// requests for a workload that registers new hosts without growing the registry.
std::vector<Bytes> newHostsAndShutdowns(HostFactory& factory, std::int32_t registrationTime,
                                        std::uint32_t count);

// The size of the listing reply the server sends for a registry of `hosts` (built with
// buildListReply, so it costs a listing's worth of memory for a moment).
std::uint64_t listingSize(std::span<const Host> hosts);

// Writes `hosts` to a server list file at `path`: for each game type its count, then its records
// in ascending key order, each made by appendFileRecord. The keys must be distinct within a type.
// Throws std::runtime_error when the file cannot be written.
void writeServerListFile(const std::filesystem::path& path, std::span<const Host> hosts);

}  // namespace dirserver::bench

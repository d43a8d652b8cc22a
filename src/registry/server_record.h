// What the server knows about one registered game host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/byte_order.h"

namespace dirserver {

// The game's three game types; the value indexes the registry's maps, the sections of the server
// list file and the order of the listing.
enum class ServerType : std::uint8_t { GetTheQuorv = 0, Melee = 1, TeamMelee = 2 };

inline constexpr std::size_t kServerTypeCount = 3;
inline constexpr std::array<ServerType, kServerTypeCount> kServerTypes = {
    ServerType::GetTheQuorv, ServerType::Melee, ServerType::TeamMelee};

// The directory path under which hosts of each type register (their first string).
inline constexpr std::array<std::string_view, kServerTypeCount> kServerTypePaths = {
    "/Aviantorvale/Get The Quorv Game", "/Aviantorvale/Melee Game",
    "/Aviantorvale/Team Melee Game"};

constexpr std::size_t index(ServerType type) { return static_cast<std::size_t>(type); }

// The type whose path equals `text` exactly (case and blanks count), if any.
inline std::optional<ServerType> serverTypeForPath(std::string_view text) {
  for (ServerType type : kServerTypes) {
    if (kServerTypePaths[index(type)] == text) return type;
  }
  return std::nullopt;
}

inline constexpr std::size_t kFieldCount = 7;
// A field holds at most this many bytes of UTF-16LE text (2048 code units).
inline constexpr std::size_t kFieldCapacity = 4096;

// The fields that mean something to the server; the others are only stored and echoed.
inline constexpr std::size_t kPathField = 0;  // selects the ServerType
inline constexpr std::size_t kNameField = 2;  // the host's name, printed on the console
inline constexpr std::size_t kLastField = 6;  // printed after the name

// One text field of a host: its UTF-16LE bytes exactly as the host sent them, at most
// kFieldCapacity of them. Only these bytes are kept; the server list file pads each field to its
// full capacity with zeros.
struct ServerField {
  Bytes data;

  std::uint16_t length() const { return static_cast<std::uint16_t>(data.size()); }
  ByteView bytes() const { return data; }
  bool operator==(const ServerField&) const = default;
  // By bytes, each an unsigned value, a shorter prefix first.
  auto operator<=>(const ServerField&) const = default;
};

using ServerFields = std::array<ServerField, kFieldCount>;

// One registered host: its seven strings in the order they came on the wire, and the time of its
// latest registration in seconds since 1970 (32 bits, as the server list file stores it).
struct ServerRecord {
  ServerFields fields;
  std::int32_t registrationTime = 0;

  bool operator==(const ServerRecord&) const = default;
};

// Registration times are kept in 32 bits, as the server list file stores them: the low 32 bits of
// the wall clock, read as signed, so that a time after January 2038 is stored negative. The server
// reckons with them modulo 2^32 against the clock; these three are the only conversions.

// The stored form of `secondsSince1970`.
constexpr std::int32_t storedTime(std::int64_t secondsSince1970) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(secondsSince1970));
}

// The seconds from `stored` to `now` (seconds since 1970), modulo 2^32 and read as signed: negative
// for a time in the future (the clock was set back), correct within 68 years either way.
constexpr std::int32_t registrationAge(std::int32_t stored, std::int64_t now) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(stored));
}

// The full time `stored` stands for: the one nearest to `now` with those low 32 bits. What the
// console, the JSON listing, the status page and dirctl show.
constexpr std::int64_t fullTime(std::int32_t stored, std::int64_t now) {
  return now - registrationAge(stored, now);
}

// Identifies a host within the map of its type: the 32-bit word sum of its fields.
using ServerKey = std::uint32_t;

}  // namespace dirserver

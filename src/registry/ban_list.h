// Banned IPv4 addresses and ranges: the operator's answer to a peer that abuses the directory. A
// banned address's connections to the game port are closed at accept, and the hosts it registered
// are removed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_snapshot.h"

namespace dirserver {

// The addresses whose first `prefix` bits equal those of `network`. `network` is in host byte
// order and has no bit set past the prefix; a prefix of 32 is one address, 0 every address.
struct Ipv4Range {
  std::uint32_t network = 0;
  std::uint8_t prefix = 32;

  // Whether `address` (host byte order) lies in the range.
  bool contains(std::uint32_t address) const { return (address & mask()) == network; }
  std::uint32_t mask() const { return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix); }

  auto operator<=>(const Ipv4Range&) const = default;
};

// Parses "A.B.C.D" (one address) or "A.B.C.D/N" (N from 0 to 32), each part decimal from 0 to 255
// without leading zeros. Returns nullopt with `error` saying why, naming the text (its first 40
// bytes), otherwise;
// a range with bits set past its prefix is an error that names the range meant ("10.1.2.3/8 has
// bits set past its prefix: 10.0.0.0/8?"), since a typing error there would ban the wrong range.
std::optional<Ipv4Range> parseIpv4Range(std::string_view text, std::string& error);

// The range as parseIpv4Range reads it: "A.B.C.D" for a single address, else "A.B.C.D/N".
std::string rangeText(const Ipv4Range& range);

// The text of an IPv4 address given in network byte order, as PeerAddress holds it.
std::string addressText(PeerAddress address);

// The longest reason a ban may carry, in bytes, from a command or from the bans file.
inline constexpr std::size_t kMaxBanReason = 200;

// One banned range and why (free text, possibly empty).
struct Ban {
  Ipv4Range range;
  std::string reason;
};

// The ranges in force, each at most once. A lookup costs one search per distinct prefix length in
// use (at most 33), whatever the number of ranges.
class BanList {
 public:
  // Adds the ban, or changes the reason of its range. Returns whether the range was new.
  bool set(Ban ban);
  // Removes the range; returns whether it was there.
  bool erase(const Ipv4Range& range);
  // The reason of exactly this range, if it is banned.
  const std::string* find(const Ipv4Range& range) const;

  // The widest range that holds `address`, a peer's address in network byte order as the
  // registry keeps it; nullopt when none does. kUnknownAddress, which stands
  // for hosts of no known address, is never banned.
  std::optional<Ipv4Range> banning(PeerAddress address) const;
  bool banned(PeerAddress address) const { return banning(address).has_value(); }

  // Every ban, by ascending network, then prefix.
  std::vector<Ban> bans() const;
  std::size_t size() const { return reasons_.size(); }

 private:
  std::map<Ipv4Range, std::string> reasons_;
  std::array<std::uint32_t, 33> perPrefix_{};  // how many ranges have each prefix length
};

}  // namespace dirserver

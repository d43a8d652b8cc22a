// A ban as the nodes of a directory cluster share it: the key and value of one banned range in
// the cluster's bans bucket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "registry/ban_list.h"

namespace dirserver {

// The bans bucket beside the hosts' bucket `hostBucket`: "NAME-bans".
std::string bansBucketName(std::string_view hostBucket);

// The key that marks a bans bucket as in use: written once its first node has put its own bans
// in. A bucket without it is new (seeded from the bans file of the node that finds it so); one
// with it and no ban keys has had every ban lifted.
inline constexpr char kBansMarkerKey[] = "_bans";

// The key of `range`: the network, an underscore and the prefix length ("10.0.0.0_8",
// "192.0.2.7_32"), using only characters a bucket's key may hold.
std::string banKey(const Ipv4Range& range);

// The range of a key made by banKey; nullopt for any other key (the marker among them).
std::optional<Ipv4Range> rangeOfBanKey(std::string_view key);

// One ban as a node publishes it: the range and its reason as the ban list keeps them, and who
// banned it and when.
struct BanRecord {
  Ban ban;
  std::string node;            // the node that published it
  std::string by;              // how: "uid 0" (a control command), "bans file" (SIGHUP), "seed"
  std::int64_t stampMillis = 0;  // wall clock, milliseconds since 1970, when it was published

  bool operator==(const BanRecord& other) const {
    return ban.range == other.ban.range && ban.reason == other.ban.reason &&
           node == other.node && by == other.by && stampMillis == other.stampMillis;
  }
};

// The value's layout: text, one line each, in this order, each line ending in "\n":
//   dirserver-ban 1        the format
//   range RANGE            as rangeText writes it
//   reason REASON          possibly empty (then "reason" alone); no control characters
//   node NAME
//   by HOW
//   at MILLIS              decimal, signed
// Text, so that an operator reading the bucket with NATS's own tools sees what is banned.
inline constexpr std::string_view kBanValueFormat = "dirserver-ban 1";

// The value of `record`. Control characters in any text (which the bans file and the commands
// never let into a reason) become spaces, and the reason is cut at kMaxBanReason bytes, so that
// the value always reads back. Cannot fail.
Bytes encodeBanValue(const BanRecord& record);

// Reads a value made by encodeBanValue under `key` into `record`. Returns an empty string on
// success, or why the value was refused ("unknown format", "line 2 is not 'range ...'", the
// range's own error, "the key says 10.0.0.0/8 but the value 10.0.0.0/16", "reason of 300 bytes",
// "the time stamp 'x' is no number", "N bytes after the end"); `record` is then unspecified.
std::string decodeBanValue(std::string_view key, ByteView value, BanRecord& record);

}  // namespace dirserver

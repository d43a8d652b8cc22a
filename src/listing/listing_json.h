// The listing as one JSON document, for scripts: what `dirctl list --json` prints and what the HTTP
// view serves at /servers.json. One encoder for both, so the two never drift apart.
//
//   {"server":SOURCE,"hosts":N,"entryCount":HEADER_COUNT,["version":V,"takenAt":T,]
//    "directories":[{"path":P,"type":0|1|2|null,"hosts":[
//      {"name":S,"key":K,["registrationTime":T,]"fields":[S0,...,S6]}]}]}
//
// The bracketed members appear only where they are known: a listing reply carries no
// registration times and no snapshot version; a registry snapshot does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry_snapshot.h"
#include "registry/server_record.h"

namespace dirserver {

// One host: its seven strings (borrowed; they must outlive the encoding), its key, and its
// registration time in full (seconds since 1970, past January 2038 too) when the source knows it.
struct JsonHost {
  const ServerFields* fields = nullptr;
  ServerKey key = 0;
  std::optional<std::int64_t> registrationTime;
};

// One directory of the listing and the hosts listed under it.
struct JsonDirectory {
  std::string path;                // display text of the full path
  std::optional<ServerType> type;  // the game type whose path this is, if any
  std::vector<JsonHost> hosts;
};

// A whole listing. `entryCount` is what a listing reply's header says (the low 16 bits of the
// entries' number); `version` and `takenAt` describe a registry snapshot.
struct JsonListing {
  std::string server;
  std::uint16_t entryCount = 0;
  std::optional<std::uint64_t> version;
  std::optional<std::int64_t> takenAt;
  std::vector<JsonDirectory> directories;
};

// `listing` as one line of JSON in UTF-8, ending in a line end. Every host string goes through
// toDisplayText (an unpaired surrogate becomes U+FFFD, U+0000 stays and is written \u0000),
// control characters are escaped, and any byte of `server` or a path that is not well-formed
// UTF-8 becomes U+FFFD, so the result is valid JSON whatever the hosts sent. "hosts" counts the
// hosts of every directory.
std::string encodeListingJson(const JsonListing& listing);

// A part of a JSON document, shared between the documents of versions that hold the same hosts.
using JsonPart = std::shared_ptr<const std::string>;

// The hosts of `block` as they stand in their directory's "hosts" array in the JSON document of
// a snapshot taken at `takenAt` (snapshotJsonParts below): each host's object,
// with its registration time, the objects separated by commas. Empty for an empty block. The
// times read the same against any moment within decades of `takenAt`, and a block lives no
// longer than its hosts go unrefreshed (a day, before the sweep drops them), so the text of a
// block may serve the snapshots of later versions that hold it.
std::string encodeHostBlockJson(const HostBlock& block, std::int64_t takenAt);

// The listing a server with the registry of `snapshot` sends, as encodeListingJson writes a
// listing whose `server` is `server`: the root directory "/Aviantorvale" without hosts, then each
// game type's directory with its hosts in listing order and their registration times in full, as
// of the snapshot's takenAt. It comes in parts, which joined in order are exactly that document:
// the text around the hosts, and for each block of hosts the part
// `blockJson` yields for it, which must be encodeHostBlockJson of the block (a copy kept from an
// earlier version that held the same block will do; that is what the parts are for).
std::vector<JsonPart> snapshotJsonParts(
    const RegistrySnapshot& snapshot, const std::string& server,
    const std::function<JsonPart(const HostBlockPtr&)>& blockJson);

}  // namespace dirserver

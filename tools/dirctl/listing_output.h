// What dirctl shows of a decoded listing: its hosts grouped under the directories before them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/list_reply_decoder.h"
#include "registry/server_record.h"

namespace dirserver::dirctl {

// How dirctl labels a host's string `i` (0-6): "path", "field 1", "name", "field 3" ... "field 6".
const char* fieldLabel(std::size_t i);

struct ListedHost {
  ServerFields fields;  // the seven texts as sent
  ServerKey key = 0;    // computed from them, as the server computes it
};

struct ListedDirectory {
  std::string path;                // parent and name joined with '/', as display text
  std::optional<ServerType> type;  // the game type whose path this is, if any
  std::vector<ListedHost> hosts;   // the server entries after it, up to the next directory
};

// The directories of `reply` (as decodeListReply fills it) in the order sent, each with the hosts
// that follow it. Hosts ahead of every directory (which the server never sends) go to a first
// directory with an empty path.
std::vector<ListedDirectory> groupListing(const ListedReply& reply);

// The listing for the terminal: a line naming `source` and the number of hosts, then for each
// game type's directory (and any other directory that has hosts) its path, and for each host its
// name and key and its other six strings. Strings go through consoleText. A header entry count
// that differs from the low 16 bits of the entries' number adds a note line.
std::string listingText(const ListedReply& reply, const std::string& source);

// The same as one JSON object and a line end, in the shared listing format
// (listing/listing_json.h) without registration times: every directory of the reply, the strings
// whole, `source` as "server".
std::string listingJson(const ListedReply& reply, const std::string& source);

}  // namespace dirserver::dirctl

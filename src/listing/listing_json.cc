#include "listing/listing_json.h"

#include <nlohmann/json.hpp>

#include "common/text.h"

namespace dirserver {
namespace {

// Member order is part of the format (scripts and people read it), so the object keeps it.
using Json = nlohmann::ordered_json;

// The root directory every listing starts with, as a path.
constexpr std::string_view kRootPath = "/Aviantorvale";

Json hostJson(const JsonHost& host) {
  const ServerFields& fields = *host.fields;
  Json strings = Json::array();
  for (const ServerField& field : fields) strings.push_back(toDisplayText(field.bytes()));
  Json out = Json::object();
  out["name"] = strings[kNameField];
  out["key"] = host.key;
  if (host.registrationTime) out["registrationTime"] = *host.registrationTime;
  out["fields"] = std::move(strings);
  return out;
}

}  // namespace

std::string encodeListingJson(const JsonListing& listing) {
  std::size_t hostCount = 0;
  Json directories = Json::array();
  for (const JsonDirectory& directory : listing.directories) {
    hostCount += directory.hosts.size();
    Json hosts = Json::array();
    for (const JsonHost& host : directory.hosts) hosts.push_back(hostJson(host));
    Json entry = Json::object();
    entry["path"] = directory.path;
    entry["type"] = directory.type ? Json(index(*directory.type)) : Json(nullptr);
    entry["hosts"] = std::move(hosts);
    directories.push_back(std::move(entry));
  }
  Json out = Json::object();
  out["server"] = listing.server;
  out["hosts"] = hostCount;
  out["entryCount"] = listing.entryCount;
  if (listing.version) out["version"] = *listing.version;
  if (listing.takenAt) out["takenAt"] = *listing.takenAt;
  out["directories"] = std::move(directories);
  // Replacing rather than throwing: a tool's argument or a damaged path must not make the whole
  // listing unwritable.
  return out.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

JsonListing snapshotListing(const RegistrySnapshot& snapshot, std::string server) {
  JsonListing listing;
  listing.server = std::move(server);
  // Four directory entries besides the hosts, counted in 16 bits as the reply's header does.
  listing.entryCount = static_cast<std::uint16_t>(snapshot.totalCount() + 4);
  listing.version = snapshot.version;
  listing.takenAt = snapshot.takenAt;
  listing.directories.push_back({std::string(kRootPath), std::nullopt, {}});
  for (ServerType type : kServerTypes) {
    JsonDirectory directory{std::string(kServerTypePaths[index(type)]), type, {}};
    const std::vector<HostEntry>& entries = snapshot.hosts[index(type)];
    directory.hosts.reserve(entries.size());
    for (const HostEntry& entry : entries) {
      directory.hosts.push_back({&entry.record->fields, entry.key,
                                 fullTime(entry.record->registrationTime, snapshot.takenAt)});
    }
    listing.directories.push_back(std::move(directory));
  }
  return listing;
}

}  // namespace dirserver

#include "listing/listing_json.h"

#include <nlohmann/json.hpp>

#include "common/text.h"

namespace dirserver {
namespace {

// Member order is part of the format (scripts and people read it), so the object keeps it.
using Json = nlohmann::ordered_json;

// The root directory every listing starts with, as a path.
constexpr std::string_view kRootPath = "/Aviantorvale";

// One value as compact JSON. Replacing rather than throwing: a tool's argument or a damaged path
// must not make the whole listing unwritable.
std::string jsonText(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The document is written around its hosts, so that the same text can be made whole (for a
// listing of any source) or in parts (for a snapshot, a part per block of hosts):
//   {"server":S,"hosts":N,"entryCount":E[,"version":V,"takenAt":T],"directories":[
//   {"path":P,"type":T,"hosts":[ HOSTS ]} , ...
//   ]}\n
std::string documentOpening(const std::string& server, std::size_t hosts, std::uint16_t entryCount,
                            std::optional<std::uint64_t> version,
                            std::optional<std::int64_t> takenAt) {
  std::string out = "{\"server\":" + jsonText(server) + ",\"hosts\":" + std::to_string(hosts) +
                    ",\"entryCount\":" + std::to_string(entryCount);
  if (version) out += ",\"version\":" + std::to_string(*version);
  if (takenAt) out += ",\"takenAt\":" + std::to_string(*takenAt);
  return out + ",\"directories\":[";
}

std::string directoryOpening(std::string_view path, std::optional<ServerType> type, bool first) {
  return std::string(first ? "" : ",") + "{\"path\":" + jsonText(std::string(path)) +
         ",\"type\":" + (type ? std::to_string(index(*type)) : std::string("null")) +
         ",\"hosts\":[";
}

constexpr std::string_view kDirectoryClosing = "]}";
constexpr std::string_view kDocumentClosing = "]}\n";

std::string hostJson(const JsonHost& host) {
  const ServerFields& fields = *host.fields;
  Json strings = Json::array();
  for (const ServerField& field : fields) strings.push_back(toDisplayText(field.bytes()));
  Json out = Json::object();
  out["name"] = strings[kNameField];
  out["key"] = host.key;
  if (host.registrationTime) out["registrationTime"] = *host.registrationTime;
  out["fields"] = std::move(strings);
  return jsonText(out);
}

// The hosts' objects, separated by commas, appended to `out`.
template <typename Hosts, typename AsJsonHost>
void appendHosts(std::string& out, const Hosts& hosts, AsJsonHost asJsonHost) {
  bool first = true;
  for (const auto& host : hosts) {
    if (!first) out += ',';
    first = false;
    out += hostJson(asJsonHost(host));
  }
}

// A host of a snapshot taken at `takenAt`, its stored time read as the full time nearest to then.
JsonHost snapshotHost(const HostEntry& entry, std::int64_t takenAt) {
  return {&entry.record->fields, entry.key, fullTime(entry.record->registrationTime, takenAt)};
}

}  // namespace

std::string encodeListingJson(const JsonListing& listing) {
  std::size_t hostCount = 0;
  for (const JsonDirectory& directory : listing.directories) hostCount += directory.hosts.size();
  std::string out = documentOpening(listing.server, hostCount, listing.entryCount, listing.version,
                                    listing.takenAt);
  bool first = true;
  for (const JsonDirectory& directory : listing.directories) {
    out += directoryOpening(directory.path, directory.type, first);
    first = false;
    appendHosts(out, directory.hosts, [](const JsonHost& host) { return host; });
    out += kDirectoryClosing;
  }
  out += kDocumentClosing;
  return out;
}

std::string encodeHostBlockJson(const HostBlock& block, std::int64_t takenAt) {
  std::string out;
  appendHosts(out, block, [takenAt](const HostEntry& entry) { return snapshotHost(entry, takenAt); });
  return out;
}

std::vector<JsonPart> snapshotJsonParts(
    const RegistrySnapshot& snapshot, const std::string& server,
    const std::function<JsonPart(const HostBlockPtr&)>& blockJson) {
  static const JsonPart comma = std::make_shared<const std::string>(",");
  std::vector<JsonPart> parts;
  // The text between two types' hosts, and around them, is made once per document.
  std::string between = documentOpening(server, snapshot.totalCount(),
                                        static_cast<std::uint16_t>(snapshot.totalCount() + 4),
                                        snapshot.version, snapshot.takenAt) +
                        directoryOpening(kRootPath, std::nullopt, true) +
                        std::string(kDirectoryClosing);
  for (ServerType type : kServerTypes) {
    between += directoryOpening(kServerTypePaths[index(type)], type, false);
    parts.push_back(std::make_shared<const std::string>(std::move(between)));
    bool first = true;
    for (const HostBlockPtr& block : snapshot.hosts[index(type)].blocks()) {
      if (block->empty()) continue;
      if (!first) parts.push_back(comma);
      first = false;
      parts.push_back(blockJson(block));
    }
    between = std::string(kDirectoryClosing);
  }
  parts.push_back(std::make_shared<const std::string>(between + std::string(kDocumentClosing)));
  return parts;
}

}  // namespace dirserver

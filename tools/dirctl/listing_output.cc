#include "listing_output.h"

#include "common/text.h"
#include "listing/listing_json.h"
#include "registry/server_key.h"

namespace dirserver::dirctl {
namespace {

std::string display(const Bytes& utf16le) { return toDisplayText(utf16le); }

std::string countText(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::size_t hostCount(const std::vector<ListedDirectory>& directories) {
  std::size_t count = 0;
  for (const ListedDirectory& directory : directories) count += directory.hosts.size();
  return count;
}

}  // namespace

const char* fieldLabel(std::size_t i) {
  static constexpr const char* kLabels[kFieldCount] = {"path",    "field 1", "name",   "field 3",
                                                       "field 4", "field 5", "field 6"};
  return i < kFieldCount ? kLabels[i] : "?";
}

std::vector<ListedDirectory> groupListing(const ListedReply& reply) {
  std::vector<ListedDirectory> directories;
  for (const ListedEntry& entry : reply.entries) {
    if (entry.isDirectory) {
      std::string parent = display(entry.texts[0]);
      if (parent.empty() || parent.back() != '/') parent.push_back('/');
      ListedDirectory directory;
      directory.path = parent + display(entry.texts[1]);
      directory.type = serverTypeForPath(directory.path);
      directories.push_back(std::move(directory));
      continue;
    }
    if (directories.empty()) directories.emplace_back();
    ListedHost host;
    for (std::size_t i = 0; i < kFieldCount; ++i) host.fields[i].data = entry.texts[i];
    host.key = computeServerKey(host.fields);
    directories.back().hosts.push_back(std::move(host));
  }
  return directories;
}

std::string listingText(const ListedReply& reply, const std::string& source) {
  const std::vector<ListedDirectory> directories = groupListing(reply);
  std::string out =
      consoleText(source) + " lists " + countText(hostCount(directories), "host", "hosts") + "\n";
  if ((reply.entries.size() & 0xFFFF) != reply.entryCount) {
    out += "note: the reply's header counts " + std::to_string(reply.entryCount) + " entries, " +
           std::to_string(reply.entries.size()) + " came\n";
  }
  for (const ListedDirectory& directory : directories) {
    if (!directory.type && directory.hosts.empty()) continue;
    out += "\n" + (directory.path.empty() ? "(before any directory)" : consoleText(directory.path));
    out += ": ";
    out +=
        directory.hosts.empty() ? "no hosts" : countText(directory.hosts.size(), "host", "hosts");
    out += "\n";
    for (const ListedHost& host : directory.hosts) {
      out += "  " + consoleText(display(host.fields[kNameField].data)) + "  key " +
             std::to_string(host.key) + "\n";
      for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i == kNameField) continue;
        char label[16];
        std::snprintf(label, sizeof label, "    %-9s", fieldLabel(i));
        out += label + consoleText(display(host.fields[i].data)) + "\n";
      }
    }
  }
  return out;
}

std::string listingJson(const ListedReply& reply, const std::string& source) {
  const std::vector<ListedDirectory> directories = groupListing(reply);
  JsonListing listing;
  listing.server = source;
  listing.entryCount = reply.entryCount;
  for (const ListedDirectory& directory : directories) {
    JsonDirectory& out = listing.directories.emplace_back();
    out.path = directory.path;
    out.type = directory.type;
    for (const ListedHost& host : directory.hosts) out.hosts.push_back({&host.fields, host.key, {}});
  }
  return encodeListingJson(listing);
}

}  // namespace dirserver::dirctl

#include "requests.h"

#include <algorithm>
#include <limits>

#include "client/request_body.h"
#include "common/text.h"
#include "listing_output.h"
#include "registry/registration.h"
#include "registry/server_key.h"

namespace dirserver::dirctl {
namespace {

const char* const kStringNames[kFieldCount] = {"PATH", "F1", "NAME", "F3", "F4", "F5", "F6"};

}  // namespace

bool buildHostRequest(MessageType type, const std::vector<std::string>& strings,
                      HostRequest& request, std::string& error) {
  if (strings.size() != kFieldCount) {
    error = "a host has " + std::to_string(kFieldCount) + " strings, " +
            std::to_string(strings.size()) + " given";
    return false;
  }
  const auto matched = serverTypeForPath(strings[kPathField]);
  if (!matched) {
    error = "PATH '" + consoleText(strings[kPathField]) + "' is none of the game types' paths: '" +
            std::string(kServerTypePaths[0]) + "', '" + std::string(kServerTypePaths[1]) + "', '" +
            std::string(kServerTypePaths[2]) + "'";
    return false;
  }
  Bytes body;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const Bytes units = toUtf16le(strings[i]);
    if (units.empty()) {
      error = std::string(kStringNames[i]) + " is empty; the server takes no empty string";
      return false;
    }
    if (units.size() / 2 > std::numeric_limits<std::uint16_t>::max()) {
      error = std::string(kStringNames[i]) + " has " + std::to_string(units.size() / 2) +
              " UTF-16 code units, more than the 65535 a request can carry";
      return false;
    }
    putCountedText(body, units);
    const std::size_t stored = std::min(units.size(), kFieldCapacity);
    request.fields[i].data.assign(units.begin(),
                                  units.begin() + static_cast<std::ptrdiff_t>(stored));
  }
  request.bytes = buildRequest(type, body);
  request.type = *matched;
  request.key = computeServerKey(request.fields);
  return true;
}

bool listsHost(const ListedReply& reply, const HostRequest& request) {
  for (const ListedDirectory& directory : groupListing(reply)) {
    if (directory.type != request.type) continue;
    for (const ListedHost& host : directory.hosts) {
      if (host.fields == request.fields) return true;
    }
  }
  return false;
}

bool checkAcknowledgement(ByteView answer, std::string& error) {
  if (std::equal(answer.begin(), answer.end(), kAckMessage.begin(), kAckMessage.end())) return true;
  if (answer.empty()) {
    error = "the server closed the connection without answering";
  } else if (answer.size() < kAckMessage.size() &&
             std::equal(answer.begin(), answer.end(), kAckMessage.begin())) {
    error = "the acknowledgement was cut short after " + std::to_string(answer.size()) + " of " +
            std::to_string(kAckMessage.size()) + " bytes";
  } else {
    error = "the answer is not an acknowledgement: " + std::to_string(answer.size()) + " bytes, " +
            hexText(answer.first(std::min<std::size_t>(answer.size(), 16))) +
            (answer.size() > 16 ? " ..." : "");
  }
  return false;
}

}  // namespace dirserver::dirctl

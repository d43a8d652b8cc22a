#include "dirctl.h"

#include <cstdarg>
#include <ctime>
#include <optional>

#include "arguments.h"
#include "client/list_reply_decoder.h"
#include "client/request_body.h"
#include "common/text.h"
#include "common/version.h"
#include "connection.h"
#include "control_client.h"
#include "dump.h"
#include "listing_output.h"
#include "protocol/control_protocol.h"
#include "protocol/proxy_header.h"
#include "requests.h"

namespace dirserver::dirctl {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

int fail(const Console& console, int status, const std::string& message) {
  std::fprintf(console.err, "dirctl: %s\n", message.c_str());
  return status;
}

// The request as it goes on the wire: behind a PROXY header naming --source, if given.
Bytes onWire(const Invocation& invocation, ByteView request) {
  Bytes bytes;
  if (invocation.source) putProxyV2Header(bytes, *invocation.source, 0, 0, 0);
  bytes.insert(bytes.end(), request.begin(), request.end());
  return bytes;
}

std::string millisecondsText(std::chrono::microseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(time.count()) / 1000);
  return text;
}

int runList(const Invocation& invocation, const Console& console) {
  const std::string source = endpointText(invocation.endpoint);
  Exchange exchange;
  std::string error;
  if (!exchangeRequest(invocation.endpoint,
                       onWire(invocation, buildRequest(MessageType::ListRequest)),
                       invocation.timeout, exchange, error)) {
    return fail(console, kFailed, error);
  }
  if (invocation.format == ListFormat::Raw) {
    // Whatever came, so that a broken reply can be looked at; it is judged afterwards all the same.
    std::fwrite(exchange.answer.data(), 1, exchange.answer.size(), console.out);
  }
  if (exchange.answer.empty()) {
    return fail(console, kFailed, source + " closed the connection without answering");
  }
  ListedReply reply;
  if (!decodeListReply(exchange.answer, reply, error)) {
    return fail(console, kFailed, "malformed listing from " + source + ": " + error);
  }
  if (invocation.format == ListFormat::Text) {
    std::fputs(listingText(reply, source).c_str(), console.out);
  } else if (invocation.format == ListFormat::Json) {
    std::fputs(listingJson(reply, source).c_str(), console.out);
  }
  return kDone;
}

int runPing(const Invocation& invocation, const Console& console) {
  const std::string source = endpointText(invocation.endpoint);
  Exchange exchange;
  std::string error;
  if (!exchangeRequest(invocation.endpoint,
                       onWire(invocation, buildRequest(MessageType::AckRequest)), invocation.timeout,
                       exchange, error)) {
    return fail(console, kFailed, error);
  }
  if (!checkAcknowledgement(exchange.answer, error)) {
    return fail(console, kFailed, source + ": " + error);
  }
  std::fprintf(console.out, "acknowledged by %s: connected in %s, round trip %s\n", source.c_str(),
               millisecondsText(exchange.connectTime).c_str(),
               millisecondsText(exchange.roundTrip).c_str());
  return kDone;
}

// Fetches and decodes the listing of the server at `endpoint`. Returns false with `error` saying
// why when it cannot be had or is malformed.
bool fetchListing(const Invocation& invocation, ListedReply& reply, std::string& error) {
  const std::string source = endpointText(invocation.endpoint);
  Exchange exchange;
  if (!exchangeRequest(invocation.endpoint,
                       onWire(invocation, buildRequest(MessageType::ListRequest)),
                       invocation.timeout, exchange, error)) {
    return false;
  }
  if (exchange.answer.empty()) {
    error = source + " closed the connection without answering the list request";
    return false;
  }
  if (!decodeListReply(exchange.answer, reply, error)) {
    error = "malformed listing from " + source + ": " + error;
    return false;
  }
  return true;
}

// Whether the server lists the host of `request` now; nullopt after printing the failure line.
std::optional<bool> hostListed(const Invocation& invocation, const HostRequest& request,
                               const Console& console, const char* when) {
  ListedReply reply;
  std::string error;
  if (!fetchListing(invocation, reply, error)) {
    fail(console, kFailed, std::string("cannot check the listing ") + when + ": " + error);
    return std::nullopt;
  }
  return listsHost(reply, request);
}

// The server acknowledges every registration and shutdown, even one it rejects, so the listing
// before and after the request tells whether the change took.
int runHostRequest(const Invocation& invocation, const Console& console) {
  const bool registration = invocation.command == Command::Register;
  const MessageType type = registration ? MessageType::Registration : MessageType::Shutdown;
  HostRequest request;
  std::string error;
  if (!buildHostRequest(type, invocation.strings, request, error)) {
    return fail(console, kBadArguments, error);
  }
  const std::string source = endpointText(invocation.endpoint);
  const std::string name = "\"" + consoleText(invocation.strings[kNameField]) + "\"";
  const std::optional<bool> listedBefore = hostListed(invocation, request, console, "before");
  if (!listedBefore) return kFailed;
  Exchange exchange;
  if (!exchangeRequest(invocation.endpoint, onWire(invocation, request.bytes), invocation.timeout,
                       exchange, error)) {
    return fail(console, kFailed, error);
  }
  if (!checkAcknowledgement(exchange.answer, error)) {
    return fail(console, kFailed, source + ": " + error);
  }
  std::fprintf(console.out, "%s acknowledged the %s of %s (key %u, %s)\n", source.c_str(),
               registration ? "registration" : "shutdown", name.c_str(), request.key,
               std::string(kServerTypePaths[index(request.type)]).c_str());
  const std::optional<bool> listedAfter = hostListed(invocation, request, console, "after");
  if (!listedAfter) return kFailed;
  if (registration && *listedAfter) {
    std::fprintf(console.out, "%s lists %s now, %s\n", source.c_str(), name.c_str(),
                 *listedBefore ? "with its registration time refreshed" : "as a new host");
    return kDone;
  }
  if (registration) {
    return fail(console, kFailed,
                source + " does not list " + name +
                    " after its registration; the server's error output says why");
  }
  if (*listedAfter) {
    return fail(console, kFailed, source + " still lists " + name + " after its shutdown");
  }
  if (!*listedBefore) {
    return fail(console, kFailed,
                source + " did not list " + name + ", so the shutdown removed nothing");
  }
  std::fprintf(console.out, "%s no longer lists %s\n", source.c_str(), name.c_str());
  return kDone;
}

int runDump(const Invocation& invocation, const Console& console) {
  std::string error;
  if (!dumpServerList(invocation.file, static_cast<std::int64_t>(std::time(nullptr)), console.out,
                      error)) {
    std::fflush(console.out);  // the records before the damage come before the line about it
    return fail(console, kFailed, error);
  }
  return kDone;
}

const char* controlCommandName(Command command) {
  switch (command) {
    case Command::Ban:
      return "ban";
    case Command::Unban:
      return "unban";
    case Command::Bans:
      return "bans";
    case Command::Remove:
      return "remove";
    case Command::Snapshot:
      return "snapshot";
    default:
      return "status";
  }
}

// Sends one operator command to the control socket and prints its answer: the data lines and the
// text of an "ok" on standard output, the text of an "error" as the failure line.
int runControl(const Invocation& invocation, const Console& console) {
  std::vector<std::string> arguments = invocation.operands;
  if (invocation.command == Command::Ban && arguments.size() > 1) {
    // The reason may be given as several words, unquoted.
    std::string reason = arguments[1];
    for (std::size_t i = 2; i < arguments.size(); ++i) reason += " " + arguments[i];
    arguments.resize(1);
    if (!reason.empty()) arguments.push_back(reason);
  }
  for (const std::string& argument : arguments) {
    if (argument.empty()) return fail(console, kBadArguments, "an argument is empty");
  }
  if (invocation.command == Command::Remove && arguments.size() == kFieldCount) {
    HostRequest request;
    std::string error;
    if (!buildHostRequest(MessageType::Shutdown, arguments, request, error)) {
      return fail(console, kBadArguments, error);
    }
  }
  std::string line = controlLine(controlCommandName(invocation.command), arguments);
  if (invocation.index) line += " index=" + std::to_string(*invocation.index);
  if (invocation.unpaced) line += " unpaced";
  if (line.size() >= kControlLineMax) {
    return fail(console, kBadArguments,
                "the command has " + std::to_string(line.size()) +
                    " bytes, more than the control socket takes; remove by TYPE KEY --index N");
  }
  ControlAnswer answer;
  std::string error;
  if (!controlExchange(controlSocketPath(invocation.control), line, invocation.timeout, answer,
                       error)) {
    return fail(console, kFailed, error);
  }
  for (const std::string& data : answer.lines) std::fprintf(console.out, "%s\n", data.c_str());
  if (!answer.ok) {
    std::fflush(console.out);  // the lines before the failure come before it
    return fail(console, kFailed, answer.text);
  }
  if (!answer.text.empty()) std::fprintf(console.out, "%s\n", answer.text.c_str());
  return kDone;
}

}  // namespace

int runDirctl(const std::vector<std::string>& args, const Console& console) {
  if (args.size() == 1 && args[0] == "--version") {
    std::fprintf(console.out, "dirctl %s\n", kVersion);
    return kDone;
  }
  Invocation invocation;
  std::string error;
  if (!parseArguments(args, invocation, error)) return fail(console, kBadArguments, error);
  if (invocation.help) {
    std::fputs(usageText(invocation.command).c_str(), console.out);
    return kDone;
  }
  switch (invocation.command) {
    case Command::List:
      return runList(invocation, console);
    case Command::Ping:
      return runPing(invocation, console);
    case Command::Register:
    case Command::Shutdown:
      return runHostRequest(invocation, console);
    case Command::Dump:
      return runDump(invocation, console);
    case Command::Usage:
      break;
    default:
      return runControl(invocation, console);
  }
  return fail(console, kBadArguments, "no command given; 'dirctl --help' lists them");
}

}  // namespace dirserver::dirctl

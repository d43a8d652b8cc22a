#include "support/http_client.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "support/loopback.h"

namespace dirserver::testing {
namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string HttpReply::header(std::string name) const {
  const auto found = headers.find(lower(std::move(name)));
  return found == headers.end() ? std::string() : found->second;
}

HttpReply parseHttpReply(std::string_view raw) {
  HttpReply reply;
  const std::size_t end = raw.find("\r\n\r\n");
  if (!raw.starts_with("HTTP/1.") || end == std::string_view::npos || raw.size() < 12) return reply;
  std::string_view head = raw.substr(0, end + 2);
  reply.body = std::string(raw.substr(end + 4));
  reply.status = std::atoi(std::string(raw.substr(9, 3)).c_str());
  head.remove_prefix(head.find("\r\n") + 2);
  while (!head.empty()) {
    const std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    head.remove_prefix(lineEnd + 2);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    reply.headers[lower(std::string(line.substr(0, colon)))] = std::string(value);
  }
  return reply;
}

HttpReply httpRequest(std::uint16_t port, std::string_view method, std::string_view target,
                      const HttpHeaders& headers, const char* source,
                      std::chrono::milliseconds limit) {
  std::string request = std::string(method) + " " + std::string(target) +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
  request += "\r\n";
  try {
    Client client(port, source);
    client.send(ByteView(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()));
    const std::optional<Bytes> answer = client.receiveAll(limit);
    if (!answer) return {};
    return parseHttpReply(std::string_view(reinterpret_cast<const char*>(answer->data()), answer->size()));
  } catch (const std::runtime_error&) {
    return {};
  }
}

}  // namespace dirserver::testing

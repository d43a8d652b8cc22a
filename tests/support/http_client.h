// The tests' HTTP client: one request per connection over a plain socket, with "Connection:
// close", read until the server closes. Enough for a server that answers with Content-Length
// and closes when asked.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dirserver::testing {

struct HttpReply {
  int status = 0;  // 0: no whole answer (the connection failed or did not close in time)
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  // The value of header `name` (any case), empty when absent.
  std::string header(std::string name) const;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// Sends `method` `target` with `headers` to 127.0.0.1:`port` from `source` (an address of 127/8)
// when given, and returns the answer the server sent before closing within `limit`.
HttpReply httpRequest(std::uint16_t port, std::string_view method, std::string_view target,
                      const HttpHeaders& headers = {}, const char* source = nullptr,
                      std::chrono::milliseconds limit = std::chrono::seconds(10));

inline HttpReply httpGet(std::uint16_t port, std::string_view target, const HttpHeaders& headers = {}) {
  return httpRequest(port, "GET", target, headers);
}

// `raw` (status line, headers, body) taken apart; status 0 when it is not an HTTP/1.x answer.
HttpReply parseHttpReply(std::string_view raw);

}  // namespace dirserver::testing

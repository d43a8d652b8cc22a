// The HTTP window's cost to the game port: the server started with --http and a registry of many
// hosts, the game port's acknowledgement and list latency measured without and then with a
// steady HTTP load on /servers.json and /metrics, and the rate at which /servers.json is served.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "load.h"
#include "options.h"

namespace dirserver::bench {

// One HTTP/1.1 GET of `path` from 127.0.0.1:`port` on a new connection (Connection: close),
// waiting at most until `deadline`. Returns the status code and sets `bytes` to the size of the
// whole answer (and `body`, when given, to the answer's body), or returns 0 with `error` set when
// the exchange fails. `headers` ("Name: value" lines, each ending in CRLF) go with the request.
int httpGet(std::uint16_t port, const std::string& path, Clock::time_point deadline,
            std::uint64_t& bytes, std::string& error, const std::string& headers = "",
            std::string* body = nullptr);

// A loopback port that was free a moment ago, for the server's HTTP listener.
std::uint16_t freePort();

// Runs the measurement for options.httpLoadHosts hosts in a directory under `base` and prints its
// tables: the game port without and with HTTP load, the HTTP window's rates alone, its resident
// memory and /healthz answers while hostile clients hold it, and, where Chromium and Python are
// installed, the status page's own timings (bench/page-timing). Throws std::runtime_error when
// the server does not start or its HTTP window does not serve.
void runHttpLoad(const Options& options, const std::filesystem::path& base);

}  // namespace dirserver::bench

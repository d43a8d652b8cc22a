#include "proc_stats.h"

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace dirserver::bench {
namespace {

// The line of `text` that starts with `prefix`, without it; nullopt when there is none.
std::optional<std::string_view> lineAfter(std::string_view text, std::string_view prefix) {
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    if (line.substr(0, prefix.size()) == prefix) return line.substr(prefix.size());
    start = end + 1;
  }
  return std::nullopt;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Reads the decimal number after any blanks at the start of `text` and consumes both.
std::optional<std::uint64_t> takeNumber(std::string_view& text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

}  // namespace

std::optional<std::uint64_t> statusKiB(std::string_view status, std::string_view field) {
  auto rest = lineAfter(status, std::string(field) + ":");
  if (!rest) return std::nullopt;
  const auto value = takeNumber(*rest);
  while (!rest->empty() && isBlank(rest->front())) rest->remove_prefix(1);
  if (!value || *rest != "kB") return std::nullopt;
  return value;
}

std::optional<std::uint64_t> sockstatTcp(std::string_view sockstat, std::string_view figure) {
  auto rest = lineAfter(sockstat, "TCP:");
  if (!rest) return std::nullopt;
  // Name and value pairs, looked for by name.
  std::istringstream words{std::string(*rest)};
  std::string name, value;
  while (words >> name >> value) {
    if (name != figure) continue;
    std::string_view number = value;
    const auto pages = takeNumber(number);
    if (pages && number.empty()) return pages;
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<TcpMemLimits> parseTcpMem(std::string_view text) {
  const auto low = takeNumber(text);
  const auto pressure = takeNumber(text);
  const auto high = takeNumber(text);
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  if (!low || !pressure || !high || !text.empty() || *low > *pressure || *pressure > *high) {
    return std::nullopt;
  }
  return TcpMemLimits{*low, *pressure, *high};
}

std::vector<TcpSocket> parseTcpTable(std::string_view text) {
  std::vector<TcpSocket> sockets;
  const std::string copy(text);
  std::istringstream lines(copy);
  std::string line;
  std::getline(lines, line);  // the column names
  while (std::getline(lines, line)) {
    unsigned slot = 0, localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0,
             state = 0, txQueue = 0, rxQueue = 0;
    if (std::sscanf(line.c_str(), " %u: %x:%x %x:%x %x %x:%x", &slot, &localAddress, &localPort,
                    &remoteAddress, &remotePort, &state, &txQueue, &rxQueue) == 8) {
      sockets.push_back({localAddress, static_cast<std::uint16_t>(localPort), remoteAddress,
                         static_cast<std::uint16_t>(remotePort), state, rxQueue});
    }
  }
  return sockets;
}

std::string readProcFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint64_t pageBytes() { return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)); }

std::optional<TcpMemLimits> machineTcpMemLimits() {
  if (auto limits = parseTcpMem(readProcFile("/proc/sys/net/ipv4/tcp_mem"))) return limits;
  if (const char* given = std::getenv("DIRSERVER_BENCH_TCP_MEM")) return parseTcpMem(given);
  return std::nullopt;
}

std::optional<std::uint64_t> schedstatRunNanoseconds(std::string_view schedstat) {
  const std::size_t end = schedstat.find_first_of(" \n");
  std::uint64_t value = 0;
  const std::string_view number = schedstat.substr(0, end);
  const auto [at, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (number.empty() || error != std::errc() || at != number.data() + number.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> mainThreadRunNanoseconds(pid_t pid) {
  const std::string id = std::to_string(pid);
  return schedstatRunNanoseconds(readProcFile("/proc/" + id + "/task/" + id + "/schedstat"));
}

bool resetPeakResident(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

Resident residentOf(pid_t pid) {
  const std::string status = readProcFile("/proc/" + std::to_string(pid) + "/status");
  return {statusKiB(status, "VmRSS").value_or(0), statusKiB(status, "VmHWM").value_or(0)};
}

}  // namespace dirserver::bench

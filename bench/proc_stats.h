// What the kernel reports through /proc about the server process, the machine's TCP memory and
// the server's side of each TCP connection. The parsers take the file's text, so that tests can
// hand in their own; the readers read the real files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dirserver::bench {

// The value of a "kB" line of a /proc/PID/status text, such as "VmRSS:    8120 kB" for `field`
// "VmRSS", in KiB; nullopt when the text has no such line or its value is not a number.
std::optional<std::uint64_t> statusKiB(std::string_view status, std::string_view field);

// A figure of the "TCP:" line of a /proc/net/sockstat text ("TCP: inuse 3 orphan 0 tw 2 alloc 5
// mem 156"), by its name: "mem" is the memory all TCP sockets of the machine hold, in pages (the
// kernel's global count, the same in every network namespace), "orphan" the sockets closed by
// their process that the kernel still holds. nullopt when it is missing.
std::optional<std::uint64_t> sockstatTcp(std::string_view sockstat, std::string_view figure);
inline std::optional<std::uint64_t> sockstatTcpPages(std::string_view sockstat) {
  return sockstatTcp(sockstat, "mem");
}

// The kernel's thresholds for TCP memory, in pages: /proc/sys/net/ipv4/tcp_mem's three numbers.
// Below `low` there is no pressure; above `pressure` the kernel trims buffers; at `high` it
// refuses memory to sockets and drops orphaned ones ("TCP: out of memory").
struct TcpMemLimits {
  std::uint64_t low = 0, pressure = 0, high = 0;
};

// Reads "LOW PRESSURE HIGH" (blanks or tabs between, a line feed after allowed); nullopt unless
// the text is exactly three numbers in ascending order.
std::optional<TcpMemLimits> parseTcpMem(std::string_view text);

// One line of /proc/net/tcp, in the forms the file prints them: addresses as the number whose
// bytes are the address in network order (as in sockaddr_in), ports and state in host order.
struct TcpSocket {
  std::uint32_t localAddress = 0;
  std::uint16_t localPort = 0;
  std::uint32_t remoteAddress = 0;
  std::uint16_t remotePort = 0;
  unsigned state = 0;         // 1 established, 10 listening, 4 FIN_WAIT1, ...
  std::uint32_t rxQueue = 0;  // for a listening socket: connections waiting to be accepted
};
inline constexpr unsigned kTcpEstablished = 1;
inline constexpr unsigned kTcpListen = 10;

// Every socket line of a /proc/net/tcp text (the first line, the column names, is skipped, and so
// is any line that does not parse).
std::vector<TcpSocket> parseTcpTable(std::string_view text);

// The whole of a file under /proc (or any file); empty when it cannot be read.
std::string readProcFile(const std::string& path);

// The size of a memory page in bytes.
std::uint64_t pageBytes();

// The machine's TCP memory thresholds: from /proc/sys/net/ipv4/tcp_mem, which a network
// namespace other than the first one does not show, else from the environment variable
// DIRSERVER_BENCH_TCP_MEM in the same form (set it outside the namespace:
// DIRSERVER_BENCH_TCP_MEM="$(cat /proc/sys/net/ipv4/tcp_mem)"). nullopt when neither is there.
std::optional<TcpMemLimits> machineTcpMemLimits();

// The time a thread has run on a processor, in nanoseconds: the first number of a
// /proc/PID/task/TID/schedstat text ("3712003 120114 37"); nullopt when it is not a number.
std::optional<std::uint64_t> schedstatRunNanoseconds(std::string_view schedstat);

// The processor time of the main thread of process `pid` (the server's loop) so far, in
// nanoseconds; nullopt when the kernel does not say.
std::optional<std::uint64_t> mainThreadRunNanoseconds(pid_t pid);

// Resets the peak resident memory (VmHWM) of process `pid` to its resident memory now, through
// /proc/PID/clear_refs; false when the kernel refuses.
bool resetPeakResident(pid_t pid);

// Resident memory of process `pid`, from /proc/PID/status, in KiB; 0 when it cannot be read.
struct Resident {
  std::uint64_t now = 0;   // VmRSS
  std::uint64_t peak = 0;  // VmHWM: the most since start or since resetPeakResident
};
Resident residentOf(pid_t pid);

}  // namespace dirserver::bench

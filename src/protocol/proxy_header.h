// The header a trusted load balancer puts before a connection's own bytes to say whom it carries
// them for, in its binary form (version 2) or its text form (version 1).
//
// Version 2, all integers big-endian:
//   bytes 0-11   the signature "\r\n\r\n\0\r\nQUIT\n"
//   byte  12     version (high nibble, 2) and command (low nibble: 0 LOCAL, 1 PROXY)
//   byte  13     address family (high nibble: 0 unspecified, 1 IPv4, 2 IPv6, 3 Unix) and
//                transport (low nibble: 0 unspecified, 1 stream, 2 datagram)
//   bytes 14-15  the length of what follows: the addresses, then TLVs (type 1 byte, length
//                2 bytes, value) up to the end
//   IPv4 addresses: source address (4), destination address (4), source port (2), destination
//   port (2); IPv6 takes 36 bytes, Unix 216.
// Version 1, one line of at most 107 bytes with its "\r\n":
//   "PROXY TCP4 <source> <destination> <source port> <destination port>\r\n"
//   "PROXY TCP6 ...\r\n", or "PROXY UNKNOWN[ anything]\r\n".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/byte_order.h"

namespace dirserver {

inline constexpr std::uint8_t kProxyV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                       0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
inline constexpr std::size_t kProxyV2FixedSize = 16;  // signature, command, family, length
inline constexpr std::size_t kProxyV2Ipv4Size = 12;   // the IPv4 addresses and ports
inline constexpr std::size_t kProxyV2Ipv6Size = 36;
inline constexpr std::size_t kProxyV2UnixSize = 216;
// The most bytes a version 2 header may announce after its fixed part: the largest address block
// (Unix) with room for the TLVs a balancer adds (a unique id, a few short ones). Longer is
// rejected rather than read, as a request's size is.
inline constexpr std::size_t kMaxProxyV2Length = 512;
inline constexpr std::size_t kMaxProxyV1Line = 107;  // with its "\r\n"
// The fewest bytes either form takes: "PROXY UNKNOWN\r\n".
inline constexpr std::size_t kProxyMinSize = 15;

// Appends a version 2 PROXY header for a TCP connection from `source` to `destination` (IPv4
// addresses in network byte order, ports in host byte order), without TLVs: what a balancer sends
// ahead of a peer's bytes.
void putProxyV2Header(Bytes& out, std::uint32_t source, std::uint16_t sourcePort,
                      std::uint32_t destination, std::uint16_t destinationPort);

// Reads one PROXY header from bytes handed in as they arrive, and never takes a byte past its end:
// what follows is the connection's own, for the request framing. A version 1 line ends at a "\r\n"
// the reader cannot see coming, so it asks for at most two bytes at a time there (one when the
// last was "\r"). Both forms begin with at least kProxyMinSize bytes, taken in one piece; version 2
// then takes the rest of its fixed part with the addresses its family needs, and last the TLVs,
// if its length announces any.
// Each byte is checked as soon as it arrives, so a peer that sends something else is rejected at
// its first wrong byte. Holds no socket and no clock, like FrameReader.
class ProxyHeaderReader {
 public:
  enum class Step : std::uint8_t { Reading, Done, Rejected };

  // What a complete header says about the connection.
  enum class Source : std::uint8_t {
    Ipv4,         // carried for the IPv4 stream peer address()
    Local,        // the balancer's own connection (its health check): no peer behind it
    OtherFamily,  // carried for a peer that is not IPv4 (IPv6, Unix, UNKNOWN, a datagram)
  };

  // Why a header was rejected.
  enum class Fault : std::uint8_t {
    Signature,  // neither "PROXY " nor the version 2 signature
    Version,    // version 2 with another version nibble or command
    Length,     // version 2 announcing more than kMaxProxyV2Length, or less than its addresses
    Tlv,        // version 2 TLVs after addresses that do not end exactly where the header does
    Line,       // version 1 without "\r\n" within kMaxProxyV1Line bytes, or a bad field
  };

  Step step() const { return step_; }

  // Where the next bytes go: never more than the header can still hold. Empty once Done or
  // Rejected.
  std::span<std::uint8_t> space();

  // Records that `count` bytes (at most space().size()) were written to space() and checks them.
  // Returns the step reached.
  Step received(std::size_t count);

  // Once Done: what the header says, and for Source::Ipv4 the source address in network byte
  // order (as a socket address holds it) and its port.
  Source source() const { return source_; }
  std::uint32_t address() const { return address_; }
  std::uint16_t port() const { return port_; }
  // The bytes the header took, once Done.
  std::size_t size() const { return received_; }
  // Once Rejected: why.
  Fault fault() const { return fault_; }

 private:
  Step reject(Fault fault);
  Step checkV2();
  Step finishV2();
  Step checkV1(std::size_t from);
  Step finishV1();

  enum class Form : std::uint8_t { Unknown, V1, V2 };

  std::array<std::uint8_t, kProxyV2FixedSize + kMaxProxyV2Length> bytes_{};
  std::size_t received_ = 0;
  std::size_t wanted_ = kProxyMinSize;  // bytes of the header known to be coming, in all
  Form form_ = Form::Unknown;
  Step step_ = Step::Reading;
  Source source_ = Source::OtherFamily;
  Fault fault_ = Fault::Signature;
  std::uint32_t address_ = 0;
  std::uint16_t port_ = 0;
};

}  // namespace dirserver

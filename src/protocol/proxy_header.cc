#include "protocol/proxy_header.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace dirserver {
namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::uint8_t kCommandLocal = 0x20;  // version 2, LOCAL
constexpr std::uint8_t kCommandProxy = 0x21;  // version 2, PROXY
constexpr std::uint8_t kFamilyIpv4 = 0x1;
constexpr std::uint8_t kFamilyIpv6 = 0x2;
constexpr std::uint8_t kFamilyUnix = 0x3;
constexpr std::uint8_t kTransportStream = 0x1;
constexpr std::size_t kTlvHeaderSize = 3;  // type, then a big-endian length

std::uint16_t loadBigEndian16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// The addresses a version 2 header of this family must hold at least.
std::size_t addressBlockSize(std::uint8_t family) {
  switch (family) {
    case kFamilyIpv4:
      return kProxyV2Ipv4Size;
    case kFamilyIpv6:
      return kProxyV2Ipv6Size;
    case kFamilyUnix:
      return kProxyV2UnixSize;
    default:
      return 0;
  }
}

// Consumes one field up to the next space (or the end) from `text`.
std::string_view takeField(std::string_view& text) {
  const std::size_t space = text.find(' ');
  const std::string_view field = text.substr(0, space);
  text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
  return field;
}

// A decimal number from 0 to `most`, without sign or leading zeros.
bool parseDecimal(std::string_view text, std::uint32_t most, std::uint32_t& value) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value <= most;
}

// A dotted IPv4 address; its four bytes in the order they are written (network byte order).
bool parseDottedQuad(std::string_view text, std::uint8_t (&bytes)[4]) {
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.');
    if ((part < 3) != (dot != std::string_view::npos)) return false;
    std::uint32_t value = 0;
    if (!parseDecimal(text.substr(0, dot), 255, value)) return false;
    bytes[part] = static_cast<std::uint8_t>(value);
    text = part < 3 ? text.substr(dot + 1) : std::string_view();
  }
  return true;
}

void putBigEndian16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void putNetworkOrder32(Bytes& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &value, sizeof bytes);
  out.insert(out.end(), bytes, bytes + 4);
}

}  // namespace

void putProxyV2Header(Bytes& out, std::uint32_t source, std::uint16_t sourcePort,
                      std::uint32_t destination, std::uint16_t destinationPort) {
  out.insert(out.end(), std::begin(kProxyV2Signature), std::end(kProxyV2Signature));
  out.push_back(kCommandProxy);
  out.push_back(kFamilyIpv4 << 4 | kTransportStream);
  putBigEndian16(out, kProxyV2Ipv4Size);
  putNetworkOrder32(out, source);
  putNetworkOrder32(out, destination);
  putBigEndian16(out, sourcePort);
  putBigEndian16(out, destinationPort);
}

std::span<std::uint8_t> ProxyHeaderReader::space() {
  if (step_ != Step::Reading) return {};
  return std::span<std::uint8_t>(bytes_).subspan(received_, wanted_ - received_);
}

ProxyHeaderReader::Step ProxyHeaderReader::reject(Fault fault) {
  fault_ = fault;
  step_ = Step::Rejected;
  return step_;
}

ProxyHeaderReader::Step ProxyHeaderReader::received(std::size_t count) {
  if (step_ != Step::Reading || count == 0) return step_;
  const std::size_t from = received_;
  received_ += count;
  if (form_ == Form::Unknown) form_ = bytes_[0] == kV1Prefix[0] ? Form::V1 : Form::V2;
  for (std::size_t at = from; at < received_; ++at) {
    // The leading bytes of either form are fixed: a wrong one ends the header at once.
    if (form_ == Form::V1 && at < kV1Prefix.size() &&
        bytes_[at] != static_cast<std::uint8_t>(kV1Prefix[at])) {
      return reject(Fault::Signature);
    }
    if (form_ == Form::V2 && at < sizeof kProxyV2Signature && bytes_[at] != kProxyV2Signature[at]) {
      return reject(Fault::Signature);
    }
  }
  return form_ == Form::V1 ? checkV1(from) : checkV2();
}

ProxyHeaderReader::Step ProxyHeaderReader::checkV2() {
  if (received_ > 12 && bytes_[12] != kCommandLocal && bytes_[12] != kCommandProxy) {
    return reject(Fault::Version);
  }
  if (received_ < wanted_) return step_;
  if (received_ == kProxyMinSize) {
    // The command and family are here; the length's second byte is not yet. A PROXY command
    // announces at least its family's addresses, so those can be asked for with it.
    const std::uint8_t command = bytes_[12];
    wanted_ =
        kProxyV2FixedSize + (command == kCommandProxy ? addressBlockSize(bytes_[13] >> 4) : 0);
    return step_;
  }
  const std::size_t length = loadBigEndian16(bytes_.data() + 14);
  if (length > kMaxProxyV2Length || kProxyV2FixedSize + length < wanted_) {
    return reject(Fault::Length);
  }
  if (received_ < kProxyV2FixedSize + length) {
    wanted_ = kProxyV2FixedSize + length;
    return step_;
  }
  return finishV2();
}

ProxyHeaderReader::Step ProxyHeaderReader::finishV2() {
  const std::uint8_t command = bytes_[12];
  const std::uint8_t family = bytes_[13] >> 4;
  const std::uint8_t transport = bytes_[13] & 0x0F;
  // The TLVs past the addresses are skipped, but they must tile the rest exactly: a header that
  // does not is not what a balancer sends.
  std::size_t at = kProxyV2FixedSize + (command == kCommandProxy ? addressBlockSize(family) : 0);
  if (command == kCommandLocal ||
      (family != kFamilyIpv4 && family != kFamilyIpv6 && family != kFamilyUnix)) {
    // A LOCAL header's block is to be ignored whole, and an unspecified family's has no known
    // layout.
    at = received_;
  }
  while (at < received_) {
    if (received_ - at < kTlvHeaderSize) return reject(Fault::Tlv);
    const std::size_t value = loadBigEndian16(bytes_.data() + at + 1);
    if (received_ - at - kTlvHeaderSize < value) return reject(Fault::Tlv);
    at += kTlvHeaderSize + value;
  }
  step_ = Step::Done;
  if (command == kCommandLocal) {
    source_ = Source::Local;
  } else if (family == kFamilyIpv4 && transport == kTransportStream) {
    source_ = Source::Ipv4;
    std::memcpy(&address_, bytes_.data() + kProxyV2FixedSize, sizeof address_);
    port_ = loadBigEndian16(bytes_.data() + kProxyV2FixedSize + 8);
  } else {
    source_ = Source::OtherFamily;
  }
  return step_;
}

ProxyHeaderReader::Step ProxyHeaderReader::checkV1(std::size_t from) {
  // Only printable text until the line's end; a "\n" only right after a "\r".
  for (std::size_t at = std::max(from, kV1Prefix.size()); at < received_; ++at) {
    const std::uint8_t c = bytes_[at];
    if (c == '\n') {
      if (bytes_[at - 1] != '\r' || at + 1 != received_) return reject(Fault::Line);
      return finishV1();
    }
    if (bytes_[at - 1] == '\r') return reject(Fault::Line);
    if (c != '\r' && (c < 0x20 || c > 0x7E)) return reject(Fault::Line);
  }
  if (received_ < wanted_) return step_;
  if (received_ >= kMaxProxyV1Line) return reject(Fault::Line);
  // The line may end with the next two bytes, or the next one after a "\r": never ask for more.
  wanted_ = received_ + (bytes_[received_ - 1] == '\r' ? 1 : 2);
  if (wanted_ > kMaxProxyV1Line) wanted_ = kMaxProxyV1Line;
  return step_;
}

ProxyHeaderReader::Step ProxyHeaderReader::finishV1() {
  std::string_view line(reinterpret_cast<const char*>(bytes_.data()) + kV1Prefix.size(),
                        received_ - kV1Prefix.size() - 2);
  const std::string_view protocol = takeField(line);
  step_ = Step::Done;
  if (protocol == "UNKNOWN") {
    source_ = Source::OtherFamily;
    return step_;
  }
  if (protocol != "TCP4" && protocol != "TCP6") return reject(Fault::Line);
  const std::string_view source = takeField(line), destination = takeField(line);
  const std::string_view sourcePort = takeField(line), destinationPort = takeField(line);
  std::uint32_t portValue = 0, unused = 0;
  if (source.empty() || destination.empty() || !line.empty() ||
      !parseDecimal(sourcePort, 65535, portValue) ||
      !parseDecimal(destinationPort, 65535, unused)) {
    return reject(Fault::Line);
  }
  if (protocol == "TCP6") {
    // Not an owner this server can keep; its text is checked no further than its shape.
    source_ = Source::OtherFamily;
    return step_;
  }
  std::uint8_t sourceBytes[4], destinationBytes[4];
  if (!parseDottedQuad(source, sourceBytes) || !parseDottedQuad(destination, destinationBytes)) {
    return reject(Fault::Line);
  }
  source_ = Source::Ipv4;
  std::memcpy(&address_, sourceBytes, sizeof address_);
  port_ = static_cast<std::uint16_t>(portValue);
  return step_;
}

}  // namespace dirserver

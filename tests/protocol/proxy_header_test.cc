#include "protocol/proxy_header.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace dirserver {
namespace {

using Bytes8 = std::vector<std::uint8_t>;
using Step = ProxyHeaderReader::Step;
using Source = ProxyHeaderReader::Source;
using Fault = ProxyHeaderReader::Fault;

// Hands `input` to `reader` as a socket would, at most `chunk` bytes per read and never more than
// it asks for, until it stops reading. Returns how many bytes it took.
std::size_t feed(ProxyHeaderReader& reader, const Bytes8& input, std::size_t chunk) {
  std::size_t taken = 0;
  while (reader.step() == Step::Reading && taken < input.size()) {
    const auto space = reader.space();
    if (space.empty()) {
      ADD_FAILURE() << "reading, but asks for nothing";
      break;
    }
    const std::size_t count = std::min({chunk, space.size(), input.size() - taken});
    std::memcpy(space.data(), input.data() + taken, count);
    taken += count;
    reader.received(count);
  }
  return taken;
}

Bytes8 text(const std::string& line) { return Bytes8(line.begin(), line.end()); }

// A version 2 header: command byte, family byte, then `block` as its announced contents.
Bytes8 v2(std::uint8_t command, std::uint8_t family, const Bytes8& block) {
  Bytes8 header(std::begin(kProxyV2Signature), std::end(kProxyV2Signature));
  header.push_back(command);
  header.push_back(family);
  header.push_back(static_cast<std::uint8_t>(block.size() >> 8));
  header.push_back(static_cast<std::uint8_t>(block.size()));
  header.insert(header.end(), block.begin(), block.end());
  return header;
}

// The IPv4 block of 203.0.113.7:40000 -> 10.0.0.1:6001, then `tlvs`.
Bytes8 ipv4Block(const Bytes8& tlvs = {}) {
  Bytes8 block = {203, 0, 113, 7, 10, 0, 0, 1, 0x9C, 0x40, 0x17, 0x71};
  block.insert(block.end(), tlvs.begin(), tlvs.end());
  return block;
}

std::uint32_t networkOrder(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

const Bytes8 kRequest = {12, 0, 0, 0, 0x37, 0x13, 0, 0, 8, 0, 0, 0};  // what the peer sends next

Bytes8 followedByRequest(Bytes8 header) {
  header.insert(header.end(), kRequest.begin(), kRequest.end());
  return header;
}

// Every valid header, whole or a byte per read, ends exactly where it ends: the request behind it
// is left for the framing.
TEST(ProxyHeaderTest, ValidHeadersEndAtTheirLastByteWhateverTheReads) {
  struct Case {
    const char* name;
    Bytes8 header;
    Source source;
  };
  const Bytes8 tlvs = {0x04, 0x00, 0x02, 'a', 'b', 0x05, 0x00, 0x00, 0x20, 0x00, 0x01, 0x07};
  Bytes written;
  putProxyV2Header(written, networkOrder("203.0.113.7"), 40000, networkOrder("10.0.0.1"), 6001);
  const Case cases[] = {
      {"v2 ipv4", v2(0x21, 0x11, ipv4Block()), Source::Ipv4},
      {"v2 as putProxyV2Header writes it", Bytes8(written.begin(), written.end()), Source::Ipv4},
      {"v2 ipv4 with TLVs", v2(0x21, 0x11, ipv4Block(tlvs)), Source::Ipv4},
      {"v2 local, empty", v2(0x20, 0x00, {}), Source::Local},
      {"v2 local, any block", v2(0x20, 0x11, {1, 2, 3}), Source::Local},
      {"v2 ipv6", v2(0x21, 0x21, Bytes8(kProxyV2Ipv6Size, 1)), Source::OtherFamily},
      {"v2 unix", v2(0x21, 0x31, Bytes8(kProxyV2UnixSize, 0)), Source::OtherFamily},
      {"v2 udp4", v2(0x21, 0x12, ipv4Block()), Source::OtherFamily},
      {"v2 unspecified", v2(0x21, 0x00, {9, 9}), Source::OtherFamily},
      {"v1 tcp4", text("PROXY TCP4 203.0.113.7 10.0.0.1 40000 6001\r\n"), Source::Ipv4},
      {"v1 tcp6", text("PROXY TCP6 2001:db8::1 2001:db8::2 40000 6001\r\n"), Source::OtherFamily},
      {"v1 unknown", text("PROXY UNKNOWN\r\n"), Source::OtherFamily},
      {"v1 unknown, more", text("PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n"), Source::OtherFamily},
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{4096}}) {
      SCOPED_TRACE(std::string(c.name) + ", reads of " + std::to_string(chunk));
      ProxyHeaderReader reader;
      EXPECT_EQ(feed(reader, followedByRequest(c.header), chunk), c.header.size());
      ASSERT_EQ(reader.step(), Step::Done);
      EXPECT_EQ(reader.source(), c.source);
      EXPECT_EQ(reader.size(), c.header.size());
      EXPECT_TRUE(reader.space().empty());
      if (c.source == Source::Ipv4) {
        EXPECT_EQ(reader.address(), networkOrder("203.0.113.7"));
        EXPECT_EQ(reader.port(), 40000);
      }
    }
  }
}

// A version 1 line may take 107 bytes with its end, not one more; the 108th is never read.
TEST(ProxyHeaderTest, TextLineOfAtMost107Bytes) {
  const auto line = [](std::size_t size) {
    const std::string head = "PROXY UNKNOWN ";
    return followedByRequest(text(head + std::string(size - head.size() - 2, 'x') + "\r\n"));
  };
  ProxyHeaderReader longest;
  EXPECT_EQ(feed(longest, line(107), 1), 107u);
  EXPECT_EQ(longest.step(), Step::Done);
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
    ProxyHeaderReader tooLong;
    EXPECT_EQ(feed(tooLong, line(108), chunk), 107u);
    EXPECT_EQ(tooLong.step(), Step::Rejected);
    EXPECT_EQ(tooLong.fault(), Fault::Line);
  }
}

TEST(ProxyHeaderTest, RejectsMalformedHeaders) {
  struct Case {
    const char* name;
    Bytes8 input;
    Fault fault;
    std::size_t readAtMost;  // a wrong byte is seen as soon as it arrives
  };
  Bytes8 badSignature = v2(0x21, 0x11, ipv4Block());
  badSignature[7] = 'q';
  Bytes8 oversized = v2(0x21, 0x11, ipv4Block(Bytes8(kMaxProxyV2Length, 0)));
  const std::size_t bigLength = kProxyV2FixedSize + kMaxProxyV2Length + 12;
  const Case cases[] = {
      {"a request without header", kRequest, Fault::Signature, 1},
      {"v2 signature", badSignature, Fault::Signature, 8},
      {"text that is not PROXY", text("PROXZ TCP4 1.2.3.4 1.2.3.4 1 2\r\n"), Fault::Signature, 5},
      {"v2 version 1", v2(0x11, 0x11, ipv4Block()), Fault::Version, 13},
      {"v2 command 2", v2(0x22, 0x11, ipv4Block()), Fault::Version, 13},
      {"v2 over the bound", oversized, Fault::Length, kProxyV2FixedSize + kProxyV2Ipv4Size},
      {"v2 shorter than its addresses", v2(0x21, 0x11, Bytes8(11, 0)), Fault::Length, bigLength},
      {"v2 TLV cut short", v2(0x21, 0x11, ipv4Block({0x04, 0x00, 0x05, 'a'})), Fault::Tlv,
       bigLength},
      {"v2 TLV header cut short", v2(0x21, 0x11, ipv4Block({0x04, 0x00})), Fault::Tlv, bigLength},
      {"v1 unknown protocol", text("PROXY TCP5 1.2.3.4 1.2.3.4 1 2\r\n"), Fault::Line, 200},
      {"v1 address part 256", text("PROXY TCP4 1.2.3.256 1.2.3.4 1 2\r\n"), Fault::Line, 200},
      {"v1 leading zero", text("PROXY TCP4 1.2.3.04 1.2.3.4 1 2\r\n"), Fault::Line, 200},
      {"v1 three parts", text("PROXY TCP4 1.2.3 1.2.3.4 1 2\r\n"), Fault::Line, 200},
      {"v1 port 65536", text("PROXY TCP4 1.2.3.4 1.2.3.4 65536 2\r\n"), Fault::Line, 200},
      {"v1 no ports", text("PROXY TCP4 1.2.3.4 1.2.3.4\r\n"), Fault::Line, 200},
      {"v1 a field more", text("PROXY TCP4 1.2.3.4 1.2.3.4 1 2 3\r\n"), Fault::Line, 200},
      {"v1 two spaces", text("PROXY TCP4  1.2.3.4 1.2.3.4 1 2\r\n"), Fault::Line, 200},
      {"v1 line feed alone", text("PROXY TCP4 1.2.3.4 1.2.3.4 1 2\n"), Fault::Line, 200},
      {"v1 carriage return alone", text("PROXY UNKNOWN\rxx\r\n"), Fault::Line, 15},
      {"v1 control byte", text("PROXY UNKNOWN\tx\r\n"), Fault::Line, 15},
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
      SCOPED_TRACE(std::string(c.name) + ", reads of " + std::to_string(chunk));
      ProxyHeaderReader reader;
      const std::size_t taken = feed(reader, followedByRequest(c.input), chunk);
      ASSERT_EQ(reader.step(), Step::Rejected);
      EXPECT_EQ(reader.fault(), c.fault);
      EXPECT_TRUE(reader.space().empty());
      if (chunk == 1) {
        EXPECT_LE(taken, c.readAtMost);
      }
    }
  }
}

}  // namespace
}  // namespace dirserver

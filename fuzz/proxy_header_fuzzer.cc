// The PROXY header reader, fed as a socket would feed it.
//
// Input: one setup byte, the most bytes each read hands over (0: all that is asked for), then the
// bytes the balancer sends. The reader must come to the same end whatever the reads (the same
// step, fault, source, address and size as when it is handed each byte on its own), never ask for
// a byte past the end of a header it accepts, and stay within its bounds: a text line of at most
// 107 bytes ending in its first "\r\n", a binary header of its announced length.

#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "protocol/proxy_header.h"

namespace dirserver::fuzz {
namespace {

struct Outcome {
  ProxyHeaderReader::Step step;
  ProxyHeaderReader::Fault fault;
  ProxyHeaderReader::Source source;
  std::uint32_t address;
  std::uint16_t port;
  std::size_t size;
  std::size_t taken;
};

Outcome read(const std::uint8_t* data, std::size_t size, std::size_t chunk) {
  ProxyHeaderReader reader;
  std::size_t taken = 0;
  while (reader.step() == ProxyHeaderReader::Step::Reading && taken < size) {
    const auto space = reader.space();
    FUZZ_REQUIRE(!space.empty());
    const std::size_t count =
        std::min({chunk == 0 ? space.size() : chunk, space.size(), size - taken});
    std::memcpy(space.data(), data + taken, count);
    taken += count;
    reader.received(count);
  }
  const bool done = reader.step() == ProxyHeaderReader::Step::Done;
  return {reader.step(),
          reader.step() == ProxyHeaderReader::Step::Rejected ? reader.fault()
                                                             : ProxyHeaderReader::Fault::Signature,
          done ? reader.source() : ProxyHeaderReader::Source::OtherFamily,
          done && reader.source() == ProxyHeaderReader::Source::Ipv4 ? reader.address() : 0,
          done && reader.source() == ProxyHeaderReader::Source::Ipv4 ? reader.port() : std::uint16_t{0},
          done ? reader.size() : 0,
          taken};
}

}  // namespace
}  // namespace dirserver::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace dirserver;
  using namespace dirserver::fuzz;
  if (size == 0) return 0;
  const std::size_t chunk = data[0];
  ++data;
  --size;
  const Outcome bytewise = read(data, size, 1);
  const Outcome chunked = read(data, size, chunk);
  FUZZ_REQUIRE(bytewise.step == chunked.step);
  FUZZ_REQUIRE(bytewise.fault == chunked.fault);
  FUZZ_REQUIRE(bytewise.source == chunked.source);
  FUZZ_REQUIRE(bytewise.address == chunked.address);
  FUZZ_REQUIRE(bytewise.port == chunked.port);
  FUZZ_REQUIRE(bytewise.size == chunked.size);
  if (bytewise.step != ProxyHeaderReader::Step::Done) return 0;
  // An accepted header: nothing past it was taken, and it has the shape of its form.
  FUZZ_REQUIRE(bytewise.taken == bytewise.size && chunked.taken == bytewise.size);
  const std::size_t header = bytewise.size;
  if (data[0] == 'P') {
    FUZZ_REQUIRE(header <= kMaxProxyV1Line && header >= kProxyMinSize);
    FUZZ_REQUIRE(std::memcmp(data, "PROXY ", 6) == 0);
    FUZZ_REQUIRE(data[header - 2] == '\r' && data[header - 1] == '\n');
    for (std::size_t at = 0; at + 2 < header; ++at)
      FUZZ_REQUIRE(data[at] != '\r' && data[at] != '\n');
  } else {
    FUZZ_REQUIRE(header >= kProxyV2FixedSize);
    FUZZ_REQUIRE(std::memcmp(data, kProxyV2Signature, sizeof kProxyV2Signature) == 0);
    FUZZ_REQUIRE(header == kProxyV2FixedSize + ((std::size_t{data[14]} << 8) | data[15]));
    FUZZ_REQUIRE(header <= kProxyV2FixedSize + kMaxProxyV2Length);
    if (bytewise.source == ProxyHeaderReader::Source::Ipv4) {
      std::uint32_t source = 0;
      std::memcpy(&source, data + kProxyV2FixedSize, sizeof source);
      FUZZ_REQUIRE(bytewise.address == source);
    }
  }
  return 0;
}

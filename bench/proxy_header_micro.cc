// What a trusted balancer's PROXY header costs a connection: reading it, against reading the
// acknowledgement request that follows it, each through the reader the server uses and handed
// over in the pieces the server reads them in.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "net/framing.h"
#include "protocol/proxy_header.h"

namespace dirserver::bench {
namespace {

// Hands `input` to a reader with space()/received(), as many pieces as it asks for. Returns how
// many pieces that took: the receives the server makes for it when all of it has arrived.
template <typename Reader>
std::size_t readWhole(Reader& reader, const Bytes& input) {
  std::size_t taken = 0, reads = 0;
  for (auto space = reader.space(); !space.empty() && taken < input.size();
       space = reader.space()) {
    const std::size_t count = std::min(space.size(), input.size() - taken);
    std::memcpy(space.data(), input.data() + taken, count);
    taken += count;
    ++reads;
    reader.received(count);
  }
  return reads;
}

Bytes ackRequest() {
  Bytes request;
  putHeader(request,
            {kHeaderSize, kMessageId, static_cast<std::uint32_t>(MessageType::AckRequest)});
  return request;
}

void frameOfAnAckRequest(benchmark::State& state) {
  const Bytes request = ackRequest();
  std::size_t reads = 0;
  for (auto _ : state) {
    FrameReader frame;
    reads = readWhole(frame, request);
    benchmark::DoNotOptimize(reads);
  }
  state.counters["receives"] = static_cast<double>(reads);
}
BENCHMARK(frameOfAnAckRequest);

void proxyHeaderBinary(benchmark::State& state) {
  Bytes header;
  putProxyV2Header(header, 0x0771CB00, 40000, 0x0100000A, 6001);
  std::size_t reads = 0;
  for (auto _ : state) {
    auto reader = std::make_unique<ProxyHeaderReader>();  // as the server holds one
    reads = readWhole(*reader, header);
    benchmark::DoNotOptimize(reads);
  }
  state.counters["receives"] = static_cast<double>(reads);
}
BENCHMARK(proxyHeaderBinary);

void proxyHeaderText(benchmark::State& state) {
  const std::string line = "PROXY TCP4 203.0.113.7 10.0.0.1 40000 6001\r\n";
  const Bytes header(line.begin(), line.end());
  std::size_t reads = 0;
  for (auto _ : state) {
    auto reader = std::make_unique<ProxyHeaderReader>();
    reads = readWhole(*reader, header);
    benchmark::DoNotOptimize(reads);
  }
  state.counters["receives"] = static_cast<double>(reads);
}
BENCHMARK(proxyHeaderText);

}  // namespace
}  // namespace dirserver::bench

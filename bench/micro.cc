// Timings of the functions every request leans on: the key of a registering host, the listing
// reply, and the server list file's record encoding.

#include <benchmark/benchmark.h>

#include <vector>

#include "hosts.h"
#include "listing/list_reply.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"
#include "registry/server_registry.h"

namespace dirserver::bench {
namespace {

constexpr std::int32_t kTime = 1'700'000'000;

std::vector<Host> makeHosts(std::size_t count) {
  HostFactory factory;
  std::vector<Host> hosts;
  for (std::size_t i = 0; i < count; ++i) hosts.push_back(factory.next(kTime));
  return hosts;
}

void computeServerKeyOfOneHost(benchmark::State& state) {
  const Host host = makeHosts(1).front();
  for (auto _ : state) benchmark::DoNotOptimize(computeServerKey(host.record.fields));
}
BENCHMARK(computeServerKeyOfOneHost);

void buildListReplyForHosts(benchmark::State& state) {
  ServerRegistry registry;
  for (Host& host : makeHosts(static_cast<std::size_t>(state.range(0)))) {
    registry.insert(host.type, host.key, std::move(host.record));
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    const Bytes reply = buildListReply(registry);
    bytes += reply.size();
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(buildListReplyForHosts)->Arg(1000)->Arg(10000);

void appendFileRecordOfOneHost(benchmark::State& state) {
  const Host host = makeHosts(1).front();
  Bytes out;
  out.reserve(kFileRecordSize);
  for (auto _ : state) {
    out.clear();
    appendFileRecord(out, host.key, host.record);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileRecordSize));
}
BENCHMARK(appendFileRecordOfOneHost);

}  // namespace
}  // namespace dirserver::bench

BENCHMARK_MAIN();

// The server's command line: options, the trace switch, and what main does with each.
#include "app/options.h"

#include <gtest/gtest.h>

#include "protocol/message.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

// What a command line comes to, as one comparable text.
std::string outcome(const std::vector<std::string>& args) {
  ServerOptions options;
  std::string error;
  if (!parseServerOptions(args, options, error)) return "error: " + error;
  std::string text = options.traceKeys ? "trace" : "no trace";
  if (options.help) text += ", help";
  if (options.version) text += ", version";
  if (options.summarizeRefreshes) text += ", summary";
  if (options.consoleFull) text += ", full";
  const auto endpoint = [](const Ipv4Endpoint& at) {
    return std::to_string(at.address >> 24) + "." + std::to_string((at.address >> 16) & 0xFF) +
           "." + std::to_string((at.address >> 8) & 0xFF) + "." +
           std::to_string(at.address & 0xFF) + ":" + std::to_string(at.port);
  };
  if (options.http) text += ", http " + endpoint(*options.http);
  if (options.listen.size() != 1 || options.listen[0].address != 0 ||
      options.listen[0].port != kListenPort) {
    for (const Ipv4Endpoint& at : options.listen) text += ", listen " + endpoint(at);
  }
  if (options.maxHostBytes != kDefaultMaxHostBytes) {
    text += ", max host bytes " + std::to_string(options.maxHostBytes);
  }
  if (options.control != kControlSocketName) text += ", control " + options.control;
  for (const Ipv4Range& range : options.proxyFrom) text += ", proxy from " + rangeText(range);
  const LimitOptions& limits = options.limits;
  if (limits.maxHostsPerNetwork != kDefaultMaxHostsPerNetwork) {
    text += ", per net " + std::to_string(limits.maxHostsPerNetwork);
  }
  if (limits.networkPrefix != kDefaultNetworkPrefix) {
    text += ", prefix " + std::to_string(limits.networkPrefix);
  }
  if (limits.newHostsPerMinute != kDefaultNewHostsPerMinute) {
    text += ", new hosts " + std::to_string(limits.newHostsPerMinute);
  }
  if (limits.listingsPerMinute != 0) text += ", listings " + std::to_string(limits.listingsPerMinute);
  for (const std::string& server : options.clusterServers) text += ", nats " + server;
  if (!options.clusterServers.empty()) {
    text += ", bucket " + options.clusterBucket + " x" + std::to_string(options.clusterReplicas) +
            (options.nodeName.empty() ? "" : ", node " + options.nodeName) +
            (options.clusterCreds.empty() ? "" : ", creds " + options.clusterCreds) +
            (options.clusterTlsCa.empty() ? "" : ", tls " + options.clusterTlsCa);
  }
  return text;
}

TEST(ServerOptions, OptionsBeginWithTwoDashesAndEveryOtherArgumentSwitchesTheTraceOn) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no trace"},
      {{"trace"}, "trace"},
      {{"-x"}, "trace"},
      {{""}, "trace"},
      {{"-h"}, "no trace, help"},
      {{"--help"}, "no trace, help"},
      {{"--version", "trace"}, "trace, version"},
      {{"--http", "127.0.0.1:8080"}, "no trace, http 127.0.0.1:8080"},
      {{"--http=0.0.0.0:65535", "t"}, "trace, http 0.0.0.0:65535"},
      {{"--http", "10.1.2.3:1", "--http", "10.0.0.9:2"}, "no trace, http 10.0.0.9:2"},
      {{"--max-host-bytes", "1000"}, "no trace, max host bytes 1000"},
      {{"--max-host-bytes=8K"}, "no trace, max host bytes 8192"},
      {{"--max-host-bytes", "2G"}, "no trace, max host bytes 2147483648"},
      {{"--max-host-bytes"}, "error: --max-host-bytes needs a value: BYTES"},
      {{"--console", "summary", "t"}, "trace, summary"},
      {{"--console=summary", "--console=full"}, "no trace, full"},
      {{"--console=full", "--console=summary"}, "no trace, summary"},
      {{"--console", "quiet"}, "error: --console 'quiet': expected full or summary"},
      {{"--console"}, "error: --console needs a value: full or summary"},
      {{"--control", "/run/d.sock", "t"}, "trace, control /run/d.sock"},
      {{"--control=--x"}, "no trace, control --x"},
      {{"--control"}, "error: --control needs a value: PATH"},
      {{"--control="}, "error: --control needs a path"},
      {{"--proxy-from", "10.0.0.0/8", "--proxy-from=127.0.0.1"},
       "no trace, proxy from 10.0.0.0/8, proxy from 127.0.0.1"},
      {{"--proxy-from"}, "error: --proxy-from needs a value: CIDR"},
      {{"--listen", "127.0.0.2:6001", "--listen=10.0.0.1:7000"},
       "no trace, listen 127.0.0.2:6001, listen 10.0.0.1:7000"},
      {{"--listen", "127.0.0.2"}, "error: --listen '127.0.0.2': expected ADDRESS:PORT"},
      {{"--max-hosts-per-net", "65531", "--net-prefix=0", "--new-hosts-per-minute", "0",
        "--listings-per-minute=1000000"},
       "no trace, per net 65531, prefix 0, new hosts 0, listings 1000000"},
      {{"--max-hosts-per-net", "0"}, "error: --max-hosts-per-net '0': expected 1 to 65531"},
      {{"--max-hosts-per-net=65532"},
       "error: --max-hosts-per-net '65532': expected 1 to 65531"},
      {{"--net-prefix", "33"}, "error: --net-prefix '33': expected 0 to 32"},
      {{"--net-prefix", "/24"}, "error: --net-prefix '/24': expected 0 to 32"},
      {{"--new-hosts-per-minute", "-1"},
       "error: --new-hosts-per-minute '-1': expected 0 to 1000000"},
      {{"--listings-per-minute", "1000001"},
       "error: --listings-per-minute '1000001': expected 0 to 1000000"},
      {{"--net-prefix"}, "error: --net-prefix needs a value: P"},
      // After "--" nothing is an option.
      {{"--", "--help"}, "trace"},
      {{"--bogus"}, "error: unknown option '--bogus'; 'dirserver --help' lists the options"},
      {{"trace", "--trace"},
       "error: unknown option '--trace'; 'dirserver --help' lists the options"},
      {{"--help=yes"}, "error: --help takes no value"},
      {{"--version="}, "error: --version takes no value"},
      {{"--http"}, "error: --http needs a value: ADDRESS:PORT"},
      {{"--http="}, "error: --http '': expected ADDRESS:PORT"},
      {{"--http", "127.0.0.1"}, "error: --http '127.0.0.1': expected ADDRESS:PORT"},
      {{"--http", "localhost:80"},
       "error: --http 'localhost:80': 'localhost' is not an IPv4 address such as 127.0.0.1"},
      {{"--http", "1.2.3:80"},
       "error: --http '1.2.3:80': '1.2.3' is not an IPv4 address such as 127.0.0.1"},
      {{"--http", "1.2.3.256:80"},
       "error: --http '1.2.3.256:80': '1.2.3.256' is not an IPv4 address such as 127.0.0.1"},
      // The cluster options need --cluster and sane names.
      {{"--cluster", "nats://a:4222,tls://10.0.0.2:4223"},
       "no trace, nats nats://a:4222, nats tls://10.0.0.2:4223, bucket dirserver x3"},
      {{"--node-name=b-1", "--cluster-bucket", "dir_2", "--cluster-replicas=1", "--cluster",
        "nats://a:1"},
       "no trace, nats nats://a:1, bucket dir_2 x1, node b-1"},
      {{"--cluster", "a:4222"}, "error: --cluster 'a:4222': expected nats://HOST:PORT"},
      {{"--cluster", "nats://a:1,"}, "error: --cluster '': expected nats://HOST:PORT"},
      {{"--cluster", "nats://:4222"}, "error: --cluster 'nats://:4222': expected nats://HOST:PORT"},
      {{"--cluster", "nats://a:1", "--cluster-bucket", "a.b"},
       "error: --cluster-bucket 'a.b': expected letters, digits, '-' and '_'"},
      {{"--cluster", "nats://a:1", "--cluster-replicas", "6"},
       "error: --cluster-replicas '6': expected a number from 1 to 5"},
      {{"--cluster", "nats://a:1", "--node-name", "a b"},
       "error: --node-name 'a b': expected at most 255 printable characters without blanks"},
      {{"--cluster", "nats://a:1", "--cluster-creds", "u.creds", "--cluster-tls-ca=ca.pem"},
       "no trace, nats nats://a:1, bucket dirserver x3, creds u.creds, tls ca.pem"},
      {{"--cluster", "nats://a:1", "--cluster-tls-ca="}, "error: --cluster-tls-ca needs a file"},
      {{"--cluster", "nats://a:1", "--cluster-creds"},
       "error: --cluster-creds needs a value: FILE"},
      {{"--node-name", "a"},
       "error: --cluster-bucket, --cluster-replicas, --cluster-creds, --cluster-tls-ca and "
       "--node-name need --cluster"},
      {{"--cluster-creds", "u.creds"},
       "error: --cluster-bucket, --cluster-replicas, --cluster-creds, --cluster-tls-ca and "
       "--node-name need --cluster"},
      {{"--cluster"}, "error: --cluster needs a value: nats://HOST:PORT[,...]"}};
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(outcome(args), expected) << ::testing::PrintToString(args);
  }
  for (const std::string bytes : {"", "0", "M", "-1", "1.5M", "64m", "64MB", "9999999999G"}) {
    EXPECT_EQ(outcome({"--max-host-bytes=" + bytes}),
              "error: --max-host-bytes '" + bytes +
                  "': expected a number of bytes from 1 up, such as 65536 or 64M");
  }
  for (const std::string port : {"", "0", "65536", "+80", "80x", "-1", " 80", "99999999999"}) {
    EXPECT_EQ(outcome({"--http=1.2.3.4:" + port}),
              "error: --http '1.2.3.4:" + port + "': the port must be a number from 1 to 65535");
  }
}

}  // namespace
}  // namespace dirserver

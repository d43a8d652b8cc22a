#include "hostile.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "hosts.h"
#include "net/socket_io.h"
#include "protocol/message.h"

namespace dirserver::bench {

namespace {

constexpr std::chrono::milliseconds kTrickleInterval{100};
constexpr std::uint32_t kTrickleBody = 4096;
// A small receive buffer, so that the listing backs up into the server sooner.
constexpr int kNotReadingBuffer = 4096;
constexpr unsigned kEstablished = 1;  // TCP_ESTABLISHED

// The state of the server's side of every TCP connection to local port `port`, by the peer's
// address and port, in the forms /proc/net/tcp prints them: the address as the number whose bytes
// are the address in network order, the port and the state in host order.
std::map<std::pair<std::uint32_t, std::uint16_t>, unsigned> serverSideStates(std::uint16_t port) {
  std::map<std::pair<std::uint32_t, std::uint16_t>, unsigned> states;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    unsigned slot = 0, localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0,
             state = 0;
    if (std::sscanf(line.c_str(), " %u: %x:%x %x:%x %x", &slot, &localAddress, &localPort,
                    &remoteAddress, &remotePort, &state) == 6 &&
        localPort == port) {
      states[{remoteAddress, static_cast<std::uint16_t>(remotePort)}] = state;
    }
  }
  return states;
}

}  // namespace

HostilePeers::HostilePeers(unsigned count, std::uint16_t port) : serverPort_(port) {
  peers_.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    Peer peer;
    peer.kind = static_cast<Kind>(i % kKinds);
    const std::uint32_t source = loopbackAddress(1 + i / kPeersPerSource);
    std::string error;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    peer.socket = connectLoopback(port, deadline, error, source,
                                  peer.kind == Kind::NotReading ? kNotReadingBuffer : 0);
    if (!peer.socket.valid()) {
      throw std::runtime_error("hostile peer " + std::to_string(i) + ": " + error);
    }
    const auto [address, port] = localEndpoint(peer.socket.fd());
    // As /proc/net/tcp shows it: the address in network byte order.
    peer.address = htonl(address);
    peer.port = port;
    Bytes first;
    switch (peer.kind) {
      case Kind::Silent:
        break;
      case Kind::Trickling:
        peer.trickle = buildRequest(MessageType::ListRequest, Bytes(kTrickleBody, 0));
        break;
      case Kind::BigBody:
        putHeader(first, {kMaxMessageSize, kMessageId,
                          static_cast<std::uint32_t>(MessageType::Registration)});
        break;
      case Kind::NotReading:
        first = buildRequest(MessageType::ListRequest);
        break;
    }
    if (!first.empty() && !sendAll(peer.socket.fd(), first, deadline, error)) {
      throw std::runtime_error("hostile peer " + std::to_string(i) + ": " + error);
    }
    peers_.push_back(std::move(peer));
  }
  trickler_ = std::thread([this] { trickle(); });
}

HostilePeers::~HostilePeers() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  trickler_.join();
}

void HostilePeers::trickle() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kTrickleInterval, [this] { return stopping_; })) {
    for (Peer& peer : peers_) {
      if (peer.sent >= peer.trickle.size()) continue;
      if (sendSome(peer.socket.fd(), ByteView(peer.trickle).subspan(peer.sent, 1)).status ==
          IoStatus::Progress) {
        ++peer.sent;
      }
    }
  }
}

unsigned HostilePeers::sourceCount() const {
  return static_cast<unsigned>((peers_.size() + kPeersPerSource - 1) / kPeersPerSource);
}

HostilePeers::Census HostilePeers::census() const {
  Census census;
  const auto states = serverSideStates(serverPort_);
  for (const Peer& peer : peers_) {
    const auto kind = static_cast<std::size_t>(peer.kind);
    ++census.peers[kind];
    const auto state = states.find({peer.address, peer.port});
    if (state != states.end() && state->second == kEstablished) ++census.heldByServer[kind];
    if (!seesClosed(peer.socket.fd())) ++census.open[kind];
  }
  return census;
}

std::pair<std::uint64_t, std::uint64_t> HostilePeers::listingBytesReceived() const {
  std::pair<std::uint64_t, std::uint64_t> range{0, 0};
  bool first = true;
  for (const Peer& peer : peers_) {
    if (peer.kind != Kind::NotReading) continue;
    int waiting = 0;
    if (::ioctl(peer.socket.fd(), FIONREAD, &waiting) != 0) continue;
    const auto bytes = static_cast<std::uint64_t>(waiting);
    range = first ? std::pair{bytes, bytes}
                  : std::pair{std::min(range.first, bytes), std::max(range.second, bytes)};
    first = false;
  }
  return range;
}

}  // namespace dirserver::bench

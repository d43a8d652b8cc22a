// Connections from trusted load balancers: each begins with a PROXY header, and the checks an
// accept makes of any other connection are made of the address the header gives, once it is read.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>

#include "server/game_connection.h"
#include "server/server_core.h"

namespace dirserver {

namespace {

// A balancer's connection has no address to shed for until its header is read, so while every
// slot is taken up to this many more are taken in to be read; a header then takes a slot as any
// newcomer would, or its connection is closed.
constexpr std::size_t kSparePerBalancerHeaders = 16;

}  // namespace

bool ServerCore::trustsProxy(std::uint32_t address) const {
  const std::uint32_t hostOrder = ntohl(address);
  return std::any_of(settings_.proxyFrom.begin(), settings_.proxyFrom.end(),
                     [hostOrder](const Ipv4Range& range) { return range.contains(hostOrder); });
}

// Taken in without the checks of its address, which is the balancer's: they are made when its
// header says whose connection it is (admitProxied).
void ServerCore::adoptFromBalancer(int fd, std::uint32_t address) {
  if (connectionCount() >= settings_.maxConnections + kSparePerBalancerHeaders) {
    ::close(fd);
    refusals_.refusedWhileFull();
    ++status_.stats.connectionsRefused;
    return;
  }
  auto owned = std::make_unique<Connection>(*this, fd, address);
  Connection& connection = *owned;
  connection.proxy = std::make_unique<ProxyHeaderReader>();
  ++awaitingHeader_;
  connections_.push_back(std::move(owned));
  ++status_.stats.connectionsAccepted;
  status_.stats.connectionsOpen = connectionCount();
  connection.stream.setDeadlineIn(settings_.recvTimeout);
  connection.stream.receive();
}

// The balancer's header as far as it has come; once it is whole and its connection admitted, the
// request's bytes follow it on the same stream.
void ServerCore::proxyHeaderReceived(Connection& connection, std::size_t count) {
  ProxyHeaderReader& header = *connection.proxy;
  header.received(count);
  if (header.step() == ProxyHeaderReader::Step::Reading) return;
  if (header.step() == ProxyHeaderReader::Step::Rejected) {
    reportError(ConsoleError::ProxyHeader);
    close(connection);
    return;
  }
  if (admitProxied(connection)) connection.stream.setDeadlineIn(settings_.recvTimeout);
}

// The checks an accept makes of any other connection, made of the address the header gives (the
// balancer's own for a LOCAL one): the ban, a slot of its own when all are taken, the
// per-address bound. Returns whether the connection is admitted; if not, it is closed.
bool ServerCore::admitProxied(Connection& connection) {
  const ProxyHeaderReader& header = *connection.proxy;
  switch (header.source()) {
    case ProxyHeaderReader::Source::Ipv4:
      connection.address = header.address();
      break;
    case ProxyHeaderReader::Source::Local:
      connection.local = true;
      break;
    case ProxyHeaderReader::Source::OtherFamily:
      reportError(ConsoleError::ProxyFamily);
      close(connection);
      return false;
  }
  const std::uint32_t address = connection.address;
  if (refused_ && refused_(address)) {
    ++status_.stats.connectionsBanned;
    close(connection);
    return false;
  }
  if (slotsTaken() >= settings_.maxConnections && !makeRoomFor(address)) {
    refusals_.refusedWhileFull();
    ++status_.stats.connectionsRefused;
    close(connection);
    return false;
  }
  std::size_t& fromAddress = perAddress_[address];
  if (fromAddress >= settings_.maxConnectionsPerAddress) {
    refusals_.refusedOverAddressLimit();
    ++status_.stats.connectionsRefused;
    close(connection);
    return false;
  }
  ++fromAddress;
  connection.proxy.reset();
  --awaitingHeader_;
  return true;
}

}  // namespace dirserver

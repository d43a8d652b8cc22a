#include "registry/server_registry.h"

#include <arpa/inet.h>

namespace dirserver {

std::uint64_t storedBytes(const ServerFields& fields) {
  std::uint64_t bytes = 0;
  for (const ServerField& field : fields) bytes += field.data.size();
  return bytes;
}

std::pair<ServerRegistry::Position, bool> ServerRegistry::insert(ServerType type, ServerKey key,
                                                                 ServerRecord record,
                                                                 PeerAddress from,
                                                                 std::int64_t ownerSeenAt) {
  Hosts& set = hosts(type);
  const auto at = set.lower_bound(HostProbe{key, &record.fields});
  if (at != set.end() && at->key == key && at->record->fields == record.fields) return {at, false};
  ++version_;
  fieldBytes_ += storedBytes(record.fields);
  countAddress(from, +1);
  const HostId id = computeHostId(type, record.fields);
  const auto added = set.emplace_hint(
      at, HostEntry{key, std::make_shared<const ServerRecord>(std::move(record)), from,
                    ownerSeenAt, HostEntry::kNotAnchored, id});
  changeLog_.push_back({HostChange::Kind::Added, type, *added});
  return {added, true};
}

ServerRegistry::Position ServerRegistry::replace(ServerType type, Position position,
                                                 ServerRecord record, PeerAddress from,
                                                 std::int64_t ownerSeenAt) {
  Hosts& set = hosts(type);
  const auto next = std::next(position);
  // A set's elements are const; its node handles are not. The host keeps its place, since its key
  // and fields are unchanged.
  // A refresh within the second of the stored time by the owner it has changes nothing anyone
  // keeps or shows: no change to log, no new version. Only when the owner was last seen moves.
  const bool changes = record.registrationTime != position->record->registrationTime ||
                       (from != kUnknownAddress && from != position->from);
  auto node = set.extract(position);
  if (changes) node.value().record = std::make_shared<const ServerRecord>(std::move(record));
  if (from != kUnknownAddress && from != node.value().from) {
    countAddress(node.value().from, -1);
    countAddress(from, +1);
    node.value().from = from;
  }
  node.value().ownerSeenAt = ownerSeenAt;
  const auto replaced = set.insert(next, std::move(node));
  if (changes) {
    ++version_;
    changeLog_.push_back({HostChange::Kind::Refreshed, type, *replaced});
  }
  return replaced;
}

ServerRegistry::Position ServerRegistry::findById(ServerType type, ServerKey key,
                                                  const HostId& id) const {
  // The empty fields come before any others: the first host of this key, if any.
  static const ServerFields kNoFields;
  for (auto at = hosts(type).lower_bound(HostProbe{key, &kNoFields});
       at != hosts(type).end() && at->key == key; ++at) {
    if (at->id == id) return at;
  }
  return hosts(type).end();
}

std::uint32_t ServerRegistry::countFrom(PeerAddress from) const {
  const auto count = perAddress_.find(from);
  return count == perAddress_.end() ? 0 : count->second;
}

void ServerRegistry::countAddress(PeerAddress from, int change) {
  if (from == kUnknownAddress) return;
  const auto count = perAddress_.try_emplace(from).first;
  count->second += change;
  if (count->second == 0) perAddress_.erase(count);
  const auto inNetwork = perNetwork_.try_emplace(networkOf(from)).first;
  inNetwork->second += change;
  if (inNetwork->second == 0) perNetwork_.erase(inNetwork);
}

std::uint32_t ServerRegistry::networkOf(PeerAddress from) const {
  // A shift by 32 is undefined: the empty prefix is spelled out.
  const std::uint32_t mask = networkPrefix_ == 0 ? 0 : ~std::uint32_t{0} << (32 - networkPrefix_);
  return ntohl(from) & mask;
}

void ServerRegistry::setNetworkPrefix(int bits) {
  networkPrefix_ = std::clamp(bits, 0, 32);
  perNetwork_.clear();
  for (const auto& [address, count] : perAddress_) perNetwork_[networkOf(address)] += count;
}

std::uint32_t ServerRegistry::countInNetwork(PeerAddress from) const {
  if (from == kUnknownAddress) return 0;
  const auto count = perNetwork_.find(networkOf(from));
  return count == perNetwork_.end() ? 0 : count->second;
}

bool ServerRegistry::sameNetwork(PeerAddress a, PeerAddress b) const {
  if (a == kUnknownAddress || b == kUnknownAddress) return a == b;
  return networkOf(a) == networkOf(b);
}

std::uint32_t ServerRegistry::erase(ServerType type, ServerKey key, const ServerFields& fields) {
  Hosts& set = hosts(type);
  const auto at = set.find(HostProbe{key, &fields});
  if (at == set.end()) return 0;
  erase(type, at);
  return 1;
}

ServerRegistry::Position ServerRegistry::erase(ServerType type, Position position) {
  ++version_;
  fieldBytes_ -= storedBytes(position->record->fields);
  countAddress(position->from, -1);
  changeLog_.push_back({HostChange::Kind::Removed, type, *position});
  return hosts(type).erase(position);
}

std::uint32_t ServerRegistry::totalCount() const {
  std::uint32_t total = 0;
  for (const Hosts& set : hosts_) total += static_cast<std::uint32_t>(set.size());
  return total;
}

RegistrySnapshot ServerRegistry::snapshot() const {
  RegistrySnapshot snapshot;
  snapshot.version = version_;
  for (ServerType type : kServerTypes) {
    auto block = std::make_shared<HostBlock>(hosts(type).begin(), hosts(type).end());
    snapshot.hosts[index(type)] = HostRange({std::move(block)});
  }
  return snapshot;
}

}  // namespace dirserver

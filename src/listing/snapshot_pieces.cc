#include "listing/snapshot_pieces.h"

#include <algorithm>
#include <iterator>

namespace dirserver {
namespace {

// Filling pieces from scratch stops short of the bounds, so that the next hosts added do not split
// them at once.
constexpr std::size_t kFillHosts = kPieceMostHosts * 3 / 4;
constexpr std::size_t kFillBytes = kPieceMostBytes * 3 / 4;

ListingPiece encode(const HostBlock& hosts) {
  std::size_t size = 0;
  for (const HostEntry& host : hosts) size += serverEntrySize(*host.record);
  auto bytes = std::make_shared<Bytes>();
  bytes->reserve(size);
  for (const HostEntry& host : hosts) appendServerEntry(*bytes, *host.record);
  return bytes;
}

}  // namespace

SnapshotPieces::SnapshotPieces(const ServerRegistry& registry) {
  for (ServerType type : kServerTypes) {
    Pieces& pieces = pieces_[index(type)];
    HostBlock block;
    std::size_t bytes = 0;
    const auto close = [&] {
      if (block.empty()) return;
      auto hosts = std::make_shared<const HostBlock>(std::move(block));
      pieces.push_back({hosts, encode(*hosts)});
      block.clear();
      bytes = 0;
    };
    for (auto host = registry.begin(type); host != registry.end(type); ++host) {
      const std::size_t size = serverEntrySize(*host->record);
      if (block.size() == kFillHosts || (!block.empty() && bytes + size > kFillBytes)) close();
      block.push_back(*host);
      bytes += size;
    }
    close();
  }
}

std::size_t SnapshotPieces::pieceCount() const {
  std::size_t count = 0;
  for (const Pieces& pieces : pieces_) count += pieces.size();
  return count;
}

void SnapshotPieces::apply(std::span<const HostChange> changes) {
  for (const HostChange& change : changes) apply(change);
}

void SnapshotPieces::apply(const HostChange& change) {
  Pieces& pieces = pieces_[index(change.type)];
  const HostEntry& entry = change.entry;
  const HostOrder order;
  if (pieces.empty()) {
    if (change.kind == HostChange::Kind::Removed) return;
    auto hosts = std::make_shared<const HostBlock>(HostBlock{entry});
    pieces.push_back({hosts, encode(*hosts)});
    return;
  }
  // The piece whose hosts reach the entry's place; past the last host, the last piece.
  const auto holder = std::lower_bound(pieces.begin(), pieces.end(), entry,
                                       [&order](const Piece& piece, const HostEntry& host) {
                                         return order(piece.hosts->back(), host);
                                       });
  const std::size_t at = holder == pieces.end() ? pieces.size() - 1
                                                : static_cast<std::size_t>(holder - pieces.begin());
  HostBlock hosts = *pieces[at].hosts;
  const auto place = std::lower_bound(hosts.begin(), hosts.end(), entry, order);
  const bool present = place != hosts.end() && !order(entry, *place);
  if (change.kind == HostChange::Kind::Removed && !present) return;
  if (present && change.kind != HostChange::Kind::Removed) {
    // A refresh: the listing does not show the registration time, so the entries stay.
    *place = entry;
    pieces[at].hosts = std::make_shared<const HostBlock>(std::move(hosts));
    return;
  }
  // The piece's entries are its hosts' entries back to back: the new ones are the old ones with
  // one entry taken out or put in at the host's place, copied in two runs rather than each host
  // encoded again.
  std::size_t offset = 0;
  for (auto host = hosts.begin(); host != place; ++host) offset += serverEntrySize(*host->record);
  const Bytes& old = *pieces[at].entries;
  const auto cut = old.begin() + static_cast<std::ptrdiff_t>(offset);
  auto entries = std::make_shared<Bytes>();
  if (present) {
    const auto after = cut + static_cast<std::ptrdiff_t>(serverEntrySize(*place->record));
    entries->reserve(old.size() - static_cast<std::size_t>(after - cut));
    entries->insert(entries->end(), old.begin(), cut);
    entries->insert(entries->end(), after, old.end());
    hosts.erase(place);
  } else {
    entries->reserve(old.size() + serverEntrySize(*entry.record));
    entries->insert(entries->end(), old.begin(), cut);
    appendServerEntry(*entries, *entry.record);
    entries->insert(entries->end(), cut, old.end());
    hosts.insert(place, entry);
  }
  pieces[at] = {std::make_shared<const HostBlock>(std::move(hosts)), std::move(entries)};
  rebalance(pieces, at);
}

namespace {

bool overBounds(const HostBlock& hosts, const Bytes& entries) {
  return hosts.size() > kPieceMostHosts || (hosts.size() > 1 && entries.size() > kPieceMostBytes);
}

bool farUnderBounds(const HostBlock& hosts, const Bytes& entries) {
  return hosts.size() < kPieceMostHosts / 4 && entries.size() < kPieceMostBytes / 4;
}

}  // namespace

void SnapshotPieces::rebalance(Pieces& pieces, std::size_t at) {
  const Piece& piece = pieces[at];
  if (piece.hosts->empty()) {
    pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(at));
    return;
  }
  if (overBounds(*piece.hosts, *piece.entries)) {
    splitWhileOver(pieces, at);
    return;
  }
  if (!farUnderBounds(*piece.hosts, *piece.entries) || pieces.size() == 1) return;
  // Merged with the smaller neighbour; a merge that passes the bounds is split again.
  const bool withPrevious =
      at > 0 &&
      (at + 1 == pieces.size() || pieces[at - 1].entries->size() <= pieces[at + 1].entries->size());
  const std::size_t left = withPrevious ? at - 1 : at;
  HostBlock hosts = *pieces[left].hosts;
  hosts.insert(hosts.end(), pieces[left + 1].hosts->begin(), pieces[left + 1].hosts->end());
  auto entries = std::make_shared<Bytes>(*pieces[left].entries);
  entries->insert(entries->end(), pieces[left + 1].entries->begin(),
                  pieces[left + 1].entries->end());
  pieces[left] = {std::make_shared<const HostBlock>(std::move(hosts)), std::move(entries)};
  pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(left) + 1);
  splitWhileOver(pieces, left);
}

void SnapshotPieces::splitWhileOver(Pieces& pieces, std::size_t at) {
  const Piece piece = pieces[at];
  if (!overBounds(*piece.hosts, *piece.entries)) return;
  // Halves by count when there are too many hosts, else by bytes; each half keeps its hosts'
  // entries as they were encoded.
  const HostBlock& hosts = *piece.hosts;
  std::vector<std::size_t> sizes;
  sizes.reserve(hosts.size());
  for (const HostEntry& host : hosts) sizes.push_back(serverEntrySize(*host.record));
  std::size_t cut = hosts.size() / 2;
  if (hosts.size() <= kPieceMostHosts) {
    std::size_t prefix = sizes[0];
    for (cut = 1; cut + 1 < hosts.size() && 2 * prefix < piece.entries->size(); ++cut) {
      prefix += sizes[cut];
    }
  }
  std::size_t cutBytes = 0;
  for (std::size_t i = 0; i < cut; ++i) cutBytes += sizes[i];
  const auto hostCut = hosts.begin() + static_cast<std::ptrdiff_t>(cut);
  const auto byteCut = piece.entries->begin() + static_cast<std::ptrdiff_t>(cutBytes);
  pieces[at] = {std::make_shared<const HostBlock>(hosts.begin(), hostCut),
                std::make_shared<const Bytes>(piece.entries->begin(), byteCut)};
  pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                Piece{std::make_shared<const HostBlock>(hostCut, hosts.end()),
                      std::make_shared<const Bytes>(byteCut, piece.entries->end())});
  splitWhileOver(pieces, at + 1);
  splitWhileOver(pieces, at);
}

PublishedPtr SnapshotPieces::publish(std::uint64_t version, std::int64_t takenAt) const {
  auto published = std::make_shared<PublishedSnapshot>();
  auto registry = std::make_shared<RegistrySnapshot>();
  registry->version = version;
  registry->takenAt = takenAt;
  std::size_t size = kEmptyListReplySize;
  for (ServerType type : kServerTypes) {
    const Pieces& pieces = pieces_[index(type)];
    std::vector<HostBlockPtr> blocks;
    std::vector<ListingPiece>& listing = published->listing[index(type)];
    blocks.reserve(pieces.size());
    listing.reserve(pieces.size());
    for (const Piece& piece : pieces) {
      blocks.push_back(piece.hosts);
      listing.push_back(piece.entries);
      size += piece.entries->size();
    }
    registry->hosts[index(type)] = HostRange(std::move(blocks));
  }
  published->replySize = size;
  published->header =
      listReplyHeader(static_cast<std::uint32_t>(size), registry->totalCount());
  published->registry = std::move(registry);
  std::vector<ByteView>& parts = published->replyParts;
  parts.reserve(2 + kServerTypeCount + pieceCount());
  parts.push_back(published->header);
  parts.push_back(rootDirectoryEntry());
  for (ServerType type : kServerTypes) {
    parts.push_back(typeDirectoryEntry(type));
    for (const ListingPiece& piece : published->listing[index(type)]) parts.push_back(*piece);
  }
  return published;
}

}  // namespace dirserver

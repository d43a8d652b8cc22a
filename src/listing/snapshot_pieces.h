// The registry as the loop publishes it to every reader, kept in pieces: each piece is a block of
// consecutive hosts of one type together with their entries in the listing reply. A change of one
// host rebuilds the one piece that holds it; a published version costs a pointer per piece, and
// versions share every piece that did not change between them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/byte_order.h"
#include "listing/list_reply.h"
#include "registry/registry_snapshot.h"
#include "registry/server_registry.h"

namespace dirserver {

// Bounds on one piece. A piece over either is split; one under a quarter of both is merged with
// a neighbour. The largest host (28697 bytes in the listing) fits a piece of its own.
inline constexpr std::size_t kPieceMostHosts = 128;
inline constexpr std::size_t kPieceMostBytes = 32 * 1024;

// The listing entries of one block of hosts, back to back; shared by every version that holds it.
using ListingPiece = std::shared_ptr<const Bytes>;

// The registry at one version, for every reader: its hosts for the server list file and the JSON
// (`registry`, blocks of hosts, which those readers hold on their own, without the listing), and
// the listing reply made of the same blocks' entries. Immutable; shared by whoever reads it, on
// any thread.
struct PublishedSnapshot {
  SnapshotPtr registry;
  // Per type, the listing entries of each of registry->hosts[type]'s blocks, in the same order.
  std::array<std::vector<ListingPiece>, kServerTypeCount> listing;
  ListReplyHeader header{};
  // The whole reply in the order it is sent: the header, the root's directory entry, then for
  // each type its directory entry and its pieces. Views into the header, the constant directory
  // entries and the pieces above.
  std::vector<ByteView> replyParts;
  std::size_t replySize = 0;
};
using PublishedPtr = std::shared_ptr<const PublishedSnapshot>;

// What a version holds beyond its pieces (its header and its lists of blocks, pieces and parts), as
// memory budgets count it.
inline std::size_t bookkeepingBytes(const PublishedSnapshot& published) {
  return sizeof published + published.replyParts.capacity() * sizeof(ByteView) +
         published.replyParts.size() * (sizeof(ListingPiece) + sizeof(HostBlockPtr));
}

// The registry's snapshot of `published`: what the saver and the HTTP window read.
inline SnapshotPtr registryOf(const PublishedPtr& published) {
  return published ? published->registry : nullptr;
}

// Keeps a registry in pieces as it changes. Not thread-safe: the loop thread applies the changes
// and publishes; what it publishes is immutable and may go to any thread.
class SnapshotPieces {
 public:
  // The pieces of `registry` as it stands, each filled to three quarters of the bounds.
  explicit SnapshotPieces(const ServerRegistry& registry);

  // Applies the registry's changes in the order they happened (ServerRegistry::takeChanges), each
  // to the piece that holds its host: an added or removed host rebuilds its piece's entries (and
  // splits or merges it at the bounds); a refresh makes a new block of hosts and keeps the entries.
  // The changes must be exactly the registry's since the pieces were made or last applied.
  void apply(std::span<const HostChange> changes);

  // The registry as the pieces hold it, as version `version` taken at `takenAt` (wall clock).
  PublishedPtr publish(std::uint64_t version, std::int64_t takenAt) const;

 private:
  struct Piece {
    HostBlockPtr hosts;
    ListingPiece entries;
  };
  using Pieces = std::vector<Piece>;

  void apply(const HostChange& change);
  // Makes piece `at` (whose hosts changed) keep the bounds: drops it when empty, splits it when
  // over, merges it with a neighbour when far under.
  void rebalance(Pieces& pieces, std::size_t at);
  void splitWhileOver(Pieces& pieces, std::size_t at);
  std::size_t pieceCount() const;

  std::array<Pieces, kServerTypeCount> pieces_;
};

}  // namespace dirserver

#include "support/pieces_script.h"

#include <algorithm>
#include <set>

#include "listing/list_reply.h"
#include "listing/snapshot_pieces.h"
#include "registry/server_key.h"
#include "registry/server_registry.h"

namespace dirserver::testing {
namespace {

constexpr std::uint32_t kStartSizes[] = {0, 1, 2, 40, 130, 700, 1500, 2500};

// The hosts' bytes, from the script's seed on.
class Bytemaker {
 public:
  explicit Bytemaker(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

 private:
  std::uint32_t state_;
};

std::size_t fieldLength(unsigned style, Bytemaker& random) {
  switch (style == 3 ? random.next() % 3 : style) {
    case 0:
      return 2 + 2 * (random.next() % 4);
    case 1:
      return 2 * (4 + random.next() % 30);
    default: {
      const std::size_t length =
          (random.next() % 2) ? kFieldCapacity : random.next() % kFieldCapacity;
      // Odd lengths only a file can hold; the listing drops their last byte.
      return style == 3 ? length : length & ~std::size_t{1};
    }
  }
}

ServerRecord makeHost(unsigned style, Bytemaker& random) {
  ServerRecord record;
  for (ServerField& field : record.fields) {
    field.data.resize(fieldLength(style, random));
    for (std::uint8_t& byte : field.data) byte = static_cast<std::uint8_t>(random.next());
  }
  record.registrationTime = static_cast<std::int32_t>(random.next());
  return record;
}

ServerType typeOf(std::uint32_t value) { return kServerTypes[value % kServerTypeCount]; }

// The host at `position` (scaled into the type's hosts), if the type has any.
ServerRegistry::Position pick(const ServerRegistry& registry, ServerType type, std::uint32_t at) {
  const std::uint32_t size = registry.size(type);
  if (size == 0) return registry.end(type);
  return std::next(registry.begin(type), at * size / 64);
}

std::set<const void*> piecesOf(const PublishedSnapshot& published, bool listing) {
  std::set<const void*> pieces;
  for (ServerType type : kServerTypes) {
    if (listing) {
      for (const ListingPiece& piece : published.listing[index(type)]) pieces.insert(piece.get());
    } else {
      for (const HostBlockPtr& block : published.registry->hosts[index(type)].blocks()) {
        pieces.insert(block.get());
      }
    }
  }
  return pieces;
}

std::size_t newIn(const std::set<const void*>& now, const std::set<const void*>& before) {
  return static_cast<std::size_t>(std::count_if(
      now.begin(), now.end(), [&before](const void* piece) { return !before.contains(piece); }));
}

std::string check(const ServerRegistry& registry, const PublishedSnapshot& published) {
  Bytes joined;
  for (ByteView part : published.replyParts) joined.insert(joined.end(), part.begin(), part.end());
  if (joined != buildListReply(registry)) return "the pieces are not the listing built whole";
  if (published.replySize != joined.size()) return "the reply's size is not its parts'";
  for (ServerType type : kServerTypes) {
    const HostRange& hosts = published.registry->hosts[index(type)];
    if (hosts.size() != registry.size(type) ||
        !std::equal(hosts.begin(), hosts.end(), registry.begin(type), registry.end(type),
                    [](const HostEntry& a, const HostEntry& b) {
                      return a.key == b.key && a.record == b.record;
                    })) {
      return "the snapshot's hosts are not the registry's";
    }
    for (std::size_t i = 0; i < hosts.blocks().size(); ++i) {
      const HostBlock& block = *hosts.blocks()[i];
      const Bytes& entries = *published.listing[index(type)][i];
      if (block.empty() || block.size() > kPieceMostHosts ||
          (block.size() > 1 && entries.size() > kPieceMostBytes)) {
        return "a piece is empty or past its bounds";
      }
    }
  }
  return {};
}

}  // namespace

std::string runPiecesScript(ByteView script) {
  if (script.size() < 2) return {};
  const unsigned style = (script[0] >> 3) & 3;
  Bytemaker random(script[1]);
  ServerRegistry registry;
  // Hosts of large fields start fewer, so that a check (a listing built whole) stays quick.
  const std::uint32_t start = std::min(kStartSizes[script[0] & 7], style >= 2 ? 130u : 2500u);
  for (std::uint32_t i = 0; i < start; ++i) {
    ServerRecord host = makeHost(style, random);
    const ServerKey key = computeServerKey(host.fields);
    registry.insert(typeOf(random.next()), key, std::move(host));
  }
  registry.takeChanges();
  SnapshotPieces pieces(registry);
  PublishedPtr before = pieces.publish(registry.version(), 0);
  if (std::string broken = check(registry, *before); !broken.empty()) return "at start: " + broken;
  for (std::size_t step = 2; step < script.size(); ++step) {
    const std::uint8_t op = script[step] & 3;
    const std::uint32_t at = script[step] >> 2;
    const ServerType type = typeOf(at);
    // A host's piece, the pieces it splits into (three when a large host lands between two), or
    // the piece it merges into with a neighbour, and that split again.
    std::size_t mostNew = 2;
    if (op == 0) {
      mostNew = 3;
      ServerRecord host = makeHost(style, random);
      const ServerKey key = computeServerKey(host.fields);
      registry.insert(type, key, std::move(host));
    } else if (const auto position = pick(registry, type, at); position == registry.end(type)) {
      continue;
    } else if (op == 1) {
      ServerRecord refreshed = *position->record;
      ++refreshed.registrationTime;
      registry.replace(type, position, std::move(refreshed));
      mostNew = 0;
    } else if (op == 2) {
      registry.erase(type, position);
    } else {
      // A run of hosts at once, as the expiry sweep takes them.
      auto next = position;
      for (mostNew = 0; mostNew < 2 * 40 && next != registry.end(type); mostNew += 2) {
        next = registry.erase(type, next);
      }
    }
    pieces.apply(registry.takeChanges());
    PublishedPtr after = pieces.publish(registry.version(), 0);
    const std::string where = "step " + std::to_string(step) + ": ";
    if (std::string broken = check(registry, *after); !broken.empty()) return where + broken;
    if (newIn(piecesOf(*after, true), piecesOf(*before, true)) > mostNew) {
      return where + "more listing pieces were made anew than the change touched";
    }
    if (newIn(piecesOf(*after, false), piecesOf(*before, false)) >
        std::max<std::size_t>(mostNew, 1)) {
      return where + "more blocks of hosts were made anew than the change touched";
    }
    before = std::move(after);
  }
  return {};
}

}  // namespace dirserver::testing

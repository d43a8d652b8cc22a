// The rules by which a node that starts (or finds its bucket again) makes its registry and the
// cluster's bucket agree. Pure: the loop's side (server/startup_reconcile.h) applies them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace dirserver {

// The revision a change of a key is made on when this node does not know the key's revision yet:
// the change was made before the node first had the bucket's current values (NATS out of reach at
// start, say). Whatever the bucket holds of the key then is what the change replaces, so such a
// change stays over every entry until the first catch-up moves it onto the revision then seen
// (Outbox::caughtUp).
inline constexpr std::uint64_t kUnseenRevision = UINT64_MAX;

// The revision a change is made on, once caught up, when this node keeps no revision of its key:
// the bucket never held the key, or it saw the key's tombstone and forgot the key (what it keeps
// must not grow with the bucket's history). Such a change is published without an expected
// revision, so the last writer wins, and the bucket's entries apply over it meanwhile as over any
// change they are later than.
inline constexpr std::uint64_t kUnknownRevision = UINT64_MAX - 1;

// Whether an entry of the bucket at `bucketRevision` leaves this node's state of its host as it
// is: the node has a change of that key waiting (`waitingOn`, the revision the change was made
// on), and the entry is no later than that revision, so it is what the change replaces; a change
// made on kUnseenRevision stays over any entry, one made on kUnknownRevision over none. An entry
// past it is someone else's later change: it applies, and the waiting change will be refused by
// the bucket. An earlier value this node wrote (`writtenHere`: written by this node and not the
// waiting value itself) never applies over a change still waiting, whatever revision the watcher
// gave it before the bucket's confirmation moved the change on.
bool keepsLocalChange(std::optional<std::uint64_t> waitingOn, std::uint64_t bucketRevision,
                      bool writtenHere);

// What a node makes of the bucket it found, by its id.
enum class BucketVerdict : std::uint8_t {
  Follow,  // the bucket it followed before: its values become the registry
  Adopt,   // another bucket that holds hosts: its values become the registry
  Seed,    // another bucket, empty (made anew): the node's registry goes into it
};

// `remembered`: the id of the bucket this node followed last (empty: none); `found`: the id of
// the bucket it has now; `hostKeys`: the host keys that bucket held, tombstones included.
BucketVerdict judgeBucket(std::string_view remembered, std::string_view found,
                          std::size_t hostKeys);

}  // namespace dirserver

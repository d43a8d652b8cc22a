#include "cluster/reconcile.h"

namespace dirserver {

bool keepsLocalChange(std::optional<std::uint64_t> waitingOn, std::uint64_t bucketRevision,
                      bool writtenHere) {
  if (!waitingOn) return false;
  return writtenHere || (*waitingOn != kUnknownRevision && bucketRevision <= *waitingOn);
}

BucketVerdict judgeBucket(std::string_view remembered, std::string_view found,
                          std::size_t hostKeys) {
  if (found == remembered) return BucketVerdict::Follow;
  return hostKeys == 0 ? BucketVerdict::Seed : BucketVerdict::Adopt;
}

}  // namespace dirserver

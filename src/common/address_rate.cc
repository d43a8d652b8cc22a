#include "common/address_rate.h"

#include <algorithm>

namespace dirserver {

AddressRate::AddressRate(std::uint32_t perMinute, std::uint32_t burst, std::size_t capacity)
    : perMinute_(perMinute), burst_(std::max<std::uint32_t>(burst, 1)),
      capacity_(std::max<std::size_t>(capacity, 1)) {}

std::int64_t AddressRate::creditAt(const Bucket& bucket, std::int64_t nowMs) const {
  const std::int64_t full = std::int64_t{burst_} * kUnit;
  // A clock read out of order brings nothing back; a long absence at most a full bucket (the
  // difference is capped first so that the product cannot overflow).
  const std::int64_t elapsed = std::clamp<std::int64_t>(nowMs - bucket.updated, 0, full);
  return std::min(full, bucket.credit + elapsed * perMinute_);
}

bool AddressRate::take(std::uint32_t address, SteadyClock::time_point now) {
  if (!enabled()) return true;
  const std::int64_t nowMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::int64_t full = std::int64_t{burst_} * kUnit;
  const auto found = buckets_.find(address);
  if (found != buckets_.end()) {
    Bucket& bucket = *found->second;
    bucket.credit = creditAt(bucket, nowMs);
    bucket.updated = nowMs;
    order_.splice(order_.begin(), order_, found->second);
    if (bucket.credit < kUnit) return false;
    bucket.credit -= kUnit;
    return true;
  }
  if (buckets_.size() == capacity_) {
    const Bucket& oldest = order_.back();
    if (creditAt(oldest, nowMs) < full) ++lostBuckets_;
    buckets_.erase(oldest.address);
    order_.pop_back();
  }
  order_.push_front({address, full - kUnit, nowMs});
  buckets_.emplace(address, order_.begin());
  return true;
}

}  // namespace dirserver

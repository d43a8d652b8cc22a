// A rate per IPv4 address: one token bucket for each address seen lately, in a table of bounded
// size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

#include "common/clock.h"

namespace dirserver {

// How many addresses an AddressRate keeps buckets for unless told otherwise: an address's bucket
// is full again within about a minute of its last use, and a full bucket is as good as none, so
// only addresses active within that time need one. Some 100 bytes each: about 1.6 MiB in all.
inline constexpr std::size_t kDefaultRateAddresses = 16384;

// Lets each address do `perMinute` things a minute on average and `burst` at once: a bucket holds
// up to `burst` tokens, each thing takes one, and tokens come back at `perMinute` a minute,
// measured on the steady clock to the millisecond. A table of at most `capacity` buckets: an
// address not in it has a full bucket. When a new address finds the table full, the bucket used
// longest ago goes; if it had not filled up again by then, its address gets a full one the next
// time (counted in lostBuckets(): a table too small for the addresses at work). A `perMinute` of 0
// turns the rate off: take() always allows and nothing is kept. Not thread-safe.
class AddressRate {
 public:
  AddressRate(std::uint32_t perMinute, std::uint32_t burst,
              std::size_t capacity = kDefaultRateAddresses);

  // Whether `address` may do one more thing at `now`; if so, takes its token. A refusal takes
  // nothing, so an address that keeps trying is allowed again as soon as a token came back.
  bool take(std::uint32_t address, SteadyClock::time_point now);

  bool enabled() const { return perMinute_ != 0; }
  std::uint32_t perMinute() const { return perMinute_; }
  std::uint32_t burst() const { return burst_; }
  // Buckets kept now, at most the capacity.
  std::size_t size() const { return buckets_.size(); }
  // Buckets dropped from a full table before they had filled up again.
  std::uint64_t lostBuckets() const { return lostBuckets_; }

 private:
  struct Bucket {
    std::uint32_t address;
    std::int64_t credit;   // tokens times kUnit
    std::int64_t updated;  // the steady clock's milliseconds when credit was last brought forward
  };
  using Order = std::list<Bucket>;  // the bucket used last first

  // The credit of a bucket brought forward to `nowMs`, at most a full bucket.
  std::int64_t creditAt(const Bucket& bucket, std::int64_t nowMs) const;

  // A token is kUnit credit; a minute of milliseconds brings perMinute tokens, so each millisecond
  // brings perMinute credit and every sum stays exact.
  static constexpr std::int64_t kUnit = 60'000;

  std::uint32_t perMinute_;
  std::uint32_t burst_;
  std::size_t capacity_;
  Order order_;
  std::unordered_map<std::uint32_t, Order::iterator> buckets_;
  std::uint64_t lostBuckets_ = 0;
};

}  // namespace dirserver

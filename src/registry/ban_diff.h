// The difference between two ban lists: what a node of a cluster publishes when its bans change
// under it (the bans file edited by hand and read again), and what it writes into its bans file
// when the cluster's bans replace its own.
#pragma once

#include <vector>

#include "registry/ban_list.h"

namespace dirserver {

// What turns ban list `from` into ban list `to`: the bans to put (ranges new in `to`, or whose
// reason changed) and the ranges to lift (in `from`, not in `to`), each by ascending range.
struct BanDiff {
  std::vector<Ban> put;
  std::vector<Ipv4Range> lifted;

  bool empty() const { return put.empty() && lifted.empty(); }
};
BanDiff diffBans(const BanList& from, const BanList& to);

}  // namespace dirserver

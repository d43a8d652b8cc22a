#include "registry/ban_diff.h"

#include <utility>

namespace dirserver {

BanDiff diffBans(const BanList& from, const BanList& to) {
  BanDiff diff;
  for (Ban& ban : to.bans()) {
    const std::string* before = from.find(ban.range);
    if (before == nullptr || *before != ban.reason) diff.put.push_back(std::move(ban));
  }
  for (const Ban& ban : from.bans()) {
    if (to.find(ban.range) == nullptr) diff.lifted.push_back(ban.range);
  }
  return diff;
}

}  // namespace dirserver

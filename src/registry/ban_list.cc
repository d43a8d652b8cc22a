#include "registry/ban_list.h"

#include <arpa/inet.h>

#include <charconv>

namespace dirserver {
namespace {

// One decimal part of a dotted address or a prefix: digits only, no leading zero, at most `most`.
std::optional<unsigned> decimalPart(std::string_view text, unsigned most) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (problem != std::errc{} || end != text.data() + text.size() || value > most) {
    return std::nullopt;
  }
  return value;
}

std::string dottedText(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace

std::optional<Ipv4Range> parseIpv4Range(std::string_view text, std::string& error) {
  const std::string quoted =
      "'" + std::string(text.substr(0, 40)) + (text.size() > 40 ? "...'" : "'");
  const auto slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  Ipv4Range range;
  std::size_t parts = 0;
  for (std::size_t start = 0; parts < 4; ++parts) {
    const auto dot = address.find('.', start);
    const bool last = dot == std::string_view::npos;
    if (last != (parts == 3)) break;
    const auto part = decimalPart(address.substr(start, last ? address.npos : dot - start), 255);
    if (!part) break;
    range.network = range.network << 8 | *part;
    start = dot + 1;
  }
  if (parts != 4) {
    error = quoted + " is not an IPv4 address (A.B.C.D) or range (A.B.C.D/N)";
    return std::nullopt;
  }
  if (slash != std::string_view::npos) {
    const auto prefix = decimalPart(text.substr(slash + 1), 32);
    if (!prefix) {
      error = quoted + ": the prefix after '/' must be a number from 0 to 32";
      return std::nullopt;
    }
    range.prefix = static_cast<std::uint8_t>(*prefix);
  }
  if ((range.network & ~range.mask()) != 0) {
    Ipv4Range meant = range;
    meant.network &= range.mask();
    error = quoted + " has bits set past its prefix: " + rangeText(meant) + "?";
    return std::nullopt;
  }
  return range;
}

std::string rangeText(const Ipv4Range& range) {
  std::string text = dottedText(range.network);
  if (range.prefix != 32) text += "/" + std::to_string(range.prefix);
  return text;
}

std::string addressText(PeerAddress address) { return dottedText(ntohl(address)); }

bool BanList::set(Ban ban) {
  const auto [at, added] = reasons_.insert_or_assign(ban.range, std::move(ban.reason));
  if (added) ++perPrefix_[at->first.prefix];
  return added;
}

bool BanList::erase(const Ipv4Range& range) {
  if (reasons_.erase(range) == 0) return false;
  --perPrefix_[range.prefix];
  return true;
}

const std::string* BanList::find(const Ipv4Range& range) const {
  const auto at = reasons_.find(range);
  return at == reasons_.end() ? nullptr : &at->second;
}

std::optional<Ipv4Range> BanList::banning(PeerAddress address) const {
  if (address == kUnknownAddress || reasons_.empty()) return std::nullopt;
  const std::uint32_t host = ntohl(address);
  for (unsigned prefix = 0; prefix <= 32; ++prefix) {
    if (perPrefix_[prefix] == 0) continue;
    Ipv4Range range{0, static_cast<std::uint8_t>(prefix)};
    range.network = host & range.mask();
    if (reasons_.contains(range)) return range;
  }
  return std::nullopt;
}

std::vector<Ban> BanList::bans() const {
  std::vector<Ban> all;
  all.reserve(reasons_.size());
  for (const auto& [range, reason] : reasons_) all.push_back({range, reason});
  return all;
}

}  // namespace dirserver

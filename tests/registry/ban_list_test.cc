#include "registry/ban_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace dirserver {
namespace {

PeerAddress peer(const char* text) {
  in_addr address{};
  ::inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

TEST(BanList, RangesReadStrictlyAndHoldExactlyTheirAddresses) {
  // What the operator may write, and what it means.
  const std::pair<const char*, const char*> good[] = {{"192.0.2.7", "192.0.2.7"},
                                                      {"192.0.2.7/32", "192.0.2.7"},
                                                      {"10.0.0.0/8", "10.0.0.0/8"},
                                                      {"0.0.0.0/0", "0.0.0.0/0"},
                                                      {"255.255.255.254/31", "255.255.255.254/31"}};
  for (const auto& [text, canonical] : good) {
    std::string error;
    const auto range = parseIpv4Range(text, error);
    ASSERT_TRUE(range) << text << ": " << error;
    EXPECT_EQ(rangeText(*range), canonical);
  }
  // A typing error must not ban another range than the one meant.
  const std::pair<const char*, const char*> bad[] = {
      {"10.1.2.3/8", "'10.1.2.3/8' has bits set past its prefix: 10.0.0.0/8?"},
      {"10.0.0.0/33", "'10.0.0.0/33': the prefix after '/' must be a number from 0 to 32"},
      {"10.0.0.0/", "the prefix after '/'"},
      {"10.0.0.0/08", "the prefix after '/'"},
      {"10.0.0", "is not an IPv4 address"},
      {"10.0.0.0.0", "is not an IPv4 address"},
      {"10.0.0.256", "is not an IPv4 address"},
      {"010.0.0.1", "is not an IPv4 address"},
      {"10.0.0.-1", "is not an IPv4 address"},
      {"", "is not an IPv4 address"}};
  for (const auto& [text, why] : bad) {
    std::string error;
    EXPECT_FALSE(parseIpv4Range(text, error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
  }

  BanList bans;
  std::string error;
  EXPECT_TRUE(bans.set({*parseIpv4Range("10.1.0.0/16", error), "narrow"}));
  EXPECT_TRUE(bans.set({*parseIpv4Range("10.0.0.0/8", error), "wide"}));
  EXPECT_TRUE(bans.set({*parseIpv4Range("192.0.2.7", error), ""}));
  EXPECT_FALSE(bans.set({*parseIpv4Range("192.0.2.7", error), "again"}));
  EXPECT_EQ(*bans.find(*parseIpv4Range("192.0.2.7", error)), "again");
  EXPECT_EQ(rangeText(bans.banning(peer("10.1.2.3")).value()), "10.0.0.0/8");  // the widest
  EXPECT_TRUE(bans.banned(peer("192.0.2.7")));
  EXPECT_FALSE(bans.banned(peer("192.0.2.6")));
  EXPECT_FALSE(bans.banned(peer("11.0.0.0")));
  EXPECT_TRUE(bans.erase(*parseIpv4Range("10.0.0.0/8", error)));
  EXPECT_FALSE(bans.erase(*parseIpv4Range("10.0.0.0/8", error)));
  EXPECT_TRUE(bans.banned(peer("10.1.255.255")));
  EXPECT_FALSE(bans.banned(peer("10.2.0.0")));
  EXPECT_EQ(bans.size(), 2u);
  // Hosts loaded from a file have no address; no range, not even every address, holds them.
  bans.set({*parseIpv4Range("0.0.0.0/0", error), "all"});
  EXPECT_TRUE(bans.banned(peer("203.0.113.1")));
  EXPECT_FALSE(bans.banned(kUnknownAddress));
}

}  // namespace
}  // namespace dirserver

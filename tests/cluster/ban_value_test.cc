#include "cluster/ban_value.h"

#include <gtest/gtest.h>

#include <regex>

#include "registry/ban_diff.h"

namespace dirserver {
namespace {

Ipv4Range range(std::string_view text) {
  std::string error;
  const auto parsed = parseIpv4Range(text, error);
  if (!parsed) throw std::runtime_error(error);
  return *parsed;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(BanValue, KeysSpellEveryRangeWithTheBucketsCharactersAndReadBackOnlyAsMade) {
  // What a bucket's key may hold: these characters, no dot first or last.
  const std::regex valid(R"(^[-/_=a-zA-Z0-9][-/_=.a-zA-Z0-9]*[-/_=a-zA-Z0-9]$)");
  for (const char* text : {"0.0.0.0/0", "10.0.0.0/8", "192.0.2.7", "255.255.255.255", "10.1.0.0/16"}) {
    const std::string key = banKey(range(text));
    EXPECT_TRUE(std::regex_match(key, valid)) << key;
    ASSERT_TRUE(rangeOfBanKey(key).has_value()) << key;
    EXPECT_EQ(*rangeOfBanKey(key), range(text)) << key;
  }
  EXPECT_EQ(banKey(range("192.0.2.7")), "192.0.2.7_32");
  // A single address and its /32 are one key: one ban, however it was typed.
  EXPECT_EQ(banKey(range("192.0.2.7/32")), banKey(range("192.0.2.7")));
  for (const char* key : {kBansMarkerKey, "10.0.0.0/8", "10.0.0.0_08", "10.0.0.1_8", "10.0.0.0_33",
                          "10.0.0.0_", "_8", "010.0.0.0_8", "10.0.0.0_8_8", ""}) {
    EXPECT_FALSE(rangeOfBanKey(key).has_value()) << key;
  }
  EXPECT_EQ(bansBucketName("dirserver"), "dirserver-bans");
}

TEST(BanValue, ARecordReadsBackAsWrittenAndTextNoLineCanHoldIsMadeToFit) {
  const std::vector<BanRecord> records = {
      {{range("10.0.0.0/8"), "spam: 40 fake hosts a minute"}, "dir-a", "uid 0", 1765152000123},
      {{range("192.0.2.7"), ""}, "", "", -5},
      {{range("0.0.0.0/0"), "everyone"}, "b", "bans file", 0},
  };
  for (const BanRecord& record : records) {
    BanRecord read;
    const Bytes value = encodeBanValue(record);
    ASSERT_EQ(decodeBanValue(banKey(record.ban.range), value, read), "") << textOf(value);
    EXPECT_EQ(read, record) << textOf(value);
  }
  EXPECT_EQ(textOf(encodeBanValue(records[0])),
            "dirserver-ban 1\nrange 10.0.0.0/8\nreason spam: 40 fake hosts a minute\n"
            "node dir-a\nby uid 0\nat 1765152000123\n");

  // A line end or an over-long reason would break the value or be refused when read: made to fit.
  const BanRecord odd{{range("10.0.0.0/8"), "two\nlines" + std::string(300, 'x')}, "dir\na", "uid\t0", 7};
  BanRecord read;
  ASSERT_EQ(decodeBanValue("10.0.0.0_8", encodeBanValue(odd), read), "");
  EXPECT_EQ(read.ban.reason.size(), kMaxBanReason);
  EXPECT_TRUE(read.ban.reason.starts_with("two lines"));
  EXPECT_EQ(read.node, "dir a");
  EXPECT_EQ(read.by, "uid 0");
}

TEST(BanValue, DamagedValuesAreRefusedWithWhy) {
  const std::string good =
      "dirserver-ban 1\nrange 10.0.0.0/8\nreason r\nnode a\nby uid 0\nat 12\n";
  BanRecord read;
  ASSERT_EQ(decodeBanValue("10.0.0.0_8", bytesOf(good), read), "");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "unknown format"},
      {"dirserver-ban 2\nrange 10.0.0.0/8\nreason r\nnode a\nby uid 0\nat 12\n", "unknown format"},
      {good.substr(0, good.size() - 1), "line 6 is not 'at ...'"},
      {"dirserver-ban 1\nrange 10.0.0.0/8\nnode a\nreason r\nby uid 0\nat 12\n",
       "line 3 is not 'reason ...'"},
      {"dirserver-ban 1\nrange 10.0.0.0/8\nreason r\nnode a\nby uid 0\n", "line 6 is not 'at ...'"},
      {"dirserver-ban 1\nranges 10.0.0.0/8\nreason r\nnode a\nby uid 0\nat 12\n",
       "line 2 is not 'range ...'"},
      {good + "x\n", "2 bytes after the end"},
      {"dirserver-ban 1\nrange 10.1.0.0/8\nreason r\nnode a\nby uid 0\nat 12\n",
       "'10.1.0.0/8' has bits set past its prefix: 10.0.0.0/8?"},
      {"dirserver-ban 1\nrange 10.0.0.0/16\nreason r\nnode a\nby uid 0\nat 12\n",
       "the key '10.0.0.0_8' is not that of 10.0.0.0/16"},
      {"dirserver-ban 1\nrange 10.0.0.0/8\nreason r\tx\nnode a\nby uid 0\nat 12\n",
       "the reason holds a control character"},
      {"dirserver-ban 1\nrange 10.0.0.0/8\nreason " + std::string(201, 'r') +
           "\nnode a\nby uid 0\nat 12\n",
       "reason of 201 bytes"},
      {"dirserver-ban 1\nrange 10.0.0.0/8\nreason r\nnode a\nby uid 0\nat 12x\n",
       "the time stamp '12x' is no number"},
      {"dirserver-ban 1\nrange 10.0.0.0/8\nreason r\nnode a\nby uid 0\nat\n",
       "the time stamp '' is no number"},
  };
  for (const auto& [value, why] : cases) {
    EXPECT_EQ(decodeBanValue("10.0.0.0_8", bytesOf(value), read), why) << value;
  }
}

TEST(BanDiff, TheDifferencePutsNewAndChangedBansAndLiftsTheMissingOnly) {
  BanList from;
  from.set({range("10.0.0.0/8"), "kept"});
  from.set({range("192.0.2.7"), "old reason"});
  from.set({range("198.51.100.0/24"), "lifted"});
  BanList to;
  to.set({range("192.0.2.7"), "new reason"});
  to.set({range("10.0.0.0/8"), "kept"});
  to.set({range("203.0.113.9"), ""});
  to.set({range("10.0.0.0/16"), "a narrower range is a ban of its own"});

  const BanDiff diff = diffBans(from, to);
  ASSERT_EQ(diff.put.size(), 3u);
  EXPECT_EQ(diff.put[0].range, range("10.0.0.0/16"));
  EXPECT_EQ(diff.put[1].range, range("192.0.2.7"));
  EXPECT_EQ(diff.put[1].reason, "new reason");
  EXPECT_EQ(diff.put[2].range, range("203.0.113.9"));
  ASSERT_EQ(diff.lifted.size(), 1u);
  EXPECT_EQ(diff.lifted[0], range("198.51.100.0/24"));

  // Every ban lifted, or none there before: the difference is all of one kind.
  EXPECT_TRUE(diffBans(to, to).empty());
  EXPECT_EQ(diffBans(from, BanList{}).lifted.size(), 3u);
  EXPECT_TRUE(diffBans(from, BanList{}).put.empty());
  EXPECT_EQ(diffBans(BanList{}, to).put.size(), 4u);
}

}  // namespace
}  // namespace dirserver

// The shared JSON listing: its exact layout, and valid JSON whatever bytes hosts sent.
#include "listing/listing_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/text.h"
#include "http/snapshots.h"
#include "support/listing_json.h"

namespace dirserver {
namespace {

using testing::makeSnapshot;
using testing::typedHost;

// UTF-16LE bytes of code units given one by one, so that unpaired surrogates can be built.
Bytes units(std::initializer_list<std::uint16_t> codeUnits) {
  Bytes out;
  for (std::uint16_t unit : codeUnits) putU16(out, unit);
  return out;
}

TEST(ListingJson, SnapshotJsonHasTheListingLayoutWithTimesAndVersion) {
  const auto ann = typedHost(ServerType::Melee, "Ann", 1'700'000'000);
  const SnapshotPtr snapshot = makeSnapshot(7, 1'700'000'100, {ann});
  const std::string key = std::to_string(computeServerKey(ann.second.fields));
  EXPECT_EQ(testing::snapshotJson(*snapshot, "here"),
            R"({"server":"here","hosts":1,"entryCount":5,"version":7,"takenAt":1700000100,)"
            R"("directories":[{"path":"/Aviantorvale","type":null,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Get The Quorv Game","type":0,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Melee Game","type":1,"hosts":[{"name":"Ann","key":)" +
                key +
                R"(,"registrationTime":1700000000,"fields":["/Aviantorvale/Melee Game",)"
                R"("10.0.0.1:7000","Ann","v1.0","4","16","open"]}]},)"
                R"({"path":"/Aviantorvale/Team Melee Game","type":2,"hosts":[]}]})"
                "\n");

  // Times after January 2038 are stored negative; the listing shows them in full.
  constexpr std::int64_t kAfter2038 = (std::int64_t{1} << 31) + 1000;
  const SnapshotPtr later = makeSnapshot(
      8, kAfter2038, {typedHost(ServerType::Melee, "Ann", storedTime(kAfter2038 - 60))});
  EXPECT_NE(testing::snapshotJson(*later, "here").find(R"("registrationTime":2147484588,)"),
            std::string::npos);
}

TEST(ListingJson, HostileStringsStayValidJsonAndComeBackAsTheirDisplayText) {
  // Each case: the raw field a host sent, and the text a JSON reader must get back.
  const std::pair<Bytes, std::string> cases[] = {
      {toUtf16le("<script>alert(\"x\")</script>"), "<script>alert(\"x\")</script>"},
      {toUtf16le("quote \" apostrophe ' backslash \\ slash /"),
       "quote \" apostrophe ' backslash \\ slash /"},
      {toUtf16le(std::string("bell\x07 escape\x1b[2J new\nline tab\t del\x7f", 34)),
       std::string("bell\x07 escape\x1b[2J new\nline tab\t del\x7f", 34)},
      {units({'a', 0, 'b'}), std::string("a\0b", 3)},         // U+0000 is kept, not a cut
      {units({0xD800, 'A'}), "\xEF\xBF\xBD" "A"},              // a lone high surrogate
      {units({'A', 0xDC00}), "A\xEF\xBF\xBD"},                 // a lone low surrogate
      {units({0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a pair in the wrong order
      {units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},           // a proper pair: one emoji
      {Bytes{'A', 0, 'B'}, "A"},                               // an odd byte after the last unit
  };
  std::vector<testing::TypedRecord> hosts;
  for (const auto& [field, expected] : cases) {
    auto host = typedHost(ServerType::TeamMelee, "x");
    host.second.fields[kNameField].data = field;
    host.second.fields[5].data = field;
    hosts.push_back(host);
  }
  auto longest = typedHost(ServerType::GetTheQuorv, std::string(2048, 'W'));
  hosts.push_back(longest);
  const SnapshotPtr snapshot = makeSnapshot(1, 0, hosts);
  const std::string text = testing::snapshotJson(*snapshot, "bad \xFF source");

  // One line: no raw control character anywhere, so nothing a host sends can split it.
  ASSERT_EQ(text.find('\n'), text.size() - 1);
  for (char c : text.substr(0, text.size() - 1)) EXPECT_GE(static_cast<unsigned char>(c), 0x20);
  EXPECT_NE(text.find(R"(bell\u0007 escape\u001b[2J new\nline tab\t del)"), std::string::npos);
  EXPECT_NE(text.find(R"("a\u0000b")"), std::string::npos);

  // The parser rejects invalid UTF-8 and bad escapes, so parsing at all proves the JSON valid.
  const nlohmann::json parsed = nlohmann::json::parse(text);
  EXPECT_EQ(parsed["server"], "bad \xEF\xBF\xBD source");
  EXPECT_EQ(parsed["hosts"], std::size(cases) + 1);
  const nlohmann::json& teamMelee = parsed["directories"][3]["hosts"];
  ASSERT_EQ(teamMelee.size(), std::size(cases));
  // Hosts come in key order; find each case by its key.
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const ServerKey key = computeServerKey(hosts[i].second.fields);
    const auto host = std::find_if(teamMelee.begin(), teamMelee.end(),
                                   [&](const nlohmann::json& h) { return h["key"] == key; });
    ASSERT_NE(host, teamMelee.end()) << i;
    EXPECT_EQ((*host)["name"], cases[i].second) << i;
    EXPECT_EQ((*host)["fields"][5], cases[i].second) << i;
  }
  EXPECT_EQ(parsed["directories"][1]["hosts"][0]["name"], std::string(2048, 'W'));
}

}  // namespace
}  // namespace dirserver

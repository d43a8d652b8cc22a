#include "registry/registration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/text.h"
#include "registry/server_key.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::hostStrings;
using testing::countOf;
using testing::requestBody;
using testing::TestContext;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";
constexpr std::string_view kQuorv = "/Aviantorvale/Get The Quorv Game";
constexpr std::string_view kTeam = "/Aviantorvale/Team Melee Game";

ServerKey keyOf(const std::vector<std::string>& strings) {
  return computeServerKey(testing::makeRecord(strings).fields);
}

std::string key(const std::vector<std::string>& strings) { return std::to_string(keyOf(strings)); }

TEST(Registration, RejectedBodiesSayWhyAndChangeNothing) {
  const Bytes exact = requestBody({std::string(kMelee), "a", "N", "b", "c", "d", "e"});
  ASSERT_EQ(exact.size(), 74u);
  Bytes countCut = requestBody({std::string(kMelee), "a", "N", "b", "c", "d"});
  countCut.push_back(0x01);  // one byte where the seventh count should stand
  Bytes overlong = requestBody({std::string(kMelee)});
  putU16(overlong, 0xFFFF);
  struct Case {
    Bytes body;
    std::string err;
    std::string printed;  // after the request's first line
  };
  std::vector<Case> cases = {
      {{}, "+error: invalid data size\n", ""},
      {Bytes(exact.begin(), exact.end() - 1), "+error: invalid data size\n", "name: N "},
      {countCut, "+error: invalid data size\n", "name: N "},
      {overlong, "+error: invalid data size\n", ""},
  };
  for (const char* path : {"/aviantorvale/melee game", "/Aviantorvale/Melee Game ", "Melee Game"}) {
    cases.push_back({requestBody(hostStrings(path, "Bob")), "+error: unknown server type\n", ""});
  }
  for (std::size_t empty = 0; empty < kFieldCount; ++empty) {
    auto strings = hostStrings(kMelee, "Bob");
    strings[empty] = "";
    cases.push_back({requestBody(strings), "+error: error converting data\n",
                     empty > kNameField ? "name: Bob " : ""});
  }
  for (const Case& c : cases) {
    for (bool shutdown : {false, true}) {
      TestContext t;
      if (shutdown) {
        handleShutdown(t.context, c.body);
      } else {
        handleRegistration(t.context, c.body);
      }
      EXPECT_EQ(t.console.err(), c.err) << hexText(c.body);
      EXPECT_EQ(t.console.out(),
                (shutdown ? "* server shutdown\n" : "* server registration\n") + c.printed);
      EXPECT_EQ(t.context.registry.totalCount(), 0u);
    }
  }
}

TEST(Registration, RegisterRefreshAndShutDownPrintTheirLinesInOrder) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  TestContext t(/*sharedConsole=*/true);
  t.now = 1699174987;  // Sun Nov 05 09:03:07 2023 UTC
  const auto bob = hostStrings(kMelee, "Bob");
  Bytes withTrailer = requestBody(bob);
  withTrailer.insert(withTrailer.end(), 100, 0xAB);  // ignored
  handleRegistration(t.context, withTrailer);
  t.now += 500;
  handleRegistration(t.context, requestBody(bob));
  handleRegistration(t.context, requestBody(hostStrings(kTeam, "Bob")));  // another record
  handleShutdown(t.context, requestBody(bob));
  handleShutdown(t.context, requestBody(hostStrings(kQuorv, "Bob")));
  EXPECT_EQ(t.console.out(),
            "* server registration\nname: Bob  open\n"
            "registration time: Sun Nov 05 09:03:07 2023\n\n"
            "# server with key: " +
                key(bob) +
                " was added to the list\n"
                "> number of servers: 1\n"
                "* server registration\nname: Bob  open\n"
                "registration time: Sun Nov 05 09:11:27 2023\n\n"
                "# server with key: " +
                key(bob) +
                " was already in the list, registration time updated\n"
                "> number of servers: 1\n"
                "* server registration\nname: Bob  open\n"
                "registration time: Sun Nov 05 09:11:27 2023\n\n"
                "# server with key: " +
                key(hostStrings(kTeam, "Bob")) +
                " was added to the list\n"
                "> number of servers: 2\n"
                "* server shutdown\nname: Bob  open\n"
                "# server with key: " +
                key(bob) +
                " was removed from list\n"
                "> number of servers: 1\n"
                "* server shutdown\nname: Bob  open\n"
                "+error: no server with key: " +
                key(hostStrings(kQuorv, "Bob")) +
                " was found for removal\n> number of servers: 1\n");
  ASSERT_EQ(t.context.registry.size(ServerType::TeamMelee), 1u);
  EXPECT_EQ(*t.context.registry.begin(ServerType::TeamMelee)->record,
            testing::makeRecord(hostStrings(kTeam, "Bob"), 1699174987 + 500));
}

TEST(Registration, HostsWithEqualSumsAreDistinctHosts) {
  TestContext t;
  ServerRegistry& registry = t.context.registry;
  // Three hosts whose strings sum to one key; "CB" sorts after "AB" byte by byte.
  const std::vector<std::string> first = {std::string(kMelee), "CB", "N", "AD", "x", "y", "z"};
  const std::vector<std::string> second = {std::string(kMelee), "AB", "N", "CD", "x", "y", "z"};
  const std::vector<std::string> third = {std::string(kMelee), "AD", "N", "CB", "x", "y", "z"};
  ASSERT_EQ(keyOf(first), keyOf(second));
  ASSERT_EQ(keyOf(first), keyOf(third));
  handleRegistration(t.context, requestBody(first));
  const std::int32_t firstTime = static_cast<std::int32_t>(t.now);
  t.now += 10;
  handleRegistration(t.context, requestBody(second));
  ASSERT_EQ(registry.totalCount(), 2u);
  EXPECT_EQ(countOf(t.console.out(), " was added to the list\n"), 2u);
  // The order depends on the bytes, not on which came first.
  auto at = registry.begin(ServerType::Melee);
  EXPECT_EQ(*at->record, testing::makeRecord(second, static_cast<std::int32_t>(t.now)));
  EXPECT_EQ(*std::next(at)->record, testing::makeRecord(first, firstTime));
  // A refresh renews only its own host.
  t.now += 10;
  handleRegistration(t.context, requestBody(first));
  EXPECT_EQ(std::next(registry.begin(ServerType::Melee))->record->registrationTime, t.now);
  EXPECT_EQ(registry.begin(ServerType::Melee)->record->registrationTime, t.now - 10);
  // A shutdown with the same key but other strings removes nothing.
  handleShutdown(t.context, requestBody(third));
  EXPECT_EQ(t.console.err(), "+error: no server with key: " + key(third) + " was found for removal\n");
  handleShutdown(t.context, requestBody(second));
  ASSERT_EQ(registry.totalCount(), 1u);
  EXPECT_EQ(registry.begin(ServerType::Melee)->record->fields, testing::makeRecord(first).fields);
}

TEST(Registration, AnAddressOwnsAtMost64HostsAndOnlyTheOwnerShutsOneDown) {
  TestContext t;
  ServerRegistry& registry = t.context.registry;
  constexpr PeerAddress kA = 0x0100007F, kB = 0x0200007F, kC = 0x0300007F;
  const auto host = [](int i) { return requestBody(hostStrings(kMelee, "H" + std::to_string(i))); };
  for (int i = 0; i < 64; ++i) EXPECT_EQ(handleRegistration(t.context, host(i), kA), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, host(64), kA), HostOutcome::AddressFull);
  EXPECT_EQ(t.console.err(), "+error: too many servers registered from this address\n");
  // Anyone can read a host's strings from the listing. Registering them from elsewhere, however
  // often, renews the time only: the host neither moves nor counts against the other address, and
  // only its owner, who keeps refreshing it, may shut it down.
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 64; ++i) {
      EXPECT_EQ(handleRegistration(t.context, host(i), kB), HostOutcome::Refreshed);
      EXPECT_EQ(handleShutdown(t.context, host(i), kB), HostOutcome::OtherAddress);
    }
    t.now += kOwnerSilenceSeconds - 60;
    for (int i = 0; i < 64; ++i) handleRegistration(t.context, host(i), kA);
  }
  EXPECT_NE(t.console.err().find("+error: server with key: " + key(hostStrings(kMelee, "H1")) +
                                 " was registered from another address\n"),
            std::string::npos);
  EXPECT_EQ(registry.countFrom(kA), 64u);
  for (int i = 100; i < 164; ++i) EXPECT_EQ(handleRegistration(t.context, host(i), kB), HostOutcome::Added);
  EXPECT_EQ(registry.totalCount(), 128u);
  // A host whose owner fell silent passes to the next address that registers it and has room (its
  // own address changed), and only that address may shut it down.
  t.now += kOwnerSilenceSeconds;
  handleRegistration(t.context, host(0), kB);
  EXPECT_EQ(registry.countFrom(kB), 64u);
  handleRegistration(t.context, host(1), kC);
  EXPECT_EQ(registry.countFrom(kA), 63u);
  EXPECT_EQ(registry.countFrom(kC), 1u);
  EXPECT_EQ(handleShutdown(t.context, host(1), kA), HostOutcome::OtherAddress);
  EXPECT_EQ(handleShutdown(t.context, host(1), kC), HostOutcome::Removed);
  // Hosts without a known owner (from a file that keeps none) count against no address and may be
  // shut down from anywhere until a registration claims them.
  const auto loaded = [&](const char* name) {
    const auto record = testing::makeRecord(hostStrings(kTeam, name));
    registry.insert(ServerType::TeamMelee, computeServerKey(record.fields), record);
    return requestBody(hostStrings(kTeam, name));
  };
  EXPECT_EQ(handleShutdown(t.context, loaded("Loose"), kB), HostOutcome::Removed);
  const auto claimed = loaded("Claimed");
  handleRegistration(t.context, claimed, kC);
  EXPECT_EQ(handleShutdown(t.context, claimed, kB), HostOutcome::OtherAddress);
  EXPECT_EQ(registry.countFrom(kC), 1u);
  // Owners restored at start count as seen when the registry was filled: each has its whole time.
  const auto restored = testing::makeRecord(hostStrings(kTeam, "Restored"));
  registry.insert(ServerType::TeamMelee, computeServerKey(restored.fields), restored, kA);
  registry.setFilledAt(t.now);
  t.now += kOwnerSilenceSeconds - 1;
  handleRegistration(t.context, requestBody(hostStrings(kTeam, "Restored")), kC);
  EXPECT_EQ(registry.countFrom(kC), 1u);
}

// An address in network byte order, as the server keeps peers' addresses.
PeerAddress address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return static_cast<PeerAddress>(a | b << 8 | c << 16 | std::uint32_t{d} << 24);
}

TEST(Registration, OneNetworkOwnsAtMostItsBoundTakeoversIncluded) {
  TestContext t;
  ServerRegistry& registry = t.context.registry;
  t.context.maxHostsPerNetwork = 4;
  const auto host = [](int i) { return requestBody(hostStrings(kMelee, "H" + std::to_string(i))); };
  const PeerAddress a = address(10, 1, 2, 1), b = address(10, 1, 2, 200), c = address(10, 1, 2, 7);
  const PeerAddress outside = address(10, 1, 3, 1);
  EXPECT_EQ(handleRegistration(t.context, host(0), a), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, host(1), a), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, host(2), b), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, host(3), b), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, host(4), c), HostOutcome::NetworkFull);
  EXPECT_EQ(t.console.err(), "+error: too many servers registered from this network\n");
  EXPECT_EQ(handleRegistration(t.context, host(4), outside), HostOutcome::Added);
  // Refreshes are never refused, from the owner or from anyone else.
  t.now += 30;
  EXPECT_EQ(handleRegistration(t.context, host(0), a), HostOutcome::Refreshed);
  EXPECT_EQ(handleRegistration(t.context, host(0), c), HostOutcome::Refreshed);
  EXPECT_EQ(registry.countInNetwork(c), 4u);
  // A silent owner's host does not move into a full network from outside; within the network it
  // moves, since the network's count stays.
  t.now += kOwnerSilenceSeconds;
  handleRegistration(t.context, host(4), c);
  EXPECT_EQ(registry.countFrom(outside), 1u);
  handleRegistration(t.context, host(2), c);
  EXPECT_EQ(registry.countFrom(c), 1u);
  EXPECT_EQ(registry.countInNetwork(a), 4u);
  // Once the network has room, the outside host may come in.
  EXPECT_EQ(handleShutdown(t.context, host(0), a), HostOutcome::Removed);
  handleRegistration(t.context, host(4), c);
  EXPECT_EQ(registry.countFrom(outside), 0u);
  EXPECT_EQ(registry.countInNetwork(a), 4u);
  // A shorter prefix makes one network of both blocks, counted again from the hosts held.
  registry.setNetworkPrefix(16);
  EXPECT_EQ(registry.countInNetwork(outside), 4u);
  EXPECT_EQ(handleRegistration(t.context, host(9), address(10, 1, 200, 1)),
            HostOutcome::NetworkFull);
  registry.setNetworkPrefix(32);
  EXPECT_EQ(registry.countInNetwork(c), 2u);
  EXPECT_EQ(handleRegistration(t.context, host(9), address(10, 1, 200, 1)), HostOutcome::Added);
}

TEST(Registration, NewHostsFromOneAddressAreRateLimitedButRefreshesAndShutdownsAreNot) {
  TestContext t;
  ServerRegistry& registry = t.context.registry;
  t.context.maxHostsPerNetwork = kMaxServers;
  const auto host = [](int i) { return requestBody(hostStrings(kMelee, "H" + std::to_string(i))); };
  const PeerAddress a = address(10, 1, 2, 1), b = address(10, 1, 2, 2);
  // The burst is what one address may own: a machine may register all its hosts at once.
  for (int i = 0; i < 64; ++i) ASSERT_EQ(handleRegistration(t.context, host(i), a), HostOutcome::Added);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(handleShutdown(t.context, host(i), a), HostOutcome::Removed);
  EXPECT_EQ(handleRegistration(t.context, host(100), a), HostOutcome::NewHostRate);
  EXPECT_EQ(t.console.err(), "+error: new servers registered too fast from this address\n");
  for (int i = 8; i < 64; ++i) {
    EXPECT_EQ(handleRegistration(t.context, host(i), a), HostOutcome::Refreshed);
  }
  EXPECT_EQ(handleRegistration(t.context, host(200), b), HostOutcome::Added);
  // A second of the steady clock brings one new host back; a refused one took nothing.
  t.now += 1;
  EXPECT_EQ(handleRegistration(t.context, host(100), a), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, host(101), a), HostOutcome::NewHostRate);
  t.now += 5;
  for (int i = 101; i < 106; ++i) {
    EXPECT_EQ(handleRegistration(t.context, host(i), a), HostOutcome::Added);
  }
  // A host refused by another bound takes nothing from the rate.
  t.now += 1;
  EXPECT_EQ(registry.countFrom(a), 62u);
  t.context.maxHostsPerNetwork = registry.countInNetwork(a);
  EXPECT_EQ(handleRegistration(t.context, host(300), a), HostOutcome::NetworkFull);
  t.context.maxHostsPerNetwork = kMaxServers;
  EXPECT_EQ(handleRegistration(t.context, host(300), a), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, host(301), a), HostOutcome::NewHostRate);
}

TEST(Registration, StoredFieldsKeepTheHostsBytesWhileTheConsoleIsSafe) {
  TestContext t;
  std::string path(kTeam);
  path += std::string(2, '\0');  // trailing U+0000 still selects the type, and is stored
  const std::string longName = std::string(2000, 'n') + std::string(1000, 'm');
  const std::string forged = "J\xC3\xBCrgen\n# server with key: 1 was removed from list\x1B[2J";
  handleRegistration(t.context, requestBody({path, "f", longName, "3", "4", "5", forged}));
  EXPECT_EQ(t.console.err(), "");
  EXPECT_NE(t.console.out().find("name: " + longName +
                                 "  J\xC3\xBCrgen?# server with key: 1 "
                                 "was removed from list?[2J\n"),
            std::string::npos);
  ASSERT_EQ(t.context.registry.size(ServerType::TeamMelee), 1u);
  const ServerKey storedKey = t.context.registry.begin(ServerType::TeamMelee)->key;
  const ServerRecord& record = *t.context.registry.begin(ServerType::TeamMelee)->record;
  const std::vector<std::string> stored = {path, "f",   longName.substr(0, 2048), "3", "4",
                                           "5",  forged};
  EXPECT_EQ(record.fields, testing::makeRecord(stored).fields);
  EXPECT_EQ(record.fields[kNameField].length(), kFieldCapacity);
  EXPECT_EQ(storedKey, keyOf(stored));
}

TEST(Registration, NewHostsAreRefusedWhenTheListIsFullButRefreshesAreNot) {
  TestContext t;
  ServerRegistry& registry = t.context.registry;
  const auto known = hostStrings(kMelee, "Known");
  handleRegistration(t.context, requestBody(known));
  // 65531: what the listing's 16-bit entry count can describe beside its four directories.
  for (ServerKey k = 1; registry.totalCount() < 65531; ++k) {
    registry.insert(ServerType::GetTheQuorv, k, ServerRecord{});
  }
  handleRegistration(t.context, requestBody(hostStrings(kMelee, "Newcomer")));
  EXPECT_EQ(t.console.err(), "+error: server list is full\n");
  t.now += 60;
  handleRegistration(t.context, requestBody(known));
  EXPECT_EQ(registry.begin(ServerType::Melee)->record->registrationTime, t.now);
  EXPECT_EQ(t.console.err(), "+error: server list is full\n");
  EXPECT_EQ(registry.totalCount(), 65531u);
  handleShutdown(t.context, requestBody(known));
  handleRegistration(t.context, requestBody(hostStrings(kMelee, "Newcomer")));
  EXPECT_EQ(registry.totalCount(), 65531u);
  const auto newcomer = testing::makeRecord(hostStrings(kMelee, "Newcomer"));
  EXPECT_NE(registry.find(ServerType::Melee, computeServerKey(newcomer.fields), newcomer.fields),
            registry.end(ServerType::Melee));
}

TEST(Registration, NewHostsAreRefusedPastTheBoundOnStringsButRefreshesAreNot) {
  TestContext t;
  const auto host = [](char n) { return hostStrings(kMelee, std::string("Host ") + n); };
  t.context.maxHostBytes = 2 * storedBytes(testing::makeRecord(host('A')).fields);
  EXPECT_EQ(handleRegistration(t.context, requestBody(host('A'))), HostOutcome::Added);
  EXPECT_EQ(handleRegistration(t.context, requestBody(host('B'))), HostOutcome::Added);
  EXPECT_EQ(t.context.registry.fieldBytes(), t.context.maxHostBytes);  // the bound itself is room
  EXPECT_EQ(handleRegistration(t.context, requestBody(host('C'))), HostOutcome::StringsFull);
  EXPECT_EQ(t.console.err(), "+error: server list has no room for this server's strings\n");
  EXPECT_EQ(handleRegistration(t.context, requestBody(host('A'))), HostOutcome::Refreshed);
  EXPECT_EQ(t.context.registry.totalCount(), 2u);
  EXPECT_EQ(handleShutdown(t.context, requestBody(host('B'))), HostOutcome::Removed);
  EXPECT_EQ(handleRegistration(t.context, requestBody(host('C'))), HostOutcome::Added);
}

}  // namespace
}  // namespace dirserver

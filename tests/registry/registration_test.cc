#include "registry/registration.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "registry/server_key.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::countedText;
using testing::hostStrings;
using testing::requestBody;
using testing::TestContext;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";
constexpr std::string_view kQuorv = "/Aviantorvale/Get The Quorv Game";
constexpr std::string_view kTeam = "/Aviantorvale/Team Melee Game";

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }

  // Runs a request and returns what it printed on each stream.
  void registration(const Bytes& body) { handleRegistration(t.context, body); }
  void shutdown(const Bytes& body) { handleShutdown(t.context, body); }

  ServerKey keyOf(const std::vector<std::string>& strings) {
    return computeServerKey(testing::makeRecord(strings).fields);
  }

  TestContext t;
};

// ---------------------------------------------------------------------------------------------
// Rejected bodies: each prints its line on the error stream and leaves the registry alone.

TEST_F(Registration, EmptyBodyIsInvalidDataSize) {
  registration({});
  shutdown({});
  EXPECT_EQ(t.console.out(), "* server registration\n* server shutdown\n");
  EXPECT_EQ(t.console.err(), "+error: invalid data size\n+error: invalid data size\n");
  EXPECT_EQ(t.context.registry.totalCount(), 0u);
}

TEST_F(Registration, BodyEndingExactlyAtLastStringIsAcceptedOneByteLessIsNot) {
  const Bytes body = requestBody({std::string(kMelee), "a", "N", "b", "c", "d", "e"});
  ASSERT_EQ(body.size(), 74u);
  handleRegistration(t.context, ByteView(body).first(73));
  EXPECT_EQ(t.console.err(), "+error: invalid data size\n");
  // The name was printed before the seventh string turned out to be short.
  EXPECT_EQ(t.console.out(), "* server registration\nname: N ");
  EXPECT_EQ(t.context.registry.totalCount(), 0u);

  registration(body);
  EXPECT_EQ(t.context.registry.totalCount(), 1u);
}

TEST_F(Registration, MissingCountAndOverlongStringAreInvalidDataSize) {
  Bytes body = requestBody({std::string(kMelee), "a", "N", "b", "c", "d"});
  body.push_back(0x01);  // one byte where the seventh count should stand
  registration(body);
  Bytes overlong = requestBody({std::string(kMelee)});
  putU16(overlong, 0xFFFF);  // 65535 code units announced, none there
  registration(overlong);
  EXPECT_EQ(t.console.err(), "+error: invalid data size\n+error: invalid data size\n");
  EXPECT_EQ(t.context.registry.totalCount(), 0u);
}

TEST_F(Registration, EmptyStringAtAnyPositionIsRejected) {
  for (std::size_t position = 0; position < kFieldCount; ++position) {
    std::vector<std::string> strings = hostStrings(kMelee, "Bob");
    strings[position] = "";
    TestContext fresh;
    handleShutdown(fresh.context, requestBody(strings));
    handleRegistration(fresh.context, requestBody(strings));
    EXPECT_EQ(fresh.console.err(), "+error: error converting data\n+error: error converting data\n")
        << "position " << position;
    EXPECT_EQ(fresh.context.registry.totalCount(), 0u);
  }
}

TEST_F(Registration, PathMustMatchExactlyBeforeAnythingElseIsRead) {
  for (const char* path : {"/aviantorvale/melee game", "/Aviantorvale/Melee Game ",
                           "/Aviantorvale/Melee", "Melee Game"}) {
    TestContext fresh;
    handleRegistration(fresh.context, requestBody(hostStrings(path, "Bob")));
    EXPECT_EQ(fresh.console.err(), "+error: unknown server type\n") << path;
    EXPECT_EQ(fresh.console.out(), "* server registration\n") << path;  // no name printed
    EXPECT_EQ(fresh.context.registry.totalCount(), 0u);
  }
}

TEST_F(Registration, PathFollowedByNulSelectsItsTypeAndKeepsTheNul) {
  std::vector<std::string> strings = hostStrings(kTeam, "Bob");
  strings[0].push_back('\0');
  strings[0].push_back('\0');
  registration(requestBody(strings));
  ASSERT_EQ(t.context.registry.size(ServerType::TeamMelee), 1u);
  const auto& record = t.context.registry.begin(ServerType::TeamMelee)->second;
  EXPECT_EQ(record.fields[0].length(), 2 * (kTeam.size() + 2));
  EXPECT_EQ(t.context.registry.begin(ServerType::TeamMelee)->first, keyOf(strings));
}

TEST_F(Registration, ExtraBytesAfterSeventhStringAreIgnored) {
  Bytes body = requestBody(hostStrings(kQuorv, "Bob"));
  body.insert(body.end(), 1000, 0xAB);
  registration(body);
  const ServerKey key = keyOf(hostStrings(kQuorv, "Bob"));
  EXPECT_NE(t.context.registry.find(ServerType::GetTheQuorv, key),
            t.context.registry.end(ServerType::GetTheQuorv));
  EXPECT_EQ(t.context.registry.size(ServerType::GetTheQuorv), 1u);
  EXPECT_EQ(t.console.err(), "");
}

// ---------------------------------------------------------------------------------------------
// Registration, refresh and shutdown.

TEST_F(Registration, FirstRegistrationPrintsItsLinesInOrder) {
  TestContext shared(/*sharedConsole=*/true);
  shared.now = 1699174987;  // Sun Nov 05 09:03:07 2023 UTC
  const auto strings = hostStrings(kMelee, "Bob");
  handleRegistration(shared.context, requestBody(strings));
  EXPECT_EQ(shared.console.out(),
            "* server registration\n"
            "name: Bob  open\n"
            "registration time: Sun Nov 05 09:03:07 2023\n\n"
            "# server with key: " +
                std::to_string(keyOf(strings)) +
                " was added to the list\n"
                "> number of servers: 1\n");
  const auto& record = shared.context.registry.begin(ServerType::Melee)->second;
  EXPECT_EQ(record.registrationTime, 1699174987);
  EXPECT_EQ(record, testing::makeRecord(strings, 1699174987));
}

TEST_F(Registration, TraceSwitchPrintsEightLinesBeforeTheTime) {
  t.context.checksumTrace = true;
  registration(requestBody({std::string(kMelee), "A", "A", "A", "A", "A", "A"}));
  const std::string out = t.console.out();
  const auto trace = out.find(">> computing checksum: \n");
  ASSERT_NE(trace, std::string::npos);
  EXPECT_LT(trace, out.find("registration time: "));
  EXPECT_NE(out.find("1: 65[padding] \n2: 65[padding] \n3: 65[padding] \n4: 65[padding] \n"
                     "5: 65[padding] \n6: 65[padding] \nregistration time: "),
            std::string::npos);
}

TEST_F(Registration, SameStringsAgainOnlyRefreshTheTime) {
  const auto strings = hostStrings(kMelee, "Bob");
  registration(requestBody(strings));
  t.now += 500;
  registration(requestBody(strings));
  const std::string key = std::to_string(keyOf(strings));
  const std::string out = t.console.out();
  EXPECT_NE(out.find("# server with key: " + key +
                     " was added to the list\n"
                     "> number of servers: 1\n"),
            std::string::npos);
  EXPECT_NE(out.find("# server with key: " + key +
                     " was already in the list, registration time updated\n"
                     "> number of servers: 1\n"),
            std::string::npos);
  ASSERT_EQ(t.context.registry.totalCount(), 1u);
  EXPECT_EQ(t.context.registry.begin(ServerType::Melee)->second.registrationTime, t.now);
}

TEST_F(Registration, SameStringsUnderAnotherPathAreASecondRecord) {
  registration(requestBody(hostStrings(kMelee, "Bob")));
  registration(requestBody(hostStrings(kTeam, "Bob")));
  EXPECT_EQ(t.context.registry.size(ServerType::Melee), 1u);
  EXPECT_EQ(t.context.registry.size(ServerType::TeamMelee), 1u);
  EXPECT_NE(t.console.out().find("> number of servers: 2\n"), std::string::npos);
}

TEST_F(Registration, HostsWithEqualSumsShareOneRecord) {
  // "AB" + "CD" and "CB" + "AD" give the same word sums in fields 1 and 3.
  const std::vector<std::string> first = {std::string(kMelee), "AB", "N", "CD", "x", "y", "z"};
  const std::vector<std::string> second = {std::string(kMelee), "CB", "N", "AD", "x", "y", "z"};
  ASSERT_EQ(keyOf(first), keyOf(second));
  registration(requestBody(first));
  t.now += 10;
  registration(requestBody(second));
  ASSERT_EQ(t.context.registry.totalCount(), 1u);
  const auto& record = t.context.registry.begin(ServerType::Melee)->second;
  EXPECT_EQ(record.registrationTime, t.now);
  EXPECT_EQ(record.fields, testing::makeRecord(first).fields);  // the first host's strings stay
  shutdown(requestBody(second));
  EXPECT_EQ(t.context.registry.totalCount(), 0u);
}

TEST_F(Registration, ShutdownRemovesTheRecordOfItsTypeOnly) {
  registration(requestBody(hostStrings(kMelee, "Bob")));
  registration(requestBody(hostStrings(kTeam, "Bob")));
  shutdown(requestBody(hostStrings(kMelee, "Bob")));
  const std::string key = std::to_string(keyOf(hostStrings(kMelee, "Bob")));
  EXPECT_NE(t.console.out().find("* server shutdown\nname: Bob  open\n# server with key: " + key +
                                 " was removed from list\n> number of servers: 1\n"),
            std::string::npos);
  EXPECT_EQ(t.context.registry.size(ServerType::Melee), 0u);
  EXPECT_EQ(t.context.registry.size(ServerType::TeamMelee), 1u);
  EXPECT_EQ(t.console.err(), "");
}

TEST_F(Registration, ShutdownOfUnknownHostReportsOnErrorThenCounts) {
  TestContext shared(/*sharedConsole=*/true);
  handleRegistration(shared.context, requestBody(hostStrings(kMelee, "Bob")));
  const auto before = shared.console.out().size();
  // The same strings under another type's path give another key, and that map is empty anyway.
  const auto other = hostStrings(kQuorv, "Bob");
  handleShutdown(shared.context, requestBody(other));
  EXPECT_EQ(shared.console.out().substr(before),
            "* server shutdown\nname: Bob  open\n+error: no server with key: " +
                std::to_string(keyOf(other)) + " was found for removal\n> number of servers: 1\n");
  EXPECT_EQ(shared.context.registry.totalCount(), 1u);
}

TEST_F(Registration, NotFoundLineGoesToTheErrorStream) {
  shutdown(requestBody(hostStrings(kMelee, "Bob")));
  EXPECT_EQ(t.console.err(),
            "+error: no server with key: " + std::to_string(keyOf(hostStrings(kMelee, "Bob"))) +
                " was found for removal\n");
  EXPECT_EQ(t.console.out(), "* server shutdown\nname: Bob  open\n> number of servers: 0\n");
}

TEST_F(Registration, LongNameIsPrintedWholeButStoredCut) {
  std::string name(2000, 'n');
  name += std::string(1000, 'm');
  auto strings = hostStrings(kMelee, name);
  registration(requestBody(strings));
  EXPECT_NE(t.console.out().find("name: " + name + " "), std::string::npos);
  const auto& record = t.context.registry.begin(ServerType::Melee)->second;
  EXPECT_EQ(record.fields[kNameField].length(), kFieldCapacity);
  strings[kNameField] = name.substr(0, 2048);
  EXPECT_EQ(t.context.registry.begin(ServerType::Melee)->first, keyOf(strings));
}

TEST_F(Registration, HostStringsCannotForgeConsoleLines) {
  const std::string forged = "Bob\n# server with key: 1 was removed from list\x1B[2J";
  auto strings = hostStrings(kMelee, forged);
  strings[6] = "x\r\ny";
  registration(requestBody(strings));
  const std::string out = t.console.out();
  EXPECT_NE(out.find("name: Bob?# server with key: 1 was removed from list?[2J  x??y\n"),
            std::string::npos);
  // What is stored keeps the host's bytes.
  EXPECT_EQ(t.context.registry.begin(ServerType::Melee)->second.fields[kNameField],
            testing::makeRecord(strings).fields[kNameField]);
}

TEST_F(Registration, NonAsciiNamesPrintAsUtf8) {
  registration(requestBody(hostStrings(kMelee, "J\xC3\xBCrgen \xF0\x9F\x8E\xAE")));
  EXPECT_NE(t.console.out().find("name: J\xC3\xBCrgen \xF0\x9F\x8E\xAE "), std::string::npos);
}

TEST_F(Registration, NewHostsAreRefusedWhenTheListIsFullButRefreshesAreNot) {
  ServerRegistry& registry = t.context.registry;
  const auto known = hostStrings(kMelee, "Known");
  registration(requestBody(known));
  for (ServerKey key = 1; registry.totalCount() < kMaxServers; ++key) {
    registry.insert(ServerType::GetTheQuorv, key, ServerRecord{});
  }
  registration(requestBody(hostStrings(kMelee, "Newcomer")));
  EXPECT_EQ(t.console.err(), "+error: server list is full\n");
  EXPECT_EQ(registry.totalCount(), kMaxServers);
  EXPECT_EQ(registry.size(ServerType::Melee), 1u);

  t.now += 60;
  registration(requestBody(known));
  EXPECT_EQ(registry.begin(ServerType::Melee)->second.registrationTime, t.now);
  EXPECT_EQ(t.console.err(), "+error: server list is full\n");
  // Once one leaves, a newcomer fits again.
  shutdown(requestBody(known));
  registration(requestBody(hostStrings(kMelee, "Newcomer")));
  EXPECT_EQ(registry.size(ServerType::Melee), 1u);
  EXPECT_EQ(registry.totalCount(), kMaxServers);
}

}  // namespace
}  // namespace dirserver

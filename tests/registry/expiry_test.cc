#include "registry/expiry.h"

#include <gtest/gtest.h>

#include "registry/registration.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

void add(testing::TestContext& t, ServerType type, ServerKey key, std::string name,
         std::int64_t at) {
  t.context.registry.insert(
      type, key,
      testing::makeRecord({"p", "f", name, "", "", "", ""}, static_cast<std::int32_t>(at)));
}

TEST(Expiry, DropsRecordsOlderThanADayInTypeAndKeyOrder) {
  testing::TestContext t;
  expireServers(t.context);  // nothing to do, nothing printed
  add(t, ServerType::TeamMelee, 1, "Team", t.now - 90000);
  add(t, ServerType::GetTheQuorv, 9, "Nine", t.now - 86401);
  add(t, ServerType::GetTheQuorv, 3, "Three", t.now - 90000);
  add(t, ServerType::GetTheQuorv, 5, "Exactly a day", t.now - 86400);
  add(t, ServerType::Melee, 7, "Future", t.now + 5000);  // the clock was set back
  expireServers(t.context);
  expireServers(t.context);  // nothing left to expire
  EXPECT_EQ(t.console.out(),
            "*auto-cleaning server: Three\n*auto-cleaning server: Nine\n"
            "*auto-cleaning server: Team\n> number of servers: 2\n");
  EXPECT_EQ(t.context.registry.size(ServerType::GetTheQuorv), 1u);
  EXPECT_EQ(t.context.registry.size(ServerType::Melee), 1u);
}

TEST(Expiry, NamesFromTheFileAreShownSafelyOrNotAtAll) {
  testing::TestContext t;
  ServerRecord nameless = testing::makeRecord({"p", "f", "", "", "", "", ""}, 0);
  nameless.fields[kNameField].data = {0x41};  // one byte: no whole code unit
  ServerRecord odd = testing::makeRecord({"p", "f", "Ab\x1B", "", "", "", ""}, 0);
  odd.fields[kNameField].data.push_back('Z');  // an odd last byte is dropped
  t.context.registry.insert(ServerType::Melee, 1, nameless);
  t.context.registry.insert(ServerType::Melee, 2, odd);
  expireServers(t.context);
  EXPECT_EQ(t.console.out(), "*auto-cleaning server: Ab?\n> number of servers: 0\n");
}

TEST(Expiry, AgeIsModularAcrossThe2038Wrap) {
  testing::TestContext t;
  add(t, ServerType::Melee, 1, "Old", 0x7FFFFFF0);
  t.now = std::int64_t{0x7FFFFFF0} + 2 * 86400;
  add(t, ServerType::Melee, 2, "Young",
      static_cast<std::int32_t>(static_cast<std::uint32_t>(t.now - 100)));
  expireServers(t.context);
  EXPECT_EQ(t.console.out(), "*auto-cleaning server: Old\n> number of servers: 1\n");
}

// Sets the wall clock `by` seconds forward (back when negative) without time passing.
void stepWallClock(testing::TestContext& t, std::int64_t by) {
  t.now += by;
  t.stepped += by;
}

TEST(Expiry, HostsAgeByTheMonotonicClockWhateverTheWallClockDoes) {
  testing::TestContext t;
  constexpr std::int64_t kDay = 86400;
  const auto registerHost = [&](const char* name, PeerAddress from = kUnknownAddress) {
    return handleRegistration(t.context,
                              testing::requestBody(testing::hostStrings(kServerTypePaths[0], name)),
                              from);
  };
  // Loaded an hour old: its remaining time is taken from the stored time once, at load.
  add(t, ServerType::Melee, 1, "Loaded", t.now - 3600);
  anchorHostAges(t.context);
  registerHost("Registered");
  const std::size_t registered = t.context.registry.totalCount();
  ASSERT_EQ(registered, 2u);

  // Two days forward: nobody is dropped, and the step is told once.
  stepWallClock(t, 2 * kDay);
  expireServers(t.context);
  expireServers(t.context);
  EXPECT_EQ(t.context.registry.totalCount(), registered);
  EXPECT_EQ(t.console.err(),
            "+warning: the wall clock stepped forward by 2 days 00:00:00; hosts keep aging by the "
            "monotonic clock\n");
  // Two days back (undoing it) and two more back, a host registered meanwhile, then the
  // correction: it is not dropped for the time its record shows.
  stepWallClock(t, -4 * kDay);
  expireServers(t.context);
  registerHost("Meanwhile");
  stepWallClock(t, 2 * kDay);
  expireServers(t.context);
  EXPECT_EQ(t.context.registry.totalCount(), registered + 1);
  EXPECT_NE(t.console.err().find("stepped back by 4 days 00:00:00"), std::string::npos);
  // Drift below a minute is no step.
  const std::string told = t.console.err();
  stepWallClock(t, 59);
  expireServers(t.context);
  EXPECT_EQ(t.console.err(), told);

  // Time itself still ages them: the loaded host goes a day after its stored time, the others a
  // day after they registered.
  t.now += kDay - 3600 + 1;
  expireServers(t.context);
  EXPECT_EQ(t.context.registry.totalCount(), registered);
  EXPECT_NE(t.console.out().find("*auto-cleaning server: Loaded\n"), std::string::npos);
  t.now += 3600;
  expireServers(t.context);
  EXPECT_EQ(t.context.registry.totalCount(), 0u);

  // Owner silence runs on the same clock: 11 minutes of wall clock step give another address
  // nothing, 10 minutes of time do.
  constexpr PeerAddress kOwner = 0x0100007F, kOther = 0x0200007F;
  registerHost("Owned", kOwner);
  stepWallClock(t, 11 * 60);
  registerHost("Owned", kOther);
  EXPECT_EQ(t.context.registry.countFrom(kOther), 0u);
  t.now += kOwnerSilenceSeconds;
  registerHost("Owned", kOther);
  EXPECT_EQ(t.context.registry.countFrom(kOther), 1u);
}

}  // namespace
}  // namespace dirserver

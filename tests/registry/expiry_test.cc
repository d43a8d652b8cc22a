#include "registry/expiry.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace dirserver

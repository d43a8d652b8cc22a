#include "registry/expiry.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::makeRecord;
using testing::TestContext;

class Expiry : public ::testing::Test {
 protected:
  void add(ServerType type, ServerKey key, std::string name, std::int64_t registeredAt) {
    t.context.registry.insert(
        type, key,
        makeRecord({"p", "f", name, "", "", "", ""}, static_cast<std::int32_t>(registeredAt)));
  }

  TestContext t;
};

TEST_F(Expiry, ADayExactlyStaysOneSecondMoreGoes) {
  add(ServerType::Melee, 1, "Stays", t.now - 86400);
  add(ServerType::Melee, 2, "Goes", t.now - 86401);
  add(ServerType::Melee, 3, "Future", t.now + 5000);  // the clock was set back
  expireServers(t.context);
  EXPECT_EQ(t.console.out(), "*auto-cleaning server: Goes\n> number of servers: 2\n");
  EXPECT_EQ(t.context.registry.size(ServerType::Melee), 2u);
  EXPECT_EQ(t.context.registry.find(ServerType::Melee, 2),
            t.context.registry.end(ServerType::Melee));
}

TEST_F(Expiry, RemovesInTypeThenKeyOrderWithOneCountLine) {
  add(ServerType::TeamMelee, 1, "Team", t.now - 90000);
  add(ServerType::GetTheQuorv, 9, "Nine", t.now - 90000);
  add(ServerType::GetTheQuorv, 3, "Three", t.now - 90000);
  add(ServerType::GetTheQuorv, 5, "Fresh", t.now);
  expireServers(t.context);
  EXPECT_EQ(t.console.out(),
            "*auto-cleaning server: Three\n"
            "*auto-cleaning server: Nine\n"
            "*auto-cleaning server: Team\n"
            "> number of servers: 1\n");
}

TEST_F(Expiry, NothingExpiredPrintsNothing) {
  expireServers(t.context);
  add(ServerType::Melee, 1, "Fresh", t.now - 10);
  expireServers(t.context);
  EXPECT_EQ(t.console.out(), "");
  EXPECT_EQ(t.context.registry.totalCount(), 1u);
}

TEST_F(Expiry, NamelessRecordIsRemovedWithoutItsLine) {
  ServerRecord record = makeRecord({"p", "f", "", "", "", "", ""}, 0);
  record.fields[kNameField].data = {0x41};  // one byte: no whole code unit
  t.context.registry.insert(ServerType::Melee, 1, record);
  expireServers(t.context);
  EXPECT_EQ(t.console.out(), "> number of servers: 0\n");
}

TEST_F(Expiry, OddNameLengthDropsTheLastByteAndControlsAreMasked) {
  ServerRecord record = makeRecord({"p", "f", "Ab\x1B", "", "", "", ""}, 0);
  record.fields[kNameField].data.push_back('Z');
  t.context.registry.insert(ServerType::Melee, 1, record);
  expireServers(t.context);
  EXPECT_EQ(t.console.out(), "*auto-cleaning server: Ab?\n> number of servers: 0\n");
}

TEST_F(Expiry, AgeIsModularAcrossThe2038Wrap) {
  // Registered just before the 32-bit clock wraps, swept two days later, after it wrapped.
  const std::int64_t registered = 0x7FFFFFF0;
  add(ServerType::Melee, 1, "Old", registered);
  t.now = registered + 2 * 86400;
  expireServers(t.context);
  EXPECT_EQ(t.context.registry.totalCount(), 0u);
  add(ServerType::Melee, 2, "Young", static_cast<std::int32_t>(static_cast<std::uint32_t>(t.now)));
  t.now += 100;
  expireServers(t.context);
  EXPECT_EQ(t.context.registry.totalCount(), 1u);
}

}  // namespace
}  // namespace dirserver

#include "persist/list_saver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/reactor.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;

// The saver's thread writes while the loop goes on changing the registry; its report comes back
// through the reactor, and the file holds exactly the snapshot it was handed.
TEST(ListSaver, WritesTheSnapshotOnItsThreadAndReportsThroughTheLoop) {
  testing::TestContext t;
  Reactor reactor;
  std::vector<SaveOutcome> reports;
  auto saver = std::make_unique<BackgroundSaver>(
      t.context.listFile, [&reactor, &reports](SaveOutcome outcome, auto) {
        reactor.post([&reports, outcome] { reports.push_back(outcome); });
      });
  for (int i = 0; i < 20; ++i) {
    t.context.registry.insert(ServerType::Melee, static_cast<ServerKey>(i),
                              testing::makeRecord({"p", "f", "Host" + std::to_string(i), "", "",
                                                   "", ""}));
  }
  saver->save(std::make_shared<RegistrySnapshot>(t.context.registry.snapshot()));
  // Meanwhile the loop changes the registry; the save in flight must not see it.
  t.context.registry.erase(ServerType::Melee, t.context.registry.begin(ServerType::Melee));
  while (reports.empty()) reactor.runOnce(1s);
  EXPECT_EQ(reports, (std::vector<SaveOutcome>{SaveOutcome::Saved}));
  EXPECT_EQ(testing::readFile(t.context.listFile).size(), 12 + 20 * kFileRecordSize);
  // A save handed over just before the saver goes is finished, not dropped.
  saver->save(std::make_shared<RegistrySnapshot>(t.context.registry.snapshot()));
  saver.reset();
  reactor.runOnce(0s);
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_EQ(testing::readFile(t.context.listFile).size(), 12 + 19 * kFileRecordSize);
}

}  // namespace
}  // namespace dirserver

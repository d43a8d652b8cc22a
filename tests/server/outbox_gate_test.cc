// The outbox is durable no later than the log: each batch reaches the log's saver only once the
// outbox holds what was put in it before the batch, and every call keeps its order.
#include "server/outbox_gate.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace dirserver {
namespace {

class LogSaver final : public Saver {
 public:
  LogSaver(Env& env, std::string outboxPath) : env_(env), path_(std::move(outboxPath)) {}
  void append(std::uint64_t batch, std::vector<HostChange>) override {
    calls.push_back("append " + std::to_string(batch) + " with " +
                    std::to_string(loadOutbox(env_, path_).entries.size()) + " in the outbox");
  }
  void checkpoint(SnapshotPtr, bool last) override {
    calls.push_back(last ? "last" : "checkpoint");
  }
  void retry() override { calls.push_back("retry"); }
  void hurry() override { calls.push_back("hurry"); }

  std::vector<std::string> calls;

 private:
  Env& env_;
  std::string path_;
};

// Holds the jobs until run() is asked, as a busy writer thread would.
class HeldRunner final : public TaskRunner {
 public:
  explicit HeldRunner(std::vector<std::function<void()>>& jobs) : jobs_(jobs) {}
  void run(std::function<void()> job) override { jobs_.push_back(std::move(job)); }

 private:
  std::vector<std::function<void()>>& jobs_;
};

TEST(OutboxGate, ABatchReachesTheLogOnlyAfterTheOutboxHoldsItsChanges) {
  testing::TestContext t;
  const std::string path = (t.dir / "cluster_outbox").string();
  Outbox outbox(t.env, path, 10);
  LogSaver log(t.env, path);
  std::vector<std::function<void()>> jobs;
  std::vector<std::string> failures;
  OutboxGate gate(log, outbox, std::make_unique<HeldRunner>(jobs),
                  [&](const std::string& error) { failures.push_back(error); });

  const auto runJobs = [&jobs] {
    for (auto& job : jobs) job();
    jobs.clear();
  };
  outbox.put("1.aa", Bytes{1});
  gate.append(1, {});
  gate.checkpoint(nullptr, false);
  // Nothing reaches the log's saver on the caller's thread.
  EXPECT_TRUE(log.calls.empty());
  runJobs();
  outbox.put("1.bb", Bytes{2});
  gate.append(2, {});
  gate.retry();
  gate.hurry();
  runJobs();
  EXPECT_EQ(log.calls,
            (std::vector<std::string>{"append 1 with 1 in the outbox", "checkpoint",
                                      "append 2 with 2 in the outbox", "retry", "hurry"}));
  EXPECT_TRUE(failures.empty());
}

}  // namespace
}  // namespace dirserver

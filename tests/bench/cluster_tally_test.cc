#include "cluster_tally.h"

#include <gtest/gtest.h>

namespace dirserver::bench {
namespace {

using namespace std::chrono_literals;

const ClusterClock::time_point t0{};

TEST(LagBookTest, EachOtherNodeGivesTheLagOfItsFirstListingThatHoldsTheProbe) {
  LagBook book(3);
  book.sending("a", 0);
  book.acknowledged("a", t0 + 100ms);
  book.listed(0, t0 + 101ms, {"a"});  // its own node: no lag
  book.listed(1, t0 + 90ms, {"other"});
  book.listed(1, t0 + 130ms, {"other", "a"});
  book.listed(1, t0 + 500ms, {"a"});  // seen already
  EXPECT_EQ(book.unseen(), 1u);       // node 2
  book.listed(2, t0 + 145ms, {"a"});
  EXPECT_EQ(book.unseen(), 0u);
  EXPECT_EQ(book.lags(0), std::vector<double>{});
  EXPECT_EQ(book.lags(1), std::vector<double>{30});
  EXPECT_EQ(book.lags(2), std::vector<double>{45});
  EXPECT_EQ(book.lags().size(), 2u);
}

TEST(LagBookTest, AProbeListedBeforeItsAcknowledgementIsRecordedCountsAsNoLagAndAnUnansweredOneNotAtAll) {
  LagBook book(2);
  book.sending("early", 0);
  book.listed(1, t0 + 10ms, {"early"});
  book.acknowledged("early", t0 + 12ms);
  book.sending("unanswered", 1);
  book.listed(0, t0 + 20ms, {"unanswered"});
  book.listed(1, t0 + 20ms, {"stranger"});  // never sent: ignored
  EXPECT_EQ(book.lags(), std::vector<double>{0});
  EXPECT_EQ(book.unseen(), 0u);
}

HostFate fate(bool present, int node, ClusterClock::duration ackedAt, bool settled = true) {
  return {present, settled, node, t0 + ackedAt};
}

TEST(TallyKillTest, AChangeIsLostOnlyWhereNoNodeListsItAsItWasLeft) {
  const std::map<std::string, HostFate> fates{
      {"everywhere", fate(true, 0, 1s)},       {"on one node", fate(true, 1, 1s)},
      {"nowhere", fate(true, 1, 1s)},          {"shut down", fate(false, 2, 1s)},
      {"shut down on one", fate(false, 2, 1s)}, {"still everywhere", fate(false, 2, 1s)},
      {"in doubt", fate(true, 0, 1s, false)}};
  const std::vector<std::set<std::string>> listed{
      {"everywhere", "on one node", "still everywhere", "shut down on one"},
      {"everywhere", "still everywhere", "shut down on one"},
      {"everywhere", "still everywhere"}};
  const KillTally tally = tallyKill(fates, listed, {-1, t0 + 2s, 1s});
  EXPECT_EQ(tally.judged, 6u);
  EXPECT_EQ(tally.diverged, 2u);  // "on one node", "shut down on one"
  EXPECT_EQ(tally.lost, 2u);      // "nowhere", "still everywhere"
  EXPECT_EQ(tally.lostShutdowns, 1u);
  EXPECT_EQ(tally.inFlight, 0u);  // a NATS server's kill has no commit in flight
  EXPECT_EQ(tally.lostAges, (std::vector<double>{1000, 1000}));
  EXPECT_FALSE(tally.converged());
}

TEST(TallyKillTest, OnlyTheKilledNodesYoungestChangesAreItsCommitInFlight) {
  const std::map<std::string, HostFate> fates{
      {"victim young", fate(true, 1, 990ms)},
      {"victim old", fate(true, 1, 900ms)},
      {"peer young", fate(true, 0, 995ms)},
      {"kept", fate(true, 1, 999ms)}};
  const std::vector<std::set<std::string>> listed{{"kept"}, {"kept"}};
  const KillTally tally = tallyKill(fates, listed, {1, t0 + 1s, 20ms});
  EXPECT_EQ(tally.lost, 3u);
  EXPECT_EQ(tally.inFlight, 1u);
  EXPECT_EQ(tally.inFlightAges, std::vector<double>{10});
  EXPECT_EQ(tally.lostAges, (std::vector<double>{5, 100}));  // by name: peer, then victim old
  EXPECT_EQ(tally.lostBy, (std::set<int>{0, 1}));
  EXPECT_TRUE(tallyKill({{"kept", fate(true, 1, 999ms)}}, listed, {1, t0 + 1s, 20ms}).converged());
}

using Samples = std::map<std::string, double>;

// A histogram's samples with cumulative counts for the bounds 0.005, 0.025, 0.1 and +Inf.
Samples histogram(const std::string& family, double to5ms, double to25ms, double to100ms) {
  return {{family + "_bucket{le=\"0.005\"}", to5ms},
          {family + "_bucket{le=\"0.025\"}", to5ms + to25ms},
          {family + "_bucket{le=\"0.1\"}", to5ms + to25ms + to100ms},
          {family + "_bucket{le=\"+Inf\"}", to5ms + to25ms + to100ms},
          {family + "_count", to5ms + to25ms + to100ms}};
}

TEST(WindowQuantilesTest, PoolTheCountsEveryNodeGainedInTheWindowAndSayWhenNoNodeHasTheHistogram) {
  const std::string family = "replicated_seconds";
  const Samples other{{"dirserver_hosts", 3}};
  // Before the window node A had seen 100 fast ones; in it, 10 of up to 25 ms. Node B has none.
  EXPECT_EQ(windowQuantilesCell({histogram(family, 100, 0, 0), other},
                                {histogram(family, 100, 10, 0), other}, family),
            "<= 25.0 / <= 25.0");
  // 99 fast ones on A and 2 slow ones on B in the window: the slow ones make the p99.
  EXPECT_EQ(windowQuantilesCell({histogram(family, 0, 0, 0), histogram(family, 0, 0, 0)},
                                {histogram(family, 99, 0, 0), histogram(family, 0, 0, 2)}, family),
            "<= 5.00 / <= 100");
  EXPECT_EQ(windowQuantilesCell({histogram(family, 5, 0, 0)}, {histogram(family, 5, 0, 0)}, family),
            "-");
  EXPECT_EQ(windowQuantilesCell({other, other}, {other, other}, family), "n/a");
}

}  // namespace
}  // namespace dirserver::bench

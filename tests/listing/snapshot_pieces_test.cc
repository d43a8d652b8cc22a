// The registry in pieces: every snapshot they publish is the listing built whole, and a change
// makes anew only the piece that holds its host.
#include "listing/snapshot_pieces.h"

#include <gtest/gtest.h>

#include <random>

#include "registry/server_key.h"
#include "support/pieces_script.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

TEST(SnapshotPieces, RandomChangesRebuildOnlyTheirPieceAndTheListingStaysWhole) {
  std::mt19937 random(22);
  // Every starting size with every kind of field, a hundred changes each.
  for (unsigned start = 0; start < 32; ++start) {
    Bytes script{static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(random())};
    for (int step = 0; step < 100; ++step) script.push_back(static_cast<std::uint8_t>(random()));
    EXPECT_EQ(testing::runPiecesScript(script), "") << "start " << start;
  }
}

TEST(SnapshotPieces, EntryCountKeepsItsLow16BitsPastTheWidthOfTheHeader) {
  ServerRegistry registry;
  for (std::uint32_t i = 0; i < 65'600; ++i) {
    ServerRecord host = testing::makeRecord({"p", std::to_string(i), "", "", "", "", ""});
    const ServerKey key = computeServerKey(host.fields);
    registry.insert(ServerType::Melee, key, std::move(host));
  }
  const PublishedPtr published = SnapshotPieces(registry).publish(registry.version(), 0);
  Bytes joined;
  for (ByteView part : published->replyParts) joined.insert(joined.end(), part.begin(), part.end());
  EXPECT_EQ(joined, buildListReply(registry));
  EXPECT_EQ(loadU16(joined.data() + 14), (65'600 + 4) & 0xFFFF);
  EXPECT_EQ(loadU32(joined.data()), joined.size());
}

}  // namespace
}  // namespace dirserver

// The value a node publishes for a host, and the key it publishes it under.
#include "cluster/host_state.h"

#include <gtest/gtest.h>

#include "persist/checksum.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

HostState sampleState() {
  HostState state;
  state.type = ServerType::TeamMelee;
  state.record = testing::makeRecord(
      testing::hostStrings(kServerTypePaths[index(ServerType::TeamMelee)], "Quorv Den"),
      -123456);  // a time after 2038 in its stored form
  state.record.fields[5].data.assign(kFieldCapacity, 0xfe);  // a field at its full capacity
  state.record.fields[6].data.clear();
  state.owner = 0x0100007f;
  state.ownerSeenAt = 1'700'000'000;
  state.node = "node-b";
  state.stampMillis = 1'700'000'000'123;
  return state;
}

// Re-seals a value edited in place, so that only the edit is what a reader can object to.
void reseal(Bytes& value) {
  value.resize(value.size() - kHostStateChecksumBytes);
  putU32(value, crc32c(value));
}

TEST(HostState, EveryFactSurvivesTheRoundTripTombstonesIncluded) {
  for (const bool removed : {false, true}) {
    HostState state = sampleState();
    state.removed = removed;
    HostState back;
    ASSERT_EQ(decodeHostState(encodeHostState(state), back), "");
    EXPECT_EQ(back, state);
  }
  // Nothing but defaults: empty fields and name.
  HostState empty;
  HostState back = sampleState();
  ASSERT_EQ(decodeHostState(encodeHostState(empty), back), "");
  EXPECT_EQ(back, empty);
}

TEST(HostState, DamagedOrShortValuesAreRefusedWithTheirReason) {
  const Bytes value = encodeHostState(sampleState());
  HostState state;
  // Cut anywhere: never read past the end, never taken for a value.
  for (std::size_t size = 0; size < value.size(); ++size) {
    const Bytes cut(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(size));
    const std::string why = decodeHostState(cut, state);
    EXPECT_TRUE(why.starts_with("truncated at byte ") || why == "checksum mismatch")
        << size << ": " << why;
  }
  // One bit flipped anywhere after the format byte.
  for (std::size_t at = 1; at < value.size(); at += 7) {
    Bytes flipped = value;
    flipped[at] ^= 0x10;
    EXPECT_FALSE(decodeHostState(flipped, state).empty()) << at;
  }
  Bytes format = value;
  format[0] = 7;
  EXPECT_EQ(decodeHostState(format, state), "unknown format 7");

  Bytes type = value;
  type[2] = 9;
  reseal(type);
  EXPECT_EQ(decodeHostState(type, state), "unknown game type 9");

  Bytes longer = value;
  longer.push_back(0);
  EXPECT_EQ(decodeHostState(longer, state), "1 bytes after the end");

  // A field that claims more than a host may store, though the value is whole and sealed.
  HostState big = sampleState();
  big.record.fields = {};
  Bytes oversized = encodeHostState(big);
  oversized.resize(oversized.size() - kHostStateChecksumBytes - 2 * kFieldCount);
  putU16(oversized, kFieldCapacity + 2);
  oversized.insert(oversized.end(), kFieldCapacity + 2, 0x41);
  for (std::size_t i = 1; i < kFieldCount; ++i) putU16(oversized, 0);
  putU32(oversized, 0);
  reseal(oversized);
  EXPECT_EQ(decodeHostState(oversized, state), "field 0 holds 4098 bytes");
}

TEST(ClusterKey, EveryNodeDerivesTheSameKeyAndOnlyForTheSameHost) {
  ServerFields fields;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    fields[i].data.assign(i, static_cast<std::uint8_t>('a' + i));
  }
  // Fixed: nodes of different builds must agree on it (SHA-256 over the type and the fields, each
  // after its 16-bit length).
  EXPECT_EQ(clusterKey(ServerType::Melee, fields), "1.015aea8255031f02f1590fb383d07d4a");
  EXPECT_NE(clusterKey(ServerType::TeamMelee, fields), clusterKey(ServerType::Melee, fields));
  // Bytes moved from one field to the next make another host (the plain key sum would not tell).
  ServerFields moved = fields;
  moved[1].data.push_back(moved[2].data.front());
  moved[2].data.erase(moved[2].data.begin());
  EXPECT_NE(clusterKey(ServerType::Melee, moved), clusterKey(ServerType::Melee, fields));
}

}  // namespace
}  // namespace dirserver

#include "common/byte_order.h"

#include <gtest/gtest.h>

namespace dirserver {
namespace {

TEST(ByteOrder, WritesLittleEndian) {
  Bytes out;
  putU16(out, 0x1234);
  putU32(out, 0x89ABCDEF);
  EXPECT_EQ(out, (Bytes{0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89}));
  storeU32(out.data(), 0x01020304);
  EXPECT_EQ(out, (Bytes{0x04, 0x03, 0x02, 0x01, 0xAB, 0x89}));
  EXPECT_EQ(loadU32(out.data() + 2), 0x89AB0102u);
  EXPECT_EQ(loadU16(out.data() + 4), 0x89ABu);
}

TEST(ByteReader, ShortReadFailsAndConsumesNothing) {
  const Bytes bytes{1, 0, 2, 0, 0};
  ByteReader reader(bytes);
  std::uint16_t small = 0;
  std::uint32_t word = 0;
  ASSERT_TRUE(reader.readU16(small));
  EXPECT_EQ(small, 1);
  EXPECT_FALSE(reader.readU32(word));
  EXPECT_EQ(reader.offset(), 2u);
  ByteView view;
  EXPECT_FALSE(reader.readBytes(4, view));
  ASSERT_TRUE(reader.readBytes(3, view));
  EXPECT_EQ(reader.remaining(), 0u);
  std::uint8_t byte = 0;
  EXPECT_FALSE(reader.readU8(byte));
}

}  // namespace
}  // namespace dirserver

#include "registry/server_key.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::rawField;

std::string trace(const ServerFields& fields, ServerKey& key) {
  testing::CapturedConsole console;
  key = computeServerKey(fields, console.console().out);
  return console.out();
}

TEST(ServerKey, SumsWholeAndPaddedWordsWithTheirTrace) {
  ServerFields as;
  as.fill(rawField({0x41, 0x00}));
  ServerKey key = 0;
  std::string expected = ">> computing checksum: \n";
  for (int i = 0; i < 7; ++i) expected += std::to_string(i) + ": 65[padding] \n";
  EXPECT_EQ(trace(as, key), expected);
  EXPECT_EQ(key, 455u);

  const ServerFields mixed = {
      rawField({0x41, 0x00, 0x42, 0x00, 0x43, 0x00, 0x44, 0x00}),  // "ABCD": two words
      rawField({0x41, 0x00, 0x42, 0x00, 0x43, 0x00}),              // "ABC": a word and a tail
      rawField({}),                                                // nothing at all
      rawField({0xFF}),                                            // one byte
      rawField({0x01, 0x02, 0x03}),                                // three bytes, low 24 bits
      rawField({0x00, 0x00, 0x00, 0x01}),
      rawField({0x41, 0x00})};
  EXPECT_EQ(trace(mixed, key),
            ">> computing checksum: \n0: 4325441 4456515 \n1: 4325441 67[padding] \n2: \n"
            "3: 255[padding] \n4: 197121[padding] \n5: 16777216 \n6: 65[padding] \n");
  EXPECT_EQ(key, 4325441u + 4456515u + 4325441u + 67u + 255u + 197121u + 16777216u + 65u);
}

TEST(ServerKey, WrapsAroundAndIgnoresFieldOrder) {
  ServerFields fields;
  fields[0].data.assign(kFieldCapacity, 0xFF);  // 1024 words of 0xFFFFFFFF, no tail
  fields[1] = rawField({0x02, 0x00, 0x00, 0x00});
  ServerKey key = 0;
  EXPECT_EQ(trace(fields, key).find("[padding]"), std::string::npos);
  EXPECT_EQ(key, static_cast<ServerKey>(2u - 1024u));
  std::swap(fields[0], fields[6]);
  std::swap(fields[1], fields[3]);
  EXPECT_EQ(computeServerKey(fields), key);
  fields[3].data.push_back(1);
  EXPECT_NE(computeServerKey(fields), key);
}

}  // namespace
}  // namespace dirserver

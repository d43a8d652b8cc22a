#include "registry/server_key.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::CapturedConsole;
using testing::rawField;

ServerFields sevenTimes(const ServerField& field) {
  ServerFields fields;
  fields.fill(field);
  return fields;
}

std::string trace(const ServerFields& fields, ServerKey* key = nullptr) {
  CapturedConsole console;
  const ServerKey computed = computeServerKey(fields, console.console().out);
  if (key != nullptr) *key = computed;
  return console.out();
}

TEST(ServerKey, SevenSingleCharactersSumTheirPaddedWords) {
  ServerKey key = 0;
  const std::string text = trace(sevenTimes(rawField({0x41, 0x00})), &key);
  EXPECT_EQ(key, 455u);
  std::string expected = ">> computing checksum: \n";
  for (int i = 0; i < 7; ++i) expected += std::to_string(i) + ": 65[padding] \n";
  EXPECT_EQ(text, expected);
}

TEST(ServerKey, WholeWordsAndTailOfEachField) {
  ServerFields fields;
  fields[0] = rawField({0x41, 0x00, 0x42, 0x00, 0x43, 0x00, 0x44, 0x00});  // "ABCD"
  fields[1] = rawField({0x41, 0x00, 0x42, 0x00, 0x43, 0x00});              // "ABC"
  fields[2] = rawField({});
  fields[3] = rawField({0xFF});
  fields[4] = rawField({0x01, 0x02, 0x03});
  fields[5] = rawField({0x00, 0x00, 0x00, 0x01});
  fields[6] = rawField({0x41, 0x00});
  ServerKey key = 0;
  EXPECT_EQ(trace(fields, &key),
            ">> computing checksum: \n"
            "0: 4325441 4456515 \n"
            "1: 4325441 67[padding] \n"
            "2: \n"
            "3: 255[padding] \n"
            "4: 197121[padding] \n"
            "5: 16777216 \n"
            "6: 65[padding] \n");
  EXPECT_EQ(key, 4325441u + 4456515u + 4325441u + 67u + 255u + 197121u + 16777216u + 65u);
}

TEST(ServerKey, FullFieldIsWholeWordsAndSumWrapsAround) {
  ServerFields fields;
  fields[0].data.assign(kFieldCapacity, 0xFF);  // 1024 words of 0xFFFFFFFF
  fields[1] = rawField({0x02, 0x00, 0x00, 0x00});
  const std::string text = trace(fields);
  // 1024 * (2^32 - 1) + 2 wraps to 2 - 1024.
  EXPECT_EQ(computeServerKey(fields), static_cast<ServerKey>(2u - 1024u));
  EXPECT_EQ(text.find("[padding]"), std::string::npos);
}

TEST(ServerKey, DependsOnlyOnFieldContentsNotOrderTimeOrSpareBytes) {
  const ServerRecord a =
      testing::makeRecord({"/Aviantorvale/Melee Game", "x", "Bob", "odd", "", "a", "zz"}, 5);
  ServerRecord b = a;
  std::swap(b.fields[1], b.fields[3]);
  std::swap(b.fields[0], b.fields[6]);
  b.registrationTime = 99;
  EXPECT_EQ(computeServerKey(a.fields), computeServerKey(b.fields));
  ServerRecord c = a;
  c.fields[2].data.push_back(1);
  EXPECT_NE(computeServerKey(c.fields), computeServerKey(a.fields));
}

TEST(ServerKey, PrintsNothingWithoutTrace) {
  CapturedConsole console;
  computeServerKey(sevenTimes(rawField({0x41, 0x00})), nullptr);
  EXPECT_EQ(console.out(), "");
}

}  // namespace
}  // namespace dirserver

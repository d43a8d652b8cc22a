#include "common/text.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/console.h"

namespace dirserver {
namespace {

Bytes units(std::initializer_list<std::uint16_t> codeUnits) {
  Bytes out;
  for (std::uint16_t unit : codeUnits) putU16(out, unit);
  return out;
}

TEST(Text, Utf16ToDisplayTextAndBack) {
  EXPECT_EQ(toDisplayText(units({'A', 0xE9, 0x20AC, 0xD83D, 0xDE00})),
            "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(toUtf16le("A\xC3\xA9\xF0\x9F\x98\x80"), units({'A', 0xE9, 0xD83D, 0xDE00}));
  // Unpaired surrogates, in either order or at the end, become U+FFFD.
  EXPECT_EQ(toDisplayText(units({0xD83D, 'x', 0xDE00, 0xD83D})),
            "\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD");
  // Empty only without a code unit: U+0000 is a byte, an odd last byte is no code unit.
  EXPECT_EQ(toDisplayText({}), "");
  EXPECT_EQ(toDisplayText(Bytes{0x41}), "");
  EXPECT_EQ(toDisplayText(units({0})), std::string(1, '\0'));
  EXPECT_EQ(toDisplayText(Bytes{0x41, 0x00, 0x42}), "A");
  // Malformed UTF-8 (cut short, overlong, a surrogate) becomes U+FFFD.
  EXPECT_EQ(toUtf16le("\xC3"), units({0xFFFD}));
  EXPECT_EQ(toUtf16le("\xC0\xAF"), units({0xFFFD, 0xFFFD}));
  EXPECT_EQ(toUtf16le("\xED\xA0\x80"), units({0xFFFD, 0xFFFD, 0xFFFD}));
}

TEST(Text, ConsoleTextMasksControlsAndStopsAtNul) {
  EXPECT_EQ(consoleText("Bob\n# server with key: 1 was removed"),
            "Bob?# server with key: 1 was removed");
  EXPECT_EQ(consoleText("\x1B[31mred\x7F"), "?[31mred?");
  // C1 controls U+0080-U+009F are masked, U+00A0 and above are not.
  EXPECT_EQ(consoleText(toDisplayText(units({0x85, 0x9F, 0xA0, 0xE9}))), "??\xC2\xA0\xC3\xA9");
  EXPECT_EQ(consoleText(std::string("ab\0cd", 5)), "ab");
}

TEST(Text, AsctimeHasTwoDigitDayEnglishNamesAndSurvives2038) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(asctimeText(1699174987), "Sun Nov 05 09:03:07 2023\n");
  EXPECT_EQ(asctimeText(2214129600), "Wed Feb 29 12:00:00 2040\n");
}

}  // namespace
}  // namespace dirserver

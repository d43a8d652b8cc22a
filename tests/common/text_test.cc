#include "common/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "common/console.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

Bytes units(std::initializer_list<std::uint16_t> codeUnits) {
  Bytes out;
  for (std::uint16_t unit : codeUnits) putU16(out, unit);
  return out;
}

TEST(DisplayText, ConvertsBasicAndSupplementaryCharactersToUtf8) {
  EXPECT_EQ(toDisplayText(units({'A', 0xE9, 0x20AC})), "A\xC3\xA9\xE2\x82\xAC");
  // U+1F600 as a surrogate pair.
  EXPECT_EQ(toDisplayText(units({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
  EXPECT_EQ(toUtf16le("A\xC3\xA9\xF0\x9F\x98\x80"), units({'A', 0xE9, 0xD83D, 0xDE00}));
}

TEST(DisplayText, UnpairedSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(toDisplayText(units({0xD83D})), "\xEF\xBF\xBD");
  EXPECT_EQ(toDisplayText(units({0xDE00, 'x'})), "\xEF\xBF\xBDx");
  EXPECT_EQ(toDisplayText(units({0xD83D, 'x', 0xD83D})), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

TEST(DisplayText, IsEmptyOnlyWithoutCodeUnits) {
  EXPECT_EQ(toDisplayText({}), "");
  // One odd byte is not a code unit.
  EXPECT_EQ(toDisplayText(Bytes{0x41}), "");
  // U+0000 still yields a byte, so a string of one NUL is not "empty".
  EXPECT_EQ(toDisplayText(units({0})), std::string(1, '\0'));
  // An odd last byte is dropped.
  EXPECT_EQ(toDisplayText(Bytes{0x41, 0x00, 0x42}), "A");
}

TEST(ConsoleText, ReplacesControlCharactersAndStopsAtNul) {
  EXPECT_EQ(consoleText("Bob\n# server with key: 1 was removed from list"),
            "Bob?# server with key: 1 was removed from list");
  EXPECT_EQ(consoleText("\x1B[31mred\x7F"), "?[31mred?");
  // C1 controls U+0080..U+009F, but not U+00A0 and above.
  EXPECT_EQ(consoleText(toDisplayText(units({0x85, 0x9F, 0xA0, 0xE9}))), "??\xC2\xA0\xC3\xA9");
  EXPECT_EQ(consoleText(std::string("ab\0cd", 5)), "ab");
}

TEST(Utf16, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(toUtf16le("\xFF"), units({0xFFFD}));
  EXPECT_EQ(toUtf16le("\xC3"), units({0xFFFD}));                          // cut short
  EXPECT_EQ(toUtf16le("\xC0\xAF"), units({0xFFFD, 0xFFFD}));              // overlong
  EXPECT_EQ(toUtf16le("\xED\xA0\x80"), units({0xFFFD, 0xFFFD, 0xFFFD}));  // a surrogate
}

class AsctimeText : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz != nullptr) saved_ = tz;
    hadTz_ = tz != nullptr;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (hadTz_) {
      ::setenv("TZ", saved_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::string saved_;
  bool hadTz_ = false;
};

TEST_F(AsctimeText, HasTwoDigitDayAndEnglishNames) {
  // 2023-11-05 09:03:07 UTC, a Sunday.
  EXPECT_EQ(asctimeText(1699174987), "Sun Nov 05 09:03:07 2023\n");
  EXPECT_EQ(asctimeText(0), "Thu Jan 01 00:00:00 1970\n");
}

TEST_F(AsctimeText, DatesAfter2038PrintCorrectly) {
  // 2040-02-29 12:00:00 UTC, a Wednesday, beyond the reach of a signed 32-bit clock.
  EXPECT_EQ(asctimeText(2214129600), "Wed Feb 29 12:00:00 2040\n");
}

}  // namespace
}  // namespace dirserver

#include "persist/bans_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "support/test_support.h"

namespace dirserver {
namespace {

Ipv4Range range(const char* text) {
  std::string error;
  return parseIpv4Range(text, error).value();
}

// A file as an operator leaves it: comments, blank lines, an editor's line ends, bad lines, and
// no line end after the last line.
constexpr std::string_view kHandEdited =
    "# bans of the directory\n"
    "\n"
    "10.0.0.0/8   spam   from   a range  \n"
    "  192.0.2.7\r\n"
    "10.1.2.3/8 a typing error\n"
    "198.51.100.0/24 bell \x07 in the reason\n"
    "10.0.0.0/8 repeated\n"
    "203.0.113.0/24 last, # not a comment";

TEST(BansFile, BadLinesAreNamedAndEveryOtherLineCounts) {
  const ParsedBans parsed = parseBans(kHandEdited);
  ASSERT_EQ(parsed.bans.size(), 3u);
  EXPECT_EQ(*parsed.bans.find(range("10.0.0.0/8")), "spam   from   a range");
  EXPECT_EQ(*parsed.bans.find(range("192.0.2.7")), "");
  EXPECT_EQ(*parsed.bans.find(range("203.0.113.0/24")), "last, # not a comment");
  ASSERT_EQ(parsed.bad.size(), 3u);
  EXPECT_EQ(parsed.bad[0].line, 5u);
  EXPECT_EQ(parsed.bad[0].why, "'10.1.2.3/8' has bits set past its prefix: 10.0.0.0/8?");
  EXPECT_EQ(parsed.bad[1].line, 6u);
  EXPECT_EQ(parsed.bad[1].why, "the reason holds a control character");
  EXPECT_EQ(parsed.bad[2].line, 7u);
  EXPECT_EQ(parsed.bad[2].why, "10.0.0.0/8 is banned on line 3 already");

  // At start: each bad line on the console, the rest in force; a file that is there but cannot
  // be read stops the start, no file at all bans nothing.
  testing::TestContext t;
  const std::string path = (t.dir / "bans.txt").string();
  testing::writeFile(path, Bytes(kHandEdited.begin(), kHandEdited.end()));
  const auto loaded = loadBans(path, t.context.console);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->size(), 3u);
  EXPECT_EQ(t.console.out(), "- loaded 3 bans from " + path + "\n");
  EXPECT_EQ(t.console.err(), "+error: " + path +
                                 " line 5: '10.1.2.3/8' has bits set past its prefix: 10.0.0.0/8?; "
                                 "the line is ignored\n+error: " +
                                 path +
                                 " line 6: the reason holds a control "
                                 "character; the line is ignored\n+error: " +
                                 path +
                                 " line 7: 10.0.0.0/8 is banned "
                                 "on line 3 already; the line is ignored\n");
  std::filesystem::remove(path);
  EXPECT_EQ(loadBans(path, t.context.console)->size(), 0u);
  std::filesystem::create_directory(path);
  EXPECT_FALSE(loadBans(path, t.context.console));
  EXPECT_TRUE(
      t.console.err().ends_with("+error: cannot read bans " + path + ": not a regular file\n"));
}

TEST(BansFile, CommandsChangeOnlyTheirOwnLineAndTheFileRoundTrips) {
  const std::string text(kHandEdited);
  // A new range goes last, after the line end the file lacked.
  const std::string added = withBan(text, {range("100.64.0.0/10"), "cgnat"});
  EXPECT_EQ(added, text + "\n100.64.0.0/10 cgnat\n");
  // A banned range's first line takes the new reason; the repeated line stays as it was.
  const std::string spam = "10.0.0.0/8   spam   from   a range  \n";
  std::string changed = text;
  changed.replace(changed.find(spam), spam.size(), "10.0.0.0/8 abuse\n");
  EXPECT_EQ(withBan(text, {range("10.0.0.0/8"), "abuse"}), changed);
  // The same reason, or none, changes nothing.
  EXPECT_EQ(withBan(text, {range("10.0.0.0/8"), "spam   from   a range"}), text);
  EXPECT_EQ(withBan(text, {range("192.0.2.7"), ""}), text);
  // Unbanning takes every line of the range, and only those.
  std::string without = text;
  without.erase(without.find(spam), spam.size());
  without.erase(without.find("10.0.0.0/8 repeated\n"), 20);
  EXPECT_EQ(withoutBan(text, range("10.0.0.0/8")), without);
  EXPECT_EQ(withoutBan(text, range("10.0.0.0/16")), text);
  EXPECT_EQ(withoutBan("192.0.2.7", range("192.0.2.7")), "");

  testing::TestContext t;
  const std::string path = (t.dir / "bans.txt").string();
  std::string error;
  ASSERT_EQ(writeBansFile(path, added, error), SaveOutcome::Saved) << error;
  const BansFileText read = readBansFile(path);
  EXPECT_TRUE(read.exists && read.readable);
  EXPECT_EQ(read.text, added);
  // Nothing but the file itself is left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(t.dir), {}), 1);
  EXPECT_FALSE(readBansFile((t.dir / "none").string()).exists);
}

TEST(BansFile, WhatCouldHoldTheServerIsRefusedWithoutBlockingOrFlooding) {
  testing::TestContext t;
  const std::string path = (t.dir / "bans.txt").string();
  // A FIFO would block an ordinary open until a writer came; this returns at once.
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  BansFileBans read = readBans(path);
  EXPECT_TRUE(read.exists);
  EXPECT_FALSE(read.readable);
  EXPECT_EQ(read.error, "not a regular file");
  std::filesystem::remove(path);

  // One byte over the bound is refused whole; at the bound it is read.
  {
    std::ofstream file(path);
    file << "10.0.0.1 x\n" << std::string(kMaxBansFileBytes - 11, '#');
  }
  read = readBans(path);
  EXPECT_TRUE(read.readable) << read.error;
  EXPECT_EQ(read.parsed.bans.size(), 1u);
  std::ofstream(path, std::ios::app) << "#";
  read = readBans(path);
  EXPECT_FALSE(read.readable);
  EXPECT_EQ(read.error, "the file has 16777217 bytes, over the 16 MiB this server reads");
  EXPECT_EQ(read.parsed.bans.size(), 0u);

  // A reason is bounded as the command's; bad lines past the first few are counted, not shown.
  std::string text = "10.0.0.1 " + std::string(kMaxBanReason, 'r') + "\n10.0.0.2 " +
                     std::string(kMaxBanReason + 1, 'r') + "\n";
  for (int i = 0; i < 25; ++i) text += "bogus\n";
  testing::writeFile(path, Bytes(text.begin(), text.end()));
  read = readBans(path);
  ASSERT_TRUE(read.readable);
  EXPECT_EQ(read.parsed.bans.size(), 1u);
  ASSERT_EQ(read.parsed.bad.size(), 26u);
  EXPECT_EQ(read.parsed.bad[0].why, "the reason has 201 bytes, over the 200 a reason may have");
  reportBadBanLines(path, read.parsed.bad, t.context.console);
  const std::string err = t.console.err();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 21);
  EXPECT_TRUE(err.ends_with("+error: " + path + ": 6 more bad lines are ignored\n")) << err;
}

}  // namespace
}  // namespace dirserver

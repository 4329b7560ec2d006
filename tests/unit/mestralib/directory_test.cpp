#include "mestralib/directory.h"

#include <gtest/gtest.h>

#include "platform/module.h"

namespace {

TEST(StandardizedDirectory, SeparatorsMadeUniformAndFolded) {
  EXPECT_EQ(StandardizedDirectory("/opt/morvane/system", true), "/opt/morvane/system/");
  EXPECT_EQ(StandardizedDirectory("/opt/morvane/system", false), "/opt/morvane/system");
  EXPECT_EQ(StandardizedDirectory("/opt//morvane///system//", false), "/opt/morvane/system");
  EXPECT_EQ(StandardizedDirectory("/opt//morvane///system//", true), "/opt/morvane/system/");
  EXPECT_EQ(StandardizedDirectory("\\opt\\morvane\\\\system\\", false), "/opt/morvane/system");
  EXPECT_EQ(StandardizedDirectory("relative\\dir/", true), "relative/dir/");
  EXPECT_EQ(StandardizedDirectory("a b/c d", false), "a b/c d");
}

TEST(StandardizedDirectory, RootAndEmptyKeepTheirMeaning) {
  EXPECT_EQ(StandardizedDirectory("/", false), "/");
  EXPECT_EQ(StandardizedDirectory("/", true), "/");
  EXPECT_EQ(StandardizedDirectory("//", false), "/");
  EXPECT_EQ(StandardizedDirectory("\\", true), "/");
  EXPECT_EQ(StandardizedDirectory("", true), "");
  EXPECT_EQ(StandardizedDirectory("", false), "");
}

TEST(WindowsizedDirectory, NoTrailingSeparator) {
  EXPECT_EQ(WindowsizedDirectory("/opt/morvane/system/"), "/opt/morvane/system");
  EXPECT_EQ(WindowsizedDirectory("\\opt\\x\\"), "/opt/x");
  EXPECT_EQ(WindowsizedDirectory("/"), "/");
  // The probe's chain: system directory, standardized, then this.
  EXPECT_EQ(WindowsizedDirectory(StandardizedDirectory(GetStdSystemDirectory(), false)) + "/drivers/npf.sys",
            StandardizedDirectory(GetStdSystemDirectory(), true) + "drivers/npf.sys");
}

TEST(GetStdSystemDirectory, IsThePlatformsSystemDirectory) {
  EXPECT_EQ(GetStdSystemDirectory(), platform::SystemDirectory());
  EXPECT_FALSE(GetStdSystemDirectory().empty());
}

TEST(StringToFixedLen, PadsOrCuts) {
  EXPECT_EQ(StringToFixedLen("abc", 6), "abc   ");
  EXPECT_EQ(StringToFixedLen("abcdef", 3), "abc");
  EXPECT_EQ(StringToFixedLen("abc", 3), "abc");
  EXPECT_EQ(StringToFixedLen("", 2), "  ");
  EXPECT_EQ(StringToFixedLen("abc", 0), "");
}

TEST(StringToFixedLen, NeverSplitsACharacter) {
  // "é" is two bytes; a cut inside it backs up and pads instead.
  EXPECT_EQ(StringToFixedLen("ab\xC3\xA9z", 3), "ab ");
  EXPECT_EQ(StringToFixedLen("ab\xC3\xA9z", 4), "ab\xC3\xA9");
  EXPECT_EQ(StringToFixedLen("\xE2\x82\xAC\xE2\x82\xAC", 5), "\xE2\x82\xAC  ");
  EXPECT_EQ(StringToFixedLen("\xE2\x82\xAC", 2), "  ");
}

}  // namespace

// Platform names and driver version comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "rtk.h"
#include "rtktest.h"

namespace {

TEST(GetPlatform, SearchesTheWordsInOrderIgnoringCase) {
  struct Case {
    const char *os;
    const char *platform;
  } const cases[] = {
      {"Linux", "linux"},   {"linux", "linux"},     {"GNU/LINUX", "linux"},
      {"SunOS", "solaris"}, {"Darwin", "windows"},  {"Windows_NT", "windows"},
      {"AIX", "aix"},       {"HP-UX", ""},          {"HPUX", "hpux"},
  };
  for (const Case &c : cases) {
    rtktest::GuardedBuffer out(64);
    const int32_t rc = rtkutils_getPlatform(c.os, out.data(), 64);
    EXPECT_EQ(rc, c.platform[0] ? 0 : RTK_NO_PLATFORM) << c.os;
    EXPECT_STREQ(out.data(), c.platform) << c.os;
    EXPECT_TRUE(out.Intact());
  }
}

using PlatformLog = rtktest::LoggingTest;

TEST_F(PlatformLog, UnknownSystemLogsAndLeavesTheBufferEmpty) {
  rtktest::GuardedBuffer out(8, 'x');
  EXPECT_EQ(rtkutils_getPlatform("FreeBSD", out.data(), 8), RTK_NO_PLATFORM);
  EXPECT_STREQ(out.data(), "");
  EXPECT_TRUE(out.Intact());
  EXPECT_EQ(CapturedTexts(), std::vector<std::string>{"Quillmar ERROR No platform match for FreeBSD\n"});
}

TEST(GetPlatform, SmallBufferGetsACutCopy) {
  rtktest::GuardedBuffer out(4);
  EXPECT_EQ(rtkutils_getPlatform("SunOS", out.data(), 4), 0);
  EXPECT_STREQ(out.data(), "sol");
  EXPECT_TRUE(out.Intact());
}

TEST(CompareVersions, OlderWhenAnyPositionIsSmaller) {
  struct Case {
    const char *installed;
    const char *latest;
    int32_t result;
  } const cases[] = {
      {"1.0.0.7", "1.0.0.8", 1},  {"1.0.0.8", "1.0.0.8", 0},   {"1.0.0.9", "1.0.0.8", 0},
      {"2.0.0.0", "1.0.0.8", 1},  {"1.1.0.0", "1.0.1.0", 1},   {"0.9.9.9", "1.0.0.8", 1},
      {"1.0.0.10", "1.0.0.8", 0}, {"1.0.0", "1.0.0.8", -1},    {"1.0.0.8", "1.0", -1},
      {"abc", "1.0.0.8", -1},     {"", "1.0.0.8", -1},         {"1.0.0.8 build 7", "1.0.0.8", 0},
      {" 1.0.0.7", "1.0.0.8", 1}, {"-1.0.0.8", "1.0.0.8", 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(rtkutils_compareQuillmarVersions(c.installed, c.latest), c.result)
        << c.installed << " vs " << c.latest;
  }
}

}  // namespace

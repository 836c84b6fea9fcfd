// The diagnostics' rtkctl subcommands, run as the administrator would.
#include <cstdio>
#include <string>
#include <vector>

#include "rtktest.h"

namespace {

std::string Rtkctl(const std::vector<std::string> &args, int expectedStatus) {
  std::string out;
  EXPECT_EQ(rtktest::Rtkctl(args, &out), expectedStatus) << args[0] << " " << args.back() << ": " << out;
  return out;
}

TEST(Rtkctl, LogWritesOneStampedLineAndRefusesBadArguments) {
  const std::string out = Rtkctl({"log", "info", "disk check", "--target", "screen"}, 0);
  long long pid = 0, msecs = 0;
  char text[64] = "";
  ASSERT_EQ(std::sscanf(out.c_str(), "%lld %lld: %63[^\n]", &pid, &msecs, text), 3) << out;
  EXPECT_STREQ(text, "Quillmar Info disk check");
  EXPECT_NE(Rtkctl({"log", "4", "plain", "--target", "terminal"}, 0).find(": plain\n"), std::string::npos);
  for (const char *level : {"verbose", "5"}) Rtkctl({"log", level, "x", "--target", "screen"}, 2);
  for (const char *target : {"printer", ""}) Rtkctl({"log", "Info", "x", "--target", target}, 2);
  Rtkctl({"log", "Info"}, 2);
  Rtkctl({"log", "Info", "x", "--to", "screen"}, 2);
}

TEST(Rtkctl, TraceSettingsPrintsTheReplyAfterAnOptionalCommand) {
  EXPECT_EQ(Rtkctl({"trace-settings"}, 0), "<trace device=\"file\" mask=\"\" level=\"Fine\" program=\"\"/>\n");
  EXPECT_EQ(Rtkctl({"trace-settings", "<trace device='screen' mask='rtk,err' level='medium' program='rtk'/>"}, 0),
            "<trace device=\"terminal\" mask=\"ERR,RTK\" level=\"Medium\" program=\"rtk\"/>\n");
  EXPECT_NE(Rtkctl({"trace-settings", "<trace mask='nosuch'/>"}, 1).find("IVLOGLVL"), std::string::npos);
}

}  // namespace

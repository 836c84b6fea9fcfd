// Lines whose cost the log keeps low: a message that is one "%s" (every
// trace line) is copied rather than formatted and must come out as the
// formatter would write it, and the process ID that the log keeps must be
// the child's own in a forked child.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log_capture.h"
#include "qmlog.h"
#include "rtktest.h"

namespace {

using LogShortcutTest = rtktest::LoggingTest;

// What vsnprintf makes of a "%s" message within room bytes.
std::string Formatted(const char *text, size_t room) {
  std::vector<char> out(room);
  std::snprintf(out.data(), room, "%s", text);
  return out.data();
}

TEST_F(LogShortcutTest, OneStringMessagesAreCutAsFormatted) {
  const std::string longLine = std::string(1500, 'z') + "\n";
  const char *volatile none = nullptr;
  LOG_Log(QM_LOG_PRINT, "%s", "one string\n");
  LOG_Log(QM_LOG_PRINT, "%s", longLine.c_str());  // loses its line feed to the cut
  LOG_Log(QM_LOG_PRINT, "%s", none);
  LOG_Log(QM_LOG_PRINT, "end\n");
  const std::vector<std::string> texts = CapturedTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "one string\n");
  // A Print line keeps 1013 characters of its message.
  const std::string cut = Formatted(longLine.c_str(), 1014);
  EXPECT_EQ(cut, std::string(1013, 'z'));
  const std::string pid = std::to_string(getpid()) + " ";
  EXPECT_EQ(texts[1].substr(0, cut.size() + pid.size()), cut + pid);
  // The null string and "end" follow as stamped lines glued to the first.
  EXPECT_NE(texts[1].find(": (null)" + pid), std::string::npos) << texts[1];
  EXPECT_EQ(texts[1].substr(texts[1].size() - 6), ": end\n");
}

TEST(LogProcessId, ForkedChildWritesItsOwnId) {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  rtktest::StdoutCapture capture;
  LOG_Log(QM_LOG_PRINT, "parent before fork\n");  // the parent's ID is kept now
  const pid_t child = rtktest::Fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    LOG_Log(QM_LOG_PRINT, "child line\n");
    std::fflush(stdout);
    _exit(0);
  }
  ASSERT_EQ(rtktest::WaitForExit(child), 0);
  LOG_Log(QM_LOG_PRINT, "parent after fork\n");
  const std::string raw = capture.Finish();
  LOG_SetTarget(QM_LOG_TARGET_FILE);
  const std::string me = std::to_string(getpid()) + " ";
  const size_t childLine = raw.find(": child line\n");
  ASSERT_NE(childLine, std::string::npos) << raw;
  const size_t lineStart = raw.rfind('\n', childLine) + 1;  // npos + 1 is 0
  EXPECT_EQ(raw.compare(lineStart, std::to_string(child).size() + 1, std::to_string(child) + " "), 0) << raw;
  EXPECT_EQ(raw.compare(0, me.size(), me), 0) << raw;
  EXPECT_EQ(raw.compare(raw.rfind('\n', raw.size() - 2) + 1, me.size(), me), 0) << raw;
}

}  // namespace

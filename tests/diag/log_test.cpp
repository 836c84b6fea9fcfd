// The message log: line layout per level, error counting and the error
// hook, repeat folding, cutting of long lines, target names, and the line
// that reaches a real system-log socket.
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag_test_util.h"
#include "pf_thread.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using diagtest::DiagTest;

// What the error hook saw, and what it should do when called.
struct HookRecord {
  std::vector<std::string> seen;   // "<level>|<prefix>|<formatted message>"
  bool logsItself = false;
};
HookRecord g_hook;

int32_t RecordingHook(uint32_t level, const char *prefix, const char *fmt, va_list args) {
  char text[256];
  std::vsnprintf(text, sizeof text, fmt, args);
  g_hook.seen.push_back(std::to_string(level) + "|" + prefix + "|" + text);
  if (g_hook.logsItself) {
    LOG_Log(QM_LOG_ERROR, "hook saw %s", text);
    TRACE_LogCoarse(QM_TRACE_LOG, "hook traced\n");
  }
  return 0;
}

class LogTest : public DiagTest {
 protected:
  void SetUp() override {
    DiagTest::SetUp();
    g_hook = HookRecord();
    qmlog_errStat = RecordingHook;
  }
  void TearDown() override {
    qmlog_errStat = nullptr;
    DiagTest::TearDown();
  }
};

TEST_F(LogTest, HeaderCountAndHookPerLevel) {
  struct Case {
    uint32_t level;
    const char *line;
    int counted;
  };
  const Case cases[] = {
      {0, "Quillmar PANIC level 0\n", 1}, {1, "Quillmar ERROR level 1\n", 1},
      {2, "Quillmar Warn level 2\n", 0},  {3, "Quillmar Info level 3\n", 0},
      {4, "level 4\n", 0},                {7, "Quillmar ERROR level 7\n", 0},
  };
  std::vector<std::string> expected;
  for (const Case &c : cases) {
    const int32_t before = log_nerrors;
    const size_t hooked = g_hook.seen.size();
    LOG_Log(c.level, "level %u\n", c.level);
    expected.push_back(c.line);
    EXPECT_EQ(log_nerrors - before, c.counted) << "level " << c.level;
    ASSERT_EQ(g_hook.seen.size() - hooked, static_cast<size_t>(c.counted)) << "level " << c.level;
    if (c.counted) {
      EXPECT_EQ(g_hook.seen.back(), std::to_string(c.level) + "||level " + std::to_string(c.level) + "\n");
    }
  }
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(LogTest, TerminalLineCarriesPidAndMilliseconds) {
  diagtest::StdoutCapture capture;
  const int64_t before = pf_msecs();
  LOG_Log(QM_LOG_ERROR, "Failed to open %s errno %d\n", "/no/such", 2);
  const int64_t after = pf_msecs();
  const std::string raw = capture.Finish();
  int pid = 0;
  long long msecs = 0;
  char rest[128] = "";
  ASSERT_EQ(std::sscanf(raw.c_str(), "%d %lld: %127[^\n]", &pid, &msecs, rest), 3) << raw;
  EXPECT_EQ(pid, getpid());
  EXPECT_GE(msecs, before);
  EXPECT_LE(msecs, after);
  EXPECT_STREQ(rest, "Quillmar ERROR Failed to open /no/such errno 2");
  EXPECT_EQ(raw.back(), '\n');
}

void LogWithPrefix(uint32_t level, const char *prefix, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LOG_Logv(level, prefix, fmt, args);
  va_end(args);
}

TEST_F(LogTest, PrefixFollowsTheHeader) {
  LogWithPrefix(QM_LOG_INFO, "NOMEM(5001):", "no room\n");
  EXPECT_EQ(CapturedTexts(), std::vector<std::string>{"Quillmar Info NOMEM(5001):no room\n"});
}

TEST_F(LogTest, RepeatsFoldIntoOneNoticeAndCountBeforeFolding) {
  const int32_t before = log_nerrors;
  for (int i = 0; i < 3; ++i) LOG_Log(QM_LOG_ERROR, "disk %s is full\n", "a");
  LOG_Log(QM_LOG_WARN, "disk %s is full\n", "a");   // other header: no repeat
  LOG_Log(QM_LOG_WARN, "disk %s is full\n", "a");
  LOG_Log(QM_LOG_PRINT, "done\n");
  EXPECT_EQ(log_nerrors - before, 3);
  const std::vector<diagtest::LogLine> lines = Captured();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].text, "Quillmar ERROR disk a is full\n");
  EXPECT_FALSE(lines[1].stamped);
  EXPECT_EQ(lines[1].text, "Last message repeated 2 times.\n");
  EXPECT_EQ(lines[2].text, "Quillmar Warn disk a is full\n");
  EXPECT_EQ(lines[3].text, "Last message repeated 1 times.\n");
  EXPECT_EQ(lines[4].text, "done\n");
}

TEST_F(LogTest, HookThatLogsAndTracesIsNeitherCountedNorReentered) {
  g_hook.logsItself = true;
  TRACE_Set(QM_TRACE_LOG);
  const int32_t before = log_nerrors;
  LOG_Log(QM_LOG_PANIC, "first %d\n", 1);
  EXPECT_EQ(log_nerrors - before, 1);
  EXPECT_EQ(g_hook.seen, std::vector<std::string>{"0||first 1\n"});
  const std::vector<std::string> expected = {"Quillmar ERROR hook saw first 1\n", "LOG hook traced\n",
                                             "Quillmar PANIC first 1\n"};
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(LogTest, LongMessagesAreCut) {
  const std::string longText(2000, 'x');
  LOG_Log(QM_LOG_PRINT, "%s", longText.c_str());
  LOG_Log(QM_LOG_ERROR, "%s", longText.c_str());
  const std::vector<diagtest::LogLine> lines = Captured();
  ASSERT_EQ(lines.size(), 1u) << "the cut lines have no line feed, so they run together";
  // The Print line keeps 1013 message characters; the ERROR line is one
  // 1023-character line whose stamped form is cut at 1029 characters.
  const std::string &both = lines[0].text;
  const size_t secondStamp = both.find(std::to_string(getpid()) + " ", 1013);
  ASSERT_NE(secondStamp, std::string::npos);
  EXPECT_EQ(secondStamp, 1013u);
  EXPECT_EQ(both.substr(0, 1013), longText.substr(0, 1013));
  const std::string second = both.substr(secondStamp);
  const size_t colon = second.find(": ");
  const std::string stamped = second.substr(second.find(' ') + 1);
  EXPECT_EQ(stamped.size(), 1029u);
  EXPECT_EQ(second.substr(colon + 2, 15), "Quillmar ERROR ");
}

TEST(LogTarget, NamesAndValues) {
  struct Case {
    const char *name;
    int32_t rc;
    int32_t target;   // after the call, starting from 5
  };
  const Case cases[] = {
      {"Terminal", QM_SUCCESS, 1}, {"screen", QM_SUCCESS, 1}, {"FILE", QM_SUCCESS, 0},
      {"", QM_SUCCESS, 5},         {nullptr, QM_SUCCESS, 5},   {"syslog", QM_ERR_IVLOGDEV, 5},
      {"files", QM_ERR_IVLOGDEV, 5}, {"screen ", QM_ERR_IVLOGDEV, 5},
  };
  for (const Case &c : cases) {
    LOG_SetTarget(5);
    EXPECT_EQ(LOG_SetTargetByStr(c.name), c.rc) << (c.name ? c.name : "(null)");
    int32_t target = -7;
    LOG_GetTarget(&target);
    EXPECT_EQ(target, c.target) << (c.name ? c.name : "(null)");
  }
  LOG_SetTarget(2);
  LOG_SetTarget(QM_LOG_TARGET_UNCHANGED);
  int32_t target = -7;
  LOG_GetTarget(&target);
  EXPECT_EQ(target, 2);
  LOG_GetTarget(nullptr);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
}

// Receives what the log sends to the system log through a datagram socket
// bound at /dev/log on a tmpfs that covers /dev in a private mount namespace.
TEST(SystemLog, LineReachesTheSocketWithIdentityPriorityAndHexPid) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, "size=64k,mode=755"), 0) << std::strerror(errno);
  const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);

  LOG_SetTarget(QM_LOG_TARGET_FILE);
  LOG_Log(QM_LOG_INFO, "system log check %d\n", 42);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);

  pollfd pfd{sock, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1) << "nothing arrived at /dev/log";
  char buf[2048];
  const ssize_t n = recv(sock, buf, sizeof buf - 1, 0);
  close(sock);
  umount2("/dev", MNT_DETACH);
  ASSERT_GT(n, 0);
  const std::string got(buf, static_cast<size_t>(n));
  // "<27>" is facility daemon (3 << 3) with priority error (3).
  EXPECT_EQ(got.rfind("<27>", 0), 0u) << got;
  char pidHex[32];
  std::snprintf(pidHex, sizeof pidHex, " qma: %x ", static_cast<unsigned>(getpid()));
  const size_t at = got.find(pidHex);
  ASSERT_NE(at, std::string::npos) << got;
  const std::string rest = got.substr(at + std::strlen(pidHex));
  const size_t colon = rest.find(": ");
  ASSERT_NE(colon, std::string::npos) << got;
  EXPECT_EQ(rest.find_first_not_of("0123456789"), colon) << got;
  EXPECT_EQ(rest.substr(colon + 2), "Quillmar Info system log check 42\n");
}

}  // namespace

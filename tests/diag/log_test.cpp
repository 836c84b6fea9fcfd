// The message log: line layout per level, error counting and the error
// hook, repeat folding, cutting of long lines, target names, and the line
// that reaches a real system-log socket.
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag_test_util.h"
#include "pf_thread.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using Lines = std::vector<std::string>;

// What the error hook saw ("<level>|<prefix>|<message>"); it logs and
// traces itself when asked to.
Lines g_hookSeen;
bool g_hookLogs = false;

int32_t RecordingHook(uint32_t level, const char *prefix, const char *fmt, va_list args) {
  char text[256];
  std::vsnprintf(text, sizeof text, fmt, args);
  g_hookSeen.push_back(std::to_string(level) + "|" + prefix + "|" + text);
  if (g_hookLogs) {
    LOG_Log(QM_LOG_ERROR, "hook saw %s", text);
    TRACE_LogCoarse(QM_TRACE_LOG, "hook traced\n");
  }
  return 0;
}

void LogWithPrefix(uint32_t level, const char *prefix, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LOG_Logv(level, prefix, fmt, args);
  va_end(args);
}

class LogTest : public diagtest::DiagTest {
 protected:
  void SetUp() override {
    DiagTest::SetUp();
    g_hookSeen.clear();
    g_hookLogs = false;
    qmlog_errStat = RecordingHook;
  }
  void TearDown() override {
    qmlog_errStat = nullptr;
    DiagTest::TearDown();
  }
};

TEST_F(LogTest, HeaderCountAndHookPerLevel) {
  const struct {
    uint32_t level;
    const char *prefix;
    const char *line;
    int counted;
  } cases[] = {
      {0, "", "Quillmar PANIC level 0\n", 1}, {1, "", "Quillmar ERROR level 1\n", 1},
      {2, "", "Quillmar Warn level 2\n", 0},  {3, "NOMEM(5001):", "Quillmar Info NOMEM(5001):level 3\n", 0},
      {4, "", "level 4\n", 0},                {7, "", "Quillmar ERROR level 7\n", 0},
  };
  Lines expected;
  for (const auto &c : cases) {
    const int32_t before = log_nerrors;
    const size_t hooked = g_hookSeen.size();
    LogWithPrefix(c.level, c.prefix, "level %u\n", c.level);
    expected.push_back(c.line);
    EXPECT_EQ(log_nerrors - before, c.counted) << c.level;
    ASSERT_EQ(g_hookSeen.size() - hooked, static_cast<size_t>(c.counted)) << c.level;
    if (c.counted) {
      EXPECT_EQ(g_hookSeen.back(), std::to_string(c.level) + "||level " + std::to_string(c.level) + "\n");
    }
  }
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(LogTest, RepeatsFoldIntoOneNoticeAndCountBeforeFolding) {
  const int32_t before = log_nerrors;
  for (int i = 0; i < 3; ++i) LOG_Log(QM_LOG_ERROR, "disk %s is full\n", "a");
  LOG_Log(QM_LOG_WARN, "disk %s is full\n", "a");   // another header: no repeat
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
  g_hookLogs = true;
  TRACE_Set(QM_TRACE_LOG);
  const int32_t before = log_nerrors;
  LOG_Log(QM_LOG_PANIC, "first %d\n", 1);
  EXPECT_EQ(log_nerrors - before, 1);
  EXPECT_EQ(g_hookSeen, Lines{"0||first 1\n"});
  EXPECT_EQ(CapturedTexts(), (Lines{"Quillmar ERROR hook saw first 1\n", "LOG hook traced\n",
                                    "Quillmar PANIC first 1\n"}));
}

// A Print line keeps 1013 message characters; an ERROR line stays within
// 1023 characters, and its stamped form within 1029.
TEST_F(LogTest, LongMessagesAreCut) {
  const std::string longText(2000, 'x');
  LOG_Log(QM_LOG_PRINT, "%s\n", longText.c_str());
  LOG_Log(QM_LOG_ERROR, "%s\n", longText.c_str());
  const std::string raw = Captured().back().text;   // both lines lost their line feed
  const size_t second = raw.find(std::to_string(getpid()) + " ");
  EXPECT_EQ(raw.substr(0, second), std::string(1013, 'x'));
  const std::string stamped = raw.substr(raw.find(' ', second) + 1);
  EXPECT_EQ(stamped.size(), 1029u);
  EXPECT_EQ(stamped.substr(stamped.find(": ") + 2, 16), "Quillmar ERROR x");
}

TEST(LogTarget, NamesAndValues) {
  const struct {
    const char *name;
    int32_t rc;
    int32_t target;   // starting from 5
  } cases[] = {
      {"Terminal", QM_SUCCESS, 1}, {"screen", QM_SUCCESS, 1},      {"FILE", QM_SUCCESS, 0},
      {"", QM_SUCCESS, 5},         {nullptr, QM_SUCCESS, 5},       {"syslog", QM_ERR_IVLOGDEV, 5},
      {"files", QM_ERR_IVLOGDEV, 5}, {"screen ", QM_ERR_IVLOGDEV, 5},
  };
  int32_t target = -7;
  for (const auto &c : cases) {
    LOG_SetTarget(5);
    EXPECT_EQ(LOG_SetTargetByStr(c.name), c.rc) << (c.name ? c.name : "(null)");
    LOG_GetTarget(&target);
    EXPECT_EQ(target, c.target) << (c.name ? c.name : "(null)");
  }
  LOG_SetTarget(QM_LOG_TARGET_UNCHANGED);
  LOG_GetTarget(&target);
  EXPECT_EQ(target, 5);
  LOG_GetTarget(nullptr);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
}

// A datagram socket bound at /dev/log, on a tmpfs that covers /dev in a
// private mount namespace, receives what the log sends to the system log.
TEST(SystemLog, LineReachesTheSocketWithIdentityPriorityAndHexPid) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, "size=64k,mode=755"), 0) << std::strerror(errno);
  const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
  LOG_SetTarget(QM_LOG_TARGET_FILE);
  LOG_Log(QM_LOG_INFO, "system log check %d\n", 42);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  pollfd pfd{sock, POLLIN, 0};
  const bool arrived = poll(&pfd, 1, 10000) == 1;
  char buf[2048];
  const ssize_t n = arrived ? recv(sock, buf, sizeof buf, 0) : 0;
  close(sock);
  umount2("/dev", MNT_DETACH);
  ASSERT_GT(n, 0) << "nothing arrived at /dev/log";
  const std::string got(buf, static_cast<size_t>(n));
  EXPECT_EQ(got.rfind("<27>", 0), 0u) << got;   // facility daemon (3 << 3), priority error (3)
  char pidHex[32];
  std::snprintf(pidHex, sizeof pidHex, " qma: %x ", static_cast<unsigned>(getpid()));
  const size_t at = got.find(pidHex);
  ASSERT_NE(at, std::string::npos) << got;
  const std::string rest = got.substr(at + std::strlen(pidHex));
  EXPECT_EQ(rest.find_first_not_of("0123456789"), rest.find(": ")) << got;
  EXPECT_EQ(rest.substr(rest.find(": ") + 2), "Quillmar Info system log check 42\n");
}

}  // namespace

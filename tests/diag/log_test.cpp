// The message log: line layout per level, error counting and the error
// hook, repeat folding, cutting of long lines, target names, and the line
// that reaches a real system-log socket.
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "log_capture.h"
#include "pf_thread.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using Lines = std::vector<std::string>;
using LogTest = rtktest::LoggingTest;

// What the error hook saw ("<level>|<prefix>|<message>"); it also logs and
// traces, which must be written but neither counted nor hooked again.
Lines g_hookSeen;

int32_t RecordingHook(uint32_t level, const char *prefix, const char *fmt, va_list args) {
  char text[256];
  std::vsnprintf(text, sizeof text, fmt, args);
  g_hookSeen.push_back(std::to_string(level) + "|" + prefix + "|" + text);
  LOG_Log(QM_LOG_ERROR, "hook saw %s", text);
  TRACE_LogCoarse(QM_TRACE_LOG, "hook traced\n");
  return 0;
}

void LogWithPrefix(uint32_t level, const char *prefix, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LOG_Logv(level, prefix, fmt, args);
  va_end(args);
}

TEST_F(LogTest, HeaderCountAndHookPerLevel) {
  const struct { uint32_t level; const char *prefix; const char *line; int counted; } cases[] = {
      {0, "", "Quillmar PANIC level 0\n", 1}, {1, "", "Quillmar ERROR level 1\n", 1},
      {2, "", "Quillmar Warn level 2\n", 0}, {3, "NOMEM(5001):", "Quillmar Info NOMEM(5001):level 3\n", 0},
      {4, "", "level 4\n", 0}, {7, "", "Quillmar ERROR level 7\n", 0}};
  g_hookSeen.clear();
  qmlog_errStat = RecordingHook;
  TRACE_Set(QM_TRACE_LOG);
  Lines expected;
  for (const auto &c : cases) {
    const int32_t before = log_nerrors;
    const size_t hooked = g_hookSeen.size();
    LogWithPrefix(c.level, c.prefix, "level %u\n", c.level);
    const std::string message = "level " + std::to_string(c.level) + "\n";
    if (c.counted) expected.insert(expected.end(), {"Quillmar ERROR hook saw " + message, "LOG hook traced\n"});
    expected.push_back(c.line);
    EXPECT_EQ(log_nerrors - before, c.counted) << c.level;
    ASSERT_EQ(g_hookSeen.size() - hooked, static_cast<size_t>(c.counted)) << c.level;
    if (c.counted) {
      EXPECT_EQ(g_hookSeen.back(), std::to_string(c.level) + "||" + message);
    }
  }
  qmlog_errStat = nullptr;
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(LogTest, RepeatsFoldIntoOneNoticeAndCountBeforeFolding) {
  const int32_t before = log_nerrors;
  for (int i = 0; i < 3; ++i) LOG_Log(QM_LOG_ERROR, "disk %s is full\n", "a");
  LOG_Log(QM_LOG_WARN, "disk %s is full\n", "a");   // another header: no repeat
  LOG_Log(QM_LOG_WARN, "disk %s is full\n", "a");
  LOG_Log(QM_LOG_PRINT, "done\n");
  EXPECT_EQ(log_nerrors - before, 3);
  std::string got;
  for (const rtktest::LogLine &l : Captured()) got += (l.stamped ? "S " : "N ") + l.text;
  EXPECT_EQ(got, "S Quillmar ERROR disk a is full\nN Last message repeated 2 times.\nS Quillmar Warn disk a is full\n"
                 "N Last message repeated 1 times.\nS done\n");
}

// Every line carries the millisecond in which it was written.
TEST_F(LogTest, StampsFollowTheClock) {
  std::vector<std::pair<int64_t, int64_t>> windows;   // clock before and after each line
  for (int i = 0; i < 3; ++i) {
    const int64_t before = pf_msecs();
    LOG_Log(QM_LOG_PRINT, "line %d\n", i);
    windows.emplace_back(before, pf_msecs());
    while (pf_msecs() == windows.back().second) {}
  }
  const std::vector<rtktest::LogLine> lines = Captured();
  ASSERT_EQ(lines.size(), windows.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(windows[i].first <= lines[i].msecs && lines[i].msecs <= windows[i].second) << lines[i].msecs;
  }
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
  const struct { const char *name; int32_t rc; int32_t target; } cases[] = {   // each from target 5
      {"Terminal", QM_SUCCESS, 1}, {"screen", QM_SUCCESS, 1}, {"FILE", QM_SUCCESS, 0}, {"", QM_SUCCESS, 5},
      {nullptr, QM_SUCCESS, 5}, {"syslog", QM_ERR_IVLOGDEV, 5}, {"files", QM_ERR_IVLOGDEV, 5},
      {"screen ", QM_ERR_IVLOGDEV, 5}};
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
  char buf[2048];
  const ssize_t n = poll(&pfd, 1, 10000) == 1 ? recv(sock, buf, sizeof buf, 0) : 0;
  close(sock);
  umount2("/dev", MNT_DETACH);
  ASSERT_GT(n, 0) << "nothing arrived at /dev/log";
  // "<27>" is facility daemon (3 << 3), priority error (3); the pid is hex.
  const std::string got(buf, static_cast<size_t>(n));
  char pidHex[32];
  std::snprintf(pidHex, sizeof pidHex, " qma: %x ", static_cast<unsigned>(getpid()));
  const size_t at = got.find(pidHex);
  ASSERT_EQ(got.rfind("<27>", 0), 0u) << got;
  ASSERT_NE(at, std::string::npos) << got;
  const std::string rest = got.substr(at + std::strlen(pidHex));
  EXPECT_EQ(rest.find_first_not_of("0123456789"), rest.find(": ")) << got;
  EXPECT_EQ(rest.substr(rest.find(": ") + 2), "Quillmar Info system log check 42\n");
}

}  // namespace

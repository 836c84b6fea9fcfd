// The message log: line layout per level, error counting and the error
// hook, repeat folding, time stamps, cutting of long lines (a message that is
// one "%s", as every trace line is, is copied rather than formatted and must
// come out the same), target names, the process ID of a forked child, and
// the line that reaches a real system-log socket.
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <regex>

#include "log_capture.h"
#include "pf_thread.h"
#include "qmlog.h"
#include "rtktest.h"

namespace {

using Lines = std::vector<std::string>;
using LogTest = rtktest::LoggingTest;

// What the error hook saw ("<level>|<prefix>|<message>"); it also logs an
// error, which must be written but neither counted nor hooked again.
Lines g_hookSeen;
int32_t RecordingHook(uint32_t level, const char *prefix, const char *fmt, va_list args) {
  char text[256];
  std::vsnprintf(text, sizeof text, fmt, args);
  g_hookSeen.push_back(std::to_string(level) + "|" + prefix + "|" + text);
  LOG_Log(QM_LOG_ERROR, "hook saw %s", text);
  return 0;
}

TEST_F(LogTest, HeadersCountsTheHookAndRepeats) {
  qmlog_errStat = RecordingHook;
  const int32_t before = log_nerrors;
  for (uint32_t level : {0u, 1u, 2u, 3u, 4u, 7u}) LOG_Log(level, "level %u\n", level);
  qmlog_errStat = nullptr;
  for (int i = 0; i < 3; ++i) LOG_Log(QM_LOG_ERROR, "disk %s is full\n", "a");
  for (int i = 0; i < 2; ++i) LOG_Log(QM_LOG_WARN, "disk %s is full\n", "a");  // another header: no repeat of the ERROR
  LOG_Log(QM_LOG_PRINT, "done\n");
  std::string got;
  for (const rtktest::LogLine &l : Captured()) got += (l.stamped ? "S " : "N ") + l.text;
  // The errors are counted before folding.
  EXPECT_EQ((std::tuple{g_hookSeen, log_nerrors - before, got}),
            std::tuple(Lines{"0||level 0\n", "1||level 1\n"}, 5, "S Quillmar ERROR hook saw level 0\nS Quillmar PANIC level 0\n"
                       "S Quillmar ERROR hook saw level 1\nS Quillmar ERROR level 1\nS Quillmar Warn level 2\nS Quillmar Info level 3\n"
                       "S level 4\nS Quillmar ERROR level 7\nS Quillmar ERROR disk a is full\nN Last message repeated 2 times.\n"
                       "S Quillmar Warn disk a is full\nN Last message repeated 1 times.\nS done\n"));
}

// A line carries the millisecond in which it was written; a Print line
// keeps 1013 message characters, whether formatted or copied, and an ERROR
// line stays within 1023 characters and its stamped form within 1029.
TEST_F(LogTest, StampsFollowTheClockAndLongMessagesAreCut) {
  const char *volatile none = nullptr;
  const std::string xs(2000, 'x'), zs(1500, 'z');
  const int64_t before = pf_msecs();
  LOG_Log(QM_LOG_PRINT, "%s\n", xs.c_str());
  const int64_t after = pf_msecs();
  LOG_Log(QM_LOG_PRINT, "%s", zs.c_str());
  LOG_Log(QM_LOG_PRINT, "%s", none);
  LOG_Log(QM_LOG_ERROR, "%s\n", xs.c_str());
  LOG_Log(QM_LOG_PRINT, "end\n");
  const std::vector<rtktest::LogLine> lines = Captured();
  ASSERT_EQ(lines.size(), 1u);  // the cut lines lost their line feeds
  EXPECT_TRUE(before <= lines[0].msecs && lines[0].msecs <= after) << before << " " << lines[0].msecs;
  const std::string pid = std::to_string(getpid()) + " ";
  const size_t stamp = std::to_string(lines[0].msecs).size() + 2, kept = 1029 - stamp - 15;
  EXPECT_EQ(std::regex_replace(lines[0].text, std::regex(pid + "[0-9]+: "), "|"),
            std::string(1013, 'x') + "|" + std::string(1013, 'z') + "|(null)|Quillmar ERROR " + std::string(kept, 'x') + "|end\n");
}

// The names are the trace command's cases; no name and -1 change nothing.
TEST(LogTarget, NoNameAndMinusOneKeepTheTarget) {
  int32_t target = -7;
  LOG_SetTarget(5), LOG_SetTarget(QM_LOG_TARGET_UNCHANGED), LOG_GetTarget(nullptr);
  EXPECT_EQ(LOG_SetTargetByStr(nullptr) + LOG_SetTargetByStr("") + (LOG_GetTarget(&target), target), 5);
}

// The process ID that the log keeps is the child's own in a forked child.
TEST(LogProcessId, ForkedChildWritesItsOwnId) {
  const std::string raw = rtktest::Logged([] {
    LOG_Log(QM_LOG_PRINT, "before\n");  // the parent's ID is kept now
    EXPECT_EQ(rtktest::InChild([] { return LOG_Log(QM_LOG_PRINT, "child %d\n", getpid()), std::fflush(stdout), 0; }), 0);
  });
  EXPECT_TRUE(std::regex_search(raw, std::regex("^(\\d+) \\d+: before\n(?!\\1 )(\\d+) \\d+: child \\2\n$"))) << raw;
}

// A datagram socket bound at /dev/log, on a tmpfs that covers /dev in a
// private mount namespace, receives what the log sends to the system log:
// "<27>" is facility daemon (3 << 3) and priority error (3); the ID is hex.
TEST(SystemLog, LineReachesTheSocketWithIdentityPriorityAndHexPid) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, "size=64k,mode=755"), 0) << std::strerror(errno);
  const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{AF_UNIX, "/dev/log"};
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
  LOG_SetTarget(QM_LOG_TARGET_FILE), LOG_Log(QM_LOG_INFO, "system log check %d\n", 42), LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  char buf[2048] = "", pattern[80];
  recv(sock, buf, sizeof buf - 1, MSG_DONTWAIT);  // the datagram was queued before LOG_Log returned
  close(sock), umount2("/dev", MNT_DETACH);
  std::snprintf(pattern, sizeof pattern, "^<27>.* qma: %x [0-9]+: Quillmar Info system log check 42\n$", static_cast<unsigned>(getpid()));
  EXPECT_TRUE(std::regex_search(buf, std::regex(pattern))) << buf;
}

}  // namespace

/*
 * unixlog.cpp - the platform's writer of finished log lines: standard output
 * for the terminal target, the system log (identity "qma", facility daemon,
 * priority error) for every other target.
 */
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "qmlog.h"

namespace {

// ---- process-wide state --------------------------------------------------
// The system log is opened once, on the first line sent there, and never
// closed.
pthread_once_t g_opened = PTHREAD_ONCE_INIT;
// The process ID that every line carries, asked for once: getpid() is a
// system call, and on a busy log it cost more than the rest of the line.
// 0 until the first line; a fork child forgets its parent's (see WatchForks).
std::atomic<pid_t> g_pid{0};
pthread_once_t g_forksWatched = PTHREAD_ONCE_INIT;

void OpenSystemLog() { openlog("qma", LOG_CONS, LOG_DAEMON); }

void ForgetPid() { g_pid.store(0, std::memory_order_relaxed); }

// Registered before the first ID is kept, so no child of fork() can inherit
// a kept ID without having it cleared.
void WatchForks() { pthread_atfork(nullptr, nullptr, ForgetPid); }

// The ID of the calling process.
pid_t CurrentPid() {
  pthread_once(&g_forksWatched, WatchForks);
  pid_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = getpid();
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

}  // namespace

extern "C" {

// Writes one finished line: "<decimal pid> <line>" to standard output for
// target 1 (no flush), otherwise "<hex pid> <line>" to the system log at
// priority error, whatever the line's own level.
void PF_Log(int32_t target, const char *line) {
  if (line == nullptr) return;
  if (target == QM_LOG_TARGET_SCREEN) {
    std::printf("%d %s", static_cast<int>(CurrentPid()), line);
    return;
  }
  pthread_once(&g_opened, OpenSystemLog);
  syslog(LOG_DAEMON | LOG_ERR, "%x %s", static_cast<unsigned int>(CurrentPid()), line);
}

}  // extern "C"

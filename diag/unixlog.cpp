/*
 * unixlog.cpp - the platform's writer of finished log lines: standard output
 * for the terminal target, the system log (identity "qma", facility daemon,
 * priority error) for every other target.
 */
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "qmlog.h"

namespace {

// ---- process-wide state --------------------------------------------------
// The system log is opened once, on the first line sent there, and never
// closed.
pthread_once_t g_opened = PTHREAD_ONCE_INIT;

void OpenSystemLog() { openlog("qma", LOG_CONS, LOG_DAEMON); }

}  // namespace

extern "C" {

// Writes one finished line: "<decimal pid> <line>" to standard output for
// target 1 (no flush), otherwise "<hex pid> <line>" to the system log at
// priority error, whatever the line's own level.
void PF_Log(int32_t target, const char *line) {
  if (line == nullptr) return;
  if (target == QM_LOG_TARGET_SCREEN) {
    std::printf("%d %s", static_cast<int>(getpid()), line);
    return;
  }
  pthread_once(&g_opened, OpenSystemLog);
  syslog(LOG_DAEMON | LOG_ERR, "%x %s", static_cast<unsigned int>(getpid()), line);
}

}  // extern "C"

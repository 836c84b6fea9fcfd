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
#include <cstring>

#include "qmlog.h"
#include "qmstr.h"

namespace {

// A process ID as decimal text fits 16 bytes; a terminal line of the message
// log (at most 1029 characters) fits behind it.
constexpr int32_t kPidTextSize = 16;
constexpr size_t kTerminalTextSize = kPidTextSize + 1040;

// ---- process-wide state --------------------------------------------------
// `opened`: the system log is opened once, on the first line sent there,
// and never closed. `pid`: the process ID that every line carries, asked
// for once and kept; 0 until the first line, and a fork child forgets its
// parent's (forksWatched, see watchForks).
struct {
  pthread_once_t opened;
  std::atomic<pid_t> pid;
  pthread_once_t forksWatched;
} systemLog = {PTHREAD_ONCE_INIT, 0, PTHREAD_ONCE_INIT};
// ---------------------------------------------------------------------------

void openSystemLog() { openlog("qma", LOG_CONS, LOG_DAEMON); }

void forgetPid() { systemLog.pid.store(0, std::memory_order_relaxed); }

// Registered before the first ID is kept, so no child of fork() can inherit
// a kept ID without having it cleared.
void watchForks() { pthread_atfork(nullptr, nullptr, forgetPid); }

// The ID of the calling process.
pid_t currentPid() {
  pthread_once(&systemLog.forksWatched, watchForks);
  pid_t pid = systemLog.pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = getpid();
    systemLog.pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

// Writes "<decimal pid> <line>" to standard output as one printf would:
// one write of the stream when it fits the buffer below (every line of the
// message log does), otherwise in pieces under one hold of the stream.
void writeToTerminal(const char *line) {
  char text[kTerminalTextSize];
  STR_64toString(text, kPidTextSize, currentPid());
  size_t used = std::strlen(text);
  text[used++] = ' ';
  const size_t length = std::strlen(line);
  if (length <= sizeof text - used) {
    std::memcpy(text + used, line, length);
    std::fwrite(text, 1, used + length, stdout);
    return;
  }
  flockfile(stdout);
  fwrite_unlocked(text, 1, used, stdout);
  fwrite_unlocked(line, 1, length, stdout);
  funlockfile(stdout);
}

}  // namespace

extern "C" {

// Writes one finished line: "<decimal pid> <line>" to standard output for
// target 1 (no flush), otherwise "<hex pid> <line>" to the system log at
// priority error, whatever the line's own level.
void PF_Log(int32_t target, const char *line) {
  if (line == nullptr) return;
  if (target == QM_LOG_TARGET_SCREEN) {
    writeToTerminal(line);
    return;
  }
  pthread_once(&systemLog.opened, openSystemLog);
  syslog(LOG_DAEMON | LOG_ERR, "%x %s", static_cast<unsigned int>(currentPid()), line);
}

}  // extern "C"

/*
 * qmlog.cpp - the message log: one line per message with the product header
 * and a millisecond time stamp, error counting and the error hook, folding
 * of immediate repeats, and the choice of target (system log or terminal).
 *
 * Line of a message, as handed to PF_Log:
 *
 *   <msecs>: Quillmar <LEVEL> <prefix><message>      (levels 0-3)
 *   <msecs>: <message>                               (level 4, Print)
 *
 * The repeat notice is the current text of MSGREPEAT formatted with the
 * count; the catalogue's table copies that text out without heap, trace or
 * log, so writing a line never leads back into the log.
 *
 * Threads: the repeat state and the output are used under the output lock,
 * which the trace shares. The line is composed before the lock is taken,
 * and the error hook runs outside it with a per-thread guard, so a hook that
 * logs or traces never deadlocks and is never re-entered for its own lines.
 */
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "diag/diag_internal.h"
#include "error/error_internal.h"
#include "pf_thread.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmstr.h"

namespace {

constexpr int kLineSize = 1024;      // composed line, terminator included
constexpr int kMessageRoom = 1014;   // at most 1013 message characters
constexpr int kStampedSize = 1030;   // "<msecs>: <line>", at most 1029 characters
constexpr int kNoticeRoom = 98;      // repeat notice before its line feed
constexpr uint32_t kHighestLevel = QM_LOG_PRINT;

constexpr const char *qmErrorLevel2str[] = {"PANIC", "ERROR", "Warn", "Info", "Print"};
static_assert(sizeof qmErrorLevel2str / sizeof qmErrorLevel2str[0] == kHighestLevel + 1);

// ---- process-wide state --------------------------------------------------
// The output lock, statically initialised (nothing runs at load).
pthread_mutex_t g_outputLock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t g_atforkOnce = PTHREAD_ONCE_INIT;
// Log target: 0 system log, 1 standard output (other values: system log).
std::atomic<int32_t> g_target{QM_LOG_TARGET_FILE};
// Repeat state, under the output lock: the previous line and its repeats.
char g_last[kLineSize];
int32_t g_lastCount = 0;
// Time stamp, under the output lock: the milliseconds of the last stamp and
// their digits, which are made again only when the millisecond changes.
struct {
  bool made = false;
  int64_t msecs = 0;
  char digits[24] = {};
  size_t length = 0;
} g_stamp;
// Per thread: inside the error hook.
thread_local bool tl_hookActive = false;

// Around fork: the child gets a free lock even when another thread of the
// parent held it at that moment (the child has no such thread).
void ForkPrepare() { pthread_mutex_lock(&g_outputLock); }
void ForkParent() { pthread_mutex_unlock(&g_outputLock); }
void ForkChild() {
  pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  g_outputLock = fresh;
}
void RegisterForkHandlers() { pthread_atfork(ForkPrepare, ForkParent, ForkChild); }

// Writes the message into room bytes at out, as vsnprintf does. A message
// that is a single "%s" (every trace line arrives so) is copied instead of
// formatted: the same text, without another pass of the formatter.
void FormatMessage(char *out, size_t room, const char *fmt, va_list args) {
  if (std::strcmp(fmt, "%s") != 0) {
    std::vsnprintf(out, room, fmt, args);
    return;
  }
  va_list copy;
  va_copy(copy, args);
  const char *text = va_arg(copy, const char *);
  va_end(copy);
  if (text == nullptr) text = "(null)";  // what the C library prints for it
  const size_t n = strnlen(text, room - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// Composes the header (none for Print lines) and the message into line,
// keeping the message within 1013 characters and the line within 1023.
void ComposeLine(char (&line)[kLineSize], uint32_t level, const char *prefix, const char *fmt,
                 va_list args) {
  int len = 0;
  line[0] = '\0';
  if (level != QM_LOG_PRINT) {
    len = std::snprintf(line, kLineSize, "Quillmar %s %s", qmErrorLevel2str[level], prefix);
    if (len < 0) len = 0;
    if (len > kLineSize - 1) len = kLineSize - 1;
  }
  const int room = kLineSize - len < kMessageRoom ? kLineSize - len : kMessageRoom;
  if (fmt != nullptr && room > 1) FormatMessage(line + len, static_cast<size_t>(room), fmt, args);
}

// True when fmt is safe to format with one int: its only conversions are
// "%%" and at most one "%d". A replaced text of the catalogue that asks for
// anything else is not trusted with the count.
bool IsCountFormat(const char *fmt) {
  int counts = 0;
  for (const char *p = fmt; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    if (*p != 'd' || ++counts > 1) return false;
  }
  return true;
}

// Under the output lock: sends the notice of pending repeats, without time
// stamp or header: the current text of MSGREPEAT (its built-in text when
// the current one is not a count format) filled with the count.
void WriteRepeatNotice(int32_t target, int32_t count) {
  char fmt[kLineSize];
  rtk::error::CurrentFormat(QM_INFO_MSGREPEAT, fmt, sizeof fmt);
  if (!IsCountFormat(fmt)) rtk::error::BuiltinFormat(QM_INFO_MSGREPEAT, fmt, sizeof fmt);
  char notice[kNoticeRoom + 1];
  std::snprintf(notice, kNoticeRoom, fmt, count);
  const size_t len = std::strlen(notice);
  notice[len] = '\n';
  notice[len + 1] = '\0';
  PF_Log(target, notice);
}

// Under the output lock: writes "<msecs>: <line>" into stamped, cut to
// kStampedSize - 1 characters as snprintf would cut it; length is the
// line's.
void StampLine(char (&stamped)[kStampedSize], const char *line, size_t length) {
  const int64_t msecs = pf_msecs();
  if (!g_stamp.made || g_stamp.msecs != msecs) {
    STR_64toString(g_stamp.digits, sizeof g_stamp.digits, msecs);
    g_stamp.length = std::strlen(g_stamp.digits);
    g_stamp.msecs = msecs;
    g_stamp.made = true;
  }
  std::memcpy(stamped, g_stamp.digits, g_stamp.length);
  std::memcpy(stamped + g_stamp.length, ": ", 2);
  const size_t used = g_stamp.length + 2;
  const size_t kept = length < kStampedSize - 1 - used ? length : kStampedSize - 1 - used;
  std::memcpy(stamped + used, line, kept);
  stamped[used + kept] = '\0';
}

// Counts a repeat of the previous line (length characters long), or writes
// the pending repeat notice and the stamped line and keeps the line as the
// previous one.
void EmitLocked(const char *line, size_t length) {
  rtkdiag::OutputLock lock;
  if (g_last[0] != '\0' && std::strcmp(line, g_last) == 0) {
    ++g_lastCount;
    return;
  }
  const int32_t target = g_target.load(std::memory_order_relaxed);
  if (g_lastCount != 0) WriteRepeatNotice(target, g_lastCount);
  char stamped[kStampedSize];
  StampLine(stamped, line, length);
  PF_Log(target, stamped);
  const size_t kept = length < kLineSize - 1 ? length : kLineSize - 1;
  std::memcpy(g_last, line, kept);
  g_last[kept] = '\0';
  g_lastCount = 0;
}

}  // namespace

namespace rtkdiag {

OutputLock::OutputLock() {
  pthread_once(&g_atforkOnce, RegisterForkHandlers);
  pthread_mutex_lock(&g_outputLock);
}

OutputLock::~OutputLock() { pthread_mutex_unlock(&g_outputLock); }

// What LOG_Log(QM_LOG_PRINT, "%s", line) does, without formatting the line
// again: a Print line has no header, is neither counted nor shown to the
// hook, and keeps its first 1013 characters.
void LogPrintLine(const char *line) {
  char cut[kMessageRoom];
  const size_t n = strnlen(line, kMessageRoom - 1);
  const char *text = line;
  if (line[n] != '\0') {
    std::memcpy(cut, line, n);
    cut[n] = '\0';
    text = cut;
  }
  EmitLocked(text, n);
}

}  // namespace rtkdiag

extern "C" {

int32_t log_nerrors = 0;
QMLOG_ErrHook qmlog_errStat = nullptr;

// Stores the log target; -1 means "no change".
void LOG_SetTarget(int32_t target) {
  if (target != QM_LOG_TARGET_UNCHANGED) g_target.store(target, std::memory_order_relaxed);
}

// Reads the log target into *target; a null pointer is ignored.
void LOG_GetTarget(int32_t *target) {
  if (target != nullptr) *target = g_target.load(std::memory_order_relaxed);
}

// Sets the target by name: "file" the system log, "screen" or "terminal"
// standard output. A null or empty name changes nothing.
int32_t LOG_SetTargetByStr(const char *name) {
  if (name == nullptr || name[0] == '\0') return QM_SUCCESS;
  if (STR_strcasecmp(name, "screen") == 0 || STR_strcasecmp(name, "terminal") == 0) {
    LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  } else if (STR_strcasecmp(name, "file") == 0) {
    LOG_SetTarget(QM_LOG_TARGET_FILE);
  } else {
    return QM_ERR_IVLOGDEV;
  }
  return QM_SUCCESS;
}

// Logs one message: counts it and shows it to the error hook when it is a
// PANIC or ERROR message, then composes, folds repeats and writes it.
void LOG_Logv(uint32_t level, const char *prefix, const char *fmt, va_list args) {
  if (prefix == nullptr) prefix = "";
  if (level <= QM_LOG_ERROR && !tl_hookActive) {
    tl_hookActive = true;
    __atomic_add_fetch(&log_nerrors, 1, __ATOMIC_RELAXED);
    const QMLOG_ErrHook hook = __atomic_load_n(&qmlog_errStat, __ATOMIC_ACQUIRE);
    if (hook != nullptr) {
      va_list copy;
      va_copy(copy, args);
      hook(level, prefix, fmt, copy);
      va_end(copy);
    }
    tl_hookActive = false;
  }
  if (level > kHighestLevel) level = QM_LOG_ERROR;
  char line[kLineSize];
  ComposeLine(line, level, prefix, fmt, args);
  EmitLocked(line, std::strlen(line));
}

// Logs one message with an empty prefix.
void LOG_Log(uint32_t level, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LOG_Logv(level, "", fmt, args);
  va_end(args);
}

}  // extern "C"

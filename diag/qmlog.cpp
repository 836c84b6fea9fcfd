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

// The level names (the product's qmErrorLevel2str), indexed by level.
constexpr const char *kLevelNames[] = {"PANIC", "ERROR", "Warn", "Info", "Print"};
static_assert(sizeof kLevelNames / sizeof kLevelNames[0] == kHighestLevel + 1);

// ---- process-wide state --------------------------------------------------
// The output lock serialises everything else here: the repeat state (the
// previous line and its repeats), the time stamp (the milliseconds of the
// last stamp and their digits, made again only when the millisecond
// changes) and the output. The target is an atomic word. Per thread: inside
// the error hook.
struct {
  pthread_mutex_t outputLock;
  pthread_once_t atforkOnce;
  std::atomic<int32_t> target;
  char last[kLineSize];
  int32_t lastCount;
  struct {
    bool made;
    int64_t msecs;
    char digits[24];
    size_t length;
  } stamp;
} messageLog = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_ONCE_INIT, QM_LOG_TARGET_FILE, {}, 0, {}};
thread_local bool tlHookActive = false;
// ---------------------------------------------------------------------------

// Around fork: the child gets free locks even when another thread of the
// parent held them at that moment (the child has no such thread). The
// catalogue's table lock, which the repeat notice takes under the output
// lock, is taken after it.
void forkPrepare() {
  pthread_mutex_lock(&messageLog.outputLock);
  rtk::error::TableForkPrepare();
}
void forkParent() {
  rtk::error::TableForkParent();
  pthread_mutex_unlock(&messageLog.outputLock);
}
void forkChild() {
  rtk::error::TableForkChild();
  pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  messageLog.outputLock = fresh;
}
void registerForkHandlers() { pthread_atfork(forkPrepare, forkParent, forkChild); }

// Writes the message into room bytes at out, as vsnprintf does. A message
// that is a single "%s" (every trace line arrives so) is copied instead of
// formatted: the same text, without another pass of the formatter.
void formatMessage(char *out, size_t room, const char *fmt, va_list args) {
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
void composeLine(char (&line)[kLineSize], uint32_t level, const char *prefix, const char *fmt,
                 va_list args) {
  int len = 0;
  line[0] = '\0';
  if (level != QM_LOG_PRINT) {
    len = std::snprintf(line, kLineSize, "Quillmar %s %s", kLevelNames[level], prefix);
    if (len < 0) len = 0;
    if (len > kLineSize - 1) len = kLineSize - 1;
  }
  const int room = kLineSize - len < kMessageRoom ? kLineSize - len : kMessageRoom;
  if (fmt != nullptr && room > 1) formatMessage(line + len, static_cast<size_t>(room), fmt, args);
}

// True when fmt is safe to format with one int: its only conversions are
// "%%" and at most one "%d". A replaced text of the catalogue that asks for
// anything else is not trusted with the count.
bool isCountFormat(const char *fmt) {
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
void writeRepeatNotice(int32_t target, int32_t count) {
  char fmt[kLineSize];
  rtk::error::CurrentFormat(QM_INFO_MSGREPEAT, fmt, sizeof fmt);
  if (!isCountFormat(fmt)) rtk::error::BuiltinFormat(QM_INFO_MSGREPEAT, fmt, sizeof fmt);
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
void stampLine(char (&stamped)[kStampedSize], const char *line, size_t length) {
  auto &stamp = messageLog.stamp;
  const int64_t msecs = pf_msecs();
  if (!stamp.made || stamp.msecs != msecs) {
    STR_64toString(stamp.digits, sizeof stamp.digits, msecs);
    stamp.length = std::strlen(stamp.digits);
    stamp.msecs = msecs;
    stamp.made = true;
  }
  std::memcpy(stamped, stamp.digits, stamp.length);
  std::memcpy(stamped + stamp.length, ": ", 2);
  const size_t used = stamp.length + 2;
  const size_t kept = length < kStampedSize - 1 - used ? length : kStampedSize - 1 - used;
  std::memcpy(stamped + used, line, kept);
  stamped[used + kept] = '\0';
}

// Counts a repeat of the previous line (length characters long), or writes
// the pending repeat notice and the stamped line and keeps the line as the
// previous one.
void emit(const char *line, size_t length) {
  rtk::diag::OutputLock lock;
  if (messageLog.last[0] != '\0' && std::strcmp(line, messageLog.last) == 0) {
    ++messageLog.lastCount;
    return;
  }
  const int32_t target = messageLog.target.load(std::memory_order_relaxed);
  if (messageLog.lastCount != 0) writeRepeatNotice(target, messageLog.lastCount);
  char stamped[kStampedSize];
  stampLine(stamped, line, length);
  PF_Log(target, stamped);
  const size_t kept = length < kLineSize - 1 ? length : kLineSize - 1;
  std::memcpy(messageLog.last, line, kept);
  messageLog.last[kept] = '\0';
  messageLog.lastCount = 0;
}

}  // namespace

namespace rtk::diag {

// Takes the output lock; the first use registers the fork handlers.
OutputLock::OutputLock() {
  pthread_once(&messageLog.atforkOnce, registerForkHandlers);
  pthread_mutex_lock(&messageLog.outputLock);
}

OutputLock::~OutputLock() { pthread_mutex_unlock(&messageLog.outputLock); }

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
  emit(text, n);
}

}  // namespace rtk::diag

extern "C" {

int32_t log_nerrors = 0;
QMLOG_ErrHook qmlog_errStat = nullptr;

// Stores the log target; -1 means "no change".
void LOG_SetTarget(int32_t target) {
  if (target != QM_LOG_TARGET_UNCHANGED) messageLog.target.store(target, std::memory_order_relaxed);
}

// Reads the log target into *target; a null pointer is ignored.
void LOG_GetTarget(int32_t *target) {
  if (target != nullptr) *target = messageLog.target.load(std::memory_order_relaxed);
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
  if (level <= QM_LOG_ERROR && !tlHookActive) {
    tlHookActive = true;
    __atomic_add_fetch(&log_nerrors, 1, __ATOMIC_RELAXED);
    const QMLOG_ErrHook hook = __atomic_load_n(&qmlog_errStat, __ATOMIC_ACQUIRE);
    if (hook != nullptr) {
      va_list copy;
      va_copy(copy, args);
      hook(level, prefix, fmt, copy);
      va_end(copy);
    }
    tlHookActive = false;
  }
  if (level > kHighestLevel) level = QM_LOG_ERROR;
  char line[kLineSize];
  composeLine(line, level, prefix, fmt, args);
  emit(line, std::strlen(line));
}

// Logs one message with an empty prefix.
void LOG_Log(uint32_t level, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LOG_Logv(level, "", fmt, args);
  va_end(args);
}

}  // extern "C"

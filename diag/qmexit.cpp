/*
 * qmexit.cpp - the call frame and the exit handlers.
 *
 * Every traced function writes one entry line (qmenter) and one exit line
 * with its result (the qmexit family); both are Medium trace lines under the
 * function's bit. The exit-handler list keeps the clean-up functions of the
 * modules that hold process-wide resources; the loading program runs them,
 * newest first, with qmexit_rundown as it shuts down.
 *
 * Exit-handler list (slots fill from 0 upwards and are never emptied):
 *
 *   slot:  0          1          ...  used-1      used ... 99
 *          [fn|name]  [fn|name]  ...  [fn|name]   empty    empty
 *
 * Threads: registration is serialised by its own lock, and a slot is
 * published (the count raised) only once it is filled, so a rundown running
 * at the same time sees whole slots only.
 */
#include <pthread.h>

#include <atomic>

#include "diag/diag_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmstr.h"

namespace {

constexpr int32_t kSlots = 100;
constexpr int32_t kNameSize = 32;

// One registered clean-up function and its name.
struct ExitSlot {
  QMEXIT_Handler handler;
  char name[kNameSize];
};

// ---- process-wide state --------------------------------------------------
// The list; slots 0..used-1 hold handlers. Registration holds registerLock
// and raises `used` only once the slot is filled.
struct {
  ExitSlot qmexits_list[kSlots];
  std::atomic<int32_t> used;
  pthread_mutex_t registerLock;
} exitHandlers = {{}, 0, PTHREAD_MUTEX_INITIALIZER};
// ---------------------------------------------------------------------------

}  // namespace

extern "C" {

// Entry line of the call frame: depth step +1, level Medium. Like the exit
// writers below, it tests level and mask before it gathers its arguments.
void qmenter(uint64_t mask, const char *func, const char *fmt, ...) {
  if (!rtk::diag::LineWanted(mask, QM_TRACE_MEDIUM)) return;
  va_list args;
  va_start(args, fmt);
  TRACE_Logv(1, mask, func, fmt, args, QM_TRACE_MEDIUM);
  va_end(args);
}

// Exit line with a result code and its mnemonic.
void qmexit(uint64_t mask, const char *func, int32_t rc) {
  if (!rtk::diag::LineWanted(mask, QM_TRACE_MEDIUM)) return;
  TRACE_Logf(mask, func, "Result:%d %s\n", rc, QMERR_err2mnemonic(rc));
}

// Exit line with a number, in decimal and hexadecimal.
void qmexitn(uint64_t mask, const char *func, int32_t n) {
  if (!rtk::diag::LineWanted(mask, QM_TRACE_MEDIUM)) return;
  TRACE_Logf(mask, func, "Result:%d (0x%x)\n", n, static_cast<unsigned int>(n));
}

// Exit line with a truth value.
void qmexitb(uint64_t mask, const char *func, int32_t b) {
  if (!rtk::diag::LineWanted(mask, QM_TRACE_MEDIUM)) return;
  TRACE_Logf(mask, func, "Result:%d %s\n", b, b != 0 ? "TRUE" : "FALSE");
}

// Exit line with a string; a null string shows as "[null]".
void qmexits(uint64_t mask, const char *func, const char *s) {
  if (!rtk::diag::LineWanted(mask, QM_TRACE_MEDIUM)) return;
  TRACE_Logf(mask, func, "Result:[%s]\n", s != nullptr ? s : "[null]");
}

// Exit line with a pointer.
void qmexitp(uint64_t mask, const char *func, const void *p) {
  if (!rtk::diag::LineWanted(mask, QM_TRACE_MEDIUM)) return;
  TRACE_Logf(mask, func, "Result:%p\n", p);
}

// Registers a clean-up function under a name (at most 31 characters kept).
// A function already in the list keeps its slot and first name.
int32_t qmexit_register(QMEXIT_Handler handler, const char *name) {
  if (handler == nullptr) return -1;
  pthread_mutex_lock(&exitHandlers.registerLock);
  const int32_t used = exitHandlers.used.load(std::memory_order_relaxed);
  int32_t rc = -1;
  for (int32_t i = 0; i < used; ++i) {
    if (exitHandlers.qmexits_list[i].handler == handler) rc = 0;
  }
  if (rc != 0 && used < kSlots) {
    exitHandlers.qmexits_list[used].handler = handler;
    STR_copy(exitHandlers.qmexits_list[used].name, name != nullptr ? name : "", kNameSize);
    exitHandlers.used.store(used + 1, std::memory_order_release);
    rc = 0;
  }
  pthread_mutex_unlock(&exitHandlers.registerLock);
  return rc;
}

// Calls every registered handler, newest first, tracing each call under
// QML. The handlers stay registered. Nothing runs this at process exit on
// its own: the loading program decides when its modules are torn down.
void qmexit_rundown(void) {
  for (int32_t i = exitHandlers.used.load(std::memory_order_acquire) - 1; i >= 0; --i) {
    const ExitSlot &slot = exitHandlers.qmexits_list[i];
    TRACE_LogFine(QM_TRACE_QML, "qmexit_rundown calling (%d) %p %s\n", i,
                  reinterpret_cast<void *>(slot.handler), slot.name);
    if (i > 0) {
      const ExitSlot &next = exitHandlers.qmexits_list[i - 1];
      TRACE_LogFine(QM_TRACE_QML, "qmexit_rundown next is %p %s\n",
                    reinterpret_cast<void *>(next.handler), next.name);
    }
    slot.handler();
  }
  TRACE_LogFine(QM_TRACE_QML, "qmexit_rundown finished.\n");
}

}  // extern "C"

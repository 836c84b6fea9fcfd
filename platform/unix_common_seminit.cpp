/*
 * unix_common_seminit.cpp - setting up semaphores and mutexes (pf_thread.h).
 *
 * Apart from the other primitives (unix_common.cpp) because an inter-process
 * request is written to the message log, so this file sits above the log,
 * while the log itself uses the clocks. State: none.
 */
#include "pf_thread.h"
#include "platform/platform_internal.h"
#include "qmlog.h"

extern "C" {

// Initialises a semaphore with count 1 (free) or 0 (taken). Inter-process
// semaphores are not supported yet; the request is logged and honoured.
int32_t PF_SemInit(int32_t shared, PF_Semaphore *sem, int32_t taken) {
  if (shared != 0) LOG_Log(QM_LOG_PANIC, "PF_SemInit NOT SUPPORTED FOR INTER-PROCESS YET!!!\n");
  return rtk::platform::InitSemaphore(sem, shared != 0, taken != 0);
}

// A mutex is a semaphore that starts free.
int32_t PF_MutexInit(int32_t shared, PF_Mutex *mutex) { return PF_SemInit(shared, mutex, 0); }

}  // extern "C"

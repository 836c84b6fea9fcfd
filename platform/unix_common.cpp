/*
 * unix_common.cpp - the platform layer's primitives on this system: threads,
 * counting semaphores and mutexes, sleeping and wall clocks (pf_thread.h),
 * thin wrappers over POSIX threads, unnamed semaphores, sleep, gettimeofday
 * and time.
 *
 * The message log stamps its lines with these clocks and the debug heap
 * takes its lock here, so nothing in this file traces or logs. The one
 * operation that logs, semaphore set-up, is in unix_common_seminit.cpp.
 * State: none; the caller owns each semaphore's storage.
 */
#include <pthread.h>
#include <semaphore.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "pf_thread.h"
#include "platform/pf_sys.h"
#include "platform/platform_internal.h"
#include "qmerror.h"

namespace rtk::platform {

int32_t InitSemaphore(PF_Semaphore *sem, bool shared, bool taken) {
  if (sem == nullptr) return -1;
  return sem_init(sem, shared ? 1 : 0, taken ? 0u : 1u) == 0 ? 0 : -1;
}

}  // namespace rtk::platform

extern "C" {

// Starts start(argument) on a new system-scope thread. A detached thread
// gets the handle -1, since its id may be reused as soon as it ends.
int32_t PF_ThreadCreate(int64_t *thread, PF_ThreadStart start, int64_t /*ignored*/,
                        int32_t detach, void *argument) {
  if (start == nullptr) return EINVAL;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
  pthread_t id;
  rc = pthread_create(&id, &attr, start, argument);
  pthread_attr_destroy(&attr);
  int64_t handle = -1;
  if (rc == 0) {
    handle = static_cast<int64_t>(id);
    if (detach != 0) {
      pthread_detach(id);
      handle = -1;
    }
  }
  if (thread != nullptr) *thread = handle;
  return rc;
}

// Waits on a semaphore. A wait that a signal interrupts is repeated, unless
// the caller asked to give up then (INTRPTD).
int32_t PF_SemDown(PF_Semaphore *sem, int32_t interruptible) {
  if (sem == nullptr) return -1;
  if (interruptible != 0) {
    if (sem_wait(sem) == 0) return 0;
    return errno == EINTR ? QM_ERR_INTRPTD : -1;
  }
  return rtk::platform::RetryOnSignal([sem] { return sem_wait(sem); }) == 0 ? 0 : -1;
}

// Posts a semaphore.
int32_t PF_SemUp(PF_Semaphore *sem) {
  if (sem == nullptr) return -1;
  return sem_post(sem) == 0 ? 0 : -1;
}

// Destroys a semaphore; the answer is always 0.
int32_t PF_SemDestroy(PF_Semaphore *sem) {
  if (sem != nullptr) sem_destroy(sem);
  return 0;
}

// A mutex is a semaphore that starts free and whose hold is never given up
// (PF_MutexInit is with PF_SemInit).
int32_t PF_MutexHold(PF_Mutex *mutex) { return PF_SemDown(mutex, 0); }
int32_t PF_MutexRelease(PF_Mutex *mutex) { return PF_SemUp(mutex); }
int32_t PF_MutexDestroy(PF_Mutex *mutex) { return PF_SemDestroy(mutex); }

// Sleeps whole seconds: the count divided by 1000, truncated toward zero.
// A negative count never sleeps, and a count beyond what sleep() takes is
// capped there, so no argument turns into a wrapped-around sleep.
void PF_SleepMSecs(int64_t milliseconds) {
  const int64_t seconds = milliseconds / 1000;
  if (seconds <= 0) return;
  sleep(seconds > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(seconds));
}

// Gives up nothing on this platform: sleep(0) returns at once.
void PF_ThreadYield(void) { sleep(0); }

// Wall-clock microseconds since the epoch.
int64_t pf_usecs(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Wall-clock milliseconds since the epoch, microseconds truncated.
int64_t pf_msecs(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// Wall-clock seconds since the epoch.
int64_t pf_secs(void) { return static_cast<int64_t>(time(nullptr)); }

}  // extern "C"

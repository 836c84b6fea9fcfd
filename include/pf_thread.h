/*
 * pf_thread.h - the platform layer's threads, counting semaphores, mutexes,
 * sleeping and wall clocks, over POSIX threads and unnamed semaphores.
 *
 * The semaphore operations answer plain 0 and -1 (and INTRPTD for an
 * interrupted, interruptible wait); they are not catalogue codes otherwise.
 * A mutex is a semaphore that starts free: not recursive, and any thread may
 * release it. Storage for a semaphore belongs to the caller, who destroys
 * what it initialised.
 */
#ifndef RTK_PF_THREAD_H
#define RTK_PF_THREAD_H

#include <semaphore.h>
#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

typedef sem_t PF_Semaphore;
typedef sem_t PF_Mutex;

/* Start routine of a thread made by PF_ThreadCreate. */
typedef void *(*PF_ThreadStart)(void *argument);

/* Starts start(argument) on a new thread with system contention scope; a
 * nonzero detach detaches it and stores -1 as its handle. The handle (the
 * POSIX thread id) goes to *thread when thread is not null. `ignored` is not
 * used on this platform. Answers pthread_create's error number (0 success). */
RTK_API int32_t PF_ThreadCreate(int64_t *thread, PF_ThreadStart start, int64_t ignored,
                                int32_t detach, void *argument);

/* Semaphores: shared nonzero asks for an inter-process semaphore (logged as
 * unsupported, then made all the same); taken nonzero starts at count 0. */
RTK_API int32_t PF_SemInit(int32_t shared, PF_Semaphore *sem, int32_t taken);
RTK_API int32_t PF_SemDown(PF_Semaphore *sem, int32_t interruptible);
RTK_API int32_t PF_SemUp(PF_Semaphore *sem);
RTK_API int32_t PF_SemDestroy(PF_Semaphore *sem);

/* Mutexes: semaphores that start free and whose hold is never interrupted. */
RTK_API int32_t PF_MutexInit(int32_t shared, PF_Mutex *mutex);
RTK_API int32_t PF_MutexHold(PF_Mutex *mutex);
RTK_API int32_t PF_MutexRelease(PF_Mutex *mutex);
RTK_API int32_t PF_MutexDestroy(PF_Mutex *mutex);

/* Sleeps milliseconds / 1000 whole seconds (truncated toward zero; a negative
 * count does not sleep). PF_ThreadYield returns at once. */
RTK_API void PF_SleepMSecs(int64_t milliseconds);
RTK_API void PF_ThreadYield(void);

/* Wall-clock times since the epoch: microseconds, milliseconds, seconds. */
RTK_API int64_t pf_usecs(void);
RTK_API int64_t pf_msecs(void);
RTK_API int64_t pf_secs(void);

RTK_EXTERN_C_END

#endif /* RTK_PF_THREAD_H */

// The platform services under the diagnostics: sleeping, semaphores and
// mutexes, threads and the clocks.
#include <pthread.h>
#include <semaphore.h>

#include <climits>

#include "pf_thread.h"
#include "rtktest.h"

// The library sleeps through sleep(); this definition takes its place in
// the test program, records the request and returns at once.
namespace {
std::vector<unsigned int> g_sleeps;
}  // namespace
extern "C" unsigned int sleep(unsigned int seconds) { return g_sleeps.push_back(seconds), 0; }

TEST(Platform, SleepSemaphoresMutexesThreadsAndClocks) {
  for (int64_t msecs : {int64_t{999}, int64_t{1000}, int64_t{2999}, int64_t{-1000}, INT64_MIN, INT64_MAX}) PF_SleepMSecs(msecs);
  PF_ThreadYield();
  EXPECT_EQ(g_sleeps, (std::vector<unsigned int>{1, 2, UINT_MAX, 0}));  // whole seconds, truncated toward zero
  sem_t sem;
  const auto value = [&sem] { int count = -1; return sem_getvalue(&sem, &count), count; };
  ASSERT_EQ(PF_SemInit(0, &sem, 1), 0);  // taken: count 0
  EXPECT_EQ((std::vector<int>{value(), PF_SemUp(&sem), value(), PF_SemDown(&sem, 1), value(), PF_SemDestroy(&sem),
                              PF_MutexInit(0, &sem), value(), PF_MutexHold(&sem), PF_SemInit(0, nullptr, 0), PF_SemUp(nullptr)}),
            (std::vector<int>{0, 0, 1, 0, 0, 0, 0, 1, 0, -1, -1}));
  // A mutex released by another thread, joinable and detached (handle -1).
  const auto release = [](void *mutex) -> void * { return PF_MutexRelease(static_cast<sem_t *>(mutex)), nullptr; };
  int64_t handle = 0;
  ASSERT_EQ(PF_ThreadCreate(&handle, release, 0, 0, &sem), 0);
  EXPECT_EQ(pthread_join(static_cast<pthread_t>(handle), nullptr) + PF_MutexHold(&sem), 0);
  ASSERT_EQ(PF_ThreadCreate(&handle, release, 12345, 1, &sem), 0);
  EXPECT_EQ(PF_MutexHold(&sem) + handle, -1);
  ASSERT_EQ(PF_ThreadCreate(nullptr, release, 0, 1, &sem), 0);
  EXPECT_EQ(PF_MutexHold(&sem), 0);
  PF_MutexDestroy(&sem);
  EXPECT_NE(PF_ThreadCreate(&handle, nullptr, 0, 0, nullptr), 0);
  const int64_t secs = pf_secs(), usecs = pf_usecs(), msecs = pf_msecs();
  EXPECT_TRUE(msecs - usecs / 1000 < 1000 && msecs / 1000 - secs <= 1 && secs > 1600000000) << secs << " " << usecs << " " << msecs;
}

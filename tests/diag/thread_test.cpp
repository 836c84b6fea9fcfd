// Threads, semaphores, mutexes, sleeping and clocks of the platform layer,
// and the current program's name.
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <climits>

#include "log_capture.h"
#include "pf_thread.h"
#include "pf_user.h"
#include "qmerror.h"
#include "rtktest.h"

// The library sleeps through sleep(); this definition takes its place in
// the test program, records the request and returns at once.
namespace {
std::vector<unsigned int> g_sleeps;
}
extern "C" unsigned int sleep(unsigned int seconds) {
  g_sleeps.push_back(seconds);
  return 0;
}

namespace {

int SemValue(sem_t *sem) {
  int value = -1;
  sem_getvalue(sem, &value);
  return value;
}

TEST(Platform, SleepTakesWholeSecondsTruncatedTowardZeroAndClocksAgree) {
  const struct { int64_t msecs; std::vector<unsigned int> sleeps; } cases[] = {
      {999, {}}, {1000, {1}}, {2999, {2}}, {0, {}}, {-999, {}}, {-1000, {}}, {INT64_MIN, {}}, {INT64_MAX, {UINT_MAX}}};
  for (const auto &c : cases) {
    g_sleeps.clear();
    PF_SleepMSecs(c.msecs);
    EXPECT_EQ(g_sleeps, c.sleeps) << c.msecs;
  }
  g_sleeps.clear();
  PF_ThreadYield();
  EXPECT_EQ(g_sleeps, std::vector<unsigned int>{0});
  const int64_t secs = pf_secs(), usecs = pf_usecs(), msecs = pf_msecs();
  EXPECT_LT(static_cast<uint64_t>(msecs - usecs / 1000), 1000u);
  EXPECT_LE(static_cast<uint64_t>(msecs / 1000 - secs), 1u);
  EXPECT_GT(secs, 1600000000);
}

TEST(Platform, SemaphoreCountsMutexesAndNullSemaphoresAndProgramName) {
  sem_t sem;
  ASSERT_EQ(PF_SemInit(0, &sem, 1), 0);
  EXPECT_EQ(PF_SemUp(&sem), 0);
  EXPECT_EQ(SemValue(&sem), 1);   // an initial count of 1 was ignored
  EXPECT_EQ(PF_SemDown(&sem, 0), 0);
  EXPECT_EQ(SemValue(&sem), 0);
  EXPECT_EQ(PF_SemDestroy(&sem), 0);
  ASSERT_EQ(PF_MutexInit(0, &sem), 0);
  EXPECT_EQ(SemValue(&sem), 1);
  EXPECT_EQ(PF_MutexDestroy(&sem), 0);
  EXPECT_EQ(PF_SemInit(0, nullptr, 0), -1);
  rtktest::GuardedBuffer four(4), two(2);
  EXPECT_STREQ(PF_GetCurrentProgram(four.data(), 4), "rtk");
  EXPECT_STREQ(PF_GetCurrentProgram(two.data(), 2), "r");
  EXPECT_TRUE(four.Intact() && two.Intact());
}

using PlatformSharedSemaphore = rtktest::LoggingTest;

TEST_F(PlatformSharedSemaphore, IsLoggedAsUnsupportedAndMadeAllTheSame) {
  sem_t sem;
  EXPECT_EQ(PF_SemInit(1, &sem, 0), 0);
  EXPECT_EQ(SemValue(&sem), 1);
  PF_SemDestroy(&sem);
  EXPECT_EQ(PF_SemInit(1, nullptr, 0), -1);   // logs the same line: a repeat
  EXPECT_EQ(CapturedTexts(),
            std::vector<std::string>{"Quillmar PANIC PF_SemInit NOT SUPPORTED FOR INTER-PROCESS YET!!!\n"});
}

struct Waiter {
  sem_t *sem;
  int32_t interruptible;
  std::atomic<int32_t> result{1};   // 1 until the wait returns
  int64_t thread = 0;
};

void *WaitThread(void *arg) {
  auto *w = static_cast<Waiter *>(arg);
  w->result = PF_SemDown(w->sem, w->interruptible);
  return nullptr;
}

// Starts a waiter and signals it, 1 ms apart, until it returns or `rounds` run out.
void StartAndSignal(Waiter &w, int rounds) {
  ASSERT_EQ(PF_ThreadCreate(&w.thread, WaitThread, 0, 0, &w), 0);
  const timespec pause{0, 1000000};
  for (int i = 0; i < rounds && w.result == 1; ++i) {
    pthread_kill(static_cast<pthread_t>(w.thread), SIGUSR1);
    nanosleep(&pause, nullptr);
  }
}

TEST(PlatformSemaphore, SignalsInterruptOnlyInterruptibleWaits) {
  struct sigaction sa {}, old {};
  sa.sa_handler = [](int) {};   // no SA_RESTART: sem_wait fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  sem_t sem;
  ASSERT_EQ(PF_SemInit(0, &sem, 1), 0);
  Waiter giveUp{&sem, 1}, keepOn{&sem, 0};
  ASSERT_NO_FATAL_FAILURE(StartAndSignal(giveUp, 100000));
  ASSERT_NO_FATAL_FAILURE(StartAndSignal(keepOn, 50));
  EXPECT_EQ(keepOn.result, 1);
  PF_SemUp(&sem);
  for (Waiter *w : {&giveUp, &keepOn}) pthread_join(static_cast<pthread_t>(w->thread), nullptr);
  EXPECT_EQ(giveUp.result, QM_ERR_INTRPTD);
  EXPECT_EQ(keepOn.result, 0);
  PF_SemDestroy(&sem);
  sigaction(SIGUSR1, &old, nullptr);
}

void *ReleaseThread(void *arg) {
  PF_MutexRelease(static_cast<sem_t *>(arg));
  return nullptr;
}

TEST(PlatformThread, HandlesAndAMutexReleasedByAnotherThread) {
  sem_t mutex;
  ASSERT_EQ(PF_MutexInit(0, &mutex), 0);
  ASSERT_EQ(PF_MutexHold(&mutex), 0);
  int64_t handle = -1;
  ASSERT_EQ(PF_ThreadCreate(&handle, ReleaseThread, 0, 0, &mutex), 0);
  EXPECT_EQ(pthread_join(static_cast<pthread_t>(handle), nullptr), 0);   // a joinable thread id
  EXPECT_EQ(PF_MutexHold(&mutex), 0);   // free again
  ASSERT_EQ(PF_ThreadCreate(&handle, ReleaseThread, 12345, 1, &mutex), 0);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(PF_MutexHold(&mutex), 0);   // the detached thread ran with its argument
  ASSERT_EQ(PF_ThreadCreate(nullptr, ReleaseThread, 0, 1, &mutex), 0);
  EXPECT_EQ(PF_MutexHold(&mutex), 0);
  PF_MutexDestroy(&mutex);
  EXPECT_NE(PF_ThreadCreate(&handle, nullptr, 0, 0, nullptr), 0);
}

}  // namespace

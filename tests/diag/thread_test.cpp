// Threads, semaphores, mutexes, sleeping and clocks of the platform layer,
// and the current program's name.
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <vector>

#include "diag_test_util.h"
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

TEST(PlatformSleep, WholeSecondsTruncatedTowardZero) {
  const struct {
    int64_t msecs;
    std::vector<unsigned int> sleeps;
  } cases[] = {
      {999, {}},      {1000, {1}},          {2999, {2}},  {0, {}},
      {-999, {}},     {-1000, {}},          {-5000000, {}}, {INT64_MIN, {}},
      {INT64_MAX, {UINT_MAX}},
  };
  for (const auto &c : cases) {
    g_sleeps.clear();
    PF_SleepMSecs(c.msecs);
    EXPECT_EQ(g_sleeps, c.sleeps) << c.msecs;
  }
  g_sleeps.clear();
  PF_ThreadYield();
  EXPECT_EQ(g_sleeps, std::vector<unsigned int>{0});
}

TEST(PlatformClock, ClocksAgree) {
  const int64_t secs = pf_secs();
  const int64_t usecs = pf_usecs();
  const int64_t msecs = pf_msecs();
  EXPECT_GE(msecs, usecs / 1000);
  EXPECT_LT(msecs - usecs / 1000, 1000);
  EXPECT_GE(msecs / 1000, secs);
  EXPECT_LE(msecs / 1000 - secs, 1);
  EXPECT_GT(secs, 1600000000);   // a wall clock, not a monotonic one
}

TEST(PlatformSemaphore, InitialCountsAndNullSemaphores) {
  sem_t sem;
  ASSERT_EQ(PF_SemInit(0, &sem, 1), 0);
  EXPECT_EQ(SemValue(&sem), 0);
  EXPECT_EQ(PF_SemUp(&sem), 0);
  EXPECT_EQ(SemValue(&sem), 1);
  EXPECT_EQ(PF_SemDown(&sem, 0), 0);
  EXPECT_EQ(SemValue(&sem), 0);
  EXPECT_EQ(PF_SemDestroy(&sem), 0);
  ASSERT_EQ(PF_MutexInit(0, &sem), 0);
  EXPECT_EQ(SemValue(&sem), 1);
  EXPECT_EQ(PF_MutexDestroy(&sem), 0);
  EXPECT_EQ(PF_SemInit(0, nullptr, 0), -1);
  EXPECT_EQ(PF_SemDown(nullptr, 1), -1);
  EXPECT_EQ(PF_SemUp(nullptr), -1);
  EXPECT_EQ(PF_SemDestroy(nullptr), 0);
}

class PlatformSharedSemaphore : public diagtest::DiagTest {};

TEST_F(PlatformSharedSemaphore, IsLoggedAsUnsupportedAndMadeAllTheSame) {
  sem_t sem;
  EXPECT_EQ(PF_SemInit(1, &sem, 0), 0);
  EXPECT_EQ(SemValue(&sem), 1);
  PF_SemDestroy(&sem);
  EXPECT_EQ(PF_SemInit(1, nullptr, 0), -1);
  const std::string panic = "Quillmar PANIC PF_SemInit NOT SUPPORTED FOR INTER-PROCESS YET!!!\n";
  const std::vector<diagtest::LogLine> lines = Captured();
  ASSERT_EQ(lines.size(), 1u);   // the second PANIC line repeats the first
  EXPECT_EQ(lines[0].text, panic);
}

struct DownArgs {
  sem_t *sem;
  int32_t interruptible;
  std::atomic<int32_t> result{1};
  std::atomic<bool> done{false};
};

void *DownThread(void *arg) {
  auto *a = static_cast<DownArgs *>(arg);
  a->result = PF_SemDown(a->sem, a->interruptible);
  a->done = true;
  return nullptr;
}

void OnSignal(int) {}

// Signals the thread until it has returned from its wait, at most `rounds`
// times, 1 ms apart; answers whether it returned.
bool SignalUntilDone(pthread_t thread, DownArgs &args, int rounds) {
  for (int i = 0; i < rounds && !args.done; ++i) {
    pthread_kill(thread, SIGUSR1);
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  return args.done;
}

TEST(PlatformSemaphore, SignalsInterruptOnlyInterruptibleWaits) {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;   // no SA_RESTART: the wait fails with EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  sem_t sem;
  ASSERT_EQ(PF_SemInit(0, &sem, 1), 0);

  DownArgs interruptible;
  interruptible.sem = &sem;
  interruptible.interruptible = 1;
  int64_t handle = 0;
  ASSERT_EQ(PF_ThreadCreate(&handle, DownThread, 0, 0, &interruptible), 0);
  EXPECT_TRUE(SignalUntilDone(static_cast<pthread_t>(handle), interruptible, 100000));
  pthread_join(static_cast<pthread_t>(handle), nullptr);
  EXPECT_EQ(interruptible.result, QM_ERR_INTRPTD);

  DownArgs steady;
  steady.sem = &sem;
  steady.interruptible = 0;
  ASSERT_EQ(PF_ThreadCreate(&handle, DownThread, 0, 0, &steady), 0);
  EXPECT_FALSE(SignalUntilDone(static_cast<pthread_t>(handle), steady, 50));
  PF_SemUp(&sem);
  pthread_join(static_cast<pthread_t>(handle), nullptr);
  EXPECT_EQ(steady.result, 0);
  PF_SemDestroy(&sem);
  sigaction(SIGUSR1, &old, nullptr);
}

void *ReleaseThread(void *arg) {
  PF_MutexRelease(static_cast<sem_t *>(arg));
  return nullptr;
}

TEST(PlatformThread, MutexReleasedByAnotherThreadIsFreeAgain) {
  sem_t mutex;
  ASSERT_EQ(PF_MutexInit(0, &mutex), 0);
  ASSERT_EQ(PF_MutexHold(&mutex), 0);
  int64_t handle = 0;
  ASSERT_EQ(PF_ThreadCreate(&handle, ReleaseThread, 0, 0, &mutex), 0);
  ASSERT_NE(handle, -1);
  EXPECT_EQ(pthread_join(static_cast<pthread_t>(handle), nullptr), 0);
  EXPECT_EQ(SemValue(&mutex), 1);
  EXPECT_EQ(PF_MutexHold(&mutex), 0);
  PF_MutexDestroy(&mutex);
}

void *PostThread(void *arg) {
  PF_SemUp(static_cast<sem_t *>(arg));
  return nullptr;
}

TEST(PlatformThread, DetachedThreadsGetHandleMinusOne) {
  sem_t ran;
  ASSERT_EQ(PF_SemInit(0, &ran, 1), 0);
  int64_t handle = 0;
  ASSERT_EQ(PF_ThreadCreate(&handle, PostThread, 12345, 1, &ran), 0);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(PF_SemDown(&ran, 0), 0);   // the thread ran with its argument
  ASSERT_EQ(PF_ThreadCreate(nullptr, PostThread, 0, 1, &ran), 0);
  EXPECT_EQ(PF_SemDown(&ran, 0), 0);
  PF_SemDestroy(&ran);
  EXPECT_NE(PF_ThreadCreate(&handle, nullptr, 0, 0, nullptr), 0);
}

TEST(PlatformProgram, NameIsRtkCutToTheBuffer) {
  rtktest::GuardedBuffer four(4), two(2), none(1);
  EXPECT_EQ(PF_GetCurrentProgram(four.data(), 4), four.data());
  EXPECT_STREQ(four.data(), "rtk");
  PF_GetCurrentProgram(two.data(), 2);
  EXPECT_STREQ(two.data(), "r");
  PF_GetCurrentProgram(none.data(), 0);
  EXPECT_TRUE(four.Intact() && two.Intact() && none.Intact());
  EXPECT_EQ(PF_GetCurrentProgram(nullptr, 4), nullptr);
}

}  // namespace

// Debug heap tests. Each test runs in a forked child, which starts with an
// untouched heap. The differential test proves the heap's choices, listings,
// totals and log lines against the list-walking reference heap; the others
// check what a single thread of steps cannot reach: threads, the forked
// child's MEM_FreeAll, pointers the heap never gave out, an error hook that
// re-enters the heap, the heap without its lock, and an index that cannot grow.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "heap_twins.h"
#include "log_capture.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "rtktest.h"

namespace {

using twins::Op;

// Runs body in a forked child that logs to the terminal; fails unless the
// child ends without a test failure (a deadlock ends it through the alarm).
// The child ends with exit(), not _exit(): a coverage build writes the
// library's counters at exit.
void InChild(const std::function<void()> &body) {
  std::fflush(stdout);
  EXPECT_EQ(rtktest::InChild([&body]() -> int {
              alarm(120), LOG_SetTarget(QM_LOG_TARGET_SCREEN), body();
              std::exit(::testing::Test::HasFailure() ? 1 : 0);
            }),
            0);
}

// The heap is whole: its own check finds every block's key, guards and
// abutment right and the blocks adding up (it logs an error line for any
// fault), and `allocated` bytes are in allocated blocks.
void ExpectWhole(uint64_t allocated) {
  qmmem_setDbg(-1);
  const int32_t errorsBefore = log_nerrors;
  uint64_t inBlocks = 1;
  EXPECT_EQ(qmmem_check() + MEM_Stats(&inBlocks, nullptr), 0);
  EXPECT_EQ(log_nerrors, errorsBefore);
  EXPECT_EQ(inBlocks, allocated);
  qmmem_setDbg(0);
}

// The heap's region source in this program: the differential test's twin
// regions while it runs, otherwise what the library's own source does.
extern "C" void *MEM_GetMemory_cb(int32_t *size) { return twins::Source(size); }

// One phase of the differential test: its debug level, the most blocks kept
// live, and how many random steps it takes.
struct Phase {
  int32_t level, maxLive, steps;
};
constexpr Phase kPhases[] = {{0, 300, 700}, {1, 40, 300}, {-1, 40, 200}, {2, 30, 200},
                             {3, 30, 200},  {4, 16, 300}, {5, 10, 100},  {0, 60, 400}};
constexpr int32_t kSizes[] = {1, 100, 472, 984, 4056, 4096, 20000};
constexpr int32_t kAligns[] = {0, -8, 8, 100, 512, -512, 1000, 1024, 4096, -8192, 65536, 1 << 20, 1536, -2560};
constexpr Op kRare[] = {Op::kReleaseAgain, Op::kReleaseAgain, Op::kDamage, Op::kDamage, Op::kCheck, Op::kAddRegion};

// A random step: mostly allocations (sizes from a byte to 4 MiB, every
// alignment, now and then a region source that gives more or nothing) and
// releases, and now and then a second release, a damaged key or guard
// byte, a check or a region added by hand.
twins::Step RandomStep(std::mt19937 &rng, const Phase &phase) {
  const uint32_t kind = rng() % 100, sizeKind = rng() % 50;
  twins::Step s{.op = Op::kRelease, .pick = uint32_t(rng()), .place = uint32_t(rng()), .value = uint8_t(rng())};
  if (kind < 50 && static_cast<int32_t>(twins::Live()) < phase.maxLive) {
    s.op = Op::kAllocate;
    s.align = kAligns[rng() % std::size(kAligns)];
    s.size = static_cast<int32_t>(sizeKind == 0 ? rng() % (4 << 20) : sizeKind < 12 ? rng() % 65536 : rng() % 2048);
    if (sizeKind == 1) s.size = -1;
    if (sizeKind >= 30) s.size = kSizes[sizeKind % std::size(kSizes)];
    s.extra = rng() % 4 == 0 ? rng() % 70000 : 0;
    s.refuse = rng() % 40 == 0;
  } else if (kind >= 88) {
    s.op = kRare[(kind - 88) % std::size(kRare)];
    s.offset = static_cast<int32_t>(rng() % 4 == 0 ? rng() % 4 : rng() >> 1);  // a key byte, or any
    s.released = rng() % 2 == 0;
    s.size = static_cast<int32_t>(rng() % 300000);
  }
  return s;
}

// Runs steps on the twin heaps until they differ.
void Script(std::initializer_list<twins::Step> steps) {
  for (const twins::Step &s : steps) ASSERT_EQ(twins::Run(s), "");
}

// The heap chooses, splits, moves, merges, fills, checks, lists and logs
// exactly as the list-walking heap does, at every debug level.
TEST(MemHeap, DoesStepForStepWhatTheListWalkingHeapDoes) {
  InChild([] {
    ASSERT_EQ(twins::Start(), "");
    std::mt19937 rng(20240611);
    Script({{.op = Op::kAddRegion, .size = 1 << 20, .place = uint32_t(rng())}});
    // A block's first overrun guard byte (the one the check reads) and an
    // underrun guard byte damaged, checked and released, before a damaged
    // key (which no release takes away) stops every later check early.
    Script({{.op = Op::kAllocate, .size = 100}, {.op = Op::kDamage, .offset = 16, .value = 'x'},
            {.op = Op::kDamage, .offset = 9}, {.op = Op::kLevel, .level = 1}, {.op = Op::kCheck}, {.op = Op::kRelease}});
    for (const Phase &phase : kPhases) {
      // Each phase opens with a growth (no free block is that large) and,
      // most of the time, an exact fit (blocks of 472 + 512 bytes leave the
      // next one's data on a 512-byte boundary; the middle one is released).
      Script({{.op = Op::kLevel, .level = phase.level}, {.op = Op::kAllocate, .align = 1 << 23, .size = 10},
              {.op = Op::kAllocate, .size = 472}, {.op = Op::kAllocate, .size = 472}, {.op = Op::kAllocate, .size = 472}});
      Script({{.op = Op::kRelease, .pick = uint32_t(twins::Live() - 2)}, {.op = Op::kAllocate, .size = 472}});
      for (int step = 0; step < phase.steps && !::testing::Test::HasFailure(); ++step) Script({RandomStep(rng, phase)});
    }
    ASSERT_EQ(twins::ReleaseAll(), "");
    // A free block with 104,857,600 bytes more than a request needs is not
    // taken (the heap grows instead); with a byte less it is. Requests whose
    // rounded size and alignment pass 32 bits, or whose growth would, fail.
    const int32_t size = 16 << 20, need = 40 + size + 512 + 512;
    Script({{.op = Op::kAllocate, .align = INT32_MIN, .size = INT32_MAX}, {.op = Op::kAllocate, .align = 8, .size = INT32_MAX},
            {.op = Op::kAddRegion, .size = need + 104857600}, {.op = Op::kAllocate, .size = size},
            {.op = Op::kAddRegion, .size = need + 104857599}, {.op = Op::kAllocate, .size = size}});
  });
}

// Pointers that the heap never gave out (no address at all, the stack, the
// middle of a block) are refused with a PANIC line, and nothing is written
// through them; a region that overlaps one the heap has is not taken.
TEST(MemHeap, RefusesForeignPointersAndOverlappingRegions) {
  InChild([] {
    alignas(4096) static unsigned char region[64 * 1024];
    MEM_AddMemory(region, sizeof region);
    MEM_AddMemory(region + 4096, 4096);
    auto *keep = static_cast<unsigned char *>(MEM_malloc(8, 100, "keep"));
    EXPECT_EQ(keep, region + 512);
    unsigned char foreign[64] = {};
    for (void *bad : {reinterpret_cast<void *>(1), static_cast<void *>(foreign + 40), static_cast<void *>(keep + 64)}) {
      // (The answer is logged after each PANIC line, or the log would fold the repeats.)
      EXPECT_EQ(rtktest::LoggedTexts([&] { LOG_Log(QM_LOG_PRINT, "%d\n", MEM_free(bad)); }),
                (std::vector<std::string>{"Quillmar PANIC PANIC: Freeing non-alloc'd memory.", "0"}));
    }
    EXPECT_EQ(std::count(foreign, foreign + 64, 0) + std::count(keep, keep + 100, 0), 164);
    ExpectWhole(616);
    EXPECT_EQ(MEM_free(keep), 100);
  });
}

// When the system allocator refuses the heap's index more room, a request
// fails as if the heap had no memory left, and the heap stays whole.
TEST(MemHeap, FailsARequestWhenItsIndexCannotGrow) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator does not answer null under an address-space limit";
#endif
  InChild([] {
    alignas(4096) static unsigned char region[8 << 20];
    MEM_AddMemory(region, sizeof region);
    std::vector<void *> blocks(sizeof region / 1024);
    size_t n = 0;
    long pages = 0;
    ASSERT_TRUE(std::ifstream("/proc/self/statm") >> pages);
    rlimit normal{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &normal), 0);
    const rlimit tight = {static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)), normal.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    while (n < blocks.size() && (blocks[n] = MEM_malloc(8, 1, "tght")) != nullptr) ++n;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &normal), 0);
    uint64_t free_bytes = 0;
    MEM_Stats(nullptr, &free_bytes);
    EXPECT_GT(free_bytes, 2u << 20) << n << " blocks";
    for (void *p : blocks) MEM_free(p);
    ExpectWhole(0);
    EXPECT_NE(MEM_malloc(8, 1, "room"), nullptr);
  });
}

TEST(MemHeap, ThreadsAllocateAndReleaseAtOnce) {
  InChild([] {
    qmmem_setDbg(-1);  // every call checks the whole heap
    const int32_t errorsBefore = log_nerrors;
    std::atomic<int> faults{0};
    {
      std::latch start(8);
      std::vector<std::jthread> threads;
      for (unsigned char seed = 1; seed <= 8; ++seed) {
        threads.emplace_back([&faults, &start, seed] {
          std::mt19937 rng(seed);
          std::vector<std::pair<unsigned char *, int32_t>> mine;
          start.arrive_and_wait();
          for (int i = 0; i < 1500; ++i) {
            const auto n = static_cast<int32_t>(rng() % 6000);
            auto *p = static_cast<unsigned char *>(MEM_malloc(rng() % 2 ? 512 : 4096, n, "thrd"));
            faults += p == nullptr;
            if (p != nullptr) mine.emplace_back(static_cast<unsigned char *>(std::memset(p, seed, size_t(n))), n);
            for (size_t keep = i == 1499 ? 0 : rng() % 8; mine.size() > keep; mine.pop_back()) {
              const auto [q, m] = mine.back();
              faults += std::count(q, q + m, seed) != m || MEM_free(q) != m;
            }
          }
        });
      }
    }
    EXPECT_EQ(faults.load() + log_nerrors - errorsBefore, 0);  // no PANIC line: no caller met another inside
    ExpectWhole(0);
  });
}

// An error hook that uses the heap, called from the heap's own message about
// a damaged block (while the heap holds its lock).
void *hookBlock = &hookBlock;
uint64_t hookAllocated = 0;
int32_t HeapHook(uint32_t, const char *, const char *, va_list) {
  hookBlock = MEM_malloc(8, 10, "hook");
  MEM_Stats(&hookAllocated, nullptr);
  return 0;
}

// A forked child's MEM_FreeAll empties its heap and leaves the parent's;
// then the hook, then the heap without its lock.
TEST(MemHeap, FreeAllInAForkedChildAHookThatUsesTheHeapAndNoLock) {
  InChild([] {
    std::vector<void *> blocks;
    for (int32_t i = 0; i < 12; ++i) blocks.push_back(MEM_malloc(i % 3 ? 512 : 8192, 900 * i, "fork"));
    MEM_free(blocks[4]);
    MEM_free(blocks[7]);
    uint64_t allocated = 0;
    MEM_Stats(&allocated, nullptr);
    InChild([] {
      EXPECT_EQ(MEM_FreeAll(), 0);
      ExpectWhole(0);
    });
    ExpectWhole(allocated);
    for (void *p : blocks) MEM_free(p);
    auto *p = static_cast<char *>(MEM_malloc(8, 100, "reen"));
    p[100] = 'x';
    qmlog_errStat = HeapHook;
    int32_t rc = -1;
    rtktest::LoggedTexts([&] { rc = MEM_free(p); });
    qmlog_errStat = nullptr;
    EXPECT_EQ(rc, 100);
    EXPECT_EQ(hookBlock, nullptr);   // no allocation from inside the heap
    EXPECT_EQ(hookAllocated, 616u);  // reading works there
    ExpectWhole(0);
    // Once the exit handlers have run the heap goes on without its lock.
    qmexit_rundown();
    const int32_t errorsBefore = log_nerrors;
    void *q = MEM_malloc(8, 100, "late");
    EXPECT_NE(q, nullptr);
    EXPECT_EQ(MEM_free(q) + MEM_free(MEM_malloc(8, 100, "late")), 200);
    EXPECT_EQ(log_nerrors, errorsBefore);  // no caller found another inside
    ExpectWhole(0);
  });
}

}  // namespace

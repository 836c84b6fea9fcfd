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
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

using Lines = std::vector<std::string>;

bool All(const void *p, int32_t n, unsigned char c) {
  auto *b = static_cast<const unsigned char *>(p);
  return std::all_of(b, b + n, [c](unsigned char x) { return x == c; });
}

// Runs body in a forked child that logs to the terminal; fails unless the
// child ends without a test failure (a deadlock ends it through the alarm).
void InChild(const std::function<void()> &body) {
  std::fflush(stdout);
  const pid_t pid = rtktest::Fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    alarm(120);
    LOG_SetTarget(QM_LOG_TARGET_SCREEN);
    body();
    // exit(), not _exit(): a coverage build writes the library's counters
    // at exit.
    std::exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  EXPECT_EQ(rtktest::WaitForExit(pid), 0);
}

// The heap is whole: its own check finds every block's key, guards and
// abutment right and the blocks adding up (it logs an error line for any
// fault), and `allocated` bytes are in allocated blocks.
void ExpectWhole(uint64_t allocated) {
  qmmem_setDbg(-1);
  const int32_t errorsBefore = log_nerrors;
  EXPECT_EQ(qmmem_check(), 0);
  EXPECT_EQ(log_nerrors, errorsBefore);
  qmmem_setDbg(0);
  uint64_t inBlocks = 1;
  EXPECT_EQ(MEM_Stats(&inBlocks, nullptr), 0);
  EXPECT_EQ(inBlocks, allocated);
}

// The heap's region source in this program: the differential test's twin
// regions while it runs, otherwise what the library's own source does.
extern "C" void *MEM_GetMemory_cb(int32_t *size) { return twins::Source(size); }

// One phase of the differential test: its debug level, the most blocks kept
// live, and how many steps it takes.
struct Phase {
  int32_t level, maxLive, steps;
};
constexpr Phase kPhases[] = {{0, 300, 700}, {1, 40, 300}, {-1, 40, 200}, {2, 30, 200},
                             {3, 30, 200},  {4, 16, 300}, {5, 10, 100},  {0, 60, 400}};
constexpr int32_t kSizes[] = {1, 100, 472, 984, 4056, 4096, 20000};
constexpr int32_t kAligns[] = {0, -8, 8, 100, 512, -512, 1000, 1024, 4096, -8192, 65536, 1 << 20, 1536, -2560};

// A random step: mostly allocations (sizes from a byte to 4 MiB, every
// alignment, now and then a region source that gives more or nothing) and
// releases, and now and then a second release, a damaged key or guard
// byte, a check or a region added by hand.
twins::Step RandomStep(std::mt19937 &rng, size_t live, const Phase &phase) {
  const uint32_t kind = rng() % 100, sizeKind = rng() % 50;
  twins::Step s{.op = twins::Op::kRelease, .pick = uint32_t(rng()), .place = uint32_t(rng()), .value = uint8_t(rng())};
  if (kind < 50 && static_cast<int32_t>(live) < phase.maxLive) {
    s.op = twins::Op::kAllocate;
    s.align = kAligns[rng() % std::size(kAligns)];
    s.size = static_cast<int32_t>(sizeKind == 0 ? rng() % (4 << 20) : sizeKind < 12 ? rng() % 65536 : rng() % 2048);
    if (sizeKind == 1) s.size = -1;
    if (sizeKind >= 30) s.size = kSizes[sizeKind % std::size(kSizes)];
    s.extra = rng() % 4 == 0 ? rng() % 70000 : 0;
    s.refuse = rng() % 40 == 0;
  } else if (kind >= 88) {
    const twins::Op rare[] = {twins::Op::kReleaseAgain, twins::Op::kReleaseAgain, twins::Op::kDamage,
                              twins::Op::kDamage, twins::Op::kCheck, twins::Op::kAddRegion};
    s.op = rare[(kind - 88) % std::size(rare)];
    s.offset = static_cast<int32_t>(rng() % 4 == 0 ? rng() % 4 : rng() >> 1);  // a key byte, or any
    s.released = rng() % 2 == 0;
    s.size = static_cast<int32_t>(rng() % 300000);
  }
  return s;
}

// The heap chooses, splits, moves, merges, fills, checks, lists and logs
// exactly as the list-walking heap does, at every debug level.
TEST(MemHeap, DoesStepForStepWhatTheListWalkingHeapDoes) {
  InChild([] {
    twins::Twins heaps;
    std::mt19937 rng(20240611);
    ASSERT_EQ(heaps.Run({.op = twins::Op::kAddRegion, .size = 1 << 20, .place = uint32_t(rng())}), "");
    // In the first region alone: 100 blocks, then every other one released
    // (50 free blocks of one size and more), 10 of them taken again by exact
    // fits, 10 live blocks among free ones released (merging the free ones),
    // 20 more exact fits, then the rest released (back to one), twice over.
    for (int32_t round = 0; round < 2; ++round) {
      const int32_t size = 1000 + round * 3000, exact = round == 0 ? 1496 : 4056;  // exact: the blocks' nbytes - 512
      const int32_t steps[][3] = {{100, 0, size}, {50, -1, 0}, {10, 0, exact}, {10, 20, 0}, {20, 0, exact}, {80, 0, 0}};
      for (const auto &[count, pick, bytes] : steps) {
        for (int i = 0; i < count; ++i) {
          const twins::Step s = bytes != 0 ? twins::Step{.op = twins::Op::kAllocate, .size = bytes}
                                           : twins::Step{.op = twins::Op::kRelease, .pick = uint32_t(pick < 0 ? i : pick)};
          ASSERT_EQ(heaps.Run(s) + heaps.Listings(), "") << "round " << round << ", pick " << pick << ", bytes " << bytes;
        }
      }
    }
    // A block's first overrun guard byte (the one the check reads) and an
    // underrun guard byte damaged, checked and released, before a damaged
    // key (which no release takes away) stops every later check early.
    const twins::Step guards[] = {{.op = twins::Op::kAllocate, .size = 100},
                                  {.op = twins::Op::kDamage, .offset = 16, .value = 'x'},
                                  {.op = twins::Op::kDamage, .offset = 9},
                                  {.op = twins::Op::kLevel, .level = 1},
                                  {.op = twins::Op::kCheck},
                                  {.op = twins::Op::kRelease}};
    for (const twins::Step &s : guards) ASSERT_EQ(heaps.Run(s) + heaps.Listings(), "");
    for (const Phase &phase : kPhases) {
      // Each phase opens with a growth (no free block is that large) and,
      // most of the time, an exact fit (blocks of 472 + 512 bytes leave the
      // next one's data on a 512-byte boundary).
      const twins::Step opening[] = {{.op = twins::Op::kLevel, .level = phase.level},
                                     {.op = twins::Op::kAllocate, .align = 1 << 23, .size = 10},
                                     {.op = twins::Op::kAllocate, .size = 472},
                                     {.op = twins::Op::kAllocate, .size = 472},
                                     {.op = twins::Op::kAllocate, .size = 472},
                                     {.op = twins::Op::kRelease, .pick = uint32_t(heaps.Live() + 2)},  // the middle one
                                     {.op = twins::Op::kAllocate, .size = 472}};
      for (const twins::Step &s : opening) ASSERT_EQ(heaps.Run(s) + heaps.Listings(), "") << "level " << phase.level;
      for (int step = 0; step < phase.steps; ++step) {
        const twins::Step s = RandomStep(rng, heaps.Live(), phase);
        ASSERT_EQ(heaps.Run(s) + heaps.Listings(), "") << "level " << phase.level << ", step " << step;
      }
    }
    ASSERT_EQ(heaps.ReleaseAll() + heaps.Listings(), "");
    // A free block with 104,857,600 bytes more than a request needs is not
    // taken (the heap grows instead); with a byte less it is. Requests whose
    // rounded size and alignment pass 32 bits, or whose growth would, fail.
    const int32_t size = 16 << 20, need = size + 512 + 512;
    const twins::Step excess[] = {{.op = twins::Op::kAllocate, .align = INT32_MIN, .size = INT32_MAX},
                                  {.op = twins::Op::kAllocate, .align = 8, .size = INT32_MAX},
                                  {.op = twins::Op::kAddRegion, .size = 40 + need + 104857600},
                                  {.op = twins::Op::kAllocate, .align = 512, .size = size},
                                  {.op = twins::Op::kAddRegion, .size = 40 + need + 104857599},
                                  {.op = twins::Op::kAllocate, .align = 512, .size = size}};
    for (const twins::Step &s : excess) EXPECT_EQ(heaps.Run(s) + heaps.Listings(), "");
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
      int32_t rc = -1;
      // (A line after each PANIC line, or the log would fold the repeats.)
      EXPECT_EQ(rtktest::LoggedTexts([&] { rc = MEM_free(bad), LOG_Log(QM_LOG_PRINT, "-\n"); }),
                (Lines{"Quillmar PANIC PANIC: Freeing non-alloc'd memory.", "-"}));
      EXPECT_EQ(rc, 0);
    }
    EXPECT_TRUE(All(foreign, 64, 0));
    EXPECT_TRUE(All(keep, 100, 0));
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
    std::vector<void *> blocks;
    blocks.reserve(sizeof region / 1024);
    long pages = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    ASSERT_TRUE(statm != nullptr && std::fscanf(statm, "%ld", &pages) == 1);
    std::fclose(statm);
    rlimit normal{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &normal), 0);
    const rlimit tight = {static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)), normal.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    for (void *p; blocks.size() < blocks.capacity() && (p = MEM_malloc(8, 1, "tght")) != nullptr;) blocks.push_back(p);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &normal), 0);
    uint64_t free_bytes = 0;
    MEM_Stats(nullptr, &free_bytes);
    EXPECT_GT(free_bytes, 2u << 20) << blocks.size() << " blocks";
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
    std::latch start(8);
    auto worker = [&faults, &start](unsigned seed) {
      std::mt19937 rng(seed);
      std::vector<std::pair<unsigned char *, int32_t>> mine;
      start.arrive_and_wait();
      for (int i = 0; i < 3000 || !mine.empty(); ++i) {
        if (i < 3000 && mine.size() < 8 && (mine.empty() || rng() % 2 == 0)) {
          const auto n = static_cast<int32_t>(rng() % 6000);
          auto *p = static_cast<unsigned char *>(MEM_malloc(rng() % 2 ? 512 : 4096, n, "thrd"));
          if (p == nullptr && ++faults) continue;
          std::memset(p, static_cast<int>(seed), static_cast<size_t>(n));
          mine.emplace_back(p, n);
        } else {
          const auto [p, n] = mine.back();
          faults += !All(p, n, static_cast<unsigned char>(seed)) || MEM_free(p) != n;
          mine.pop_back();
        }
      }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t <= 8; ++t) threads.emplace_back(worker, t);
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(log_nerrors, errorsBefore);  // no PANIC line: no caller met another inside
    ExpectWhole(0);
  });
}

TEST(MemHeap, FreeAllEmptiesTheHeapOfAForkedChild) {
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

TEST(MemHeap, ErrorHookThatUsesTheHeapNeitherBlocksNorDamagesIt) {
  InChild([] {
    auto *p = static_cast<char *>(MEM_malloc(8, 100, "reen"));
    p[100] = 'x';
    qmlog_errStat = HeapHook;
    int32_t rc = -1;
    rtktest::LoggedTexts([&] { rc = MEM_free(p); });
    qmlog_errStat = nullptr;
    EXPECT_EQ(rc, 100);
    EXPECT_EQ(hookBlock, nullptr);     // no allocation from inside the heap
    EXPECT_EQ(hookAllocated, 616u);    // reading works there
    ExpectWhole(0);
    // Once the exit handlers have run the heap goes on without its lock.
    qmexit_rundown();
    void *q = MEM_malloc(8, 100, "late");
    EXPECT_NE(q, nullptr);
    EXPECT_EQ(MEM_free(q), 100);
    ExpectWhole(0);
  });
}

}  // namespace

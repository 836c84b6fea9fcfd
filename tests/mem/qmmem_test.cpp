// Debug heap tests. Each test runs in a forked child, which starts with an
// untouched heap; the heap's own listing (MEM_Walk) is read back from the
// message log and checked against what must hold after any operation.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "diag_test_util.h"
#include "heap_twins.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"

namespace {

using Lines = std::vector<std::string>;
constexpr uint64_t kH = 40;  // header size

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }
uintptr_t Addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }
bool All(const void *p, int32_t n, unsigned char c) {
  auto *b = static_cast<const unsigned char *>(p);
  return std::all_of(b, b + n, [c](unsigned char x) { return x == c; });
}
std::string Line(const char *fmt, const void *p, const char *tag = "") {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, p, tag);
  return buf;
}

// Runs body in a forked child that logs to the terminal; fails unless the
// child ends without a test failure (a deadlock ends it through the alarm).
void InChild(const std::function<void()> &body) {
  std::fflush(stdout);
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    alarm(120);
    LOG_SetTarget(QM_LOG_TARGET_SCREEN);
    body();
    std::fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// Runs fn and answers the texts of the log lines that it wrote.
Lines Logged(const std::function<void()> &fn) {
  diagtest::StdoutCapture capture;
  fn();
  Lines lines;
  for (const diagtest::LogLine &l : diagtest::ParseLines(capture.Finish())) lines.push_back(l.text.substr(0, l.text.find('\n')));
  return lines;
}

struct Block {
  bool free;
  uintptr_t header, data, end;
  uint32_t nbytes, key;
  std::string tag;
  bool last;  // ends its region
  bool operator==(const Block &) const = default;
};

// The heap as MEM_Walk lists it.
struct Heap {
  uint64_t total = 0, lost = 0, addedUp = 0, lessLoss = 0;
  std::vector<Block> blocks;
  bool operator==(const Heap &) const = default;
  const Block *Find(const void *data) const {
    auto it = std::find_if(blocks.begin(), blocks.end(), [data](const Block &b) { return b.data == Addr(data); });
    return it == blocks.end() ? nullptr : &*it;
  }
  long Count(bool free) const {
    return std::count_if(blocks.begin(), blocks.end(), [free](const Block &b) { return b.free == free; });
  }
  bool AllFreeRegions() const {
    return std::all_of(blocks.begin(), blocks.end(), [](const Block &b) { return b.free && b.last; });
  }
};

Heap Walk(const char *which = "") {
  Heap v;
  for (const std::string &line : Logged([which] { MEM_Walk(which); })) {
    unsigned long long a = 0, b = 0;
    char kind[6] = {};
    void *h = nullptr, *d = nullptr, *e = nullptr;
    int nbytes = 0, used = 0;
    unsigned key = 0;
    if (std::sscanf(line.c_str(), "Walk started. Total allocation:%llu LostSpace:%llu", &a, &b) == 2) {
      v.total = a, v.lost = b;
    } else if (std::sscanf(line.c_str(), "  Added-up:%llu  Allocation less loss:%llu", &a, &b) == 2) {
      v.addedUp = a, v.lessLoss = b;
    } else if (std::sscanf(line.c_str(), "%5c 0x%p nbytes:%d, datap:0x%p  end:0x%p key:%x%n", kind, &h,
                           &nbytes, &d, &e, &key, &used) == 6 &&
               line.size() >= static_cast<size_t>(used) + 3) {
      const std::string rest = line.substr(static_cast<size_t>(used));  // " <tag> <E or blank>"
      v.blocks.push_back({std::string(kind) == "FREE ", Addr(h), Addr(d), Addr(e),
                          static_cast<uint32_t>(nbytes), key, rest.substr(1, rest.size() - 3),
                          rest.back() == 'E'});
    } else {
      EXPECT_EQ(line.rfind("Walk done: ", 0), 0u) << "unexpected line: " << line;
    }
  }
  return v;
}

// What holds after any sequence of operations: the blocks add up to the
// memory handed to the heap, abut unless they end a region, no two free
// blocks abut, and MEM_Stats agrees with the listing.
void ExpectWhole(const Heap &v) {
  uint64_t sum = 0, freeSum = 0, allocSum = 0;
  for (size_t i = 0; i < v.blocks.size(); ++i) {
    const Block &b = v.blocks[i];
    sum += b.nbytes + kH;
    (b.free ? freeSum : allocSum) += b.nbytes;
    EXPECT_EQ(b.key, b.free ? 0x12345678u : 0x87654321u);
    EXPECT_EQ(b.data, b.header + kH);
    EXPECT_EQ(b.end, b.data + b.nbytes);
    if (i + 1 == v.blocks.size()) {
      EXPECT_TRUE(b.last);
    } else if (!b.last) {
      EXPECT_EQ(b.end, v.blocks[i + 1].header) << "block " << i << " does not abut";
      EXPECT_FALSE(b.free && v.blocks[i + 1].free) << "blocks " << i << "+1 not merged";
    }
  }
  EXPECT_EQ(sum, v.total - v.lost);
  EXPECT_EQ(v.addedUp, sum);
  EXPECT_EQ(v.lessLoss, v.total - v.lost);
  uint64_t allocated = 1, free_bytes = 1;
  EXPECT_EQ(MEM_Stats(&allocated, &free_bytes), 0);
  EXPECT_EQ(allocated, allocSum);
  EXPECT_EQ(free_bytes, freeSum);
}

struct Live {
  unsigned char *p;
  int32_t n;
  unsigned char fill;
  std::string tag;
};

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
    // taken (the heap grows instead); with a byte less it is.
    const int32_t size = 16 << 20, need = size + 512 + 512;
    const twins::Step excess[] = {{.op = twins::Op::kAddRegion, .size = 40 + need + 104857600},
                                  {.op = twins::Op::kAllocate, .align = 512, .size = size},
                                  {.op = twins::Op::kAddRegion, .size = 40 + need + 104857599},
                                  {.op = twins::Op::kAllocate, .align = 512, .size = size}};
    for (const twins::Step &s : excess) EXPECT_EQ(heaps.Run(s) + heaps.Listings(), "");
  });
}

// Clearing at level 0 and the release fill (the differential test covers
// the rest); then requests that must be refused and frees that must be
// ignored.
TEST(MemHeap, ClearsFillsRefusesBadRequestsAndIgnoresFreeOrForeignMemory) {
  InChild([] {
    // With the heap otherwise empty, every request below gets the same place.
    void *p = MEM_malloc(8, 300, "dirt");
    std::memset(p, 0xEE, 300);
    MEM_free(p);
    EXPECT_EQ(MEM_malloc(8, 300, "nclr"), p);
    EXPECT_TRUE(All(p, 300, 0xEE));  // debug level 0 neither clears nor fills
    MEM_free(p);
    EXPECT_EQ(MEM_malloc(-8, 300, "zero"), p);
    EXPECT_TRUE(All(p, 300, 0));
    qmmem_setDbg(1);
    EXPECT_EQ(MEM_free(p), 300);
    EXPECT_TRUE(All(p, 300, 'C'));
    qmmem_setDbg(0);
    void *twice = MEM_malloc(8, 100, "twce"), *keep = MEM_malloc(8, 100, "keep");
    EXPECT_EQ(MEM_free(twice), 100);
    const Heap before = Walk();
    const int32_t requests[][2] = {{1536, 10}, {-2560, 10}, {8, -1}, {INT32_MIN, INT32_MAX}, {8, INT32_MAX}};
    for (const auto &r : requests) EXPECT_EQ(MEM_malloc(r[0], r[1], "bad"), nullptr) << r[0] << "," << r[1];
    EXPECT_EQ(MEM_free(twice), 0);
    EXPECT_EQ(MEM_free(nullptr), 0);
    // Pointers that the heap never gave out: no address at all, the stack,
    // the middle of a block. Nothing is written through them.
    unsigned char foreign[64] = {};
    std::memset(keep, 0, 100);
    void *const strangers[] = {reinterpret_cast<void *>(1), foreign + kH, static_cast<char *>(keep) + 64};
    for (void *bad : strangers) {
      int32_t rc = -1;
      // (A line after each PANIC line, or the log would fold the repeats.)
      EXPECT_EQ(Logged([&] { rc = MEM_free(bad), LOG_Log(QM_LOG_PRINT, "-\n"); }),
                (Lines{"Quillmar PANIC PANIC: Freeing non-alloc'd memory.", "-"}));
      EXPECT_EQ(rc, 0);
    }
    EXPECT_TRUE(All(foreign, 64, 0));
    EXPECT_TRUE(All(keep, 100, 0));
    EXPECT_EQ(Walk(), before);
    EXPECT_EQ(MEM_free(keep), 100);
  });
}

TEST(MemHeap, ReportsOverrunsAndUnderrunsWithTheirLines) {
  InChild([] {
    qmmem_setDbg(1);
    auto *over = static_cast<char *>(MEM_malloc(8, 100, "ovr1"));
    auto *under = static_cast<char *>(MEM_malloc(8, 50, "und1"));
    over[100] = 'x';
    char *guard = under - kH + 28;  // the eight underrun guard bytes of the header
    guard[0] = guard[5] = 0;
    const char *underrun = "Quillmar PANIC qmmem:Data underrun detected! Data addr is 0x%p";
    const Lines underLines = {Line(underrun, guard), Line(underrun, guard + 5)};
    int32_t rc = -1;
    Lines expected = {Line("Quillmar PANIC qmmem_check detected overrun. Data addr:0x%p tag:%s", over, "ovr1")};
    expected.insert(expected.end(), underLines.begin(), underLines.end());
    EXPECT_EQ(Logged([&] { rc = qmmem_check(); }), expected);
    EXPECT_EQ(rc, 0);  // guard damage alone does not fail the check
    qmmem_setDbg(0);
    EXPECT_EQ(Logged([&] { rc = MEM_free(over); }), Lines{Line("Quillmar PANIC qmmem: Overrun! p:%p tag:%s", over, "ovr1")});
    EXPECT_EQ(rc, 100);
    EXPECT_EQ(Logged([&] { rc = MEM_free(under); }), underLines);
    EXPECT_EQ(rc, 50);
    const Heap v = Walk();
    ExpectWhole(v);
    EXPECT_EQ(v.Count(false), 0);
  });
}

// The smallest alignment above `from`'s own.
int32_t Misaligning(uint64_t from) {
  uint64_t align = 512;
  while (from % align == 0) align *= 2;
  return static_cast<int32_t>(align);
}

TEST(MemHeap, MovesHeadersStretchesNeighboursAndMergesRegionsBack) {
  InChild([] {
    qmmem_setDbg(1);
    EXPECT_EQ(qmmem_check(), 0);  // as the very first call it sets the heap up
    qmmem_setDbg(0);
    uint64_t allocated = 1, free_bytes = 0;
    MEM_Stats(&allocated, &free_bytes);
    EXPECT_EQ(allocated, 0u);
    EXPECT_EQ(free_bytes, 1048576u - kH);
    const Heap v0 = Walk();
    ASSERT_EQ(v0.blocks.size(), 1u);
    // The head of the list moves forward and its gap is lost.
    const uint64_t head = v0.blocks[0].data, align = Misaligning(head);
    void *x = MEM_malloc(static_cast<int32_t>(align), 100, "head");
    const Heap v1 = Walk();
    EXPECT_EQ(v1.lost, RoundUp(head, align) - head);
    ASSERT_EQ(v1.blocks.size(), 2u);
    EXPECT_EQ(v1.blocks[0].data, Addr(x));
    // A block inside a region gives its gap to the block in front.
    const uint64_t rest = v1.blocks[1].data, align2 = Misaligning(rest);
    void *y = MEM_malloc(static_cast<int32_t>(align2), 100, "mid");
    const Heap v2 = Walk();
    EXPECT_EQ(v2.lost, v1.lost);
    EXPECT_EQ(v2.Find(x)->nbytes, v1.blocks[0].nbytes + RoundUp(rest, align2) - rest);
    // The first block of a later region loses its gap.
    alignas(4096) static unsigned char region[64 * 1024];
    MEM_AddMemory(region, sizeof region);
    MEM_AddMemory(region + 4096, 4096);  // overlaps it: not taken
    void *z = MEM_malloc(512, 1000, "own");
    const Heap v3 = Walk();
    EXPECT_EQ(Addr(z), Addr(region) + 512);
    EXPECT_EQ(v3.total, v2.total + sizeof region);
    EXPECT_EQ(v3.lost, v2.lost + 512 - kH);
    ExpectWhole(v3);
    for (void *p : {y, x, z}) EXPECT_GT(MEM_free(p), 0);
    const Heap v4 = Walk();
    ExpectWhole(v4);
    ASSERT_EQ(v4.blocks.size(), 2u);
    EXPECT_EQ(v4.blocks[0].nbytes, 1048576 - kH - v1.lost);
    EXPECT_EQ(v4.blocks[1].nbytes, sizeof region - 512);
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
    rlimit normal{}, tight{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &normal), 0);
    tight = {static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)), normal.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    for (void *p; blocks.size() < blocks.capacity() && (p = MEM_malloc(8, 1, "tght")) != nullptr;) blocks.push_back(p);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &normal), 0);
    uint64_t free_bytes = 0;
    MEM_Stats(nullptr, &free_bytes);
    EXPECT_GT(free_bytes, 2u << 20) << blocks.size() << " blocks";
    ExpectWhole(Walk());
    EXPECT_NE(MEM_malloc(8, 1, "room"), nullptr);
  });
}

TEST(MemHeap, GrowsByOneRegionAndListsBlocksBySelector) {
  InChild([] {
    const Heap v0 = Walk();
    void *small = MEM_malloc(8, 10, "smal");
    ASSERT_NE(MEM_malloc(4096, 2 << 20, "big"), nullptr);
    const Heap all = Walk();
    EXPECT_EQ(all.total - v0.total, RoundUp((2 << 20) + 512, 8) + 10240 + 4096);
    ExpectWhole(all);
    const Heap freeOnly = Walk("F"), allocOnly = Walk("A"), none = Walk("x");
    EXPECT_EQ(allocOnly.blocks.size(), 2u);
    EXPECT_EQ(allocOnly.Count(false), 2);
    EXPECT_EQ(freeOnly.blocks.size(), static_cast<size_t>(all.Count(true)));
    EXPECT_EQ(freeOnly.Count(true), all.Count(true));
    EXPECT_TRUE(none.blocks.empty());
    for (const Heap *v : {&freeOnly, &allocOnly, &none}) EXPECT_TRUE(v->addedUp == all.addedUp && v->total == all.total);
    MEM_free(small);
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
      std::vector<Live> mine;
      start.arrive_and_wait();
      for (int i = 0; i < 3000 || !mine.empty(); ++i) {
        if (i < 3000 && mine.size() < 8 && (mine.empty() || rng() % 2 == 0)) {
          const auto n = static_cast<int32_t>(rng() % 6000);
          auto *p = static_cast<unsigned char *>(MEM_malloc(rng() % 2 ? 512 : 4096, n, "thrd"));
          if (p == nullptr && ++faults) continue;
          std::memset(p, static_cast<int>(seed), static_cast<size_t>(n));
          mine.push_back({p, n, static_cast<unsigned char>(seed), ""});
        } else {
          faults += !All(mine.back().p, mine.back().n, mine.back().fill) || MEM_free(mine.back().p) != mine.back().n;
          mine.pop_back();
        }
      }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t <= 8; ++t) threads.emplace_back(worker, t);
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(log_nerrors, errorsBefore);  // no PANIC line: no caller met another inside
    EXPECT_EQ(qmmem_check(), 0);
    const Heap v = Walk();
    ExpectWhole(v);
    EXPECT_EQ(v.Count(false), 0);
  });
}

TEST(MemHeap, FreeAllEmptiesTheHeapOfAForkedChild) {
  InChild([] {
    std::vector<void *> blocks;
    for (int32_t i = 0; i < 12; ++i) blocks.push_back(MEM_malloc(i % 3 ? 512 : 8192, 900 * i, "fork"));
    MEM_free(blocks[4]);
    MEM_free(blocks[7]);
    uint64_t allocated = 0, after = 0;
    MEM_Stats(&allocated, nullptr);
    InChild([] {
      EXPECT_EQ(MEM_FreeAll(), 0);
      const Heap v = Walk();
      ExpectWhole(v);
      EXPECT_TRUE(v.AllFreeRegions());
    });
    MEM_Stats(&after, nullptr);
    EXPECT_EQ(after, allocated);
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
    Logged([&] { rc = MEM_free(p); });
    qmlog_errStat = nullptr;
    EXPECT_EQ(rc, 100);
    EXPECT_EQ(hookBlock, nullptr);                    // no allocation from inside the heap
    EXPECT_EQ(hookAllocated, RoundUp(100 + 512, 8));  // reading works there
    ExpectWhole(Walk());
    // Once the exit handlers have run the heap goes on without its lock.
    qmexit_rundown();
    void *q = MEM_malloc(8, 100, "late");
    EXPECT_NE(q, nullptr);
    EXPECT_EQ(MEM_free(q), 100);
    ExpectWhole(Walk());
  });
}

}  // namespace

// qmmem.cpp - the debug heap: blocks carved from large regions, aligned to at
// least 512 bytes, guarded against underruns and overruns, kept on one list in
// address order within each region, merged on release, and checked and listed
// on demand. A debug level sets how much it checks, fills and logs; all of its
// messages go to the message log.
//
// The list is what the heap is: its order decides which block a request gets,
// and the listing, the check and the totals walk it. Beside it the index
// (mem/mem_internal.h) knows each block by its header address, with its neighbours
// and its region, and holds the free blocks in the order in which the fit
// search prefers them. So a release finds its block, its neighbours and
// whether the pointer is a block at all, and an allocation finds the block
// that a walk of the list would choose, in O(log n) for n blocks. Only what
// is linear by nature walks: the check, the listing, the totals, MEM_FreeAll
// and the lines that name every block the search looks at (debug level 4).
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mem/mem_internal.h"
#include "pf_thread.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"

namespace {

using rtk::mem::kNoBlock;

// Every block, free or allocated, starts with this header; its data follow
// the header directly (data = header + 40, end = data + nbytes).
//
//    0        4        8                16       20       24       28              36   40
//    +--------+--------+----------------+--------+--------+--------+---------------+----+
//    | key    | nbytes | next           | end    | asked  | tag    | underrun      |pad |
//    | u32    | u32    | Header *       | i32    | i32    | 4 char | 8 x 'A'       |    |
//    +--------+--------+----------------+--------+--------+--------+---------------+----+
//
// key: kFreeKey or kAllocKey; any other value marks a damaged block.
// nbytes: data bytes that the block owns. next: the next block of the list.
// end: 1 when the block is the last of its region, 0 when `next` starts right
// after this block's data. asked, tag and the underrun guard are meaningful in
// allocated blocks only; the asked bytes are followed by 512 guard bytes.
struct Header {
  uint32_t key;
  uint32_t nbytes;
  Header *next;
  int32_t end;
  int32_t asked;
  char tag[4];
  unsigned char underrun[8];
};
static_assert(offsetof(Header, key) == 0);
static_assert(offsetof(Header, nbytes) == 4);
static_assert(offsetof(Header, next) == 8);
static_assert(offsetof(Header, end) == 16);
static_assert(offsetof(Header, asked) == 20);
static_assert(offsetof(Header, tag) == 24);
static_assert(offsetof(Header, underrun) == 28);
static_assert(sizeof(Header) == 40);

constexpr uint64_t H = sizeof(Header);
constexpr uint32_t kFreeKey = 0x12345678u;
constexpr uint32_t kAllocKey = 0x87654321u;
constexpr unsigned char kGuardByte = 'A';
constexpr unsigned char kReleasedFill = 'C';
constexpr uint64_t kOverrunGuard = 512;           // guard bytes after the asked bytes
constexpr uint64_t kAlignUnit = 512;              // default alignment and its rounding unit
constexpr int32_t kFirstRegion = 0x100000;        // region asked for at set-up
constexpr uint64_t kGrowExtra = 0x2800;           // extra bytes asked for when growing
constexpr uint64_t kBestExcessStart = 0x6400000;  // blocks with more excess are never taken

// An overrun guard as it is written, to compare a block's guard with.
struct GuardImage {
  unsigned char bytes[kOverrunGuard];
};
constexpr GuardImage makeGuardImage() {
  GuardImage g{};
  for (unsigned char &c : g.bytes) c = kGuardByte;
  return g;
}
constexpr GuardImage kIntactGuard = makeGuardImage();

// Set-up states of `one_time`.
constexpr int32_t kUntouched = 0;
constexpr int32_t kSettingUp = 1;
constexpr int32_t kSetUp = 2;

// Storage for the heap's lock: room for any semaphore object.
union MutexStorage {
  PF_Mutex mutex;
  unsigned char bytes[1024];
};

// ---- process-wide state ----------------------------------------------------
// The list, its totals and the index beside it (qmmem_index.cpp) are guarded
// by the lock; the flags are atomics so that threads may meet in the set-up
// and in qmmem_setDbg. Per thread: whether this thread holds the heap's lock
// (a log line that the heap writes under its lock can come back into the
// heap through the error hook), whether it runs the set-up, and the text
// buffer of tag().
struct {
  Header *thelist = nullptr;             // first block of the list; null until a region is added
  uint64_t total_allocation = 0;         // sum of the sizes of all regions added
  uint64_t lostSpace = 0;                // bytes given up in front of moved or realigned headers
  std::atomic<bool> haveMemory{false};   // thelist is not null (readable without the lock)
  std::atomic<int32_t> dbgLevel{0};      // set by qmmem_setDbg
  std::atomic<int32_t> mutexCounter{0};  // callers inside the allocate and release sections
  std::atomic<int32_t> one_time{kUntouched};
  MutexStorage qmmem_mutex_data{};
  std::atomic<PF_Mutex *> qmmem_mutex;   // the lock in qmmem_mutex_data; null after qmmem_fini
} heap = {.qmmem_mutex = &heap.qmmem_mutex_data.mutex};
thread_local bool tlHolding = false;
thread_local bool tlSettingUp = false;
thread_local char tlTagText[5];
// ---------------------------------------------------------------------------

// Rounds v up to a multiple of unit.
constexpr uint64_t roundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

unsigned char *dataOf(Header *b) { return reinterpret_cast<unsigned char *>(b) + H; }

Header *headerOf(uint32_t id) { return static_cast<Header *>(rtk::mem::HeaderOf(id)); }

uintptr_t addressOf(const void *p) { return reinterpret_cast<uintptr_t>(p); }

int32_t debugLevel() { return heap.dbgLevel.load(std::memory_order_relaxed); }

// A block that may be released: the allocated key, and asked bytes plus their
// guard inside the block. A header whose asked size was overwritten is treated
// like a damaged one, so that nothing reads or writes past its block.
bool isAllocated(const Header *b) {
  return b->key == kAllocKey && b->asked >= 0 &&
         static_cast<uint64_t>(b->asked) + kOverrunGuard <= b->nbytes;
}

// Answers a block's four tag bytes as text, in a buffer that the next call
// on this thread overwrites.
const char *tag(const Header *b) {
  std::memcpy(tlTagText, b->tag, sizeof b->tag);
  tlTagText[4] = '\0';
  return tlTagText;
}

// Logs one damaged byte of an underrun guard.
void underrun(const unsigned char *guardByte) {
  LOG_Log(QM_LOG_PANIC, "qmmem:Data underrun detected! Data addr is 0x%p\n",
          static_cast<const void *>(guardByte));
}

// Checks the eight underrun guard bytes of an allocated block.
void checkUnderrun(const Header *b) {
  for (const unsigned char &g : b->underrun) {
    if (g != kGuardByte) underrun(&g);
  }
}

// Takes the heap's lock (there is none to take once qmmem_fini destroyed it)
// and notes that this thread is inside the heap.
void qmmem_lock() {
  tlHolding = true;
  PF_Mutex *m = heap.qmmem_mutex.load(std::memory_order_acquire);
  if (m == nullptr) return;
  const int32_t rc = PF_MutexHold(m);
  if (rc != 0) LOG_Log(QM_LOG_PANIC, "qmmem_lock: failed:%d\n", rc);
}

// Releases the heap's lock; answers the release's result (0 without a lock).
int32_t qmmem_unlock() {
  tlHolding = false;
  PF_Mutex *m = heap.qmmem_mutex.load(std::memory_order_acquire);
  return m == nullptr ? 0 : PF_MutexRelease(m);
}

// Exit handler "qmmem": destroys the lock; the heap goes on without one.
void qmmem_fini() {
  PF_Mutex *m = heap.qmmem_mutex.exchange(nullptr, std::memory_order_acq_rel);
  if (m != nullptr) PF_MutexDestroy(m);
}

// A pass that only reads the list. It takes the lock unless this thread holds
// it already: then it was reached from a log line that the heap wrote under
// its lock, and the heap writes such lines only while the list is whole.
class ReadPass {
 public:
  ReadPass() : own_(!tlHolding) {
    if (own_) qmmem_lock();
  }
  ~ReadPass() { finish(); }
  ReadPass(const ReadPass &) = delete;
  ReadPass &operator=(const ReadPass &) = delete;
  // Releases the lock if this pass took it; answers the release's result.
  int32_t finish() {
    if (!own_) return 0;
    own_ = false;
    return qmmem_unlock();
  }

 private:
  bool own_;
};

// Appends a region as one free block that ends its region. A start that is not
// on an 8-byte boundary is moved up to one, and the skipped bytes count as
// lost. A region is not taken when it has no room for a header, when it
// overlaps a region that the heap has already (its blocks would be written
// over), or when the index cannot grow. Runs under the lock or inside the
// set-up.
void addRegion(void *region, int32_t size) {
  if (region == nullptr || size < 0) return;
  const uint64_t skip = (8 - addressOf(region) % 8) % 8;
  if (static_cast<uint64_t>(size) < skip + H || !rtk::mem::Reserve(1, 1)) return;
  auto *b = reinterpret_cast<Header *>(static_cast<unsigned char *>(region) + skip);
  const uint32_t last = rtk::mem::Last();
  const uint32_t id = rtk::mem::AppendRegion(region, static_cast<size_t>(size), b);
  if (id == kNoBlock) return;
  std::memset(static_cast<void *>(b), 0, H);
  b->key = kFreeKey;
  b->nbytes = static_cast<uint32_t>(static_cast<uint64_t>(size) - skip - H);
  b->next = nullptr;
  b->end = 1;
  if (last == kNoBlock) {
    heap.thelist = b;
  } else {
    headerOf(last)->next = b;
  }
  rtk::mem::SetFree(id, b, b->nbytes, addressOf(dataOf(b)));
  heap.total_allocation += static_cast<uint64_t>(size);
  heap.lostSpace += skip;
  heap.haveMemory.store(true, std::memory_order_release);
}

// One-time set-up, run at the start of every public operation: creates the
// lock, registers qmmem_fini as the exit handler "qmmem", adds `region` when
// the call that triggers the set-up brings one, and otherwise asks the memory
// source for the first 1 MiB (unless the index has no room for it either).
// It is tried once; threads that arrive meanwhile wait for it. Answers true
// when this call ran it.
bool setUpHeap(void *region, int32_t size) {
  if (heap.one_time.load(std::memory_order_acquire) == kSetUp || tlSettingUp) return false;
  int32_t expected = kUntouched;
  if (!heap.one_time.compare_exchange_strong(expected, kSettingUp, std::memory_order_acq_rel)) {
    heap.one_time.wait(kSettingUp, std::memory_order_acquire);
    return false;
  }
  tlSettingUp = true;
  const bool lockMade = PF_MutexInit(0, &heap.qmmem_mutex_data.mutex) == 0;
  qmexit_register(qmmem_fini, "qmmem");
  if (region != nullptr) addRegion(region, size);
  if (heap.thelist == nullptr && rtk::mem::Reserve(1, 1)) {
    int32_t got = kFirstRegion;
    void *first = MEM_GetMemory_cb(&got);
    if (first != nullptr) addRegion(first, got);
  }
  tlSettingUp = false;
  heap.one_time.store(kSetUp, std::memory_order_release);
  heap.one_time.notify_all();
  // Logged after the set-up is complete, so that a log line that reaches the
  // heap again does not wait for this set-up.
  if (!lockMade) LOG_Log(QM_LOG_PANIC, "qmmem:Failed to create mutex!\n");
  return true;
}

void initHeap() { setUpHeap(nullptr, 0); }

// Lists the whole heap (or its free or allocated blocks) with the totals.
// Totals are written at full width; for any heap below 2 GiB that is the same
// text as a 32-bit count.
void walkList(const char *which) {
  if (which == nullptr) which = "";
  LOG_Log(QM_LOG_PRINT, "Walk started. Total allocation:%llu LostSpace:%llu which:%s\n",
          static_cast<unsigned long long>(heap.total_allocation),
          static_cast<unsigned long long>(heap.lostSpace), which);
  uint64_t freeTotal = 0, freeOverhead = 0, allocTotal = 0, allocOverhead = 0;
  for (Header *b = heap.thelist; b != nullptr; b = b->next) {
    const bool isFree = b->key == kFreeKey;
    if (!isFree && b->key != kAllocKey) continue;
    (isFree ? freeTotal : allocTotal) += b->nbytes;
    (isFree ? freeOverhead : allocOverhead) += H;
    if (which[0] != '\0' && which[0] != (isFree ? 'F' : 'A')) continue;
    LOG_Log(QM_LOG_PRINT, "%s 0x%p nbytes:%d, datap:0x%p  end:0x%p key:%x %s %c\n",
            isFree ? "FREE " : "ALLOC", static_cast<const void *>(b),
            static_cast<int>(b->nbytes), static_cast<const void *>(dataOf(b)),
            static_cast<const void *>(dataOf(b) + b->nbytes), b->key, tag(b),
            b->end != 0 ? 'E' : ' ');
  }
  LOG_Log(QM_LOG_PRINT, "Walk done: free:%llu  plus-overhead:%llu  alloc:%llu plus-overhead:%llu\n",
          static_cast<unsigned long long>(freeTotal),
          static_cast<unsigned long long>(freeOverhead),
          static_cast<unsigned long long>(allocTotal),
          static_cast<unsigned long long>(allocOverhead));
  LOG_Log(QM_LOG_PRINT, "  Added-up:%llu  Allocation less loss:%llu\n",
          static_cast<unsigned long long>(freeTotal + freeOverhead + allocTotal + allocOverhead),
          static_cast<unsigned long long>(heap.total_allocation - heap.lostSpace));
}

// Asks the memory source for `want` bytes and appends what it gives. False
// when it gives nothing or when `want` does not fit its 32-bit size.
bool grow(uint64_t want) {
  if (want > static_cast<uint64_t>(INT32_MAX)) return false;
  int32_t size = static_cast<int32_t>(want);
  void *region = MEM_GetMemory_cb(&size);
  if (region == nullptr) return false;
  addRegion(region, size);
  return true;
}

// True while block id's header still says what the index holds about it: a
// free block of the bytes under which the index keeps it.
bool isIntactFree(uint32_t id) {
  const Header *b = headerOf(id);
  return b->key == kFreeKey && b->nbytes == rtk::mem::FreeBytes(id);
}

// The block that the fit search takes: the first free block in list order
// that is aligned to A already and has exactly R bytes; failing that, the
// free block with the smallest excess over A + R (below the starting
// excess), the first in list order on ties. A free block whose header a
// caller wrote over is left out of the free blocks for good.
uint32_t chooseFree(uint64_t R, uint64_t A, bool &exact) {
  for (;;) {
    uint32_t id = rtk::mem::FirstExactFit(static_cast<uint32_t>(R), A);
    exact = id != kNoBlock;
    if (!exact) {
      id = rtk::mem::SmallestAtLeast(A + R);
      if (id != kNoBlock && rtk::mem::FreeBytes(id) - (A + R) >= kBestExcessStart) return kNoBlock;
    }
    if (id == kNoBlock || isIntactFree(id)) return id;
    rtk::mem::SetUsed(id);
  }
}

// The block before (or after) block id when it is free, untouched by a
// caller, and in id's region; the index says so without a look at its
// header, which is read only to be written.
Header *mergeable(uint32_t id, bool after, uint32_t &neighbour) {
  neighbour = rtk::mem::FreeNeighbour(id, after);
  return neighbour != kNoBlock && isIntactFree(neighbour) ? headerOf(neighbour) : nullptr;
}

// Logs the free blocks that a walk of the list from `from` looks at before
// it stops at `taken` (an exact fit), or up to the end of the list.
void logExamined(Header *from, const Header *taken) {
  for (Header *b = from; b != nullptr; b = b->next) {
    if (b->key != kFreeKey) continue;
    LOG_Log(QM_LOG_PRINT, "qmmem: checking %p (%p) nbytes:%d\n", static_cast<const void *>(b),
            static_cast<const void *>(dataOf(b)), static_cast<int>(b->nbytes));
    if (b == taken) return;
  }
}

// Fit search (see chooseFree). When no block qualifies the heap grows once
// and the search goes on into the new region. Answers the block's record, or
// kNoBlock.
uint32_t findFit(uint64_t R, uint64_t A, int32_t dbg) {
  bool exact = false;
  uint32_t id = chooseFree(R, A, exact);
  if (dbg > 3) logExamined(heap.thelist, exact ? headerOf(id) : nullptr);
  if (id != kNoBlock) return id;
  Header *last = headerOf(rtk::mem::Last());
  if (!grow(R + kGrowExtra + A)) return kNoBlock;
  id = chooseFree(R, A, exact);
  if (dbg > 3) logExamined(last->next, exact ? headerOf(id) : nullptr);
  return id;
}

// Moves the chosen block's header forward so that its data start on a
// multiple of A. The gap goes to the block in front when that block abuts it
// (stretching); at the head of the list or at the start of a region it is
// lost. Answers the block's header, or null when the block in front does not
// lead to it (a caller wrote over its header): then nothing has been written.
Header *alignBlock(Header *b, uint32_t id, uint64_t A, int32_t dbg) {
  const uintptr_t data = addressOf(dataOf(b));
  const uintptr_t aligned = roundUp(data, A);
  if (aligned == data) return b;
  const uint64_t gap = aligned - data;
  auto *moved = reinterpret_cast<Header *>(aligned - H);
  Header *prev = nullptr;
  if (b == heap.thelist) {
    if (dbg > 1) LOG_Log(QM_LOG_PRINT, "qmmem: edge case 0, loosing:%d\n", static_cast<int>(gap));
    heap.lostSpace += gap;
  } else {
    const uint32_t previous = rtk::mem::Previous(id);
    prev = previous == kNoBlock ? nullptr : headerOf(previous);
    if (prev == nullptr || prev->next != b) {
      LOG_Log(QM_LOG_PANIC, "qmmem: previous of %pnot found!\n", static_cast<const void *>(b));
      return nullptr;
    }
    if (prev->end == 0) {
      if (dbg > 2) {
        LOG_Log(QM_LOG_PRINT, "Stretching previous:%p by %d, bestE:%d pnE:%d\n",
                static_cast<const void *>(prev), static_cast<int>(gap), b->end, prev->next->end);
      }
      prev->nbytes += static_cast<uint32_t>(gap);
    } else {
      if (dbg > 1) LOG_Log(QM_LOG_PRINT, "qmmem: edge case 1, loosing:%d\n", static_cast<int>(gap));
      heap.lostSpace += gap;
    }
  }
  std::memmove(static_cast<void *>(moved), b, H);
  moved->nbytes -= static_cast<uint32_t>(gap);
  if (prev == nullptr) {
    heap.thelist = moved;
  } else {
    prev->next = moved;
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "m is:%p End?:%d\n", static_cast<const void *>(moved), moved->end);
    }
  }
  return moved;
}

// Marks a block allocated: asked size, underrun guard, tag (up to four bytes,
// or up to and including a shorter tag's terminator) and the overrun guard.
void markAllocated(Header *b, int32_t nbytes, const char *tagName) {
  b->asked = nbytes;
  std::memset(b->underrun, kGuardByte, sizeof b->underrun);
  const char *src = tagName != nullptr ? tagName : "";
  for (size_t i = 0; i < sizeof b->tag; ++i) {
    b->tag[i] = src[i];
    if (src[i] == '\0') break;
  }
  std::memset(dataOf(b) + nbytes, kGuardByte, kOverrunGuard);
  b->key = kAllocKey;
}

// Splits off the bytes of an allocated block beyond R as a new free block,
// when they are more than a header and 512 bytes. Block id's record, chosen
// from the free blocks and not yet changed, is brought up to date here.
void splitBlock(Header *b, uint32_t id, uint64_t R, int32_t dbg) {
  if (b->nbytes <= R + H + kAlignUnit) {
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: good-enough fit %p asked:%d got:%d e:%d\n",
              static_cast<const void *>(b), static_cast<int>(R), static_cast<int>(b->nbytes), b->end);
    }
    rtk::mem::Take(id, b);
    return;
  }
  if (dbg > 2) {
    LOG_Log(QM_LOG_PRINT, "qmmem: Splitting %p nbytes:%d\n", static_cast<const void *>(b),
            static_cast<int>(b->nbytes));
  }
  auto *rest = reinterpret_cast<Header *>(dataOf(b) + R);
  std::memset(static_cast<void *>(rest), 0, H);
  rest->key = kFreeKey;
  rest->nbytes = static_cast<uint32_t>(b->nbytes - R - H);
  rest->end = b->end;
  rest->next = b->next;
  b->end = 0;
  b->next = rest;
  b->nbytes = static_cast<uint32_t>(R);
  rtk::mem::Split(id, b, rest, rest->nbytes, addressOf(dataOf(rest)));
  if (dbg > 2) {
    LOG_Log(QM_LOG_PRINT, " adjusted to %dbytes; next:%p nbytes:%d\n", static_cast<int>(R),
            static_cast<const void *>(rest), static_cast<int>(rest->nbytes));
  }
}

// The release's first line (debug level above 2).
void logRelease(const void *p, const void *header, uint32_t nbytes) {
  LOG_Log(QM_LOG_PRINT, "qmmem_free: %p  m:%p nbytes:%d\n", p, header, static_cast<int>(nbytes));
}

void logNotABlock() { LOG_Log(QM_LOG_PANIC, "PANIC: Freeing non-alloc'd memory.\n"); }

// Releases an allocated block (record id) under the lock: checks its guards,
// marks it free and merges it with a free block in front and a free block
// behind. Answers the asked size; a header with neither key is reported and
// left alone.
int32_t releaseBlock(Header *b, uint32_t id, int32_t dbg) {
  unsigned char *data = dataOf(b);
  const int32_t asked = b->asked;
  if (dbg > 2) logRelease(data, b, b->nbytes);
  if (!isAllocated(b)) {
    // Nothing is known about this memory: write nothing through it.
    logNotABlock();
    return 0;
  }
  if (dbg > 0) std::memset(data, kReleasedFill, static_cast<size_t>(asked));
  checkUnderrun(b);
  // An intact guard is the rule: one comparison of the whole guard, and the
  // byte walk (one report per damaged byte) only when it differs.
  if (std::memcmp(data + asked, kIntactGuard.bytes, kOverrunGuard) != 0) {
    for (uint64_t i = 0; i < kOverrunGuard; ++i) {
      if (data[asked + i] != kGuardByte) {
        LOG_Log(QM_LOG_PANIC, "qmmem: Overrun! p:%p tag:%s\n", static_cast<const void *>(data), tag(b));
      }
    }
  }
  b->key = kFreeKey;
  // A neighbour is merged when it is free and in the same region (so its
  // end flag, or this block's, is 0).
  uint32_t previous = kNoBlock, following = kNoBlock;
  Header *prev = mergeable(id, false, previous);
  if (prev != nullptr && prev->next == b && prev->end == 0) {
    prev->next = b->next;
    prev->end = b->end;
    prev->nbytes += static_cast<uint32_t>(H + b->nbytes);
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: free'd %p and enlarged previous:%p\n",
              static_cast<const void *>(b), static_cast<const void *>(prev));
    }
    rtk::mem::Remove(id);
    b = prev;
    id = previous;
  }
  Header *next = mergeable(id, true, following);
  if (next != nullptr && b->next == next && b->end == 0) {
    b->next = next->next;
    b->end = next->end;
    b->nbytes += static_cast<uint32_t>(H + next->nbytes);
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: free'd %p and enlarged by next:%p\n",
              static_cast<const void *>(b), static_cast<const void *>(b->next));
    }
    rtk::mem::Remove(following);
  }
  rtk::mem::SetFree(id, b, b->nbytes, addressOf(dataOf(b)));
  if (dbg > 4) walkList("");
  return asked;
}

// Answers a release of a pointer whose header is no block's. A region may
// still hold the header of a block that a merge took in, so inside the
// heap's regions the header is read as before: the free key of a block
// released already means a second release (0, no message). Anything else is
// reported, and nothing is written.
void refuseRelease(const unsigned char *p, int32_t dbg) {
  const auto *header = reinterpret_cast<const unsigned char *>(addressOf(p) - H);
  if (rtk::mem::Owns(header, H)) {
    Header copy;
    std::memcpy(&copy, header, H);
    if (copy.key == kFreeKey) return;
    if (dbg > 2) logRelease(p, header, copy.nbytes);
  }
  logNotABlock();
}

}  // namespace

// Allocates a guarded block. Requests outside the heap's range are refused
// with null before anything is touched: a negative size, an alignment that
// does not round to a power of two, or a rounded size plus alignment beyond
// 32 bits. A thread that is inside the heap already (a log hook called from
// a heap message) gets null too, as its list is in the middle of a change.
extern "C" void *MEM_malloc(int32_t alignment, int32_t nbytes, const char *tagName) {
  if (tlHolding) return nullptr;
  const int32_t dbg = debugLevel();
  const bool clear = alignment < 0 || dbg > 0;
  uint64_t align = alignment < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(alignment))
                                 : static_cast<uint64_t>(alignment);
  if (align == 0) align = kAlignUnit;
  if (nbytes < 0) return nullptr;
  const uint64_t R = roundUp(static_cast<uint64_t>(nbytes) + kOverrunGuard, 8);
  const uint64_t A = roundUp(align, kAlignUnit);
  if ((A & (A - 1)) != 0 || R + A > UINT32_MAX) return nullptr;

  initHeap();
  if (!heap.haveMemory.load(std::memory_order_acquire)) return nullptr;
  qmmem_check();
  qmmem_lock();
  if (heap.mutexCounter.fetch_add(1) != 0) {
    LOG_Log(QM_LOG_PANIC, "PANIC: mutexCounter is != 0 in qmmem_malloc!!\n");
  }
  if (dbg > 2) {
    LOG_Log(QM_LOG_PRINT, "qmmem: request %dbytes, align:%d\n", nbytes, static_cast<int>(align));
    LOG_Log(QM_LOG_PRINT, "        rndup   %dbytes, align:%d\n", static_cast<int>(R),
            static_cast<int>(A));
  }
  unsigned char *result = nullptr;
  Header *b = nullptr;
  // Room in the index for a grown region and a split block first: without
  // it the request fails like one for which there is no memory.
  const uint32_t id = rtk::mem::Reserve(2, 1) ? findFit(R, A, dbg) : kNoBlock;
  if (id != kNoBlock) b = alignBlock(headerOf(id), id, A, dbg);
  if (b != nullptr) {
    markAllocated(b, nbytes, tagName);
    splitBlock(b, id, R, dbg);
    result = dataOf(b);
  }
  if (dbg > 4) walkList("");
  if (result != nullptr) {
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: returning: %p  m:%p end:%d\n", static_cast<const void *>(result),
              static_cast<const void *>(b), b->end);
    }
    if (clear) std::memset(result, 0, static_cast<size_t>(nbytes));
  }
  heap.mutexCounter.fetch_sub(1);
  qmmem_unlock();
  return result;
}

// Releases a block and answers its asked size; 0 for null, for a block that
// is free already and for a pointer that is no heap block (see
// refuseRelease). A thread inside the heap already gets 0 and its block stays
// allocated.
extern "C" int32_t MEM_free(void *p) {
  if (tlHolding) return 0;
  initHeap();
  qmmem_check();
  if (p == nullptr) return 0;
  const int32_t dbg = debugLevel();
  qmmem_lock();
  if (heap.mutexCounter.fetch_add(1) != 0) {
    LOG_Log(QM_LOG_PANIC, "PANIC: mutexCounter is != 0 in qmmem_free!!\n");
  }
  auto *data = static_cast<unsigned char *>(p);
  const uint32_t id = rtk::mem::Find(reinterpret_cast<void *>(addressOf(data) - H));
  int32_t result = 0;
  if (id == kNoBlock) {
    refuseRelease(data, dbg);
  } else if (headerOf(id)->key != kFreeKey) {
    result = releaseBlock(headerOf(id), id, dbg);
  }
  heap.mutexCounter.fetch_sub(1);
  qmmem_unlock();
  return result;
}

// Releases every allocated block, restarting from the head after each one;
// the lock is held only while searching. Blocks whose header is damaged are
// skipped (they could not be released and would be found again and again).
extern "C" int32_t MEM_FreeAll(void) {
  if (tlHolding) return -1;
  initHeap();
  for (;;) {
    qmmem_lock();
    Header *b = heap.thelist;
    while (b != nullptr && !isAllocated(b)) b = b->next;
    if (b == nullptr) return qmmem_unlock();
    qmmem_unlock();
    MEM_free(dataOf(b));
  }
}

// Adds a region to the heap for good. The very first call of the heap adds
// it before the set-up looks for memory, so the set-up then asks for none.
// Later regions are appended under the lock. A thread inside the heap already
// (a log hook called from a heap message) cannot add one: it is not taken.
extern "C" void MEM_AddMemory(void *region, int32_t size) {
  if (tlHolding) return;
  if (setUpHeap(region, size)) return;
  qmmem_lock();
  addRegion(region, size);
  qmmem_unlock();
}

// Sums the capacities of the allocated and of the free blocks.
extern "C" int32_t MEM_Stats(uint64_t *allocated, uint64_t *free_bytes) {
  initHeap();
  ReadPass pass;
  uint64_t allocSum = 0, freeSum = 0;
  for (const Header *b = heap.thelist; b != nullptr; b = b->next) {
    if (b->key == kFreeKey) freeSum += b->nbytes;
    if (b->key == kAllocKey) allocSum += b->nbytes;
  }
  if (allocated != nullptr) *allocated = allocSum;
  if (free_bytes != nullptr) *free_bytes = freeSum;
  return pass.finish();
}

// Lists the heap in the message log (see walkList).
extern "C" void MEM_Walk(const char *which) {
  initHeap();
  ReadPass pass;
  walkList(which);
}

// Checks every block's key, guards and abutment and that the blocks add up
// to the memory handed to the heap. Guard damage and a gap between blocks are
// reported but do not fail the check; a damaged header or a wrong total do.
extern "C" int32_t qmmem_check(void) {
  if (debugLevel() == 0) return 0;
  initHeap();
  ReadPass pass;
  uint64_t total = 0;
  for (Header *b = heap.thelist; b != nullptr; b = b->next) {
    unsigned char *data = dataOf(b);
    if (isAllocated(b)) {
      checkUnderrun(b);
      if (data[b->asked] != kGuardByte) {
        LOG_Log(QM_LOG_PANIC, "qmmem_check detected overrun. Data addr:0x%p tag:%s\n",
                static_cast<const void *>(data), tag(b));
      }
    } else if (b->key != kFreeKey) {
      LOG_Log(QM_LOG_ERROR,
              "qmmem_check: non-alloc and non-free memory block! Address is :0x%p\n",
              static_cast<const void *>(b));
      walkList("");
      const int32_t key = static_cast<int32_t>(b->key);
      LOG_Log(QM_LOG_PANIC, "qmmem: NOT AN ALLOC or FREE BLOCK!, value is 0x%p (%d)\n",
              reinterpret_cast<const void *>(static_cast<intptr_t>(key)), key);
      return 1;
    }
    if (b->end == 0 && b->next != reinterpret_cast<Header *>(data + b->nbytes)) {
      LOG_Log(QM_LOG_ERROR, "qmmem check: Addr: %p NOT abutting next!\n", static_cast<const void *>(b));
      walkList("");
      LOG_Log(QM_LOG_PANIC, "qmmem: Non abutting\n");
    }
    total += b->nbytes + H;
  }
  const uint64_t expected = heap.total_allocation - heap.lostSpace;
  if (total == expected) return 0;
  LOG_Log(QM_LOG_PANIC, "qmmem check: total 0x%p not match 0x%p\n",
          reinterpret_cast<const void *>(static_cast<uintptr_t>(total)),
          reinterpret_cast<const void *>(static_cast<uintptr_t>(expected)));
  return 1;
}

// Sets the debug level (see qmmem.h for what each level adds).
extern "C" void qmmem_setDbg(int32_t level) { heap.dbgLevel.store(level, std::memory_order_relaxed); }

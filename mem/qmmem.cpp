// qmmem.cpp - the debug heap: blocks carved from large regions, aligned to at
// least 512 bytes, guarded against underruns and overruns, kept on one list in
// address order within each region, merged on release, and checked and listed
// on demand. A debug level sets how much it checks, fills and logs; all of its
// messages go to the message log.
//
// This file holds the public operations, the lock and the one-time set-up,
// and the heap's state; the list operations are in qmmem_blocks.cpp, the
// index beside the list in qmmem_index.cpp and qmmem_free.cpp (see
// mem_internal.h for how they fit together).
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "mem/mem_internal.h"
#include "pf_thread.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"

namespace rtk::mem {

// ---- process-wide state (see mem_internal.h) -------------------------------
HeapState heap = {.qmmem_mutex = &heap.qmmem_mutex_data.mutex};
RTK_MEM_THREAD_LOCAL bool tlHolding = false;
RTK_MEM_THREAD_LOCAL bool tlSettingUp = false;
// ---------------------------------------------------------------------------

}  // namespace rtk::mem

namespace {

using namespace rtk::mem;

// Takes the heap's lock (there is none to take once qmmem_fini destroyed it)
// and notes that this thread is inside the heap. Answers whether it holds
// the lock now.
inline bool qmmem_lock() {
  tlHolding = true;
  PF_Mutex *m = heap.qmmem_mutex.load(std::memory_order_acquire);
  if (m == nullptr) return false;
  const int32_t rc = PF_MutexHold(m);
  if (rc == 0) return true;
  LOG_Log(QM_LOG_PANIC, "qmmem_lock: failed:%d\n", rc);
  return false;
}

// Releases the heap's lock; answers the release's result (0 without a lock).
inline int32_t qmmem_unlock() {
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

// Sleeps while the set-up state is still kSettingUp, or wakes every thread
// that sleeps on it. A futex of its own, so that the set-up needs neither the
// C++ runtime (std::atomic::wait throws from it) nor a lock that the set-up
// itself creates.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && std::atomic<int32_t>::is_always_lock_free);
void waitForSetUp() {
  auto *word = reinterpret_cast<int32_t *>(&heap.one_time);
  while (heap.one_time.load(std::memory_order_acquire) == kSettingUp) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, kSettingUp, nullptr, nullptr, 0);
  }
}
void wakeSetUpWaiters() {
  syscall(SYS_futex, reinterpret_cast<int32_t *>(&heap.one_time), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

// One-time set-up, run at the start of every public operation: creates the
// lock, registers qmmem_fini as the exit handler "qmmem", adds `region` when
// the call that triggers the set-up brings one, and otherwise asks the memory
// source for the first 1 MiB (unless the index has no room for it either).
// It is tried once; threads that arrive meanwhile sleep until it is done.
// Answers true when this call ran it.
bool setUpHeap(void *region, int32_t size) {
  if (heap.one_time.load(std::memory_order_acquire) == kSetUp || tlSettingUp) return false;
  int32_t expected = kUntouched;
  if (!heap.one_time.compare_exchange_strong(expected, kSettingUp, std::memory_order_acq_rel)) {
    waitForSetUp();
    return false;
  }
  tlSettingUp = true;
  const bool lockMade = PF_MutexInit(0, &heap.qmmem_mutex_data.mutex) == 0;
  qmexit_register(qmmem_fini, "qmmem");
  if (region != nullptr) AddRegion(region, size);
  if (heap.thelist == nullptr && Reserve(1, 1)) {
    int32_t got = kFirstRegion;
    void *first = MEM_GetMemory_cb(&got);
    if (first != nullptr) AddRegion(first, got);
  }
  tlSettingUp = false;
  heap.one_time.store(kSetUp, std::memory_order_release);
  wakeSetUpWaiters();
  // Logged after the set-up is complete, so that a log line that reaches the
  // heap again does not wait for this set-up.
  if (!lockMade) LOG_Log(QM_LOG_PANIC, "qmmem:Failed to create mutex!\n");
  return true;
}

inline void initHeap() {
  if (heap.one_time.load(std::memory_order_acquire) != kSetUp) setUpHeap(nullptr, 0);
}

// qmmem_check's work, which the allocation and the release run first.
int32_t checkHeap() {
  if (DebugLevel() == 0) return 0;
  initHeap();
  ReadPass pass;
  return CheckList();
}

// Enters the allocate or release section under the lock; `panicLine` is
// logged when another caller is inside already. Answers whether the lock is
// held. While it is, no caller that holds it can be inside, so the count
// changes with a plain read and write; callers without the lock (after
// qmmem_fini) change it atomically.
inline bool enterSection(const char *panicLine) {
  const bool locked = qmmem_lock();
  std::atomic<int32_t> &count = heap.mutexCounter;
  int32_t inside = 0;
  if (locked) {
    inside = count.load(std::memory_order_relaxed);
    count.store(inside + 1, std::memory_order_relaxed);
  } else {
    inside = count.fetch_add(1);
  }
  if (inside != 0) LOG_Log(QM_LOG_PANIC, panicLine);
  return locked;
}

inline void leaveSection(bool locked) {
  std::atomic<int32_t> &count = heap.mutexCounter;
  if (locked) {
    count.store(count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  } else {
    count.fetch_sub(1);
  }
  qmmem_unlock();
}

}  // namespace

// Allocates a guarded block. Requests outside the heap's range are refused
// with null before anything is touched: a negative size, an alignment that
// does not round to a power of two, or a rounded size plus alignment beyond
// 32 bits. A thread that is inside the heap already (a log hook called from
// a heap message) gets null too, as its list is in the middle of a change.
extern "C" void *MEM_malloc(int32_t alignment, int32_t nbytes, const char *tagName) {
  if (tlHolding) return nullptr;
  const int32_t dbg = DebugLevel();
  const bool clear = alignment < 0 || dbg > 0;
  uint64_t align = alignment < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(alignment))
                                 : static_cast<uint64_t>(alignment);
  if (align == 0) align = kAlignUnit;
  if (nbytes < 0) return nullptr;
  const uint64_t R = RoundUp(static_cast<uint64_t>(nbytes) + kOverrunGuard, 8);
  const uint64_t A = RoundUp(align, kAlignUnit);
  if ((A & (A - 1)) != 0 || R + A > UINT32_MAX) return nullptr;

  initHeap();
  if (!heap.haveMemory.load(std::memory_order_acquire)) return nullptr;
  checkHeap();
  const bool locked = enterSection("PANIC: mutexCounter is != 0 in qmmem_malloc!!\n");
  if (dbg > 2) {
    LOG_Log(QM_LOG_PRINT, "qmmem: request %dbytes, align:%d\n", nbytes, static_cast<int>(align));
    LOG_Log(QM_LOG_PRINT, "        rndup   %dbytes, align:%d\n", static_cast<int>(R), static_cast<int>(A));
  }
  unsigned char *result = nullptr;
  Header *b = nullptr;
  // Room in the index for a grown region and a split block first: without
  // it the request fails like one for which there is no memory.
  const uint32_t id = Reserve(2, 1) ? FindFit(R, A, dbg) : kNoBlock;
  if (id != kNoBlock) {
    Header *chosen = HeaderOf(id);
    b = AddressOf(DataOf(chosen)) % A == 0 ? chosen : AlignBlock(chosen, id, A, dbg);
  }
  if (b != nullptr) {
    MarkAllocated(b, nbytes, tagName);
    SplitBlock(b, id, R, dbg);
    result = DataOf(b);
  }
  if (dbg > 4) WalkList("");
  if (result != nullptr) {
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: returning: %p  m:%p end:%d\n", static_cast<const void *>(result),
              static_cast<const void *>(b), b->end);
    }
    if (clear) std::memset(result, 0, static_cast<size_t>(nbytes));
  }
  leaveSection(locked);
  return result;
}

// Releases a block and answers its asked size; 0 for null, for a block that
// is free already and for a pointer that is no heap block (see
// RefuseRelease). A thread inside the heap already gets 0 and its block stays
// allocated.
extern "C" int32_t MEM_free(void *p) {
  if (tlHolding) return 0;
  initHeap();
  checkHeap();
  if (p == nullptr) return 0;
  const int32_t dbg = DebugLevel();
  auto *data = static_cast<unsigned char *>(p);
  // The header's address is reckoned as a number: p may be no heap pointer
  // at all. The header is asked for now, so that it arrives while the lock
  // is taken (a prefetch reads nothing and cannot fault, whatever p is).
  auto *header = reinterpret_cast<Header *>(AddressOf(p) - H);
  __builtin_prefetch(header);
  const bool locked = enterSection("PANIC: mutexCounter is != 0 in qmmem_free!!\n");
  const uint32_t id = Find(header);
  int32_t result = 0;
  if (id == kNoBlock) {
    RefuseRelease(data, dbg);
  } else if (header->key != kFreeKey) {
    result = ReleaseBlock(header, id, dbg);
  }
  leaveSection(locked);
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
    while (b != nullptr && !IsAllocated(b)) b = b->next;
    if (b == nullptr) return qmmem_unlock();
    qmmem_unlock();
    MEM_free(DataOf(b));
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
  AddRegion(region, size);
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

// Lists the heap in the message log (see WalkList).
extern "C" void MEM_Walk(const char *which) {
  initHeap();
  ReadPass pass;
  WalkList(which);
}

// Checks every block's key, guards and abutment and that the blocks add up
// to the memory handed to the heap (see CheckList).
extern "C" int32_t qmmem_check(void) { return checkHeap(); }

// Sets the debug level (see qmmem.h for what each level adds).
extern "C" void qmmem_setDbg(int32_t level) { heap.dbgLevel.store(level, std::memory_order_relaxed); }

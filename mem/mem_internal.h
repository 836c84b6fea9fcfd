// mem_internal.h - what the debug heap's files share and nothing else sees:
// the block header, the heap's constants, its one process-wide state, and
// what each of its files offers the others:
//
//   qmmem.cpp         the public operations, the lock and the set-up
//   qmmem_blocks.cpp  the list: regions added, fit, alignment, split,
//                     release and merge, the listing and the check
//   qmmem_index.cpp   the index beside the list: a record per block with its
//                     neighbours and region, the allocated blocks by address,
//                     the regions' bounds
//   qmmem_free.cpp    the free blocks in the order the fit search prefers
//   qmmem_region.cpp  where regions come from
//
// The list is what the heap is: its order decides which block a request
// gets, and the listing, the check and the totals walk it. The index lets a
// release find its block and its neighbours, and an allocation the block that
// a walk of the list would choose, without walking. It keeps nothing in the
// heap's memory (neither in headers nor in the data of free blocks): its
// tables come from the system allocator, are grown ahead of a change by
// Reserve() and are never given back, like the regions. Everything but the
// flags is guarded by the heap's lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pf_thread.h"

namespace rtk::mem {

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

// A block's record number; kNoBlock stands for none.
constexpr uint32_t kNoBlock = 0;

// One block of the list, as the index knows it. Record 0 is no block: it
// stands for "none" in every link. Unused records have header 0 and are
// chained through `next`.
struct Record {
  uintptr_t header;
  uint32_t prev, next;    // neighbours in list order
  uint32_t region;        // ordinal of its region (in the order regions joined the list)
  uint32_t bytes;         // free blocks: the data bytes under which it is filed
  uint32_t sizeNode;      // free blocks among many: the node of its size
  uint32_t child, sibling, up;  // free blocks among many: its links in a heap (see qmmem_free.cpp);
                                // among few, `up` is its place in the array
  uint8_t alignClass;     // free blocks: the alignment class of its data (qmmem_free.cpp)
  bool isFree;
  bool inTable;           // in the address table under `header`
};

// A region's bounds: [start, end).
struct Region {
  uintptr_t start, end;
};

// Free blocks of one size among many (qmmem_free.cpp): a node of the tree of
// sizes of its bin, with one heap of blocks per alignment class. Unused
// nodes are chained through `parent`.
constexpr unsigned kAlignClasses = 24;
// Bins of sizes: 2^kBinStepBits (32) per power of two, and the sizes below
// 32 one each; kSizeBins bins cover every 32-bit size.
constexpr unsigned kBinStepBits = 5;
constexpr unsigned kSizeBins = (32 - kBinStepBits + 1) << kBinStepBits;
constexpr unsigned kBinWords = (kSizeBins + 63) / 64;
struct SizeNode {
  uint32_t bytes;
  uint32_t classes;          // bit c set: heads[c] holds blocks
  uint32_t parent, child[2];
  uint32_t priority;         // a parent's is never below its children's
  uint32_t heads[kAlignClasses];
};

// One entry of the address table: an allocated block's header and record.
struct Slot {
  uintptr_t header;  // 0: empty
  uint32_t id;
};

// While at most this many blocks are free they sit in a short array, which a
// fit query looks at whole; above it they are filed by size. Below
// kFewAgain the array takes them back, so that a heap near the bound does
// not switch at every step.
constexpr uint32_t kFewMost = 32, kFewAgain = 16;

// Storage for the heap's lock: room for any semaphore object.
union MutexStorage {
  PF_Mutex mutex;
  unsigned char bytes[1024];
};

// Set-up states of `one_time`.
constexpr int32_t kUntouched = 0;
constexpr int32_t kSettingUp = 1;
constexpr int32_t kSetUp = 2;

// ---- process-wide state ----------------------------------------------------
// The list, its totals and the index are guarded by the lock; the flags are
// atomics so that threads may meet in the set-up and in qmmem_setDbg.
struct HeapState {
  // The list (qmmem.cpp, qmmem_blocks.cpp).
  Header *thelist = nullptr;             // first block of the list; null until a region is added
  uint64_t total_allocation = 0;         // sum of the sizes of all regions added
  uint64_t lostSpace = 0;                // bytes given up in front of moved or realigned headers
  std::atomic<bool> haveMemory{false};   // thelist is not null (readable without the lock)
  std::atomic<int32_t> dbgLevel{0};      // set by qmmem_setDbg
  std::atomic<int32_t> mutexCounter{0};  // callers inside the allocate and release sections
  std::atomic<int32_t> one_time{kUntouched};
  MutexStorage qmmem_mutex_data{};
  std::atomic<PF_Mutex *> qmmem_mutex;   // the lock in qmmem_mutex_data; null after qmmem_fini
  // The records and the address table (qmmem_index.cpp).
  Record *records = nullptr;
  uint32_t capacity = 0;                 // records allocated, record 0 included
  uint32_t unused = kNoBlock;            // first unused record
  uint32_t unusedCount = 0;
  uint32_t last = kNoBlock;              // the last block of the list
  Slot *slots = nullptr;                 // allocated blocks by header address, open addressing
  unsigned slotBits = 0;                 // the table has 2^slotBits slots
  uint32_t slotsUsed = 0;
  Region *regions = nullptr;             // sorted by start
  uint32_t regionCount = 0, regionCapacity = 0;
  // The free blocks (qmmem_free.cpp).
  uint32_t freeCount = 0;
  bool many = false;                     // filed by size, not in `few`
  uint32_t few[kFewMost] = {};           // the free blocks while they are few, unordered
  SizeNode *sizes = nullptr;             // node 0 stands for none
  uint32_t sizeCapacity = 0;             // nodes allocated, node 0 included
  uint32_t sizeHighWater = 1;            // nodes from here on were never taken
  uint32_t unusedSize = 0;               // first node given back
  uint32_t sizeRoots[kSizeBins] = {};    // each bin's tree of sizes
  uint64_t binWords[kBinWords] = {};     // bit b: bin b has sizes
  uint32_t binSummary = 0;               // bit w: binWords[w] is not 0
  uint32_t randomState = 0x9e3779b9u;
};
extern HeapState heap;
// Per thread (defined in qmmem.cpp): whether this thread holds the heap's
// lock (a log line that the heap writes under its lock can come back into
// the heap through the error hook) and whether it runs the set-up; the text
// buffer of tag() is qmmem_blocks.cpp's own. They sit in the static
// thread-local block (the initial-exec model), so that every call reads them
// with one instruction instead of a call into the dynamic loader; a program
// that loads the library with dlopen takes their 7 bytes from the room the
// loader keeps there for such libraries.
#define RTK_MEM_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))
extern RTK_MEM_THREAD_LOCAL bool tlHolding;
extern RTK_MEM_THREAD_LOCAL bool tlSettingUp;
// ---------------------------------------------------------------------------

// Rounds v up to a multiple of unit.
constexpr uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }
inline uintptr_t AddressOf(const void *p) { return reinterpret_cast<uintptr_t>(p); }
inline unsigned char *DataOf(Header *b) { return reinterpret_cast<unsigned char *>(b) + H; }
inline int32_t DebugLevel() { return heap.dbgLevel.load(std::memory_order_relaxed); }

inline Record &At(uint32_t id) { return heap.records[id]; }
inline Header *HeaderOf(uint32_t id) { return reinterpret_cast<Header *>(At(id).header); }

// The block before (or after) block `id` when the index has it free and in
// the same region, or kNoBlock.
inline uint32_t FreeNeighbour(uint32_t id, bool after) {
  const uint32_t n = after ? At(id).next : At(id).prev;
  return n != kNoBlock && At(n).isFree && At(n).region == At(id).region ? n : kNoBlock;
}

// ---- qmmem_blocks.cpp ------------------------------------------------------
void AddRegion(void *region, int32_t size);
void WalkList(const char *which);
// The check of qmmem_check, with the lock taken by the caller.
int32_t CheckList();
uint32_t FindFit(uint64_t R, uint64_t A, int32_t dbg);
Header *AlignBlock(Header *b, uint32_t id, uint64_t A, int32_t dbg);
void MarkAllocated(Header *b, int32_t nbytes, const char *tagName);
void SplitBlock(Header *b, uint32_t id, uint64_t R, int32_t dbg);
int32_t ReleaseBlock(Header *b, uint32_t id, int32_t dbg);
void RefuseRelease(const unsigned char *p, int32_t dbg);
bool IsAllocated(const Header *b);

// ---- qmmem_index.cpp -------------------------------------------------------
// Makes room for `blocks` more records and `regions` more regions, so that
// the calls that add them cannot fail. False when the system allocator has
// no memory for it: then nothing has changed.
bool ReserveMore(uint32_t blocks, uint32_t regions);
inline bool Reserve(uint32_t blocks, uint32_t regions) {
  const bool room = heap.unusedCount >= blocks && heap.slots != nullptr &&
                    2 * (static_cast<uint64_t>(heap.slotsUsed) + blocks) <= (uint64_t{1} << heap.slotBits) &&
                    heap.regionCapacity - heap.regionCount >= regions;
  return room || ReserveMore(blocks, regions);
}
// The record of the block whose header is at `header` when the heap gave
// that block out (it may be free again since), or kNoBlock.
uint32_t Find(const void *header);
// True when the `size` bytes at `p` lie inside one region of the heap.
bool Owns(const void *p, size_t size);
// Registers a region and the block `header` that starts it as the new last
// block of the list; answers its record, or kNoBlock (nothing registered)
// when the region overlaps one that the heap has already.
uint32_t AppendRegion(const void *region, size_t size, void *header);
// Registers the block `rest` that follows block `id` in its region.
uint32_t AddAfter(uint32_t id, void *rest);
// Forgets block `id` (merged into a neighbour), taking it out of the list.
void Remove(uint32_t id);
// Free block `id` is allocated now, its header at `header`.
void Allocated(uint32_t id, void *header);

// ---- qmmem_free.cpp --------------------------------------------------------
// Files block `id` by size among the many free blocks, when there are (or
// now become) too many for the array of few.
void FileMany(uint32_t id);
// Takes block `id` out of the many free blocks.
void UnfileMany(uint32_t id);

// A data address's alignment class: 0 below 512 bytes, c for 2^(c+8)
// bytes, the last class for 2^31 bytes and more.
inline uint8_t AlignClass(uintptr_t data) {
  const unsigned bits = data == 0 ? 63 : static_cast<unsigned>(__builtin_ctzll(data));
  return static_cast<uint8_t>(bits < 9 ? 0 : bits - 8 < kAlignClasses ? bits - 8 : kAlignClasses - 1);
}

// Takes block `id` out of the free blocks (it is allocated, or unusable).
inline void SetUsed(uint32_t id) {
  Record &r = At(id);
  if (!r.isFree) return;
  r.isFree = false;
  if (heap.many) return UnfileMany(id);
  const uint32_t place = r.up, moved = heap.few[--heap.freeCount];
  heap.few[place] = moved;
  At(moved).up = place;
}

// Files block `id` among the free blocks with `nbytes` data bytes at `data`,
// or files it anew when it is one already. (The array of few is looked after
// here, inline: it is what a heap with few blocks spends its time on.)
inline void SetFree(uint32_t id, uint32_t nbytes, uintptr_t data) {
  Record &r = At(id);
  const uint8_t cls = AlignClass(data);
  if (r.isFree) {
    if (r.bytes == nbytes && r.alignClass == cls) return;
    SetUsed(id);
  }
  r.bytes = nbytes;
  r.alignClass = cls;
  r.isFree = true;
  if (heap.many || heap.freeCount == kFewMost) return FileMany(id);
  r.up = heap.freeCount;
  heap.few[heap.freeCount++] = id;
}

// The free block that the fit search takes for R bytes on alignment A (a
// power of two from 512 to 2^31): the first in list order among those with
// exactly R bytes whose data start on a multiple of A (then `exact` is set);
// failing that, the one with the fewest bytes that has at least A + R, the
// first in list order among equals; or kNoBlock.
uint32_t ChooseFit(uint32_t R, uint64_t A, bool &exact);
// Grows the pool of size nodes to `capacity` nodes.
bool ReserveSizes(uint32_t capacity);

}  // namespace rtk::mem

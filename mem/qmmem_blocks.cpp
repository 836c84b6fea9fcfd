// qmmem_blocks.cpp - the debug heap's list (see mem_internal.h): regions
// added and grown, the fit search, the alignment of the chosen block, its
// guards and its split, the release with its guard checks and merges, the
// listing and the check. Everything here runs under the heap's lock (or in
// the set-up, before other threads use the heap); the index is kept up to
// date beside every change of the list.
#include <climits>
#include <cstring>

#include "mem/mem_internal.h"
#include "qmlog.h"
#include "qmmem.h"

namespace rtk::mem {
namespace {

// The text buffer of tag(), one per thread.
RTK_MEM_THREAD_LOCAL char tlTagText[5];

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

// Writes an overrun guard through the C library's memset, which uses the
// widest stores the processor has. (Given a fixed 512 bytes, g++ fills them
// inline with `rep stos`, which takes about three times as long; the empty
// asm statement hides the count from it.)
void writeGuard(unsigned char *guard) {
  size_t count = kOverrunGuard;
  asm("" : "+r"(count));
  std::memset(guard, kGuardByte, count);
}

// Logs one damaged byte of an underrun guard.
void underrun(const unsigned char *guardByte) {
  LOG_Log(QM_LOG_PANIC, "qmmem:Data underrun detected! Data addr is 0x%p\n",
          static_cast<const void *>(guardByte));
}

// Checks the eight underrun guard bytes of an allocated block: all at once,
// and one by one only when they differ.
void checkUnderrun(const Header *b) {
  if (std::memcmp(b->underrun, kIntactGuard.bytes, sizeof b->underrun) == 0) return;
  for (const unsigned char &g : b->underrun) {
    if (g != kGuardByte) underrun(&g);
  }
}

// Answers a block's four tag bytes as text, in a buffer that the next call
// on this thread overwrites.
const char *tag(const Header *b) {
  std::memcpy(tlTagText, b->tag, sizeof b->tag);
  tlTagText[4] = '\0';
  return tlTagText;
}

// Asks the memory source for `want` bytes and appends what it gives. False
// when it gives nothing or when `want` does not fit its 32-bit size.
bool grow(uint64_t want) {
  if (want > static_cast<uint64_t>(INT32_MAX)) return false;
  int32_t size = static_cast<int32_t>(want);
  void *region = MEM_GetMemory_cb(&size);
  if (region == nullptr) return false;
  AddRegion(region, size);
  return true;
}

// True while block id's header still says what the index holds about it: a
// free block of the bytes under which the index keeps it.
bool isIntactFree(uint32_t id) {
  const Header *b = HeaderOf(id);
  return b->key == kFreeKey && b->nbytes == At(id).bytes;
}

// The block that the fit search takes: the first free block in list order
// that is aligned to A already and has exactly R bytes; failing that, the
// free block with the smallest excess over A + R (below the starting
// excess), the first in list order on ties. A free block whose header a
// caller wrote over is left out of the free blocks for good.
uint32_t chooseFree(uint64_t R, uint64_t A, bool &exact) {
  for (;;) {
    const uint32_t id = ChooseFit(static_cast<uint32_t>(R), A, exact);
    if (!exact && id != kNoBlock && At(id).bytes - (A + R) >= kBestExcessStart) return kNoBlock;
    if (id == kNoBlock || isIntactFree(id)) return id;
    SetUsed(id);
  }
}

// The block before (or after) block id when it is free, untouched by a
// caller, and in id's region; the index says so without a look at its
// header, which is read only to be written.
Header *mergeable(uint32_t id, bool after, uint32_t &neighbour) {
  neighbour = FreeNeighbour(id, after);
  return neighbour != kNoBlock && isIntactFree(neighbour) ? HeaderOf(neighbour) : nullptr;
}

// Logs the free blocks that a walk of the list from `from` looks at before
// it stops at `taken` (an exact fit), or up to the end of the list.
void logExamined(Header *from, const Header *taken) {
  for (Header *b = from; b != nullptr; b = b->next) {
    if (b->key != kFreeKey) continue;
    LOG_Log(QM_LOG_PRINT, "qmmem: checking %p (%p) nbytes:%d\n", static_cast<const void *>(b),
            static_cast<const void *>(DataOf(b)), static_cast<int>(b->nbytes));
    if (b == taken) return;
  }
}

// Block `into` takes in block `b`, which follows it in its region.
void absorb(Header *into, const Header *b) {
  into->next = b->next;
  into->end = b->end;
  into->nbytes += static_cast<uint32_t>(H + b->nbytes);
}

// The release's first line (debug level above 2).
void logRelease(const void *p, const void *header, uint32_t nbytes) {
  LOG_Log(QM_LOG_PRINT, "qmmem_free: %p  m:%p nbytes:%d\n", p, header, static_cast<int>(nbytes));
}

void logNotABlock() { LOG_Log(QM_LOG_PANIC, "PANIC: Freeing non-alloc'd memory.\n"); }

}  // namespace

// A block that may be released: the allocated key, and asked bytes plus their
// guard inside the block. A header whose asked size was overwritten is treated
// like a damaged one, so that nothing reads or writes past its block.
bool IsAllocated(const Header *b) {
  return b->key == kAllocKey && b->asked >= 0 && static_cast<uint64_t>(b->asked) + kOverrunGuard <= b->nbytes;
}

// Appends a region as one free block that ends its region. A start that is not
// on an 8-byte boundary is moved up to one, and the skipped bytes count as
// lost. A region is not taken when it has no room for a header, when it
// overlaps a region that the heap has already (its blocks would be written
// over), or when the index cannot grow.
void AddRegion(void *region, int32_t size) {
  if (region == nullptr || size < 0) return;
  const uint64_t skip = (8 - AddressOf(region) % 8) % 8;
  if (static_cast<uint64_t>(size) < skip + H || !Reserve(1, 1)) return;
  auto *b = reinterpret_cast<Header *>(static_cast<unsigned char *>(region) + skip);
  const uint32_t last = heap.last;
  const uint32_t id = AppendRegion(region, static_cast<size_t>(size), b);
  if (id == kNoBlock) return;
  std::memset(static_cast<void *>(b), 0, H);
  b->key = kFreeKey;
  b->nbytes = static_cast<uint32_t>(static_cast<uint64_t>(size) - skip - H);
  b->next = nullptr;
  b->end = 1;
  if (last == kNoBlock) {
    heap.thelist = b;
  } else {
    HeaderOf(last)->next = b;
  }
  SetFree(id, b->nbytes, AddressOf(DataOf(b)));
  heap.total_allocation += static_cast<uint64_t>(size);
  heap.lostSpace += skip;
  heap.haveMemory.store(true, std::memory_order_release);
}

// Fit search (see chooseFree). When no block qualifies the heap grows once
// and the search goes on into the new region. Answers the block's record, or
// kNoBlock.
uint32_t FindFit(uint64_t R, uint64_t A, int32_t dbg) {
  bool exact = false;
  uint32_t id = chooseFree(R, A, exact);
  if (dbg > 3) logExamined(heap.thelist, exact ? HeaderOf(id) : nullptr);
  if (id != kNoBlock) return id;
  Header *last = HeaderOf(heap.last);
  if (!grow(R + kGrowExtra + A)) return kNoBlock;
  id = chooseFree(R, A, exact);
  if (dbg > 3) logExamined(last->next, exact ? HeaderOf(id) : nullptr);
  return id;
}

// Moves the chosen block's header forward so that its data start on a
// multiple of A. The gap goes to the block in front when that block abuts it
// (stretching); at the head of the list or at the start of a region it is
// lost. Answers the block's header, or null when the block in front does not
// lead to it (a caller wrote over its header): then nothing has been written.
Header *AlignBlock(Header *b, uint32_t id, uint64_t A, int32_t dbg) {
  const uintptr_t data = AddressOf(DataOf(b));
  const uintptr_t aligned = RoundUp(data, A);
  if (aligned == data) return b;
  const uint64_t gap = aligned - data;
  auto *moved = reinterpret_cast<Header *>(aligned - H);
  Header *prev = nullptr;
  if (b == heap.thelist) {
    if (dbg > 1) LOG_Log(QM_LOG_PRINT, "qmmem: edge case 0, loosing:%d\n", static_cast<int>(gap));
    heap.lostSpace += gap;
  } else {
    const uint32_t previous = At(id).prev;
    prev = previous == kNoBlock ? nullptr : HeaderOf(previous);
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
      // A free block in front is filed anew under its new size.
      if (At(previous).isFree) SetFree(previous, prev->nbytes, AddressOf(DataOf(prev)));
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
    if (dbg > 2) LOG_Log(QM_LOG_PRINT, "m is:%p End?:%d\n", static_cast<const void *>(moved), moved->end);
  }
  return moved;
}

// Marks a block allocated: asked size, underrun guard, tag (up to four bytes,
// or up to and including a shorter tag's terminator) and the overrun guard.
void MarkAllocated(Header *b, int32_t nbytes, const char *tagName) {
  b->asked = nbytes;
  std::memset(b->underrun, kGuardByte, sizeof b->underrun);
  const char *src = tagName != nullptr ? tagName : "";
  for (size_t i = 0; i < sizeof b->tag; ++i) {
    b->tag[i] = src[i];
    if (src[i] == '\0') break;
  }
  writeGuard(DataOf(b) + nbytes);
  b->key = kAllocKey;
}

// Splits off the bytes of an allocated block beyond R as a new free block,
// when they are more than a header and 512 bytes. Block id's record, chosen
// from the free blocks and not yet changed, is brought up to date here.
void SplitBlock(Header *b, uint32_t id, uint64_t R, int32_t dbg) {
  Allocated(id, b);
  if (b->nbytes <= R + H + kAlignUnit) {
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: good-enough fit %p asked:%d got:%d e:%d\n", static_cast<const void *>(b),
              static_cast<int>(R), static_cast<int>(b->nbytes), b->end);
    }
    return;
  }
  if (dbg > 2) {
    LOG_Log(QM_LOG_PRINT, "qmmem: Splitting %p nbytes:%d\n", static_cast<const void *>(b),
            static_cast<int>(b->nbytes));
  }
  auto *rest = reinterpret_cast<Header *>(DataOf(b) + R);
  std::memset(static_cast<void *>(rest), 0, H);
  rest->key = kFreeKey;
  rest->nbytes = static_cast<uint32_t>(b->nbytes - R - H);
  rest->end = b->end;
  rest->next = b->next;
  b->end = 0;
  b->next = rest;
  b->nbytes = static_cast<uint32_t>(R);
  SetFree(AddAfter(id, rest), rest->nbytes, AddressOf(DataOf(rest)));
  if (dbg > 2) {
    LOG_Log(QM_LOG_PRINT, " adjusted to %dbytes; next:%p nbytes:%d\n", static_cast<int>(R),
            static_cast<const void *>(rest), static_cast<int>(rest->nbytes));
  }
}

// Releases an allocated block (record id) under the lock: checks its guards,
// marks it free and merges it with a free block in front and a free block
// behind. Answers the asked size; a header with neither key is reported and
// left alone.
int32_t ReleaseBlock(Header *b, uint32_t id, int32_t dbg) {
  unsigned char *data = DataOf(b);
  const int32_t asked = b->asked;
  // What the merges read is asked for before the guards are compared, so
  // that the waits for memory overlap: the neighbours' records and the
  // header that follows this block.
  __builtin_prefetch(&At(At(id).prev));
  __builtin_prefetch(&At(At(id).next));
  __builtin_prefetch(data + b->nbytes);
  if (dbg > 2) logRelease(data, b, b->nbytes);
  if (!IsAllocated(b)) {
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
    absorb(prev, b);
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: free'd %p and enlarged previous:%p\n", static_cast<const void *>(b),
              static_cast<const void *>(prev));
    }
    Remove(id);
    b = prev;
    id = previous;
  }
  Header *next = mergeable(id, true, following);
  if (next != nullptr && b->next == next && b->end == 0) {
    absorb(b, next);
    if (dbg > 2) {
      LOG_Log(QM_LOG_PRINT, "qmmem: free'd %p and enlarged by next:%p\n", static_cast<const void *>(b),
              static_cast<const void *>(b->next));
    }
    Remove(following);
  }
  SetFree(id, b->nbytes, AddressOf(DataOf(b)));
  if (dbg > 4) WalkList("");
  return asked;
}

// Answers a release of a pointer that is no allocated block's. A region may
// still hold the header of a block that a merge took in, so inside the
// heap's regions the header is read as before: the free key of a block
// released already means a second release (0, no message). Anything else is
// reported, and nothing is written.
void RefuseRelease(const unsigned char *p, int32_t dbg) {
  const auto *header = reinterpret_cast<const unsigned char *>(AddressOf(p) - H);
  if (Owns(header, H)) {
    Header copy;
    std::memcpy(&copy, header, H);
    if (copy.key == kFreeKey) return;
    if (dbg > 2) logRelease(p, header, copy.nbytes);
  }
  logNotABlock();
}

// Lists the whole heap (or its free or allocated blocks) with the totals.
// Totals are written at full width; for any heap below 2 GiB that is the same
// text as a 32-bit count.
void WalkList(const char *which) {
  if (which == nullptr) which = "";
  LOG_Log(QM_LOG_PRINT, "Walk started. Total allocation:%llu LostSpace:%llu which:%s\n",
          static_cast<unsigned long long>(heap.total_allocation), static_cast<unsigned long long>(heap.lostSpace),
          which);
  uint64_t freeTotal = 0, freeOverhead = 0, allocTotal = 0, allocOverhead = 0;
  for (Header *b = heap.thelist; b != nullptr; b = b->next) {
    const bool isFree = b->key == kFreeKey;
    if (!isFree && b->key != kAllocKey) continue;
    (isFree ? freeTotal : allocTotal) += b->nbytes;
    (isFree ? freeOverhead : allocOverhead) += H;
    if (which[0] != '\0' && which[0] != (isFree ? 'F' : 'A')) continue;
    LOG_Log(QM_LOG_PRINT, "%s 0x%p nbytes:%d, datap:0x%p  end:0x%p key:%x %s %c\n", isFree ? "FREE " : "ALLOC",
            static_cast<const void *>(b), static_cast<int>(b->nbytes), static_cast<const void *>(DataOf(b)),
            static_cast<const void *>(DataOf(b) + b->nbytes), b->key, tag(b), b->end != 0 ? 'E' : ' ');
  }
  LOG_Log(QM_LOG_PRINT, "Walk done: free:%llu  plus-overhead:%llu  alloc:%llu plus-overhead:%llu\n",
          static_cast<unsigned long long>(freeTotal), static_cast<unsigned long long>(freeOverhead),
          static_cast<unsigned long long>(allocTotal), static_cast<unsigned long long>(allocOverhead));
  LOG_Log(QM_LOG_PRINT, "  Added-up:%llu  Allocation less loss:%llu\n",
          static_cast<unsigned long long>(freeTotal + freeOverhead + allocTotal + allocOverhead),
          static_cast<unsigned long long>(heap.total_allocation - heap.lostSpace));
}

// Checks every block's key, guards and abutment and that the blocks add up
// to the memory handed to the heap. Guard damage and a gap between blocks are
// reported but do not fail the check; a damaged header or a wrong total do.
int32_t CheckList() {
  uint64_t total = 0;
  for (Header *b = heap.thelist; b != nullptr; b = b->next) {
    unsigned char *data = DataOf(b);
    if (IsAllocated(b)) {
      checkUnderrun(b);
      if (data[b->asked] != kGuardByte) {
        LOG_Log(QM_LOG_PANIC, "qmmem_check detected overrun. Data addr:0x%p tag:%s\n",
                static_cast<const void *>(data), tag(b));
      }
    } else if (b->key != kFreeKey) {
      LOG_Log(QM_LOG_ERROR, "qmmem_check: non-alloc and non-free memory block! Address is :0x%p\n",
              static_cast<const void *>(b));
      WalkList("");
      const int32_t key = static_cast<int32_t>(b->key);
      LOG_Log(QM_LOG_PANIC, "qmmem: NOT AN ALLOC or FREE BLOCK!, value is 0x%p (%d)\n",
              reinterpret_cast<const void *>(static_cast<intptr_t>(key)), key);
      return 1;
    }
    if (b->end == 0 && b->next != reinterpret_cast<Header *>(data + b->nbytes)) {
      LOG_Log(QM_LOG_ERROR, "qmmem check: Addr: %p NOT abutting next!\n", static_cast<const void *>(b));
      WalkList("");
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

}  // namespace rtk::mem

// reference_heap.cpp - the list-walking debug heap (see reference_heap.h):
// the fit search, the predecessor search and the walk to the last block
// are linear, as they were. Same header layout, rules, messages and debug
// levels as the library's heap; no lock, set-up or MEM_FreeAll. Addresses
// in its log lines are those of the twin places in the library's regions.
#include "reference_heap.h"

#include <climits>
#include <cstring>

#include "qmlog.h"

namespace refheap {
namespace {

struct Header {
  uint32_t key, nbytes;
  Header *next;
  int32_t end, asked;
  char tag[4];
  unsigned char underrun[8];
};
static_assert(sizeof(Header) == 40);

constexpr uint64_t H = sizeof(Header), kGuard = 512, kUnit = 512;
constexpr uint32_t kFree = 0x12345678u, kAlloc = 0x87654321u;

Header *thelist = nullptr;
uint64_t total = 0, lost = 0;
int32_t dbg = 0;
Source source = nullptr;
Twin twin = nullptr;
char tagText[5];

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }
unsigned char *Data(Header *b) { return reinterpret_cast<unsigned char *>(b) + H; }
const void *P(const void *p) { return twin(p); }
int I(uint64_t v) { return static_cast<int>(v); }
const char *Tag(const Header *b) { return static_cast<const char *>(std::memcpy(tagText, b->tag, 4)); }
void Print(const char *fmt, auto... args) { LOG_Log(QM_LOG_PRINT, fmt, args...); }
bool IsAllocated(const Header *b) { return b->key == kAlloc && b->asked >= 0 && b->asked + kGuard <= b->nbytes; }
void CheckUnderrun(const Header *b) {
  for (const unsigned char &g : b->underrun) {
    if (g != 'A') LOG_Log(QM_LOG_PANIC, "qmmem:Data underrun detected! Data addr is 0x%p\n", P(&g));
  }
}
Header *Previous(const Header *b) {
  Header *p = thelist;
  while (p != nullptr && p->next != b) p = p->next;
  return p;
}
void Absorb(Header *into, Header *b) {
  into->next = b->next;
  into->end = b->end;
  into->nbytes += static_cast<uint32_t>(H + b->nbytes);
}

void AddRegion(void *region, int32_t size) {
  const uint64_t skip = (8 - reinterpret_cast<uintptr_t>(region) % 8) % 8;
  if (region == nullptr || size < 0 || static_cast<uint64_t>(size) < skip + H) return;
  auto *b = reinterpret_cast<Header *>(static_cast<unsigned char *>(region) + skip);
  std::memset(static_cast<void *>(b), 0, H);
  *b = Header{kFree, static_cast<uint32_t>(size - skip - H), nullptr, 1, 0, {}, {}};
  Header **link = &thelist;
  while (*link != nullptr) link = &(*link)->next;
  *link = b;
  total += static_cast<uint64_t>(size);
  lost += skip;
}

Header *FindFit(uint64_t R, uint64_t A) {
  Header *best = nullptr, *last = nullptr, *b = thelist;
  uint64_t bestExcess = 0x6400000;
  for (bool grown = false;; grown = true) {
    for (; b != nullptr; last = b, b = b->next) {
      if (b->key != kFree) continue;
      if (dbg > 3) Print("qmmem: checking %p (%p) nbytes:%d\n", P(b), P(Data(b)), b->nbytes);
      if (reinterpret_cast<uintptr_t>(Data(b)) % A == 0 && b->nbytes == R) return b;
      if (b->nbytes >= A + R && b->nbytes - (A + R) < bestExcess) best = b, bestExcess = b->nbytes - (A + R);
    }
    if (best != nullptr || grown || last == nullptr || R + 0x2800 + A > INT32_MAX) return best;
    auto size = static_cast<int32_t>(R + 0x2800 + A);
    void *region = source(&size);
    if (region == nullptr) return nullptr;
    AddRegion(region, size);
    b = last->next;
  }
}

Header *Align(Header *b, uint64_t A) {
  const auto data = reinterpret_cast<uintptr_t>(Data(b));
  const uint64_t gap = RoundUp(data, A) - data;
  if (gap == 0) return b;
  auto *moved = reinterpret_cast<Header *>(data + gap - H);
  Header *prev = nullptr;
  if (b == thelist) {
    if (dbg > 1) Print("qmmem: edge case 0, loosing:%d\n", I(gap));
    lost += gap;
  } else if ((prev = Previous(b)) == nullptr) {
    LOG_Log(QM_LOG_PANIC, "qmmem: previous of %pnot found!\n", P(b));
    return nullptr;
  } else if (prev->end == 0) {
    if (dbg > 2) Print("Stretching previous:%p by %d, bestE:%d pnE:%d\n", P(prev), I(gap), b->end, prev->next->end);
    prev->nbytes += static_cast<uint32_t>(gap);
  } else {
    if (dbg > 1) Print("qmmem: edge case 1, loosing:%d\n", I(gap));
    lost += gap;
  }
  std::memmove(static_cast<void *>(moved), b, H);
  moved->nbytes -= static_cast<uint32_t>(gap);
  (prev == nullptr ? thelist : prev->next) = moved;
  if (prev != nullptr && dbg > 2) Print("m is:%p End?:%d\n", P(moved), moved->end);
  return moved;
}

void Split(Header *b, uint64_t R) {
  if (b->nbytes <= R + H + kUnit) {
    if (dbg > 2) Print("qmmem: good-enough fit %p asked:%d got:%d e:%d\n", P(b), I(R), b->nbytes, b->end);
    return;
  }
  if (dbg > 2) Print("qmmem: Splitting %p nbytes:%d\n", P(b), b->nbytes);
  auto *rest = reinterpret_cast<Header *>(Data(b) + R);
  std::memset(static_cast<void *>(rest), 0, H);
  *rest = Header{kFree, static_cast<uint32_t>(b->nbytes - R - H), b->next, b->end, 0, {}, {}};
  b->end = 0;
  b->next = rest;
  b->nbytes = static_cast<uint32_t>(R);
  if (dbg > 2) Print(" adjusted to %dbytes; next:%p nbytes:%d\n", I(R), P(rest), rest->nbytes);
}

}  // namespace

void SetUp(Source s, Twin t) { source = s, twin = t; }
void SetDbg(int32_t level) { dbg = level; }
void AddMemory(void *region, int32_t size) { AddRegion(region, size); }

void *Malloc(int32_t alignment, int32_t nbytes, const char *tagName) {
  const bool clear = alignment < 0 || dbg > 0;
  uint64_t align = alignment < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(alignment)) : alignment;
  if (align == 0) align = kUnit;
  const uint64_t R = RoundUp(static_cast<uint64_t>(nbytes) + kGuard, 8), A = RoundUp(align, kUnit);
  if (nbytes < 0 || (A & (A - 1)) != 0 || R + A > UINT32_MAX || thelist == nullptr) return nullptr;
  Check();
  if (dbg > 2) Print("qmmem: request %dbytes, align:%d\n", nbytes, I(align));
  if (dbg > 2) Print("        rndup   %dbytes, align:%d\n", I(R), I(A));
  Header *b = FindFit(R, A);
  if (b != nullptr) b = Align(b, A);
  if (b != nullptr) {
    b->asked = nbytes;
    std::memset(b->underrun, 'A', 8);
    const char *src = tagName != nullptr ? tagName : "";
    for (size_t i = 0; i < 4 && (i == 0 || src[i - 1] != '\0'); ++i) b->tag[i] = src[i];
    std::memset(Data(b) + nbytes, 'A', kGuard);
    b->key = kAlloc;
    Split(b, R);
  }
  if (dbg > 4) Walk("");
  if (b == nullptr) return nullptr;
  if (dbg > 2) Print("qmmem: returning: %p  m:%p end:%d\n", P(Data(b)), P(b), b->end);
  if (clear) std::memset(Data(b), 0, static_cast<size_t>(nbytes));
  return Data(b);
}

int32_t Free(void *p) {
  Check();
  auto *b = reinterpret_cast<Header *>(reinterpret_cast<uintptr_t>(p) - H);
  if (p == nullptr || b->key == kFree) return 0;
  const int32_t asked = b->asked;
  if (dbg > 2) Print("qmmem_free: %p  m:%p nbytes:%d\n", P(p), P(b), b->nbytes);
  if (!IsAllocated(b)) {
    LOG_Log(QM_LOG_PANIC, "PANIC: Freeing non-alloc'd memory.\n");
    return 0;
  }
  if (dbg > 0) std::memset(p, 'C', static_cast<size_t>(asked));
  CheckUnderrun(b);
  for (uint64_t i = 0; i < kGuard; ++i) {
    if (Data(b)[asked + i] != 'A') LOG_Log(QM_LOG_PANIC, "qmmem: Overrun! p:%p tag:%s\n", P(p), Tag(b));
  }
  b->key = kFree;
  Header *prev = Previous(b);
  if (prev != nullptr && prev->key == kFree && prev->end == 0) {
    Absorb(prev, b);
    if (dbg > 2) Print("qmmem: free'd %p and enlarged previous:%p\n", P(b), P(prev));
    b = prev;
  }
  if (b->next != nullptr && b->end == 0 && b->next->key == kFree) {
    Absorb(b, b->next);
    if (dbg > 2) Print("qmmem: free'd %p and enlarged by next:%p\n", P(b), P(b->next));
  }
  if (dbg > 4) Walk("");
  return asked;
}

void Walk(const char *which) {
  Print("Walk started. Total allocation:%llu LostSpace:%llu which:%s\n", total, lost, which);
  unsigned long long sums[2][2] = {};  // [allocated?][bytes, overhead]
  for (Header *b = thelist; b != nullptr; b = b->next) {
    const bool isFree = b->key == kFree;
    if (!isFree && b->key != kAlloc) continue;
    sums[!isFree][0] += b->nbytes;
    sums[!isFree][1] += H;
    if (which[0] != '\0' && which[0] != (isFree ? 'F' : 'A')) continue;
    Print("%s 0x%p nbytes:%d, datap:0x%p  end:0x%p key:%x %s %c\n", isFree ? "FREE " : "ALLOC", P(b), b->nbytes,
          P(Data(b)), P(Data(b) + b->nbytes), b->key, Tag(b), b->end != 0 ? 'E' : ' ');
  }
  Print("Walk done: free:%llu  plus-overhead:%llu  alloc:%llu plus-overhead:%llu\n", sums[0][0], sums[0][1],
        sums[1][0], sums[1][1]);
  Print("  Added-up:%llu  Allocation less loss:%llu\n", sums[0][0] + sums[0][1] + sums[1][0] + sums[1][1], total - lost);
}

int32_t Check() {
  uint64_t sum = 0;
  for (Header *b = thelist; b != nullptr && dbg != 0; b = b->next) {
    if (IsAllocated(b)) {
      CheckUnderrun(b);
      if (Data(b)[b->asked] != 'A') {
        LOG_Log(QM_LOG_PANIC, "qmmem_check detected overrun. Data addr:0x%p tag:%s\n", P(Data(b)), Tag(b));
      }
    } else if (b->key != kFree) {
      LOG_Log(QM_LOG_ERROR, "qmmem_check: non-alloc and non-free memory block! Address is :0x%p\n", P(b));
      Walk("");
      const auto key = static_cast<int32_t>(b->key);
      LOG_Log(QM_LOG_PANIC, "qmmem: NOT AN ALLOC or FREE BLOCK!, value is 0x%p (%d)\n",
              reinterpret_cast<const void *>(static_cast<intptr_t>(key)), key);
      return 1;
    }
    if (b->end == 0 && b->next != reinterpret_cast<Header *>(Data(b) + b->nbytes)) {
      LOG_Log(QM_LOG_ERROR, "qmmem check: Addr: %p NOT abutting next!\n", P(b));
      Walk("");
      LOG_Log(QM_LOG_PANIC, "qmmem: Non abutting\n");
    }
    sum += b->nbytes + H;
  }
  if (dbg == 0 || sum == total - lost) return 0;
  LOG_Log(QM_LOG_PANIC, "qmmem check: total 0x%p not match 0x%p\n", reinterpret_cast<const void *>(sum),
          reinterpret_cast<const void *>(total - lost));
  return 1;
}

void Stats(uint64_t *allocated, uint64_t *free_bytes) {
  *allocated = *free_bytes = 0;
  for (const Header *b = thelist; b != nullptr; b = b->next) {
    if (b->key == kFree) *free_bytes += b->nbytes;
    if (b->key == kAlloc) *allocated += b->nbytes;
  }
}

bool IsFreeBlock(const void *p) {
  Header *b = thelist;
  while (b != nullptr && Data(b) != p) b = b->next;
  return b != nullptr && b->key == kFree;
}

}  // namespace refheap

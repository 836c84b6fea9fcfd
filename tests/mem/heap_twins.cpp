// heap_twins.cpp - the differential test of the debug heap (heap_twins.h):
// the list-walking reference heap, then the harness. Each step runs on the
// library's heap (side 0) and on the reference heap (side 1) in turn, each with the log going to a scratch file. What a side
// did becomes one text: its answer (with a digest of the block's bytes), the
// sizes of the regions it asked for, the lines it logged, its listing and its
// totals; the two texts must be equal. The reference heap writes and answers
// addresses of its regions as the twin places in the library's regions.
#include "heap_twins.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "qmerror.h"
#include "qmlog.h"
#include "qmmem.h"

namespace twins {
namespace {

constexpr size_t kBoundary = 16 << 20, kArena = size_t{64} << 30;  // the reference's regions lie kArena higher
constexpr size_t kMostRegions = 128;  // so that a long run's listings stay short
constexpr const char *kTags[] = {"copy", "ab", "", "directory"};
constexpr const char *kSelectors[] = {"", "F", "", "A", "x"};
constexpr uint32_t kDamageSpan = 4 + 12 + 512;  // the key, the underrun guard and pad, the overrun guard

struct Block {
  unsigned char *side[2];
  int32_t asked;
};

struct State {
  int capture = -1;                  // the scratch file of the log; the twins run once it is open
  unsigned char *arena = nullptr;    // the library's regions, and kArena higher the reference's
  std::vector<std::pair<size_t, size_t>> regions;  // offset and size of each, in the order they were made
  size_t taken[2] = {};              // regions handed to each side so far
  std::string asks[2];               // sizes each side asked for during the step
  Step step;                         // the step running: how a region asked for now is made
  std::vector<Block> live, released;
  unsigned char *got[2] = {};        // what the step's allocation answered
  int32_t asked = 0, level = 0;      // what the step's release answered (library); the debug level
  unsigned listings = 0;
  unsigned char fill = 0;
  bool untouched = false;
} state;

// Hands side its next region: the twin of what the other side got, or fresh
// zero pages for what is asked plus the step's extra bytes, `place` bytes
// past the next 16 MiB boundary (at least a page past the last region).
void *Take(int side, int32_t *size) {
  State &s = state;
  s.asks[side] += std::to_string(*size) + " ";
  if (s.taken[side] == s.regions.size()) {
    const size_t last = s.regions.empty() ? 0 : s.regions.back().first + s.regions.back().second + 4096;
    const size_t start = (last + kBoundary - 1) / kBoundary * kBoundary + s.step.place % kBoundary;
    const auto want = static_cast<size_t>(std::min<int64_t>(INT32_MAX, int64_t{*size} + s.step.extra));
    if (s.step.refuse || *size < 0 || s.regions.size() == kMostRegions || start + want > kArena) return nullptr;
    s.regions.emplace_back(start, want);
  }
  const auto [start, size_] = s.regions[s.taken[side]++];
  *size = static_cast<int32_t>(size_);
  return s.arena + side * kArena + start;
}

// The library's twin of a place in the reference heap's regions.
const void *Twin(const void *p) { return p == nullptr ? p : static_cast<const unsigned char *>(p) - kArena; }

// ---- the reference heap: the list-walking debug heap -----------------------
// The fit search, the predecessor search and the walk to the last block are
// linear. Same header layout, rules, messages and debug levels as the
// library's heap; no lock, set-up or MEM_FreeAll. Its operations take and
// answer what the library's namesakes do, and it writes the addresses of its
// regions as their twins in the library's. The steps damage keys and guards
// only, never a link or a size, so it has no branch for a broken link, a gap
// between blocks or a wrong total.
namespace ref {

struct Header { uint32_t key, nbytes; Header *next; int32_t end, asked; char tag[4]; unsigned char underrun[8]; };
constexpr uint64_t H = sizeof(Header), kGuard = 512;
constexpr uint32_t kFree = 0x12345678u, kAlloc = 0x87654321u;

Header *thelist = nullptr;
unsigned long long total = 0, lost = 0;
int32_t dbg = 0;
unsigned long long sums[2][2];  // the last listing's [allocated?][bytes, overhead], which are its totals
char tagText[5];

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }
unsigned char *Data(Header *b) { return reinterpret_cast<unsigned char *>(b) + H; }
int I(uint64_t v) { return static_cast<int>(v); }
const char *Tag(const Header *b) { return static_cast<const char *>(std::memcpy(tagText, b->tag, 4)); }
// Logs a line at level 4 when the debug level is above `above`.
void Say(int above, const char *fmt, auto... args) {
  if (dbg > above) LOG_Log(QM_LOG_PRINT, fmt, args...);
}
void CheckUnderrun(const Header *b) {
  for (const unsigned char &g : b->underrun) {
    if (g != 'A') LOG_Log(QM_LOG_PANIC, "qmmem:Data underrun detected! Data addr is 0x%p\n", Twin(&g));
  }
}
Header *Previous(const Header *b) {
  Header *p = thelist;
  while (p != nullptr && p->next != b) p = p->next;
  return p;
}
void Absorb(Header *into, Header *b) {
  into->next = b->next, into->end = b->end;
  into->nbytes += static_cast<uint32_t>(H + b->nbytes);
}

void Walk(const char *which) {
  LOG_Log(QM_LOG_PRINT, "Walk started. Total allocation:%llu LostSpace:%llu which:%s\n", total, lost, which);
  sums[0][0] = sums[0][1] = sums[1][0] = sums[1][1] = 0;
  for (Header *b = thelist; b != nullptr; b = b->next) {
    const bool isFree = b->key == kFree;
    if (!isFree && b->key != kAlloc) continue;
    sums[!isFree][0] += b->nbytes;
    sums[!isFree][1] += H;
    if (which[0] != '\0' && which[0] != (isFree ? 'F' : 'A')) continue;
    LOG_Log(QM_LOG_PRINT, "%s 0x%p nbytes:%d, datap:0x%p  end:0x%p key:%x %s %c\n", isFree ? "FREE " : "ALLOC",
            Twin(b), b->nbytes, Twin(Data(b)), Twin(Data(b) + b->nbytes), b->key, Tag(b), b->end != 0 ? 'E' : ' ');
  }
  LOG_Log(QM_LOG_PRINT, "Walk done: free:%llu  plus-overhead:%llu  alloc:%llu plus-overhead:%llu\n", sums[0][0],
          sums[0][1], sums[1][0], sums[1][1]);
  LOG_Log(QM_LOG_PRINT, "  Added-up:%llu  Allocation less loss:%llu\n",
          sums[0][0] + sums[0][1] + sums[1][0] + sums[1][1], total - lost);
}

int32_t Check() {
  for (Header *b = thelist; b != nullptr && dbg != 0; b = b->next) {
    if (b->key == kAlloc) {
      CheckUnderrun(b);
      if (Data(b)[b->asked] != 'A') {
        LOG_Log(QM_LOG_PANIC, "qmmem_check detected overrun. Data addr:0x%p tag:%s\n", Twin(Data(b)), Tag(b));
      }
    } else if (b->key != kFree) {
      LOG_Log(QM_LOG_ERROR, "qmmem_check: non-alloc and non-free memory block! Address is :0x%p\n", Twin(b));
      Walk("");
      const auto key = static_cast<int32_t>(b->key);
      LOG_Log(QM_LOG_PANIC, "qmmem: NOT AN ALLOC or FREE BLOCK!, value is 0x%p (%d)\n",
              reinterpret_cast<const void *>(static_cast<intptr_t>(key)), key);
      return 1;
    }
  }
  return 0;
}

// A region starting off an 8-byte boundary loses the bytes up to one.
void AddMemory(void *region, int32_t size) {
  const uint64_t skip = (8 - reinterpret_cast<uintptr_t>(region) % 8) % 8;
  if (region == nullptr || size < 0 || static_cast<uint64_t>(size) < skip + H) return;
  auto *b = reinterpret_cast<Header *>(static_cast<unsigned char *>(region) + skip);
  *b = Header{kFree, static_cast<uint32_t>(size - skip - H), nullptr, 1, 0, {}, {}};
  Header **link = &thelist;
  while (*link != nullptr) link = &(*link)->next;
  *link = b;
  total += static_cast<uint64_t>(size), lost += skip;
}

Header *FindFit(uint64_t R, uint64_t A) {
  Header *best = nullptr, *last = nullptr, *b = thelist;
  uint64_t bestExcess = 0x6400000;
  for (bool grown = false;; grown = true) {
    for (; b != nullptr; last = b, b = b->next) {
      if (b->key != kFree) continue;
      Say(3, "qmmem: checking %p (%p) nbytes:%d\n", Twin(b), Twin(Data(b)), b->nbytes);
      if (reinterpret_cast<uintptr_t>(Data(b)) % A == 0 && b->nbytes == R) return b;
      if (b->nbytes >= A + R && b->nbytes - (A + R) < bestExcess) best = b, bestExcess = b->nbytes - (A + R);
    }
    auto size = static_cast<int32_t>(R + 0x2800 + A);
    void *region = best != nullptr || grown || R + 0x2800 + A > INT32_MAX ? nullptr : Take(1, &size);
    if (region == nullptr) return best;
    AddMemory(region, size);
    b = last->next;
  }
}

// Moves b's header so that its data start on a multiple of A.
Header *Align(Header *b, uint64_t A) {
  const auto data = reinterpret_cast<uintptr_t>(Data(b));
  const uint64_t gap = RoundUp(data, A) - data;
  if (gap == 0) return b;
  auto *moved = reinterpret_cast<Header *>(data + gap - H);
  Header *prev = b == thelist ? nullptr : Previous(b);
  if (prev == nullptr || prev->end != 0) {
    Say(1, "qmmem: edge case %d, loosing:%d\n", prev != nullptr, I(gap));
    lost += gap;
  } else {
    Say(2, "Stretching previous:%p by %d, bestE:%d pnE:%d\n", Twin(prev), I(gap), b->end, prev->next->end);
    prev->nbytes += static_cast<uint32_t>(gap);
  }
  std::memmove(static_cast<void *>(moved), b, H);
  moved->nbytes -= static_cast<uint32_t>(gap);
  (prev == nullptr ? thelist : prev->next) = moved;
  if (prev != nullptr) Say(2, "m is:%p End?:%d\n", Twin(moved), moved->end);
  return moved;
}

void Split(Header *b, uint64_t R) {
  if (b->nbytes <= R + H + 512) {
    return Say(2, "qmmem: good-enough fit %p asked:%d got:%d e:%d\n", Twin(b), I(R), b->nbytes, b->end);
  }
  Say(2, "qmmem: Splitting %p nbytes:%d\n", Twin(b), b->nbytes);
  auto *rest = reinterpret_cast<Header *>(Data(b) + R);
  *rest = Header{kFree, static_cast<uint32_t>(b->nbytes - R - H), b->next, b->end, 0, {}, {}};
  b->end = 0, b->next = rest, b->nbytes = static_cast<uint32_t>(R);
  Say(2, " adjusted to %dbytes; next:%p nbytes:%d\n", I(R), Twin(rest), rest->nbytes);
}


void *Malloc(int32_t alignment, int32_t nbytes, const char *tagName) {
  const bool clear = alignment < 0 || dbg > 0;
  uint64_t align = alignment < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(alignment)) : alignment;
  if (align == 0) align = 512;
  const uint64_t R = RoundUp(static_cast<uint64_t>(nbytes) + kGuard, 8), A = RoundUp(align, 512);
  if (nbytes < 0 || (A & (A - 1)) != 0 || R + A > UINT32_MAX || thelist == nullptr) return nullptr;
  Check();
  Say(2, "qmmem: request %dbytes, align:%d\n", nbytes, I(align));
  Say(2, "        rndup   %dbytes, align:%d\n", I(R), I(A));
  Header *b = FindFit(R, A);
  if (b != nullptr) {
    b = Align(b, A);
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
  Say(2, "qmmem: returning: %p  m:%p end:%d\n", Twin(Data(b)), Twin(b), b->end);
  if (clear) std::memset(Data(b), 0, static_cast<size_t>(nbytes));
  return Data(b);
}

int32_t Free(void *p) {
  Check();
  auto *b = reinterpret_cast<Header *>(reinterpret_cast<uintptr_t>(p) - H);
  if (p == nullptr || b->key == kFree) return 0;
  const int32_t asked = b->asked;
  Say(2, "qmmem_free: %p  m:%p nbytes:%d\n", Twin(p), Twin(b), b->nbytes);
  if (b->key != kAlloc) {
    LOG_Log(QM_LOG_PANIC, "PANIC: Freeing non-alloc'd memory.\n");
    return 0;
  }
  if (dbg > 0) std::memset(p, 'C', static_cast<size_t>(asked));
  CheckUnderrun(b);
  for (uint64_t i = 0; i < kGuard; ++i) {
    if (Data(b)[asked + i] != 'A') LOG_Log(QM_LOG_PANIC, "qmmem: Overrun! p:%p tag:%s\n", Twin(p), Tag(b));
  }
  b->key = kFree;
  Header *prev = Previous(b);
  if (prev != nullptr && prev->key == kFree && prev->end == 0) {
    Absorb(prev, b);
    Say(2, "qmmem: free'd %p and enlarged previous:%p\n", Twin(b), Twin(prev));
    b = prev;
  }
  if (b->next != nullptr && b->end == 0 && b->next->key == kFree) {
    Absorb(b, b->next);
    Say(2, "qmmem: free'd %p and enlarged by next:%p\n", Twin(b), Twin(b->next));
  }
  if (dbg > 4) Walk("");
  return asked;
}

}  // namespace ref

// ---- the harness -------------------------------------------------------------

// Runs fn with the log going to the scratch file; answers the lines logged,
// each without process ID and time stamp. A last line of its own ends any
// pending repeat count, so that the repeat notice comes out now.
template <typename Fn>
std::string Logged(Fn fn) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(state.capture, STDOUT_FILENO);
  fn();
  LOG_Log(QM_LOG_PRINT, "twins\n");
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text(static_cast<size_t>(lseek(state.capture, 0, SEEK_CUR)), '\0'), lines;
  if (pread(state.capture, text.data(), text.size(), 0) < 0 || ftruncate(state.capture, 0) != 0) return "(no log)";
  lseek(state.capture, 0, SEEK_SET);
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const size_t start = std::min(text.find_first_not_of("0123456789 :", at), end);
    lines.append(text, start, end + 1 - start);
  }
  return lines;
}

// A digest of n bytes at p.
std::string Digest(const void *p, size_t n) {
  return " " + std::to_string(std::hash<std::string_view>{}({static_cast<const char *>(p), n}));
}

// Takes step st on one side (b: the block it works on); answers what that
// side answered.
std::string Act(int side, const Step &st, const Block &b) {
  switch (st.op) {
    case Op::kAllocate: {
      const char *tag = kTags[st.pick % std::size(kTags)];
      auto *p = static_cast<unsigned char *>(side ? ref::Malloc(st.align, st.size, tag)
                                                  : MEM_malloc(st.align, st.size, tag));
      state.got[side] = p;
      // Data that are not cleared may hold old headers, whose links differ.
      const size_t from = st.align < 0 || state.level > 0 ? 0 : static_cast<size_t>(st.size);
      return std::to_string(reinterpret_cast<uintptr_t>(side ? Twin(p) : p)) +
             (p == nullptr ? "" : Digest(p + from, static_cast<size_t>(st.size) + 512 - from));
    }
    case Op::kRelease:
    case Op::kReleaseAgain:
      state.asked = side ? ref::Free(b.side[1]) : MEM_free(b.side[0]);
      return std::to_string(state.asked) + Digest(b.side[side], static_cast<size_t>(std::max(state.asked, 0)));
    case Op::kDamage: {
      const uint32_t o = static_cast<uint32_t>(st.offset) % kDamageSpan;
      *(o < 4 ? b.side[side] - 40 + o : o < 16 ? b.side[side] - 16 + o : b.side[side] + b.asked + o - 16) = st.value;
      return "";
    }
    case Op::kLevel:
      state.level = st.level;
      side ? void(ref::dbg = st.level) : qmmem_setDbg(st.level);
      return "";
    case Op::kCheck:
      return std::to_string(side ? ref::Check() : qmmem_check());
    case Op::kAddRegion: {
      int32_t size = st.size;
      void *region = Take(side, &size);
      side ? ref::AddMemory(region, size) : MEM_AddMemory(region, size);
      return "";
    }
  }
  return "";
}

// Keeps the lists of live and released blocks up to date after a step that
// both heaps took alike.
void Track(const Step &st, const Block &b, bool onLive) {
  if (st.op == Op::kAllocate && state.got[0] != nullptr) {
    ++state.fill;
    for (unsigned char *q : state.got) std::memset(q, state.fill, static_cast<size_t>(st.size));
    state.live.push_back({{state.got[0], state.got[1]}, st.size});
  }
  if (st.op != Op::kRelease && st.op != Op::kReleaseAgain) return;
  // A block released again may have been given out anew meanwhile: then
  // this released its new owner's block.
  if (onLive || state.asked > 0) std::erase_if(state.live, [&b](const Block &l) { return l.side[0] == b.side[0]; });
  if (onLive) state.released.push_back(b);
  if (state.released.size() > 64) state.released.erase(state.released.begin());
}

}  // namespace

std::string Start() {
  state.capture = memfd_create("heap-twins", 0);
  void *arena = mmap(nullptr, 2 * kArena, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  state.arena = arena == MAP_FAILED ? nullptr : static_cast<unsigned char *>(arena);
  state.step.refuse = true;
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  // The catalogue converts its texts on first use (a repeat notice needs
  // one) and allocates them from the heap: it does so now, while the heap
  // gets no memory, or its blocks would be in one heap only.
  Logged([] { QMERR_err2str(QM_INFO_MSGREPEAT); });
  uint64_t allocated = 1, free_bytes = 1;
  MEM_Stats(&allocated, &free_bytes);
  state.untouched = state.capture >= 0 && state.arena != nullptr && allocated == 0 && free_bytes == 0;
  state.step.refuse = false;
  return state.untouched ? "" : "the heap was in use before the twins started";
}

std::string Run(const Step &st) {
  if (!state.untouched) return "the twins did not start";
  const bool onLive = st.op == Op::kRelease || (st.op == Op::kDamage && !st.released);
  std::vector<Block> &from = onLive ? state.live : state.released;
  const bool onBlock = st.op == Op::kRelease || st.op == Op::kReleaseAgain || st.op == Op::kDamage;
  if (onBlock && from.empty()) return "";
  const Block b = onBlock ? from[st.pick % from.size()] : Block{};
  if (st.op == Op::kDamage && !onLive && std::memcmp(b.side[1] - 40, &ref::kFree, 4) != 0) return "";  // no free block now
  state.step = st;
  const char *which = kSelectors[state.listings++ % std::size(kSelectors)];
  std::string seen[2];
  for (int side : {0, 1}) {
    std::string answer;
    state.asks[side].clear();
    seen[side] = Logged([&] {
      answer = Act(side, st, b);
      side ? ref::Walk(which) : MEM_Walk(which);
    });
    uint64_t stats[2] = {ref::sums[1][0], ref::sums[0][0]};  // the reference's totals: its listing's
    const int32_t rc = side ? 0 : MEM_Stats(&stats[0], &stats[1]);
    seen[side] += "answer " + answer + "\nregions asked " + state.asks[side] + "\nstats " + std::to_string(rc) + " " +
                  std::to_string(stats[0]) + "/" + std::to_string(stats[1]) + "\n";
  }
  if (seen[0] == seen[1]) return Track(st, b, onLive), "";
  return "step " + std::to_string(int(st.op)) + " differs.\nlibrary:\n" + seen[0] + "reference:\n" + seen[1];
}

std::string ReleaseAll() {
  std::string diff;
  while (diff.empty() && !state.live.empty()) diff = Run({.op = Op::kRelease});
  return diff;
}

size_t Live() { return state.live.size(); }

void *Source(int32_t *size) {
  if (state.capture >= 0) return Take(0, size);
  return *size < 0 ? nullptr : std::malloc(static_cast<size_t>(*size));
}

}  // namespace twins

// heap_twins.cpp - the differential test of the debug heap (heap_twins.h).
// Each step runs on the library's heap (side 0) and on the reference heap
// (side 1) in turn, each with the log going to a scratch file; a log line
// with a counter after each run ends any pending repeat count, so that both
// runs' repeat notices come out whole. The reference heap writes and answers
// addresses of its regions as the twin places in the library's regions, so
// both must log and answer the very same text.
#include "heap_twins.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qmerror.h"
#include "qmlog.h"
#include "qmmem.h"
#include "reference_heap.h"

namespace twins {
namespace {

constexpr uintptr_t kBoundary = 16 << 20;
constexpr size_t kMostRegions = 128;
constexpr const char *kTags[] = {"copy", "ab", "", "directory"};
constexpr uint32_t kDamageSpan = 4 + 12 + 512;  // the key, the underrun guard and pad, the overrun guard

struct Region {
  unsigned char *side[2];
  size_t size;
};
struct Block {
  unsigned char *side[2];
  int32_t asked;
};

struct State {
  std::vector<Region> regions;  // in the order the source made them
  size_t taken[2] = {};         // regions handed to each side so far
  Step step;                    // the step running: how a region asked for now is made
  std::string sourceFault;
  std::vector<Block> live, released;
  int capture = -1;
  unsigned marker = 0, listings = 0;
  unsigned char fill = 0;
  int32_t level = 0;
  bool untouched = false;
} *state = nullptr;

// Fresh zero pages for `size` bytes starting `place` bytes past a boundary;
// what the mapping has beyond them is given back, but for a page that keeps
// the next mapping from starting where this region ends.
unsigned char *Map(size_t size, uint32_t place) {
  const size_t page = 4096, span = kBoundary + place + size + page;
  auto *m = static_cast<unsigned char *>(mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (m == MAP_FAILED) return nullptr;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(m) + kBoundary - 1) / kBoundary * kBoundary + place;
  auto *used = reinterpret_cast<unsigned char *>(start / page * page);
  auto *usedEnd = reinterpret_cast<unsigned char *>((start + size + 2 * page - 1) / page * page);
  munmap(m, static_cast<size_t>(used - m));
  munmap(usedEnd, static_cast<size_t>(m + span - usedEnd));
  return reinterpret_cast<unsigned char *>(start);
}

// Hands side its next region: the twin of what the other side got, or a new
// pair of what is asked plus the step's extra bytes at the step's place.
// There are no more than kMostRegions, so that a long run's listings stay
// short.
void *Take(int side, int32_t *size) {
  State &s = *state;
  if (s.step.refuse || size == nullptr || *size < 0) return nullptr;
  if (s.taken[side] == s.regions.size() && s.regions.size() == kMostRegions) return nullptr;
  const auto want = static_cast<size_t>(std::min<int64_t>(INT32_MAX, int64_t{*size} + s.step.extra));
  if (s.taken[side] == s.regions.size()) {
    const uint32_t place = s.step.place % kBoundary;
    s.regions.push_back({{Map(want, place), Map(want, place)}, want});
  }
  const Region &r = s.regions[s.taken[side]++];
  if (r.size != want) s.sourceFault = "the heaps asked for regions of different sizes";
  *size = static_cast<int32_t>(r.size);
  return r.side[side];
}

void *RefSource(int32_t *size) { return Take(1, size); }

// The library's twin of a place in the reference heap's regions (their end
// included); other addresses stay as they are.
const void *Twin(const void *address) {
  const auto v = reinterpret_cast<uintptr_t>(address);
  for (const Region &r : state->regions) {
    const auto start = reinterpret_cast<uintptr_t>(r.side[1]);
    if (v - start <= r.size) return r.side[0] + (v - start);
  }
  return address;
}

// Runs fn with the log going to the scratch file; answers the lines logged,
// without process ID and time stamp.
template <typename Fn>
std::vector<std::string> Logged(Fn fn) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(state->capture, STDOUT_FILENO);
  fn();
  LOG_Log(QM_LOG_PRINT, "twins %u\n", ++state->marker);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text(static_cast<size_t>(lseek(state->capture, 0, SEEK_CUR)), '\0');
  if (pread(state->capture, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) text.clear();
  if (ftruncate(state->capture, 0) != 0 || lseek(state->capture, 0, SEEK_SET) != 0) text.clear();
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    const size_t stamp = line.find(": "), pid = line.find(' ');
    lines.push_back(line.substr(stamp != std::string::npos && line.find_first_not_of("0123456789", pid + 1) == stamp
                                    ? stamp + 2 : pid + 1));
  }
  if (!lines.empty()) lines.pop_back();  // the counter line
  return lines;
}

// Runs act(side) on both heaps; answers "" when both answered and logged the
// same, otherwise the difference.
template <typename Act>
std::string Both(const char *what, Act act) {
  std::string answer[2];
  std::vector<std::string> log[2];
  for (int side : {0, 1}) log[side] = Logged([&] { answer[side] = act(side); });
  if (answer[0] != answer[1]) return std::string(what) + ": library " + answer[0] + ", reference " + answer[1];
  log[0].resize(std::max(log[0].size(), log[1].size()), "(none)");
  log[1].resize(log[0].size(), "(none)");
  const auto [mine, ref] = std::mismatch(log[0].begin(), log[0].end(), log[1].begin());
  if (mine == log[0].end()) return "";
  return std::string(what) + " log line " + std::to_string(mine - log[0].begin()) + ": library \"" + *mine +
         "\", reference \"" + *ref + "\"";
}

std::string Text(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string Allocate(const Step &st) {
  const char *tag = kTags[st.pick % std::size(kTags)];
  unsigned char *p[2] = {};
  std::string diff = Both("allocation", [&](int side) {
    p[side] = static_cast<unsigned char *>(side == 0 ? MEM_malloc(st.align, st.size, tag)
                                                     : refheap::Malloc(st.align, st.size, tag));
    return Text(side == 0 ? p[0] : Twin(p[1]));
  });
  if (!diff.empty() || p[0] == nullptr) return diff;
  // Data that are not cleared may hold old headers, whose links differ.
  const size_t from = st.align < 0 || state->level > 0 ? 0 : static_cast<size_t>(st.size);
  if (std::memcmp(p[0] + from, p[1] + from, static_cast<size_t>(st.size) + 512 - from) != 0) {
    return "block contents differ";
  }
  ++state->fill;
  for (unsigned char *q : p) std::memset(q, state->fill, static_cast<size_t>(st.size));
  state->live.push_back({{p[0], p[1]}, st.size});
  return "";
}

std::string Release(std::vector<Block> &from, uint32_t pick) {
  if (from.empty()) return "";
  const Block b = from[pick % from.size()];
  int32_t asked = 0;
  std::string diff = Both("release", [&](int side) {
    asked = side == 0 ? MEM_free(b.side[0]) : refheap::Free(b.side[1]);
    return std::to_string(asked);
  });
  if (diff.empty() && asked > 0 && std::memcmp(b.side[0], b.side[1], static_cast<size_t>(asked)) != 0) {
    diff = "released contents differ";
  }
  // A block released again may have been given out anew meanwhile: then
  // this released its new owner's block.
  if (&from == &state->live || asked > 0) {
    std::erase_if(state->live, [&b](const Block &l) { return l.side[0] == b.side[0]; });
  }
  if (&from == &state->live) state->released.push_back(b);
  if (state->released.size() > 64) state->released.erase(state->released.begin());
  return diff;
}

std::string Act(const Step &st) {
  switch (st.op) {
    case Op::kAllocate:
      return Allocate(st);
    case Op::kRelease:
    case Op::kReleaseAgain:
      return Release(st.op == Op::kRelease ? state->live : state->released, st.pick);
    case Op::kDamage: {
      // A released block is damaged only while it is still a free block,
      // not the inside of another block's header.
      const std::vector<Block> &from = st.released ? state->released : state->live;
      if (from.empty()) return "";
      const Block &b = from[st.pick % from.size()];
      const uint32_t o = static_cast<uint32_t>(st.offset) % kDamageSpan;
      if (st.released && !refheap::IsFreeBlock(b.side[1])) return "";
      for (unsigned char *data : b.side) *(o < 4 ? data - 40 + o : o < 16 ? data - 16 + o : data + b.asked + o - 16) = st.value;
      return "";
    }
    case Op::kLevel:
      state->level = st.level;
      qmmem_setDbg(st.level);
      refheap::SetDbg(st.level);
      return "";
    case Op::kCheck:
      return Both("check", [](int side) { return std::to_string(side == 0 ? qmmem_check() : refheap::Check()); });
    case Op::kAddRegion:
      return Both("region", [&](int side) {
        int32_t size = st.size;
        void *region = Take(side, &size);
        side == 0 ? MEM_AddMemory(region, size) : refheap::AddMemory(region, size);
        return std::string();
      });
  }
  return "";
}

}  // namespace

Twins::Twins() {
  state = new State;
  state->capture = memfd_create("heap-twins", 0);
  state->step.refuse = true;
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  // The catalogue converts its texts on first use (a repeat notice needs
  // one) and allocates them from the heap: it does so now, while the heap
  // gets no memory, or its blocks would be in one heap only.
  Logged([] { QMERR_err2str(QM_INFO_MSGREPEAT); });
  uint64_t allocated = 1, free_bytes = 1;
  MEM_Stats(&allocated, &free_bytes);
  state->untouched = state->capture >= 0 && allocated == 0 && free_bytes == 0;
  state->step.refuse = false;
  refheap::SetUp(RefSource, Twin);
}

Twins::~Twins() {
  close(state->capture);
  delete state;
  state = nullptr;
}

// After every step the totals of both heaps (MEM_Stats logs nothing).
std::string Twins::Run(const Step &step) {
  if (!state->untouched) return "the heap was in use before the twins started";
  state->step = step;
  std::string diff = Act(step);
  if (diff.empty()) diff = state->sourceFault;
  uint64_t totals[2][2] = {};
  MEM_Stats(&totals[0][0], &totals[0][1]);
  refheap::Stats(&totals[1][0], &totals[1][1]);
  if (diff.empty() && (totals[0][0] != totals[1][0] || totals[0][1] != totals[1][1])) {
    diff = "stats: library " + std::to_string(totals[0][0]) + "/" + std::to_string(totals[0][1]) + ", reference " +
           std::to_string(totals[1][0]) + "/" + std::to_string(totals[1][1]);
  }
  return diff;
}

std::string Twins::Listings() {
  static constexpr const char *kSelectors[] = {"", "F", "", "A", "x"};
  const char *which = kSelectors[state->listings++ % std::size(kSelectors)];
  return Both("walk", [which](int side) {
    side == 0 ? MEM_Walk(which) : refheap::Walk(which);
    return std::string();
  });
}

std::string Twins::ReleaseAll() {
  std::string diff;
  while (diff.empty() && !state->live.empty()) diff = Run({.op = Op::kRelease});
  return diff;
}

size_t Twins::Live() const { return state->live.size(); }

void *Source(int32_t *size) {
  if (state != nullptr) return Take(0, size);
  return size == nullptr || *size < 0 ? nullptr : std::malloc(static_cast<size_t>(*size));
}

}  // namespace twins

// heap_twins.cpp - the differential test of the debug heap (heap_twins.h).
// Each step runs on the library's heap (side 0) and on the reference heap
// (side 1) in turn, each with the log going to a scratch file; a log line
// with a counter after each run ends any pending repeat count, so that both
// runs' repeat notices come out whole. Addresses in results and log lines
// become "@<region>+<offset>".
#include "heap_twins.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
  std::vector<Region> regions;                      // in the order the source made them
  std::vector<std::pair<uintptr_t, size_t>> byAddress[2];  // each side's region starts, sorted
  size_t taken[2] = {};  // regions handed to each side so far
  Step step;             // the step running: how a region asked for now is made
  std::string sourceFault;
  std::vector<Block> live, released;
  int capture = -1;
  unsigned marker = 0;
  unsigned char fill = 0;
  int32_t level = 0;
  bool untouched = false;
} *state = nullptr;

// Fresh zero pages for `size` bytes starting `place` bytes past a boundary;
// what the mapping has beyond them is given back, but for a page that keeps
// the next mapping from starting where this region ends.
unsigned char *Map(size_t size, uint32_t place) {
  const size_t page = 4096, span = kBoundary + place + size + page;
  auto *m = static_cast<unsigned char *>(
      mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
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
    for (int i : {0, 1}) {
      auto &index = s.byAddress[i];
      const std::pair<uintptr_t, size_t> entry{reinterpret_cast<uintptr_t>(s.regions.back().side[i]),
                                               s.regions.size() - 1};
      index.insert(std::upper_bound(index.begin(), index.end(), entry), entry);
    }
  }
  const Region &r = s.regions[s.taken[side]++];
  if (r.size != want) s.sourceFault = "the heaps asked for regions of different sizes";
  *size = static_cast<int32_t>(r.size);
  return r.side[side];
}

void *RefSource(int32_t *size) { return Take(1, size); }

std::string Relative(uintptr_t v, int side) {
  const auto &index = state->byAddress[side];
  auto it = std::upper_bound(index.begin(), index.end(), std::pair<uintptr_t, size_t>{v, SIZE_MAX});
  if (it != index.begin() && v - (--it)->first <= state->regions[it->second].size) {
    return "@" + std::to_string(it->second) + "+" + std::to_string(v - it->first);
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(v));
  return text;
}

// A log line without process ID and time stamp, its addresses made relative.
std::string Normal(const std::string &raw, int side) {
  std::string line = raw.substr(raw.find(' ') + 1), out;
  const size_t stamp = line.find(": ");
  if (stamp != std::string::npos && line.find_first_not_of("0123456789") == stamp) line.erase(0, stamp + 2);
  size_t from = 0;
  for (size_t at; (at = line.find("0x", from)) != std::string::npos;) {
    const size_t digits = at + 2;
    size_t end = digits;
    while (end < line.size() && std::isxdigit(static_cast<unsigned char>(line[end]))) ++end;
    if (end == digits || line.compare(digits, 2, "0x") == 0) {  // no number, or "0x" before "0x<number>"
      out.append(line, from, digits - from);
      from = digits;
      continue;
    }
    out.append(line, from, at - from);
    out += Relative(std::strtoul(line.c_str() + digits, nullptr, 16), side);
    from = end;
  }
  return out.append(line, from);
}

// Runs fn with the log going to the scratch file; answers the lines logged.
template <typename Fn>
std::vector<std::string> Logged(int side, Fn fn) {
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
    lines.push_back(Normal(text.substr(at, end - at), side));
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
  for (int side : {0, 1}) log[side] = Logged(side, [&] { answer[side] = act(side); });
  if (answer[0] != answer[1]) return std::string(what) + ": library " + answer[0] + ", reference " + answer[1];
  for (size_t i = 0; i < std::max(log[0].size(), log[1].size()); ++i) {
    const char *mine = i < log[0].size() ? log[0][i].c_str() : "(none)";
    const char *ref = i < log[1].size() ? log[1][i].c_str() : "(none)";
    if (std::strcmp(mine, ref) != 0) {
      return std::string(what) + " log line " + std::to_string(i) + ": library \"" + mine + "\", reference \"" +
             ref + "\"";
    }
  }
  return "";
}

std::string Pointer(const void *p, int side) { return Relative(reinterpret_cast<uintptr_t>(p), side); }

std::string Allocate(const Step &st) {
  const char *tag = kTags[st.pick % std::size(kTags)];
  unsigned char *p[2] = {};
  std::string diff = Both("allocation", [&](int side) {
    p[side] = static_cast<unsigned char *>(side == 0 ? MEM_malloc(st.align, st.size, tag)
                                                     : refheap::Malloc(st.align, st.size, tag));
    return Pointer(p[side], side);
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
    const int32_t rc = side == 0 ? MEM_free(b.side[0]) : refheap::Free(b.side[1]);
    asked = rc;
    return std::to_string(rc);
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

std::string Damage(const Step &st) {
  const std::vector<Block> &from = st.released ? state->released : state->live;
  if (from.empty()) return "";
  const Block &b = from[st.pick % from.size()];
  // A released block is damaged only while it is still a free block, not
  // the inside of another block's header.
  if (st.released && !refheap::IsFreeBlock(b.side[1])) return "";
  const uint32_t o = static_cast<uint32_t>(st.offset) % kDamageSpan;
  for (unsigned char *data : b.side) {
    *(o < 4 ? data - 40 + o : o < 16 ? data - 12 + (o - 4) : data + b.asked + (o - 16)) = st.value;
  }
  return "";
}

std::string AddRegion(const Step &st) {
  return Both("region", [&](int side) {
    int32_t size = st.size;
    void *region = Take(side, &size);
    side == 0 ? MEM_AddMemory(region, size) : refheap::AddMemory(region, size);
    return std::string();
  });
}

std::string Act(const Step &st) {
  switch (st.op) {
    case Op::kAllocate:
      return Allocate(st);
    case Op::kRelease:
      return Release(state->live, st.pick);
    case Op::kReleaseAgain:
      return Release(state->released, st.pick);
    case Op::kDamage:
      return Damage(st);
    case Op::kLevel:
      state->level = st.level;
      qmmem_setDbg(st.level);
      refheap::SetDbg(st.level);
      return "";
    case Op::kCheck:
      return Both("check", [](int side) { return std::to_string(side == 0 ? qmmem_check() : refheap::Check()); });
    case Op::kAddRegion:
      return AddRegion(st);
  }
  return "";
}

// The totals of both heaps (MEM_Stats logs nothing).
std::string CompareStats() {
  uint64_t totals[2][2] = {};
  MEM_Stats(&totals[0][0], &totals[0][1]);
  refheap::Stats(&totals[1][0], &totals[1][1]);
  if (totals[0][0] == totals[1][0] && totals[0][1] == totals[1][1]) return "";
  return "stats: library " + std::to_string(totals[0][0]) + "/" + std::to_string(totals[0][1]) + ", reference " +
         std::to_string(totals[1][0]) + "/" + std::to_string(totals[1][1]);
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
  Logged(0, [] { QMERR_err2str(QM_INFO_MSGREPEAT); });
  uint64_t allocated = 1, free_bytes = 1;
  MEM_Stats(&allocated, &free_bytes);
  state->untouched = state->capture >= 0 && allocated == 0 && free_bytes == 0;
  state->step.refuse = false;
  refheap::SetSource(RefSource);
}

Twins::~Twins() {
  close(state->capture);
  delete state;
  state = nullptr;
}

std::string Twins::Run(const Step &step) {
  if (!state->untouched) return "the heap was in use before the twins started";
  state->step = step;
  std::string diff = Act(step);
  if (diff.empty()) diff = state->sourceFault;
  return diff.empty() ? CompareStats() : diff;
}

std::string Twins::Listings() {
  return Both("walk", [](int side) {
    side == 0 ? MEM_Walk("") : refheap::Walk("");
    return std::string();
  });
}

std::string Twins::ReleaseAll() {
  while (!state->live.empty()) {
    const std::string diff = Run({.op = Op::kRelease});
    if (!diff.empty()) return diff;
  }
  return "";
}

size_t Twins::Live() const { return state->live.size(); }

void *Source(int32_t *size) {
  if (state != nullptr) return Take(0, size);
  return size == nullptr || *size < 0 ? nullptr : std::malloc(static_cast<size_t>(*size));
}

}  // namespace twins

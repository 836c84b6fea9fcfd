// Fuzz target for the debug heap: the input is a stream of steps that the
// differential test of tests/mem (heap_twins.h) takes on the library's heap
// and on the list-walking reference heap; after every step both must have
// answered, counted, logged and listed the same. At most 64 blocks are live;
// at the end of each input every block is released. The heaps live on from
// input to input, in step.
//
// Input layout: 4 bytes per step [op, a, b, c]:
//   op % 8 == 0..2  allocate: alignment from a, size b | c << 8 (times 16
//                   when a has bit 7), tag from c; a region grown meanwhile
//                   lies c * 4099 bytes past a boundary, with b * 64 extra
//                   bytes when a has bit 6, or is refused when c is 255
//   op % 8 == 3, 4  release live block a
//   op % 8 == 5     release block a again (one released before)
//   op % 8 == 6     damage a guard byte of live block a: offset b | c << 8,
//                   value c (a damaged key would outlive the input: the
//                   unit test damages keys)
//   op % 8 == 7     a % 8: 0-3 debug level b % 7 - 1, 4-6 check, 7 add a
//                   region of (b | c << 8) * 16 bytes
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "heap_twins.h"

// The library's region source, wrapped at link time (mem_fuzz.cmake): the
// heap gets the differential test's twin regions.
extern "C" void *__wrap_MEM_GetMemory_cb(int32_t *size) { return twins::Source(size); }

namespace {

constexpr size_t kMaxLive = 64;
constexpr int32_t kAligns[] = {0, 8, -8, 100, 512, -512, 1000, 1024, -4096, 8192, 65536, 1 << 20, 1536};

twins::Step Decode(uint8_t op, uint8_t a, uint8_t b, uint8_t c) {
  const int32_t wide = b | c << 8;
  twins::Step s{.op = twins::Op::kRelease, .pick = a};
  switch (op % 8) {
    case 0:
    case 1:
    case 2:
      return {.op = twins::Op::kAllocate, .align = kAligns[a % std::size(kAligns)],
              .size = wide * ((a & 0x80) != 0 ? 16 : 1), .pick = c, .place = c * 4099u,
              .extra = (a & 0x40) != 0 ? b * 64u : 0, .refuse = c == 255};
    case 5:
      s.op = twins::Op::kReleaseAgain;
      break;
    case 6:
      return {.op = twins::Op::kDamage, .offset = 4 + wide % 524, .pick = a, .value = c};
    case 7:
      if (a % 8 < 4) return {.op = twins::Op::kLevel, .level = b % 7 - 1};
      if (a % 8 < 7) return {.op = twins::Op::kCheck};
      return {.op = twins::Op::kAddRegion, .size = wide * 16, .place = c * 4099u};
    default:
      break;
  }
  return s;
}

void check(const std::string &diff) {
  if (diff.empty()) return;
  std::fprintf(stderr, "heap twins differ: %s\n", diff.c_str());
  std::abort();
}

// Starts the twin heaps of this process, each with a first region of 1 MiB.
bool Start() {
  check(twins::Start());
  check(twins::Run({.op = twins::Op::kAddRegion, .size = 1 << 20}));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool started = Start();
  (void)started;
  check(twins::Run({.op = twins::Op::kLevel}));
  for (size_t at = 0; at + 4 <= size; at += 4) {
    const twins::Step step = Decode(data[at], data[at + 1], data[at + 2], data[at + 3]);
    if (step.op != twins::Op::kAllocate || twins::Live() < kMaxLive) check(twins::Run(step));
  }
  check(twins::ReleaseAll());
  return 0;
}

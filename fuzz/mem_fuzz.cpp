// Fuzz target for the debug heap: the input is a stream of operations that
// allocate with varied alignments and sizes, write inside blocks, release
// them and check the heap. After every operation the heap must check clean
// (its check also proves that the blocks add up to the memory it was given),
// no block may overlap another, and at the end of each input, with every
// block released, nothing may be left allocated.
//
// Input layout: 4 bytes per operation [op, a, b, c]:
//   op % 5 == 0, 1  allocate: alignment from a, size b | c << 8 (times 4 when
//                   a has bit 7), tag from c; with a's bit 6 and b's bit 0 an
//                   out-of-range request that must be refused
//   op % 5 == 2     release block a
//   op % 5 == 3     refill block a with byte b
//   op % 5 == 4     debug level (b % 3) - 1, then check
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qmmem.h"

namespace {

struct Live {
  unsigned char *p;
  int32_t n;
  unsigned char fill;
};

constexpr int32_t kAligns[] = {0, 8, -8, 100, 512, -512, 1000, 1024, -4096, 8192, 65536};
constexpr const char *kTags[] = {"fuzz", "ab", "", "directory"};
constexpr size_t kMaxLive = 64;

void check(bool ok) {
  if (!ok) std::abort();
}

bool filled(const Live &l) {
  for (int32_t i = 0; i < l.n; ++i) {
    if (l.p[i] != l.fill) return false;
  }
  return true;
}

// The heap checks clean and holds at least the rounded bytes of every block.
void checkHeap(const std::vector<Live> &live) {
  check(qmmem_check() == 0);
  uint64_t allocated = 0, free_bytes = 0, needed = 0;
  check(MEM_Stats(&allocated, &free_bytes) == 0);
  for (const Live &l : live) needed += (static_cast<uint64_t>(l.n) + 512 + 7) / 8 * 8;
  check(allocated >= needed);
}

void allocate(std::vector<Live> &live, uint8_t a, uint8_t b, uint8_t c, int32_t dbg) {
  if ((a & 0x40) != 0 && (b & 1) != 0) {
    // Out of range: an alignment that rounds to 1536, a negative size, or
    // a rounded size plus alignment beyond 32 bits.
    const int32_t bad[][2] = {{1536, 10}, {8, -1 - c}, {INT32_MIN, INT32_MAX - c}};
    const int32_t *r = bad[c % 3];
    check(MEM_malloc(r[0], r[1], "bad") == nullptr);
    return;
  }
  if (live.size() >= kMaxLive) return;
  const int32_t align = kAligns[a % (sizeof kAligns / sizeof kAligns[0])];
  const int32_t n = (b | c << 8) * ((a & 0x80) != 0 ? 4 : 1);
  auto *p = static_cast<unsigned char *>(MEM_malloc(align, n, kTags[c % 4]));
  check(p != nullptr);
  const int32_t absAlign = align < 0 ? -align : align;
  const uint64_t boundary = absAlign == 0 ? 512 : (static_cast<uint64_t>(absAlign) + 511) / 512 * 512;
  check(reinterpret_cast<uintptr_t>(p) % boundary == 0);
  Live l{p, n, 0};
  if (align < 0 || dbg > 0) check(filled(l));
  l.fill = static_cast<unsigned char>(b ^ c);
  for (int32_t i = 0; i < n; ++i) p[i] = l.fill;
  live.push_back(l);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<Live> live;
  int32_t dbg = 1;
  qmmem_setDbg(dbg);
  for (size_t at = 0; at + 4 <= size; at += 4) {
    const uint8_t op = data[at], a = data[at + 1], b = data[at + 2], c = data[at + 3];
    switch (op % 5) {
      case 0:
      case 1:
        allocate(live, a, b, c, dbg);
        break;
      case 2:
        if (!live.empty()) {
          const size_t i = a % live.size();
          check(filled(live[i]));
          check(MEM_free(live[i].p) == live[i].n);
          live.erase(live.begin() + static_cast<long>(i));
        }
        break;
      case 3:
        if (!live.empty()) {
          Live &l = live[a % live.size()];
          check(filled(l));
          l.fill = b;
          for (int32_t i = 0; i < l.n; ++i) l.p[i] = b;
        }
        break;
      default:
        dbg = b % 3 - 1;
        qmmem_setDbg(dbg);
        break;
    }
    if (dbg == 0) qmmem_setDbg(1);
    checkHeap(live);
    if (dbg == 0) qmmem_setDbg(0);
  }
  for (const Live &l : live) {
    check(filled(l));
    check(MEM_free(l.p) == l.n);
  }
  qmmem_setDbg(1);
  checkHeap({});
  uint64_t allocated = 1;
  MEM_Stats(&allocated, nullptr);
  check(allocated == 0);
  return 0;
}

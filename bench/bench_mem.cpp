// bench_mem.cpp - the debug heap against the C library's allocator, both
// sides asking for the same 512-byte alignment:
//   heap_pair   one release and one allocation per iteration round a ring of
//               live blocks of one size;
//   heap_scale  the release of a live block picked at random and a 4 KiB
//               allocation in its place, with 16 to 65,536 blocks live, to
//               show how a pair's cost follows the number of live blocks.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "qmmem.h"

namespace {

constexpr size_t kAlign = 512;

void *OursAlloc(size_t n) { return MEM_malloc(static_cast<int32_t>(kAlign), static_cast<int32_t>(n), "bnch"); }
void OursRelease(void *p) { MEM_free(p); }
void *PeerAlloc(size_t n) { return std::aligned_alloc(kAlign, n); }
void PeerRelease(void *p) { std::free(p); }

// Keeps `live` blocks of `bytes`; each iteration releases the block that
// pick() names and allocates its successor in the same slot.
template <typename Alloc, typename Release, typename Pick>
void PairsOfCalls(benchmark::State &state, size_t live, size_t bytes, Alloc alloc, Release release,
                  Pick pick) {
  std::vector<void *> slots(live);
  for (void *&p : slots) p = alloc(bytes);
  bool failed = false;
  for (auto _ : state) {
    const size_t i = pick();
    release(slots[i]);
    slots[i] = alloc(bytes);
    failed |= slots[i] == nullptr;
    benchmark::DoNotOptimize(slots[i]);
  }
  for (void *p : slots) release(p);
  if (failed) state.SkipWithError("allocation failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Frees the oldest live block and allocates its successor, round the ring.
template <typename Alloc, typename Release>
void RingOfBlocks(benchmark::State &state, Alloc alloc, Release release) {
  const auto live = static_cast<size_t>(state.range(0));
  size_t next = live - 1;
  PairsOfCalls(state, live, static_cast<size_t>(state.range(1)), alloc, release,
               [&next, live] { return next = next + 1 == live ? 0 : next + 1; });
}

// Frees live blocks in an order fixed by the seed (the same for both sides),
// each one replaced by a 4 KiB block.
template <typename Alloc, typename Release>
void RandomBlocks(benchmark::State &state, Alloc alloc, Release release) {
  const auto live = static_cast<size_t>(state.range(0));
  std::mt19937 rng(20240611);
  std::vector<uint32_t> order(1 << 16);
  for (uint32_t &i : order) i = static_cast<uint32_t>(rng() % live);
  size_t k = 0;
  PairsOfCalls(state, live, 4096, alloc, release, [&] { return order[k++ & (order.size() - 1)]; });
}

void BM_Heap_Ours(benchmark::State &state) {
  qmmem_setDbg(0);
  RingOfBlocks(state, OursAlloc, OursRelease);
}
void BM_Heap_Peer(benchmark::State &state) { RingOfBlocks(state, PeerAlloc, PeerRelease); }
void BM_Scale_Ours(benchmark::State &state) {
  qmmem_setDbg(0);
  RandomBlocks(state, OursAlloc, OursRelease);
}
void BM_Scale_Peer(benchmark::State &state) { RandomBlocks(state, PeerAlloc, PeerRelease); }

void HeapArgs(benchmark::internal::Benchmark *b) {
  b->ArgNames({"live", "bytes"})->ArgsProduct({{1, 16, 64}, {4096, 65536, 1048576}});
}
void ScaleArgs(benchmark::internal::Benchmark *b) {
  b->ArgName("live")->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);
}
BENCHMARK(BM_Heap_Ours)->Name("ours:heap_pair")->Apply(HeapArgs);
BENCHMARK(BM_Heap_Peer)->Name("peer:heap_pair")->Apply(HeapArgs);
BENCHMARK(BM_Scale_Ours)->Name("ours:heap_scale")->Apply(ScaleArgs);
BENCHMARK(BM_Scale_Peer)->Name("peer:heap_scale")->Apply(ScaleArgs);

}  // namespace

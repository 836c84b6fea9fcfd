// bench_mem.cpp - the debug heap against the C library's allocator: one
// release and one allocation per iteration while a ring of live blocks of
// one size is kept, both sides asking for the same 512-byte alignment.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "qmmem.h"

namespace {

constexpr size_t kAlign = 512;

// Frees the oldest live block and allocates its successor, round the ring.
template <typename Alloc, typename Release>
void RingOfBlocks(benchmark::State &state, Alloc alloc, Release release) {
  const auto live = static_cast<size_t>(state.range(0));
  const auto bytes = static_cast<size_t>(state.range(1));
  std::vector<void *> ring(live);
  for (void *&p : ring) p = alloc(bytes);
  size_t next = 0;
  bool failed = false;
  for (auto _ : state) {
    release(ring[next]);
    ring[next] = alloc(bytes);
    failed |= ring[next] == nullptr;
    benchmark::DoNotOptimize(ring[next]);
    next = next + 1 == live ? 0 : next + 1;
  }
  for (void *p : ring) release(p);
  if (failed) state.SkipWithError("allocation failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Heap_Ours(benchmark::State &state) {
  qmmem_setDbg(0);
  RingOfBlocks(
      state,
      [](size_t n) { return MEM_malloc(static_cast<int32_t>(kAlign), static_cast<int32_t>(n), "bnch"); },
      [](void *p) { MEM_free(p); });
}

void BM_Heap_Peer(benchmark::State &state) {
  RingOfBlocks(
      state, [](size_t n) { return std::aligned_alloc(kAlign, n); }, [](void *p) { std::free(p); });
}

void HeapArgs(benchmark::internal::Benchmark *b) {
  b->ArgNames({"live", "bytes"})->ArgsProduct({{1, 16, 64}, {4096, 65536, 1048576}});
}
BENCHMARK(BM_Heap_Ours)->Name("ours:heap_pair")->Apply(HeapArgs);
BENCHMARK(BM_Heap_Peer)->Name("peer:heap_pair")->Apply(HeapArgs);

}  // namespace

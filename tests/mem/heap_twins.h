// heap_twins.h - the differential test of the debug heap, shared by the unit
// test and the fuzz target: the library's heap and the list-walking reference
// heap take the same steps on twin regions (same sizes,
// same offsets from a 16 MiB boundary) and must answer the same, list the same
// blocks, count the same totals and log the same lines, every address taken
// relative to its region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace twins {

enum class Op : uint8_t { kAllocate, kRelease, kReleaseAgain, kDamage, kLevel, kCheck, kAddRegion };

// One step for both heaps. kAllocate: `align`, `size`, tag number `pick`;
// a region that the heap grows by meanwhile is what it asks plus `extra`
// bytes, `place` bytes past a 16 MiB boundary, or none at all with `refuse`.
// kRelease, kReleaseAgain: the live (released) block number `pick`, modulo
// their count. kDamage: writes `value` into the key, the underrun guard or
// the overrun guard of live block `pick` (`offset` picks the byte), or of a
// released one whose header is still a free block's. kLevel: the debug level
// `level`. kAddRegion: `size` bytes at `place`.
struct Step {
  Op op;
  int32_t align = 0, size = 0, level = 0, offset = 0;
  uint32_t pick = 0, place = 0, extra = 0;
  unsigned char value = 0;
  bool refuse = false, released = false;
};

// Sets the twins up in a process whose heap is untouched: that heap is set up
// without memory, so that every region comes from the twin source. Answers ""
// or why the twins cannot run.
std::string Start();
// Takes a step on both heaps and lists them (MEM_Walk; the selector goes
// round "", "F", "", "A", "x" from step to step); answers "" when they
// answered, asked for regions, logged, listed and counted the same,
// otherwise the first difference.
std::string Run(const Step &step);
// Releases every live block on both heaps, as steps.
std::string ReleaseAll();
size_t Live();

// The library heap's region source (MEM_GetMemory_cb) for the test program:
// twin regions once Start() ran, otherwise what the library's own source does.
void *Source(int32_t *size);

}  // namespace twins

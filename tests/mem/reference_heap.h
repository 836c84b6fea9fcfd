// reference_heap.h - the debug heap as it was before it had an index: every
// search walks the list. The differential test runs it beside the library's
// heap on twin regions; both must choose the same blocks and log the same
// lines. One instance per process; it takes no lock.
#pragma once

#include <cstdint>

namespace refheap {

// Where the reference heap gets a region when it grows (as MEM_GetMemory_cb),
// and how it writes an address of its regions in a log line: as the address
// of the same place in the library heap's twin region.
using Source = void *(*)(int32_t *size);
using Twin = const void *(*)(const void *address);

void SetUp(Source source, Twin twin);
void SetDbg(int32_t level);
void AddMemory(void *region, int32_t size);
void *Malloc(int32_t alignment, int32_t nbytes, const char *tag);
int32_t Free(void *p);
void Walk(const char *which);
int32_t Check();
void Stats(uint64_t *allocated, uint64_t *free_bytes);
// True when the data at p belong to a free block of the list.
bool IsFreeBlock(const void *p);

}  // namespace refheap

// mem_internal.h - what the debug heap's files share and nothing else sees:
// the index beside the block list (mem/qmmem_index.cpp), so that a release
// and an allocation cost O(log n) in the number of blocks instead of a walk
// of the whole list.
//
// The index keeps one record per block of the list, found by the block's
// header address, with the block's neighbours in list order and the ordinal
// of its region (regions are numbered in the order they join the list). Free
// blocks also sit in a tree ordered by (bytes, region ordinal, header
// address): bytes first, then list order, which is exactly the order in
// which the fit search prefers them (while few blocks are free, in a short
// array instead). The index also knows every region's
// bounds, to tell memory that the heap owns from memory that it does not.
//
// The index keeps nothing in the heap's memory (neither in headers nor in
// the data of free blocks): its tables come from the system allocator, are
// grown ahead of a change by Reserve() and are never given back, like the
// regions. All functions run under the heap's lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtk::mem {

// A block's record number; kNoBlock stands for none.
constexpr uint32_t kNoBlock = 0;

// Makes room for `blocks` more records and `regions` more regions, so that
// the calls that add them cannot fail. False when the system allocator has
// no memory for it: then nothing has changed.
bool Reserve(uint32_t blocks, uint32_t regions);

// The record of the block whose header is at `header`, or kNoBlock.
uint32_t Find(const void *header);
// True when the `size` bytes at `p` lie inside one region of the heap.
bool Owns(const void *p, size_t size);

// Registers a region and the block `header` that starts it as the new last
// block of the list; answers its record, or kNoBlock (nothing registered)
// when the region overlaps one that the heap has already.
uint32_t AppendRegion(const void *region, size_t size, void *header);
// Forgets block `id` (merged into a neighbour), taking it out of the list.
void Remove(uint32_t id);

void *HeaderOf(uint32_t id);
// The last block of the list, or kNoBlock while the list is empty.
uint32_t Last();
uint32_t Previous(uint32_t id);
// The block before (or after) block `id` when it is free and in the same
// region, or kNoBlock.
uint32_t FreeNeighbour(uint32_t id, bool after);

// Puts block `id`, its header now at `header`, among the free blocks with
// `nbytes` data bytes at `data`, or updates its place there when it is one
// already (without a search when no other block's place lies between).
void SetFree(uint32_t id, void *header, uint32_t nbytes, uintptr_t data);
// Takes block `id` out of the free blocks (it is allocated, or unusable).
void SetUsed(uint32_t id);
// The data bytes under which a free block was put among the free blocks.
uint32_t FreeBytes(uint32_t id);
// Free block `id` is allocated now, its header at `header`.
void Take(uint32_t id, void *header);
// Free block `id` is allocated now, its header at `used`, and followed by
// the free block `rest` of `restBytes` data bytes at `restData`.
void Split(uint32_t id, void *used, void *rest, uint32_t restBytes, uintptr_t restData);

// The free block that comes first in list order among those with exactly
// `nbytes` bytes whose data start on a multiple of `alignment` (a power of
// two), or kNoBlock.
uint32_t FirstExactFit(uint32_t nbytes, uint64_t alignment);
// The free block with the fewest bytes that has at least `nbytes`, the
// first in list order among equals, or kNoBlock.
uint32_t SmallestAtLeast(uint64_t nbytes);

}  // namespace rtk::mem

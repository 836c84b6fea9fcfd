// qmmem_index.cpp - the debug heap's index beside its block list (see
// mem_internal.h), but for the free blocks (qmmem_free.cpp). Divisions: the
// tables and their growth; the address table; the records' list links; the
// regions.
//
// The address table holds the allocated blocks only, found by header
// address: a release looks its pointer up there. A pointer to a free block
// is not in it and is answered from the block's header (RefuseRelease in
// qmmem_blocks.cpp), as a walk of the list would answer it.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "mem/mem_internal.h"

namespace rtk::mem {
namespace {

constexpr uint64_t kMostRecords = UINT32_MAX;

// ---- the tables and their growth -------------------------------------------

// Every table of the index grows here, called from Reserve() only; nothing
// of it is ever given back (like the heap's regions, it serves to the end of
// the process).
void *growTable(void *table, size_t bytes) { return std::realloc(table, bytes); }

// Makes room for `blocks` more records. The pool of size nodes grows with
// it, so that the free blocks (never more than the records) always find a
// node, even in a release, which asks for no memory.
bool reserveRecords(uint32_t blocks) {
  if (heap.unusedCount >= blocks) return true;
  uint64_t capacity = std::max<uint64_t>(64, heap.capacity);
  while (capacity - heap.capacity + heap.unusedCount < blocks) capacity *= 2;
  if (capacity > kMostRecords || !ReserveSizes(static_cast<uint32_t>(capacity))) return false;
  auto *grown = static_cast<Record *>(growTable(heap.records, capacity * sizeof(Record)));
  if (grown == nullptr) return false;
  heap.records = grown;
  if (heap.capacity == 0) At(0) = Record{};
  for (auto id = static_cast<uint32_t>(capacity); id-- > std::max(heap.capacity, 1u);) {
    At(id).header = 0;
    At(id).next = heap.unused;
    heap.unused = id;
    ++heap.unusedCount;
  }
  heap.capacity = static_cast<uint32_t>(capacity);
  return true;
}

// ---- the address table ------------------------------------------------------
// Open addressing with linear probing, at most half full; a header address
// is hashed by a multiplication, whose top bits mix all of its bits. A
// block enters when it is first allocated under a header and stays while
// it is released and allocated again there; it leaves when its header moves
// or a merge takes it in.

size_t slotMask() { return (size_t{1} << heap.slotBits) - 1; }

size_t slotFor(uintptr_t header) {
  return static_cast<size_t>((static_cast<uint64_t>(header) >> 3) * 0x9e3779b97f4a7c15ull >> (64 - heap.slotBits));
}

void putSlot(uintptr_t header, uint32_t id) {
  size_t i = slotFor(header);
  while (heap.slots[i].header != 0) i = (i + 1) & slotMask();
  heap.slots[i] = {header, id};
  ++heap.slotsUsed;
}

// Takes block id out of the address table, moving later entries of its
// probe run back so that every entry stays reachable from its home slot.
void dropSlot(uint32_t id) {
  size_t hole = slotFor(At(id).header);
  while (heap.slots[hole].id != id || heap.slots[hole].header == 0) hole = (hole + 1) & slotMask();
  for (size_t j = (hole + 1) & slotMask(); heap.slots[j].header != 0; j = (j + 1) & slotMask()) {
    const size_t home = slotFor(heap.slots[j].header);
    // The entry at j may fill the hole unless its home lies in (hole, j].
    if (((j - home) & slotMask()) >= ((j - hole) & slotMask())) {
      heap.slots[hole] = heap.slots[j];
      hole = j;
    }
  }
  heap.slots[hole].header = 0;
  --heap.slotsUsed;
  At(id).inTable = false;
}

// Keeps the address table at most half full with `blocks` more allocated
// blocks, rebuilding it larger when it would not be.
bool reserveSlots(uint32_t blocks) {
  const uint64_t wanted = 2 * (static_cast<uint64_t>(heap.slotsUsed) + blocks);
  if (heap.slots != nullptr && wanted <= (uint64_t{1} << heap.slotBits)) return true;
  unsigned bits = std::max(7u, heap.slotBits);
  while ((uint64_t{1} << bits) < wanted) ++bits;
  auto *slots = static_cast<Slot *>(growTable(nullptr, sizeof(Slot) << bits));
  if (slots == nullptr) return false;
  std::memset(slots, 0, sizeof(Slot) << bits);
  Slot *const old = heap.slots;
  const size_t oldCount = old == nullptr ? 0 : size_t{1} << heap.slotBits;
  heap.slots = slots;
  heap.slotBits = bits;
  heap.slotsUsed = 0;
  for (size_t i = 0; i < oldCount; ++i) {
    if (old[i].header != 0) putSlot(old[i].header, old[i].id);
  }
  std::free(old);
  return true;
}

bool reserveRegions(uint32_t regions) {
  if (heap.regionCapacity - heap.regionCount >= regions) return true;
  const uint64_t capacity = std::max<uint64_t>(16, 2 * (static_cast<uint64_t>(heap.regionCount) + regions));
  if (capacity > kMostRecords) return false;
  auto *grown = static_cast<Region *>(growTable(heap.regions, capacity * sizeof(Region)));
  if (grown == nullptr) return false;
  heap.regions = grown;
  heap.regionCapacity = static_cast<uint32_t>(capacity);
  return true;
}

// ---- the records' list links -------------------------------------------------

// Takes an unused record (Reserve() made sure there is one) for the block
// `header` of region `region`, linked between blocks prev and next.
uint32_t takeRecord(void *header, uint32_t region, uint32_t prev, uint32_t next) {
  const uint32_t id = heap.unused;
  heap.unused = At(id).next;
  --heap.unusedCount;
  Record &r = At(id);
  r = Record{};
  r.header = AddressOf(header);
  r.region = region;
  r.prev = prev;
  r.next = next;
  At(prev).next = id;
  At(next).prev = id;
  if (next == kNoBlock) heap.last = id;
  return id;
}

}  // namespace

bool ReserveMore(uint32_t blocks, uint32_t regions) {
  return reserveRecords(blocks) && reserveSlots(blocks) && reserveRegions(regions);
}

uint32_t Find(const void *header) {
  if (heap.slots == nullptr) return kNoBlock;
  const uintptr_t address = AddressOf(header);
  for (size_t i = slotFor(address); heap.slots[i].header != 0; i = (i + 1) & slotMask()) {
    if (heap.slots[i].header == address) return heap.slots[i].id;
  }
  return kNoBlock;
}

void Allocated(uint32_t id, void *header) {
  SetUsed(id);
  Record &r = At(id);
  if (r.inTable && r.header == AddressOf(header)) return;
  if (r.inTable) dropSlot(id);
  r.header = AddressOf(header);
  r.inTable = true;
  putSlot(r.header, id);
}

uint32_t AddAfter(uint32_t id, void *rest) { return takeRecord(rest, At(id).region, id, At(id).next); }

void Remove(uint32_t id) {
  SetUsed(id);
  if (At(id).inTable) dropSlot(id);
  const uint32_t prev = At(id).prev, next = At(id).next;
  At(prev).next = next;
  At(next).prev = prev;
  if (next == kNoBlock) heap.last = prev;
  At(id).header = 0;
  At(id).next = heap.unused;
  heap.unused = id;
  ++heap.unusedCount;
}

// ---- the regions --------------------------------------------------------------

bool Owns(const void *p, size_t size) {
  const uintptr_t address = AddressOf(p);
  const Region *begin = heap.regions, *end = heap.regions + heap.regionCount;
  const Region *r = std::upper_bound(begin, end, address, [](uintptr_t a, const Region &g) { return a < g.start; });
  if (r == begin) return false;
  --r;
  return r->end - address >= size && address < r->end;
}

// (The table of regions is kept sorted by moving its tail: O(regions), next
// to the system allocation that brought the region.)
uint32_t AppendRegion(const void *region, size_t size, void *header) {
  const uintptr_t start = AddressOf(region);
  const Region added{start, start + size};
  Region *end = heap.regions + heap.regionCount;
  Region *place =
      std::upper_bound(heap.regions, end, start, [](uintptr_t a, const Region &g) { return a < g.start; });
  if ((place != heap.regions && place[-1].end > start) || (place != end && place->start < added.end)) {
    return kNoBlock;
  }
  std::memmove(place + 1, place, static_cast<size_t>(end - place) * sizeof(Region));
  *place = added;
  return takeRecord(header, heap.regionCount++, heap.last, kNoBlock);
}

}  // namespace rtk::mem

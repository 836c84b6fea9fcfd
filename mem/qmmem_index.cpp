// qmmem_index.cpp - the debug heap's index beside its block list (see
// mem_internal.h). Divisions: the tables and their growth; the address table
// (header address to record); the tree of free blocks and the short array
// that holds them while they are few, with the fit queries; the list links
// and the region bounds.
//
// The tree is a treap (a binary search tree whose records also form a heap by
// random priority, which keeps its depth logarithmic on average). Each record
// also carries the largest alignment, as a count of trailing zero bits of the
// data address, found in its subtree, so that the first exactly fitting block
// on a given alignment is found without visiting blocks that cannot match.
// While few blocks are free they are not in a tree but in a short array,
// which a fit query looks at whole: that costs less than keeping a tree. The
// tree is built when more than kTreeFrom blocks are free and dropped when
// fewer than kTreeUntil are, so that a heap near the bound does not build it
// again and again.
#include "mem/mem_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace rtk::mem {
namespace {

// One block of the list. A free block's key is (order, header), order
// being nbytes << 32 | region; while the tree is up its record is a node of
// the tree, otherwise `parent` is its place in the array of few.
// Unused records have header 0 and are chained through `next`. Record 0 is
// no block: it stands for "none" in every link, and its subtreeAlignBits
// stay 0.
struct Record {
  uint64_t order;
  uintptr_t header;
  uint32_t prev, next;             // neighbours in list order
  uint32_t parent, child[2];       // free tree: child[0] before, child[1] after
  uint32_t priority;               // free tree: a parent's is never below its children's
  uint8_t alignBits;               // trailing zero bits of the data address
  uint8_t subtreeAlignBits;        // the largest alignBits of the subtree
  bool isFree;
};

// A region's bounds: [start, end).
struct Region {
  uintptr_t start, end;
};

constexpr uint32_t kTreeFrom = 48, kTreeUntil = 24;

// ---- process-wide state ----------------------------------------------------
// All of it is guarded by the heap's lock.
struct {
  Record *records = nullptr;
  uint32_t capacity = 0;           // records allocated, record 0 included
  uint32_t unused = kNoBlock;      // first unused record
  uint32_t unusedCount = 0;
  uint32_t live = 0;               // records in use: the blocks of the list
  uint32_t last = kNoBlock;        // the last block of the list
  uint32_t freeCount = 0;          // free blocks
  bool treeIsUp = false;           // they are in the tree, not in `few`
  uint32_t root = kNoBlock;        // the free tree
  uint32_t few[kTreeFrom] = {};    // the free blocks while the tree is down, unordered
  uint32_t randomState = 0x9e3779b9u;
  uint32_t *slots = nullptr;       // address table: record numbers (0 empty), open addressing
  unsigned slotBits = 0;           // the table has 2^slotBits slots
  Region *regions = nullptr;       // sorted by start
  uint32_t regionCount = 0, regionCapacity = 0;
  uint32_t freeSizes[4096] = {};   // free blocks by a hash of their bytes: most requests
                                   // have no exact fit, and this says so without a search
} heapIndex;
// ---------------------------------------------------------------------------

constexpr uint64_t kMostRecords = UINT32_MAX;

Record &at(uint32_t id) { return heapIndex.records[id]; }

uint32_t &freeSizeCount(uint32_t nbytes) { return heapIndex.freeSizes[(nbytes * 0x9e3779b1u) >> 20]; }

// ---- the tables and their growth -------------------------------------------

// Every table of the index grows here, called from Reserve() only; nothing
// of it is ever given back (like the heap's regions, it serves to the end of
// the process).
void *growTable(void *table, size_t bytes) { return std::realloc(table, bytes); }

bool reserveRecords(uint32_t blocks) {
  if (heapIndex.unusedCount >= blocks) return true;
  uint64_t capacity = std::max<uint64_t>(64, heapIndex.capacity);
  while (capacity - heapIndex.capacity + heapIndex.unusedCount < blocks) capacity *= 2;
  if (capacity > kMostRecords) return false;
  auto *grown = static_cast<Record *>(growTable(heapIndex.records, capacity * sizeof(Record)));
  if (grown == nullptr) return false;
  heapIndex.records = grown;
  if (heapIndex.capacity == 0) at(0) = Record{};
  for (auto id = static_cast<uint32_t>(capacity); id-- > std::max(heapIndex.capacity, 1u);) {
    at(id).header = 0;
    at(id).next = heapIndex.unused;
    heapIndex.unused = id;
    ++heapIndex.unusedCount;
  }
  heapIndex.capacity = static_cast<uint32_t>(capacity);
  return true;
}

size_t slotFor(uintptr_t header) {
  uint64_t h = static_cast<uint64_t>(header) >> 3;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return static_cast<size_t>(h >> (64 - heapIndex.slotBits));
}

size_t slotMask() { return (size_t{1} << heapIndex.slotBits) - 1; }

void putSlot(uint32_t id) {
  size_t i = slotFor(at(id).header);
  while (heapIndex.slots[i] != kNoBlock) i = (i + 1) & slotMask();
  heapIndex.slots[i] = id;
}

// Keeps the address table at most half full, rebuilding it twice as large.
bool reserveSlots(uint32_t blocks) {
  const uint64_t wanted = 2 * (static_cast<uint64_t>(heapIndex.live) + blocks);
  if (heapIndex.slots != nullptr && wanted <= (uint64_t{1} << heapIndex.slotBits)) return true;
  unsigned bits = std::max(7u, heapIndex.slotBits);
  while ((uint64_t{1} << bits) < wanted) ++bits;
  auto *slots = static_cast<uint32_t *>(growTable(nullptr, sizeof(uint32_t) << bits));
  if (slots == nullptr) return false;
  std::memset(slots, 0, sizeof(uint32_t) << bits);
  std::free(heapIndex.slots);
  heapIndex.slots = slots;
  heapIndex.slotBits = bits;
  for (uint32_t id = 1; id < heapIndex.capacity; ++id) {
    if (at(id).header != 0) putSlot(id);
  }
  return true;
}

bool reserveRegions(uint32_t regions) {
  if (heapIndex.regionCapacity - heapIndex.regionCount >= regions) return true;
  const uint64_t capacity = std::max<uint64_t>(16, 2 * (static_cast<uint64_t>(heapIndex.regionCount) + regions));
  if (capacity > kMostRecords) return false;
  auto *grown = static_cast<Region *>(growTable(heapIndex.regions, capacity * sizeof(Region)));
  if (grown == nullptr) return false;
  heapIndex.regions = grown;
  heapIndex.regionCapacity = static_cast<uint32_t>(capacity);
  return true;
}

// Takes an unused record (Reserve() made sure there is one) for a block.
uint32_t takeRecord(void *header, uint32_t region) {
  const uint32_t id = heapIndex.unused;
  heapIndex.unused = at(id).next;
  --heapIndex.unusedCount;
  ++heapIndex.live;
  at(id) = Record{};
  at(id).order = region;
  at(id).header = reinterpret_cast<uintptr_t>(header);
  putSlot(id);
  return id;
}

// ---- the address table ---------------------------------------------------------

// Takes a record out of the address table, moving later entries of its probe
// run back so that every entry stays reachable from its home slot.
void dropSlot(uint32_t id) {
  size_t hole = slotFor(at(id).header);
  while (heapIndex.slots[hole] != id) hole = (hole + 1) & slotMask();
  for (size_t j = (hole + 1) & slotMask(); heapIndex.slots[j] != kNoBlock; j = (j + 1) & slotMask()) {
    const size_t home = slotFor(at(heapIndex.slots[j]).header);
    // The entry at j may fill the hole unless its home lies in (hole, j].
    if (((j - home) & slotMask()) >= ((j - hole) & slotMask())) {
      heapIndex.slots[hole] = heapIndex.slots[j];
      hole = j;
    }
  }
  heapIndex.slots[hole] = kNoBlock;
}

// ---- the free tree --------------------------------------------------------------

uint32_t bytesOf(const Record &r) { return static_cast<uint32_t>(r.order >> 32); }

// Tree order: bytes, then list order (region ordinal, then address).
bool before(uint64_t order, uintptr_t header, const Record &b) {
  return order < b.order || (order == b.order && header < b.header);
}
bool before(const Record &a, const Record &b) { return before(a.order, a.header, b); }

void pull(uint32_t t) {
  Record &r = at(t);
  r.subtreeAlignBits = std::max({r.alignBits, at(r.child[0]).subtreeAlignBits, at(r.child[1]).subtreeAlignBits});
}

// The link that leads to x: its parent's child link, or the root.
uint32_t &linkTo(uint32_t x) {
  const uint32_t p = at(x).parent;
  return p == kNoBlock ? heapIndex.root : at(p).child[at(p).child[1] == x];
}

// Turns the tree at x's parent p so that x takes p's place and p becomes
// x's child, keeping the order.
void rotateUp(uint32_t x) {
  const uint32_t p = at(x).parent;
  const bool side = at(p).child[1] == x;  // x's side below p; p goes to the other side of x
  linkTo(p) = x;
  at(x).parent = at(p).parent;
  at(p).child[side] = at(x).child[!side];
  at(at(p).child[side]).parent = p;
  at(x).child[!side] = p;
  at(p).parent = x;
  pull(p);
  pull(x);
}

// Hangs x in as a leaf in its place, then turns it up while its priority
// is above its parent's. (The way down indexes the child links by the
// comparison, so that it does not stall on mispredicted branches.)
void insert(uint32_t x) {
  uint32_t parent = kNoBlock, *link = &heapIndex.root;
  while (*link != kNoBlock) {
    parent = *link;
    link = &at(parent).child[!before(at(x), at(parent))];
  }
  at(x).parent = parent;
  *link = x;
  for (uint32_t u = parent; u != kNoBlock && at(u).subtreeAlignBits < at(x).alignBits; u = at(u).parent) {
    at(u).subtreeAlignBits = at(x).alignBits;
  }
  while (at(x).parent != kNoBlock && at(at(x).parent).priority < at(x).priority) rotateUp(x);
}

// Turns x down until it has one child at most, then lets that child take
// its place; the largest alignments above are brought up to date.
void erase(uint32_t x) {
  while (at(x).child[0] != kNoBlock && at(x).child[1] != kNoBlock) {
    rotateUp(at(at(x).child[0]).priority > at(at(x).child[1]).priority ? at(x).child[0] : at(x).child[1]);
  }
  const uint32_t parent = at(x).parent, only = at(x).child[at(x).child[0] == kNoBlock];
  linkTo(x) = only;
  at(only).parent = parent;
  for (uint32_t u = parent; u != kNoBlock; u = at(u).parent) {
    const uint8_t old = at(u).subtreeAlignBits;
    pull(u);
    if (at(u).subtreeAlignBits == old) break;
  }
}

// The record just before x in tree order (with `after`, just after it), or
// kNoBlock.
uint32_t neighbour(uint32_t x, bool after) {
  uint32_t down = at(x).child[after];
  if (down != kNoBlock) {
    while (at(down).child[!after] != kNoBlock) down = at(down).child[!after];
    return down;
  }
  uint32_t up = at(x).parent;
  while (up != kNoBlock && at(up).child[after] == x) {
    x = up;
    up = at(up).parent;
  }
  return up;
}

// The first record of subtree t with exactly nbytes and at least `bits`
// alignment bits; subtrees without such alignment are passed over whole.
uint32_t firstExact(uint32_t t, uint32_t nbytes, unsigned bits) {
  while (t != kNoBlock && at(t).subtreeAlignBits >= bits) {
    const Record &r = at(t);
    if (bytesOf(r) > nbytes) {
      t = r.child[0];
    } else if (bytesOf(r) < nbytes) {
      t = r.child[1];
    } else {
      const uint32_t found = firstExact(r.child[0], nbytes, bits);
      if (found != kNoBlock) return found;
      if (r.alignBits >= bits) return t;
      t = r.child[1];
    }
  }
  return kNoBlock;
}

uint32_t nextPriority() {
  uint32_t x = heapIndex.randomState;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return heapIndex.randomState = x;
}

// Enters a record that is not in the tree, under its key.
void enter(uint32_t x) {
  Record &r = at(x);
  r.subtreeAlignBits = r.alignBits;
  r.child[0] = r.child[1] = kNoBlock;
  r.priority = nextPriority();
  insert(x);
}

void putFew(uint32_t id) {
  at(id).parent = heapIndex.freeCount;
  heapIndex.few[heapIndex.freeCount] = id;
}

// Moves the records of subtree t into the array of few.
void gather(uint32_t t) {
  if (t == kNoBlock) return;
  gather(at(t).child[0]);
  gather(at(t).child[1]);
  putFew(t);
  ++heapIndex.freeCount;
}

// Adds a free block, under its key, to the array or the tree; past
// kTreeFrom free blocks the array's become the tree.
void addFree(uint32_t id) {
  if (heapIndex.treeIsUp) {
    enter(id);
  } else if (heapIndex.freeCount < kTreeFrom) {
    putFew(id);
  } else {
    heapIndex.treeIsUp = true;
    for (uint32_t i = 0; i < kTreeFrom; ++i) enter(heapIndex.few[i]);
    enter(id);
  }
  ++heapIndex.freeCount;
}

// Takes a free block out of the array or the tree; below kTreeUntil free
// blocks the tree's go back into the array.
void dropFree(uint32_t id) {
  --heapIndex.freeCount;
  if (!heapIndex.treeIsUp) {
    const uint32_t moved = heapIndex.few[heapIndex.freeCount];
    heapIndex.few[at(id).parent] = moved;
    at(moved).parent = at(id).parent;
    return;
  }
  erase(id);
  if (heapIndex.freeCount >= kTreeUntil) return;
  heapIndex.treeIsUp = false;
  heapIndex.freeCount = 0;
  gather(heapIndex.root);
  heapIndex.root = kNoBlock;
}

// The free block with the smallest key among those in the array that meet
// `fits`, or kNoBlock.
template <typename Fits>
uint32_t smallestOfFew(Fits fits) {
  uint32_t found = kNoBlock;
  for (uint32_t i = 0; i < heapIndex.freeCount; ++i) {
    const uint32_t id = heapIndex.few[i];
    if (fits(at(id)) && (found == kNoBlock || before(at(id), at(found)))) found = id;
  }
  return found;
}

// Gives free record x a new key. Where no other record's key lies between
// the old and the new one (a smaller key stays above the record before x,
// a larger one below the record after it), x keeps its place and only the
// largest alignments above it are brought up to date; otherwise it is taken
// out and entered again.
void rekey(uint32_t x, uint64_t order, uintptr_t header, uint8_t alignBits) {
  const bool grows = !before(order, header, at(x));
  const uint32_t n = neighbour(x, grows);
  const bool inPlace = n == kNoBlock || (grows ? before(order, header, at(n)) : !before(order, header, at(n)));
  if (!inPlace) erase(x);
  Record &r = at(x);
  r.order = order;
  r.header = header;
  r.alignBits = alignBits;
  if (!inPlace) {
    enter(x);
    return;
  }
  for (uint32_t u = x; u != kNoBlock; u = at(u).parent) {
    const uint8_t old = at(u).subtreeAlignBits;
    pull(u);
    if (at(u).subtreeAlignBits == old) break;
  }
}

// Registers the block `header` in id's region, between blocks prev and next
// (one of them id).
uint32_t link(uint32_t id, uint32_t prev, uint32_t next, void *header) {
  const uint32_t added = takeRecord(header, static_cast<uint32_t>(at(id).order));
  at(added).prev = prev;
  at(added).next = next;
  at(prev).next = added;
  at(next).prev = added;
  if (next == kNoBlock) heapIndex.last = added;
  return added;
}

// Notes that block id's header now lies at `header` (it is not free).
void move(uint32_t id, void *header) {
  if (at(id).header == reinterpret_cast<uintptr_t>(header)) return;
  dropSlot(id);
  at(id).header = reinterpret_cast<uintptr_t>(header);
  putSlot(id);
}

}  // namespace

bool Reserve(uint32_t blocks, uint32_t regions) {
  return reserveRecords(blocks) && reserveSlots(blocks) && reserveRegions(regions);
}

uint32_t Find(const void *header) {
  if (heapIndex.slots == nullptr) return kNoBlock;
  const auto address = reinterpret_cast<uintptr_t>(header);
  for (size_t i = slotFor(address); heapIndex.slots[i] != kNoBlock; i = (i + 1) & slotMask()) {
    if (at(heapIndex.slots[i]).header == address) return heapIndex.slots[i];
  }
  return kNoBlock;
}

bool Owns(const void *p, size_t size) {
  const auto address = reinterpret_cast<uintptr_t>(p);
  const Region *begin = heapIndex.regions, *end = heapIndex.regions + heapIndex.regionCount;
  const Region *r = std::upper_bound(begin, end, address,
                                     [](uintptr_t a, const Region &g) { return a < g.start; });
  if (r == begin) return false;
  --r;
  return r->end - address >= size && address < r->end;
}

// (The table of regions is kept sorted by moving its tail: O(regions), next
// to the system allocation that brought the region.)
uint32_t AppendRegion(const void *region, size_t size, void *header) {
  const auto start = reinterpret_cast<uintptr_t>(region);
  const Region added{start, start + size};
  Region *end = heapIndex.regions + heapIndex.regionCount;
  Region *place = std::upper_bound(heapIndex.regions, end, start,
                                   [](uintptr_t a, const Region &g) { return a < g.start; });
  if ((place != heapIndex.regions && place[-1].end > start) || (place != end && place->start < added.end)) {
    return kNoBlock;
  }
  std::memmove(place + 1, place, static_cast<size_t>(end - place) * sizeof(Region));
  *place = added;
  const uint32_t id = takeRecord(header, heapIndex.regionCount++);
  at(id).prev = heapIndex.last;
  at(heapIndex.last).next = id;
  heapIndex.last = id;
  return id;
}

void Take(uint32_t id, void *header) {
  SetUsed(id);
  move(id, header);
}

void Split(uint32_t id, void *used, void *rest, uint32_t restBytes, uintptr_t restData) {
  if (heapIndex.treeIsUp) {
    // The rest takes over the chosen block's record, and so mostly its place
    // in the tree; the allocated part gets a record of its own.
    SetFree(id, rest, restBytes, restData);
    link(id, at(id).prev, id, used);
  } else {
    Take(id, used);
    SetFree(link(id, id, at(id).next, rest), rest, restBytes, restData);
  }
}

void Remove(uint32_t id) {
  SetUsed(id);
  const uint32_t prev = at(id).prev, next = at(id).next;
  at(prev).next = next;
  at(next).prev = prev;
  if (next == kNoBlock) heapIndex.last = prev;
  dropSlot(id);
  at(id).header = 0;
  at(id).next = heapIndex.unused;
  heapIndex.unused = id;
  ++heapIndex.unusedCount;
  --heapIndex.live;
}

void *HeaderOf(uint32_t id) { return reinterpret_cast<void *>(at(id).header); }
uint32_t Last() { return heapIndex.last; }
uint32_t Previous(uint32_t id) { return at(id).prev; }

uint32_t FreeNeighbour(uint32_t id, bool after) {
  const uint32_t n = after ? at(id).next : at(id).prev;
  const bool sameRegion = static_cast<uint32_t>(at(n).order) == static_cast<uint32_t>(at(id).order);
  return n != kNoBlock && at(n).isFree && sameRegion ? n : kNoBlock;
}

void SetFree(uint32_t id, void *header, uint32_t nbytes, uintptr_t data) {
  const auto address = reinterpret_cast<uintptr_t>(header);
  const uint64_t order = (uint64_t{nbytes} << 32) | static_cast<uint32_t>(at(id).order);
  const auto alignBits = static_cast<uint8_t>(data == 0 ? 63 : __builtin_ctzll(data));
  const bool moves = at(id).header != address;
  if (moves) dropSlot(id);
  if (at(id).isFree) --freeSizeCount(bytesOf(at(id)));
  ++freeSizeCount(nbytes);
  if (at(id).isFree && heapIndex.treeIsUp) {
    rekey(id, order, address, alignBits);
  } else {
    Record &r = at(id);
    r.order = order;
    r.header = address;
    r.alignBits = alignBits;
    if (!r.isFree) addFree(id);
    at(id).isFree = true;
  }
  if (moves) putSlot(id);
}

void SetUsed(uint32_t id) {
  if (!at(id).isFree) return;
  dropFree(id);
  --freeSizeCount(bytesOf(at(id)));
  at(id).isFree = false;
}

uint32_t FreeBytes(uint32_t id) { return bytesOf(at(id)); }

uint32_t FirstExactFit(uint32_t nbytes, uint64_t alignment) {
  const auto bits = static_cast<unsigned>(__builtin_ctzll(alignment));
  if (freeSizeCount(nbytes) == 0) return kNoBlock;
  if (heapIndex.treeIsUp) return firstExact(heapIndex.root, nbytes, bits);
  return smallestOfFew([=](const Record &r) { return bytesOf(r) == nbytes && r.alignBits >= bits; });
}

uint32_t SmallestAtLeast(uint64_t nbytes) {
  uint32_t found = kNoBlock;
  if (heapIndex.treeIsUp) {
    for (uint32_t t = heapIndex.root; t != kNoBlock;) {
      const bool enough = bytesOf(at(t)) >= nbytes;
      found = enough ? t : found;
      t = at(t).child[!enough];
    }
    return found;
  }
  return smallestOfFew([=](const Record &r) { return bytesOf(r) >= nbytes; });
}

}  // namespace rtk::mem

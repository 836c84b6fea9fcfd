// qmmem_free.cpp - the debug heap's free blocks, kept in the order in which
// the fit search prefers them (see mem_internal.h): the best fit is the
// block with the fewest bytes, the first in list order (region ordinal, then
// header address) among equals; the exact fit is the first in list order
// among the blocks of one size whose data are aligned enough. Divisions: the
// array of few; the heaps of one size; the tree of sizes; filing and queries.
//
// While few blocks are free they sit unordered in a short array that a
// query looks at whole. Beyond kFewMost they are filed by size: a tree holds
// one node per size that free blocks have, and the node holds the blocks of
// that size in a pairing heap by list order, one heap per alignment class
// of the data address. Sizes are far fewer than blocks, and a heap takes a
// block in O(1) and gives up one that is not its first in O(1) amortised
// when the block has no children, as most have: the many free blocks of a
// size that no request can use (blocks a few bytes short of every request)
// cost a short descent of the size tree and a link each, whatever their
// number.
//
// A pairing heap is a tree whose every node comes before its children in
// list order; a node keeps its first child, its next sibling and `up`: the
// parent for a first child, the previous sibling for the others, none for
// the top. Two heaps become one by hanging the later top under the earlier;
// the top's children become one heap by melding them in pairs from the left
// and the pairs from the right.
//
// The size tree is a treap (a binary search tree on bytes whose nodes also
// form a heap by random priority, which keeps its depth logarithmic on
// average).
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "mem/mem_internal.h"

namespace rtk::mem {
namespace {

SizeNode &sizeAt(uint32_t s) { return heap.sizes[s]; }

// True when block a comes before block b in list order.
bool listBefore(uint32_t a, uint32_t b) {
  const Record &ra = At(a), &rb = At(b);
  return ra.region < rb.region || (ra.region == rb.region && ra.header < rb.header);
}

// The first class whose data are aligned to `alignment` (512 to 2^31, which
// is all a request can ask for).
uint32_t classMaskFor(uint64_t alignment) {
  const unsigned bits = static_cast<unsigned>(__builtin_ctzll(alignment));
  const unsigned first = bits <= 8 ? 0 : bits - 8 < kAlignClasses ? bits - 8 : kAlignClasses - 1;
  return ~0u << first;
}

// ---- the heaps of one size -----------------------------------------------------

// Makes one heap of the heaps topped by a and b.
uint32_t meld(uint32_t a, uint32_t b) {
  if (listBefore(b, a)) std::swap(a, b);
  Record &top = At(a), &under = At(b);
  under.sibling = top.child;
  if (top.child != kNoBlock) At(top.child).up = b;
  under.up = a;
  top.child = b;
  return a;
}

// Makes one heap of a list of siblings: pairs from the left, then each pair
// into the result from the right.
uint32_t mergePairs(uint32_t first) {
  uint32_t pairs = kNoBlock;  // the melded pairs, the last first, chained through `sibling`
  while (first != kNoBlock) {
    uint32_t a = first;
    const uint32_t b = At(a).sibling;
    first = b == kNoBlock ? kNoBlock : At(b).sibling;
    At(a).up = At(a).sibling = kNoBlock;
    if (b != kNoBlock) {
      At(b).up = At(b).sibling = kNoBlock;
      a = meld(a, b);
    }
    At(a).sibling = pairs;
    pairs = a;
  }
  uint32_t top = kNoBlock;
  while (pairs != kNoBlock) {
    const uint32_t next = At(pairs).sibling;
    At(pairs).sibling = kNoBlock;
    top = top == kNoBlock ? pairs : meld(top, pairs);
    pairs = next;
  }
  return top;
}

// Takes block x out of the heap topped by `top`; answers the heap's top.
uint32_t unlink(uint32_t top, uint32_t x) {
  Record &r = At(x);
  const uint32_t children = mergePairs(r.child);
  if (x == top) {
    top = children;
  } else {
    Record &u = At(r.up);
    (u.child == x ? u.child : u.sibling) = r.sibling;
    if (r.sibling != kNoBlock) At(r.sibling).up = r.up;
    if (children != kNoBlock) top = meld(top, children);
  }
  r.child = r.sibling = r.up = kNoBlock;
  return top;
}

// ---- the trees of sizes ------------------------------------------------------------

// The bin of a size (see kSizeBins); bins follow the order of sizes.
uint32_t binOf(uint64_t bytes) {
  constexpr uint64_t kSteps = uint64_t{1} << kBinStepBits;
  if (bytes < kSteps) return static_cast<uint32_t>(bytes);
  const unsigned top = 63 - static_cast<unsigned>(__builtin_clzll(bytes));
  return static_cast<uint32_t>(((top - kBinStepBits + 1) << kBinStepBits) + ((bytes >> (top - kBinStepBits)) & (kSteps - 1)));
}

void markBin(uint32_t bin, bool hasSizes) {
  uint64_t &word = heap.binWords[bin / 64];
  word = hasSizes ? word | uint64_t{1} << (bin % 64) : word & ~(uint64_t{1} << (bin % 64));
  const uint32_t summaryBit = 1u << (bin / 64);
  heap.binSummary = word != 0 ? heap.binSummary | summaryBit : heap.binSummary & ~summaryBit;
}

// The first bin from `bin` on that has sizes, or kSizeBins.
uint32_t binWithSizesFrom(uint32_t bin) {
  if (bin >= kSizeBins) return kSizeBins;
  const uint32_t w = bin / 64;
  const uint64_t here = heap.binWords[w] & (~uint64_t{0} << (bin % 64));
  if (here != 0) return w * 64 + static_cast<uint32_t>(__builtin_ctzll(here));
  const uint32_t later = heap.binSummary & (~1u << w);
  if (later == 0) return kSizeBins;
  const auto v = static_cast<uint32_t>(__builtin_ctz(later));
  return v * 64 + static_cast<uint32_t>(__builtin_ctzll(heap.binWords[v]));
}

uint32_t nextPriority() {
  uint32_t x = heap.randomState;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return heap.randomState = x;
}

// The link that leads to node x: its parent's child link, or its bin's root.
uint32_t &linkTo(uint32_t x) {
  const uint32_t p = sizeAt(x).parent;
  return p == 0 ? heap.sizeRoots[binOf(sizeAt(x).bytes)] : sizeAt(p).child[sizeAt(p).child[1] == x];
}

// Turns the tree at x's parent p so that x takes p's place and p becomes
// x's child, keeping the order.
void rotateUp(uint32_t x) {
  const uint32_t p = sizeAt(x).parent;
  const bool side = sizeAt(p).child[1] == x;  // x's side below p; p goes to the other side of x
  linkTo(p) = x;
  sizeAt(x).parent = sizeAt(p).parent;
  sizeAt(p).child[side] = sizeAt(x).child[!side];
  if (sizeAt(p).child[side] != 0) sizeAt(sizeAt(p).child[side]).parent = p;
  sizeAt(x).child[!side] = p;
  sizeAt(p).parent = x;
}

// The node of `bytes`; a new one, hung in as a leaf of its bin's tree and
// turned up by its priority, when there is none.
uint32_t sizeNodeFor(uint32_t bytes) {
  const uint32_t bin = binOf(bytes);
  uint32_t parent = 0, *link = &heap.sizeRoots[bin];
  if (*link == 0) markBin(bin, true);
  while (*link != 0) {
    parent = *link;
    if (sizeAt(parent).bytes == bytes) return parent;
    link = &sizeAt(parent).child[sizeAt(parent).bytes < bytes];
  }
  uint32_t x = heap.unusedSize;
  if (x != 0) {
    heap.unusedSize = sizeAt(x).parent;
  } else {
    x = heap.sizeHighWater++;
  }
  SizeNode &n = sizeAt(x);
  n.bytes = bytes;
  n.classes = 0;
  n.parent = parent;
  n.child[0] = n.child[1] = 0;
  n.priority = nextPriority();
  *link = x;
  while (n.parent != 0 && sizeAt(n.parent).priority < n.priority) rotateUp(x);
  return x;
}

// Turns node x down until it has one child at most, lets that child take
// its place and gives the node back.
void dropSizeNode(uint32_t x) {
  SizeNode &n = sizeAt(x);
  while (n.child[0] != 0 && n.child[1] != 0) {
    rotateUp(sizeAt(n.child[0]).priority > sizeAt(n.child[1]).priority ? n.child[0] : n.child[1]);
  }
  const uint32_t only = n.child[n.child[0] == 0];
  linkTo(x) = only;
  if (only != 0) sizeAt(only).parent = n.parent;
  const uint32_t bin = binOf(n.bytes);
  if (heap.sizeRoots[bin] == 0) markBin(bin, false);
  n.parent = heap.unusedSize;
  heap.unusedSize = x;
}

// The node of exactly `bytes` (with `orMore`, of the fewest bytes at least
// `bytes`), or 0.
uint32_t findSize(uint64_t bytes, bool orMore) {
  const uint32_t bin = binOf(bytes);
  uint32_t found = 0;
  for (uint32_t t = heap.sizeRoots[bin]; t != 0;) {
    const SizeNode &n = sizeAt(t);
    if (n.bytes == bytes) return t;
    if (n.bytes > bytes && orMore) found = t;
    t = n.child[n.bytes < bytes];
  }
  if (found != 0 || !orMore) return found;
  const uint32_t later = binWithSizesFrom(bin + 1);
  if (later == kSizeBins) return 0;
  uint32_t t = heap.sizeRoots[later];
  while (sizeAt(t).child[0] != 0) t = sizeAt(t).child[0];
  return t;
}

// ---- filing and queries ------------------------------------------------------------

void fileBySize(uint32_t id) {
  Record &r = At(id);
  r.sizeNode = sizeNodeFor(r.bytes);
  r.child = r.sibling = r.up = kNoBlock;
  SizeNode &n = sizeAt(r.sizeNode);
  const uint32_t bit = 1u << r.alignClass;
  n.heads[r.alignClass] = (n.classes & bit) != 0 ? meld(n.heads[r.alignClass], id) : id;
  n.classes |= bit;
}

void unfile(uint32_t id) {
  const Record &r = At(id);
  SizeNode &n = sizeAt(r.sizeNode);
  const uint32_t top = unlink(n.heads[r.alignClass], id);
  n.heads[r.alignClass] = top;
  if (top == kNoBlock) n.classes &= ~(1u << r.alignClass);
  if (n.classes == 0) dropSizeNode(r.sizeNode);
}

// Appends the blocks of the heap topped by `top` to the array of few,
// taking the array itself as the queue of a walk through the heap.
void gatherHeap(uint32_t top) {
  uint32_t i = heap.freeCount;
  heap.few[heap.freeCount++] = top;
  for (; i < heap.freeCount; ++i) {
    for (uint32_t c = At(heap.few[i]).child; c != kNoBlock; c = At(c).sibling) heap.few[heap.freeCount++] = c;
  }
}

void gatherSizes(uint32_t s) {
  if (s == 0) return;
  gatherSizes(sizeAt(s).child[0]);
  gatherSizes(sizeAt(s).child[1]);
  for (uint32_t mask = sizeAt(s).classes; mask != 0; mask &= mask - 1) gatherHeap(sizeAt(s).heads[__builtin_ctz(mask)]);
}

void gatherBins() {
  for (uint32_t bin = binWithSizesFrom(0); bin != kSizeBins; bin = binWithSizesFrom(bin + 1)) {
    gatherSizes(heap.sizeRoots[bin]);
    heap.sizeRoots[bin] = 0;
  }
  std::fill(std::begin(heap.binWords), std::end(heap.binWords), 0);
  heap.binSummary = 0;
}

// Puts the blocks filed by size back into the array; all size nodes are
// given back.
void gatherFew() {
  heap.freeCount = 0;
  gatherBins();
  for (uint32_t i = 0; i < heap.freeCount; ++i) {
    Record &r = At(heap.few[i]);
    r.child = r.sibling = kNoBlock;
    r.up = i;
  }
  heap.sizeHighWater = 1;
  heap.unusedSize = 0;
  heap.many = false;
}

}  // namespace

void FileMany(uint32_t id) {
  if (!heap.many) {
    heap.many = true;
    for (uint32_t i = 0; i < heap.freeCount; ++i) fileBySize(heap.few[i]);
  }
  fileBySize(id);
  ++heap.freeCount;
}

void UnfileMany(uint32_t id) {
  unfile(id);
  if (--heap.freeCount < kFewAgain) gatherFew();
}

namespace {

// The first block in list order among the heaps of node s's classes in
// `mask`.
uint32_t firstOfClasses(uint32_t s, uint32_t mask) {
  uint32_t found = kNoBlock;
  for (mask &= sizeAt(s).classes; mask != 0; mask &= mask - 1) {
    const uint32_t top = sizeAt(s).heads[__builtin_ctz(mask)];
    if (found == kNoBlock || listBefore(top, found)) found = top;
  }
  return found;
}

}  // namespace

bool ReserveSizes(uint32_t capacity) {
  if (heap.sizeCapacity >= capacity) return true;
  auto *grown = static_cast<SizeNode *>(std::realloc(heap.sizes, capacity * sizeof(SizeNode)));
  if (grown == nullptr) return false;
  heap.sizes = grown;
  if (heap.sizeCapacity == 0) grown[0] = SizeNode{};
  heap.sizeCapacity = capacity;
  return true;
}

uint32_t ChooseFit(uint32_t R, uint64_t A, bool &exact) {
  const uint32_t mask = classMaskFor(A);
  const uint64_t least = A + R;
  if (!heap.many) {
    // One look at every block: exact fits and best fits exclude each other
    // (a best fit has at least A more bytes).
    uint32_t exactFit = kNoBlock, bestFit = kNoBlock;
    for (uint32_t i = 0; i < heap.freeCount; ++i) {
      const uint32_t id = heap.few[i];
      const Record &r = At(id);
      if (r.bytes == R) {
        const bool aligned = (mask >> r.alignClass & 1u) != 0;
        if (aligned && (exactFit == kNoBlock || listBefore(id, exactFit))) exactFit = id;
      } else if (r.bytes >= least && (bestFit == kNoBlock || r.bytes < At(bestFit).bytes ||
                                      (r.bytes == At(bestFit).bytes && listBefore(id, bestFit)))) {
        bestFit = id;
      }
    }
    exact = exactFit != kNoBlock;
    return exact ? exactFit : bestFit;
  }
  const uint32_t sameSize = findSize(R, false);
  const uint32_t exactFit = sameSize == 0 ? kNoBlock : firstOfClasses(sameSize, mask);
  exact = exactFit != kNoBlock;
  if (exact) return exactFit;
  const uint32_t larger = findSize(least, true);
  return larger == 0 ? kNoBlock : firstOfClasses(larger, ~0u);
}

}  // namespace rtk::mem

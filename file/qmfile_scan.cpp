/*
 * qmfile_scan.cpp - directory scans (qmfile.h): counting a directory's
 * entries, listing one directory as an array of entries with their
 * attributes, sorted in the product's order (files before directories,
 * generations of one versioned name highest first, other names ignoring
 * case), and packing the names of part of a list into one block.
 *
 * A list is one heap block of exactly the counted size, sorted in place;
 * every entry's status is read once, relative to its directory. State: none.
 */
#include <bitset>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "file/file_internal.h"
#include "pf_file.h"
#include "platform/pf_sys.h"
#include "platform/platform_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmfile.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "str/str_internal.h"

namespace {

using rtk::file::JoinedLength;
using rtk::file::kTrace;
using rtk::file::Shown;
using rtk::platform::DirHandle;

// Status paths of the scan are joined in a buffer of this size.
constexpr size_t kStatPathSize = 4096;

// The scan keeps the names that its count read, when they fit this many
// bytes with their terminators, and then reads its directory only once.
constexpr size_t kNameCacheSize = 8192;

// The marker in front of a versioned name's generation: report.txt-QM7.txt.
constexpr char kGenMarker[] = "-QM";
constexpr size_t kGenMarkerLen = sizeof kGenMarker - 1;

// The first "-QM" of a name, or null.
const char *findGenMarker(const char *name) {
  for (const char *dash = strchr(name, '-'); dash != nullptr; dash = strchr(dash + 1, '-')) {
    if (dash[1] == kGenMarker[1] && dash[2] == kGenMarker[2]) return dash;
  }
  return nullptr;
}

// Reads the generation of a versioned name into the entry: baseLen becomes
// the offset of the first "-QM" and gen the number after it (0 when none can
// be read; -1 changes nothing). Without a marker baseLen becomes the name's
// length. Answers the marker, or null when the name holds none.
const char *setGen(qmfile_DirEntry *e) {
  const char *marker = findGenMarker(e->name);
  if (marker == nullptr) {
    e->baseLen = static_cast<int32_t>(strlen(e->name));
    return nullptr;
  }
  const long long gen = strtoll(marker + kGenMarkerLen, nullptr, 10);
  if (gen != -1) {
    e->gen = gen;
    e->baseLen = static_cast<int32_t>(marker - e->name);
  }
  return marker;
}

// A list's positions, as small indices: a list holds at most 10,240 entries.
using EntryIndex = uint16_t;
static_assert(QMFILE_MAX_DIR_ENTRIES <= UINT16_MAX + 1, "list positions fit an EntryIndex");

// What the sort keeps beside the list while it runs, by position: which
// entries are directories (so that most comparisons read only the names'
// first bytes from the list), which names hold a generation marker, and
// which entries a comparison within their group has looked at. setGen runs
// on every entry once before the sort; the entries that no comparison looked
// at get back the baseLen and gen of 0 that they had, so the list ends as if
// setGen had run on exactly the compared entries, as each comparison running
// it would leave it.
struct SortState {
  qmfile_DirEntry *v;
  std::bitset<QMFILE_MAX_DIR_ENTRIES> directory;
  std::bitset<QMFILE_MAX_DIR_ENTRIES> versioned;
  std::bitset<QMFILE_MAX_DIR_ENTRIES> compared;
};

// STR_strcasecmp of two entries' names. Their common beginning is passed
// over eight bytes at a time while the words lie within the name fields
// (bytes that are equal are equal ignoring case too); the comparison goes on
// from the first byte that differs or ends the names.
int compareNames(const char (&a)[QMFILE_NAME_SIZE], const char (&b)[QMFILE_NAME_SIZE]) {
  size_t at = 0;
  for (; at + 8 <= QMFILE_NAME_SIZE; at += 8) {
    uint64_t wordA;
    uint64_t wordB;
    memcpy(&wordA, a + at, 8);
    memcpy(&wordB, b + at, 8);
    const uint64_t stops = rtk::str::NonzeroBytes(wordA ^ wordB) | rtk::str::ZeroBytes(wordA);
    if (stops != 0) {
      at += rtk::str::FirstFlaggedByte(stops);
      break;
    }
  }
  return rtk::str::CompareIgnoringCase(a + at, b + at);
}

// The order of a scan list: non-directories before directories; generations
// of one versioned name highest first; otherwise names ignoring case.
int compar(SortState &sort, size_t i, size_t j) {
  const bool aDir = sort.directory[i];
  if (aDir != sort.directory[j]) return aDir ? 1 : -1;
  const qmfile_DirEntry *a = &sort.v[i];
  const qmfile_DirEntry *b = &sort.v[j];
  sort.compared[i] = true;
  sort.compared[j] = true;
  if (sort.versioned[i] && sort.versioned[j] && a->baseLen == b->baseLen &&
      STR_strncasecmp(a->name, b->name, a->baseLen) == 0) {
    if (a->gen == b->gen) return 0;
    return a->gen > b->gen ? -1 : 1;
  }
  return compareNames(a->name, b->name);
}

// Lets the entry at heap position root sink below its larger children in
// the heap order[0, n) of list positions. Once it has to move, it is held
// aside and each larger child moves up into the hole.
void siftDown(SortState &sort, EntryIndex *order, size_t root, size_t n) {
  auto less = [&sort, order](size_t i, size_t j) { return compar(sort, order[i], order[j]) < 0; };
  size_t child = 2 * root + 1;
  if (child >= n) return;
  if (child + 1 < n && less(child, child + 1)) ++child;
  if (!less(root, child)) return;
  const EntryIndex sinking = order[root];
  for (;;) {
    order[root] = order[child];
    root = child;
    child = 2 * root + 1;
    if (child >= n) break;
    if (child + 1 < n && less(child, child + 1)) ++child;
    if (compar(sort, sinking, order[child]) >= 0) break;
  }
  order[root] = sinking;
}

// Sorts the list in place with compar: a heap sort, because the standard
// sorts cannot give the scan's order. std::sort and std::stable_sort need a
// strict weak order, which compar is not (the versioned-name rule is not
// transitive; libstdc++'s sorts may then read past the list's ends); and
// where compar calls entries equal (names that differ only in case) or is
// inconsistent, the order that they leave, and the set of entries that a
// comparison looks at (which decides whose baseLen and gen stay set), differ
// from this sort's. The heap sort needs no memory besides the positions and
// never leaves the list. It moves positions; then each 1,288-byte entry is
// moved once, cycle by cycle, to its place.
void sortEntries(qmfile_DirEntry *v, size_t n) {
  if (n < 2) return;
  SortState sort{v, {}, {}, {}};
  EntryIndex order[QMFILE_MAX_DIR_ENTRIES];
  for (size_t i = 0; i < n; ++i) {
    order[i] = static_cast<EntryIndex>(i);
    sort.directory[i] = v[i].attrs.kind == PF_KIND_DIRECTORY;
    sort.versioned[i] = setGen(&v[i]) != nullptr;
  }
  for (size_t i = n / 2; i-- > 0;) siftDown(sort, order, i, n);
  for (size_t end = n - 1; end > 0; --end) {
    std::swap(order[0], order[end]);
    siftDown(sort, order, 0, end);
  }
  for (size_t i = 0; i < n; ++i) {
    if (!sort.compared[i]) {
      v[i].baseLen = 0;
      v[i].gen = 0;
    }
  }
  for (size_t start = 0; start < n; ++start) {
    if (order[start] == start) continue;
    const qmfile_DirEntry held = v[start];
    size_t to = start;
    while (order[to] != start) {
      const size_t from = order[to];
      v[to] = v[from];
      order[to] = static_cast<EntryIndex>(to);
      to = from;
    }
    v[to] = held;
    order[to] = static_cast<EntryIndex>(to);
  }
}

// The names that a count read, one after another with their terminators,
// kept for the listing so that the scan reads its directory once. Usable
// only when the count read the directory to its end (not to a read error,
// not stopped at its limit) and every name fitted.
class NameCache {
 public:
  // Keeps the next name; one that does not fit makes the cache unusable.
  void keep(const char *name) {
    const size_t size = strlen(name) + 1;
    fits_ = fits_ && size <= sizeof text_ - used_;
    if (!fits_) return;
    memcpy(text_ + used_, name, size);
    used_ += size;
  }
  void reachedEnd() { complete_ = fits_; }
  bool complete() const { return complete_; }
  // Copies the next kept name into name, as PF_ReadDir would; false after
  // the last.
  bool next(char *name) {
    if (next_ == used_) return false;
    const size_t size = strlen(text_ + next_) + 1;
    memcpy(name, text_ + next_, size);
    next_ += size;
    return true;
  }

 private:
  char text_[kNameCacheSize];
  size_t used_ = 0;
  size_t next_ = 0;
  bool fits_ = true;
  bool complete_ = false;
};

// qmfile_CountItemsInDir, with its call frame. With a cache, the directory
// stays open in handle and the names read are kept; the end of the directory
// is told from a read error by errno, which is given back as it was when
// the end is reached.
int32_t countItems(const char *dir, int32_t max, DirHandle &handle, NameCache *cache) {
  constexpr const char kFunction[] = "qmfile_CountItemsInDir";
  qmenter(kTrace, kFunction, "[%s] %d\n", Shown(dir), max);
  int32_t count = 0;
  if (dir != nullptr && PF_OpenDir(dir, handle.out()) == QM_SUCCESS) {
    const int savedErrno = errno;
    char name[PF_READDIR_NAME_SIZE];
    for (;;) {
      errno = 0;
      if (PF_ReadDir(handle.get(), name) != QM_SUCCESS) {
        if (errno == 0 && cache != nullptr) cache->reachedEnd();
        break;
      }
      if (count >= max) break;
      ++count;
      if (cache != nullptr) cache->keep(name);
    }
    if (errno == 0) errno = savedErrno;
  }
  qmexitn(kTrace, kFunction, count);
  return count;
}

// qmfile_ScanDir without its call frame; the outputs are set already.
int32_t scanDir(const char *dir, qmfile_DirEntry **list, uint32_t *files, uint32_t *dirs) {
  DirHandle handle;
  NameCache names;
  const int32_t n = countItems(dir, QMFILE_MAX_DIR_ENTRIES, handle, &names);
  if (n == 0) {
    handle.reset();
    PF_Attrs attrs;
    return PF_Stat(dir, &attrs);
  }
  auto *entries = static_cast<qmfile_DirEntry *>(
      MEM_malloc(-8, n * static_cast<int32_t>(sizeof(qmfile_DirEntry)), "dirl"));
  if (entries == nullptr) return QM_ERR_NOMEM;
  *list = entries;
  if (!names.complete()) {
    handle.reset();
    const int32_t opened = PF_OpenDir(dir, handle.out());
    if (opened != QM_SUCCESS) return opened;
  }

  const size_t dirLen = strlen(dir);
  char path[kStatPathSize];
  STR_copy(path, dir, kStatPathSize);
  uint32_t kept = 0;
  int32_t lastSkip = QM_SUCCESS;
  while (kept < static_cast<uint32_t>(n)) {
    qmfile_DirEntry *e = &entries[kept];
    const bool named =
        names.complete() ? names.next(e->name) : PF_ReadDir(handle.get(), e->name) == QM_SUCCESS;
    if (!named) break;
    // A status path that does not fit would be cut and could name another
    // object, so such an entry is skipped as one whose status failed.
    if (JoinedLength(dir, dirLen, e->name) >= kStatPathSize) {
      TRACE_LogFine(kTrace, "  skipped, path too long: %s\n", e->name);
      lastSkip = QM_ERR_BADFILE;
      continue;
    }
    path[dirLen] = '\0';
    qmfile_dircat(path, kStatPathSize, e->name);
    TRACE_LogFine(kTrace, "  [%s]\n", path);
    lastSkip = rtk::platform::StatEntry(handle.get(), e->name, path, &e->attrs);
    if (lastSkip != QM_SUCCESS) {
      TRACE_LogFine(kTrace, "  skipped due to PF_Stat failure:%d\n", lastSkip);
      continue;
    }
    if (e->attrs.kind == PF_KIND_DIRECTORY) {
      ++*dirs;
    } else if (e->attrs.kind == PF_KIND_FILE) {
      ++*files;
    } else {
      TRACE_LogFine(kTrace, "  skipped due to weird type\n");
      continue;
    }
    if (++kept >= static_cast<uint32_t>(n)) TRACE_LogFine(kTrace, " exit due to n>=origN\n");
  }
  handle.reset();
  // The slot after the listed entries may hold a skipped one; clear it.
  if (kept < static_cast<uint32_t>(n)) memset(&entries[kept], 0, sizeof entries[kept]);
  sortEntries(entries, kept);
  if (*files == 1) setGen(&entries[0]);
  return lastSkip;
}

}  // namespace

extern "C" {

// Lists one directory as a sorted array of entries with their attributes.
int32_t qmfile_ScanDir(const char *dir, qmfile_DirEntry **list, uint32_t *files,
                       uint32_t *dirs) {
  constexpr const char kFunction[] = "ScanDir";
  qmenter(kTrace, kFunction, "dir:[%s]\n", Shown(dir));
  if (dirs != nullptr) *dirs = 0;
  if (list != nullptr) *list = nullptr;
  if (files != nullptr) *files = 0;
  const int32_t rc = (dir != nullptr && list != nullptr && files != nullptr && dirs != nullptr)
                         ? scanDir(dir, list, files, dirs)
                         : QM_ERR_NULLPARAM;
  qmexit(kTrace, kFunction, rc);
  return rc;
}

// Counts the entries of a directory other than "." and "..", up to max.
int32_t qmfile_CountItemsInDir(const char *dir, int32_t max) {
  DirHandle handle;
  return countItems(dir, max, handle, nullptr);
}

// Packs the names of count list entries from first on into one heap block:
// the pointer array, then the names one after another.
int32_t qmfile_PackDirs(const qmfile_DirEntry *list, int32_t first, int32_t count, char ***out) {
  if (out == nullptr || (count > 0 && (list == nullptr || first < 0))) return QM_ERR_NULLPARAM;
  const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
  size_t bytes = n * sizeof(char *);
  for (size_t i = 0; i < n; ++i) bytes += strnlen(list[first + i].name, QMFILE_NAME_SIZE - 1) + 1;
  if (bytes > INT32_MAX) return QM_ERR_NOMEM;
  auto **names = static_cast<char **>(MEM_malloc(8, static_cast<int32_t>(bytes), "pack"));
  if (names == nullptr) return QM_ERR_NOMEM;
  char *next = reinterpret_cast<char *>(names + n);
  for (size_t i = 0; i < n; ++i) {
    const size_t len = strnlen(list[first + i].name, QMFILE_NAME_SIZE - 1);
    memcpy(next, list[first + i].name, len);
    next[len] = '\0';
    names[i] = next;
    next += len + 1;
  }
  *out = names;
  return QM_SUCCESS;
}

}  // extern "C"

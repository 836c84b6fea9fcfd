/*
 * qmfile.cpp - file utilities of the product's common runtime.
 *
 * Path joining; the replication copy with catch-up mode; directory chains
 * modelled on a source tree; byte comparison; directory scans sorted with
 * the product's versioned names; depth-first tree walks; tree removal; tail
 * and line counting. Paths use '/'. Working buffers come from the debug
 * heap; descriptors, streams, directory handles and heap blocks are owned by
 * the small guards below. Failures are result codes of the catalogue; the
 * system error behind them is read right after the failing call.
 *
 * Process-wide state: none. The only state outside a call's own frame is
 * the first removal error of a running qmfile_rmdirTree, kept per thread
 * (removalError below) because the directory-walk callback has no context.
 */
#include "qmfile.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "pf_file.h"
#include "platform/platform_internal.h"
#include "str/str_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

constexpr uint64_t kTrace = QM_TRACE_FILE;

// The copy reads 64 KiB blocks into a 4 KiB-aligned window of one heap block.
constexpr int32_t kCopyBlock = 65536;
constexpr int32_t kCopyAlign = 4096;
constexpr int32_t kCopyAlloc = kCopyBlock + kCopyAlign;  // 69,632 bytes

// The comparison reads this many bytes at a time from each file.
constexpr size_t kDiffChunk = 4096;

// Status paths of the scan are joined in a buffer of this size.
constexpr size_t kStatPathSize = 4096;

// The scan keeps the names that its count read, when they fit this many
// bytes with their terminators, and then reads its directory only once.
constexpr size_t kNameCacheSize = 8192;

// The tail looks at 256 bytes per line asked for, at most 500 lines, and
// stops appending once fewer than 128 bytes of the output are left.
constexpr int32_t kTailMaxLines = 500;
constexpr int32_t kTailBytesPerLine = 256;
constexpr int32_t kTailReserve = 128;

// The line counter counts the pieces that a line reader with a 5,120-byte
// line buffer delivers (at most 5,119 bytes each), reading 64 KiB blocks and
// looking at them in 2 KiB chunks.
constexpr size_t kCountPieceBytes = 5119;
constexpr size_t kCountBlock = 65536;
constexpr size_t kCountChunk = 2048;

// File descriptors that the tree removal keeps open at most, and the size of
// the text that names a failed removal in its announcement.
constexpr int kRemoveOpenFds = 16;
constexpr int32_t kRemoveTextSize = 4116;

// The marker in front of a versioned name's generation: report.txt-QM7.txt.
constexpr char kGenMarker[] = "-QM";
constexpr size_t kGenMarkerLen = sizeof kGenMarker - 1;

// First error of the tree removal running on this thread (see file head).
thread_local int removalError = 0;

// ---- guards --------------------------------------------------------------

// Owns a file descriptor. close() is not retried on EINTR: on Linux the
// descriptor is released even then.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Owns a buffered stream.
class Stream {
 public:
  explicit Stream(FILE *f) : f_(f) {}
  ~Stream() {
    if (f_ != nullptr) fclose(f_);
  }
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
  FILE *get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }

 private:
  FILE *f_;
};

// Owns a directory handle of the platform layer.
class DirHandle {
 public:
  DirHandle() = default;
  ~DirHandle() { reset(); }
  DirHandle(const DirHandle &) = delete;
  DirHandle &operator=(const DirHandle &) = delete;
  uint64_t *out() { return &h_; }
  uint64_t get() const { return h_; }
  void reset() {
    if (h_ != 0) PF_CloseDir(h_);
    h_ = 0;
  }

 private:
  uint64_t h_ = 0;
};

// Owns a block of the debug heap.
class HeapBlock {
 public:
  explicit HeapBlock(void *p = nullptr) : p_(p) {}
  ~HeapBlock() { reset(); }
  HeapBlock(const HeapBlock &) = delete;
  HeapBlock &operator=(const HeapBlock &) = delete;
  template <typename T>
  T *as() const {
    return static_cast<T *>(p_);
  }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (p_ != nullptr) MEM_free(p_);
    p_ = nullptr;
  }

 private:
  void *p_;
};

// Puts a NUL at a position of a writable text for the length of a scope and
// gives the byte back at its end.
class TextCut {
 public:
  explicit TextCut(char *at) : at_(at), saved_(*at) { *at_ = '\0'; }
  ~TextCut() { *at_ = saved_; }
  TextCut(const TextCut &) = delete;
  TextCut &operator=(const TextCut &) = delete;

 private:
  char *at_;
  char saved_;
};

// ---- small helpers ---------------------------------------------------------

// A text for a trace line; a null pointer shows as "(null)".
const char *show(const char *s) { return s != nullptr ? s : "(null)"; }

// Writes a failure text into the caller's msg buffer, cut to fit; a null
// buffer or a size below 1 receives nothing.
void putMsg(char *msg, int32_t size, const char *fmt, ...) QM_PRINTF_LIKE(3, 4);
void putMsg(char *msg, int32_t size, const char *fmt, ...) {
  if (msg == nullptr || size < 1) return;
  va_list args;
  va_start(args, fmt);
  STR_vsnprintf(msg, size, fmt, args);
  va_end(args);
  msg[size - 1] = '\0';
}

// Reads until n bytes are in, the file ends or a read fails, as fread
// does (an interrupted read also ends it, as it ends fread); answers the
// bytes read.
size_t readUpTo(int fd, char *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t more = read(fd, buf + got, n - got);
    if (more <= 0) break;
    got += static_cast<size_t>(more);
  }
  return got;
}

// Writes all n bytes. A short write goes on with the rest, so that a failure
// reports the error that the file system gives for it rather than a stale
// errno; a write that makes no progress counts as EIO. True when all went.
// Like the opens (PF_open) and the reads here, a write is not repeated
// after an interrupting signal: a caller whose handler was installed without
// SA_RESTART wants a write to a full FIFO, or a read from a silent one, to
// end; with SA_RESTART the kernel restarts them by itself.
bool writeAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put < 0) return false;
    if (put == 0) {
      errno = EIO;
      return false;
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// Length of dir joined with name by qmfile_dircat: one '/' is put between
// them unless dir is empty or already ends with one.
size_t joinedLength(const char *dir, size_t dirLen, const char *name) {
  const size_t sep = (dirLen > 0 && dir[dirLen - 1] != '/') ? 1 : 0;
  return dirLen + sep + strlen(name);
}

// ---- result codes for system errors ----------------------------------------

// One row of an errno-to-code table; kAnyRestartable matches every error
// that qmfile_restartable accepts. Rows are tried in order.
constexpr int kAnyRestartable = -1;
struct ErrnoCode {
  int err;
  int32_t code;
};

constexpr ErrnoCode kSourceOpenCodes[] = {
    {EPERM, QM_ERR_SRCEPERM},
    {EACCES, QM_ERR_SRCEPERM},
    {kAnyRestartable, QM_ERR_RESTARTABLE},
    {ENOENT, QM_ERR_SRCFNF},
};
constexpr ErrnoCode kDestinationOpenCodes[] = {
    {EPERM, QM_ERR_DSTEPERM},
    {EACCES, QM_ERR_DSTEPERM},
    {ENOSPC, QM_ERR_NOSPC},
    {kAnyRestartable, QM_ERR_RESTARTABLE},
};

// The code of the first row that matches err, else otherwise.
template <size_t N>
int32_t codeFor(const ErrnoCode (&rows)[N], int err, const char *path, int32_t otherwise) {
  for (const ErrnoCode &row : rows) {
    const bool match =
        row.err == kAnyRestartable ? qmfile_restartable(err, path) != 0 : row.err == err;
    if (match) return row.code;
  }
  return otherwise;
}

// ---- copy ----------------------------------------------------------------

// Opens the copy's destination: write-only, created and truncated normally;
// in catch-up mode read-write, created only when it is missing.
int openDestination(const char *dst, bool catchup) {
  if (!catchup) return PF_open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777);
  const int fd = PF_open(dst, O_RDWR | O_CLOEXEC, 0);
  return fd >= 0 ? fd : PF_open(dst, O_RDWR | O_CREAT | O_CLOEXEC, 0777);
}

// Opens the copy's source: read-only, or read-write in catch-up mode. A
// directory opens for reading but can never be read; it is refused here
// with EISDIR, before the destination is opened and truncated for nothing.
int openSource(const char *src, bool catchup) {
  const int fd = PF_open(src, (catchup ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0777);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return fd;
  close(fd);
  errno = EISDIR;
  return -1;
}

// Makes the destination's directory, modelled on the source's directory, for
// the copy's one retry. Both paths hold a '/'; both are given back whole.
void makeDestinationDir(char *dst, char *src) {
  const TextCut srcDir(strrchr(src, '/'));
  TRACE_LogFine(kTrace, "CopyFile, failed to open dst [%s]; will try to mkdir [%s]...\n", dst, src);
  const TextCut dstDir(strrchr(dst, '/'));
  const int32_t rc = qmfile_mkdirs(dst, src);
  if (rc != QM_SUCCESS) TRACE_LogFine(kTrace, "qmfile_mkdirs returned %d\n", rc);
}

// Reads the source block by block from where it stands and, unless in
// catch-up mode, writes each block to the destination; calls the callback
// after every block. Keeps the running total in *total (and *copied).
int32_t copyBlocks(int in, int out, char *buf, bool catchup, const char *src,
                   qmfile_CopyCallback callback, uint64_t context, char *msg, int32_t msgSize,
                   int64_t *total, int64_t *copied) {
  for (;;) {
    const ssize_t got = read(in, buf, kCopyBlock);
    if (got == 0) return QM_SUCCESS;
    if (got < 0) {
      const int err = errno;
      if (qmfile_restartable(err, src)) return QM_ERR_RESTARTABLE;
      TRACE_LogFine(kTrace, "error during read, errno:%d %s\n", err, strerror(err));
      return QM_ERR_IOERR;
    }
    if (!catchup && !writeAll(out, buf, static_cast<size_t>(got))) {
      const int err = errno;
      putMsg(msg, msgSize, "errno:%d", err);
      if (err == ENOSPC) return QM_ERR_NOSPC;
      TRACE_LogFine(kTrace, "error during write, errno:%d %s\n", err, strerror(err));
      return QM_ERR_IOERR;
    }
    *total += got;
    if (copied != nullptr) *copied = *total;
    if (callback != nullptr) {
      const int32_t rc = callback(context);
      if (rc != QM_SUCCESS) return rc;
    }
  }
}

// The copy after the callback's first call: allocation, opens, block loop,
// attributes. See qmfile_CopyFile.
int32_t copyFile(char *dst, char *src, bool catchup, qmfile_CopyCallback callback,
                 uint64_t context, char *msg, int32_t msgSize, int64_t *copied) {
  putMsg(msg, msgSize, "%s", "");
  const HeapBlock block(MEM_malloc(kCopyAlign, kCopyAlloc, "copy"));
  if (!block) {
    // The announcement names the bytes the copy works with, not the request.
    QMERR_Announce(QM_ERR_ALLOC, kCopyBlock, "CopyFile");
    return QM_ERR_NOMEM;
  }
  const auto start = reinterpret_cast<uintptr_t>(block.as<char>());
  char *buf = reinterpret_cast<char *>((start + kCopyAlign - 1) & ~uintptr_t{kCopyAlign - 1});

  Fd in(openSource(src, catchup));
  if (!in.ok()) {
    const int err = errno;
    putMsg(msg, msgSize, "$T(FailedToOpenSrc) [%s] %s", src, strerror(err));
    return codeFor(kSourceOpenCodes, err, src, QM_ERR_SRCFILE);
  }
  // Attributes that cannot be read are not applied at the end: a record of
  // zeros would leave the destination with mode 0, owned by root, dated 1970.
  PF_Attrs srcAttrs;
  const bool haveAttrs = PF_Stat(src, &srcAttrs) == QM_SUCCESS;

  Fd out(openDestination(dst, catchup));
  if (!out.ok() && errno == ENOENT && !catchup && strchr(src, '/') != nullptr &&
      strchr(dst, '/') != nullptr) {
    makeDestinationDir(dst, src);
    out.reset(openDestination(dst, false));
  }
  if (!out.ok()) {
    const int err = errno;
    putMsg(msg, msgSize, "$T(FailedToOpenDst) [%s] %s", dst, strerror(err));
    return codeFor(kDestinationOpenCodes, err, dst, QM_ERR_DSTFILE);
  }

  if (catchup) {
    PF_Attrs have;
    PF_Stat(dst, &have);  // a failure leaves size 0: the source is read whole
    const off_t pos = lseek(in.get(), static_cast<off_t>(have.size), SEEK_SET);
    TRACE_LogFine(kTrace, "CopyFile: catchup: seeked to %" PRId64 " (result:%" PRId64 ")\n",
                  have.size, static_cast<int64_t>(pos));
  }
  int64_t total = 0;
  const int32_t rc = copyBlocks(in.get(), out.get(), buf, catchup, src, callback, context, msg,
                                msgSize, &total, copied);
  in.reset();
  out.reset();
  if (haveAttrs) PF_SetAttributes(dst, &srcAttrs);
  if (copied != nullptr) *copied = total;
  return rc;
}

// ---- directory chains ----------------------------------------------------

// True for a drive root such as "C:/": second character ':' and the text
// three characters long.
bool isDriveRoot(const char *s) {
  return s[0] != '\0' && s[1] == ':' && s[2] != '\0' && s[3] == '\0';
}

// Where a path (holding a '/') is cut to give its parent: at its last '/',
// or one further when that '/' starts the text or follows ':', so that the
// parent of /a is / and the parent of C:/a is C:/.
char *parentCut(char *path) {
  char *slash = strrchr(path, '/');
  return (slash == path || slash[-1] == ':') ? slash + 1 : slash;
}

// qmfile_mkdirs without its call frame.
int32_t makeChain(char *dest, char *model) {
  PF_Attrs attrs;
  const int32_t have = PF_Stat(dest, &attrs);
  if (have == QM_SUCCESS) {
    TRACE_LogFine(kTrace, "qmfile_mkdirs dest exists; nothing to do.\n");
    return QM_SUCCESS;
  }
  if (have != QM_ERR_NOENT) return have;
  TRACE_LogFine(kTrace, "qmfile_mkdirs dest does not [yet] exist\n");
  if (strchr(dest, '/') == nullptr) {
    TRACE_LogFine(kTrace, "qmfile_mkdirs dest has no slash\n");
    return QM_ERR_NOENT;
  }
  if (strchr(model, '/') == nullptr) {
    TRACE_LogFine(kTrace, "qmfile_mkdirs source has no slash; making target w/generic attrs\n");
    PF_SetAttrsGeneric(&attrs);
    return PF_MakeADirectory(dest, &attrs);
  }
  int32_t above = QM_SUCCESS;
  {
    char *destCut = parentCut(dest);
    // A cut at the terminator ("x:/" ends in a '/' after ':') would not
    // shorten dest; going higher would then never end, so it counts as a top.
    const bool noParent = *destCut == '\0';
    const TextCut destParent(destCut);
    const TextCut modelParent(parentCut(model));
    if (noParent || isDriveRoot(dest)) {
      TRACE_LogFine(kTrace, "Top of disk...must fail-out.\n");
    } else {
      above = qmfile_mkdirs(dest, model);
    }
  }
  if (above != QM_SUCCESS && above != QM_ERR_NOENT) return above;
  const int32_t modelRc = PF_Stat(model, &attrs);
  if (isDriveRoot(model)) PF_SetAttrsGeneric(&attrs);
  STR_copy(attrs.name, model, PF_ATTRS_NAME_SIZE);
  TRACE_LogFine(kTrace, "qmfile_mkdirs PF_Stat of src %d\n", modelRc);
  if (modelRc != QM_SUCCESS) PF_SetAttrsGeneric(&attrs);
  return PF_MakeADirectory(dest, &attrs);
}

// ---- scan ----------------------------------------------------------------

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
// which entries a comparison within their group has looked at. setGen runs on every entry once before the
// sort; the entries that no comparison looked at get back the baseLen and
// gen of 0 that they had, so the list ends as if setGen had run on exactly
// the compared entries, as each comparison running it would leave it.
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
    const uint64_t stops = rtk_str::NonzeroBytes(wordA ^ wordB) | rtk_str::ZeroBytes(wordA);
    if (stops != 0) {
      at += rtk_str::FirstFlaggedByte(stops);
      break;
    }
  }
  return rtk_str::CompareIgnoringCase(a + at, b + at);
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

// Sorts the list in place with compar. A heap sort: it needs no memory
// besides the positions, and it stays inside the list even where compar is
// not a consistent order (the versioned-name rule need not be transitive),
// where library sorts may read past the ends. The sort moves positions;
// then each 1,288-byte entry is moved once, cycle by cycle, to its place.
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
  qmenter(kTrace, "qmfile_CountItemsInDir", "[%s] %d\n", show(dir), max);
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
  qmexitn(kTrace, "qmfile_CountItemsInDir", count);
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
    const bool named = names.complete() ? names.next(e->name) : PF_ReadDir(handle.get(), e->name) == QM_SUCCESS;
    if (!named) break;
    // A status path that does not fit would be cut and could name another
    // object, so such an entry is skipped as one whose status failed.
    if (joinedLength(dir, dirLen, e->name) >= kStatPathSize) {
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

// ---- walk ----------------------------------------------------------------

// One walk: the caller's callback and context, one path buffer shared by all
// levels (each level appends its entries' names behind its own path), and
// whether any entry was left out because its path did not fit.
struct Walk {
  qmfile_WalkCallback callback;
  uint64_t context;
  bool leftOut;
  char path[QMFILE_WALK_PATH_SIZE];
};

// Puts name behind the directory path that fills walk.path up to dirLen.
// An entry whose whole path does not fit is never offered under a cut path:
// it is left out, traced and remembered, and false is answered.
bool joinEntry(Walk &w, size_t dirLen, const char *name, size_t *len) {
  const size_t joined = dirLen < QMFILE_WALK_PATH_SIZE ? joinedLength(w.path, dirLen, name)
                                                       : QMFILE_WALK_PATH_SIZE;
  if (joined >= QMFILE_WALK_PATH_SIZE) {
    TRACE_LogFine(kTrace, "treeWalk: left out, path too long: %s\n", name);
    w.leftOut = true;
    return false;
  }
  w.path[dirLen] = '\0';
  qmfile_dircat(w.path, QMFILE_WALK_PATH_SIZE, name);
  *len = joined;
  return true;
}

int32_t walkTree(Walk &w, const char *path, size_t len);

// Offers path and then its regular files and subdirectories (see
// qmfile_treeWalk). path is walk.path, or the caller's top path when that
// is too long for it.
int32_t walkLevel(Walk &w, const char *path, size_t len) {
  PF_Attrs attrs;
  int32_t rc = PF_Stat(path, &attrs);
  if (rc != QM_SUCCESS) {
    TRACE_LogFine(kTrace, "Swallowing err:%d\n", rc);
    return QM_SUCCESS;
  }
  rc = w.callback(path, w.context, &attrs);
  if (rc == QM_INFO_EXCLUDED) return QM_SUCCESS;
  if (rc != QM_SUCCESS) return rc;
  const uint64_t dev = attrs.devID;

  qmfile_DirEntry *list = nullptr;
  uint32_t files = 0;
  uint32_t dirs = 0;
  qmfile_ScanDir(path, &list, &files, &dirs);
  if (list == nullptr) return QM_SUCCESS;
  HeapBlock listBlock(list);
  size_t joined = 0;
  for (uint32_t i = 0; i < files; ++i) {
    const qmfile_DirEntry &e = list[i];
    TRACE_LogFine(kTrace, "file %s Kind:%d\n", e.name, static_cast<int>(e.attrs.kind));
    if (!joinEntry(w, len, e.name, &joined)) continue;
    if (e.attrs.devID != dev) {
      TRACE_LogFine(kTrace, "    no match devID:%" PRId64 "  vs stat:%" PRId64 "\n",
                    static_cast<int64_t>(dev), static_cast<int64_t>(e.attrs.devID));
      continue;
    }
    rc = w.callback(w.path, w.context, &e.attrs);
    if (rc != QM_SUCCESS && rc != QM_INFO_EXCLUDED) return rc;
  }
  if (dirs == 0) return QM_SUCCESS;
  // Only the subdirectories' names are kept while the walk descends.
  char **names = nullptr;
  rc = qmfile_PackDirs(list, static_cast<int32_t>(files), static_cast<int32_t>(dirs), &names);
  listBlock.reset();
  if (rc != QM_SUCCESS) return rc;
  const HeapBlock namesBlock(names);
  for (uint32_t i = 0; i < dirs; ++i) {
    if (!joinEntry(w, len, names[i], &joined)) continue;
    TRACE_LogFine(kTrace, "Processing sub-dir %s\n", w.path);
    rc = walkTree(w, w.path, joined);
    if (rc != QM_SUCCESS) return rc;
  }
  return QM_SUCCESS;
}

// One level of the walk inside its call frame.
int32_t walkTree(Walk &w, const char *path, size_t len) {
  qmenter(kTrace, "treeWalk", "%s\n", path);
  const int32_t rc = walkLevel(w, path, len);
  qmexit(kTrace, "treeWalk", rc);
  return rc;
}

// ---- removal -------------------------------------------------------------

// Removes one object met by the depth-first removal walk: directories after
// their content, everything else (links included, never followed) by
// unlink. Failures are remembered and the walk goes on, as "rm -rf" does.
int removeEntry(const char *path, const struct stat *, int type, struct FTW *) {
  const bool isDir = type == FTW_DP || type == FTW_DNR;
  if ((isDir ? rmdir(path) : unlink(path)) != 0 && removalError == 0) removalError = errno;
  return 0;
}

// True when path names the root directory itself, under whatever name
// ("/", "//", "/tmp/.."); a link to it is only a link.
bool isRootDirectory(const char *path) {
  struct stat target {};
  struct stat root {};
  return lstat(path, &target) == 0 && stat("/", &root) == 0 && target.st_dev == root.st_dev &&
         target.st_ino == root.st_ino;
}

// Removes the tree without a shell: whatever characters the path holds, it
// is one operand and nothing else is touched. Symbolic links are removed,
// not followed, and file systems mounted below the tree are not entered
// (their mount points stay, so the tree then counts as not removed). The
// root directory is refused, as "rm -rf" refuses it by default.
int32_t removeTree(const char *path) {
  removalError = 0;
  int status = -1;
  if (isRootDirectory(path)) {
    removalError = EPERM;
  } else {
    status = nftw(path, removeEntry, kRemoveOpenFds, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  }
  const int err = removalError != 0 ? removalError : errno;
  TRACE_LogFine(kTrace, "full_rmdir: [%s] result: %d\n", path, status);
  PF_Attrs attrs;
  if (PF_Stat(path, &attrs) == QM_ERR_NOENT) return QM_SUCCESS;
  char what[kRemoveTextSize];
  STR_snprintf(what, sizeof what, "remove tree %s", path);
  QMERR_Announce(QM_ERR_SYSERRMSG, what, strerror(err));
  return QM_ERR_SYSERR;
}

// ---- tail ------------------------------------------------------------------

// Cuts the window text into lines from its end (see qmf_tailFile) and
// stores up to n of them, newest first, in lines. Answers how many.
int32_t cutLines(char *text, int32_t n, const char **lines) {
  size_t rest = strlen(text);
  // Every carriage return lies before crEnd: each step replaces the last one.
  size_t crEnd = rest;
  int32_t count = 0;
  for (;;) {
    auto *cr = static_cast<char *>(memrchr(text, '\r', crEnd < rest ? crEnd : rest));
    if (cr != nullptr) *cr = ' ';
    crEnd = cr != nullptr ? static_cast<size_t>(cr - text) : 0;
    auto *lf = static_cast<char *>(memrchr(text, '\n', rest));
    const char *line = lf != nullptr ? lf + 1 : text;
    if (lf != nullptr) *lf = '\0';
    if (*line != '\0') lines[count++] = line;
    if (lf == nullptr || count == n) return count;
    rest = static_cast<size_t>(lf - text);
  }
}

// Writes line and a line feed at `at` as STR_snprintf(at, size, "%s\n",
// line) writes them, without the formatter: cut to size - 1 characters,
// terminated, and a zero in the last byte of the size. Answers the
// characters written.
size_t putLine(char *at, int32_t size, const char *line) {
  if (size < 1) return 0;
  const auto room = static_cast<size_t>(size) - 1;
  size_t written = strnlen(line, room);
  memcpy(at, line, written);
  if (written < room) at[written++] = '\n';
  at[written] = '\0';
  at[room] = '\0';
  return written;
}

// ---- line count --------------------------------------------------------------

// Counts lines as reading them with fgets into a 5,120-byte buffer does: a
// piece ends after a line feed, after 5,119 bytes without one, or at the end
// of the file, and counts unless its first byte is NUL. Counting stops at
// the limit: max + 1 for a max above 0, else INT32_MAX.
class LineCounter {
 public:
  explicit LineCounter(int32_t max)
      : limit_(max > 0 && max < INT32_MAX ? int64_t{max} + 1 : int64_t{INT32_MAX}) {}

  bool done() const { return count_ >= limit_; }
  int32_t count() const { return static_cast<int32_t>(count_); }

  // Takes the next n bytes of the file.
  void take(const char *p, size_t n) {
    for (; n >= kCountChunk && !done(); p += kCountChunk, n -= kCountChunk) takeChunk(p);
    if (!done()) walk(p, p + n);
  }

  // At the end of the file the open piece, if any, is delivered.
  void finish() {
    if (run_ > 0) endPiece();
  }

 private:
  void add(int64_t pieces) { count_ = count_ + pieces < limit_ ? count_ + pieces : limit_; }

  void endPiece() {
    if (runCounts_) add(1);
    run_ = 0;
  }

  // Piece by piece, exactly.
  void walk(const char *p, const char *end) {
    while (p < end && !done()) {
      if (run_ == 0) runCounts_ = *p != '\0';
      const size_t room = kCountPieceBytes - run_;
      const size_t span = std::min(room, static_cast<size_t>(end - p));
      const auto *lf = static_cast<const char *>(memchr(p, '\n', span));
      if (lf != nullptr) {
        p = lf + 1;
        endPiece();
      } else if (span == room) {
        p += span;
        endPiece();
      } else {
        run_ += span;
        p += span;
      }
    }
  }

  // A whole chunk at once when it holds a line feed and no NUL and the open
  // piece is short enough that no piece can reach 5,119 bytes in it: then
  // every line feed ends a piece, and every piece that starts in the chunk
  // counts. Otherwise piece by piece.
  void takeChunk(const char *p) {
    size_t lineFeeds = 0;
    unsigned char lowest = UCHAR_MAX;
    // In runs of 128 bytes, whose counts fit a byte: a shape that compilers
    // turn into vector compares.
    for (const char *run = p; run < p + kCountChunk; run += 128) {
      unsigned char runLineFeeds = 0;
      for (size_t i = 0; i < 128; ++i) {
        const auto c = static_cast<unsigned char>(run[i]);
        runLineFeeds = static_cast<unsigned char>(runLineFeeds + (c == '\n'));
        lowest = c < lowest ? c : lowest;
      }
      lineFeeds += runLineFeeds;
    }
    const bool nul = lowest == 0;
    if (lineFeeds == 0 || nul || run_ + kCountChunk > kCountPieceBytes) return walk(p, p + kCountChunk);
    const bool openPieceCounts = run_ == 0 || runCounts_;
    add(static_cast<int64_t>(lineFeeds) - (openPieceCounts ? 0 : 1));
    const auto *last = static_cast<const char *>(memrchr(p, '\n', kCountChunk));
    run_ = static_cast<size_t>(p + kCountChunk - 1 - last);
    runCounts_ = true;
  }

  int64_t limit_;
  int64_t count_ = 0;
  size_t run_ = 0;          // bytes of the open piece
  bool runCounts_ = false;  // whether the open piece starts with a byte other than NUL
};

}  // namespace

extern "C" {

// Joins name onto the directory path in buf with exactly one '/' between
// them and answers where the name went; a join that does not fit is cut.
// An empty directory text stays relative: no '/' is put in front of the
// name, so "" and "n" (or "/n") give "n" rather than a path in the root.
// The pieces are copied as bounded formatting would put them, the zero that
// it leaves in the buffer's last byte included.
char *qmfile_dircat(char *buf, int32_t size, const char *name) {
  if (size < 1) return buf;
  const auto bufSize = static_cast<size_t>(size);
  size_t len = strnlen(buf, bufSize);
  // A text with no terminator inside the buffer leaves no room to join into.
  if (len == bufSize) return buf + size - 1;
  if (len > 0 && buf[len - 1] != '/' && len + 1 < bufSize) buf[len++] = '/';
  if (name[0] == '/') ++name;
  const size_t kept = strnlen(name, bufSize - len - 1);
  memmove(buf + len, name, kept);
  buf[len + kept] = '\0';
  buf[size - 1] = '\0';
  return buf + len;
}

// Copies src to dst for replication (see qmfile.h). Both paths are cut and
// put back while a missing destination directory is made.
int32_t qmfile_CopyFile(char *dst, char *src, int64_t catchup, int64_t /*reserved*/,
                        qmfile_CopyCallback callback, uint64_t context, char *msg,
                        int32_t msgSize, int64_t *copied) {
  if (copied != nullptr) *copied = 0;
  qmenter(kTrace, "qmfile_CopyFile", "dst:%s src:%s catchup:%d\n", show(dst), show(src),
          static_cast<int>(catchup));
  int32_t rc = QM_ERR_NULLPARAM;
  if (dst != nullptr && src != nullptr) {
    rc = callback != nullptr ? callback(context) : QM_SUCCESS;
    if (rc == QM_SUCCESS) rc = copyFile(dst, src, catchup != 0, callback, context, msg, msgSize, copied);
  }
  qmexit(kTrace, "qmfile_CopyFile", rc);
  return rc;
}

// The platform layer's name for qmfile_CopyFile.
int32_t PF_CopyFile(char *dst, char *src, int64_t catchup, int64_t reserved,
                    qmfile_CopyCallback callback, uint64_t context, char *msg, int32_t msgSize,
                    int64_t *copied) {
  return qmfile_CopyFile(dst, src, catchup, reserved, callback, context, msg, msgSize, copied);
}

// Creates dest and the missing directories above it, highest first, each
// with the attributes of the model directory at the same depth.
int32_t qmfile_mkdirs(char *dest, char *model) {
  qmenter(kTrace, "qmfile_mkdirs", "dest:[%s] model:[%s]\n", show(dest), show(model));
  const int32_t rc = (dest != nullptr && model != nullptr) ? makeChain(dest, model)
                                                           : QM_ERR_NULLPARAM;
  qmexit(kTrace, "qmfile_mkdirs", rc);
  return rc;
}

// Compares two files byte for byte, 4 KiB at a time.
int32_t qmfile_diff(const char *path1, const char *path2) {
  if (path1 == nullptr || path2 == nullptr) return QM_ERR_BADFILE;
  const Stream f1(fopen(path1, "rbe"));
  const Stream f2(fopen(path2, "rbe"));
  if (!f1 || !f2) return QM_ERR_BADFILE;
  TRACE_LogFine(kTrace, "qmfile_diff %s %s files opened\n", path1, path2);
  char a[kDiffChunk];
  char b[kDiffChunk];
  while (!feof(f1.get())) {
    const size_t n1 = fread(a, 1, sizeof a, f1.get());
    const size_t n2 = fread(b, 1, sizeof b, f2.get());
    if (n1 != n2 || memcmp(a, b, n1) != 0) {
      TRACE_LogFine(kTrace, "qmfile_diff sizes or data misatch %d %d\n", static_cast<int>(n1),
                    static_cast<int>(n1 != n2 ? n2 : n1));
      return QM_ERR_BADFILE;
    }
    // A read error never reaches the end of the file; it counts as a difference.
    if (ferror(f1.get()) || ferror(f2.get())) return QM_ERR_BADFILE;
  }
  return feof(f2.get()) ? QM_SUCCESS : QM_ERR_BADFILE;
}

// Finds where the tail that the directory parts of src and dst share
// begins in src, at whole components; "" when either holds no '/'.
const char *qmfile_findOverlap(const char *src, const char *dst) {
  qmenter(kTrace, "qmfile_findOverlap", "src:%s dst:%s\n", show(src), show(dst));
  const char *s = src != nullptr ? strrchr(src, '/') : nullptr;
  const char *d = dst != nullptr ? strrchr(dst, '/') : nullptr;
  const char *result = "";
  if (s != nullptr && d != nullptr) {
    while (*s == *d && s != src && d != dst) {
      --s;
      --d;
    }
    result = strchr(s, '/');
  }
  qmexits(kTrace, "qmfile_findOverlap", result);
  return result;
}

// Lists one directory as a sorted array of entries with their attributes.
int32_t qmfile_ScanDir(const char *dir, qmfile_DirEntry **list, uint32_t *files,
                       uint32_t *dirs) {
  qmenter(kTrace, "ScanDir", "dir:[%s]\n", show(dir));
  if (dirs != nullptr) *dirs = 0;
  if (list != nullptr) *list = nullptr;
  if (files != nullptr) *files = 0;
  const int32_t rc = (dir != nullptr && list != nullptr && files != nullptr && dirs != nullptr)
                         ? scanDir(dir, list, files, dirs)
                         : QM_ERR_NULLPARAM;
  qmexit(kTrace, "ScanDir", rc);
  return rc;
}

// Walks a tree depth-first, pre-order, offering every directory and regular
// file to the callback. Entries whose whole path does not fit the walk's
// path buffer are left out, never offered cut; the walk then ends with
// IVLENGTH unless something else ended it first.
int32_t qmfile_treeWalk(const char *path, qmfile_WalkCallback callback, uint64_t context) {
  if (path == nullptr || callback == nullptr) return QM_ERR_NULLPARAM;
  Walk w{callback, context, false, {}};
  const size_t len = strlen(path);
  const char *top = path;
  if (len < sizeof w.path) {
    memcpy(w.path, path, len + 1);
    top = w.path;
  }
  int32_t rc = walkTree(w, top, len);
  if (rc == QM_SUCCESS && w.leftOut) rc = QM_ERR_IVLENGTH;
  return rc;
}

// Counts the entries of a directory other than "." and "..", up to max.
int32_t qmfile_CountItemsInDir(const char *dir, int32_t max) {
  DirHandle handle;
  return countItems(dir, max, handle, nullptr);
}

// Removes a directory tree; an empty or missing directory is removed (or
// found gone) by the platform call alone.
int32_t qmfile_rmdirTree(const char *path) {
  qmenter(kTrace, "qmfile_rmdirTree", "Tree:%s\n", show(path));
  int32_t rc = QM_ERR_NULLPARAM;
  if (path != nullptr) rc = PF_rmdir(path) == QM_SUCCESS ? QM_SUCCESS : removeTree(path);
  qmexit(kTrace, "qmfile_rmdirTree", rc);
  return rc;
}

// Removes the directories above a removed object while they are empty, up
// to (not including) stopAt.
int32_t qmfile_AttemptRmdir(char *path, const char *stopAt) {
  qmenter(kTrace, "qmfile_AttemptRmdir", "[%s] stopAt[%s]\n", show(path), show(stopAt));
  char *slash = path != nullptr ? strrchr(path, '/') : nullptr;
  if (slash == nullptr) {
    qmexit(kTrace, "qmfile_AttemptRmDir", QM_SUCCESS);
    return QM_SUCCESS;
  }
  const TextCut parent(slash);
  if (stopAt != nullptr) {
    const char *hit = strstr(path, stopAt);
    if (hit != nullptr && hit + strlen(stopAt) == slash) {
      qmexit(kTrace, "qmFile_AttemptRmDir", QM_SUCCESS);
      return QM_SUCCESS;
    }
  }
  if (qmfile_CountItemsInDir(path, 2) == 0 && PF_rmdir(path) == QM_SUCCESS) {
    TRACE_LogFine(kTrace, "qmfile_AttemptRmdir: Removed %s\n", path);
    qmfile_AttemptRmdir(path, stopAt);
  }
  qmexit(kTrace, "qmfile_AttemptRmDir", QM_SUCCESS);
  return QM_SUCCESS;
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

// Gives the last n lines of a text file, looking at its last n * 256 bytes.
// Decisions for small arguments: n below 1 or an out size below 1 is
// refused with BADPARAM (out emptied when it has room); with an out size
// below 128 lines are appended until the buffer is full.
int32_t qmf_tailFile(const char *path, int32_t n, char *out, int32_t outSize,
                     int64_t newestFirst) {
  if (out == nullptr || outSize < 1) return QM_ERR_BADPARAM;
  out[0] = '\0';
  if (path == nullptr || n < 1) return QM_ERR_BADPARAM;
  if (n > kTailMaxLines) n = kTailMaxLines;
  const int32_t window = n * kTailBytesPerLine;
  const HeapBlock block(MEM_malloc(-8, window + 1, "tail"));
  if (!block) return QM_ERR_NOMEM;
  char *text = block.as<char>();
  {
    const Fd fd(PF_open(path, O_RDONLY | O_CLOEXEC, 0));
    if (!fd.ok()) {
      if (errno == ENOENT) return QM_ERR_NOENT;
      STR_snprintf(out, outSize, "%s [%s]\n", QMERR_err2str(QM_ERR_BADFILE), path);
      return QM_ERR_BADFILE;
    }
    lseek(fd.get(), -static_cast<off_t>(window), SEEK_END);  // fails, and stays at 0, for a short file
    text[readUpTo(fd.get(), text, static_cast<size_t>(window))] = '\0';
  }
  const char *lines[kTailMaxLines];
  const int32_t count = cutLines(text, n, lines);
  const int32_t stopAbove = outSize >= kTailReserve ? outSize - kTailReserve : outSize - 3;
  int32_t used = 0;
  for (int32_t i = 0; i < count; ++i) {
    const char *line = newestFirst != 0 ? lines[i] : lines[count - 1 - i];
    used += static_cast<int32_t>(putLine(out + used, outSize - used - 1, line));
    if (used > stopAbove) break;
  }
  out[outSize - 1] = '\0';
  return QM_SUCCESS;
}

// Counts the lines of a text file; a line longer than the 5,119-byte line
// buffer counts once per piece. With max > 0 counting stops at max + 1. A
// read error (an interrupted read too, as for the line reader) ends the
// count without the piece it was reading.
int32_t qmfile_getCount(const char *path, int32_t max) {
  qmenter(kTrace, "qmfile_getCount", "file:%s max:%d\n", show(path), max);
  LineCounter lines(max);
  const Fd fd(path != nullptr ? PF_open(path, O_RDONLY | O_CLOEXEC, 0) : -1);
  if (!fd.ok()) {
    TRACE_LogFine(kTrace, "qmfile_getCount:Failed to open, %s\n", strerror(errno));
  } else {
    char block[kCountBlock];
    while (!lines.done()) {
      const ssize_t got = read(fd.get(), block, sizeof block);
      if (got == 0) lines.finish();
      if (got <= 0) break;
      lines.take(block, static_cast<size_t>(got));
    }
  }
  qmexitn(kTrace, "qmfile_getCount", lines.count());
  return lines.count();
}

// Reads a small file into the caller's buffer with one read and terminates
// it; a longer file gives its first size - 1 bytes. A size below 1 leaves
// no room for the terminator and is refused with BADPARAM.
int32_t qmf_insertFile(const char *path, char *buffer, int32_t size) {
  if (path == nullptr || buffer == nullptr || size < 1) return QM_ERR_BADPARAM;
  Fd fd(PF_open(path, O_RDONLY | O_CLOEXEC, 0));
  if (!fd.ok()) return errno == ENOENT ? QM_ERR_NOENT : QM_ERR_BADFILE;
  const ssize_t got = read(fd.get(), buffer, static_cast<size_t>(size) - 1);
  fd.reset();
  if (got < 0) return QM_ERR_IOERR;
  buffer[got] = '\0';
  return QM_SUCCESS;
}

// A failed replication may be retried after an input/output error only.
int32_t qmfile_restartable(int32_t err, const char *) { return err == EIO ? 1 : 0; }

}  // extern "C"

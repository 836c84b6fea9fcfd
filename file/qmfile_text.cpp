/*
 * qmfile_text.cpp - small text-file utilities (qmfile.h): the last lines of
 * a file, its line count, a small file read whole into a buffer, and the
 * byte comparison of two files. Working buffers come from the debug heap or
 * the stack; descriptors are owned by guards. State: none.
 */
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "file/file_internal.h"
#include "pf_file.h"
#include "platform/pf_sys.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmfile.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

using rtk::file::HeapBlock;
using rtk::file::kTrace;
using rtk::file::Shown;
using rtk::platform::CodeForErrno;
using rtk::platform::ErrnoCode;
using rtk::platform::Fd;

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

// The comparison reads this many bytes at a time from each file.
constexpr size_t kDiffChunk = 4096;

// The tail and the whole-file read tell a missing file apart; any other
// failure to open gives BADFILE.
constexpr ErrnoCode kOpenCodes[] = {{ENOENT, QM_ERR_NOENT}};

// Opens a file for reading (not repeated after a signal, see RetryOnSignal).
int openForReading(const char *path) { return PF_open(path, O_RDONLY | O_CLOEXEC, 0); }

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
    const Fd fd(openForReading(path));
    if (!fd.ok()) {
      const int32_t rc = CodeForErrno(errno, kOpenCodes);
      if (rc == QM_ERR_BADFILE) STR_snprintf(out, outSize, "%s [%s]\n", QMERR_err2str(rc), path);
      return rc;
    }
    rtk::platform::Seek(fd.get(), -window, SEEK_END);  // fails, and stays at 0, for a short file
    text[rtk::platform::ReadUpTo(fd.get(), text, static_cast<size_t>(window)).bytes] = '\0';
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
  qmenter(kTrace, __func__, "file:%s max:%d\n", Shown(path), max);
  LineCounter lines(max);
  const Fd fd(path != nullptr ? openForReading(path) : -1);
  if (!fd.ok()) {
    TRACE_LogFine(kTrace, "qmfile_getCount:Failed to open, %s\n", strerror(errno));
  } else {
    char block[kCountBlock];
    while (!lines.done()) {
      const ssize_t got = rtk::platform::ReadSome(fd.get(), block, sizeof block);
      if (got == 0) lines.finish();
      if (got <= 0) break;
      lines.take(block, static_cast<size_t>(got));
    }
  }
  qmexitn(kTrace, __func__, lines.count());
  return lines.count();
}

// Reads a small file into the caller's buffer with one read and terminates
// it; a longer file gives its first size - 1 bytes. A size below 1 leaves
// no room for the terminator and is refused with BADPARAM.
int32_t qmf_insertFile(const char *path, char *buffer, int32_t size) {
  if (path == nullptr || buffer == nullptr || size < 1) return QM_ERR_BADPARAM;
  Fd fd(openForReading(path));
  if (!fd.ok()) return CodeForErrno(errno, kOpenCodes);
  const ssize_t got = rtk::platform::ReadSome(fd.get(), buffer, static_cast<size_t>(size) - 1);
  fd.reset();
  if (got < 0) return QM_ERR_IOERR;
  buffer[got] = '\0';
  return QM_SUCCESS;
}

// Compares two files byte for byte, 4 KiB at a time, reading each as a
// buffered stream would: a read error never reaches the end of the file and
// counts as a difference.
int32_t qmfile_diff(const char *path1, const char *path2) {
  if (path1 == nullptr || path2 == nullptr) return QM_ERR_BADFILE;
  const Fd f1(openForReading(path1));
  const Fd f2(openForReading(path2));
  if (!f1.ok() || !f2.ok()) return QM_ERR_BADFILE;
  TRACE_LogFine(kTrace, "qmfile_diff %s %s files opened\n", path1, path2);
  char a[kDiffChunk];
  char b[kDiffChunk];
  bool end2 = false;
  for (bool end1 = false; !end1;) {
    const rtk::platform::ReadResult r1 = rtk::platform::ReadUpTo(f1.get(), a, sizeof a);
    const rtk::platform::ReadResult r2 = rtk::platform::ReadUpTo(f2.get(), b, sizeof b);
    if (r1.bytes != r2.bytes || memcmp(a, b, r1.bytes) != 0) {
      TRACE_LogFine(kTrace, "qmfile_diff sizes or data misatch %d %d\n", static_cast<int>(r1.bytes),
                    static_cast<int>(r1.bytes != r2.bytes ? r2.bytes : r1.bytes));
      return QM_ERR_BADFILE;
    }
    if (r1.failed || r2.failed) return QM_ERR_BADFILE;
    end1 = r1.atEnd;
    end2 = end2 || r2.atEnd;
  }
  return end2 ? QM_SUCCESS : QM_ERR_BADFILE;
}

}  // extern "C"

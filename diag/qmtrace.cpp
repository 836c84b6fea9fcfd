/*
 * qmtrace.cpp - the trace: the named subsystem bits, the process-wide trace
 * settings and their setters, and the one function that writes every trace
 * line. The trace command that reads and builds the settings as XML is
 * qmtrace_command.cpp.
 *
 * A plain trace line, handed to the message log as a Print line:
 *
 *   <depth blanks><mask name> [<function> ]<message>
 *
 * An XML trace record (the depth is neither used nor changed):
 *
 *   <trace code="<mask name>" [func="<function>" ]msg="<message>"/>\n
 *
 * Threads: the mask, level and mode are single atomic words read before
 * any lock is taken, so an untraced line takes no lock. The program
 * filter and the indentation depth are used under the output lock that the
 * message log shares; the finished line is handed to the log after the lock
 * is released.
 */
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>

#include "diag/diag_internal.h"
#include "pf_user.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

using rtk::diag::kProgramSize;

// One named subsystem bit of the trace mask.
struct TraceCode {
  uint64_t mask;
  char name[32];
};

// The named bits (the product's table `codes`), searched in this order.
// VFTEST stands twice (rows 49 and 52) and row 49 is out of bit order; bit
// 43 and bits 55-63 have no row.
constexpr TraceCode kCodes[] = {
    {QM_TRACE_BASIC, "BASIC"},
    {QM_TRACE_DEBUG1, "DEBUG1"},
    {QM_TRACE_SYS, "SYS"},
    {QM_TRACE_HOOK, "HOOK"},
    {QM_TRACE_HOOK_IO, "HOOK_IO"},
    {QM_TRACE_QMA, "QMA"},
    {QM_TRACE_REPLQ, "REPLQ"},
    {QM_TRACE_REPLT, "REPLT"},
    {QM_TRACE_REPLK, "REPLK"},
    {QM_TRACE_REPLD, "REPLD"},
    {QM_TRACE_LOG, "LOG"},
    {QM_TRACE_EXEC, "EXEC"},
    {QM_TRACE_AUDIT, "AUDIT"},
    {QM_TRACE_QML, "QML"},
    {QM_TRACE_QML_OPEN, "QML_OPEN"},
    {QM_TRACE_QML_WRITE, "QML_WRITE"},
    {QM_TRACE_QML_CLOSE, "QML_CLOSE"},
    {QM_TRACE_QML_META, "QML_META"},
    {QM_TRACE_HTML, "HTML"},
    {QM_TRACE_HTML_GET, "HTML_GET"},
    {QM_TRACE_HTML_SET, "HTML_SET"},
    {QM_TRACE_XML, "XML"},
    {QM_TRACE_QMQ, "QMQ"},
    {QM_TRACE_METRIC, "METRIC"},
    {QM_TRACE_ERR, "ERR"},
    {QM_TRACE_HASH, "HASH"},
    {QM_TRACE_IOCTL, "IOCTL"},
    {QM_TRACE_PF, "PF"},
    {QM_TRACE_FILE, "FILE"},
    {QM_TRACE_LRP, "LRP"},
    {QM_TRACE_ANALFS, "ANALFS"},
    {QM_TRACE_ANALFS_XML, "ANALFS_XML"},
    {QM_TRACE_ANALFS_FILES, "ANALFS_FILES"},
    {QM_TRACE_HTML_RESTORE, "HTML_RESTORE"},
    {QM_TRACE_EXPUNGE, "EXPUNGE"},
    {QM_TRACE_FNAME, "FNAME"},
    {QM_TRACE_WORM, "WORM"},
    {QM_TRACE_CAS, "CAS"},
    {QM_TRACE_TABULATION, "TABULATION"},
    {QM_TRACE_QML_LIST, "QML_LIST"},
    {QM_TRACE_MIRROR_META, "MIRROR_META"},
    {QM_TRACE_MIRROR_IO, "MIRROR_IO"},
    {QM_TRACE_MIRROR_IOLIST, "MIRROR_IOLIST"},
    {QM_TRACE_MIRROR_DRAINER, "MIRROR_DRAINER"},
    {QM_TRACE_RENAME, "RENAME"},
    {QM_TRACE_ASSOC, "ASSOC"},
    {QM_TRACE_VSB, "VSB"},
    {QM_TRACE_PACK, "PACK"},
    {QM_TRACE_FSMON, "FSMON"},
    {QM_TRACE_VFTEST, "VFTEST"},
    {QM_TRACE_SYSPROTECT, "SYSPROTECT"},
    {QM_TRACE_PURGE, "PURGE"},
    {QM_TRACE_VFTEST, "VFTEST"},
    {QM_TRACE_WS, "WS"},
    {QM_TRACE_RTK, "RTK"},
};
static_assert(std::size(kCodes) == 55);
static_assert(QM_TRACE_RTK == 0x0040000000000000ull);

// The level names (the product's TRACE_Level2str), indexed by level.
constexpr const char *kLevelNames[] = {"Coarse", "Medium", "Fine"};
constexpr auto kLevelCount = static_cast<int32_t>(std::size(kLevelNames));

constexpr int kTokenRoom = 30;        // a mask token is read up to 29 characters
constexpr int kLineSize = 5120;       // a trace line holds at most 5119 characters
constexpr int kMessageLimit = 5110;   // the message ends within this many bytes
constexpr int kMaxDepth = 20;

// ---- process-wide state --------------------------------------------------
// The settings (trace mask 0, level Fine, no filter, plain lines) and the
// indentation depth. The mask, level and mode are atomic words; the program
// filter and the depth are used under the output lock.
struct {
  std::atomic<uint64_t> tracemask;
  std::atomic<uint32_t> traceLevel;
  std::atomic<int64_t> modeXML;
  char traceProgram[kProgramSize];
  int32_t indent;
} trace = {0, QM_TRACE_FINE, 0, {}, 0};
// ---------------------------------------------------------------------------

// For each bit of a mask, the index of the first row that has it, or
// kNoRow: the first row that shares a bit with a mask is the lowest of these
// over the mask's bits.
constexpr size_t kNoRow = std::size(kCodes);
constexpr auto kFirstRowOfBit = [] {
  std::array<size_t, 64> rows{};
  for (size_t bit = 0; bit < rows.size(); ++bit) {
    rows[bit] = kNoRow;
    for (size_t i = 0; i < std::size(kCodes) && rows[bit] == kNoRow; ++i) {
      if (((kCodes[i].mask >> bit) & 1) != 0) rows[bit] = i;
    }
  }
  return rows;
}();

// The name of the first row, in row order, whose bit the mask has.
const char *code2str(uint64_t mask) {
  size_t first = kNoRow;
  for (; mask != 0; mask &= mask - 1) first = std::min(first, kFirstRowOfBit[std::countr_zero(mask)]);
  return first != kNoRow ? kCodes[first].name : "??err??";
}

// Appends text to a fixed buffer, never past its end; the buffer always
// stays terminated.
struct LineBuilder {
  char *buf;
  int size;
  int len = 0;

  void append(const char *text) {
    while (*text != '\0' && len < size - 1) buf[len++] = *text++;
    buf[len] = '\0';
  }
  void blanks(int count) {
    while (count-- > 0 && len < size - 1) buf[len++] = ' ';
    buf[len] = '\0';
  }
  // Appends the formatted message within limit bytes of the buffer's start,
  // terminator included, like vsnprintf.
  void message(const char *fmt, va_list args, int limit) {
    const int room = limit - len;
    if (fmt == nullptr || room <= 1) return;
    const int n = std::vsnprintf(buf + len, static_cast<size_t>(room), fmt, args);
    if (n > 0) len += n < room ? n : room - 1;
  }
};

// Copies fmt into copy with its first line feed made a blank (the XML
// record keeps a one-line message). A format too long for the copy is cut
// before the last conversion that the cut might have split.
void formatWithoutFirstNewline(const char *fmt, char (&copy)[kLineSize]) {
  STR_copy(copy, fmt, kLineSize);
  const size_t len = std::strlen(copy);
  if (fmt[len] != '\0') {
    char *lastConversion = nullptr;
    for (char *p = copy; *p != '\0'; ++p) {
      if (*p != '%') continue;
      if (p[1] == '%') {
        ++p;
      } else {
        lastConversion = p;
      }
    }
    if (lastConversion != nullptr) *lastConversion = '\0';
  }
  char *newline = std::strchr(copy, '\n');
  if (newline != nullptr) *newline = ' ';
}

// Builds a plain trace line into out, moving the depth by step. Entry and
// exit lines of "hook_" functions start again from depth 0.
void buildPlainLine(LineBuilder &out, int32_t step, uint64_t mask, const char *func,
                    const char *fmt, va_list args) {
  if (step != 0 && STR_strncasecmp(func, "hook_", 5) == 0) trace.indent = 0;
  const int32_t blanks = step < 0 ? trace.indent + step : trace.indent;
  if (blanks >= 1 && blanks < kMaxDepth) out.blanks(blanks);
  int32_t depth = trace.indent + step;
  if (depth < 0) depth = 0;
  if (depth > kMaxDepth) depth = kMaxDepth;
  trace.indent = depth;
  out.append(code2str(mask));
  out.append(" ");
  if (func[0] != '\0') {
    out.append(func);
    out.append(" ");
  }
  out.message(fmt, args, kMessageLimit);
}

// Builds an XML trace record into out. Nothing in it is escaped.
void buildXmlRecord(LineBuilder &out, uint64_t mask, const char *func, const char *fmt,
                    va_list args) {
  out.append("<trace code=\"");
  out.append(code2str(mask));
  out.append("\" ");
  if (func[0] != '\0') {
    out.append("func=\"");
    out.append(func);
    out.append("\" ");
  }
  out.append("msg=\"");
  if (fmt != nullptr) {
    char oneLine[kLineSize];
    formatWithoutFirstNewline(fmt, oneLine);
    out.message(oneLine, args, kMessageLimit);
  }
  out.append("\"/>\n");
}

}  // namespace

namespace rtk::diag {

// The level and mask tests of TRACE_Logv, for the writers to make before
// they gather their arguments.
bool LineWanted(uint64_t mask, uint32_t level) {
  return level <= trace.traceLevel.load(std::memory_order_relaxed) &&
         (mask & trace.tracemask.load(std::memory_order_relaxed)) != 0;
}

// Copies the program filter under the output lock.
void CopyProgramFilter(char *out, int32_t size) {
  OutputLock lock;
  STR_copy(out, trace.traceProgram, size);
}

}  // namespace rtk::diag

// Writes one trace line when its level, the program filter and its mask let
// it through; a line that is dropped changes nothing, not even the depth.
// The level and mask tests come first, so an untraced line takes no lock.
void TRACE_Logv(int32_t step, uint64_t mask, const char *func, const char *fmt, va_list args,
                uint32_t level) {
  if (!rtk::diag::LineWanted(mask, level)) return;
  if (func == nullptr) func = "";
  char line[kLineSize];
  {
    rtk::diag::OutputLock lock;
    if (trace.traceProgram[0] != '\0') {
      char program[kProgramSize];
      PF_GetCurrentProgram(program, kProgramSize);
      if (STR_strstrcase(program, trace.traceProgram) == nullptr) return;
    }
    LineBuilder out{line, kLineSize};
    line[0] = '\0';
    if (trace.modeXML.load(std::memory_order_relaxed) == 0) {
      buildPlainLine(out, step, mask, func, fmt, args);
    } else {
      buildXmlRecord(out, mask, func, fmt, args);
    }
  }
  rtk::diag::LogPrintLine(line);
}

// Writes an exit line of the call frame.
void TRACE_Logf(uint64_t mask, const char *func, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  TRACE_Logv(-1, mask, func, fmt, args, QM_TRACE_MEDIUM);
  va_end(args);
}

extern "C" {

// Replaces the trace mask.
void TRACE_Set(uint64_t mask) { trace.tracemask.store(mask, std::memory_order_relaxed); }

// Adds bits to the trace mask.
void TRACE_AddBit(uint64_t bits) { trace.tracemask.fetch_or(bits, std::memory_order_relaxed); }

// Reads the trace mask; a null pointer is ignored.
void TRACE_Get(uint64_t *mask) {
  if (mask != nullptr) *mask = trace.tracemask.load(std::memory_order_relaxed);
}

// Nonzero when the mask shares a bit with the trace mask.
int32_t LogOn(uint64_t mask) {
  return (mask & trace.tracemask.load(std::memory_order_relaxed)) != 0 ? 1 : 0;
}

// Sets the mask from names separated by commas or, where no comma follows,
// by bars. "all" stands for every bit but DEBUG1. An unknown name leaves the
// mask as it was and answers IVLOGLVL; an empty text clears the mask.
int32_t TRACE_SetByStr(const char *text) {
  if (text == nullptr) return QM_ERR_NULLPARAM;
  uint64_t mask = 0;
  const char *p = text;
  while (*p != '\0') {
    const char *end = std::strchr(p, ',');
    if (end == nullptr) end = std::strchr(p, '|');
    if (end == nullptr) end = p + std::strlen(p);
    char token[kTokenRoom];
    const size_t len = static_cast<size_t>(end - p);
    const size_t kept = len < kTokenRoom - 1 ? len : kTokenRoom - 1;
    std::memcpy(token, p, kept);
    token[kept] = '\0';
    p = *end != '\0' ? end + 1 : end;
    if (token[0] == '\0') continue;
    if (STR_strcasecmp(token, "all") == 0) {
      mask = QM_TRACE_ALL;
      continue;
    }
    const TraceCode *found = nullptr;
    for (const TraceCode &row : kCodes) {
      if (STR_strcasecmp(token, row.name) == 0) {
        found = &row;
        break;
      }
    }
    if (found == nullptr) return QM_ERR_IVLOGLVL;
    mask |= found->mask;
  }
  TRACE_Set(mask);
  return QM_SUCCESS;
}

// Writes the names of the mask's bits, comma-separated and in row order,
// and stops once 9 bytes or fewer of the buffer are left.
void TRACE_mask2str(uint64_t mask, char *out, int32_t size) {
  if (out == nullptr || size < 1) return;
  out[0] = '\0';
  int32_t room = size;
  int32_t len = 0;
  bool first = true;
  for (const TraceCode &row : kCodes) {
    if ((mask & row.mask) == 0) continue;
    if (!first) {
      out[len++] = ',';
      --room;
    }
    first = false;
    const int32_t nameLen = static_cast<int32_t>(std::strlen(row.name));
    const int32_t kept = nameLen < room - 1 ? nameLen : room - 1;
    if (kept > 0) std::memcpy(out + len, row.name, static_cast<size_t>(kept));
    len += kept > 0 ? kept : 0;
    out[len] = '\0';
    room -= nameLen;
    if (room <= 9) break;
  }
}

// Sets the level by name. A name other than the three is refused with
// IVLOGLVL and leaves the level alone, so the level always names a row of
// the level table.
int32_t TRACE_SetLevelByStr(const char *name) {
  if (name == nullptr) return QM_ERR_IVLOGLVL;
  const int32_t level = STR_str2enum(name, kLevelNames, kLevelCount);
  if (level < 0 || level >= kLevelCount) return QM_ERR_IVLOGLVL;
  trace.traceLevel.store(static_cast<uint32_t>(level), std::memory_order_relaxed);
  return QM_SUCCESS;
}

// The name of the current level.
const char *TRACE_GetLevelStr(void) {
  return kLevelNames[trace.traceLevel.load(std::memory_order_relaxed)];
}

// Sets the program filter (at most 15 characters); null or "" clears it.
void TRACE_SetProgram(const char *program) {
  rtk::diag::OutputLock lock;
  if (program == nullptr) program = "";
  STR_copy(trace.traceProgram, program, kProgramSize);
}

// The program filter, empty when there is none. The caller reads the
// stored text itself, so a filter set meanwhile by another thread may show.
const char *TRACE_GetProgram(void) { return trace.traceProgram; }

// Sets the output mode: 0 plain lines, nonzero XML records.
void TRACE_SetMode(int64_t mode) { trace.modeXML.store(mode, std::memory_order_relaxed); }

// Trace writers at a fixed level, with no function name and depth step 0;
// the level and mask tests come first, before the arguments are gathered.
#define RTK_FIXED_LEVEL_WRITER(name, level)                 \
  void name(uint64_t mask, const char *fmt, ...) {          \
    if (!rtk::diag::LineWanted(mask, level)) return;        \
    va_list args;                                           \
    va_start(args, fmt);                                    \
    TRACE_Logv(0, mask, "", fmt, args, level);              \
    va_end(args);                                           \
  }
RTK_FIXED_LEVEL_WRITER(TRACE_LogCoarse, QM_TRACE_COARSE)
RTK_FIXED_LEVEL_WRITER(TRACE_LogMedium, QM_TRACE_MEDIUM)
RTK_FIXED_LEVEL_WRITER(TRACE_LogFine, QM_TRACE_FINE)
#undef RTK_FIXED_LEVEL_WRITER

// Trace writer at a given level; levels above Fine are never written.
void TRACE_LogL(uint64_t mask, uint32_t level, const char *fmt, ...) {
  if (!rtk::diag::LineWanted(mask, level)) return;
  va_list args;
  va_start(args, fmt);
  TRACE_Logv(0, mask, "", fmt, args, level);
  va_end(args);
}

}  // extern "C"

// diag_internal.h - what the diagnostics sources share and nothing else sees:
// the output lock, the internal trace writers and the trace settings that
// the trace command reads.
//
// The output lock serialises the message log (repeat state, target output)
// and the trace (indentation depth, program filter), so that concurrent
// callers never mix lines. Under it only the strings, the clock, the
// current program's name, the catalogue's table and PF_Log run: none of them
// logs or traces, so the lock is never taken twice by one thread. It is
// never held while foreign code runs (the error hook).
#pragma once

#include <cstdarg>
#include <cstdint>

namespace rtk::diag {

// Holds the output lock for its lifetime.
class OutputLock {
 public:
  OutputLock();
  ~OutputLock();
  OutputLock(const OutputLock &) = delete;
  OutputLock &operator=(const OutputLock &) = delete;
};

// The level and mask tests of a trace line, for a writer to make before it
// gathers its arguments.
bool LineWanted(uint64_t mask, uint32_t level);

// Logs a finished trace line as a Print line of the message log.
void LogPrintLine(const char *line);

// Room of the program filter, terminator included: at most 15 characters.
inline constexpr int32_t kProgramSize = 16;

// Copies the program filter into out (size bytes, as STR_copy does) under
// the output lock, so that a filter set meanwhile is never read half-way.
void CopyProgramFilter(char *out, int32_t size);

}  // namespace rtk::diag

// Writes one trace line: the level, program-filter and mask tests, then the
// line (plain and indented by the call depth, or an XML record) to the log.
// step is +1 for entry lines, -1 for exit lines and 0 otherwise.
void TRACE_Logv(int32_t step, uint64_t mask, const char *func, const char *fmt, va_list args,
                uint32_t level);

// Writes an exit line: depth step -1, level Medium.
void TRACE_Logf(uint64_t mask, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

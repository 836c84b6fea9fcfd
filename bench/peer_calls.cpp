// peer_calls.cpp - the benchmarks' stand-in calls (see peer_calls.h).
#include "peer_calls.h"

namespace rtkbench {

// An empty variadic function; its own source file and the asm statement
// keep every call to it a real call.
__attribute__((noinline)) void EmptyTraceCall(uint64_t, const char *, ...) {
  asm volatile("");
}

}  // namespace rtkbench

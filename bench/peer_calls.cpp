// peer_calls.cpp - the benchmarks' stand-in calls (see peer_calls.h).
#include "peer_calls.h"

namespace rtkbench {

// An empty variadic function; the asm statement keeps it a real call.
__attribute__((noinline, noipa)) void EmptyTraceCall(uint64_t, const char *, ...) {
  asm volatile("");
}

}  // namespace rtkbench

// peer_calls.h - functions of the benchmarks' own that stand for the work a
// library call is measured against; they live in their own source file so
// that the compiler cannot inline or drop a call to them.
#pragma once

#include <cstdint>

namespace rtkbench {

// Takes the arguments of a trace writer and does nothing with them.
void EmptyTraceCall(uint64_t mask, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace rtkbench

// Helpers shared by the fuzz targets: exactly-sized heap blocks (so that
// AddressSanitizer sees any byte read or written past a caller's buffer),
// a check that aborts (libFuzzer then keeps the input), the reader of the
// '\n'-separated fields in which the seeds are written, and the discarding
// of standard output (in which no target looks).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace fuzz {

// Aborts when a property does not hold; libFuzzer reports the input.
inline void check(bool ok) {
  if (!ok) std::abort();
}

// A heap block of exactly `size` bytes (none below 1) holding a copy of `s`,
// cut to fit and terminated. A block of size 0 is a real zero-byte
// allocation, so that a function told "no room" is caught if it writes
// anyway.
inline std::unique_ptr<char[]> block(const std::string &s, int64_t size) {
  std::unique_ptr<char[]> b(new char[size > 0 ? static_cast<size_t>(size) : 0]);
  if (size > 0) b[s.copy(b.get(), static_cast<size_t>(size) - 1)] = '\0';
  return b;
}

// The input, read field by field: the text up to `stop` (or the end),
// stepping over it, as a C function would see it: up to its first NUL.
// field('\0') answers the rest.
struct Input {
  const uint8_t *p, *end;
  std::string field(char stop = '\n') {
    const uint8_t *start = p;
    while (p < end && *p != stop) ++p;
    const std::string s(start, p);
    p += p < end;
    return s.c_str();
  }
};

// Standard output, where the library's log lines would go, is sent to
// /dev/null when a target starts.
inline const int stdoutDiscarded = dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);

}  // namespace fuzz

// Helpers shared by the fuzz targets: exactly-sized heap blocks (so that
// AddressSanitizer sees any byte read or written past a caller's buffer),
// a check that aborts (libFuzzer then keeps the input), the reader of the
// '\n'-separated fields in which the seeds are written, and the discarding
// of standard output.
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

// A heap block of exactly `size` bytes holding a copy of `s`, cut to fit
// and terminated. A block of size 0 is a real zero-byte allocation, so that
// a function told "no room" is caught if it writes anyway.
inline std::unique_ptr<char[]> block(const std::string &s, size_t size) {
  std::unique_ptr<char[]> b(new char[size]);
  if (size > 0) b[s.copy(b.get(), size - 1)] = '\0';
  return b;
}

// The text up to the next '\n' (or the end), stepping over the '\n', as a C
// function would see it: up to its first NUL.
inline std::string field(const uint8_t *&p, const uint8_t *end) {
  const uint8_t *start = p;
  while (p < end && *p != '\n') ++p;
  const std::string s(reinterpret_cast<const char *>(start), static_cast<size_t>(p - start));
  if (p < end) ++p;
  return s.c_str();
}

// Sends standard output, where the library's log lines would go, to
// /dev/null.
inline void discardStdout() { dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), STDOUT_FILENO); }

// The rest of the input, up to its first NUL.
inline std::string rest(const uint8_t *p, const uint8_t *end) {
  return std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p)).c_str();
}

}  // namespace fuzz

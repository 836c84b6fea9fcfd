// Helpers shared by the fuzz targets: exactly-sized heap blocks (so that
// AddressSanitizer sees any byte read or written past a caller's buffer),
// a check that aborts (libFuzzer then keeps the input), and the reader of
// the '\n'-separated fields in which the seeds are written.
#pragma once

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
  if (size == 0) return b;
  const size_t n = s.size() < size ? s.size() : size - 1;
  std::memcpy(b.get(), s.data(), n);
  b[n] = '\0';
  return b;
}

// Takes bytes up to the next '\n' (or the end) and steps over the '\n'.
inline std::string field(const uint8_t *&p, const uint8_t *end) {
  const uint8_t *start = p;
  while (p < end && *p != '\n') ++p;
  std::string s(reinterpret_cast<const char *>(start), static_cast<size_t>(p - start));
  if (p < end) ++p;
  return s;
}

// The text of s up to its first NUL, as a C function would see it.
inline std::string cString(const std::string &s) { return std::string(s.c_str()); }

}  // namespace fuzz

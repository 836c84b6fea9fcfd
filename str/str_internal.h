// str_internal.h - what the string utilities share between their files and
// with the library's other sources, and nothing else sees: ASCII case
// folding as a table, the comparison of STR_strcasecmp for the inner loops
// of the scan's sort, and the test for zero bytes that eight-byte scans use.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace rtk::str {

// Folds an ASCII lower-case letter to upper case; every other byte stays.
constexpr unsigned char Upcase(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 0x20) : c;
}

// Upcase as a table.
inline constexpr auto kUpcase = [] {
  std::array<unsigned char, 256> table{};
  for (unsigned c = 0; c < table.size(); ++c) table[c] = Upcase(static_cast<unsigned char>(c));
  return table;
}();

// Folds an ASCII lower-case letter of a char to upper case, through the table.
inline unsigned char Fold(char c) { return kUpcase[static_cast<unsigned char>(c)]; }

// Compares a and b with ASCII letters folded to upper case: the folded
// difference at the first place where they differ, -1 when a ends first,
// 1 when b does, 0 when both end together.
inline int CompareIgnoringCase(const char *a, const char *b) {
  const auto *pa = reinterpret_cast<const unsigned char *>(a);
  const auto *pb = reinterpret_cast<const unsigned char *>(b);
  for (;; ++pa, ++pb) {
    if (*pa == '\0') return *pb == '\0' ? 0 : -1;
    if (*pb == '\0') return 1;
    const int diff = kUpcase[*pa] - kUpcase[*pb];
    if (diff != 0) return diff;
  }
}

// The high bit of every byte of x that is not zero, and no other bit.
constexpr uint64_t NonzeroBytes(uint64_t x) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
  return (((x & kLow7) + kLow7) | x) & ~kLow7;
}

// The high bit of every zero byte of x, and no other bit. Both tests are
// exact (no carry flags a byte), so the first flagged byte is the first
// such byte in either byte order.
constexpr uint64_t ZeroBytes(uint64_t x) { return NonzeroBytes(x) ^ ~uint64_t{0x7F7F7F7F7F7F7F7Fu}; }

// Where the first flagged byte of a word read from memory stands, counted in
// memory order; flags holds at least one.
inline size_t FirstFlaggedByte(uint64_t flags) {
  const int bit = std::endian::native == std::endian::little ? std::countr_zero(flags) : std::countl_zero(flags);
  return static_cast<size_t>(bit) / 8;
}

}  // namespace rtk::str

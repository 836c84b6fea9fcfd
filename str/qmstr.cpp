/*
 * qmstr.cpp - bounded string basics on 8-bit NUL-terminated strings.
 *
 * Leaf functions: they trace nothing, allocate nothing and keep no state
 * beyond the exported separator byte. Case folding touches ASCII a-z only.
 */
#include "qmstr.h"

namespace {

// Folds an ASCII lower-case letter to upper case; every other byte stays.
constexpr unsigned char upcase(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 0x20 : c; }

}  // namespace

extern "C" {

char STR_thousandths = ',';

// Copies src into dst, at most size - 1 characters, always terminated when
// size >= 1. A size below 1 writes nothing.
char *STR_copy(char *dst, const char *src, int32_t size) {
  if (size < 1) return dst;
  int32_t i = 0;
  for (; i < size - 1 && src[i] != '\0'; ++i) dst[i] = src[i];
  dst[i] = '\0';
  return dst;
}

// Compares a and b with ASCII letters folded to upper case.
int32_t STR_strcasecmp(const char *a, const char *b) {
  const auto *pa = reinterpret_cast<const unsigned char *>(a);
  const auto *pb = reinterpret_cast<const unsigned char *>(b);
  for (;; ++pa, ++pb) {
    if (*pa == '\0') return *pb == '\0' ? 0 : -1;
    if (*pb == '\0') return 1;
    const int diff = upcase(*pa) - upcase(*pb);
    if (diff != 0) return diff;
  }
}

}  // extern "C"

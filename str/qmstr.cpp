/*
 * qmstr.cpp - bounded string basics on 8-bit NUL-terminated strings: copy
 * and append, numbers and case-insensitive comparison, search, formatting
 * and in-place edits. The UTF-8 <-> UTF-16 converters are qmstr_utf.cpp,
 * the wildcard match and file-name shaping qmstr_names.cpp.
 *
 * Leaf functions: they trace nothing, allocate nothing and keep no state
 * beyond the exported separator byte. Case folding touches ASCII a-z only,
 * so '[', '\\', ']', '^', '_' and '`' sort after every letter.
 */
#include "qmstr.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "str/str_internal.h"

namespace {

using rtk::str::Fold;
using rtk::str::kUpcase;

// Multiplier for the unit letter that may follow the digits of a number.
constexpr uint64_t unitMultiplier(char unit) {
  switch (unit) {
    case 'k': case 'K': return uint64_t{1} << 10;
    case 'm': case 'M': return uint64_t{1} << 20;
    case 'g': case 'G': return uint64_t{1} << 30;
    default: return 1;
  }
}

// "00" to "99" one after another, for writing numbers two digits at a time.
constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

}  // namespace

extern "C" {

// ---- process-wide state ------------------------------------------------------
// The one piece of state of the string utilities: the digit-group separator
// that STR_commize inserts. Programs may overwrite it before formatting.
char STR_thousandths = ',';

// ---- copy and append ---------------------------------------------------------

// Copies src into dst, at most size - 1 characters, always terminated when
// size >= 1. A size below 1 leaves dst untouched.
char *STR_copy(char *dst, const char *src, int32_t size) {
  if (size < 1) return dst;
  const size_t len = strnlen(src, static_cast<size_t>(size) - 1);
  memmove(dst, src, len);
  dst[len] = '\0';
  return dst;
}

// Appends src to the string in dst; the whole result keeps at most size - 2
// characters. A size below 2 has no room for even that and leaves dst as it
// is; the length scan of dst never runs past the buffer.
char *STR_cat(char *dst, const char *src, int32_t size) {
  if (size < 2) return dst;
  const size_t len = strnlen(dst, static_cast<size_t>(size));
  if (len >= static_cast<size_t>(size) - 1) {
    dst[size - 2] = '\0';
    return dst;
  }
  STR_copy(dst + len, src, size - static_cast<int32_t>(len) - 1);
  return dst;
}

// ---- numbers and comparison --------------------------------------------------

// Reads an optionally negative decimal number after leading control
// characters and spaces; one k/m/g letter right after the digits scales it.
// Arithmetic wraps in 64 bits; there is no error result.
int64_t STR_toll(const char *s) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  while (*p >= 0x01 && *p <= 0x20) ++p;
  const bool negative = (*p == '-');
  if (negative) ++p;
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  if (negative) value = 0 - value;
  value *= unitMultiplier(static_cast<char>(*p));
  return static_cast<int64_t>(value);
}

// Compares a and b with ASCII letters folded to upper case.
int32_t STR_strcasecmp(const char *a, const char *b) { return rtk::str::CompareIgnoringCase(a, b); }

// As STR_strcasecmp over at most n positions; a count of 0 (or a negative
// count) compares nothing and answers equal.
int32_t STR_strncasecmp(const char *a, const char *b, int32_t n) {
  const auto *pa = reinterpret_cast<const unsigned char *>(a);
  const auto *pb = reinterpret_cast<const unsigned char *>(b);
  for (int32_t i = 0; i < n; ++i) {
    if (pa[i] == '\0') return pb[i] == '\0' ? 0 : -1;
    if (pb[i] == '\0') return 1;
    const int diff = kUpcase[pa[i]] - kUpcase[pb[i]];
    if (diff != 0) return diff;
  }
  return 0;
}

// Index of the first table entry equal to s ignoring case, or -1.
int32_t STR_str2enum(const char *s, const char *const *table, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if (STR_strcasecmp(s, table[i]) == 0) return i;
  }
  return -1;
}

// 1 when s is a non-empty run of decimal digits, else 0.
int32_t STR_isNumeric(const char *s) {
  if (*s == '\0') return 0;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return 0;
  }
  return 1;
}

// ---- search ------------------------------------------------------------------

// First occurrence of needle in hay ignoring case, or null. An empty needle
// never matches: its first byte, the terminator, equals no haystack byte.
char *STR_strstrcase(const char *hay, const char *needle) {
  const unsigned char first = Fold(*needle);
  const auto n = static_cast<int32_t>(strnlen(needle, INT32_MAX));
  for (const char *p = hay; *p != '\0'; ++p) {
    if (Fold(*p) == first && STR_strncasecmp(p, needle, n) == 0)
      return const_cast<char *>(p);
  }
  return nullptr;
}

// First occurrence of dir in path (ignoring case) that starts path or
// follows a '/'; what comes after the occurrence is not examined.
char *STR_withinDir(const char *path, const char *dir) {
  for (const char *from = path;;) {
    char *hit = STR_strstrcase(from, dir);
    if (hit == nullptr) return nullptr;
    if (hit == path || hit[-1] == '/') return hit;
    from = hit + 1;
  }
}

// ---- formatting --------------------------------------------------------------

// Writes value in signed decimal, cut to size - 1 characters, and like
// STR_snprintf stores a zero in the buffer's last byte. The digits are made
// here rather than by the formatter, for the log's time stamps and the
// identity texts of every status record.
char *STR_64toString(char *dst, int32_t size, int64_t value) {
  if (size < 1) return dst;
  char text[21];  // a sign, 19 digits and the terminator
  char *first = text + sizeof text - 1;
  *first = '\0';
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  // Two digits per division: half as many steps in the chain of divisions.
  while (magnitude >= 100) {
    first -= 2;
    memcpy(first, &kDigitPairs[2 * (magnitude % 100)], 2);
    magnitude /= 100;
  }
  if (magnitude >= 10) {
    first -= 2;
    memcpy(first, &kDigitPairs[2 * magnitude], 2);
  } else {
    *--first = static_cast<char>('0' + magnitude);
  }
  if (value < 0) *--first = '-';
  STR_copy(dst, first, size);
  dst[size - 1] = '\0';
  return dst;
}

// Inserts STR_thousandths between groups of three digits, counted from the
// end. A leading '-' is kept out of the grouping so that no separator ever
// follows the sign directly ("-123" stays, "-1234" gives "-1,234"); the
// caller's buffer needs one more byte per separator.
void STR_commize(char *digits) {
  char *start = digits + (digits[0] == '-' ? 1 : 0);
  const size_t len = strlen(start);
  if (len <= 3) return;
  size_t end = len;
  for (size_t pos = len - 3; pos > 0; pos = pos > 3 ? pos - 3 : 0) {
    memmove(start + pos + 1, start + pos, end - pos + 1);
    start[pos] = STR_thousandths;
    ++end;
  }
}

// Renders a byte count for people: above 1 MiB in whole M, above 1 KiB in
// whole K, else plain; digits grouped by STR_commize. 26 bytes always do.
char *STR_pretty(char *dst, int64_t bytes) {
  const char *suffix = "";
  int64_t shown = bytes;
  if (bytes > (int64_t{1} << 20)) {
    shown = bytes >> 20;
    suffix = "M";
  } else if (bytes > (int64_t{1} << 10)) {
    shown = bytes >> 10;
    suffix = "K";
  }
  STR_snprintf(dst, 20, "%" PRId64, shown);
  STR_commize(dst);
  strcat(dst, suffix);
  return dst;
}

// vsnprintf that always stores a zero in the last byte of the buffer and
// answers the length the whole text would have had. A size below 1 writes
// nothing and still answers that length.
int32_t STR_vsnprintf(char *buf, int32_t size, const char *fmt, va_list args) {
  if (size < 1) return vsnprintf(nullptr, 0, fmt, args);
  const int full = vsnprintf(buf, static_cast<size_t>(size), fmt, args);
  buf[size - 1] = '\0';
  return full;
}

// Bounded, always terminated formatting; a size below 1 writes nothing.
// Returns buf, never a length.
char *STR_snprintf(char *buf, int32_t size, const char *fmt, ...) {
  if (size < 1) return buf;
  va_list args;
  va_start(args, fmt);
  STR_vsnprintf(buf, size, fmt, args);
  va_end(args);
  return buf;
}

// ---- in-place edits ----------------------------------------------------------

// Removes the first n characters of s (all of them when n is larger).
char *STR_removeChars(char *s, uint32_t n) {
  const size_t len = strlen(s);
  const size_t cut = n < len ? n : len;
  memmove(s, s + cut, len - cut + 1);
  return s;
}

// Removes leading and trailing spaces (0x20 only; tabs stay).
void STR_trim(char *s) {
  while (s[0] == ' ') STR_removeChars(s, 1);
  for (size_t len = strlen(s); len > 0 && s[len - 1] == ' '; --len) s[len - 1] = '\0';
}

// Inserts ins before s when both fit into size bytes; answers the byte just
// past the inserted text, or the terminator of s when it does not fit.
char *STR_insertStr(char *s, uint32_t size, const char *ins) {
  const size_t len = strlen(s);
  const size_t k = strlen(ins);
  if (len + k >= size) return s + len;
  memmove(s + k, s, len + 1);
  memcpy(s, ins, k);
  return s + k;
}

// Replaces the first occurrence (case-sensitive) of oldText in s by newText.
// Answers the byte past the replacement, the end of s when the replacement
// did not fit (the occurrence is then only removed), or null when there is
// none. An empty oldText counts as not found: otherwise it would match again
// at every position and STR_substitute would never stop.
char *STR_substitute1(char *s, uint32_t size, const char *oldText, const char *newText) {
  if (oldText[0] == '\0') return nullptr;
  char *hit = strstr(s, oldText);
  if (hit == nullptr) return nullptr;
  const auto offset = static_cast<size_t>(hit - s);
  STR_removeChars(hit, static_cast<uint32_t>(strlen(oldText)));
  const uint32_t room = offset < size ? size - static_cast<uint32_t>(offset) : 0;
  return STR_insertStr(hit, room, newText);
}

// Replaces every occurrence of oldText, each search resuming after the last
// replacement, within size bytes; answers the number of replacements.
int32_t STR_substitute(char *s, uint32_t size, const char *oldText, const char *newText) {
  int32_t count = 0;
  char *from = s;
  uint32_t room = size;
  for (char *next; (next = STR_substitute1(from, room, oldText, newText)) != nullptr; from = next) {
    const auto used = static_cast<size_t>(next - from);
    room = used < room ? room - static_cast<uint32_t>(used) : 0;
    ++count;
  }
  return count;
}

// Doubles every backslash of s within size bytes; answers how many.
int32_t STR_expandSlashes(char *s, uint32_t size) { return STR_substitute(s, size, "\\", "\\\\"); }

}  // extern "C"

/*
 * qmstr.cpp - bounded string basics on 8-bit NUL-terminated strings, the
 * UTF-8 <-> UTF-16 converters, the wildcard match and file-name shaping.
 *
 * Leaf functions: they trace nothing, allocate nothing and keep no state
 * beyond the exported separator byte. Case folding touches ASCII a-z only,
 * so '[', '\', ']', '^', '_' and '`' sort after every letter.
 */
#include "qmstr.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "str/str_internal.h"

namespace {

using rtk_str::kUpcase;

// Folds an ASCII lower-case letter of a char to upper case, through the table.
inline unsigned char fold(char c) { return kUpcase[static_cast<unsigned char>(c)]; }

// Multiplier for the unit letter that may follow the digits of a number.
constexpr uint64_t unitMultiplier(char unit) {
  switch (unit) {
    case 'k': case 'K': return uint64_t{1} << 10;
    case 'm': case 'M': return uint64_t{1} << 20;
    case 'g': case 'G': return uint64_t{1} << 30;
    default: return 1;
  }
}

// True when the first len bytes of a equal those of b ignoring case. b holds
// no NUL among them, so a shorter a differs at its terminator and is never
// read past it.
bool equalIgnoringCase(const char *a, const char *b, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Last place in the first slen bytes of s where the len bytes of seg (no NUL
// among them, len > 0) occur, ignoring case, or null. Places whose first
// byte differs are passed over without the full comparison.
const char *lastOccurrence(const char *s, size_t slen, const char *seg, size_t len) {
  if (len > slen) return nullptr;
  const unsigned char first = fold(seg[0]);
  for (size_t pos = slen - len + 1; pos-- > 0;) {
    if (fold(s[pos]) == first && equalIgnoringCase(s + pos + 1, seg + 1, len - 1)) return s + pos;
  }
  return nullptr;
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

// Copies the bytes [from, from + len) of a path into an output of size bytes,
// cut to size - 1 characters and terminated.
void copySpan(char *out, int32_t size, const char *from, size_t len) {
  if (size < 1) return;
  const size_t keep = len < static_cast<size_t>(size) - 1 ? len : static_cast<size_t>(size) - 1;
  memcpy(out, from, keep);
  out[keep] = '\0';
}

// True when none of the eight bytes at p has its high bit set: eight ASCII
// characters. The caller makes sure that all eight lie inside its input.
inline bool eightAsciiBytes(const uint8_t *p) {
  uint64_t word;
  memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080u) == 0;
}

// True when none of the eight units at p is above 0x7F: eight ASCII
// characters. The caller makes sure that all eight lie inside its input.
inline bool eightAsciiUnits(const uint16_t *p) {
  uint64_t words[2];
  memcpy(words, p, sizeof words);
  return ((words[0] | words[1]) & 0xFF80FF80FF80FF80u) == 0;
}

// UTF-16 units stored at dst[0..last].
struct Utf16Out {
  uint16_t *dst;
  int64_t last;
  int64_t written = 0;
};

// The bytes src[0..3] as one number, the first byte lowest; checked, bytes
// past the input's end (left bytes from src on) read as 0, which continues no
// sequence.
template <bool kChecked>
uint32_t sequenceWord(const uint8_t *src, uint64_t left) {
  uint32_t word = src[0];
  for (uint64_t k = 1; k < 4; ++k) {
    if (!kChecked || k < left) word |= uint32_t{src[k]} << (8 * k);
  }
  return word;
}

// Decodes the UTF-8 sequence at src (left bytes of input from there on) into
// out. Answers the bytes taken, or 0 when the sequence is malformed (a lead
// byte that starts none, a byte that should continue it and does not, or
// the end of the input inside it) or a unit finds no room. Unchecked
// (kChecked false), the caller has made sure that four bytes of input and
// two units of room are left. Each test of a word checks the lead byte's
// form and the continuation bytes' forms at once.
template <bool kChecked>
uint64_t decodeSequence(const uint8_t *src, uint64_t left, Utf16Out &out) {
  auto store = [&out](uint32_t unit) {
    if (kChecked && out.written > out.last) return false;
    out.dst[out.written++] = static_cast<uint16_t>(unit);
    return true;
  };
  const uint32_t word = sequenceWord<kChecked>(src, left);
  const uint32_t c = word & 0xFF;
  const uint32_t c1 = (word >> 8) & 0x3F;
  const uint32_t c2 = (word >> 16) & 0x3F;
  if ((word & 0x80) == 0) return store(c) ? 1 : 0;
  if ((word & 0xC0E0) == 0x80C0) return store(((c & 0x1F) << 6) | c1) ? 2 : 0;
  if ((word & 0xC0C0F0) == 0x8080E0) return store(((c & 0x0F) << 12) | (c1 << 6) | c2) ? 3 : 0;
  if ((word & 0xC0C0C0F8) == 0x808080F0) {
    const uint32_t plane = ((((c & 0x07) << 2) | (c1 >> 4)) - 1) & 0x0F;
    const bool stored = store(0xD800 | (plane << 6) | ((c1 & 0x0F) << 2) | (c2 >> 4)) &&
                        store(0xDC00 | ((c2 & 0x0F) << 6) | ((word >> 24) & 0x3F));
    return stored ? 4 : 0;
  }
  return 0;
}

// Appends UTF-8 bytes to a caller's buffer of `size` bytes: bytes that no
// longer fit are dropped, and the count never exceeds the size.
struct Utf8Sink {
  uint8_t *dst;
  int32_t size;
  int32_t stored = 0;

  void put(uint32_t byte) {
    if (stored < size) dst[stored++] = static_cast<uint8_t>(byte);
  }
};

// Appends UTF-8 bytes where the caller has made sure that there is room for
// them.
struct RoomySink {
  uint8_t *at;

  void put(uint32_t byte) { *at++ = static_cast<uint8_t>(byte); }
  // Two units that take three bytes each, written with one copy of six bytes.
  void putTwoThreeByteUnits(uint32_t w, uint32_t x) {
    const uint8_t bytes[6] = {
        static_cast<uint8_t>(0xE0 | (w >> 12)), static_cast<uint8_t>(0x80 | ((w >> 6) & 0x3F)),
        static_cast<uint8_t>(0x80 | (w & 0x3F)), static_cast<uint8_t>(0xE0 | (x >> 12)),
        static_cast<uint8_t>(0x80 | ((x >> 6) & 0x3F)), static_cast<uint8_t>(0x80 | (x & 0x3F))};
    memcpy(at, bytes, sizeof bytes);
    at += sizeof bytes;
  }
};

// True for a unit that UTF-8 writes in three bytes: from 0x800 on, and no surrogate.
inline bool threeBytes(uint32_t w) { return w >= 0x800 && (w < 0xD800 || w > 0xDFFF); }

// Writes the UTF-8 form of the unit at src[i] into out, the pair's code
// point when it is a high surrogate followed by a low one. Answers the
// number of units taken (1 or 2).
template <typename Sink>
uint64_t encodeUnit(const uint16_t *src, uint64_t i, uint64_t n, Sink &out) {
  const uint32_t w = src[i];
  if (w < 0x80) {
    out.put(w);
  } else if (w < 0x800) {
    out.put(0xC0 | (w >> 6));
    out.put(0x80 | (w & 0x3F));
  } else if (w >= 0xD800 && w <= 0xDBFF && i + 1 < n && src[i + 1] >= 0xDC00 &&
             src[i + 1] <= 0xDFFF) {
    const uint32_t w2 = src[i + 1];
    const uint32_t u = ((w >> 6) & 0x0F) + 1;
    out.put(0xF0 | (u >> 2));
    out.put(0x80 | ((u & 3) << 4) | ((w >> 2) & 0x0F));
    out.put(0x80 | ((w & 3) << 4) | ((w2 >> 6) & 0x0F));
    out.put(0x80 | (w2 & 0x3F));
    return 2;
  } else {
    out.put(0xE0 | (w >> 12));
    out.put(0x80 | ((w >> 6) & 0x3F));
    out.put(0x80 | (w & 0x3F));
  }
  return 1;
}

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
int32_t STR_strcasecmp(const char *a, const char *b) { return rtk_str::CompareIgnoringCase(a, b); }

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
  const unsigned char first = fold(*needle);
  const auto n = static_cast<int32_t>(strnlen(needle, INT32_MAX));
  for (const char *p = hay; *p != '\0'; ++p) {
    if (fold(*p) == first && STR_strncasecmp(p, needle, n) == 0)
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
  char text[20];  // a sign and 19 digits
  char *first = text + sizeof text;
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
  copySpan(dst, size, first, static_cast<size_t>(text + sizeof text - first));
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

// ---- UTF-8 <-> UTF-16 ----------------------------------------------------------

// Decodes n bytes of UTF-8 into UTF-16 units at dst[0..maxIndex]; checks only
// the shape of each sequence. Answers the unit count, or -1 on a malformed
// sequence or a full output (units already stored stay). Four-byte sequences
// beyond U+10FFFF (or overlong) are not rejected: the plane bits are kept to
// four so that the first unit is still a high surrogate. An output longer
// than the result can count fails like a full one.
//
// The input goes in blocks inside which only the sequences' shape is
// checked: a sequence that starts at least four bytes before the end lies
// inside the input whole, and the sequences that start within a block of k
// bytes make at most k + 1 units. Runs of ASCII go eight bytes at a time.
int32_t utf8array_to_utf16asciz(const uint8_t *src, uint64_t n, uint16_t *dst, int64_t maxIndex) {
  const int64_t last = maxIndex < INT32_MAX - 1 ? maxIndex : INT32_MAX - 1;
  Utf16Out out{dst, last};
  uint64_t i = 0;
  for (;;) {
    const int64_t unitRoom = last - out.written;
    if (n < 4 || i >= n - 3 || unitRoom < 1) break;
    const uint64_t inputRoom = n - 3 - i;
    const uint64_t blockEnd = i + (inputRoom < static_cast<uint64_t>(unitRoom) ? inputRoom : static_cast<uint64_t>(unitRoom));
    while (i < blockEnd) {
      if (src[i] < 0x80 && blockEnd - i >= 8 && eightAsciiBytes(src + i)) {
        for (int k = 0; k < 8; ++k) dst[out.written + k] = src[i + k];
        out.written += 8;
        i += 8;
        continue;
      }
      const uint64_t taken = decodeSequence<false>(src + i, n - i, out);
      if (taken == 0) return -1;
      i += taken;
    }
  }
  while (i < n) {
    const uint64_t taken = decodeSequence<true>(src + i, n - i, out);
    if (taken == 0) return -1;
    i += taken;
  }
  return static_cast<int32_t>(out.written);
}

// Encodes n UTF-16 units as UTF-8 into size bytes, cutting (never refusing)
// when the buffer runs out; unpaired surrogates are written as three bytes.
// Answers the bytes stored; a full buffer answers size and its last byte
// becomes the terminator. A size below 1 writes nothing and answers 0.
//
// The units go in blocks inside which bytes are stored without a check
// each: a unit takes at most three bytes (a pair four for its two units), so
// a block of k units that starts with 3k + 1 bytes of room left cannot run
// out. Runs of ASCII go eight units at a time, two three-byte units at once.
int32_t utf16array_to_utf8asciz(const uint16_t *src, uint64_t n, uint8_t *dst, int32_t size) {
  if (size < 1) return 0;
  uint8_t *const end = dst + size;
  uint64_t i = 0;
  RoomySink roomy{dst};
  for (;;) {
    const ptrdiff_t room = end - roomy.at;
    if (room < 4 || i >= n) break;
    const auto fit = static_cast<uint64_t>(room - 1) / 3;
    const uint64_t blockEnd = i + (n - i < fit ? n - i : fit);
    while (i < blockEnd) {
      const uint32_t w = src[i];
      if (w < 0x80 && blockEnd - i >= 8 && eightAsciiUnits(src + i)) {
        for (int k = 0; k < 8; ++k) roomy.at[k] = static_cast<uint8_t>(src[i + k]);
        roomy.at += 8;
        i += 8;
      } else if (threeBytes(w) && blockEnd - i >= 2 && threeBytes(src[i + 1])) {
        roomy.putTwoThreeByteUnits(w, src[i + 1]);
        i += 2;
      } else {
        i += encodeUnit(src, i, n, roomy);
      }
    }
  }
  Utf8Sink out{dst, size, static_cast<int32_t>(roomy.at - dst)};
  while (i < n && out.stored < size) i += encodeUnit(src, i, n, out);
  dst[out.stored < size ? out.stored : size - 1] = '\0';
  return out.stored;
}

// ---- wildcards and file-name shaping ----------------------------------------------

// Matches s against a pattern whose only wildcard is '*', ignoring case.
// Each segment after a '*' is matched at its LAST occurrence in what is left
// of s, with no backtracking, so '*a*b*' does not match "abXa". A segment
// that is empty (a "**" or a final '*') accepts whatever remains. The last
// occurrence of the pattern's final segment is at the end of s exactly when
// s ends with it, so that segment is compared with the end of s only.
int32_t STR_wildcardMatch(const char *s, const char *pattern) {
  if (s == nullptr || pattern == nullptr) return 0;
  const char *star = strchr(pattern, '*');
  if (star == nullptr) return STR_strcasecmp(s, pattern) == 0;
  const auto lead = static_cast<size_t>(star - pattern);
  if (!equalIgnoringCase(s, pattern, lead)) return 0;
  s += lead;
  size_t rest = strlen(s);
  for (;;) {
    const char *seg = star + 1;
    const char *next = strchrnul(seg, '*');
    const auto segLen = static_cast<size_t>(next - seg);
    if (segLen == 0) return 1;
    if (rest == 0) return 0;
    if (*next == '\0') return segLen <= rest && equalIgnoringCase(s + rest - segLen, seg, segLen);
    const char *hit = lastOccurrence(s, rest, seg, segLen);
    if (hit == nullptr) return 0;
    const auto used = static_cast<size_t>(hit - s) + segLen;
    s += used;
    rest -= used;
    if (rest == 0) return 0;
    star = next;
  }
}

// Splits a path into directory (with its last '/'), base name and extension
// (from the last '.' of the last component, dot included), each cut to
// size - 1 characters. A path without any '/' is a bare name: it has no
// directory (the directory comes back empty rather than "/", which would
// move a relative name into the root); "" still gives "/".
void STR_splitName(const char *path, char *dir, char *base, char *ext, int32_t size) {
  copySpan(dir, size, path, 0);
  const size_t len = strlen(path);
  size_t extAt = len;
  for (size_t i = len; i-- > 0 && path[i] != '/';) {
    if (path[i] == '.') {
      if (i + 1 < len) extAt = i;
      break;
    }
  }
  copySpan(ext, size, path + extAt, len - extAt);
  const char *slash = static_cast<const char *>(memrchr(path, '/', extAt));
  if (slash == nullptr) {
    copySpan(base, size, path, extAt);
    if (len == 0) copySpan(dir, size, "/", 1);
    return;
  }
  const auto dirLen = static_cast<size_t>(slash - path) + 1;
  copySpan(base, size, slash + 1, extAt - dirLen);
  copySpan(dir, size, path, dirLen);
}

// Shortens a name for display: names up to size - 2 characters are copied,
// longer ones keep their first half - 2 and last half - 3 characters around
// "..." (half = size / 2). Below size 6 there is no room for the dots, and
// the name is simply cut to size - 1 characters.
char *STR_makeSqueezedName(const char *name, char *out, int32_t size) {
  const size_t len = strlen(name);
  if (size < 6 || static_cast<int64_t>(len) <= int64_t{size} - 2) return STR_copy(out, name, size);
  const auto half = static_cast<size_t>(size / 2);
  const size_t head = half - 2;
  const size_t tail = half - 3;
  memcpy(out, name, head);
  memcpy(out + head, "...", 3);
  memcpy(out + head + 3, name + len - tail, tail);
  out[head + 3 + tail] = '\0';
  return out;
}

// Builds the name under which a generation of a file is kept:
// name + "-QM" + generation + extension (the last ".xxx" of at most 7
// bytes) + "deleted" for a deleted file. The name is kept first; the suffix
// gets whatever room is left.
char *STR_filebuildVersionName(const char *name, int32_t deleted, int64_t generation, char *out,
                               int32_t size) {
  if (size < 1) return out;
  const char *dot = strrchr(name, '.');
  const char *extension = (dot != nullptr && strlen(dot) <= 7) ? dot : "";
  STR_copy(out, name, size);
  const auto len = static_cast<int32_t>(strlen(out));
  STR_snprintf(out + len, size - len, "-QM%" PRId64 "%s%s", generation, extension,
               deleted != 0 ? "deleted" : "");
  return out;
}

}  // extern "C"

// Fuzz target for the string basics and the file-name shaping. Every output
// buffer is a heap block of exactly the size the function is told (a real
// zero-byte block for sizes below 1), so AddressSanitizer catches any byte
// written or read past it. Where a result follows simply from the rules it
// is compared (case-insensitive comparison and search, bounded copy, append
// and formatting, trimming, insertion), elsewhere invariants hold: number
// text reads back as its number, grouped digits ungroup to themselves, a
// split path joins back to itself, a name without '*' matches only itself.
//
// Input layout (seeds stay readable text):
//   byte 0      size seed: size = byte % 50 - 2 (-2..47)
//   byte 1      bit 0: deleted flag; bits 1-7: generation + 32
//   a           up to the first '\n': the subject string
//   b           up to the next '\n': pattern, text to find, needle
//   c           the rest (up to a NUL): the replacement text
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "qmstr.h"

namespace {

using fuzz::block;
using fuzz::check;

// The rules fold the ASCII letters a-z only.
std::string upper(std::string s) {
  for (char &c : s) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c;
  return s;
}

size_t fit(int32_t size) { return size > 0 ? static_cast<size_t>(size) : 0; }

// What a bounded copy into `size` (at least 1) bytes keeps of s.
std::string cut(const std::string &s, int32_t size) { return s.substr(0, fit(size) - 1); }

int sign(int64_t v) { return (v > 0) - (v < 0); }

// The place `at` in s, or null for none.
const char *place(const std::string &s, size_t at) { return at == std::string::npos ? nullptr : s.c_str() + at; }

// Comparison, search and the wildcard match.
void compareAndSearch(const std::string &a, const std::string &b, int32_t n) {
  const std::string ua = upper(a), ub = upper(b);
  check(sign(STR_strcasecmp(a.c_str(), b.c_str())) == sign(ua.compare(ub)));
  check(sign(STR_strncasecmp(a.c_str(), b.c_str(), n)) == sign(ua.substr(0, fit(n)).compare(ub.substr(0, fit(n)))));
  size_t at = b.empty() ? std::string::npos : ua.find(ub);
  check(STR_strstrcase(a.c_str(), b.c_str()) == place(a, at));
  while (at != std::string::npos && at != 0 && a[at - 1] != '/') at = ua.find(ub, at + 1);
  check(STR_withinDir(a.c_str(), b.c_str()) == place(a, at));
  check(b.find('*') != std::string::npos || (STR_wildcardMatch(a.c_str(), b.c_str()) == (ua == ub) &&
                                             STR_wildcardMatch(a.c_str(), (b + "*").c_str()) == ua.starts_with(ub) &&
                                             STR_wildcardMatch(a.c_str(), ("*" + b).c_str()) == ua.ends_with(ub)));
  check(STR_wildcardMatch(nullptr, b.c_str()) == 0 && STR_wildcardMatch(a.c_str(), nullptr) == 0);
}

// Copy, append, formatting and name shaping into buffers of exactly `size`
// bytes; numbers written as text read back as themselves.
void bounded(const std::string &a, const std::string &b, int32_t size, uint8_t flags) {
  auto copy = block("", fit(size)), cat = block(a, fit(size)), print = block("", fit(size)), number = block("", fit(size));
  STR_copy(copy.get(), a.c_str(), size);
  STR_cat(cat.get(), b.c_str(), size);
  STR_snprintf(print.get(), size, "%s|%s", a.c_str(), b.c_str());
  const int64_t value = STR_toll(a.c_str());
  STR_64toString(number.get(), size, value);
  check(STR_toll(std::to_string(value).c_str()) == value);
  auto dir = block("", fit(size)), base = block("", fit(size)), ext = block("", fit(size)), squeezed = block("", fit(size));
  STR_splitName(a.c_str(), dir.get(), base.get(), ext.get(), size);
  STR_makeSqueezedName(a.c_str(), squeezed.get(), size);
  const int64_t generation = static_cast<int64_t>(flags >> 1) - 32;
  auto full = block("", a.size() + 64), versioned = block("", fit(size));
  STR_filebuildVersionName(a.c_str(), flags & 1, generation, full.get(), static_cast<int32_t>(a.size() + 64));
  STR_filebuildVersionName(a.c_str(), flags & 1, generation, versioned.get(), size);
  check(std::string(full.get()).starts_with(a + "-QM" + std::to_string(generation)));
  if (size < 1) return;
  check(copy.get() == cut(a, size) && cat.get() == (cut(a, size) + b).substr(0, size >= 2 ? fit(size) - 2 : 0));
  check(print.get() == cut(a + "|" + b, size) && number.get() == cut(std::to_string(value), size) && versioned.get() == cut(full.get(), size));
  // When nothing was cut, a path with a directory part is split into three
  // pieces that join back to it: the directory ends with '/', the extension
  // starts with '.'. A long name keeps its ends around "...".
  const std::string d = dir.get(), n = base.get(), e = ext.get(), q = squeezed.get();
  check(a.size() >= fit(size) || a.find('/') == std::string::npos ||
        (d + n + e == a && d.back() == '/' && (e.empty() || e[0] == '.') && n.find('/') == std::string::npos));
  const size_t half = fit(size) / 2;
  check(a.size() + 2 <= fit(size) ? q == a : size < 6 ? q.size() < fit(size) : q == a.substr(0, half - 2) + "..." + a.substr(a.size() - (half - 3)));
}

// In-place edits in buffers of the string's length plus a random room; a
// run of digits grouped in place gets exactly one byte per separator.
void edit(const std::string &a, const std::string &b, const std::string &c, int32_t room) {
  const auto size = static_cast<uint32_t>(a.size() + 1 + fit(room));
  const bool fits = a.size() + b.size() < size;
  auto s = block(a, size);
  check(STR_insertStr(s.get(), size, b.c_str()) == s.get() + (fits ? b.size() : a.size()) && s.get() == (fits ? b + a : a));
  s = block(a, size);
  STR_substitute(s.get(), size, b.c_str(), c.c_str());
  check(std::strlen(s.get()) < size && (b != c || b.empty() || s.get() == a));
  s = block(a, size);
  STR_trim(s.get());
  const size_t first = a.find_first_not_of(' ');
  check(s.get() == (first == std::string::npos ? "" : a.substr(first, a.find_last_not_of(' ') - first + 1)));
  std::string digits = a[0] == '-' ? "-" : "";
  for (char ch : a) digits += ch >= '0' && ch <= '9' ? std::string(1, ch) : "";
  const size_t count = digits.size() - (a[0] == '-'), separators = count > 3 ? (count - 1) / 3 : 0;
  s = block(digits, digits.size() + 1 + separators);
  STR_commize(s.get());
  std::string back = s.get();
  check(std::erase(back, STR_thousandths) == separators && back == digits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const int32_t bufSize = static_cast<int32_t>(data[0] % 50) - 2;
  const uint8_t *p = data + 2, *end = data + size;
  const std::string a = fuzz::field(p, end), b = fuzz::field(p, end), c = fuzz::rest(p, end);
  compareAndSearch(a, b, bufSize);
  bounded(a, b, bufSize, data[1]);
  edit(a, b, c, bufSize);
  return 0;
}

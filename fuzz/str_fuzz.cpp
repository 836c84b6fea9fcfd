// Fuzz target for the string basics and the file-name shaping. Every output
// buffer is a heap block of exactly the size the function is told (a real
// zero-byte block for sizes below 1), so AddressSanitizer catches any byte
// written or read past it. Where the result is fully determined, it is
// compared with a slow reference written here from the rules: the wildcard
// match, number parsing, comparison and search, copy, append, formatting and
// substitution.
//
// Input layout (seeds stay readable text):
//   byte 0      size seed: size = byte % 50 - 2 (-2..47)
//   byte 1      bit 0: deleted flag; bits 1-7: generation + 32
//   a           up to the first '\n': the subject string
//   b           up to the next '\n': pattern, text to find, needle
//   c           the rest (up to a NUL): the replacement text
#include <cinttypes>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qmstr.h"

namespace {

using fuzz::block;
using fuzz::check;

// The rules fold the ASCII letters a-z only.
std::string upper(std::string s) {
  for (char &c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  }
  return s;
}

size_t fit(int32_t size) { return size > 0 ? static_cast<size_t>(size) : 0; }

// What a bounded copy into `size` bytes keeps of s.
std::string cut(const std::string &s, int32_t size) { return s.substr(0, fit(size) - 1); }

int sign(int64_t v) { return (v > 0) - (v < 0); }

// The wildcard rules, straight from their description: the text before the
// first '*' must start s; each later segment is taken at its LAST place in
// what is left of s; an empty segment accepts the rest; nothing backtracks.
bool referenceMatch(const std::string &subject, const std::string &pattern) {
  const std::string s = upper(subject);
  const std::string p = upper(pattern);
  if (p.find('*') == std::string::npos) return s == p;
  std::vector<std::string> segments;
  for (size_t from = 0;;) {
    const size_t star = p.find('*', from);
    segments.push_back(p.substr(from, star - from));
    if (star == std::string::npos) break;
    from = star + 1;
  }
  const size_t count = segments.size() - 1;
  if (s.compare(0, segments[0].size(), segments[0]) != 0) return false;
  size_t pos = segments[0].size();
  for (size_t i = 1; i <= count; ++i) {
    const std::string &seg = segments[i];
    if (seg.empty()) return true;
    if (pos == s.size()) return false;
    const size_t hit = s.rfind(seg);
    if (hit == std::string::npos || hit < pos) return false;
    pos = hit + seg.size();
    if (i == count) return pos == s.size();
    if (pos == s.size()) return false;
  }
  return true;
}

// Number parsing as the rules give it: control bytes and blanks skipped, an
// optional '-', decimal digits with wrap-around, one k/m/g letter.
int64_t referenceToll(const std::string &s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) >= 1 && static_cast<unsigned char>(s[i]) <= 0x20) ++i;
  const bool negative = i < s.size() && s[i] == '-';
  if (negative) ++i;
  uint64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + static_cast<uint64_t>(s[i] - '0');
  if (negative) v = ~v + 1;
  const char unit = i < s.size() ? s[i] : '\0';
  if (unit == 'k' || unit == 'K') v <<= 10;
  if (unit == 'm' || unit == 'M') v <<= 20;
  if (unit == 'g' || unit == 'G') v <<= 30;
  return static_cast<int64_t>(v);
}

// Replaces every occurrence left to right, each search resuming after the
// replaced text; answers the count.
int referenceReplaceAll(const std::string &s, const std::string &from, const std::string &to,
                        std::string *out) {
  int count = 0;
  size_t pos = 0;
  out->clear();
  for (size_t hit; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size(), ++count)
    *out += s.substr(pos, hit - pos) + to;
  *out += s.substr(pos);
  return count;
}

// Comparison, search and the wildcard match against their references.
void compareAndSearch(const std::string &a, const std::string &b, int32_t n) {
  const std::string ua = upper(a);
  const std::string ub = upper(b);
  check(sign(STR_strcasecmp(a.c_str(), b.c_str())) == sign(ua.compare(ub)));
  const size_t m = fit(n);
  check(sign(STR_strncasecmp(a.c_str(), b.c_str(), n)) == sign(ua.substr(0, m).compare(ub.substr(0, m))));

  const char *hit = STR_strstrcase(a.c_str(), b.c_str());
  const size_t expected = b.empty() ? std::string::npos : ua.find(ub);
  check(expected == std::string::npos ? hit == nullptr : hit == a.c_str() + expected);

  size_t within = b.empty() ? std::string::npos : ua.find(ub);
  while (within != std::string::npos && within != 0 && a[within - 1] != '/') within = ua.find(ub, within + 1);
  const char *dirHit = STR_withinDir(a.c_str(), b.c_str());
  check(within == std::string::npos ? dirHit == nullptr : dirHit == a.c_str() + within);

  check(STR_wildcardMatch(a.c_str(), b.c_str()) == (referenceMatch(a, b) ? 1 : 0));
  check(STR_wildcardMatch(nullptr, b.c_str()) == 0 && STR_wildcardMatch(a.c_str(), nullptr) == 0);
}

// Bounded copy, append and formatting into buffers of exactly `size` bytes.
void copyAndFormat(const std::string &a, const std::string &b, int32_t size) {
  auto dst = block("", fit(size));
  STR_copy(dst.get(), a.c_str(), size);
  if (size >= 1) check(dst.get() == cut(a, size));

  dst = block(a, fit(size));
  STR_cat(dst.get(), b.c_str(), size);
  if (size >= 2) check(dst.get() == (cut(a, size) + b).substr(0, fit(size) - 2));
  if (size == 1) check(dst[0] == '\0');

  STR_snprintf(dst.get(), size, "%s|%s", a.c_str(), b.c_str());
  if (size >= 1) check(dst.get() == cut(a + "|" + b, size));

  const int64_t value = STR_toll(a.c_str());
  check(value == referenceToll(a));
  STR_64toString(dst.get(), size, value);
  if (size >= 1) check(dst.get() == cut(std::to_string(value), size));

  auto pretty = block("", 26);
  STR_pretty(pretty.get(), value);
  check(std::strlen(pretty.get()) < 26);
  check(std::strspn(pretty.get(), "-0123456789,KM") == std::strlen(pretty.get()));

  // A run of digits (with the sign, if a has one) gets exactly one more byte
  // per separator; stripping the separators gives the digits back.
  std::string digits = a[0] == '-' ? "-" : "";
  for (char c : a) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const size_t count = digits.size() - (a[0] == '-' ? 1 : 0);
  const size_t separators = count > 3 ? (count - 1) / 3 : 0;
  auto grouped = block(digits, digits.size() + 1 + separators);
  STR_commize(grouped.get());
  std::string back;
  for (const char *p = grouped.get(); *p != '\0'; ++p) {
    if (*p != STR_thousandths) back += *p;
  }
  check(back == digits && std::strlen(grouped.get()) == digits.size() + separators);
}

// In-place edits: insert, substitute and trim, in buffers of the string's
// length plus a random amount of room.
void edit(const std::string &a, const std::string &b, const std::string &c, int32_t room) {
  const auto size = static_cast<uint32_t>(a.size() + 1 + fit(room));
  auto s = block(a, size);
  char *at = STR_insertStr(s.get(), size, b.c_str());
  if (a.size() + b.size() >= size) {
    check(s.get() == a && at == s.get() + a.size());
  } else {
    check(s.get() == b + a && at == s.get() + b.size());
  }

  s = block(a, size);
  const int32_t count = STR_substitute(s.get(), size, b.c_str(), c.c_str());
  check(std::strlen(s.get()) < size);
  if (!b.empty()) {
    std::string replaced;
    const int expected = referenceReplaceAll(a, b, c, &replaced);
    // With room for every step the result is exact; otherwise the first
    // replacement that does not fit only removes its occurrence and ends it.
    if (replaced.size() < size) {
      check(count == expected && s.get() == replaced);
    } else {
      check(count <= expected);
    }
  }

  s = block(a, size);
  STR_trim(s.get());
  const size_t first = a.find_first_not_of(' ');
  check(s.get() == (first == std::string::npos ? "" : a.substr(first, a.find_last_not_of(' ') - first + 1)));
}

// Name shaping into outputs of exactly `size` bytes.
void shapeNames(const std::string &a, int32_t size, uint8_t flags) {
  auto dir = block("", fit(size));
  auto base = block("", fit(size));
  auto ext = block("", fit(size));
  STR_splitName(a.c_str(), dir.get(), base.get(), ext.get(), size);
  if (size >= 1) {
    const std::string d = dir.get(), n = base.get(), e = ext.get();
    check(d.size() < fit(size) && n.size() < fit(size) && e.size() < fit(size));
    // When nothing was cut, a path with a directory part is split into
    // three pieces that join back to it.
    if (a.size() < fit(size) && a.find('/') != std::string::npos) {
      check(d + n + e == a && d.back() == '/' && n.find('/') == std::string::npos);
      check(e.empty() || (e[0] == '.' && e.size() > 1 && e.find('/') == std::string::npos));
    }
  }

  auto squeezed = block("", fit(size));
  STR_makeSqueezedName(a.c_str(), squeezed.get(), size);
  if (size >= 1) {
    const std::string q = squeezed.get();
    check(q.size() < fit(size));
    if (a.size() + 2 <= fit(size)) check(q == a);
    if (a.size() + 2 > fit(size) && size >= 6) {
      const size_t half = fit(size) / 2;
      check(q == a.substr(0, half - 2) + "..." + a.substr(a.size() - (half - 3)));
    }
  }

  const int32_t deleted = flags & 1;
  const int64_t generation = static_cast<int64_t>(flags >> 1) - 32;
  const std::string roomy(a.size() + 64, '\0');
  auto full = block("", roomy.size());
  STR_filebuildVersionName(a.c_str(), deleted, generation, full.get(), static_cast<int32_t>(roomy.size()));
  const std::string head = a + "-QM" + std::to_string(generation);
  check(std::string(full.get()).compare(0, head.size(), head) == 0);
  auto versioned = block("", fit(size));
  STR_filebuildVersionName(a.c_str(), deleted, generation, versioned.get(), size);
  if (size >= 1) check(versioned.get() == cut(full.get(), size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const int32_t bufSize = static_cast<int32_t>(data[0] % 50) - 2;
  const uint8_t flags = data[1];
  const uint8_t *p = data + 2;
  const uint8_t *end = data + size;
  const std::string a = fuzz::cString(fuzz::field(p, end));
  const std::string b = fuzz::cString(fuzz::field(p, end));
  const std::string c = fuzz::cString(std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p)));

  compareAndSearch(a, b, bufSize);
  copyAndFormat(a, b, bufSize);
  edit(a, b, c, bufSize);
  shapeNames(a, bufSize, flags);
  return 0;
}

// Fuzz target for the string basics and the file-name shaping. Every output
// buffer is a heap block of exactly the size the function is told (a real
// zero-byte block for sizes below 1), so AddressSanitizer catches any byte
// written or read past it. Where a result follows simply from the rules it
// is compared (case-insensitive comparison and search, bounded copy, append
// and formatting, insertion), elsewhere invariants hold: every output ends
// within its buffer, number text reads back as its number, grouped digits
// ungroup to themselves, a name without '*' matches only itself.
//
// Input layout (seeds stay readable text):
//   byte 0      size seed: size = byte % 50 - 2 (-2..47)
//   byte 1      bit 0: deleted flag; bits 1-7: generation + 32
//   a           up to the first '\n': the subject string
//   b           up to the next '\n': pattern, text to find, needle
//   c           the rest (up to a NUL): the replacement text
#include <cstdint>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "qmstr.h"

namespace {

// The rules fold the ASCII letters a-z only.
std::string upper(std::string s) {
  for (char &c : s) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c;
  return s;
}

int sign(int64_t v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t inputSize) {
  using fuzz::block;
  using fuzz::check;
  if (inputSize < 2) return 0;
  const int32_t size = static_cast<int32_t>(data[0] % 50) - 2;
  const size_t room = size > 0 ? static_cast<size_t>(size) : 0;
  fuzz::Input in{data + 2, data + inputSize};
  const std::string a = in.field(), b = in.field(), c = in.field('\0'), ua = upper(a), ub = upper(b);

  // Comparison, search and the wildcard match.
  check(sign(STR_strcasecmp(a.c_str(), b.c_str())) == sign(ua.compare(ub)));
  check(sign(STR_strncasecmp(a.c_str(), b.c_str(), size)) == sign(ua.substr(0, room).compare(ub.substr(0, room))));
  const size_t at = b.empty() ? std::string::npos : ua.find(ub);
  check(STR_strstrcase(a.c_str(), b.c_str()) == (at == std::string::npos ? nullptr : a.c_str() + at));
  check(b.find('*') != std::string::npos || (STR_wildcardMatch(a.c_str(), b.c_str()) == (ua == ub) &&
                                             STR_wildcardMatch(a.c_str(), (b + "*").c_str()) == ua.starts_with(ub) &&
                                             STR_wildcardMatch(a.c_str(), ("*" + b).c_str()) == ua.ends_with(ub)));

  // Copy, append, formatting and name shaping into buffers of exactly
  // `size` bytes; numbers written as text read back as themselves.
  auto copy = block("", size), cat = block(a, size), print = block("", size), number = block("", size);
  auto dir = block("", size), base = block("", size), ext = block("", size), squeezed = block("", size);
  const int64_t value = STR_toll(a.c_str()), generation = static_cast<int64_t>(data[1] >> 1) - 32;
  const auto fullSize = static_cast<int32_t>(a.size() + 64);
  auto full = block("", fullSize), versioned = block("", size);
  STR_copy(copy.get(), a.c_str(), size);
  STR_cat(cat.get(), b.c_str(), size);
  STR_snprintf(print.get(), size, "%s|%s", a.c_str(), b.c_str());
  STR_64toString(number.get(), size, value);
  STR_splitName(a.c_str(), dir.get(), base.get(), ext.get(), size);
  STR_makeSqueezedName(a.c_str(), squeezed.get(), size);
  STR_filebuildVersionName(a.c_str(), data[1] & 1, generation, full.get(), fullSize);
  STR_filebuildVersionName(a.c_str(), data[1] & 1, generation, versioned.get(), size);
  check(STR_toll(std::to_string(value).c_str()) == value && std::string(full.get()).starts_with(a + "-QM" + std::to_string(generation)));
  if (size > 0) {
    const auto cut = [room](const std::string &s) { return s.substr(0, room - 1); };
    check(copy.get() == cut(a) && cat.get() == (cut(a) + b).substr(0, room - 1 - (room > 1)) && print.get() == cut(a + "|" + b));
    for (const char *out : {number.get(), dir.get(), base.get(), ext.get(), squeezed.get(), versioned.get()}) check(std::strlen(out) < room);
  }

  // In-place edits in buffers of the string's length plus the room; a run
  // of digits grouped in place gets exactly one byte per separator.
  const auto editSize = static_cast<uint32_t>(a.size() + 1 + room);
  const bool fits = a.size() + b.size() < editSize;
  auto s = block(a, editSize);
  check(STR_insertStr(s.get(), editSize, b.c_str()) == s.get() + (fits ? b.size() : a.size()) && s.get() == (fits ? b + a : a));
  s = block(a, editSize);
  STR_substitute(s.get(), editSize, b.c_str(), c.c_str());
  check(std::strlen(s.get()) < editSize && (b != c || b.empty() || s.get() == a));
  std::string digits = a[0] == '-' ? "-" : "";
  for (char ch : a) digits += ch >= '0' && ch <= '9' ? std::string(1, ch) : "";
  const size_t count = digits.size() - (a[0] == '-'), separators = count > 3 ? (count - 1) / 3 : 0;
  s = block(digits, static_cast<int64_t>(digits.size() + 1 + separators));
  STR_commize(s.get());
  std::string back = s.get();
  check(std::erase(back, STR_thousandths) == separators && back == digits);
  return 0;
}

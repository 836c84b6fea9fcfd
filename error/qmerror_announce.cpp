/*
 * qmerror_announce.cpp - announcements: a result code written to the message
 * log at its severity as "MNEMONIC(code):" and the code's current text
 * filled with the caller's arguments, unless the code is disabled.
 *
 * Callers pass the arguments of the built-in text. A text from the messages
 * file is trusted with them only when its conversions take the same kinds of
 * arguments in the same order (or fewer of them); otherwise the built-in
 * text, converted here, is announced.
 */
#include <atomic>
#include <cstdarg>
#include <cstring>

#include "error/error_internal.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmstr.h"

namespace {

// A text of up to this many characters gets a line feed when it has none,
// and is cut to kKeptBeforeLineFeed characters for it.
constexpr size_t kLineFeedLimit = 510;
constexpr size_t kKeptBeforeLineFeed = 502;

// True when a text ends with a line feed, looking back from its last
// character to its second past white space; the first is never examined.
bool endsWithLineFeed(const char *text) {
  for (size_t i = std::strlen(text); i-- > 1;) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') return true;
    if (c > 32) return false;
  }
  return false;
}

// The kinds of the arguments that a text's printf conversions consume, in
// order, one letter each: d int, l long, q long long, f double, F long
// double, s string, S wide string, C wide character, p pointer. No built-in
// text takes more than four arguments; a text that takes more than the room
// here is not trusted.
struct ArgumentKinds {
  static constexpr size_t kRoom = 16;
  char kinds[kRoom + 1] = "";
  size_t count = 0;
  bool add(char kind) {
    if (count == kRoom) return false;
    kinds[count++] = kind;
    kinds[count] = '\0';
    return true;
  }
};

// The argument kind of a conversion character after `longs` 'l's (2 for
// "ll", 'L' and 'q'); '\0' for "%n" (it writes through its argument) and
// for every character that printf does not take as a conversion.
char kindOf(char conversion, int longs) {
  switch (conversion) {
    case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
      return longs == 0 ? 'd' : longs == 1 ? 'l' : 'q';
    case 'c': return longs == 0 ? 'd' : 'C';
    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
      return longs == 2 ? 'F' : 'f';
    case 's': return longs == 0 ? 's' : 'S';
    case 'p': return 'p';
    default: return '\0';
  }
}

// Reads the conversion whose '%' is at p and leaves p on its last character.
// Flags, a width and a precision are passed over ('*' takes an int argument),
// "hh" and "h" read an int like no modifier. False for a conversion that
// could not be formatted safely whatever the arguments: "%n", a positional
// "%1$s", a "j", "z" or "t" size, or anything unknown.
bool readConversion(const char *&p, ArgumentKinds &out) {
  ++p;
  if (*p == '%' || *p == 'm') return true;  // these take no argument
  p += std::strspn(p, "-+ #0'I");
  for (bool precision = false;; precision = true) {
    if (*p == '*') {
      if (!out.add('d')) return false;
      ++p;
    }
    p += std::strspn(p, "0123456789");
    if (precision || *p != '.') break;
    ++p;
  }
  p += std::strspn(p, "h");
  int longs = static_cast<int>(std::strspn(p, "l"));
  p += longs;
  if (*p == 'L' || *p == 'q') {
    longs = 2;
    ++p;
  }
  const char kind = kindOf(*p, longs > 2 ? 2 : longs);
  return kind != '\0' && out.add(kind);
}

// Gathers the argument kinds of a text's conversions. With `markers`, the
// argument markers of a built-in text count as the conversions they become.
bool argumentKinds(const char *text, bool markers, ArgumentKinds &out) {
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '%') {
      if (!readConversion(p, out)) return false;
    } else if (markers && *p == '<') {
      for (const auto &marker : rtk::error::kMarkers) {
        const size_t length = std::strlen(marker[0]);
        if (std::strncmp(p, marker[0], length) != 0) continue;
        if (!out.add(marker[1][1] == 'L' ? 'q' : marker[1][1])) return false;
        p += length - 1;
        break;
      }
    }
  }
  return true;
}

// Whether a code's current text may be formatted with the arguments that
// callers pass for it. Callers are written against the built-in text, so
// the current text (from the messages file, say) must consume the same
// kinds of arguments in the same order, or fewer of them (printf leaves the
// rest unread); any "%n" or unknown conversion disqualifies it.
bool fitsCallers(const char *current, const char *builtin) {
  ArgumentKinds want;
  ArgumentKinds have;
  if (!argumentKinds(current, false, have)) return false;
  if (!argumentKinds(builtin, true, want)) return have.count == 0;
  return std::strncmp(want.kinds, have.kinds, have.count) == 0;
}

}  // namespace

extern "C" {

// Logs a code at its severity as "MNEMONIC(code):" and its text filled with
// the arguments, with a line feed added to a text of up to 510 characters
// that lacks one. A disabled code is neither logged nor counted.
void QMERR_Announce(int32_t code, ...) {
  const int32_t idx = rtk::error::qmerr2idx(code);
  rtk::error::ErrEntry &e = rtk::error::RowAt(idx);
  rtk::error::convertVarToPercents_all();
  if (rtk::error::DisabledOf(e).load(std::memory_order_relaxed) != 0) return;

  char prefix[40];
  STR_snprintf(prefix, sizeof prefix, "%s(%d):", e.mnemonic, code);
  const char *text = rtk::error::TextOf(e);
  char builtin[rtk::error::kBuiltinTextRoom];
  if (!fitsCallers(text, rtk::error::BuiltinText(idx))) {
    rtk::error::BuiltinFormat(code, builtin, sizeof builtin);
    text = builtin;
  }
  char line[kLineFeedLimit + 2];
  const size_t length = std::strlen(text);
  if (!endsWithLineFeed(text) && length <= kLineFeedLimit) {
    const size_t kept = length < kKeptBeforeLineFeed ? length : kKeptBeforeLineFeed;
    std::memcpy(line, text, kept);
    line[kept] = '\n';
    line[kept + 1] = '\0';
    text = line;
  }
  va_list args;
  va_start(args, code);
  LOG_Logv(static_cast<uint32_t>(e.severity), prefix, text, args);
  va_end(args);
  std::atomic_ref(e.announceCount).fetch_add(1, std::memory_order_relaxed);
}

}  // extern "C"

/*
 * xml.cpp - the attribute scanner for driver commands and replies, the trace
 * command and the elements of the messages file.
 *
 * This is not an XML parser: it reads one element's text, finds attributes by
 * name, copies their values out and blanks what it found in place, so that
 * positions in the text never move. Words are separated by blanks only; a
 * white character is any byte from 1 to 32. Values may be quoted with either
 * quote; inner quotes of the other kind nest, and a value that starts like a
 * path ('/' or a drive letter and ':') treats apostrophes as plain text. The
 * texts come from the driver and from files, so every walk stops at the
 * terminator and every copy is bounded by the caller's size.
 */
#include "qmxml.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "qmstr.h"
#include "str/str_internal.h"

namespace {

using rtk::str::Fold;

// ---- process-wide state ------------------------------------------------------
// The region last recorded by xml_protect. Written without a lock; nothing in
// the scanner reads it.
struct {
  void *protect;
  uint32_t protect_length;
} scanner = {nullptr, 0};

// ---- tables --------------------------------------------------------------------
constexpr char kBlank = ' ';

struct Entity {
  const char *name;
  const char *character;
};

// The entities in the order in which values are decoded. "&amp;" comes after
// "&apos;" and "&quot;" but before "&lt;" and "&gt;", so an escaped "&lt;"
// decodes to '<' while an escaped "&quot;" stays "&quot;".
constexpr Entity kEntities[] = {
    {"&apos;", "'"}, {"&quot;", "\""}, {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"},
};

// Encoding replaces '&' first so that the ampersands of the entities written
// afterwards are not encoded again.
constexpr size_t kEncodeOrder[] = {2, 0, 1, 3, 4};

// Buffer for the numeric variants: 19 digits and the terminator.
constexpr int32_t kNumberSize = 20;

// ---- helpers -------------------------------------------------------------------

// True for the white characters: every byte from 1 to 32, the blank included.
constexpr bool isWhite(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

// The quote state of a value or a quoted section: the character that closes
// it, the quote that opens a nested level, and the nesting depth. Inner quotes
// of the other kind come in pairs; each one swaps the two roles.
struct QuoteNesting {
  char term;
  char other;
  size_t depth = 0;

  // Takes one character and tells whether it ends the section. A blank
  // terminator (an unquoted value) ends it at any depth.
  bool closes(char c) {
    if (c == term) {
      if (term == kBlank || depth == 0) return true;
      --depth;
      std::swap(term, other);
    } else if (c == other) {
      ++depth;
      std::swap(term, other);
    }
    return false;
  }
};

// Overwrites n characters with blanks, so that later searches pass over them.
void blank(char *p, size_t n) { std::memset(p, kBlank, n); }

// Removes white characters from the end of the text, keeping the first
// character: a text of blanks only keeps one blank.
void trim(char *text) {
  size_t len = std::strlen(text);
  while (len > 1 && isWhite(text[len - 1])) text[--len] = '\0';
}

// Decodes the five character entities in table order, within size bytes.
// Every entity starts with '&' and no decoding makes one where there was
// none, so a text without '&' is left as it is at once.
void doAmpersands(char *text, int32_t size) {
  if (std::strchr(text, '&') == nullptr) return;
  for (const Entity &e : kEntities) {
    STR_substitute(text, static_cast<uint32_t>(size), e.name, e.character);
  }
}

// The first byte at or after p (before end) that is a or b, or end. While
// eight bytes are left before end, eight are looked at together.
const char *nextOf(const char *p, const char *end, unsigned char a, unsigned char b) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const uint64_t hits = rtk::str::ZeroBytes(word ^ (kOnes * a)) | rtk::str::ZeroBytes(word ^ (kOnes * b));
    if (hits != 0) return p + rtk::str::FirstFlaggedByte(hits);
    p += sizeof word;
  }
  while (p < end && static_cast<unsigned char>(*p) != a && static_cast<unsigned char>(*p) != b) ++p;
  return p;
}

// True for what the search passes over at a word's start: '<' and the white
// characters.
constexpr bool leadsWord(char c) { return c == '<' || isWhite(c); }

// True when p, which is not passed over itself, starts a word: the search
// reaches it from the start of the text, or from a blank (the end of the
// word before), over '<' and white characters only.
bool startsWord(const char *text, const char *p) {
  while (p > text) {
    --p;
    if (*p == kBlank) return true;
    if (!leadsWord(*p)) return false;
  }
  return true;
}

// True when the keyLength characters at p equal the key ignoring case, as
// STR_strncasecmp compares them: the key holds no NUL among them, so a text
// that ends sooner differs at its terminator and is not read past it.
bool sameWordIgnoringCase(const char *p, const char *key, size_t keyLength) {
  for (size_t i = 0; i < keyLength; ++i) {
    if (Fold(p[i]) != Fold(key[i])) return false;
  }
  return true;
}

// True for what may follow the key: '=' (an assignment), or a white
// character, the end, '/' or '>' (a bare word).
constexpr bool endsKey(char c) { return c == '=' || c == '\0' || isWhite(c) || c == '/' || c == '>'; }

// Finds the word that is `key` and is followed by what endsKey accepts,
// word by word: after any '<' and white characters a word starts, and it
// ends at the next blank only.
char *findKeyWordByWord(char *text, const char *key, size_t keyLength) {
  for (char *p = text;;) {
    while (leadsWord(*p)) ++p;
    if (*p == '\0') return nullptr;
    if (sameWordIgnoringCase(p, key, keyLength) && endsKey(p[keyLength])) return p;
    while (*p != '\0' && *p != kBlank) ++p;
  }
}

// Finds the word that is `key` and is followed by what endsKey accepts; null
// when there is none. Words start after any '<' and white characters and end
// at the next blank only, so a search can land inside a quoted value. The
// search looks only at the places that hold the key's first letter, in
// either case, and takes the first that starts a word and holds the key; an
// empty key, or one that starts with what a word's start passes over, is
// looked for word by word.
char *findKey(char *text, const char *key, size_t keyLength) {
  if (keyLength == 0 || leadsWord(key[0])) return findKeyWordByWord(text, key, keyLength);
  const char *end = text + std::strlen(text);
  const unsigned char upper = Fold(key[0]);
  const auto lower = static_cast<unsigned char>(upper >= 'A' && upper <= 'Z' ? upper - 'A' + 'a' : upper);
  for (const char *p = text; (p = nextOf(p, end, upper, lower)) < end; ++p) {
    if (startsWord(text, p) && sameWordIgnoringCase(p, key, keyLength) && endsKey(p[keyLength])) {
      return const_cast<char *>(p);
    }
  }
  return nullptr;
}

// The characters that can end a value or change how it is read once its
// first four characters are behind, besides the terminator and the '&' that
// starts an entity: in a quoted value the two quotes; in an unquoted one the
// blank, the apostrophe (its terminator and nesting quote take turns) and
// '>' and '/' ("/>"). Every other character is plain there.
constexpr std::array<bool, 256> valueStops(std::initializer_list<char> stops) {
  std::array<bool, 256> table{};
  table[0] = true;
  table['&'] = true;
  for (const char c : stops) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr auto kQuotedStops = valueStops({'"', '\''});
constexpr auto kUnquotedStops = valueStops({kBlank, '\'', '>', '/'});

// A value's length, and whether an '&' stands in it (only then can it hold
// an entity to decode).
struct ValueSpan {
  size_t length;
  bool ampersand;
};

// Measures the value at v. A path flag, once a ':' or '/' has been seen in
// the first four characters, makes every apostrophe plain; an unquoted
// value also ends at "/>" and at '>'. From the fifth character on, runs of
// plain characters are passed over at once.
ValueSpan measureValue(const char *v, QuoteNesting quotes) {
  const std::array<bool, 256> &stops = quotes.term == kBlank ? kUnquotedStops : kQuotedStops;
  bool path = false;
  bool ampersand = false;
  for (size_t i = 0;; ++i) {
    if (i > 3) {
      while (!stops[static_cast<unsigned char>(v[i])]) ++i;
    }
    const char c = v[i];
    if (c == '\0') return {i, ampersand};
    if (c == '&') {
      ampersand = true;
      continue;
    }
    if (c == '\'' && path) continue;
    if (quotes.term == kBlank && (c == '>' || (c == '/' && v[i + 1] == '>'))) return {i, ampersand};
    if ((c == ':' || c == '/') && i <= 3) {
      path = true;
      continue;
    }
    if (quotes.closes(c)) return {i, ampersand};
  }
}

// Copies the first len characters of v into out, cut to outSize - 1.
void copyValue(char *out, int32_t outSize, const char *v, size_t len) {
  const size_t n = len < static_cast<size_t>(outSize - 1) ? len : static_cast<size_t>(outSize - 1);
  std::memcpy(out, v, n);
  out[n] = '\0';
}

}  // namespace

extern "C" {

// Finds `key` in the element text, delivers its decoded value in `out` and
// blanks the attribute. Every call that writes leaves a value in `out` (the
// default when absent); only the result tells whether the key was there.
// A null `out` or an outSize below 1 has nowhere to put a value: nothing is
// written and the text stays as it is, so the attribute is not lost, and the
// result is null. A null default is taken as the empty text, and a null text
// or key finds nothing.
char *xml_getAssignment(char *text, const char *key, char *out, int32_t outSize, const char *dflt) {
  if (out == nullptr || outSize < 1) return nullptr;
  const size_t keyLength = key != nullptr ? std::strlen(key) : 0;
  char *word = (text != nullptr && key != nullptr) ? findKey(text, key, keyLength) : nullptr;
  if (word == nullptr) {
    STR_copy(out, dflt != nullptr ? dflt : "", outSize);
    trim(out);
    doAmpersands(out, outSize);
    return nullptr;
  }
  if (word[keyLength] != '=') {  // a bare word: present, with an empty value
    blank(word, keyLength);
    out[0] = '\0';
    return out;
  }
  blank(word, keyLength + 1);
  char *v = word + keyLength + 1;
  ValueSpan value{};
  if (*v == '"' || *v == '\'') {
    const char quote = *v++;
    value = measureValue(v, QuoteNesting{quote, quote == '"' ? '\'' : '"'});
    copyValue(out, outSize, v, value.length);
    // The opening quote, the value and the closing quote, if the value did
    // not run to the end of the text.
    blank(v - 1, value.length + (v[value.length] != '\0' ? 2 : 1));
  } else {
    value = measureValue(v, QuoteNesting{kBlank, '\''});
    copyValue(out, outSize, v, value.length);
    blank(v, value.length);
    trim(out);
  }
  if (value.ampersand) doAmpersands(out, outSize);
  return out;
}

// Reads the attribute as a number; a key present with an empty value (a bare
// word) counts as 1, an absent one gives the default read as a number.
int64_t xml_getAssignment64(char *text, const char *key, const char *dflt) {
  char number[kNumberSize];
  if (xml_getAssignment(text, key, number, kNumberSize, dflt) != nullptr && number[0] == '\0') return 1;
  return STR_toll(number);
}

// The same number for callers that hold 32-bit values (result codes).
int32_t xml_getAssignment32(char *text, const char *key, const char *dflt) {
  return static_cast<int32_t>(xml_getAssignment64(text, key, dflt));
}

// Tests whether the text names the element `keyword`: only a blank, '/',
// '>' or the end may follow the name.
int32_t xml_isKeyword(const char *keyword, const char *text) {
  if (*keyword == '<') ++keyword;
  if (*text == '<') ++text;
  const size_t n = std::strlen(keyword);
  if (STR_strncasecmp(keyword, text, static_cast<int32_t>(n)) != 0) return 0;
  const char next = text[n];
  return (next == '\0' || next == kBlank || next == '/' || next == '>') ? 1 : 0;
}

// Skips to just after the element's closing '>', passing over quoted
// sections (with nesting) so that a '>' inside a value does not end it.
char *xml_advance(const char *text) {
  const char *p = text;
  while (*p != '\0') {
    const char c = *p++;
    if (c == '>') break;
    if (c == '"' || c == '\'') {
      QuoteNesting quotes{c, c == '"' ? '\'' : '"'};
      while (*p != '\0' && !quotes.closes(*p)) ++p;
      if (*p != '\0') ++p;
    }
  }
  return const_cast<char *>(p);
}

// Copies one element, up to and including its '>', bounded by dstSize, and
// returns where the next element starts.
char *xml_copy(char *dst, int32_t dstSize, const char *src) {
  char *end = xml_advance(src);
  const auto length = static_cast<size_t>(end - src);
  const int32_t bound =
      (dstSize > 0 && length < static_cast<size_t>(dstSize)) ? static_cast<int32_t>(length + 1) : dstSize;
  STR_copy(dst, src, bound);
  return end;
}

// Tells whether attribute text is left after the element name, and packs the
// white run after the name to its first character when it is.
int32_t xml_packUnused(char *text) {
  char *p = text;
  while (static_cast<unsigned char>(*p) > 32) ++p;
  if (*p == '\0') return 0;
  char *rest = p;
  while (isWhite(*rest)) ++rest;
  if (*rest == '\0' || *rest == '/' || *rest == '>') return 0;
  std::memmove(p + 1, rest, std::strlen(rest) + 1);
  return 1;
}

// Encodes the five characters as entities within size bytes. A replacement
// that does not fit removes its character, as STR_substitute does when the
// buffer is full.
void xml_ConvertToAmpersands(char *text, int32_t size) {
  if (size < 1) return;
  for (const size_t i : kEncodeOrder) {
    STR_substitute(text, static_cast<uint32_t>(size), kEntities[i].character, kEntities[i].name);
  }
}

// Records a region for whoever protects it; the scanner keeps the values only.
void xml_protect(void *address, uint32_t length) {
  scanner.protect = address;
  scanner.protect_length = length;
}

}  // extern "C"

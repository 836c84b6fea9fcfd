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

#include <cstring>
#include <utility>

#include "qmstr.h"

namespace {

// ---- process-wide state ------------------------------------------------------
// The region last recorded by xml_protect. Written without a lock; nothing in
// the scanner reads it.
void *protect = nullptr;
uint32_t protect_length = 0;

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

// Folds an ASCII lower-case letter to upper case, as the case-insensitive
// comparisons of the string layer do.
constexpr char foldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

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

// Finds the word that is `key`, followed by '=' (an assignment) or by a white
// character, the end, '/' or '>' (a bare word). Words start after any '<' and
// white characters and end at the next blank only, so a search can land
// inside a quoted value. Returns the word or null.
char *findKey(char *text, const char *key, size_t keyLength) {
  const auto n = static_cast<int32_t>(keyLength);
  const char first = foldCase(key[0]);
  char *p = text;
  for (;;) {
    while (*p == '<' || isWhite(*p)) ++p;
    if (*p == '\0') return nullptr;
    // Equal over keyLength characters means the text holds all of them, so
    // the character after them is still inside the text. A word whose first
    // letter differs is passed over without the full comparison.
    if ((keyLength == 0 || foldCase(*p) == first) && STR_strncasecmp(p, key, n) == 0) {
      const char next = p[keyLength];
      if (next == '=' || next == '\0' || isWhite(next) || next == '/' || next == '>') return p;
    }
    while (*p != '\0' && *p != kBlank) ++p;
  }
}

// Returns the length of the value at v. A path flag, once a ':' or '/' has
// been seen in the first four characters, makes every apostrophe plain; an
// unquoted value also ends at "/>" and at '>'.
size_t valueLength(const char *v, QuoteNesting quotes) {
  bool path = false;
  size_t i = 0;
  for (; v[i] != '\0'; ++i) {
    const char c = v[i];
    if (c == '\'' && path) continue;
    if (quotes.term == kBlank && (c == '>' || (c == '/' && v[i + 1] == '>'))) break;
    if ((c == ':' || c == '/') && i <= 3) {
      path = true;
      continue;
    }
    if (quotes.closes(c)) break;
  }
  return i;
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
  if (*v == '"' || *v == '\'') {
    const char quote = *v++;
    const size_t len = valueLength(v, QuoteNesting{quote, quote == '"' ? '\'' : '"'});
    copyValue(out, outSize, v, len);
    // The opening quote, the value and the closing quote, if the value did
    // not run to the end of the text.
    blank(v - 1, len + (v[len] != '\0' ? 2 : 1));
  } else {
    const size_t len = valueLength(v, QuoteNesting{kBlank, '\''});
    copyValue(out, outSize, v, len);
    blank(v, len);
    trim(out);
  }
  doAmpersands(out, outSize);
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
  protect = address;
  protect_length = length;
}

}  // extern "C"

/*
 * qmstr_names.cpp - strings that are file names: the case-insensitive
 * wildcard match, the split of a path into directory, base name and
 * extension, the shortening of a long name for display, and the name under
 * which a generation of a file is kept ("-QM<generation>", which the
 * directory scans recognise).
 *
 * Leaf functions like the string basics: no tracing, no allocation, no
 * state; case folding touches ASCII a-z only.
 */
#include <cinttypes>
#include <cstring>

#include "qmstr.h"
#include "str/str_internal.h"

namespace {

using rtk::str::Fold;

// True when the first len bytes of a equal those of b ignoring case. b holds
// no NUL among them, so a shorter a differs at its terminator and is never
// read past it.
bool equalIgnoringCase(const char *a, const char *b, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// Last place in the first slen bytes of s where the len bytes of seg (no NUL
// among them, len > 0) occur, ignoring case, or null. Places whose first
// byte differs are passed over without the full comparison.
const char *lastOccurrence(const char *s, size_t slen, const char *seg, size_t len) {
  if (len > slen) return nullptr;
  const unsigned char first = Fold(seg[0]);
  for (size_t pos = slen - len + 1; pos-- > 0;) {
    if (Fold(s[pos]) == first && equalIgnoringCase(s + pos + 1, seg + 1, len - 1)) return s + pos;
  }
  return nullptr;
}

// Copies the bytes [from, from + len) of a path into an output of size bytes,
// cut to size - 1 characters and terminated.
void copySpan(char *out, int32_t size, const char *from, size_t len) {
  if (size < 1) return;
  const size_t keep = len < static_cast<size_t>(size) - 1 ? len : static_cast<size_t>(size) - 1;
  memcpy(out, from, keep);
  out[keep] = '\0';
}

}  // namespace

extern "C" {

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

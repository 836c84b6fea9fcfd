/*
 * qmfile.cpp - file utilities of the product's common runtime.
 *
 * Paths use '/'. The path join here is the one the installer and the file
 * utilities share; it is a leaf like the string basics it builds on.
 */
#include "qmfile.h"

#include <cstring>

#include "qmstr.h"

extern "C" {

// Joins name onto the directory path in buf with exactly one '/' between
// them and answers where the name went; a join that does not fit is cut.
// An empty directory text stays relative: no '/' is put in front of the
// name, so "" and "n" (or "/n") give "n" rather than a path in the root.
char *qmfile_dircat(char *buf, int32_t size, const char *name) {
  if (size < 1) return buf;
  size_t len = strnlen(buf, static_cast<size_t>(size));
  // A text with no terminator inside the buffer leaves no room to join into.
  if (len == static_cast<size_t>(size)) return buf + size - 1;
  if (len > 0 && buf[len - 1] != '/') {
    STR_snprintf(buf + len, size - static_cast<int32_t>(len), "%c", '/');
    len = strlen(buf);
  }
  if (name[0] == '/') ++name;
  STR_snprintf(buf + len, size - static_cast<int32_t>(len), "%s", name);
  return buf + len;
}

}  // extern "C"

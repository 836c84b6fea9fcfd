/*
 * qmfile_paths.cpp - the file utilities' path helpers (qmfile.h): the join
 * of a directory and a name, and the tail that two paths share. Paths use
 * '/'. State: none.
 */
#include <cstring>

#include "file/file_internal.h"
#include "qmexit.h"
#include "qmfile.h"

using rtk::file::kTrace;
using rtk::file::Shown;

extern "C" {

// Joins name onto the directory path in buf with exactly one '/' between
// them and answers where the name went; a join that does not fit is cut.
// An empty directory text stays relative: no '/' is put in front of the
// name, so "" and "n" (or "/n") give "n" rather than a path in the root.
// The pieces are copied as bounded formatting would put them, the zero that
// it leaves in the buffer's last byte included.
char *qmfile_dircat(char *buf, int32_t size, const char *name) {
  if (size < 1) return buf;
  const auto bufSize = static_cast<size_t>(size);
  size_t len = strnlen(buf, bufSize);
  // A text with no terminator inside the buffer leaves no room to join into.
  if (len == bufSize) return buf + size - 1;
  if (len > 0 && buf[len - 1] != '/' && len + 1 < bufSize) buf[len++] = '/';
  if (name[0] == '/') ++name;
  const size_t kept = strnlen(name, bufSize - len - 1);
  memmove(buf + len, name, kept);
  buf[len + kept] = '\0';
  buf[size - 1] = '\0';
  return buf + len;
}

// Finds where the tail that the directory parts of src and dst share
// begins in src, at whole components; "" when either holds no '/'.
const char *qmfile_findOverlap(const char *src, const char *dst) {
  qmenter(kTrace, __func__, "src:%s dst:%s\n", Shown(src), Shown(dst));
  const char *s = src != nullptr ? strrchr(src, '/') : nullptr;
  const char *d = dst != nullptr ? strrchr(dst, '/') : nullptr;
  const char *result = "";
  if (s != nullptr && d != nullptr) {
    while (*s == *d && s != src && d != dst) {
      --s;
      --d;
    }
    result = strchr(s, '/');
  }
  qmexits(kTrace, __func__, result);
  return result;
}

}  // extern "C"

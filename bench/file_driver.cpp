// file_driver.cpp - the library's side of the whole-process comparisons in
// compare.sh: one file utility per run, with output shaped like the tool it
// is compared with.
//
//   rtk_file_driver copy SRC DST     qmfile_CopyFile           (cp, dd)
//   rtk_file_driver walk DIR         qmfile_treeWalk, sizes    (nftw, find -printf '%s\n')
//   rtk_file_driver count FILE       qmfile_getCount           (wc -l)
//   rtk_file_driver tail FILE N      qmf_tailFile, file order  (tail -n N)
//
// Exit 0 on success, 1 when the library reports a failure, 2 for bad usage.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qmerror.h"
#include "qmfile.h"

namespace {

int Failed(const char *what, int32_t rc) {
  std::fprintf(stderr, "rtk_file_driver %s: %s (%d)\n", what, QMERR_err2mnemonic(rc), rc);
  return 1;
}

int Copy(char *src, char *dst) {
  char msg[512];
  int64_t copied = 0;
  const int32_t rc = qmfile_CopyFile(dst, src, 0, 0, nullptr, 0, msg, sizeof msg, &copied);
  return rc == QM_SUCCESS ? 0 : Failed("copy", rc);
}

// Writes each offered object's size, as find -printf '%s\n' does.
int32_t PrintSize(const char *, uint64_t, const PF_Attrs *attrs) {
  std::printf("%" PRId64 "\n", attrs->size);
  return QM_SUCCESS;
}

int Walk(const char *dir) {
  const int32_t rc = qmfile_treeWalk(dir, PrintSize, 0);
  return rc == QM_SUCCESS ? 0 : Failed("walk", rc);
}

int Count(const char *file) {
  std::printf("%" PRId32 "\n", qmfile_getCount(file, 0));
  return 0;
}

int Tail(const char *file, int32_t n) {
  // Room for n lines of the 256 bytes that the tail looks at per line (at
  // most 500), in static storage: the driver needs no C++ runtime library,
  // so a run loads only what the library itself needs.
  static char out[500 * 256 + 256];
  const int32_t rc = qmf_tailFile(file, n, out, n * 256 + 256, 0);
  if (rc != QM_SUCCESS) return Failed("tail", rc);
  std::fputs(out, stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "copy") == 0) return Copy(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "walk") == 0) return Walk(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "count") == 0) return Count(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "tail") == 0) {
    const long n = std::strtol(argv[3], nullptr, 10);
    if (n >= 1 && n <= 500) return Tail(argv[2], static_cast<int32_t>(n));
  }
  std::fprintf(stderr,
               "usage: rtk_file_driver copy SRC DST | walk DIR | count FILE | tail FILE N (1-500)\n");
  return 2;
}

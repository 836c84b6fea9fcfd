// nftw_walk.cpp - the C library's tree walk for compare.sh: nftw without
// following links (FTW_PHYS), which reads every entry's status once, and
// the size of each regular file and directory written as find -printf '%s\n'
// writes it. Does not link the library.
#include <ftw.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

namespace {

int PrintSize(const char *, const struct stat *st, int type, struct FTW *) {
  if (type == FTW_F || type == FTW_D) std::printf("%" PRId64 "\n", static_cast<int64_t>(st->st_size));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: nftw_walk DIR\n");
    return 2;
  }
  return nftw(argv[1], PrintSize, 64, FTW_PHYS) == 0 ? 0 : 1;
}

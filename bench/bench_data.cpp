// bench_data.cpp - makes the data of the whole-process comparisons in
// compare.sh:
//
//   bench_data tree DIR N      DIR with exactly N entries below it: 20
//                              directories of 20 subdirectories each, and
//                              N - 420 files spread over the 400 leaves
//                              (every tenth a versioned "-QM" generation;
//                              sizes set by truncation, so no data blocks)
//   bench_data log FILE BYTES  a log of time-stamped lines of 60 to 130
//                              bytes, at most BYTES bytes long
//
// Does not link the library.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kFanOut = 20;
constexpr long kDirs = kFanOut + kFanOut * kFanOut;

int Fail(const std::string &what) {
  std::fprintf(stderr, "bench_data: %s: %s\n", what.c_str(), std::strerror(errno));
  return 1;
}

int Tree(const std::string &top, long entries) {
  if (entries < kDirs) {
    std::fprintf(stderr, "bench_data: a tree has at least %ld entries\n", kDirs);
    return 2;
  }
  if (mkdir(top.c_str(), 0755) != 0) return Fail(top);
  char name[64];
  for (int d = 0; d < kFanOut; ++d) {
    std::snprintf(name, sizeof name, "/d%02d", d);
    if (mkdir((top + name).c_str(), 0755) != 0) return Fail(top + name);
    for (int s = 0; s < kFanOut; ++s) {
      std::snprintf(name, sizeof name, "/d%02d/s%02d", d, s);
      if (mkdir((top + name).c_str(), 0755) != 0) return Fail(top + name);
    }
  }
  const long files = entries - kDirs;
  for (long i = 0; i < files; ++i) {
    const long leaf = i % (kFanOut * kFanOut);
    const int n = std::snprintf(name, sizeof name, "/d%02ld/s%02ld/", leaf / kFanOut, leaf % kFanOut);
    if (i % 10 == 9) {
      std::snprintf(name + n, sizeof name - static_cast<size_t>(n), "Report%05ld.txt-QM%ld.txt", i / 40, i % 7);
    } else {
      std::snprintf(name + n, sizeof name - static_cast<size_t>(n), "file%06ld.dat", i);
    }
    const std::string path = top + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(path);
    const int rc = ftruncate(fd, static_cast<off_t>(i % 5000));
    close(fd);
    if (rc != 0) return Fail(path);
  }
  return 0;
}

int Log(const char *path, long long bytes) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(path);
  static char buf[1 << 20];
  size_t used = 0;
  long long total = 0;
  static constexpr const char *kWords[] = {"copy", "scan", "walk", "replicate", "verify"};
  for (long long i = 0;; ++i) {
    char line[192];
    const int n = std::snprintf(line, sizeof line,
                                "%" PRId64 ": Quillmar Info %s block %lld of "
                                "/var/opt/quillmar/data/%.*s/report-%05lld.txt done\n",
                                static_cast<int64_t>(1700000000000 + i * 7), kWords[i % 5], i,
                                static_cast<int>(i % 60), "projectsprojectsprojectsprojectsprojectsprojectsprojects",
                                i % 100000);
    if (total + n > bytes) break;
    if (used + static_cast<size_t>(n) > sizeof buf) {
      if (write(fd, buf, used) != static_cast<ssize_t>(used)) return Fail(path);
      used = 0;
    }
    std::memcpy(buf + used, line, static_cast<size_t>(n));
    used += static_cast<size_t>(n);
    total += n;
  }
  const bool ok = write(fd, buf, used) == static_cast<ssize_t>(used);
  close(fd);
  return ok ? 0 : Fail(path);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "tree") == 0) return Tree(argv[2], std::atol(argv[3]));
  if (argc == 4 && std::strcmp(argv[1], "log") == 0) return Log(argv[2], std::atoll(argv[3]));
  std::fprintf(stderr, "usage: bench_data tree DIR N | log FILE BYTES\n");
  return 2;
}

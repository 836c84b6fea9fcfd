// rtkctl copy SRC DST [--catchup]: copies a file with the library's
// replication copy and shows its progress from the copy's callback. Ctrl-C
// (or SIGTERM) makes the callback answer ABORT, so the copy stops after the
// current block, closes both files and applies the attributes as on any other
// ending. The handler is installed without SA_RESTART, so an open, read or
// write that waits (a FIFO without a peer) is interrupted by the signal too,
// and the copy ends with the failure of that step.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "qmerror.h"
#include "qmfile.h"
#include "rtkctl.h"

namespace {

int RunCopy(int argc, char **argv);
const rtkctl::Command kCopy{"copy", "SRC DST [--catchup]",
                            "copy a file with progress (catch-up: read what DST lacks)", RunCopy};

// Set by SIGINT and SIGTERM; read by the copy's callback.
volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

// What the progress bar knows: the count the copy keeps, the bytes expected
// and when the copy started and the bar was last drawn.
struct Progress {
  const int64_t *copied;
  int64_t expected;
  double started;
  double drawn;
  bool tty;
};

double Now() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Draws "[#####.....]  45%  12.0 MiB of 27.0 MiB  105.2 MiB/s" on standard
// error; without a known size (a device, say) only the bytes and the rate.
void Draw(const Progress &p, double now, bool last) {
  constexpr int kWidth = 30;
  constexpr double kMiB = 1024.0 * 1024.0;
  const double done = static_cast<double>(*p.copied);
  const double elapsed = now - p.started;
  const double rate = elapsed > 0 ? done / elapsed / kMiB : 0.0;
  std::fputs(p.tty ? "\r" : "", stderr);
  if (p.expected > 0) {
    const double part = std::min(done / static_cast<double>(p.expected), 1.0);
    const auto filled = static_cast<size_t>(part * kWidth);
    std::fprintf(stderr, "[%s%s] %3d%%  %.1f MiB of %.1f MiB", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), static_cast<int>(part * 100), done / kMiB,
                 static_cast<double>(p.expected) / kMiB);
  } else {
    std::fprintf(stderr, "%.1f MiB", done / kMiB);
  }
  std::fprintf(stderr, "  %.1f MiB/s%s", rate, (last || !p.tty) ? "\n" : "");
}

// The copy's callback: redraws the bar at most ten times a second (on a
// terminal; once a second otherwise) and stops the copy after an interrupt.
int32_t OnBlock(uint64_t context) {
  auto *p = reinterpret_cast<Progress *>(context);
  const double now = Now();
  if (now - p->drawn >= (p->tty ? 0.1 : 1.0)) {
    Draw(*p, now, false);
    p->drawn = now;
  }
  return interrupted ? QM_ERR_ABORT : QM_SUCCESS;
}

// Bytes the copy will handle: the source's size, less what a catch-up
// destination holds already.
int64_t Expected(const char *src, const char *dst, bool catchup) {
  struct stat s {};
  struct stat d {};
  if (stat(src, &s) != 0) return 0;
  const int64_t have = catchup && stat(dst, &d) == 0 ? d.st_size : 0;
  return s.st_size > have ? s.st_size - have : 0;
}

int RunCopy(int argc, char **argv) {
  const bool catchup = argc == 4 && std::strcmp(argv[3], "--catchup") == 0;
  if (argc != 3 && !catchup) return rtkctl::UsageError(kCopy);
  std::string src = argv[1];
  std::string dst = argv[2];
  // The copy truncates its destination before reading: naming the source
  // twice would empty it, so the tool refuses that.
  struct stat s {};
  struct stat d {};
  if (!catchup && stat(src.c_str(), &s) == 0 && stat(dst.c_str(), &d) == 0 && s.st_dev == d.st_dev &&
      s.st_ino == d.st_ino) {
    std::fprintf(stderr, "rtkctl copy: %s and %s are the same file\n", argv[1], argv[2]);
    return rtkctl::kExitUsage;
  }

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  int64_t copied = 0;
  const double start = Now();
  Progress progress{&copied, Expected(src.c_str(), dst.c_str(), catchup), start, start,
                    isatty(STDERR_FILENO) == 1};
  char msg[1024] = "";
  const int32_t rc = qmfile_CopyFile(dst.data(), src.data(), catchup ? 1 : 0, 0, OnBlock,
                                     reinterpret_cast<uint64_t>(&progress), msg, sizeof msg, &copied);
  if (progress.expected > 0 || copied > 0) Draw(progress, Now(), true);
  std::printf("%s %" PRId64 " bytes%s\n", catchup ? "read" : "copied", copied,
              interrupted ? " (interrupted)" : "");
  if (msg[0] != '\0') std::printf("message: %s\n", msg);
  rtkctl::PrintResult(rc);
  return rtkctl::ExitStatusFor(rc);
}

const rtkctl::Registration kRegistration(kCopy);

}  // namespace

// bench_diag.cpp - what tracing costs: a trace call whose bit is off against
// a call of an empty function, and a trace line written to the terminal
// target (standard output going to a file) against fprintf of the same line.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "peer_calls.h"
#include "qmlog.h"
#include "qmtrace.h"

namespace {

constexpr const char *kFormat = "copy block %d of %s\n";
constexpr const char *kFileName = "/var/opt/quillmar/data/report.txt";

// Points standard output at an unnamed scratch file in $TMPDIR (or /tmp)
// for the life of the object, and gives it back afterwards.
class StdoutToScratch {
 public:
  StdoutToScratch() {
    std::fflush(stdout);
    const char *dir = std::getenv("TMPDIR");
    const int fd = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) return;
    saved_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  ~StdoutToScratch() {
    std::fflush(stdout);
    if (saved_ < 0) return;
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  StdoutToScratch(const StdoutToScratch &) = delete;
  StdoutToScratch &operator=(const StdoutToScratch &) = delete;
  bool ok() const { return saved_ >= 0; }

  // The text written to the scratch file so far.
  static std::string Contents() {
    std::fflush(stdout);
    std::string text;
    char buf[4096];
    for (off_t at = 0;;) {
      const ssize_t got = pread(STDOUT_FILENO, buf, sizeof buf, at);
      if (got <= 0) break;
      text.append(buf, static_cast<size_t>(got));
      at += got;
    }
    return text;
  }

 private:
  int saved_ = -1;
};

// Milliseconds since the epoch, as the log stamps its lines.
int64_t Msecs() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// The line that both sides must have written for block 7: "<pid> <msecs>:
// RTK copy block 7 of ...". Answers an empty text when it is there.
std::string CheckLine(const std::string &text) {
  const std::string pid = std::to_string(getpid()) + " ";
  const std::string tail = std::string(": RTK copy block 7 of ") + kFileName + "\n";
  if (text.compare(0, pid.size(), pid) != 0 || text.size() < tail.size() ||
      text.compare(text.size() - tail.size(), tail.size(), tail) != 0) {
    return "unexpected line: " + text;
  }
  return "";
}

void BM_TraceOff_Ours(benchmark::State &state) {
  TRACE_Set(0);
  int i = 0;
  for (auto _ : state) TRACE_LogFine(QM_TRACE_RTK, kFormat, ++i, kFileName);
}
BENCHMARK(BM_TraceOff_Ours)->Name("ours:trace_off_vs_empty_call");

void BM_TraceOff_Peer(benchmark::State &state) {
  int i = 0;
  for (auto _ : state) rtkbench::EmptyTraceCall(QM_TRACE_RTK, kFormat, ++i, kFileName);
}
BENCHMARK(BM_TraceOff_Peer)->Name("peer:trace_off_vs_empty_call");

void BM_TraceLine_Ours(benchmark::State &state) {
  StdoutToScratch scratch;
  if (!scratch.ok()) return state.SkipWithError("no scratch file for standard output");
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  TRACE_Set(QM_TRACE_RTK);
  TRACE_LogFine(QM_TRACE_RTK, kFormat, 7, kFileName);
  const std::string bad = CheckLine(StdoutToScratch::Contents());
  int i = 7;
  if (bad.empty()) {
    for (auto _ : state) TRACE_LogFine(QM_TRACE_RTK, kFormat, ++i, kFileName);
  }
  TRACE_Set(0);
  LOG_SetTarget(QM_LOG_TARGET_FILE);
  if (!bad.empty()) state.SkipWithError(bad.c_str());
}
BENCHMARK(BM_TraceLine_Ours)->Name("ours:trace_line_vs_fprintf");

void BM_TraceLine_Peer(benchmark::State &state) {
  StdoutToScratch scratch;
  if (!scratch.ok()) return state.SkipWithError("no scratch file for standard output");
  const int pid = getpid();
  std::fprintf(stdout, "%d %" PRId64 ": RTK copy block %d of %s\n", pid, Msecs(), 7, kFileName);
  const std::string bad = CheckLine(StdoutToScratch::Contents());
  if (!bad.empty()) return state.SkipWithError(bad.c_str());
  int i = 7;
  for (auto _ : state) {
    std::fprintf(stdout, "%d %" PRId64 ": RTK copy block %d of %s\n", pid, Msecs(), ++i, kFileName);
  }
}
BENCHMARK(BM_TraceLine_Peer)->Name("peer:trace_line_vs_fprintf");

}  // namespace

// rtkctl tail FILE [-n N] [--newest-first]: shows the last lines of a text
// file (at most 500) the way the library's tail gives them.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qmerror.h"
#include "qmfile.h"
#include "rtkctl.h"

namespace {

int RunTail(int argc, char **argv);
const rtkctl::Command kTail{"tail", "FILE [-n N] [--newest-first]",
                            "show the last N lines of a file (default 10, at most 500)", RunTail};

// Room for the largest answer: 500 lines from a 128,000-byte window, each
// with its line feed, and the 128 bytes the tail keeps free.
constexpr int32_t kOutSize = 500 * 256 + 500 + 128 + 1;

// Reads a line count of 1 or more; false for anything else.
bool ParseCount(const char *text, int32_t *n) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 1 || value > INT32_MAX) return false;
  *n = static_cast<int32_t>(value);
  return true;
}

int RunTail(int argc, char **argv) {
  const char *path = nullptr;
  int32_t n = 10;
  int64_t newestFirst = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      if (!ParseCount(argv[++i], &n)) return rtkctl::UsageError(kTail);
    } else if (std::strcmp(argv[i], "--newest-first") == 0) {
      newestFirst = 1;
    } else if (path == nullptr && argv[i][0] != '-') {
      path = argv[i];
    } else {
      return rtkctl::UsageError(kTail);
    }
  }
  if (path == nullptr) return rtkctl::UsageError(kTail);
  // A directory opens for reading but holds no lines; the library would show
  // it as an empty file.
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "rtkctl tail: %s: %s\n", path, std::strerror(EISDIR));
    return rtkctl::kExitFailed;
  }
  std::vector<char> out(kOutSize);
  const int32_t rc = qmf_tailFile(path, n, out.data(), kOutSize, newestFirst);
  if (rc == QM_SUCCESS) {
    std::fputs(out.data(), stdout);
    return rtkctl::kExitOk;
  }
  // A file that cannot be opened leaves its message, with a line feed, in out.
  if (out[0] != '\0') {
    std::fprintf(stderr, "rtkctl tail: %s", out.data());
  } else {
    std::fprintf(stderr, "rtkctl tail: %s\n", path);
  }
  rtkctl::PrintResult(rc);
  return rtkctl::ExitStatusFor(rc);
}

const rtkctl::Registration kRegistration(kTail);

}  // namespace

// rtkctl log: writes one message through the message log, so that an
// administrator can check where the product's messages go (the system log
// or the terminal) and what they look like there.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qmerror.h"
#include "qmlog.h"
#include "qmstr.h"
#include "rtkctl.h"

namespace {

constexpr const char *kLevelNames[] = {"PANIC", "ERROR", "Warn", "Info", "Print"};
constexpr int32_t kLevelCount = 5;

int RunLog(int argc, char **argv);

const rtkctl::Command kCommand = {"log", "LEVEL TEXT [--target file|screen]",
                                  "write one message through the message log", RunLog};

// Reads a level given by name (any case) or as a number 0-4.
bool ParseLevel(const char *text, uint32_t *level) {
  const int32_t byName = STR_str2enum(text, kLevelNames, kLevelCount);
  if (byName >= 0) {
    *level = static_cast<uint32_t>(byName);
    return true;
  }
  if (text[0] < '0' || text[0] > '4' || text[1] != '\0') return false;
  *level = static_cast<uint32_t>(text[0] - '0');
  return true;
}

int RunLog(int argc, char **argv) {
  const char *target = "file";
  if (argc == 5 && std::strcmp(argv[3], "--target") == 0) {
    target = argv[4];
  } else if (argc != 3) {
    return rtkctl::UsageError(kCommand);
  }
  uint32_t level = 0;
  if (!ParseLevel(argv[1], &level)) {
    std::fprintf(stderr, "rtkctl: unknown log level '%s' (PANIC, ERROR, Warn, Info, Print or 0-4)\n",
                 argv[1]);
    return rtkctl::kExitUsage;
  }
  if (LOG_SetTargetByStr(target) != QM_SUCCESS || target[0] == '\0') {
    std::fprintf(stderr, "rtkctl: unknown log target '%s' (file or screen)\n", target);
    return rtkctl::kExitUsage;
  }
  LOG_Log(level, "%s\n", argv[2]);
  std::fflush(stdout);
  return rtkctl::kExitOk;
}

const rtkctl::Registration kRegistration(kCommand);

}  // namespace

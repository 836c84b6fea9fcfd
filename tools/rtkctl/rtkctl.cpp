// rtkctl: the administrator's tool for librtk. Dispatches to the registered
// subcommands and prints the list of them for --help.
#include "rtkctl.h"

#include "qmerror.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace rtkctl {
namespace {

// All subcommands, filled by the static Registration objects before main.
std::vector<Command> &Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintHelp(FILE *out) {
  std::fprintf(out, "usage: rtkctl COMMAND [ARGS...]\n\nCommands:\n");
  std::vector<Command> sorted = Registry();
  std::sort(sorted.begin(), sorted.end(),
            [](const Command &a, const Command &b) { return std::strcmp(a.name, b.name) < 0; });
  for (const Command &c : sorted) {
    std::fprintf(out, "  %-10s %-28s %s\n", c.name, c.usage, c.summary);
  }
  std::fprintf(out, "\nExit status: 0 success, 1 the operation failed, 2 bad usage.\n");
}

}  // namespace

Registration::Registration(const Command &command) { Registry().push_back(command); }

void PrintResult(int32_t result) {
  const char *mnemonic = QMERR_err2mnemonic(result);
  if (result != QM_ERR_WEIRD && std::strcmp(mnemonic, "WEIRD") == 0) {
    std::printf("result: %d (not a catalogue code)\n", static_cast<int>(result));
    return;
  }
  // Catalogue texts may end with a line feed of their own.
  const char *text = QMERR_err2str(result);
  const size_t length = std::strlen(text);
  const int shown = static_cast<int>(length > 0 && text[length - 1] == '\n' ? length - 1 : length);
  std::printf("result: %d %s: %.*s\n", static_cast<int>(result), mnemonic, shown, text);
}

int ExitStatusFor(int32_t result) { return result == QM_SUCCESS ? kExitOk : kExitFailed; }

int UsageError(const Command &command) {
  std::fprintf(stderr, "usage: rtkctl %s %s\n", command.name, command.usage);
  return kExitUsage;
}

}  // namespace rtkctl

int main(int argc, char **argv) {
  using namespace rtkctl;
  // Line by line, so that the library's terminal log and the output of the
  // scripts it runs appear in the order in which they happen.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) {
    PrintHelp(stderr);
    return kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    PrintHelp(stdout);
    return kExitOk;
  }
  for (const Command &c : Registry()) {
    if (std::strcmp(c.name, argv[1]) == 0) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "rtkctl: unknown command '%s' (see rtkctl --help)\n", argv[1]);
  return kExitUsage;
}

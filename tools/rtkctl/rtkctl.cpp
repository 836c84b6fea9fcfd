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

constexpr char kJsonOption[] = "--json";

struct Entry {
  Command command;
  Forms forms;
};

// The tool's process-wide state: the subcommands, filled by the static
// Registration objects before main, and whether this run prints JSON.
struct Tool {
  std::vector<Entry> commands;
  bool json = false;
};

Tool &State() {
  static Tool tool;
  return tool;
}

void PrintHelp(FILE *out) {
  std::fprintf(out,
               "usage: rtkctl [--json] COMMAND [ARGS...]\n\n"
               "Options:\n"
               "  --json     print the result as JSON (one object; one per line for walk),\n"
               "             for the commands that show [--json]; also taken after COMMAND\n"
               "  --help     print this text\n\n"
               "Commands:\n");
  std::vector<Entry> sorted = State().commands;
  std::sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) {
    return std::strcmp(a.command.name, b.command.name) < 0;
  });
  for (const Entry &e : sorted) {
    std::fprintf(out, "  %-14s %-28s %s\n", e.command.name, e.command.usage, e.command.summary);
  }
  std::fprintf(out, "\nExit status: 0 success, 1 the operation failed, 2 bad usage.\n");
}

const Entry *Find(const char *name) {
  for (const Entry &e : State().commands) {
    if (std::strcmp(e.command.name, name) == 0) return &e;
  }
  return nullptr;
}

// Runs the command named by args[0]. A command with a JSON form takes --json
// among its arguments as well; every "--json" is taken out of them (a path
// of that name is written ./--json). Other commands keep their arguments as
// they are and refuse a --json given before them.
int Dispatch(std::vector<char *> args, bool json) {
  const Entry *entry = Find(args[0]);
  if (entry == nullptr) {
    std::fprintf(stderr, "rtkctl: unknown command '%s' (see rtkctl --help)\n", args[0]);
    return kExitUsage;
  }
  if (entry->forms == Forms::kTextAndJson) {
    const size_t before = args.size();
    std::erase_if(args, [](const char *a) { return std::strcmp(a, kJsonOption) == 0; });
    json = json || args.size() != before;
  } else if (json) {
    std::fprintf(stderr, "rtkctl: %s has no JSON form (see rtkctl --help)\n", args[0]);
    return kExitUsage;
  }
  State().json = json;
  const int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  return entry->command.run(count, args.data());
}

}  // namespace

Registration::Registration(const Command &command, Forms forms) {
  State().commands.push_back({command, forms});
}

bool JsonOutput() { return State().json; }

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
  const bool json = argc > 1 && std::strcmp(argv[1], kJsonOption) == 0;
  const int first = json ? 2 : 1;
  if (argc <= first) {
    PrintHelp(stderr);
    return kExitUsage;
  }
  if (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0 ||
      std::strcmp(argv[first], "help") == 0) {
    PrintHelp(stdout);
    return kExitOk;
  }
  return Dispatch(std::vector<char *>(argv + first, argv + argc), json);
}

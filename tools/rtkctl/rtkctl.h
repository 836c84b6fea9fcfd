// rtkctl subcommand registry. Each cmd_*.cpp defines one subcommand and
// registers it with a file-scope RtkctlRegistration object.
#pragma once

#include <cstdint>

namespace rtkctl {

// Exit statuses shared by all subcommands.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // the operation ran and did not succeed
constexpr int kExitUsage = 2;    // bad arguments or unknown names

struct Command {
  const char *name;     // the word after "rtkctl"
  const char *usage;    // argument synopsis, e.g. "CODE|MNEMONIC"
  const char *summary;  // one line for "rtkctl --help"
  int (*run)(int argc, char **argv);  // argv[0] is the subcommand name
};

// The output forms of a command: every command prints text for people; those
// registered with kTextAndJson also print JSON (json.h) when the run was
// given --json.
enum class Forms { kText, kTextAndJson };

struct Registration {
  explicit Registration(const Command &command, Forms forms = Forms::kText);
};

// Whether this run prints JSON.
bool JsonOutput();

// Prints "usage: rtkctl NAME USAGE" to standard error and returns kExitUsage.
int UsageError(const Command &command);

// Prints "result: CODE MNEMONIC: TEXT" for a catalogue code, or "result: CODE
// (not a catalogue code)" for the plain values some operations return.
void PrintResult(int32_t result);

// kExitOk for SUCCESS, kExitFailed for anything else.
int ExitStatusFor(int32_t result);

}  // namespace rtkctl

// rtkctl trace-settings: prints the library's trace settings as the reply
// to a trace command. An optional trace command is applied first, so that
// an administrator can try one out and see what it sets. With --json the
// settings are the fields device, mask, level and program of one object.
#include <cstdio>

#include "json.h"
#include "qmerror.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "rtkctl.h"

namespace {

constexpr int32_t kCommandSize = 1024;

int RunTraceSettings(int argc, char **argv);

const rtkctl::Command kCommand = {"trace-settings", "[--json] ['<trace .../>']",
                                  "print the trace settings as a trace command", RunTraceSettings};

int RunTraceSettings(int argc, char **argv) {
  if (argc > 2) return rtkctl::UsageError(kCommand);
  char command[kCommandSize];
  if (argc == 2) {
    STR_copy(command, argv[1], kCommandSize);
    const int32_t rc = TRACE_Parse_Common(command, kCommandSize);
    if (rc != QM_SUCCESS && rc != QM_INFO_XMLRESPONSE) {
      std::fprintf(stderr, "rtkctl: trace command refused: %d %s\n", rc, QMERR_err2mnemonic(rc));
      return rtkctl::kExitFailed;
    }
  }
  TRACE_getXmlTraceCommand(command, kCommandSize);
  if (rtkctl::JsonOutput()) {
    rtkctl::JsonObject().TraceSettings(command);
  } else {
    std::printf("%s\n", command);
  }
  return rtkctl::kExitOk;
}

const rtkctl::Registration kRegistration(kCommand, rtkctl::Forms::kTextAndJson);

}  // namespace

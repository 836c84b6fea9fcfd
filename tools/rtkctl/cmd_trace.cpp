// rtkctl trace DEVICE MASK LEVEL [PROGRAM]: sets the library's and the
// running driver's trace with RTK_SetTrace and prints the result.
#include "rtk.h"
#include "rtkctl.h"

namespace rtkctl {
namespace {

int RunTrace(int argc, char **argv);

const Command kTrace = {"trace", "DEVICE MASK LEVEL [PROGRAM]",
                        "set the library's and the driver's trace", RunTrace};

int RunTrace(int argc, char **argv) {
  if (argc != 4 && argc != 5) return UsageError(kTrace);
  const int32_t result = RTK_SetTrace(argv[1], argv[2], argv[3], argc == 5 ? argv[4] : "");
  PrintResult(result);
  return ExitStatusFor(result);
}

const Registration kRegistration(kTrace);

}  // namespace
}  // namespace rtkctl

// rtkctl hook PATH: attaches the driver to the file system at PATH (the
// object and then its parent directory) and prints the result code.
#include "cmd_driver.h"
#include "pf_driverif.h"
#include "qmerror.h"
#include "rtkctl.h"

namespace rtkctl {
namespace {

int RunHook(int argc, char **argv);

const Command kHook = {"hook", "PATH", "hook PATH and its parent directory in the driver",
                       RunHook};

int RunHook(int argc, char **argv) {
  if (argc != 2) return UsageError(kHook);
  const int32_t result = PF_AttachDriverToFileSystem(argv[1]);
  PrintDriverResult(result);
  return result == QM_SUCCESS ? kExitOk : kExitFailed;
}

const Registration kRegistration(kHook);

}  // namespace
}  // namespace rtkctl

// rtkctl install PKGDIR [--trace[=file|screen]] and rtkctl uninstall
// [--unload] [--trace=screen]: the installer's two entry points from the command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "qmlog.h"
#include "qmtrace.h"
#include "rtk.h"
#include "rtkctl.h"

namespace rtkctl {
namespace {

// Traces the installer (RTK, Fine) to this terminal as it works.
void TraceInstallerToScreen() {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  TRACE_SetLevelByStr("Fine");
  TRACE_Set(QM_TRACE_RTK);
}

int RunInstall(int argc, char **argv);
int RunUninstall(int argc, char **argv);

const Command kInstall = {"install", "PKGDIR [--trace[=file|screen]]",
                          "install the driver from a package, loading it when needed",
                          RunInstall};
const Command kUninstall = {"uninstall", "[--unload] [--trace=screen]",
                            "reset the driver, optionally unload it, and uninstall", RunUninstall};

// "--trace" (or "--trace=file") asks the library itself to trace the install
// to the system log; "--trace=screen" traces it to this terminal instead.
int RunInstall(int argc, char **argv) {
  RTK_InstallRequest request{};
  const char *package = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--trace" || arg == "--trace=file") {
      request.traceOn = 1;
    } else if (arg == "--trace=screen") {
      TraceInstallerToScreen();
    } else if (package == nullptr && arg.compare(0, 2, "--") != 0) {
      package = argv[i];
    } else {
      return UsageError(kInstall);
    }
  }
  if (package == nullptr) return UsageError(kInstall);
  if (std::strlen(package) >= sizeof request.untarDir) {
    std::fprintf(stderr, "rtkctl install: package path is too long\n");
    return kExitUsage;
  }
  std::strcpy(request.untarDir, package);
  const int32_t result = RTK_InstallDriver(&request);
  PrintResult(result);
  return ExitStatusFor(result);
}

int RunUninstall(int argc, char **argv) {
  int32_t mode = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--unload") == 0) {
      mode = 1;
    } else if (std::strcmp(argv[i], "--trace=screen") == 0) {
      TraceInstallerToScreen();
    } else {
      return UsageError(kUninstall);
    }
  }
  const int32_t result = RTK_UninstallDriver(mode);
  PrintResult(result);
  return ExitStatusFor(result);
}

const Registration kInstallRegistration(kInstall);
const Registration kUninstallRegistration(kUninstall);

}  // namespace
}  // namespace rtkctl

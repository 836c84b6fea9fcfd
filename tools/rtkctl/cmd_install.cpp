// rtkctl install PKGDIR [--trace[=file|screen]] and rtkctl uninstall
// [--unload] [--trace=screen]: the installer's two entry points from the
// command line.
//
// The library counts a script that ran as done, whatever became of it. The
// tool tells the administrator what really happened: before an install it
// refuses a package whose install script cannot run (so that the load script
// does not run after nothing), and after the library's call it checks the
// outcome (the installed scripts and version, a loaded driver that answers,
// an uninstalled tree, an unloaded driver). The library's result line is
// printed as it is; a failed check adds "rtkctl install: failed: REASON" on
// standard error and exit status 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmd_driver.h"
#include "pf_driverif.h"
#include "pf_user.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtk.h"
#include "rtkctl.h"

namespace rtkctl {
namespace {

// The scripts that the install puts into the installation directory and
// that the library runs from there later.
constexpr const char *kInstalledScripts[] = {"qmloaddrv.sh", "qmunloaddrv.sh", "rtkuninstall"};

// Traces the installer (RTK, Fine) to this terminal as it works.
void TraceInstallerToScreen() {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  TRACE_SetLevelByStr("Fine");
  TRACE_Set(QM_TRACE_RTK);
}

// The installation directory, with its trailing '/'.
std::string InstallDir() {
  char dir[256];
  PF_GetInstallDir(dir, sizeof dir);
  return dir;
}

// Empty when `path` is a regular file that may be run, else why it may not.
std::string WhyNotRunnable(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return path + ": not a regular file";
  if (access(path.c_str(), X_OK) != 0) return path + ": not executable";
  return "";
}

// The package's install script, "PKGDIR/platforms/PLATFORM/rtkinstall";
// empty when this host has no platform name (the library reports that).
std::string InstallScriptOf(const std::string &package) {
  PF_HostInfo host;
  char platform[64];
  if (PF_GetHostInfo(&host) != QM_SUCCESS ||
      rtkutils_getPlatform(host.osName, platform, sizeof platform) != 0) {
    return "";
  }
  return package + "/platforms/" + platform + "/rtkinstall";
}

// The first line of a version file, or "" when it has none. The file is read
// only when it is a regular file at its own name: a package's version file
// may come from a hostile tarball, and a FIFO or device must not be opened.
std::string FirstLineOf(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  char text[256] = "";
  const ssize_t got = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text, sizeof text - 1) : -1;
  close(fd);
  if (got <= 0) return "";
  text[got] = '\0';
  return std::string(text, std::strcspn(text, "\r\n"));
}

// Whether the install will load the driver: none answers, or the running
// one is older than the one the library carries.
bool LoadWanted() {
  std::string version;
  const int32_t result = AskDriverVersion(&version);
  return result == QM_ERR_DRVROPEN ||
         (result == QM_INFO_XMLRESPONSE &&
          rtkutils_compareQuillmarVersions(version.c_str(), RTK_DRIVER_VERSION) == 1);
}

// Empty when the package is installed (the scripts runnable in the
// installation directory, its version recorded there) and, when a load was
// wanted, the driver answers with its version; else what is missing.
std::string InstallFailure(const std::string &package, bool loadWanted) {
  const std::string wanted = FirstLineOf(package + "/misc/version.txt");
  if (wanted.empty()) return "the package's misc/version.txt holds no version";
  const std::string dir = InstallDir();
  for (const char *script : kInstalledScripts) {
    const std::string why = WhyNotRunnable(dir + script);
    if (!why.empty()) return "not installed: " + why;
  }
  const std::string installed = FirstLineOf(dir + "version.txt");
  if (installed != wanted) {
    return dir + "version.txt records '" + installed + "', not the package's " + wanted;
  }
  std::string version;
  if (loadWanted && (AskDriverVersion(&version) != QM_INFO_XMLRESPONSE || version.empty())) {
    return std::string("the driver was to be loaded, but ") + PF_DRIVER_DEVICE +
           " does not answer with its version";
  }
  return "";
}

// Empty when the installed scripts are gone and, with `unloaded`, the driver
// too; else what is left. `unloadScript` says why the unload script could
// not run, when it could not.
std::string UninstallFailure(bool unloaded, const std::string &unloadScript) {
  const std::string dir = InstallDir();
  for (const char *script : kInstalledScripts) {
    struct stat st;
    if (lstat((dir + script).c_str(), &st) == 0) return "still installed: " + dir + script;
  }
  const int err = DeviceOpenError();
  if (unloaded && (err == 0 || IsPermissionError(err))) {
    return std::string("the driver is still loaded (") + PF_DRIVER_DEVICE + " is there)" +
           (unloadScript.empty() ? "" : "; " + unloadScript);
  }
  return "";
}

// Prints the library's result and answers the exit status: failed when the
// library failed or, after its success, `failure` names what went wrong.
int Report(const char *command, int32_t result, const std::string &failure) {
  PrintResult(result);
  if (result != QM_SUCCESS) return kExitFailed;
  if (failure.empty()) return kExitOk;
  std::fprintf(stderr, "rtkctl %s: failed: %s\n", command, failure.c_str());
  return kExitFailed;
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
  bool traceToScreen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--trace" || arg == "--trace=file") {
      request.traceOn = 1;
    } else if (arg == "--trace=screen") {
      traceToScreen = true;
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
  const std::string script = InstallScriptOf(package);
  const std::string why = script.empty() ? "" : WhyNotRunnable(script);
  if (!why.empty()) {
    std::fprintf(stderr, "rtkctl install: failed: the package's install script cannot run: %s\n",
                 why.c_str());
    return kExitFailed;
  }
  const bool loadWanted = LoadWanted();  // asked before the trace starts: not the library's work
  if (traceToScreen) TraceInstallerToScreen();
  std::strcpy(request.untarDir, package);
  const int32_t result = RTK_InstallDriver(&request);
  return Report("install", result, result == QM_SUCCESS ? InstallFailure(package, loadWanted) : "");
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
  const std::string unloadScript = WhyNotRunnable(InstallDir() + "qmunloaddrv.sh");
  const int32_t result = RTK_UninstallDriver(mode);
  return Report("uninstall", result,
                result == QM_SUCCESS ? UninstallFailure(mode == 1, unloadScript) : "");
}

const Registration kInstallRegistration(kInstall);
const Registration kUninstallRegistration(kUninstall);

}  // namespace
}  // namespace rtkctl

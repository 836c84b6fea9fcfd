/*
 * rtk_unixutils.cpp - the install and uninstall sequences.
 *
 * The library does not install anything itself: it finds the package's
 * platform directory, asks the running driver for its version, decides
 * whether the new driver must be loaded, and runs the product's scripts
 * ("rtkinstall" from the package, "qmloaddrv.sh", "qmunloaddrv.sh" and
 * "rtkuninstall" from the installation directory) through the shell.
 * A script that runs and fails still counts as run; only a shell that could
 * not be started is a failure.
 */
#include "rtk.h"

#include <cstdarg>
#include <cstring>

#include "pf_user.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "qmfile.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "qmxml.h"

namespace {

// Working buffer sizes of one install or uninstall call.
constexpr int32_t kPlatformSize = 64;
constexpr int32_t kRelativePlatformSize = 256;
constexpr int32_t kPathSize = 1280;
constexpr int32_t kReplySize = 1024;
constexpr int32_t kCommandSize = 1280;

// True when `text` holds only characters that the shell takes literally in
// a command line (letters, digits and "/._-+,:@%="). The package path goes
// unquoted into the install command, so anything else (blanks, quotes, '$',
// ';', a backquote, a newline ...) could split it or run another command:
// such a path is refused instead of being handed to the shell.
bool isShellInert(const char *text) {
  for (const char *p = text; *p != '\0'; ++p) {
    const char c = *p;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain && std::strchr("/._-+,:@%=", c) == nullptr) return false;
  }
  return true;
}

// Formats a script command line into `command` (kCommandSize bytes) and
// answers whether it fitted; a cut command line is never run.
bool formatCommand(char *command, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t length = STR_vsnprintf(command, kCommandSize, format, args);
  va_end(args);
  return length >= 0 && length < kCommandSize;
}

// Runs one script command line from `directory`, waiting for it.
int32_t runScript(const char *command, const char *directory) {
  return PF_DoSystemCommand(command, directory, 1);
}

// Runs one of the scripts in the installation directory ("load",
// "qmloaddrv.sh", ...), tracing "<action> cmd is <command>". When no shell
// could start it, logs "failed to run <script less .sh>" and answers false.
bool runInstalledScript(const char *action, const char *script, const char *directory) {
  char command[kCommandSize];
  formatCommand(command, "%s%s", PF_INSTALL_DIR, script);
  TRACE_LogFine(QM_TRACE_RTK, "%s cmd is %s\n", action, command);
  if (runScript(command, directory) == QM_SUCCESS) return true;
  const int nameLength = static_cast<int>(std::strcspn(script, "."));
  LOG_Log(QM_LOG_ERROR, "failed to run %.*s\n", nameLength, script);
  return false;
}

// Asks the running driver for its version and answers the load flag: 1 when
// no driver is loaded or the loaded one is older than the one this library
// carries, 0 when it is current or answered without XML. A reply that gives
// no usable version answers -1 and leaves its result code in *failure.
int32_t decideLoadFlag(int32_t *failure) {
  char command[] = "<kversion/>";
  char reply[kReplySize];
  reply[0] = '\0';
  const int32_t rc = qma_simpleXML(0, command, reply, kReplySize);
  TRACE_LogFine(QM_TRACE_RTK, "PF_rtk_InstallDriver: kversion returned %d temp:%s\n", rc, reply);
  if (rc == QM_ERR_DRVROPEN) return 1;
  if (rc != QM_INFO_XMLRESPONSE) return 0;

  char version[kReplySize];
  if (xml_getAssignment(reply, "version", version, kReplySize, "") == nullptr) {
    LOG_Log(QM_LOG_ERROR, "PF_rtk_InstallDriver: missing version");
    *failure = QM_INFO_BADXML;
    return -1;
  }
  const int32_t older = rtkutils_compareQuillmarVersions(version, RTK_DRIVER_VERSION);
  if (older == -1) {
    *failure = QM_ERR_BADPARAM;
    return -1;
  }
  return older;
}

}  // namespace

extern "C" {

// Installs the package named by request->untarDir and loads its driver when
// none is loaded or the loaded one is older than RTK_DRIVER_VERSION.
RTK_Result PF_rtk_InstallDriver(const RTK_InstallRequest *request) {
  PF_HostInfo host;
  const int32_t hostResult = PF_GetHostInfo(&host);
  if (hostResult != QM_SUCCESS) {
    TRACE_LogFine(QM_TRACE_RTK, "PF_rtk_InstallDriver: PF_GetHostInfo failed result %d\n",
                  hostResult);
    return QM_ERR_OS_NOT_SUPPORTED;
  }
  char platform[kPlatformSize];
  const int32_t platformResult = rtkutils_getPlatform(host.osName, platform, kPlatformSize);
  if (platformResult != 0) return platformResult;

  char platformDir[kPathSize];
  char relative[kRelativePlatformSize];
  STR_copy(platformDir, request->untarDir, kPathSize);
  STR_snprintf(relative, kRelativePlatformSize, "platforms%c%s", '/', platform);
  qmfile_dircat(platformDir, kPathSize, relative);

  int32_t failure = QM_SUCCESS;
  const int32_t loadFlag = decideLoadFlag(&failure);
  if (loadFlag < 0) return failure;

  char command[kCommandSize];
  if (!isShellInert(request->untarDir) ||
      !formatCommand(command, "%s%crtkinstall %s%c %d %s", platformDir, '/', platformDir, '/',
                     loadFlag, request->untarDir)) {
    LOG_Log(QM_LOG_ERROR, "PF_rtk_InstallDriver: package path not usable in a command: %s\n",
            request->untarDir);
    return QM_ERR_BADPARAM;
  }
  TRACE_LogFine(QM_TRACE_RTK, "install cmd is %s\n", command);
  if (runScript(command, platformDir) != QM_SUCCESS) {
    LOG_Log(QM_LOG_ERROR, "PF_rtk_InstallDriver: failed to run install\n");
    return QM_ERR_INSTALL_FAILED;
  }
  if (loadFlag == 0) return QM_SUCCESS;

  return runInstalledScript("load", "qmloaddrv.sh", platformDir) ? QM_SUCCESS : QM_ERR_DRVROPEN;
}

// Unloads the driver first when mode is 1, then uninstalls the product.
RTK_Result PF_rtk_UninstallDriver(int32_t mode) {
  if (mode == 1 && !runInstalledScript("unload", "qmunloaddrv.sh", PF_INSTALL_DIR)) {
    return QM_ERR_UNLOAD_DRV_FAILED;
  }
  return runInstalledScript("uninstall", "rtkuninstall", PF_INSTALL_DIR) ? QM_SUCCESS
                                                                       : QM_ERR_UNINSTALL_FAILED;
}

}  // extern "C"

/*
 * pf_unix_user_system.cpp - the shell, the host and the product's place on
 * it (pf_user.h): running a command line, the host's names, the installation
 * directory, and the counterparts of other platforms' operations, which do
 * nothing here or report that they are not supported. State: none.
 */
#include <sys/utsname.h>

#include <cstring>

#include "pf_user.h"
#include "platform/pf_sys.h"
#include "platform/platform_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"

extern "C" {

// Runs command through the shell in the current directory and waits for it.
// Only a shell that could not be started is a failure; the command's own
// exit status is not.
int32_t PF_DoSystemCommand(const char *command, const char *directory, int32_t wait) {
  constexpr const char kFunction[] = "DoSystemCommand";
  using rtk::platform::Shown;
  qmenter(QM_TRACE_PF, kFunction, "cmd:[%s] dir:[%s] wait:%d\n", Shown(command), Shown(directory),
          wait);
  // A null command would ask system() whether a shell exists and run nothing.
  const int32_t result = command == nullptr                        ? QM_ERR_NULLPARAM
                         : rtk::platform::RunShell(command) == -1 ? QM_ERR_BADFILE
                                                                   : QM_SUCCESS;
  qmexit(QM_TRACE_PF, kFunction, result);
  return result;
}

// Fills info with the system name, release and node name (cut to fit).
int32_t PF_GetHostInfo(PF_HostInfo *info) {
  if (info == nullptr) return QM_ERR_NULLPARAM;
  std::memset(info, 0, sizeof *info);
  struct utsname host;
  if (uname(&host) != 0) return QM_ERR_BADFILE;
  STR_copy(info->osName, host.sysname, sizeof info->osName);
  STR_copy(info->osRelease, host.release, sizeof info->osRelease);
  STR_copy(info->hostName, host.nodename, sizeof info->hostName);
  return QM_SUCCESS;
}

// Copies the product's installation directory into out, cut to fit.
int32_t PF_GetInstallDir(char *out, int32_t size) {
  if (out == nullptr) return QM_ERR_NULLPARAM;
  STR_copy(out, PF_INSTALL_DIR, size);
  return QM_SUCCESS;
}

// There are no drive letters here: the text stays as it is.
char *PF_DriveLetter2GUID(const char *drive, char *out, int32_t size) {
  if (out == nullptr) return out;
  return STR_copy(out, drive != nullptr ? drive : "", size);
}

// There are no volume GUIDs here: the value comes back unchanged.
char *PF_ReplaceGUIDs(char *value) { return value; }

// No web page is started on this platform.
int32_t pf_StartWebPage(void) { return QM_ERR_BADFILE; }

// Processes are not killed through the platform layer here.
int32_t PF_KillProcess(int64_t, ...) { return QM_ERR_BADFILE; }

// No dialog exists here; the call is logged and answers 0.
int32_t pf_YesNoDialog(void) {
  LOG_Log(QM_LOG_ERROR, "pf_YesNo not implemented yet\n");
  return 0;
}

}  // extern "C"

// rtkctl status: whether the driver is loaded, its version and whether it
// is older than the one this library carries, and the trace settings of the
// driver and of the library.
#include <cstdio>
#include <cstring>

#include "cmd_driver.h"
#include "pf_driverif.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "qmtrace.h"
#include "qmxml.h"
#include "rtk.h"
#include "rtkctl.h"

namespace rtkctl {
namespace {

int RunStatus(int argc, char **argv);

const Command kStatus = {"status", "", "driver loaded or not, its version and trace settings",
                         RunStatus};

constexpr int kReplySize = 1024;

// Sends one control command; answers its result, the reply in `reply`.
int32_t Ask(const char *command, char *reply) {
  char text[kReplySize];
  snprintf(text, sizeof text, "%s", command);
  reply[0] = '\0';
  return qma_simpleXML(0, text, reply, kReplySize);
}

int RunStatus(int argc, char **) {
  if (argc != 1) return UsageError(kStatus);
  char reply[kReplySize];
  const int32_t version = Ask("<kversion/>", reply);
  if (version == QM_ERR_DRVROPEN) {
    // A device that refuses this user says nothing about whether a driver
    // is loaded: that is an error, not "not loaded".
    const int err = DeviceOpenError();
    if (IsPermissionError(err)) {
      std::fprintf(stderr, "rtkctl status: %s: %s\n", PF_DRIVER_DEVICE, std::strerror(err));
      return kExitFailed;
    }
    std::printf("driver: not loaded\n");
  } else {
    char number[kReplySize] = "";
    if (version == QM_INFO_XMLRESPONSE) xml_getAssignment(reply, "version", number, kReplySize, "");
    const int32_t older = number[0] ? rtkutils_compareQuillmarVersions(number, RTK_DRIVER_VERSION) : -1;
    std::printf("driver: loaded, version %s (%s)\n", number[0] ? number : "unknown",
                older == 1 ? "older than " RTK_DRIVER_VERSION ", a new install reloads it"
                : older == 0 ? "current" : "not comparable");
    char trace[kReplySize];
    const int32_t asked = Ask("<trace/>", trace);
    std::printf("driver trace: %s\n", asked == QM_INFO_XMLRESPONSE ? trace : QMERR_err2mnemonic(asked));
  }
  char settings[kReplySize];
  TRACE_getXmlTraceCommand(settings, kReplySize);
  std::printf("library trace: %s\n", settings);
  std::printf("library carries driver version %s\n", RTK_DRIVER_VERSION);
  return kExitOk;
}

const Registration kRegistration(kStatus);

}  // namespace
}  // namespace rtkctl

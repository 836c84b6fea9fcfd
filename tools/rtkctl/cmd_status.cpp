// rtkctl status: whether the driver is loaded, its version and whether it
// is older than the one this library carries, and the trace settings of the
// driver and of the library; as text or, with --json, as one object.
#include <cstdio>
#include <cstring>

#include "cmd_driver.h"
#include "json.h"
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

const Command kStatus = {"status", "[--json]",
                         "driver loaded or not, its version and trace settings", RunStatus};

constexpr int kReplySize = 1024;

// What the status reports, gathered before it is printed in either form.
struct Status {
  bool loaded = false;
  char version[kReplySize] = "";  // empty: the driver did not say
  int32_t older = -1;             // 1 older, 0 current, else not comparable
  int32_t traceResult = 0;        // of "<trace/>"; XMLRESPONSE when answered
  char driverTrace[kReplySize] = "";
  char libraryTrace[kReplySize] = "";
};

// Sends one control command; answers its result, the reply in `reply`.
int32_t Ask(const char *command, char *reply) {
  char text[kReplySize];
  snprintf(text, sizeof text, "%s", command);
  reply[0] = '\0';
  return qma_simpleXML(0, text, reply, kReplySize);
}

// Asks the driver for its version and trace settings. Answers 0, or the
// errno of a device that refuses this user: that says nothing about whether
// a driver is loaded, so it is an error and not "not loaded".
int Gather(Status *status) {
  char reply[kReplySize];
  const int32_t version = Ask("<kversion/>", reply);
  if (version == QM_ERR_DRVROPEN) {
    const int err = DeviceOpenError();
    if (IsPermissionError(err)) return err;
  }
  status->loaded = version != QM_ERR_DRVROPEN;
  if (status->loaded) {
    if (version == QM_INFO_XMLRESPONSE) {
      xml_getAssignment(reply, "version", status->version, kReplySize, "");
    }
    if (status->version[0] != '\0') {
      status->older = rtkutils_compareQuillmarVersions(status->version, RTK_DRIVER_VERSION);
    }
    status->traceResult = Ask("<trace/>", status->driverTrace);
  }
  TRACE_getXmlTraceCommand(status->libraryTrace, kReplySize);
  return 0;
}

void PrintText(const Status &status) {
  if (!status.loaded) {
    std::printf("driver: not loaded\n");
  } else {
    std::printf("driver: loaded, version %s (%s)\n", status.version[0] ? status.version : "unknown",
                status.older == 1 ? "older than " RTK_DRIVER_VERSION ", a new install reloads it"
                : status.older == 0 ? "current" : "not comparable");
    std::printf("driver trace: %s\n", status.traceResult == QM_INFO_XMLRESPONSE
                                          ? status.driverTrace
                                          : QMERR_err2mnemonic(status.traceResult));
  }
  std::printf("library trace: %s\n", status.libraryTrace);
  std::printf("library carries driver version %s\n", RTK_DRIVER_VERSION);
}

// {"driver":{"loaded":..,"version":..,"version_state":"current|older|not
// comparable","trace":{..}|null,"trace_error":MNEMONIC},"library":{..}}; a
// driver that is not loaded has only "loaded":false.
void PrintJson(const Status &status) {
  JsonObject json;
  json.Begin("driver").Bool("loaded", status.loaded);
  if (status.loaded) {
    if (status.version[0] != '\0') {
      json.String("version", status.version);
    } else {
      json.Null("version");
    }
    json.String("version_state", status.older == 1   ? "older"
                                 : status.older == 0 ? "current"
                                                     : "not comparable");
    if (status.traceResult == QM_INFO_XMLRESPONSE) {
      json.Begin("trace").TraceSettings(status.driverTrace).End();
    } else {
      json.Null("trace").String("trace_error", QMERR_err2mnemonic(status.traceResult));
    }
  }
  json.End().Begin("library").Begin("trace").TraceSettings(status.libraryTrace).End();
  json.String("driver_version", RTK_DRIVER_VERSION);
}

int RunStatus(int argc, char **) {
  if (argc != 1) return UsageError(kStatus);
  Status status;
  const int refused = Gather(&status);
  if (refused != 0) {
    std::fprintf(stderr, "rtkctl status: %s: %s\n", PF_DRIVER_DEVICE, std::strerror(refused));
    return kExitFailed;
  }
  if (JsonOutput()) {
    PrintJson(status);
  } else {
    PrintText(status);
  }
  return kExitOk;
}

const Registration kRegistration(kStatus, Forms::kTextAndJson);

}  // namespace
}  // namespace rtkctl

/*
 * rtk.cpp - the driver installer's entry points and the name of the current
 * program.
 */
#include "rtk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "pf_user.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmfile.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"

extern "C" {

// Copies the name of the current program, "rtk" in this library, into buf
// (bounded like STR_copy) and returns buf. The trace's program filter is
// matched against it.
char *PF_GetCurrentProgram(char *buf, int32_t size) {
  if (buf == nullptr) return nullptr;
  return STR_copy(buf, "rtk", size);
}

}  // extern "C"

// Programs build the request themselves: untarDir directly follows the
// 8-byte traceOn.
static_assert(offsetof(RTK_InstallRequest, traceOn) == 0);
static_assert(offsetof(RTK_InstallRequest, untarDir) == 8);
static_assert(sizeof(RTK_InstallRequest) == 8 + RTK_UNTARDIR_SIZE);

namespace {

constexpr const char kInstallDir[] = "/opt/quillmar/";
constexpr int32_t kPathSize = 1024;
constexpr int32_t kDriverCommandSize = 1024;

// Creates and removes a test file in the package directory: the install
// writes there, so a directory we cannot write to is refused up front.
int32_t testValidDir(const char *untarDir) {
  qmenter(QM_TRACE_RTK, "testValidDir", "dir:%s\n", untarDir);
  char fullName[kPathSize];
  STR_copy(fullName, untarDir, kPathSize);  // the package path is cut to 1023 characters
  qmfile_dircat(fullName, kPathSize, "rtkDirTest.txt");
  TRACE_LogFine(QM_TRACE_RTK, "testValidDir: fullName is:%s\n", fullName);
  const int fd = open(fullName, O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    LOG_Log(QM_LOG_ERROR, "Failed to open %s errno %d\n", fullName, errno);
    qmexitn(QM_TRACE_RTK, "testValidDir", QM_ERR_BADFILE);
    return QM_ERR_BADFILE;
  }
  close(fd);
  unlink(fullName);
  qmexitn(QM_TRACE_RTK, "testValidDir", QM_SUCCESS);
  return QM_SUCCESS;
}

// Checks that the package holds a version file open for reading and
// writing, and that its path is absolute (tested last, after the files).
int32_t checkInstallDir(const char *untarDir) {
  qmenter(QM_TRACE_RTK, "checkInstallDir", "dir:%s\n", untarDir);
  char versionFile[kPathSize];
  STR_snprintf(versionFile, kPathSize, "%s%cmisc%cversion.txt", untarDir, '/', '/');
  const int fd = open(versionFile, O_RDWR);
  if (fd < 0) {
    qmexitn(QM_TRACE_RTK, "checkInstallDir", QM_ERR_BADFILE);
    return QM_ERR_BADFILE;
  }
  close(fd);
  if (untarDir[0] != '/') {
    qmexitn(QM_TRACE_RTK, "checkInstallDir", QM_ERR_BADPARAM);
    return QM_ERR_BADPARAM;
  }
  qmexitn(QM_TRACE_RTK, "checkInstallDir", QM_SUCCESS);
  return QM_SUCCESS;
}

}  // namespace

extern "C" {

uint8_t extent[16];

// Checks the package directory of the request, then installs the driver and
// loads it when needed. With traceOn set, traces Fine under RTK to the
// system log before anything else.
RTK_Result RTK_InstallDriver(const RTK_InstallRequest *request) {
  if (request->traceOn != 0) {
    LOG_SetTargetByStr("file");
    TRACE_SetLevelByStr("Fine");
    TRACE_SetByStr("RTK");
  }
  const char *untarDir = request->untarDir;
  if (untarDir[0] == '\0' || testValidDir(untarDir) != QM_SUCCESS) {
    TRACE_LogFine(QM_TRACE_RTK, "RTK_InstallDriver: installDir is not valid\n");
    return QM_ERR_BADFILE;
  }
  const int32_t checked = checkInstallDir(untarDir);
  if (checked != QM_SUCCESS) return checked;

  qmenter(QM_TRACE_RTK, "RTK_InstallDriver", "installDir: %s, Untar dir: %s\n", kInstallDir,
          request->untarDir);
  const int32_t result = PF_rtk_InstallDriver(request);
  qmexitn(QM_TRACE_RTK, "RTK_InstallDriver", result);
  return result;
}

// Resets the running driver (if any), then unloads it when mode is 1 and
// uninstalls the product.
RTK_Result RTK_UninstallDriver(int32_t mode) {
  qmenter(QM_TRACE_RTK, "RTK_UninstallDriver", " mode: %d\n", mode);
  char command[kDriverCommandSize];
  STR_copy(command, "<reset/>", kDriverCommandSize);
  qma_simpleXML(0, command, command, kDriverCommandSize);
  const int32_t result = PF_rtk_UninstallDriver(mode);
  qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", result);
  return result;
}

// Applies log target, level, program filter and mask here, in that order,
// then sends the same settings to the running driver.
RTK_Result RTK_SetTrace(const char *device, const char *mask, const char *level,
                        const char *program) {
  TRACE_LogFine(QM_TRACE_RTK, "device: %s mask: %s, level: %s, program: %s\n", device, mask,
                level, program);
  if (LOG_SetTargetByStr(device) != QM_SUCCESS) return QM_ERR_BADPARAM;
  if (TRACE_SetLevelByStr(level) != QM_SUCCESS) return QM_ERR_BADPARAM;
  TRACE_SetProgram(program);
  if (TRACE_SetByStr(mask) != QM_SUCCESS) return QM_ERR_BADPARAM;

  char command[kDriverCommandSize];
  STR_snprintf(command, kDriverCommandSize,
               "<trace mask=\"%s\" level=\"%s\" device=\"%s\" program=\"%s\" />", mask, level,
               device, program);
  const int32_t result = qma_simpleXML(0, command, command, kDriverCommandSize);
  if (result == QM_ERR_DRVROPEN || result == QM_SUCCESS) return QM_SUCCESS;
  LOG_Log(QM_LOG_ERROR, "RTK_SetTrace failed with result:%d\n", result);
  return result;
}

}  // extern "C"

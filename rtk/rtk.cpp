/*
 * rtk.cpp - the driver installer's entry points: the package checks, then
 * the install and uninstall sequences (rtk_unixutils.cpp), and the trace
 * settings here and in the running driver. State: none.
 */
#include "rtk.h"

#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "pf_file.h"
#include "pf_user.h"
#include "platform/pf_sys.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmfile.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "qmxml.h"

// Programs fill the request themselves: the 8-byte traceOn, then untarDir.
static_assert(offsetof(RTK_InstallRequest, traceOn) == 0);
static_assert(offsetof(RTK_InstallRequest, untarDir) == 8);
static_assert(sizeof(RTK_InstallRequest) == 8 + RTK_UNTARDIR_SIZE);

namespace {

using rtk::platform::Fd;

constexpr int32_t kPathSize = 1024;
constexpr int32_t kDriverCommandSize = 1024;
constexpr const char kProbeName[] = "rtkDirTest.txt";

// Opens the writability probe: a new file when the name is free. A probe
// left behind (by an install that died) is emptied, as the probe is opened
// with truncation, but only when it is a regular file with no other name: a
// hard link to a file outside the package would lose that file's content
// (EMLINK).
int openProbe(const char *path) {
  const int fd = rtk::platform::CreateNewFile(path, 0666);
  if (fd >= 0 || errno != EEXIST) return fd;
  uint64_t links = 0;
  Fd existing(rtk::platform::OpenExistingRegular(path, O_RDWR, &links));
  if (!existing.ok()) return -1;
  const int refusal = links != 1                                           ? EMLINK
                      : rtk::platform::TruncateToEmpty(existing.get()) != 0 ? errno
                                                                            : 0;
  if (refusal == 0) return existing.release();
  existing.reset();
  errno = refusal;
  return -1;
}

// Creates and removes a test file in the package directory: the install
// writes there, so a directory we cannot write to is refused up front. A
// package path whose probe path does not fit the buffer is refused
// (ENAMETOOLONG) without opening anything: the cut path would name another
// file, which the probe would truncate and remove.
int32_t testValidDir(const char *untarDir) {
  qmenter(QM_TRACE_RTK, __func__, "dir:%s\n", untarDir);
  char fullName[kPathSize];
  STR_copy(fullName, untarDir, kPathSize);  // the package path is cut to 1023 characters
  const char *joined = qmfile_dircat(fullName, kPathSize, kProbeName);
  TRACE_LogFine(QM_TRACE_RTK, "testValidDir: fullName is:%s\n", fullName);
  const bool whole = std::strlen(untarDir) < kPathSize && std::strcmp(joined, kProbeName) == 0;
  Fd probe(whole ? openProbe(fullName) : -1);
  if (!probe.ok()) {
    LOG_Log(QM_LOG_ERROR, "Failed to open %s errno %d\n", fullName, whole ? errno : ENAMETOOLONG);
    qmexitn(QM_TRACE_RTK, __func__, QM_ERR_BADFILE);
    return QM_ERR_BADFILE;
  }
  probe.reset();
  PF_unlink(fullName);
  qmexitn(QM_TRACE_RTK, __func__, QM_SUCCESS);
  return QM_SUCCESS;
}

// Checks that the package holds a version file open for reading and
// writing, and that its path is absolute (tested last, after the files).
// The version file must be a regular file at its own name (a link there is
// not followed), so that a hostile package cannot make this open a device or
// wait on a FIFO; a version path that had to be cut is never opened.
int32_t checkInstallDir(const char *untarDir) {
  qmenter(QM_TRACE_RTK, __func__, "dir:%s\n", untarDir);
  char versionFile[kPathSize];
  const int length =
      std::snprintf(versionFile, kPathSize, "%s%cmisc%cversion.txt", untarDir, '/', '/');
  uint64_t links = 0;
  const Fd version(length >= 0 && length < kPathSize
                       ? rtk::platform::OpenExistingRegular(versionFile, O_RDWR, &links)
                       : -1);
  if (!version.ok()) {
    qmexitn(QM_TRACE_RTK, __func__, QM_ERR_BADFILE);
    return QM_ERR_BADFILE;
  }
  if (untarDir[0] != '/') {
    qmexitn(QM_TRACE_RTK, __func__, QM_ERR_BADPARAM);
    return QM_ERR_BADPARAM;
  }
  qmexitn(QM_TRACE_RTK, __func__, QM_SUCCESS);
  return QM_SUCCESS;
}

// Copies a value for an attribute of a driver command into out (size bytes)
// with '&', '\'', '"', '<' and '>' written as entities, so that a value that
// holds quotes or markup stays one attribute value of one command and the
// driver's scanner reads it back. A null value is sent as empty. False when
// the encoded value might not fit: each special character grows by at most
// five bytes ("&quot;"), and the encoder drops what does not fit.
bool encodeValue(const char *value, char *out, int32_t size) {
  if (value == nullptr) value = "";
  size_t need = std::strlen(value) + 1;
  for (const char *p = value; *p != '\0'; ++p) need += std::strchr("&'\"<>", *p) != nullptr ? 5 : 0;
  if (need > static_cast<size_t>(size)) return false;
  STR_copy(out, value, size);
  xml_ConvertToAmpersands(out, size);
  return true;
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

  qmenter(QM_TRACE_RTK, __func__, "installDir: %s, Untar dir: %s\n", PF_INSTALL_DIR,
          request->untarDir);
  const int32_t result = PF_rtk_InstallDriver(request);
  qmexitn(QM_TRACE_RTK, __func__, result);
  return result;
}

// Resets the running driver (if any), then unloads it when mode is 1 and
// uninstalls the product.
RTK_Result RTK_UninstallDriver(int32_t mode) {
  qmenter(QM_TRACE_RTK, __func__, " mode: %d\n", mode);
  char command[kDriverCommandSize];
  STR_copy(command, "<reset/>", kDriverCommandSize);
  qma_simpleXML(0, command, command, kDriverCommandSize);
  const int32_t result = PF_rtk_UninstallDriver(mode);
  qmexitn(QM_TRACE_RTK, __func__, result);
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

  // The command carries the values encoded; one that does not fit whole is
  // not sent, since a cut command would set something else in the driver.
  const char *const values[] = {mask, level, device, program};
  char encoded[std::size(values)][kDriverCommandSize];
  for (size_t i = 0; i < std::size(values); ++i) {
    if (!encodeValue(values[i], encoded[i], kDriverCommandSize)) return QM_ERR_BADPARAM;
  }
  char command[kDriverCommandSize];
  const int length = std::snprintf(command, kDriverCommandSize,
                                   "<trace mask=\"%s\" level=\"%s\" device=\"%s\" program=\"%s\" />",
                                   encoded[0], encoded[1], encoded[2], encoded[3]);
  if (length < 0 || length >= kDriverCommandSize) return QM_ERR_BADPARAM;
  const int32_t result = qma_simpleXML(0, command, command, kDriverCommandSize);
  if (result == QM_ERR_DRVROPEN || result == QM_SUCCESS) return QM_SUCCESS;
  LOG_Log(QM_LOG_ERROR, "RTK_SetTrace failed with result:%d\n", result);
  return result;
}

}  // extern "C"
